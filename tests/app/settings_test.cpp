// The settings record: serialized layout, round trip, truncation, early end, embedded files
// and the registry-cache loading order.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/resources.h"
#include "app/settings.h"
#include "title_test_util.h"

using namespace vantor;
using namespace vantor::test;

namespace {

CProjectSettings FullRecord() {
    CProjectSettings s;
    for (size_t i = 0; i < s.aboutTexts.size(); ++i)
        if (i != 2) s.aboutTexts[i] = "about " + std::to_string(i);
    s.aboutTexts[4] = "";
    s.windowShape = 2, s.borderStyle = BorderSingle | BorderHideTaskbarButton, s.borderIcons = IconSystemMenu | IconHelp;
    s.scaleMode = ScaleExactFit, s.clipShape = "star", s.caption = "Caption \xC3\xA9t\xC3\xA9";
    s.windowSize = 4, s.customWidth = 640, s.customHeight = 75, s.pos = 10, s.left = 65535, s.top = 12, s.bKeepRatio = 1;
    s.lBtnClk = 1, s.rBtnClk = 2, s.keyPress = KeyDisableWinKeys, s.exitKeys = ExitOnEsc | ExitOnHotKey;
    s.disableFlags = DisableAltTab | DisableScreenSaver, s.hotKeyCode = 0x51, s.hotKeyModifiers = 0x6;
    s.contextMenu = MenuAbout | MenuNoScriptItems, s.behaviourFlags = BehaveShowInTray | BehaveAppIconInTray;
    s.group6 = {9, 8, 7, 0, 1};
    s.miscFlags = MiscMute | MiscUseBackColor, s.backColor = 0x00332211;
    s.webCaption = "Our site", s.webAddress = "http://example.invalid/", s.mailCaption = "Write";
    s.mailAddress = "mailto:someone@example.invalid";
    s.webColor = 0xFF0000, s.mailColor = 0x0000FF;
    s.webFont = {-12, 0, 0, 0, 700, 1, 0, 0, 0, 3, 2, 1, 34, "Tahoma"};
    s.mailFont = {-11, 5, 900, 900, 400, 0, 1, 1, 204, 0, 0, 0, 0, "Courier New"};
    s.pictureFlags = PictureFile, s.aboutUnused = 77, s.aboutUnusedPath = "unused";
    s.reserved1 = 1, s.reservedText = "r", s.reserved2 = 2, s.reservedTime.fields = {2026, 12, 5, 11, 8, 31, 59, 999};
    s.reserved3 = 3, s.reservedPath = "rp", s.reserved4 = 4, s.reserved5 = 5;
    return s;
}

std::vector<uint8_t> Serialize(const CProjectSettings& s) {
    CByteWriter out;
    WriteSettings(out, s);
    return out.Data();
}

}  // namespace

// The byte layout of a small record, written field by field by hand.
TEST(Settings, ReferenceLayoutOfSmallRecord) {
    CProjectSettings s;
    s.aboutTexts[0] = "P";
    s.windowShape = 2, s.caption = "Hi";
    s.windowSize = 3, s.customWidth = 0x140, s.customHeight = 0xF0;
    s.behaviourFlags = 0x1001;
    s.group6 = {0xAB};
    s.backColor = 0x00563412;
    s.webFont.faceName = "A";

    Bytes font;
    Bytes expected;
    expected.text("P").absent().absent().absent().absent().absent().absent();
    expected.u32(2).u32(0).u32(0).u32(0).text("").text("Hi");
    expected.u32(3).u16(0x140).u16(0xF0).u32(0).u16(0).u16(0).u32(0);
    expected.u32(0).u32(0).u32(0).u32(0).u32(0).u16(0).u16(0);
    expected.u32(0).u32(0x1001);
    expected.u32(1).u8(0xAB);
    expected.u32(0).u32(s.backColor).text("").u32(0);
    expected.absent().absent().absent().absent().u32(0).u32(0);
    expected.u32(0).u32(0).u32(0).u32(0).u32(0).u32(0).u32(0).text("A");
    expected.u32(0).u32(0).u32(0).u32(0).u32(0).u32(0).u32(0).text("");
    expected.u32(0).u32(0).text("").u32(0).text("");
    expected.u32(0).absent().u32(0).u32(0).u32(0).u32(0).u32(0).u32(0).text("").u16(0).u16(0);
    EXPECT_EQ(Serialize(s), expected.v);

    ScratchFolder folder;
    CProjectSettings back;
    CByteReader in(expected.v);
    EXPECT_TRUE(ReadSettings(in, back, RunFolder()));
    EXPECT_EQ(back, s);
}

TEST(Settings, EveryFieldRoundTrips) {
    ScratchFolder folder;
    CProjectSettings s = FullRecord();
    std::vector<uint8_t> bytes = Serialize(s);
    CProjectSettings back;
    CByteReader in(bytes);
    ASSERT_TRUE(ReadSettings(in, back, RunFolder()));
    EXPECT_EQ(in.Remaining(), 0u);
    EXPECT_EQ(back, s);
    EXPECT_EQ(back.aboutTexts[2], std::nullopt);
    EXPECT_EQ(back.aboutTexts[4], std::string());
    EXPECT_EQ(Serialize(back), bytes);
}

TEST(Settings, EmbeddedFilesAreExtractedAndWrittenBack) {
    ScratchFolder folder;
    std::vector<uint8_t> picture(143056);
    for (size_t i = 0; i < picture.size(); ++i) picture[i] = uint8_t(i * 7);
    WriteFile(folder.Root() / "src" / "about.bmp", picture);
    WriteFile(folder.Root() / "src" / "title.chm", ToBytes("help"));

    CProjectSettings s = FullRecord();
    s.pictureFile = (folder.Root() / "src" / "about.bmp").string();
    s.helpFile = (folder.Root() / "src" / "title.chm").string();
    std::vector<uint8_t> bytes = Serialize(s);

    CProjectSettings back;
    CByteReader in(bytes);
    ASSERT_TRUE(ReadSettings(in, back, RunFolder()));
    EXPECT_EQ(back.pictureFile, JoinSafe(RunFolder(), "about.bmp"));
    EXPECT_EQ(back.helpFile, JoinSafe(RunFolder(), "title.chm"));
    EXPECT_EQ(ReadFile(folder.Run() / "about.bmp"), picture);
    EXPECT_EQ(ReadFile(folder.Run() / "title.chm"), ToBytes("help"));
    // Written again from the extracted files, the record is the same bytes.
    EXPECT_EQ(Serialize(back), bytes);

    // A path with no file behind it is written as an empty name and length 0, and reading
    // that leaves the field as it was.
    CProjectSettings missing = s;
    missing.helpFile = (folder.Root() / "nowhere.chm").string();
    missing.pictureFile.clear();
    CProjectSettings target;
    target.helpFile = "kept";
    std::vector<uint8_t> noFiles = Serialize(missing);
    CByteReader in2(noFiles);
    ASSERT_TRUE(ReadSettings(in2, target, RunFolder()));
    EXPECT_EQ(target.helpFile, "kept");
    EXPECT_EQ(target.pictureFile, "");
}

// Names that would leave the run folder: the file is skipped, the record still loads.
TEST(Settings, UnsafeEmbeddedNamesAreSkipped) {
    for (std::string name : {"..\\evil.chm", "sub/../../evil.chm", "C:\\evil.chm", "\\evil.chm", "/evil.chm", "a:b"}) {
        SCOPED_TRACE(name);
        ScratchFolder folder;
        WriteFile(folder.Root() / "src" / "placeholder", ToBytes("EVIL"));
        CProjectSettings s;
        s.helpFile = (folder.Root() / "src" / "placeholder").string();
        s.webCaption = "after";
        std::vector<uint8_t> bytes = Serialize(s);
        // Swap the stored name "placeholder" for the unsafe one.
        Bytes stored, unsafe;
        stored.text("placeholder");
        unsafe.text(name);
        auto at = std::search(bytes.begin(), bytes.end(), stored.v.begin(), stored.v.end());
        ASSERT_NE(at, bytes.end());
        at = bytes.erase(at, at + long(stored.v.size()));
        bytes.insert(at, unsafe.v.begin(), unsafe.v.end());

        CProjectSettings back;
        CByteReader in(bytes);
        EXPECT_TRUE(ReadSettings(in, back, RunFolder()));
        EXPECT_EQ(back.helpFile, "");
        EXPECT_EQ(back.webCaption, "after");
        EXPECT_FALSE(std::filesystem::exists(folder.Root() / "evil.chm"));
        EXPECT_FALSE(std::filesystem::exists(folder.Run() / "evil.chm"));
    }
}

TEST(Settings, LongNamesAreTruncatedToTheirArrays) {
    ScratchFolder folder;
    CProjectSettings s;
    s.caption = std::string(300, 'c');
    s.clipShape = std::string(259, 'k');
    s.webFont.faceName = std::string(40, 'f');
    s.aboutTexts[0] = std::string(1000, 't');  // texts are heap strings: no limit
    std::vector<uint8_t> bytes = Serialize(s);
    CProjectSettings back;
    CByteReader in(bytes);
    ASSERT_TRUE(ReadSettings(in, back, RunFolder()));
    EXPECT_EQ(back.caption, std::string(259, 'c'));
    EXPECT_EQ(back.clipShape, std::string(259, 'k'));
    EXPECT_EQ(back.webFont.faceName, std::string(31, 'f'));
    EXPECT_EQ(back.aboutTexts[0]->size(), 1000u);
}

// Every cut of the stream reads the fields before it and keeps the defaults after it.
TEST(Settings, EarlyEndKeepsDefaultsAfterTheCut) {
    ScratchFolder folder;
    CProjectSettings full = FullRecord();
    std::vector<uint8_t> bytes = Serialize(full);
    CProjectSettings defaults;
    defaults.caption = "default caption";
    defaults.reserved5 = 99;
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        CProjectSettings back = defaults;
        CByteReader in(std::span<const uint8_t>(bytes.data(), cut));
        ASSERT_FALSE(ReadSettings(in, back, RunFolder())) << cut;
        EXPECT_EQ(back.reserved5, 99) << cut;
        // Before the caption has been read whole, the default stays.
        if (back.windowShape == 0) {
            EXPECT_EQ(back.caption, "default caption") << cut;
        }
    }
    // A cut right after the Size group: Interaction keeps its defaults.
    CProjectSettings probe = FullRecord();
    probe.bKeepRatio = 0xC0DEC0DE;
    std::vector<uint8_t> probeBytes = Serialize(probe);
    size_t after = 0;
    while (!(probeBytes[after] == 0xDE && probeBytes[after + 1] == 0xC0 && probeBytes[after + 2] == 0xDE)) ++after;
    after += 4;
    CProjectSettings back;
    CByteReader in(std::span<const uint8_t>(bytes.data(), after));
    ReadSettings(in, back, RunFolder());
    EXPECT_EQ(back.pos, 10u);
    EXPECT_EQ(back.bKeepRatio, 1u);
    EXPECT_EQ(back.lBtnClk, 0u);
    EXPECT_EQ(back.hotKeyCode, 0);
}

TEST(Settings, CountsBeyondTheStreamStopCleanly) {
    ScratchFolder folder;
    // A text count near 2^32, and a group-6 length beyond the block.
    Bytes hugeText;
    hugeText.u32(0xFFFFFFFF).u16('x');
    CProjectSettings back;
    CByteReader in(hugeText.v);
    EXPECT_FALSE(ReadSettings(in, back, RunFolder()));
    EXPECT_EQ(back.aboutTexts[0], std::nullopt);

    CProjectSettings probe;
    probe.group6 = {1, 2, 3};
    std::vector<uint8_t> bytes = Serialize(probe);
    size_t at = 0;
    while (!(bytes[at] == 3 && bytes[at + 4] == 1 && bytes[at + 5] == 2 && bytes[at + 6] == 3)) ++at;
    bytes[at] = 0xF0, bytes[at + 3] = 0x7F;
    CProjectSettings back2;
    CByteReader in2(bytes);
    EXPECT_FALSE(ReadSettings(in2, back2, RunFolder()));
    EXPECT_TRUE(back2.group6.empty());
}

namespace {

class SettingsCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        record_ = FullRecord();
        previous_ = SetCurrentResources(std::make_unique<InMemoryResources>());
        Build(std::vector<uint8_t>(16, 0x11));
    }
    void TearDown() override { SetCurrentResources(std::move(previous_)); }

    void Build(const std::vector<uint8_t>& stamp) {
        auto table = std::make_unique<InMemoryResources>();
        table->Add("ST", "VANTOR", PackBlock(Serialize(record_)));
        table->Add("CS", "VANTOR", stamp);
        SetCurrentResources(std::move(table));
    }
    InMemoryResources& Table() { return static_cast<InMemoryResources&>(CurrentResources()); }

    ScratchFolder folder_;
    CProjectSettings record_;
    CMemoryProfile profile_;
    std::unique_ptr<ResourceSource> previous_;
};

}  // namespace

TEST_F(SettingsCacheTest, SecondRunReadsTheCacheAndNewBuildReplacesIt) {
    CProjectSettings first;
    EXPECT_EQ(LoadProjectSettings(first, profile_), SettingsSource::Resource);
    EXPECT_EQ(first, record_);
    EXPECT_EQ(profile_.GetBinary("Settings", "crc"), std::vector<uint8_t>(16, 0x11));
    EXPECT_EQ(profile_.GetBinary("Settings", "Options"), Serialize(record_));

    // Second run: ST is not needed any more (a broken one proves it is not unpacked).
    Table().Add("ST", "VANTOR", {'S', 'M', 1, 0});
    CProjectSettings second;
    EXPECT_EQ(LoadProjectSettings(second, profile_), SettingsSource::Cache);
    EXPECT_EQ(second, record_);

    // A rebuilt title with another stamp ignores the cached copy and replaces it.
    record_.caption = "rebuilt";
    Build(std::vector<uint8_t>(16, 0x22));
    CProjectSettings third;
    EXPECT_EQ(LoadProjectSettings(third, profile_), SettingsSource::Resource);
    EXPECT_EQ(third.caption, "rebuilt");
    EXPECT_EQ(profile_.GetBinary("Settings", "crc"), std::vector<uint8_t>(16, 0x22));
    CProjectSettings fourth;
    EXPECT_EQ(LoadProjectSettings(fourth, profile_), SettingsSource::Cache);
    EXPECT_EQ(fourth.caption, "rebuilt");
}

TEST_F(SettingsCacheTest, MissingPiecesFallBackToTheResourceOrDefaults) {
    // Stamp equal but no Options value: the resource is read.
    profile_.WriteBinary("Settings", "crc", std::vector<uint8_t>(16, 0x11));
    CProjectSettings a;
    EXPECT_EQ(LoadProjectSettings(a, profile_), SettingsSource::Resource);

    // No CS resource: the cache is never valid, nothing overwrites "crc".
    Table().Remove("CS", "VANTOR");
    CProjectSettings b;
    EXPECT_EQ(LoadProjectSettings(b, profile_), SettingsSource::Resource);
    EXPECT_EQ(profile_.GetBinary("Settings", "crc"), std::vector<uint8_t>(16, 0x11));

    // A stamp of another length never matches.
    Table().Add("CS", "VANTOR", std::vector<uint8_t>(15, 0x11));
    CProjectSettings c;
    EXPECT_EQ(LoadProjectSettings(c, profile_), SettingsSource::Resource);

    // Missing ST: zero defaults, still written to the cache.
    Table().Remove("ST", "VANTOR");
    CMemoryProfile fresh;
    CProjectSettings d;
    EXPECT_EQ(LoadProjectSettings(d, fresh), SettingsSource::Defaults);
    EXPECT_EQ(d, CProjectSettings());
    EXPECT_EQ(fresh.GetBinary("Settings", "Options"), Serialize(CProjectSettings()));
}
