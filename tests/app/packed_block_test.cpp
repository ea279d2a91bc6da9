// Unpacking of "SM" blocks: header and length checks, every zlib failure class, sizes.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "app/app_exception.h"
#include "app/packed_block.h"
#include "port/byte_order.h"

using namespace vantor;

namespace {

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> Deflate(const std::vector<uint8_t>& data) {
    uLongf size = compressBound(uLong(data.size()));
    std::vector<uint8_t> out(size);
    EXPECT_EQ(compress(out.data(), &size, data.data(), uLong(data.size())), Z_OK);
    out.resize(size);
    return out;
}

// A block around an arbitrary stream with the given header fields.
std::vector<uint8_t> Block(const std::vector<uint8_t>& stream, uint32_t unpacked, uint32_t packed,
                           const char* magic = "SM\x01\x00") {
    std::vector<uint8_t> block(16);
    for (int i = 0; i < 4; ++i) block[i] = uint8_t(magic[i]);
    WriteLE32(&block[4], unpacked);
    WriteLE32(&block[8], packed);
    WriteLE32(&block[12], 0xDEADBEEF);
    block.insert(block.end(), stream.begin(), stream.end());
    return block;
}

std::string FailureOf(const std::vector<uint8_t>& block) {
    try {
        UnpackBlockOrThrow(block);
    } catch (const CZipException& e) {
        return e.Message();
    }
    return "(no failure)";
}

const std::vector<uint8_t> kText = Bytes("The quick brown fox jumps over the lazy dog. The quick brown fox.");

}  // namespace

TEST(PackedBlock, RoundTripKeepsBytesAndWritesHeader) {
    std::vector<uint8_t> block = PackBlock(kText);
    CPackedBlock header;
    ASSERT_TRUE(CPackedBlock::ParseHeader(block, header));
    EXPECT_EQ(header.unpackedSize, kText.size());
    EXPECT_EQ(header.packedSize, block.size() - 16);
    EXPECT_EQ(header.checksum, crc32(0, kText.data(), uInt(kText.size())));

    UnpackedBytes out;
    ASSERT_TRUE(UnpackBlock(block, out));
    EXPECT_EQ(out, kText);
}

TEST(PackedBlock, LargeBlockRoundTrips) {
    std::vector<uint8_t> data(5 << 20);
    uint32_t seed = 12345;
    for (auto& b : data) {
        seed = seed * 1103515245 + 12345;
        b = uint8_t((seed >> 16) & 0x3F);  // compressible but not trivial
    }
    UnpackedBytes out;
    ASSERT_TRUE(UnpackBlock(PackBlock(data), out));
    EXPECT_EQ(out, data);
}

TEST(PackedBlock, EmptyPayloadRoundTrips) {
    UnpackedBytes out{1, 2, 3};
    ASSERT_TRUE(UnpackBlock(PackBlock({}), out));
    EXPECT_TRUE(out.empty());
}

struct FailureCase {
    const char* name;
    std::vector<uint8_t> block;
    const char* message;
};

TEST(PackedBlock, FailuresCarryTheirMessages) {
    std::vector<uint8_t> stream = Deflate(kText);
    uint32_t n = uint32_t(stream.size());
    std::vector<uint8_t> corrupt = stream;
    corrupt[0] = 0x78;
    corrupt[1] = 0x00;  // header check bits wrong
    std::vector<uint8_t> badBlockType = stream;
    badBlockType[2] = 0xFF;  // reserved block type 3
    std::vector<uint8_t> presetDictionary = {0x78, 0xBB, 0, 0, 0, 1};

    const std::vector<FailureCase> cases = {
        {"empty", {}, "Bad compressed data length"},
        {"header only", Block({}, 0, 0), "Bad compressed data length"},
        {"fifteen bytes", std::vector<uint8_t>(15, 'S'), "Bad compressed data length"},
        {"version 2", Block(stream, uint32_t(kText.size()), n, "SM\x02\x00"), "Bad compressed data header"},
        {"lower-case magic", Block(stream, uint32_t(kText.size()), n, "sm\x01\x00"), "Bad compressed data header"},
        {"wrong magic", Block(stream, uint32_t(kText.size()), n, "MS\x01\x00"), "Bad compressed data header"},
        {"packed size beyond resource", Block(stream, uint32_t(kText.size()), n + 1), "Bad compressed data length"},
        {"packed size near 4 GiB", Block(stream, uint32_t(kText.size()), 0xFFFFFFF8u), "Bad compressed data length"},
        {"output too small", Block(stream, uint32_t(kText.size()) - 1, n),
         "There was not enough room in the compress(uncompress) output buffer"},
        {"stream cut short", Block({stream.begin(), stream.end() - 10}, uint32_t(kText.size()), n - 10),
         "There was not enough room in the compress(uncompress) output buffer"},
        {"corrupt zlib header", Block(corrupt, uint32_t(kText.size()), n),
         "The compress(uncompress) input data was corrupted"},
        {"reserved block type", Block(badBlockType, uint32_t(kText.size()), n),
         "The compress(uncompress) input data was corrupted"},
        {"preset dictionary", Block(presetDictionary, 100, 6), "Compression or uncompression failed"},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FailureOf(c.block), c.message);
        UnpackedBytes out{9};
        EXPECT_FALSE(UnpackBlock(c.block, out));
        EXPECT_TRUE(out.empty());
    }
}

TEST(PackedBlock, ShorterStreamReturnsProducedLength) {
    std::vector<uint8_t> stream = Deflate(kText);
    UnpackedBytes out;
    ASSERT_TRUE(UnpackBlock(Block(stream, uint32_t(kText.size()) + 500, uint32_t(stream.size())), out));
    EXPECT_EQ(out, kText);
}

TEST(PackedBlock, WrongChecksumAndTrailingBytesAreIgnored) {
    std::vector<uint8_t> stream = Deflate(kText);
    std::vector<uint8_t> block = Block(stream, uint32_t(kText.size()), uint32_t(stream.size()));
    block.insert(block.end(), {'t', 'a', 'i', 'l'});
    UnpackedBytes out;
    ASSERT_TRUE(UnpackBlock(block, out));
    EXPECT_EQ(out, kText);
}

TEST(PackedBlock, HugeClaimedSizeDoesNotAllocateIt) {
    // A 4 GiB claim behind a few stream bytes unpacks what the stream holds.
    std::vector<uint8_t> stream = Deflate(kText);
    UnpackedBytes out;
    ASSERT_TRUE(UnpackBlock(Block(stream, 0xFFFFFFFFu, uint32_t(stream.size())), out));
    EXPECT_EQ(out, kText);
    EXPECT_LT(out.capacity(), size_t(1) << 24);
}
