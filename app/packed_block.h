// Packed blocks: the "SM" container in which a title's payload resources travel.
//
//   offset 0   2 bytes  magic "SM"
//   offset 2   u16      version, always 1
//   offset 4   u32      unpacked size
//   offset 8   u32      packed size (stream bytes after the header)
//   offset 12  u32      CRC-32 of the unpacked bytes (written, never checked by the reader)
//   offset 16           zlib stream
//
// All integers are little-endian. Bytes after the stream are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vantor {

struct CPackedBlock {
    static constexpr size_t kHeaderSize = 16;
    static constexpr uint16_t kVersion = 1;

    uint32_t unpackedSize = 0;
    uint32_t packedSize = 0;
    uint32_t checksum = 0;

    // Reads the header fields; true when the magic and version are right.
    // The bytes must hold at least kHeaderSize bytes.
    static bool ParseHeader(std::span<const uint8_t> bytes, CPackedBlock& header);
    void WriteHeader(uint8_t out[kHeaderSize]) const;
};

// Unpacked bytes, owned by the caller.
using UnpackedBytes = std::vector<uint8_t>;

// Unpacks a whole block. On failure `out` is left empty and false is returned; the reason
// never leaves the reader.
bool UnpackBlock(std::span<const uint8_t> bytes, UnpackedBytes& out);

// The same, but a failure throws CZipException with the reason's text.
UnpackedBytes UnpackBlockOrThrow(std::span<const uint8_t> bytes);

// Packs bytes into a block (best compression, header and CRC-32), for the title builder.
std::vector<uint8_t> PackBlock(std::span<const uint8_t> bytes);

// The message for a zlib result code, as the readers report it.
const char* ZlibMessage(int code);

}  // namespace vantor
