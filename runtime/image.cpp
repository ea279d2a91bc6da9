// The two image readers. Both check every table entry against the bytes that really exist
// before copying, so a damaged image fails cleanly instead of reading outside its buffer.
#include "runtime/image.h"

#include <cstring>
#include <memory>

#include "port/byte_order.h"

namespace nerva {

using vantor::ReadLE32;

const CCompiledScript::Section* CCompiledScript::Find(uint8_t id) const {
    for (const Section& s : sections)
        if (s.id == id) return &s;
    return nullptr;
}

namespace {

struct Entry {
    uint32_t tag, offset, size;
};

// Offset of the image after an optional first line starting with '#'; -1 when that line
// has no line feed.
long SkipHashLine(const uint8_t* bytes, size_t length) {
    if (length == 0 || bytes[0] != '#') return 0;
    const void* lf = std::memchr(bytes, '\n', length);
    if (!lf) return -1;
    return long(static_cast<const uint8_t*>(lf) - bytes) + 1;
}

}  // namespace

bool LooksLikeImage(const uint8_t* bytes, size_t length) {
    long start = SkipHashLine(bytes, length);
    if (start < 0 || length - size_t(start) < 4) return false;
    return ReadLE32(bytes + start) == kImageMagic;
}

CCompiledScript* ReadImageBuffer(const uint8_t* bytes, size_t length) {
    if (!bytes) return nullptr;
    long skip = SkipHashLine(bytes, length);
    if (skip < 0) return nullptr;
    const uint8_t* base = bytes + skip;
    size_t size = length - size_t(skip);
    if (size < 8 || ReadLE32(base) != kImageMagic) return nullptr;

    std::unique_ptr<CCompiledScript> image(new CCompiledScript);
    size_t pos = 4;
    for (;;) {
        if (size - pos < 4) return nullptr;
        uint32_t tag = ReadLE32(base + pos);
        pos += 4;
        if (tag == 0xFFFFFFFFu) break;
        if (size - pos < 8) return nullptr;
        uint32_t offset = ReadLE32(base + pos);
        uint32_t count = ReadLE32(base + pos + 4);
        pos += 8;
        if (uint64_t(offset) + count > size) return nullptr;
        CCompiledScript::Section section;
        section.id = uint8_t(tag);
        section.size = count;
        section.bytes.assign(base + offset, base + offset + count);
        section.bytes.push_back(0);
        image->sections.push_back(std::move(section));
    }
    return image.release();
}

CCompiledScript* ReadImageFile(std::FILE* file) {
    if (!file) return nullptr;
    int first = std::fgetc(file);
    if (first == '#') {
        int c;
        do {
            c = std::fgetc(file);
        } while (c != EOF && c != '\n');
        if (c == EOF) return nullptr;
    } else if (first != EOF) {
        std::ungetc(first, file);
    }
    long base = std::ftell(file);
    if (base < 0) return nullptr;

    uint8_t word[12];
    if (std::fread(word, 1, 4, file) != 4 || ReadLE32(word) != kImageMagic) return nullptr;
    std::vector<Entry> entries;
    for (;;) {
        if (std::fread(word, 1, 4, file) != 4) return nullptr;
        uint32_t tag = ReadLE32(word);
        if (tag == 0xFFFFFFFFu) break;
        if (std::fread(word + 4, 1, 8, file) != 8) return nullptr;
        entries.push_back({tag, ReadLE32(word + 4), ReadLE32(word + 8)});
    }
    // Sizes are checked against the file's length before anything is allocated for them.
    if (std::fseek(file, 0, SEEK_END) != 0) return nullptr;
    long end = std::ftell(file);
    if (end < base) return nullptr;
    uint64_t available = uint64_t(end - base);

    std::unique_ptr<CCompiledScript> image(new CCompiledScript);
    for (const Entry& e : entries) {
        if (uint64_t(e.offset) + e.size > available) return nullptr;
        CCompiledScript::Section section;
        section.id = uint8_t(e.tag);
        section.size = e.size;
        section.bytes.resize(size_t(e.size) + 1, 0);
        if (std::fseek(file, base + long(e.offset), SEEK_SET) != 0) return nullptr;
        if (e.size && std::fread(section.bytes.data(), 1, e.size, file) != e.size) return nullptr;
        image->sections.push_back(std::move(section));
    }
    return image.release();
}

void FreeImage(CCompiledScript* image) { delete image; }

}  // namespace nerva
