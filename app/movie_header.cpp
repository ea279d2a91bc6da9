// Movie header reading, including compressed movies and projectors with an appended movie.
#include "app/movie_header.h"

#include <zlib.h>

#include <algorithm>
#include <vector>

#include "app/archive.h"
#include "port/byte_order.h"

namespace vantor {

namespace {

// A compressed movie states its inflated length in the header; a lie must not make us
// allocate gigabytes for a few bytes of input.
constexpr uint64_t kMaxInflateRatio = 1032;

class BitReader {
public:
    explicit BitReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    bool Bits(unsigned count, uint32_t& value) {
        value = 0;
        for (unsigned i = 0; i < count; ++i) {
            size_t byte = bit_ / 8;
            if (byte >= bytes_.size()) return false;
            value = (value << 1) | ((bytes_[byte] >> (7 - bit_ % 8)) & 1);
            ++bit_;
        }
        return true;
    }
    size_t BytePosition() const { return (bit_ + 7) / 8; }

private:
    std::span<const uint8_t> bytes_;
    size_t bit_ = 0;
};

bool IsMovieSignature(const uint8_t* p) { return (p[0] == 'F' || p[0] == 'C') && p[1] == 'W' && p[2] == 'S'; }

bool InflateBody(std::span<const uint8_t> packed, size_t want, std::vector<uint8_t>& out) {
    want = size_t(std::min<uint64_t>(want, uint64_t(packed.size()) * kMaxInflateRatio + 1024));
    out.resize(want);
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    z.next_in = const_cast<Bytef*>(packed.data());
    z.avail_in = uInt(std::min<size_t>(packed.size(), UINT32_MAX));
    uint8_t dummy;
    z.next_out = want ? out.data() : &dummy;
    z.avail_out = uInt(want);
    int result = inflate(&z, Z_FINISH);
    out.resize(z.total_out);
    inflateEnd(&z);
    // A cut or over-long stream still gives the header we need from what was produced.
    return result == Z_STREAM_END || result == Z_BUF_ERROR || result == Z_OK;
}

// Reads the fields after the 8-byte file header from `body`.
std::optional<CMovieHeader> ParseBody(CMovieHeader header, std::span<const uint8_t> body) {
    BitReader bits(body);
    uint32_t n, xmin, xmax, ymin, ymax;
    if (!bits.Bits(5, n) || !bits.Bits(n, xmin) || !bits.Bits(n, xmax) || !bits.Bits(n, ymin) || !bits.Bits(n, ymax))
        return std::nullopt;
    header.left = int32_t(xmin * 0.05), header.right = int32_t(xmax * 0.05);
    header.top = int32_t(ymin * 0.05), header.bottom = int32_t(ymax * 0.05);
    size_t at = bits.BytePosition();
    if (body.size() - at < 4) return std::nullopt;
    header.frameRate = ReadLE16(&body[at]) >> 8;
    header.frameCount = ReadLE16(&body[at + 2]);
    at += 4;
    while (body.size() - at >= 2) {
        uint16_t code = ReadLE16(&body[at]);
        at += 2;
        uint32_t type = code >> 6, length = code & 0x3F;
        if (length == 0x3F) {
            if (body.size() - at < 4) break;
            length = ReadLE32(&body[at]);
            at += 4;
        }
        if (type == 9) {
            if (body.size() - at >= 3) header.background = int32_t((body[at] << 16) | (body[at + 1] << 8) | body[at + 2]);
            break;
        }
        if (type == 0 || length > body.size() - at) break;  // end tag, or a tag cut off
        at += length;
    }
    return header;
}

}  // namespace

std::optional<CMovieHeader> ReadMovieHeaderFrom(std::span<const uint8_t> bytes) {
    if (bytes.size() < 8 || !IsMovieSignature(bytes.data())) return std::nullopt;
    CMovieHeader header;
    header.version = bytes[3];
    header.fileLength = ReadLE32(&bytes[4]);
    if (bytes[0] == 'F') return ParseBody(header, bytes.subspan(8));
    std::vector<uint8_t> body;
    if (header.fileLength < 8 || !InflateBody(bytes.subspan(8), header.fileLength - 8, body)) return std::nullopt;
    return ParseBody(header, body);
}

std::optional<CMovieHeader> ReadMovieHeader(const std::string& path) {
    CFileAccess file(path);
    if (!file.Open() || file.Size() < 8) return std::nullopt;
    uint8_t head[8];
    if (!file.ReadAt(0, head, 8)) return std::nullopt;
    uint64_t start = 0, length = file.Size();
    if (!IsMovieSignature(head)) {
        // A projector with the movie appended: the last u32 is its length.
        uint8_t tail[4];
        if (!file.ReadAt(file.Size() - 4, tail, 4)) return std::nullopt;
        length = ReadLE32(tail);
        if (length < 8 || length + 8 > file.Size()) return std::nullopt;
        start = file.Size() - length - 8;
        if (!file.ReadAt(start, head, 8) || !IsMovieSignature(head)) return std::nullopt;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    if (!file.ReadAt(start, bytes.data(), bytes.size())) return std::nullopt;
    return ReadMovieHeaderFrom(bytes);
}

}  // namespace vantor
