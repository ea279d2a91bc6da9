// The four stream kinds and the formatted write shared by the image writer, the diagnostics and
// the listing file.
#include "compiler/stream.h"

#include <cstdarg>
#include <cstring>

namespace nerva {

namespace {
constexpr size_t kFileBlock = 4096;
constexpr size_t kDirectWrite = 2048;
}  // namespace

CScriptStream::~CScriptStream() { Close(); }

std::unique_ptr<CScriptStream> CScriptStream::Open(std::string_view nameOrText, StreamKind kind) {
    std::unique_ptr<CScriptStream> s(new CScriptStream);
    s->kind_ = kind;
    switch (kind) {
        case kStreamReadText: {
            size_t nul = nameOrText.find('\0');
            s->text_.assign(nameOrText.substr(0, nul));
            s->name_ = "string";
            s->data_ = reinterpret_cast<const uint8_t*>(s->text_.data());
            s->limit_ = s->text_.size();
            s->atEnd_ = true;
            break;
        }
        case kStreamWriteMemory:
            s->name_ = "string";
            break;
        case kStreamReadFile:
        case kStreamWriteFile:
            s->name_.assign(nameOrText);
            s->file_ = std::fopen(s->name_.c_str(), kind == kStreamReadFile ? "rb" : "wb");
            if (!s->file_) return nullptr;
            s->fileBuffer_.resize(kFileBlock);
            s->data_ = s->fileBuffer_.data();
            break;
    }
    return s;
}

// Called when the current block is used up. The end of a file, and any NUL byte in it, read
// as 0 for good, as the end of text does.
int CScriptStream::Refill() {
    if (atEnd_ || kind_ != kStreamReadFile || !file_) return 0;
    size_t n = std::fread(fileBuffer_.data(), 1, kFileBlock, file_);
    position_ = 0;
    limit_ = n;
    if (n == 0) {
        atEnd_ = true;
        return 0;
    }
    return data_[position_++];
}

void CScriptStream::Rewind() {
    pushed_.clear();
    line = 0;
    if (kind_ == kStreamReadText) {
        position_ = 0;
    } else if (kind_ == kStreamReadFile && file_) {
        std::fseek(file_, 0, SEEK_SET);
        position_ = limit_ = 0;
        atEnd_ = false;
    }
}

void CScriptStream::Flush() {
    if (kind_ == kStreamWriteFile && file_ && position_ > 0) {
        std::fwrite(fileBuffer_.data(), 1, position_, file_);
        position_ = 0;
    }
}

void CScriptStream::WriteBytes(const void* bytes, size_t count) {
    if (count == 0) return;
    if (kind_ == kStreamWriteMemory) {
        const uint8_t* p = static_cast<const uint8_t*>(bytes);
        out_.insert(out_.end(), p, p + count);
    } else if (kind_ == kStreamWriteFile && file_) {
        if (position_ + count > kFileBlock) Flush();
        if (count >= kDirectWrite) {
            std::fwrite(bytes, 1, count, file_);
        } else {
            std::memcpy(fileBuffer_.data() + position_, bytes, count);
            position_ += count;
        }
    }
}

void CScriptStream::WriteByte(int byte) {
    uint8_t b = static_cast<uint8_t>(byte);
    if (kind_ == kStreamWriteMemory) {
        out_.push_back(b);
    } else {
        WriteBytes(&b, 1);
    }
}

void CScriptStream::Write(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    char text[64];
    for (const char* p = format; *p; ++p) {
        switch (*p | 0x20) {
            case 'a': {
                int n = std::snprintf(text, sizeof text, "%d", va_arg(ap, int));
                WriteBytes(text, static_cast<size_t>(n));
                break;
            }
            case 'b': {
                size_t n = va_arg(ap, size_t);
                WriteBytes(va_arg(ap, const void*), n);
                break;
            }
            case 'c':
                WriteByte(va_arg(ap, int));
                break;
            case 'd': {
                double d = va_arg(ap, double);
                WriteBytes(&d, sizeof d);
                break;
            }
            case 'f': {
                int n = std::snprintf(text, sizeof text, "%f", va_arg(ap, double));
                if (n > 0) WriteBytes(text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
                break;
            }
            case 'i': {
                unsigned v = static_cast<unsigned>(va_arg(ap, int));
                uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
                WriteBytes(b, 2);
                break;
            }
            case 'l': {
                uint32_t v = va_arg(ap, uint32_t);
                uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                                static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
                WriteBytes(b, 4);
                break;
            }
            case 's': {
                const char* s = va_arg(ap, const char*);
                WriteBytes(s, std::strlen(s));
                break;
            }
            case 'x': {
                size_t n = va_arg(ap, size_t);
                const void* bytes = va_arg(ap, const void*);
                Write("l", static_cast<uint32_t>(n));
                WriteBytes(bytes, n);
                break;
            }
            default:
                break;
        }
    }
    va_end(ap);
}

void CScriptStream::Close() {
    pushed_.clear();
    if (file_) {
        Flush();
        std::fclose(file_);
        file_ = nullptr;
    }
}

}  // namespace nerva
