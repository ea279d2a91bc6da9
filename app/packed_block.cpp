// Packing and unpacking of "SM" blocks.
#include "app/packed_block.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <new>

#include "app/app_exception.h"
#include "port/byte_order.h"

namespace vantor {

namespace {

// Deflate cannot expand data by more than this factor; an unpacked size beyond it is a lie
// of the header and must not make us allocate gigabytes for a few stream bytes.
constexpr uint64_t kMaxInflateRatio = 1032;
constexpr uint64_t kInflateSlack = 1024;

size_t PlausibleOutputSize(const CPackedBlock& header) {
    uint64_t bound = uint64_t(header.packedSize) * kMaxInflateRatio + kInflateSlack;
    return size_t(std::min<uint64_t>(header.unpackedSize, bound));
}

// One-shot inflation with the finishing flush: success is the end of the stream; a stream
// that does not end within the buffer (too long, or cut short) is a buffer error.
int InflateWhole(const uint8_t* in, uint32_t inSize, uint8_t* out, size_t outSize, size_t& produced) {
    z_stream stream{};
    uint8_t dummy = 0;
    stream.next_in = const_cast<Bytef*>(in);
    stream.avail_in = inSize;
    stream.next_out = outSize ? out : &dummy;
    stream.avail_out = uInt(outSize);
    produced = 0;

    int result = inflateInit(&stream);
    if (result != Z_OK) return result;
    result = inflate(&stream, Z_FINISH);
    produced = stream.total_out;
    inflateEnd(&stream);
    if (result == Z_STREAM_END) return Z_OK;
    return result == Z_OK ? Z_BUF_ERROR : result;
}

}  // namespace

bool CPackedBlock::ParseHeader(std::span<const uint8_t> bytes, CPackedBlock& header) {
    if (bytes.size() < kHeaderSize) return false;
    if (bytes[0] != 'S' || bytes[1] != 'M' || ReadLE16(&bytes[2]) != kVersion) return false;
    header.unpackedSize = ReadLE32(&bytes[4]);
    header.packedSize = ReadLE32(&bytes[8]);
    header.checksum = ReadLE32(&bytes[12]);
    return true;
}

void CPackedBlock::WriteHeader(uint8_t out[kHeaderSize]) const {
    out[0] = 'S';
    out[1] = 'M';
    WriteLE16(&out[2], kVersion);
    WriteLE32(&out[4], unpackedSize);
    WriteLE32(&out[8], packedSize);
    WriteLE32(&out[12], checksum);
}

const char* ZlibMessage(int code) {
    switch (code) {
        case Z_BUF_ERROR: return "There was not enough room in the compress(uncompress) output buffer";
        case Z_MEM_ERROR: return "There was not enough memory for compress(uncompress)";
        case Z_DATA_ERROR: return "The compress(uncompress) input data was corrupted";
        case Z_STREAM_ERROR: return "The compress level parameter is invalid";
        default: return "Compression or uncompression failed";
    }
}

UnpackedBytes UnpackBlockOrThrow(std::span<const uint8_t> bytes) {
    if (bytes.size() <= CPackedBlock::kHeaderSize) throw CZipException("Bad compressed data length");
    CPackedBlock header;
    if (!CPackedBlock::ParseHeader(bytes, header)) throw CZipException("Bad compressed data header");
    if (bytes.size() - CPackedBlock::kHeaderSize < header.packedSize)
        throw CZipException("Bad compressed data length");

    // The buffer is sized by the header but never beyond what the stream could produce: a
    // stream that inflates past the header's size fails either way.
    size_t capacity = PlausibleOutputSize(header);
    UnpackedBytes out;
    try {
        out.resize(capacity);
    } catch (const std::bad_alloc&) {
        throw CZipException(ZlibMessage(Z_MEM_ERROR));
    }
    size_t produced = 0;
    int result = InflateWhole(bytes.data() + CPackedBlock::kHeaderSize, header.packedSize, out.data(),
                              out.size(), produced);
    if (result != Z_OK) throw CZipException(ZlibMessage(result));
    out.resize(produced);
    return out;
}

bool UnpackBlock(std::span<const uint8_t> bytes, UnpackedBytes& out) {
    out.clear();
    try {
        out = UnpackBlockOrThrow(bytes);
        return true;
    } catch (const CZipException&) {
        UnpackedBytes().swap(out);
        return false;
    }
}

std::vector<uint8_t> PackBlock(std::span<const uint8_t> bytes) {
    if (bytes.size() > std::numeric_limits<uint32_t>::max()) throw CZipException("Bad compressed data length");
    uLongf bound = compressBound(uLong(bytes.size()));
    std::vector<uint8_t> block(CPackedBlock::kHeaderSize + bound);
    uLongf packed = bound;
    int result = compress2(block.data() + CPackedBlock::kHeaderSize, &packed, bytes.data(), uLong(bytes.size()),
                           Z_BEST_COMPRESSION);
    if (result != Z_OK) throw CZipException(ZlibMessage(result));

    CPackedBlock header;
    header.unpackedSize = uint32_t(bytes.size());
    header.packedSize = uint32_t(packed);
    header.checksum = uint32_t(crc32(crc32(0, nullptr, 0), bytes.data(), uInt(bytes.size())));
    header.WriteHeader(block.data());
    block.resize(CPackedBlock::kHeaderSize + packed);
    return block;
}

}  // namespace vantor
