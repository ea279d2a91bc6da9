// Resource payloads and the streaming pieces of the packer: bytes held in memory or in a
// temporary file, a packed-block writer that deflates through fixed buffers, and a content
// hash for the build stamp.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vantor::pack {

// An open file that is removed when the last reference goes.
class TempFile {
public:
    explicit TempFile(std::string path);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    FILE* Handle() const { return file_; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    FILE* file_ = nullptr;
};

// Bytes of one resource: in memory, or a range of a temporary file.
struct Payload {
    std::vector<uint8_t> bytes;
    std::shared_ptr<TempFile> file;
    uint64_t size = 0;  // used with `file`

    static Payload FromBytes(std::vector<uint8_t> b);
    uint64_t Size() const { return file ? size : bytes.size(); }
    // Calls sink(chunk) over the whole content through a fixed buffer.
    template <typename Sink>
    void ForEachChunk(Sink&& sink) const;
    // The whole content (small payloads only: inspection, hashing of small items).
    std::vector<uint8_t> Read() const;
};

// Writes a packed block ("SM" header, zlib stream) into a temporary file, deflating the
// bytes it is given through fixed buffers.
class BlockPacker {
public:
    BlockPacker(std::shared_ptr<TempFile> file, int level);
    void Write(const void* data, size_t size);
    void WriteFile(const std::string& path);  // streams a whole input file
    Payload Finish();

private:
    void Drain(int flush);
    std::shared_ptr<TempFile> file_;
    struct State;
    std::shared_ptr<State> state_;
};

// Packs a small payload in memory.
std::vector<uint8_t> PackSmall(std::span<const uint8_t> bytes, int level);

class Sha256 {
public:
    Sha256();
    void Update(const void* data, size_t size);
    std::array<uint8_t, 32> Final();

private:
    void Block(const uint8_t* p);
    uint32_t h_[8];
    uint8_t buffer_[64];
    size_t used_ = 0;
    uint64_t length_ = 0;
};

template <typename Sink>
void Payload::ForEachChunk(Sink&& sink) const {
    if (!file) {
        if (!bytes.empty()) sink(std::span<const uint8_t>(bytes));
        return;
    }
    std::vector<uint8_t> buffer(1 << 16);
    std::fflush(file->Handle());
    std::rewind(file->Handle());
    uint64_t left = size;
    while (left > 0) {
        size_t n = std::fread(buffer.data(), 1, size_t(std::min<uint64_t>(left, buffer.size())), file->Handle());
        if (n == 0) break;
        sink(std::span<const uint8_t>(buffer.data(), n));
        left -= n;
    }
}

}  // namespace vantor::pack
