// "NS1b" compiled script images: the parsed form both readers return, a list of sections
// with their ids and own copies of the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace nerva {

enum ImageSection : uint8_t {
    SectionCode = 0,
    SectionConstants = 1,
    SectionFunctions = 2,
    SectionDebug = 3,
};

constexpr uint32_t kImageMagic = 0x6231534E;  // "NS1b" read as a little-endian word

struct CCompiledScript {
    struct Section {
        uint8_t id;
        uint32_t size;
        std::vector<uint8_t> bytes;  // size + 1 bytes, the last one 0
    };
    std::vector<Section> sections;
    uint32_t loaderState = 0;  // constant base of the first linking

    const Section* Find(uint8_t id) const;
};

// From a file opened for binary reading, at its current position. Null on any failure.
CCompiledScript* ReadImageFile(std::FILE* file);
// From memory. Null on any failure.
CCompiledScript* ReadImageBuffer(const uint8_t* bytes, size_t length);
void FreeImage(CCompiledScript* image);

// True when the bytes (after an optional "#" line) start with the magic.
bool LooksLikeImage(const uint8_t* bytes, size_t length);

}  // namespace nerva
