// Our own reader and writer of a PE executable's resource section. The title builder reads
// the stub's resource tree, merges the title's resources into it, and writes a new resource
// section: in place when the stub's resource section is its last, otherwise as an added
// section; then it fixes the image size, the data directory and the checksum.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "payload.h"

namespace vantor::pack {

// A resource type, name or language key: a number or an (upper-case) UTF-16 name.
struct ResKey {
    bool named = false;
    uint16_t id = 0;
    std::u16string name;

    static ResKey Id(uint16_t id) { return {false, id, {}}; }
    static ResKey Name(const std::string& ascii);
    std::string Text() const;  // "#12" or the name
    // Named entries sort before numbered ones; names by their code units, numbers ascending.
    bool operator<(const ResKey& o) const;
    bool operator==(const ResKey& o) const { return named == o.named && id == o.id && name == o.name; }
};

struct ResLeaf {
    Payload data;
    uint32_t codePage = 0;
};

// type -> name -> language -> data
using ResourceTree = std::map<ResKey, std::map<ResKey, std::map<uint16_t, ResLeaf>>>;

struct PeSection {
    char name[9] = {};
    uint32_t virtualSize = 0, virtualAddress = 0, rawSize = 0, rawPointer = 0, characteristics = 0;
};

class PeImage {
public:
    // Parses the headers of an executable held in memory; throws InputError when it is not a
    // PE image we can extend.
    explicit PeImage(std::vector<uint8_t> bytes, std::string name = "stub");

    const std::vector<PeSection>& Sections() const { return sections_; }
    // The resource tree (empty when the image has none); data are copied out.
    ResourceTree ReadResources() const;
    // The bytes at a relative virtual address, or nullptr when outside every section.
    const uint8_t* AtRva(uint32_t rva, uint32_t size) const;
    // Where the image ends in the file (without appended data).
    uint64_t ImageEnd() const;

    // Writes the image with `tree` as its resource section into `out`, and returns the file
    // offset at which appended data may follow. The checksum is left for FixChecksum.
    uint64_t WriteWithResources(const ResourceTree& tree, FILE* out) const;
    // Offset of the checksum field (for FixChecksum).
    uint32_t ChecksumOffset() const { return optionalHeader_ + 64; }

private:
    uint32_t U32(size_t at) const;
    uint16_t U16(size_t at) const;

    std::vector<uint8_t> bytes_;
    std::string name_;
    uint32_t peHeader_ = 0, optionalHeader_ = 0, sectionTable_ = 0, dataDirectory_ = 0, numberOfRvaAndSizes_ = 0;
    uint32_t sectionAlignment_ = 0, fileAlignment_ = 0, sizeOfHeaders_ = 0;
    std::vector<PeSection> sections_;
};

// The PE checksum of a whole file (the sum the loader checks), written into its field.
void FixChecksum(const std::string& path, uint32_t checksumOffset);
uint32_t ComputeChecksum(FILE* file, uint32_t checksumOffset);

// Strips an appended archive of additional files from a stub that already is a title.
uint64_t EndWithoutArchive(const std::vector<uint8_t>& bytes);

}  // namespace vantor::pack
