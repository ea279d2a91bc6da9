// The two image readers: the header, "#" first lines, and damaged images that must fail
// without reading outside what they were given.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "port/byte_order.h"
#include "runtime/image.h"
#include "tests/runtime/runtime_test_util.h"

namespace nerva::test {
namespace {

// `Application.setFocus = true; return true;` as the compiler writes it.
std::vector<uint8_t> SampleImage() {
    std::vector<uint8_t> image(56);
    std::memcpy(image.data(), "NS1b", 4);
    const uint32_t table[4][3] = {{0x12345600, 56, 13}, {0x00ABCD01, 69, 23}, {0x77777702, 92, 14}, {0x00000003, 106, 0}};
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 3; ++k) vantor::WriteLE32(&image[4 + 12 * i + 4 * k], table[i][k]);
    vantor::WriteLE32(&image[52], 0xFFFFFFFF);
    const uint8_t code[] = {0x60, 0x58, 0, 0, 0, 0, 0x51, 0, 0, 0, 1, 0x60, 0x33};
    image.insert(image.end(), code, code + sizeof code);
    const char constants[] = "\x0A" "Application" "\0" "\x0A" "setFocus";
    image.insert(image.end(), constants, constants + sizeof constants);
    const uint8_t functions[] = {0, 0, 0, 1, '.', 'm', 'a', 'i', 'n', 0, 0, 0, 0, 0};
    image.insert(image.end(), functions, functions + sizeof functions);
    return image;
}

struct ImageDeleter {
    void operator()(CCompiledScript* s) const { FreeImage(s); }
};
using ImagePtr = std::unique_ptr<CCompiledScript, ImageDeleter>;

TEST(ImageReader, ReadsTheSectionTableFromMemory) {
    std::vector<uint8_t> bytes = SampleImage();
    ASSERT_EQ(bytes.size(), 106u);
    ImagePtr image(ReadImageBuffer(bytes.data(), bytes.size()));
    ASSERT_TRUE(image);
    ASSERT_EQ(image->sections.size(), 4u);
    const uint8_t ids[] = {0, 1, 2, 3};
    const uint32_t sizes[] = {13, 23, 14, 0};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(image->sections[i].id, ids[i]) << "tag noise in the upper bits is dropped";
        EXPECT_EQ(image->sections[i].size, sizes[i]);
        EXPECT_EQ(image->sections[i].bytes.size(), sizes[i] + 1u);
    }
    EXPECT_EQ(image->sections[0].bytes[0], 0x60);
    EXPECT_EQ(image->loaderState, 0u);
}

TEST(ImageReader, SkipsAHashLineInMemoryAndInFiles) {
    std::vector<uint8_t> bytes = SampleImage();
    std::string line = "#!/usr/bin/nervac run\n";
    std::vector<uint8_t> prefixed(line.begin(), line.end());
    prefixed.insert(prefixed.end(), bytes.begin(), bytes.end());
    ImagePtr fromMemory(ReadImageBuffer(prefixed.data(), prefixed.size()));
    ASSERT_TRUE(fromMemory);
    EXPECT_EQ(fromMemory->sections[1].bytes[1], 'A');

    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    std::fwrite(prefixed.data(), 1, prefixed.size(), f);
    std::rewind(f);
    ImagePtr fromFile(ReadImageFile(f));
    std::fclose(f);
    ASSERT_TRUE(fromFile);
    ASSERT_EQ(fromFile->sections.size(), 4u);
    EXPECT_EQ(fromFile->sections[2].bytes, fromMemory->sections[2].bytes);
}

TEST(ImageReader, RefusesDamagedImages) {
    std::vector<uint8_t> good = SampleImage();
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    std::vector<Case> cases;
    for (int i = 0; i < 4; ++i) {
        auto b = good;
        b[i] ^= 0x20;
        cases.push_back({"magic differs", b});
    }
    cases.push_back({"too short", {'N', 'S', '1', 'b'}});
    cases.push_back({"hash line without line feed", {'#', '!', 'x'}});
    {
        auto b = good;
        b.resize(40);  // table cut before its terminator
        cases.push_back({"no terminator", b});
    }
    {
        auto b = good;
        vantor::WriteLE32(&b[8 + 12], 100);  // constants section runs past the end
        cases.push_back({"section past the end", b});
    }
    {
        auto b = good;
        vantor::WriteLE32(&b[8], 0xFFFFFFF0u);  // offset + size wraps in 32 bits
        cases.push_back({"wrapping offset", b});
    }
    for (const Case& c : cases) {
        EXPECT_EQ(ReadImageBuffer(c.bytes.data(), c.bytes.size()), nullptr) << c.what;
        std::FILE* f = std::tmpfile();
        std::fwrite(c.bytes.data(), 1, c.bytes.size(), f);
        std::rewind(f);
        EXPECT_EQ(ReadImageFile(f), nullptr) << c.what << " (file)";
        std::fclose(f);
    }
}

TEST(ImageReader, FileSectionSizesAreCheckedBeforeAllocation) {
    std::vector<uint8_t> b = SampleImage();
    vantor::WriteLE32(&b[12], 0x7FFFFFF0u);  // a huge code section in a small file
    std::FILE* f = std::tmpfile();
    std::fwrite(b.data(), 1, b.size(), f);
    std::rewind(f);
    EXPECT_EQ(ReadImageFile(f), nullptr);
    std::fclose(f);
}

class SampleRun : public EngineTest {};

TEST_F(SampleRun, RunsTheCompilersSampleImage) {
    std::vector<uint8_t> bytes = SampleImage();
    ASSERT_TRUE(RunBuffer(*engine, bytes.data(), bytes.size())) << Message();
    EXPECT_EQ(Result().tag, TagBoolean);
    EXPECT_EQ(Result().u, 1u);
    // Application is not defined in a bare engine: reading it warns, storing into it warns.
    ASSERT_EQ(traced.size(), 2u);
    EXPECT_EQ(traced[0], "Warning: using undefined variable \"Application\"");
    EXPECT_EQ(traced[1], "Warning: using undefined property \"setFocus\"");
}

}  // namespace
}  // namespace nerva::test
