// Building titles: the stub's resources stay intact, ours read back, the output is
// deterministic and valid, extract-and-rebuild gives the same title, and errors leave nothing
// half-written.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/archive.h"
#include "app/movie_list.h"
#include "app/packed_block.h"
#include "app/settings.h"
#include "app/title_files.h"
#include "builder.h"
#include "pe_image.h"
#include "port/byte_order.h"

using namespace vantor;
using namespace vantor::pack;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class TitleBuild : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef VANTOR_PACK_STUB
        GTEST_SKIP() << "no mingw compiler to make the projector stand-in";
#else
        stub_ = VANTOR_PACK_STUB;
#endif
        dir_ = fs::temp_directory_path() / ("vantor-pack-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
        SetExecutablePath("");
        SetRunFolder("");
    }

    fs::path Build(const std::string& name, const std::string& project = Fixture("title/project.json"), std::string stub = "") {
        BuildOptions options;
        options.output = (dir_ / name).string();
        options.stub = stub.empty() ? stub_ : stub;
        BuildTitle(ReadProject(project), options);
        return dir_ / name;
    }
    static std::string Fixture(const std::string& relative) { return std::string(VANTOR_PACK_FIXTURE) + "/" + relative; }

    std::string stub_;
    fs::path dir_;
};

const ResLeaf& Leaf(const ResourceTree& tree, const std::string& type, const std::string& name) {
    return tree.at(ResKey::Name(type)).at(ResKey::Name(name)).begin()->second;
}

std::vector<uint8_t> Unpacked(const ResourceTree& tree, const std::string& type, const std::string& name) {
    UnpackedBytes out;
    EXPECT_TRUE(UnpackBlock(Leaf(tree, type, name).data.Read(), out)) << type << "/" << name;
    return out;
}

}  // namespace

TEST_F(TitleBuild, StubResourcesStayAndTitleResourcesReadBack) {
    fs::path title = Build("title.exe");
    PeImage before(Slurp(stub_), "stub");
    PeImage after(Slurp(title), "title");
    ResourceTree stubTree = before.ReadResources(), tree = after.ReadResources();
    ASSERT_FALSE(stubTree.empty());
    for (const auto& [type, names] : stubTree)
        for (const auto& [name, langs] : names)
            for (const auto& [lang, leaf] : langs)
                EXPECT_EQ(tree.at(type).at(name).at(lang).data.Read(), leaf.data.Read()) << type.Text() << "/" << name.Text();

    // Settings and movie list, read by the projector's own readers.
    SetRunFolder((dir_ / "run").string());
    fs::create_directories(dir_ / "run");
    CProjectSettings settings;
    std::vector<uint8_t> st = Unpacked(tree, "VANTOR", "ST");
    CByteReader in(st);
    ASSERT_TRUE(ReadSettings(in, settings, RunFolder()));
    EXPECT_EQ(settings.caption, "Packed Title");
    EXPECT_EQ(settings.hotKeyModifiers, 0x6);
    EXPECT_EQ(Slurp(settings.helpFile), Slurp(Fixture("title/title.chm")));
    CMovieListBlock block;
    ReadMovieListFrom(Unpacked(tree, "VANTOR", "ML"), block);
    ASSERT_EQ(block.list.entries.size(), 3u);
    EXPECT_EQ(Slurp(block.list.entries[1].path), Slurp(Fixture("title/second.swf")));
    EXPECT_EQ(Unpacked(tree, "NERVA", "INITIALIZE"), Slurp(Fixture("title/init.nsc")));
    EXPECT_EQ(Unpacked(tree, "SUPPORT", "$1"), Slurp(Fixture("title/support1.dll")));
    EXPECT_EQ(Unpacked(tree, "VANTOR", "BK"), Slurp(Fixture("title/about.bmp")));
    EXPECT_EQ(Leaf(tree, "VANTOR", "CS").data.Size(), 16u);

    // The appended archive, through the projector's reader.
    SetExecutablePath(title.string());
    EXPECT_EQ(Slurp(GetAdditionalFile("docs/readme.txt")), Slurp(Fixture("title/extra/docs/readme.txt")));
    EXPECT_EQ(Slurp(GetAdditionalFile("media\\tones.bin")), Slurp(Fixture("title/extra/media/tones.bin")));

    // Headers: the checksum is the one the loader computes; the image size covers every section.
    std::vector<uint8_t> bytes = Slurp(title);
    uint32_t pe = ReadLE32(&bytes[0x3C]);
    FILE* f = std::fopen(title.string().c_str(), "rb");
    EXPECT_EQ(ComputeChecksum(f, pe + 24 + 64), ReadLE32(&bytes[pe + 24 + 64]));
    std::fclose(f);
    uint32_t sizeOfImage = ReadLE32(&bytes[pe + 24 + 56]);
    for (const PeSection& s : after.Sections()) EXPECT_LE(uint64_t(s.virtualAddress) + s.virtualSize, sizeOfImage) << s.name;
    uint32_t rsrc = ReadLE32(&bytes[pe + 24 + 112 + 16]);
    EXPECT_EQ(rsrc, after.Sections().back().virtualAddress);
}

TEST_F(TitleBuild, OutputIsDeterministicAndTheStampFollowsTheContent) {
    std::vector<uint8_t> a = Slurp(Build("a.exe")), b = Slurp(Build("b.exe"));
    EXPECT_EQ(a, b);

    // Another movie content gives another stamp.
    fs::copy(Fixture("title"), dir_ / "project", fs::copy_options::recursive);
    std::ofstream(dir_ / "project" / "intro.swf", std::ios::binary | std::ios::app) << "x";
    fs::path c = Build("c.exe", (dir_ / "project" / "project.json").string());
    ResourceTree ta = PeImage(a).ReadResources(), tc = PeImage(Slurp(c)).ReadResources();
    EXPECT_NE(Leaf(ta, "VANTOR", "CS").data.Read(), Leaf(tc, "VANTOR", "CS").data.Read());
}

TEST_F(TitleBuild, ExtractThenBuildGivesTheSameTitle) {
    fs::path title = Build("title.exe");
    ExtractTitle(title.string(), (dir_ / "out").string());
    ASSERT_TRUE(fs::exists(dir_ / "out" / "project.json"));
    fs::path again = Build("again.exe", (dir_ / "out" / "project.json").string(), (dir_ / "out" / "stub.exe").string());
    EXPECT_EQ(InspectTitle(again.string(), {true, false}), InspectTitle(title.string(), {true, false}));
    ResourceTree t1 = PeImage(Slurp(title)).ReadResources(), t2 = PeImage(Slurp(again)).ReadResources();
    for (const char* name : {"ST", "ML", "RG", "BK", "ID", "CS"})
        EXPECT_EQ(Leaf(t1, "VANTOR", name).data.Read(), Leaf(t2, "VANTOR", name).data.Read()) << name;
    // A title used as the stub has its resource section rewritten in place, not stacked.
    EXPECT_EQ(fs::file_size(again), fs::file_size(title));
}

TEST_F(TitleBuild, TheMovieControlBesideTheStubIsPackedUnlessTheProjectSaysNull) {
    fs::create_directories(dir_ / "bin");
    fs::copy_file(stub_, dir_ / "bin" / "vantor.exe");
    const std::string control = "MZ stand-in for the movie control";
    std::ofstream(dir_ / "bin" / "moviectl.dll", std::ios::binary) << control;
    std::string stub = (dir_ / "bin" / "vantor.exe").string();

    ResourceTree packed = PeImage(Slurp(Build("with.exe", Fixture("title/project.json"), stub))).ReadResources();
    std::vector<uint8_t> fp = Unpacked(packed, "VANTOR", "FP");
    EXPECT_EQ(std::string(fp.begin(), fp.end()), control);

    // An explicit null packs none, and so does a stub with no control beside it.
    fs::copy(Fixture("title"), dir_ / "project", fs::copy_options::recursive);
    std::string text;
    {
        std::ifstream in(dir_ / "project" / "project.json");
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    text.insert(text.find('{') + 1, "\"flashPlayer\": null,");
    std::ofstream(dir_ / "project" / "project.json", std::ios::trunc) << text;
    ResourceTree none = PeImage(Slurp(Build("without.exe", (dir_ / "project" / "project.json").string(), stub))).ReadResources();
    EXPECT_FALSE(none.at(ResKey::Name("VANTOR")).count(ResKey::Name("FP")));
    ResourceTree plain = PeImage(Slurp(Build("plain.exe"))).ReadResources();
    EXPECT_FALSE(plain.at(ResKey::Name("VANTOR")).count(ResKey::Name("FP")));

    // Extracting a title records its control, or its absence, so a rebuild gives the same title.
    ExtractTitle((dir_ / "with.exe").string(), (dir_ / "out").string());
    EXPECT_EQ(Slurp(dir_ / "out" / "moviectl.dll"), fp);
    fs::path again = Build("again.exe", (dir_ / "out" / "project.json").string(), (dir_ / "out" / "stub.exe").string());
    EXPECT_EQ(Unpacked(PeImage(Slurp(again)).ReadResources(), "VANTOR", "FP"), fp);
}

TEST_F(TitleBuild, InspectShowsWhatTheTitleHolds) {
    fs::path title = Build("title.exe");
    std::string text = InspectTitle(title.string(), {});
    for (const char* part : {"registry key: Vantor Tests/Packed Title", "movie      scenes\\second.swf  30 bytes",
                             "attachment pictures\\about.bmp", "round  5 rectangles", "INITIALIZE  64 bytes",
                             "tones.bin  40000 bytes", "\"caption\": \"Packed Title\"", "\"hotKey\": \"Ctrl+Alt+Q\""})
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
}

TEST_F(TitleBuild, ErrorsLeaveNothingBehind) {
    fs::copy(Fixture("title"), dir_ / "project", fs::copy_options::recursive);
    std::string project = (dir_ / "project" / "project.json").string();
    fs::remove(dir_ / "project" / "extra" / "docs" / "readme.txt");
    fs::remove(dir_ / "project" / "round.bmp");
    std::ofstream(dir_ / "project" / "round.bmp") << "not a picture";
    try {
        Build("broken.exe", project);
        ADD_FAILURE() << "built";
    } catch (const InputError& e) {
        EXPECT_NE(e.Describe().find("round.bmp: not a BMP file"), std::string::npos) << e.Describe();
    }
    for (const auto& entry : fs::directory_iterator(dir_)) EXPECT_EQ(entry.path().filename(), "project");

    // A missing stub and an unsafe stored movie name.
    BuildOptions options;
    options.output = (dir_ / "x.exe").string();
    options.stub = (dir_ / "nothing.exe").string();
    EXPECT_THROW(BuildTitle(ReadProject(Fixture("title/project.json")), options), InputError);
    Project unsafe = ReadProject(Fixture("title/project.json"));
    unsafe.movies[0].name = "..\\..\\evil.swf";
    options.stub = stub_;
    try {
        BuildTitle(unsafe, options);
        ADD_FAILURE() << "built";
    } catch (const InputError& e) {
        EXPECT_NE(std::string(e.what()).find("outside the run folder"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(dir_ / "x.exe"));
}

TEST_F(TitleBuild, ScriptSourcesAreCompiledOrRefusedClearly) {
    fs::create_directories(dir_ / "s");
    std::ofstream(dir_ / "s" / "good.nvs") << "var x = 1;\nx = x + 2;\n";
    std::ofstream(dir_ / "s" / "bad.nvs") << "var x = 1;\nvar = ;\n";
#ifdef VANTOR_PACK_HAVE_COMPILER
    std::vector<uint8_t> image = ScriptImage((dir_ / "s" / "good.nvs").string());
    ASSERT_GE(image.size(), 4u);
    EXPECT_EQ(std::string(image.begin(), image.begin() + 4), "NS1b");
    EXPECT_EQ(ScriptImage((dir_ / "s" / "good.nvs").string()), image);
    try {
        ScriptImage((dir_ / "s" / "bad.nvs").string());
        ADD_FAILURE() << "compiled";
    } catch (const InputError& e) {
        std::string expected = (dir_ / "s" / "bad.nvs").string() + ":2: error: ";
        EXPECT_EQ(e.Describe().substr(0, expected.size()), expected) << e.Describe();
    }
#else
    try {
        ScriptImage((dir_ / "s" / "good.nvs").string());
        ADD_FAILURE() << "compiled";
    } catch (const InputError& e) {
        EXPECT_NE(std::string(e.what()).find("without the Nerva Script compiler"), std::string::npos);
    }
#endif
    std::ofstream(dir_ / "s" / "ready.nsc") << "NS1b....";
    EXPECT_EQ(ScriptImage((dir_ / "s" / "ready.nsc").string()), (std::vector<uint8_t>{'N', 'S', '1', 'b', '.', '.', '.', '.'}));
}
