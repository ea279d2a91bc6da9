// Streams, the compile entry's files and the diagnostics buffer text.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "compiler/stream.h"
#include "test_util.h"

namespace nerva {
namespace {

std::string TempPath(const char* name) {
    return (testing::TempDir() + "nerva_" + std::to_string(reinterpret_cast<uintptr_t>(&name) & 0xFFFF) + name);
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

TEST(Stream, FormattedWrite) {
    auto s = CScriptStream::Open({}, kStreamWriteMemory);
    const char bytes[] = {1, 2, 3};
    s->Write("acilsbxF", -12, 'Z', 0x1234, 0xA1B2C3D4u, "hi", size_t(2), static_cast<const void*>(bytes), size_t(3),
             static_cast<const void*>(bytes), 1.5);
    std::vector<uint8_t> want = {'-', '1', '2', 'Z', 0x12, 0x34, 0xA1, 0xB2, 0xC3, 0xD4, 'h', 'i', 1, 2, 0, 0, 0, 3, 1, 2, 3};
    for (char ch : std::string("1.500000")) want.push_back(static_cast<uint8_t>(ch));
    EXPECT_EQ(s->buffer(), want);
    auto d = CScriptStream::Open({}, kStreamWriteMemory);
    d->Write("d", 2.0);
    double back;
    std::memcpy(&back, d->buffer().data(), 8);
    EXPECT_EQ(back, 2.0);
}

TEST(Stream, ReadingTextAndPushBack) {
    auto s = CScriptStream::Open(std::string_view("ab\0cd", 5), kStreamReadText);
    EXPECT_EQ(s->name(), "string");
    EXPECT_EQ(s->Get(), 'a');
    s->PutBack('x');
    s->PutBack('y');
    EXPECT_EQ(s->Peek(), 'y');
    EXPECT_EQ(s->Get(), 'y');
    EXPECT_EQ(s->Get(), 'x');
    EXPECT_EQ(s->Get(), 'b');
    EXPECT_EQ(s->Get(), 0);
    EXPECT_EQ(s->Get(), 0);
    s->Rewind();
    EXPECT_EQ(s->Get(), 'a');
}

TEST(Stream, FileReadingCrossesBlocksAndStopsAtNul) {
    std::string path = TempPath("blocks.nvs");
    std::string source = "/*" + std::string(9000, '*') + "*/ x = 7;";
    WriteAll(path, source);
    std::string code = DescribeCode(CompileFile(path, 0, test::Seeded()).image);
    EXPECT_EQ(code, "function .main\nPUSHCONST int 7\nDUP\nSTOREGLOBAL x\n");
    WriteAll(path, std::string("x = 1;\0 this is not compiled (", 30));
    CompileResult r = CompileFile(path, 0x4, test::Seeded());
    EXPECT_TRUE(r.ok) << r.messages;
    // The debug section names the file by its path.
    std::string image(r.image.begin(), r.image.end());
    EXPECT_NE(image.find(path), std::string::npos);
    std::remove(path.c_str());
}

TEST(CompileEntry, MessagesAndFiles) {
    CompileResult r = CompileText("x = ;", 0);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.image.empty());
    EXPECT_EQ(r.messages, "error: line 0: syntax error: invalid expression\r\n");

    r = CompileFile("/nonexistent/dir/script.nvs", 0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.messages, "can't open the script file: /nonexistent/dir/script.nvs\n");

    CompileOptions o = test::Seeded();
    o.listingPath = TempPath("listing.lst");
    o.outputPath = TempPath("out.nsc");
    r = CompileText("x = 1;", 0, o);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(ReadAll(o.listingPath), "; -*- asm -*-\r\n");
    EXPECT_EQ(ReadAll(o.listingPath).size(), 15u);
    EXPECT_EQ(ReadAll(o.outputPath), std::string(r.image.begin(), r.image.end()));
    std::remove(o.listingPath.c_str());
    std::remove(o.outputPath.c_str());

    // Unwritable listing and output paths are skipped; the compilation still succeeds.
    o.listingPath = "/nonexistent/dir/a.lst";
    o.outputPath = "/nonexistent/dir/a.nsc";
    EXPECT_TRUE(CompileText("x = 1;", 0, o).ok);
}

TEST(CompileEntry, WarningsStayWithTheErrorAndLongTextsAreWhole) {
    CompileResult r = CompileText("a = '\\q'\nb = ;", 0x100000);
    EXPECT_EQ(r.messages,
              "warning: line 0: unknown escape sequence '\\q'\r\nwarning: line 0: missing ;\r\n"
              "error: line 1: syntax error: invalid expression\r\n");
    std::string many;
    for (int i = 0; i < 100; ++i) many += "x = '\\q';\n";
    r = CompileText(many, 0);
    EXPECT_TRUE(r.ok);
    EXPECT_GT(r.messages.size(), 1024u);
    EXPECT_NE(r.messages.find("warning: line 99: unknown escape sequence '\\q'\r\n"), std::string::npos);
}

}  // namespace
}  // namespace nerva
