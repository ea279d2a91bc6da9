// The appended archive: locating it, walking it, streamed extraction with CRC check, once per
// run, and the fall-back beside the executable.
#include <gtest/gtest.h>

#include <functional>

#include "app/app_exception.h"
#include "app/archive.h"
#include "title_test_util.h"

using namespace vantor;
using namespace vantor::test;

namespace {

struct Node {
    std::string name;
    std::vector<uint8_t> content;  // file content
    std::vector<Node> children;    // folder entries
    bool folder = false;
    bool badCrc = false;
    bool badStream = false;
};

Node File(std::string name, std::vector<uint8_t> content) { return {std::move(name), std::move(content), {}, false, false, false}; }
Node Folder(std::string name, std::vector<Node> children) { return {std::move(name), {}, std::move(children), true, false, false}; }

std::vector<uint8_t> Entries(const std::vector<Node>& nodes) {
    Bytes out;
    for (const Node& n : nodes) {
        out.u32(n.folder ? 1 : 0).text(n.name);
        std::vector<uint8_t> body;
        if (n.folder) {
            body = Entries(n.children);
        } else {
            body = Deflate(n.content);
            if (n.badStream) body[body.size() / 2] ^= 0xFF, body[2] = 0xFF;
            Bytes crc;
            crc.u32(Crc(n.content) ^ (n.badCrc ? 1u : 0u));
            body.insert(body.end(), crc.v.begin(), crc.v.end());
        }
        out.u32(uint32_t(body.size())).raw(body);
    }
    return out.v;
}

std::vector<uint8_t> Executable(const std::vector<Node>& root) {
    Bytes exe;
    exe.raw("MZ pretend executable");
    std::vector<uint8_t> dir = Entries(root);
    Bytes archive;
    archive.raw(std::string("VAF", 4)).u32(1).text("Application").u32(uint32_t(dir.size())).raw(dir);
    exe.raw(archive.v).u32(uint32_t(archive.v.size())).u32(1);
    return exe.v;
}

std::vector<uint8_t> Big() {
    std::vector<uint8_t> data(100000);
    uint32_t x = 1;
    for (auto& b : data) b = uint8_t((x = x * 1103515245 + 12345) >> 24);
    return data;
}

std::vector<Node> SampleTree() {
    return {File("readme.txt", ToBytes("hello")),
            Folder("Media", {File("big.bin", Big()), Folder("Deep", {File("x.txt", ToBytes("x"))})}),
            {"broken.txt", ToBytes("broken content"), {}, false, true, false},
            {"garbled.txt", ToBytes("garbled content garbled content"), {}, false, false, true},
            File("..", ToBytes("escape"))};
}

}  // namespace

TEST(Archive, FilesAreExtractedOnceWithEitherSeparator) {
    ScratchFolder folder;
    WriteFile(folder.Exe(), Executable(SampleTree()));
    std::string slash = GetAdditionalFile("media/BIG.bin");
    std::string backslash = GetAdditionalFile("\\Media\\big.bin");
    EXPECT_EQ(slash, RunFolder() + "_extra" + kPathSeparator + "Media" + kPathSeparator + "big.bin");
    EXPECT_EQ(slash, backslash);
    EXPECT_EQ(ReadFile(slash), Big());

    // Asked again, the extracted file is reused, not written anew.
    WriteFile(slash, ToBytes("already here"));
    EXPECT_EQ(GetAdditionalFile("Media/big.bin"), slash);
    EXPECT_EQ(ReadFile(slash), ToBytes("already here"));

    EXPECT_EQ(GetAdditionalFile("readme.txt"), RunFolder() + "_extra" + kPathSeparator + "readme.txt");
    EXPECT_EQ(GetAttachmentsFolder(), RunFolder() + "_extra" + kPathSeparator);
}

TEST(Archive, FoldersAreExtractedWhole) {
    ScratchFolder folder;
    WriteFile(folder.Exe(), Executable(SampleTree()));
    std::string media = GetAdditionalFile("Media");
    EXPECT_EQ(media, RunFolder() + "_extra" + kPathSeparator + "Media");
    EXPECT_EQ(ReadFile(folder.Run() / "_extra" / "Media" / "big.bin"), Big());
    EXPECT_EQ(ReadFile(folder.Run() / "_extra" / "Media" / "Deep" / "x.txt"), ToBytes("x"));
}

TEST(Archive, MissingNamesAndCorruptEntriesGiveEmptyPaths) {
    ScratchFolder folder;
    WriteFile(folder.Exe(), Executable(SampleTree()));
    WriteFile(folder.Exe().parent_path() / "beside.txt", ToBytes("beside"));
    EXPECT_EQ(GetAdditionalFile("beside.txt"), "");  // the archive decides, not the folder
    EXPECT_EQ(GetAdditionalFile("Media/nothing.txt"), "");
    EXPECT_EQ(GetAdditionalFile("readme.txt/more"), GetAdditionalFile("readme.txt"));

    EXPECT_EQ(GetAdditionalFile("broken.txt"), "");
    EXPECT_FALSE(std::filesystem::exists(folder.Run() / "_extra" / "broken.txt"));

    EXPECT_THROW(GetAdditionalFile("garbled.txt"), CZipException);
    EXPECT_FALSE(std::filesystem::exists(folder.Run() / "_extra" / "garbled.txt"));

    // Extracting the whole root skips the damaged files and never writes the entry "..".
    EXPECT_EQ(GetAdditionalFile(".."), "");
    EXPECT_EQ(GetAdditionalFile(""), RunFolder() + "_extra");
    EXPECT_EQ(ReadFile(folder.Run() / "_extra" / "Media" / "Deep" / "x.txt"), ToBytes("x"));
    EXPECT_FALSE(std::filesystem::exists(folder.Run() / "_extra" / "garbled.txt"));
    EXPECT_FALSE(std::filesystem::exists(folder.Run() / "escape"));
}

TEST(Archive, WithoutMarkerFilesResolveBesideTheExecutable) {
    ScratchFolder folder;
    std::vector<uint8_t> exe = Executable(SampleTree());
    std::fill(exe.end() - 4, exe.end(), 0);
    WriteFile(folder.Exe(), exe);
    WriteFile(folder.Exe().parent_path() / "sub" / "beside.txt", ToBytes("beside"));
    EXPECT_EQ(GetAdditionalFile("\\sub/beside.txt"), ExecutableFolder() + "sub" + kPathSeparator + "beside.txt");
    EXPECT_EQ(GetAdditionalFile("readme.txt"), "");
    EXPECT_EQ(GetAttachmentsFolder(), ExecutableFolder());
    EXPECT_FALSE(std::filesystem::exists(folder.Run() / "_extra"));
}

// Trailers that lie about lengths are not archives; directories that lie stop cleanly.
TEST(Archive, LyingLengthsStopCleanly) {
    std::vector<uint8_t> good = Executable({File("a.txt", ToBytes("a")), File("b.txt", ToBytes("b"))});
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> spoil;
        bool locates;
    };
    std::vector<Case> cases = {
        {"length beyond the file", [](auto& b) { b[b.size() - 8 + 3] = 0x7F; }, false},
        {"wrong magic", [](auto& b) { b[21] = 'X'; }, false},
        {"wrong tag", [](auto& b) { b[21 + 12] = 'B'; }, false},
        {"directory length beyond", [](auto& b) { b[21 + 8 + 4 + 24 + 3] = 0x40; }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes = good;
        c.spoil(bytes);
        CMemoryAccess file(bytes);
        EXPECT_EQ(LocateArchive(file).has_value(), c.locates);
    }
    // An entry size beyond its directory: the entries before it remain.
    std::vector<uint8_t> bytes = good;
    CMemoryAccess probe(bytes);
    auto root = LocateArchive(probe);
    ASSERT_TRUE(root);
    std::vector<CArchiveEntry> entries;
    ASSERT_TRUE(ReadArchiveDirectory(probe, *root, entries));
    ASSERT_EQ(entries.size(), 2u);
    size_t secondSize = size_t(entries[1].offset - 4);
    bytes[secondSize + 3] = 0x10;
    CMemoryAccess spoiled(bytes);
    entries.clear();
    EXPECT_FALSE(ReadArchiveDirectory(spoiled, *root, entries));
    EXPECT_EQ(entries.size(), 1u);
    std::vector<uint8_t> content;
    EXPECT_TRUE(InflateArchiveFile(spoiled, entries[0], content));
    EXPECT_EQ(content, ToBytes("a"));
}
