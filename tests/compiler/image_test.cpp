// Image writer: header, section table, code operand encodings, constant pool, function table
// and line table, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "test_util.h"

namespace nerva {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Le32(const Bytes& b, size_t at) { return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24); }

struct Sections {
    Bytes part[4];
};

Sections Split(const Bytes& image) {
    Sections s;
    for (int i = 0; i < 4; ++i) {
        uint32_t offset = Le32(image, 4 + 12 * i + 4), size = Le32(image, 4 + 12 * i + 8);
        s.part[i].assign(image.begin() + offset, image.begin() + offset + size);
    }
    return s;
}

Bytes Compile(const std::string& source, uint32_t flags = 0) {
    CompileResult r = CompileText(source, flags, test::Seeded());
    EXPECT_TRUE(r.ok) << r.messages;
    return r.image;
}

Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s) + 1); }

bool Contains(const Bytes& hay, const Bytes& needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

TEST(Image, WorkedExampleByteForByte) {
    Bytes image = Compile("Application.setFocus = true; return true;");
    ASSERT_EQ(image.size(), 106u);
    EXPECT_EQ(Bytes(image.begin(), image.begin() + 4), (Bytes{'N', 'S', '1', 'b'}));
    const uint32_t want[4][3] = {{0, 56, 13}, {1, 69, 23}, {2, 92, 14}, {3, 106, 0}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Le32(image, 4 + 12 * i) & 0xFF, want[i][0]);
        EXPECT_EQ(Le32(image, 8 + 12 * i), want[i][1]);
        EXPECT_EQ(Le32(image, 12 + 12 * i), want[i][2]);
    }
    EXPECT_EQ(Le32(image, 52), 0xFFFFFFFFu);
    Sections s = Split(image);
    EXPECT_EQ(s.part[0], (Bytes{0x60, 0x58, 0, 0, 0, 0, 0x51, 0, 0, 0, 1, 0x60, 0x33}));
    Bytes constants = {0x0A};
    for (uint8_t b : Text("Application")) constants.push_back(b);
    constants.push_back(0x0A);
    for (uint8_t b : Text("setFocus")) constants.push_back(b);
    EXPECT_EQ(s.part[1], constants);
    EXPECT_EQ(s.part[2], (Bytes{0, 0, 0, 1, '.', 'm', 'a', 'i', 'n', 0, 0, 0, 0, 0}));
}

TEST(Image, TagNoiseIsFixedBySeedAndKeepsTheIds) {
    CompileOptions a = test::Seeded(), b = test::Seeded();
    b.tagSeed = 2;
    Bytes one = CompileText("x = 1;", 0, a).image, again = CompileText("x = 1;", 0, a).image;
    Bytes other = CompileText("x = 1;", 0, b).image;
    EXPECT_EQ(one, again);
    EXPECT_NE(one, other);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Le32(one, 4 + 12 * i) & 0xFF, uint32_t(i));
        EXPECT_EQ(Le32(other, 4 + 12 * i) & 0xFF, uint32_t(i));
        // Only the tags differ.
        for (int k = 1; k < 3; ++k) EXPECT_EQ(Le32(one, 4 + 12 * i + 4 * k), Le32(other, 4 + 12 * i + 4 * k));
    }
    EXPECT_EQ(Bytes(one.begin() + 56, one.end()), Bytes(other.begin() + 56, other.end()));
    // Without a seed the writer still produces ids in the low bytes.
    Bytes unseeded = CompileText("x = 1;", 0, {}).image;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Le32(unseeded, 4 + 12 * i) & 0xFF, uint32_t(i));
}

TEST(Image, StringConstantsAreUtf16) {
    Sections s = Split(Compile("x = \"_root.word_file\";"));
    Bytes want = {0x04, 0, 0, 0, 0x1E};
    for (char ch : std::string("_root.word_file")) {
        want.push_back(static_cast<uint8_t>(ch));
        want.push_back(0);
    }
    EXPECT_EQ(Bytes(s.part[1].begin(), s.part[1].begin() + 35), want);
    // Bytes above 127 are taken in the ANSI code page (Windows-1252 here and under Wine).
    s = Split(Compile("x = \"\x80\xE9\";"));
    EXPECT_EQ(Bytes(s.part[1].begin(), s.part[1].begin() + 9), (Bytes{0x04, 0, 0, 0, 4, 0xAC, 0x20, 0xE9, 0}));
}

TEST(Image, ConstantPoolSharing) {
    // Two uses of one global give one name; the name x and the string "x" are two constants.
    Sections s = Split(Compile("x = \"x\"; y = x;"));
    Bytes want = {0x04, 0, 0, 0, 2, 'x', 0, 0x0A, 'x', 0, 0x0A, 'y', 0};
    EXPECT_EQ(s.part[1], want);
    // An integer and a float of equal value differ; equal floats share.
    s = Split(Compile("a = 5; b = 5.0; c = 0.5; d = 5.0; e = 5;"));
    int ints = 0, floats = 0;
    for (size_t i = 0; i < s.part[1].size();) {
        uint8_t kind = s.part[1][i];
        if (kind == 0x03) ++ints, i += 9;
        else if (kind == 0x05) ++floats, i += 9;
        else i += std::strlen(reinterpret_cast<const char*>(&s.part[1][i + 1])) + 2;
    }
    EXPECT_EQ(ints, 1);
    EXPECT_EQ(floats, 2);
    // Integer constants are 64-bit big-endian; regular expressions carry flags and UTF-16.
    s = Split(Compile("a = 0x0102030405060708; b = /a/gm;"));
    EXPECT_TRUE(Contains(s.part[1], {0x03, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_TRUE(Contains(s.part[1], {0x0B, 5, 0, 0, 0, 2, 'a', 0}));
}

TEST(Image, OperandEncodings) {
    // Jumps count from the end of the jump instruction, backward ones negative.
    Sections s = Split(Compile("while (a) b();"));
    EXPECT_EQ(s.part[0], (Bytes{0x58, 0, 0, 0, 0, 0x38, 0, 0, 0, 14, 0x5D, 0x58, 0, 0, 0, 1, 0x34, 0x66, 3, 0x35, 0xFF,
                                0xFF, 0xFF, 0xE8, 0x5E}));
    // A signed 32-bit immediate, constant indexes, u16 and u8 operands.
    s = Split(Compile("x = [9, 9, 9, 9, 9];"));
    EXPECT_TRUE(Contains(s.part[0], {0x59, 0xFF, 0xFF, 0xFF, 0xFB}));
    EXPECT_TRUE(Contains(s.part[0], {0x62, 0, 0, 0, 0}));
    s = Split(Compile("function f(o) { var a = 1, b = 2; for (var k in o) g(k, a, b); }"));
    EXPECT_TRUE(Contains(s.part[0], {0x56, 0x01, 0x23, 0x2D, 0x03, 0x2E, 0x00, 0x03}));  // LOADARG 1, ADD2, ARGS 3, LOCALS 3
    EXPECT_TRUE(Contains(s.part[0], {0x53, 0x00, 0x00}));                                // STOREVAR 0
    EXPECT_TRUE(Contains(s.part[0], {0x63, 0xFD, 0x68, 0x63, 0x04}));                    // ROT -3, DUP, ROT 4
    // The function table lists every header with its code offset.
    EXPECT_EQ(Bytes(s.part[2].begin(), s.part[2].begin() + 6), (Bytes{0, 0, 0, 1, 'f', 0}));
}

TEST(Image, FunctionTableOrderAndOffsets) {
    Sections s = Split(Compile("function a() {} function b() {} x;"));
    Bytes want = {0, 0, 0, 3, 'a', 0, 0, 0, 0, 0, 'b', 0, 0, 0, 0, 7, '.', 'm', 'a', 'i', 'n', 0, 0, 0, 0, 14};
    EXPECT_EQ(s.part[2], want);
}

TEST(Image, DebugSectionRecordsLineChanges) {
    Bytes image = Compile("x = 1;\ny = 2;", 0x4);
    Sections s = Split(image);
    Bytes want = {1, 0, 0, 0, 6, 's', 't', 'r', 'i', 'n', 'g', 2, 0, 0, 0, 7, 0, 0, 0, 1};
    EXPECT_EQ(s.part[3], want);
    EXPECT_EQ(Le32(image, 4 + 36 + 8), want.size());
    // Without the option the entry is there with size 0.
    EXPECT_EQ(Le32(Compile("x = 1;\ny = 2;"), 4 + 36 + 8), 0u);
}

TEST(Image, SourceOfOnlyFunctionsHasNoMain) {
    Sections s = Split(Compile("function f() {}"));
    EXPECT_EQ(s.part[2], (Bytes{0, 0, 0, 1, 'f', 0, 0, 0, 0, 0}));
    Sections empty = Split(Compile(""));
    EXPECT_TRUE(empty.part[0].empty());
    EXPECT_EQ(empty.part[2], (Bytes{0, 0, 0, 0}));
}

TEST(Disasm, ListsEverySectionAndRejectsBadImages) {
    Bytes image = Compile("function f(a) { return a + 1.5; }\nx = f(\"s\");", 0x4);
    std::string out, error;
    ASSERT_TRUE(DisassembleImage(image.data(), image.size(), {}, out, error)) << error;
    for (const char* part : {"constants:", "float 1.5", "string \"s\"", "functions:", "  f at 0000", "function .main",
                             "LOADARG 2", "CALL", "lines:", "source \"string\""})
        EXPECT_NE(out.find(part), std::string::npos) << part << "\n" << out;
    // A leading # line is skipped.
    Bytes hashed = {'#', '!', 'x', '\n'};
    hashed.insert(hashed.end(), image.begin(), image.end());
    out.clear();
    EXPECT_TRUE(DisassembleImage(hashed.data(), hashed.size(), {}, out, error));
    struct Bad {
        Bytes bytes;
        const char* error;
    } bad[] = {
        {{'N', 'S', '1', 'c', 0xFF, 0xFF, 0xFF, 0xFF}, "not an NS1b image, or its section table is damaged"},
        {{'N', 'S', '1', 'b', 0, 0, 0, 0}, "not an NS1b image, or its section table is damaged"},
        {{'N', 'S', '1', 'b', 0, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0}, "not an NS1b image, or its section table is damaged"},
        {{'N', 'S', '1', 'b', 0, 0, 0, 0, 16, 0, 0, 0, 9, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, "not an NS1b image, or its section table is damaged"},
        {{'N', 'S', '1', 'b', 0, 0, 0, 0, 20, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x10}, "bad opcode 0x10 at 0"},
        {{'N', 'S', '1', 'b', 0, 0, 0, 0, 20, 0, 0, 0, 2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x58, 0}, "operand cut short at 0"},
        {{'#', 'x'}, "not an NS1b image, or its section table is damaged"},
    };
    for (const Bad& b : bad) {
        out.clear();
        error.clear();
        EXPECT_FALSE(DisassembleImage(b.bytes.data(), b.bytes.size(), {}, out, error));
        EXPECT_EQ(error, b.error);
    }
}

}  // namespace
}  // namespace nerva
