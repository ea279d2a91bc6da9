// Payloads, streaming block packing and SHA-256.
#include "payload.h"

#include <zlib.h>

#include <cstring>
#include <fstream>
#include <stdexcept>

#include "app/packed_block.h"
#include "json.h"
#include "port/byte_order.h"

namespace vantor::pack {

TempFile::TempFile(std::string path) : path_(std::move(path)) {
    file_ = std::fopen(path_.c_str(), "w+b");
    if (!file_) throw InputError("cannot create the temporary file " + path_);
}

TempFile::~TempFile() {
    if (file_) std::fclose(file_);
    std::remove(path_.c_str());
}

Payload Payload::FromBytes(std::vector<uint8_t> b) {
    Payload p;
    p.bytes = std::move(b);
    return p;
}

std::vector<uint8_t> Payload::Read() const {
    std::vector<uint8_t> out;
    ForEachChunk([&](std::span<const uint8_t> chunk) { out.insert(out.end(), chunk.begin(), chunk.end()); });
    return out;
}

struct BlockPacker::State {
    // A packer abandoned by an error still releases the deflate state.
    ~State() {
        if (open) deflateEnd(&z);
    }
    bool open = false;
    z_stream z{};
    uLong crc = crc32(0, nullptr, 0);
    uint64_t in = 0, out = 0;
    uint8_t buffer[1 << 16];
};

BlockPacker::BlockPacker(std::shared_ptr<TempFile> file, int level) : file_(std::move(file)), state_(std::make_shared<State>()) {
    if (deflateInit(&state_->z, level) != Z_OK) throw InputError("the compression level must be 0 to 9");
    state_->open = true;
    uint8_t header[CPackedBlock::kHeaderSize] = {};
    std::fwrite(header, 1, sizeof header, file_->Handle());
}

void BlockPacker::Drain(int flush) {
    z_stream& z = state_->z;
    int result;
    do {
        z.next_out = state_->buffer;
        z.avail_out = sizeof state_->buffer;
        result = deflate(&z, flush);
        size_t produced = sizeof state_->buffer - z.avail_out;
        if (produced && std::fwrite(state_->buffer, 1, produced, file_->Handle()) != produced)
            throw InputError("cannot write the temporary file " + file_->Path());
        state_->out += produced;
    } while (z.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
}

void BlockPacker::Write(const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        uInt n = uInt(std::min<size_t>(size, 1u << 30));
        state_->crc = crc32(state_->crc, p, n);
        state_->z.next_in = const_cast<Bytef*>(p);
        state_->z.avail_in = n;
        Drain(Z_NO_FLUSH);
        state_->in += n, p += n, size -= n;
    }
}

void BlockPacker::WriteFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError("cannot read " + path);
    std::vector<char> chunk(1 << 16);
    while (in.read(chunk.data(), std::streamsize(chunk.size())) || in.gcount() > 0) Write(chunk.data(), size_t(in.gcount()));
}

Payload BlockPacker::Finish() {
    Drain(Z_FINISH);
    deflateEnd(&state_->z);
    state_->open = false;
    if (state_->in > UINT32_MAX || state_->out > UINT32_MAX) throw InputError("a resource is larger than 4 GB");
    CPackedBlock header;
    header.unpackedSize = uint32_t(state_->in);
    header.packedSize = uint32_t(state_->out);
    header.checksum = uint32_t(state_->crc);
    uint8_t bytes[CPackedBlock::kHeaderSize];
    header.WriteHeader(bytes);
    std::fflush(file_->Handle());
    std::rewind(file_->Handle());
    std::fwrite(bytes, 1, sizeof bytes, file_->Handle());
    std::fflush(file_->Handle());
    Payload p;
    p.file = file_;
    p.size = CPackedBlock::kHeaderSize + state_->out;
    return p;
}

std::vector<uint8_t> PackSmall(std::span<const uint8_t> bytes, int level) {
    uLongf bound = compressBound(uLong(bytes.size()));
    std::vector<uint8_t> out(CPackedBlock::kHeaderSize + bound);
    if (compress2(out.data() + CPackedBlock::kHeaderSize, &bound, bytes.data(), uLong(bytes.size()), level) != Z_OK)
        throw InputError("the compression level must be 0 to 9");
    out.resize(CPackedBlock::kHeaderSize + bound);
    CPackedBlock header;
    header.unpackedSize = uint32_t(bytes.size());
    header.packedSize = uint32_t(bound);
    header.checksum = uint32_t(crc32(0, bytes.data(), uInt(bytes.size())));
    header.WriteHeader(out.data());
    return out;
}

namespace {

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01,
    0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc,
    0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147,
    0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116, 0x1e376c08,
    0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
    0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

}  // namespace

Sha256::Sha256()
    : h_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::Block(const uint8_t* p) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) w[i] = ReadBE32(p + 4 * i);
    for (int i = 16; i < 64; ++i) {
        uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], h = h_[7];
    for (int i = 0; i < 64; ++i) {
        uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
        uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    h_[0] += a, h_[1] += b, h_[2] += c, h_[3] += d, h_[4] += e, h_[5] += f, h_[6] += g, h_[7] += h;
}

void Sha256::Update(const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    length_ += size;
    while (size > 0) {
        size_t n = std::min(size, 64 - used_);
        std::memcpy(buffer_ + used_, p, n);
        used_ += n, p += n, size -= n;
        if (used_ == 64) Block(buffer_), used_ = 0;
    }
}

std::array<uint8_t, 32> Sha256::Final() {
    uint64_t bits = length_ * 8;
    uint8_t pad = 0x80;
    Update(&pad, 1);
    uint8_t zero = 0;
    while (used_ != 56) Update(&zero, 1);
    uint8_t len[8];
    for (int i = 0; i < 8; ++i) len[i] = uint8_t(bits >> (56 - 8 * i));
    Update(len, 8);
    std::array<uint8_t, 32> out;
    for (int i = 0; i < 8; ++i) WriteBE32(&out[4 * i], h_[i]);
    return out;
}

}  // namespace vantor::pack
