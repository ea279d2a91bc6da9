// CScriptStream: the byte streams the compiler reads source through and writes images, messages
// and listings into. One record type serves four kinds so the lexer and the writers never care
// whether bytes come from memory or a file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace nerva {

enum StreamKind : int {
    kStreamReadText = 0,     // reads text held in memory; its end reads as 0
    kStreamWriteMemory = 1,  // writes into a growable buffer
    kStreamReadFile = 2,     // reads a file in 4096-byte blocks; its end (or a NUL) reads as 0
    kStreamWriteFile = 3,    // writes a file through a 4096-byte buffer
};

class CScriptStream {
public:
    ~CScriptStream();
    CScriptStream(const CScriptStream&) = delete;
    CScriptStream& operator=(const CScriptStream&) = delete;

    // Kind 0 takes `nameOrText` as the text (up to its first NUL); kinds 2 and 3 open the named
    // file; kind 1 needs nothing. Returns null when a file cannot be opened.
    static std::unique_ptr<CScriptStream> Open(std::string_view nameOrText, StreamKind kind);

    int Get() {
        if (!pushed_.empty()) {
            int c = pushed_.back();
            pushed_.pop_back();
            return c;
        }
        if (position_ < limit_) return data_[position_++];
        return Refill();
    }
    void PutBack(int c) { pushed_.push_back(static_cast<uint8_t>(c)); }
    int Peek() {
        int c = Get();
        PutBack(c);
        return c;
    }
    void Rewind();

    // Formatted write; each letter of `format` takes its arguments in order (capitals mean the
    // same): a int as decimal text; b (size_t, const void*) raw bytes; c int as one byte;
    // d double as its 8 bytes in memory; f double as "%f" text; i int as 16 bits big-endian;
    // l uint32_t as 32 bits big-endian; s NUL-terminated text; x (size_t, const void*) a
    // 32-bit big-endian length followed by the bytes.
    void Write(const char* format, ...);
    void WriteBytes(const void* bytes, size_t count);
    void WriteByte(int byte);
    void Close();

    StreamKind kind() const { return kind_; }
    const std::string& name() const { return name_; }
    // The bytes written so far into a kind-1 stream.
    const std::vector<uint8_t>& buffer() const { return out_; }
    std::vector<uint8_t>& buffer() { return out_; }

    int line = 0;  // the lexer's line counter, from 0

private:
    CScriptStream() = default;
    int Refill();
    void Flush();

    StreamKind kind_ = kStreamReadText;
    std::string name_;
    std::string text_;             // kind 0: our copy of the text
    std::vector<uint8_t> pushed_;  // push-back stack
    const uint8_t* data_ = nullptr;
    size_t position_ = 0;
    size_t limit_ = 0;
    bool atEnd_ = false;
    FILE* file_ = nullptr;
    std::vector<uint8_t> fileBuffer_;
    std::vector<uint8_t> out_;  // kind 1 result
};

}  // namespace nerva
