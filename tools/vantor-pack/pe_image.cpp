// PE headers, the resource directory tree, and writing a new resource section.
#include "pe_image.h"

#include <cstring>

#include "app/archive.h"
#include "app/byte_stream.h"
#include "json.h"
#include "port/byte_order.h"

namespace vantor::pack {

namespace {

constexpr uint32_t kResourceDirectory = 2;
constexpr uint32_t kSecurityDirectory = 4;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kSectionCharacteristics = 0x40000040;  // initialised data, readable

uint64_t AlignUp(uint64_t value, uint64_t alignment) { return alignment ? (value + alignment - 1) / alignment * alignment : value; }

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { WriteLE32(&b[at], v); }
void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { WriteLE16(&b[at], v); }

void WriteAll(FILE* out, const void* data, size_t size) {
    if (size && std::fwrite(data, 1, size, out) != size) throw InputError("cannot write the output file");
}

void WriteZeros(FILE* out, uint64_t count) {
    static const uint8_t zeros[4096] = {};
    while (count > 0) {
        size_t n = size_t(std::min<uint64_t>(count, sizeof zeros));
        WriteAll(out, zeros, n);
        count -= n;
    }
}

}  // namespace

ResKey ResKey::Name(const std::string& ascii) {
    ResKey key;
    key.named = true;
    for (char c : ascii) key.name += char16_t(std::toupper(static_cast<unsigned char>(c)));
    return key;
}

std::string ResKey::Text() const { return named ? Utf16ToUtf8(name) : "#" + std::to_string(id); }

bool ResKey::operator<(const ResKey& o) const {
    if (named != o.named) return named;
    return named ? name < o.name : id < o.id;
}

PeImage::PeImage(std::vector<uint8_t> bytes, std::string name) : bytes_(std::move(bytes)), name_(std::move(name)) {
    auto fail = [&](const std::string& why) { throw InputError(name_ + " is not a Windows executable we can extend: " + why); };
    if (bytes_.size() < 0x40 || bytes_[0] != 'M' || bytes_[1] != 'Z') fail("no MZ header");
    peHeader_ = U32(0x3C);
    if (uint64_t(peHeader_) + 24 > bytes_.size() || std::memcmp(&bytes_[peHeader_], "PE\0\0", 4) != 0) fail("no PE header");
    uint16_t sectionCount = U16(peHeader_ + 6);
    uint16_t optionalSize = U16(peHeader_ + 20);
    optionalHeader_ = peHeader_ + 24;
    if (uint64_t(optionalHeader_) + optionalSize > bytes_.size() || optionalSize < 96) fail("short optional header");
    uint16_t magic = U16(optionalHeader_);
    if (magic == 0x20B) {
        dataDirectory_ = optionalHeader_ + 112;
        numberOfRvaAndSizes_ = U32(optionalHeader_ + 108);
    } else if (magic == 0x10B) {
        dataDirectory_ = optionalHeader_ + 96;
        numberOfRvaAndSizes_ = U32(optionalHeader_ + 92);
    } else {
        fail("unknown optional header");
    }
    if (numberOfRvaAndSizes_ <= kSecurityDirectory || dataDirectory_ + 8 * numberOfRvaAndSizes_ > optionalHeader_ + optionalSize)
        fail("no resource directory entry");
    sectionAlignment_ = U32(optionalHeader_ + 32);
    fileAlignment_ = U32(optionalHeader_ + 36);
    sizeOfHeaders_ = U32(optionalHeader_ + 60);
    if (fileAlignment_ == 0 || sectionAlignment_ == 0) fail("zero alignment");
    // Valid images align file data to a power of two up to 64 KiB; anything else would make
    // the rewritten image pad out to gigabytes.
    auto powerOfTwo = [](uint32_t v) { return (v & (v - 1)) == 0; };
    if (!powerOfTwo(fileAlignment_) || fileAlignment_ > 0x10000 || !powerOfTwo(sectionAlignment_) ||
        sectionAlignment_ > 0x10000000)
        fail("bad alignment");
    sectionTable_ = optionalHeader_ + optionalSize;
    if (uint64_t(sectionTable_) + uint64_t(sectionCount) * kSectionHeaderSize > bytes_.size()) fail("short section table");
    for (uint16_t i = 0; i < sectionCount; ++i) {
        size_t at = sectionTable_ + i * kSectionHeaderSize;
        PeSection s;
        std::memcpy(s.name, &bytes_[at], 8);
        s.virtualSize = U32(at + 8), s.virtualAddress = U32(at + 12), s.rawSize = U32(at + 16);
        s.rawPointer = U32(at + 20), s.characteristics = U32(at + 36);
        sections_.push_back(s);
    }
}

uint32_t PeImage::U32(size_t at) const { return at + 4 <= bytes_.size() ? ReadLE32(&bytes_[at]) : 0; }
uint16_t PeImage::U16(size_t at) const { return at + 2 <= bytes_.size() ? ReadLE16(&bytes_[at]) : 0; }

const uint8_t* PeImage::AtRva(uint32_t rva, uint32_t size) const {
    for (const PeSection& s : sections_) {
        if (rva < s.virtualAddress) continue;
        uint64_t inside = uint64_t(rva) - s.virtualAddress;
        if (inside + size > s.rawSize || inside + size > std::max(s.virtualSize, s.rawSize)) continue;
        uint64_t at = s.rawPointer + inside;
        if (at + size > bytes_.size()) return nullptr;
        return bytes_.data() + at;
    }
    return nullptr;
}

uint64_t PeImage::ImageEnd() const { return EndWithoutArchive(bytes_); }

ResourceTree PeImage::ReadResources() const {
    ResourceTree tree;
    uint32_t base = U32(dataDirectory_ + 8 * kResourceDirectory);
    uint32_t size = U32(dataDirectory_ + 8 * kResourceDirectory + 4);
    if (base == 0 || size == 0) return tree;
    auto fail = [&](const char* why) -> void { throw InputError(name_ + ": damaged resource directory (" + std::string(why) + ")"); };

    // Reads the entries of one directory: (key, offset, isDirectory).
    struct Entry {
        ResKey key;
        uint32_t offset;
        bool directory;
    };
    auto entries = [&](uint32_t offset) {
        std::vector<Entry> out;
        const uint8_t* head = AtRva(base + offset, 16);
        if (!head) fail("directory outside the image");
        uint32_t count = uint32_t(ReadLE16(head + 12)) + ReadLE16(head + 14);
        const uint8_t* list = AtRva(base + offset + 16, count * 8);
        if (!list) fail("entries outside the image");
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t nameField = ReadLE32(list + 8 * i), target = ReadLE32(list + 8 * i + 4);
            Entry e{{}, target & 0x7FFFFFFF, (target & 0x80000000) != 0};
            if (nameField & 0x80000000) {
                uint32_t at = nameField & 0x7FFFFFFF;
                const uint8_t* length = AtRva(base + at, 2);
                if (!length) fail("name outside the image");
                uint16_t units = ReadLE16(length);
                const uint8_t* text = AtRva(base + at + 2, uint32_t(units) * 2);
                if (!text) fail("name outside the image");
                e.key.named = true;
                for (uint16_t k = 0; k < units; ++k) e.key.name += char16_t(ReadLE16(text + 2 * k));
            } else {
                e.key.id = uint16_t(nameField);
            }
            out.push_back(e);
        }
        return out;
    };

    // Entries may point at shared subdirectories; a hostile tree would multiply without end.
    size_t leaves = 0;
    constexpr size_t kMaxLeaves = 1 << 16;
    // Leaves may also share their data; copying it over and over must stay bounded too.
    uint64_t copied = 0;
    const uint64_t maxCopied = 2 * uint64_t(bytes_.size()) + (1 << 20);
    for (const Entry& type : entries(0)) {
        if (!type.directory) fail("a type without names");
        for (const Entry& name : entries(type.offset)) {
            if (!name.directory) fail("a name without languages");
            for (const Entry& lang : entries(name.offset)) {
                if (lang.directory) fail("too many levels");
                if (++leaves > kMaxLeaves) fail("too many resources");
                const uint8_t* entry = AtRva(base + lang.offset, 16);
                if (!entry) fail("data entry outside the image");
                uint32_t rva = ReadLE32(entry), length = ReadLE32(entry + 4);
                const uint8_t* data = AtRva(rva, length);
                if (!data) fail("data outside the image");
                copied += length;
                if (copied > maxCopied) fail("resource data larger than the image");
                ResLeaf leaf;
                leaf.data = Payload::FromBytes(std::vector<uint8_t>(data, data + length));
                leaf.codePage = ReadLE32(entry + 8);
                tree[type.key][name.key][lang.key.id] = std::move(leaf);
            }
        }
    }
    return tree;
}

uint64_t PeImage::WriteWithResources(const ResourceTree& tree, FILE* out) const {
    // Layout: directory tables, data entries, names, then the data, each datum 8-aligned.
    uint64_t offset = 16 + 8 * tree.size();
    std::vector<uint64_t> typeDirs, nameDirs;
    for (const auto& [type, names] : tree) typeDirs.push_back(offset), offset += 16 + 8 * names.size();
    for (const auto& [type, names] : tree)
        for (const auto& [name, langs] : names) nameDirs.push_back(offset), offset += 16 + 8 * langs.size();
    uint64_t dataEntries = offset;
    size_t leafCount = 0;
    for (const auto& [type, names] : tree)
        for (const auto& [name, langs] : names) leafCount += langs.size();
    offset += 16 * leafCount;
    std::map<std::u16string, uint64_t> strings;
    for (const auto& [type, names] : tree) {
        if (type.named && !strings.count(type.name)) strings[type.name] = offset, offset += 2 + 2 * type.name.size();
        for (const auto& [name, langs] : names)
            if (name.named && !strings.count(name.name)) strings[name.name] = offset, offset += 2 + 2 * name.name.size();
    }
    uint64_t headerSize = AlignUp(offset, 8);
    std::vector<uint64_t> dataOffsets;
    offset = headerSize;
    for (const auto& [type, names] : tree)
        for (const auto& [name, langs] : names)
            for (const auto& [lang, leaf] : langs) dataOffsets.push_back(offset), offset = AlignUp(offset + leaf.data.Size(), 8);
    uint64_t total = offset;
    if (total > 0x7FFFFFFF) throw InputError("the resources exceed 2 GB");

    // Where the section goes: over the stub's resource section when that is the last thing in
    // the file, else as a new section after everything.
    uint64_t end = ImageEnd();
    uint32_t oldBase = U32(dataDirectory_ + 8 * kResourceDirectory);
    int lastByAddress = -1, resourceSection = -1;
    for (size_t i = 0; i < sections_.size(); ++i) {
        const PeSection& s = sections_[i];
        if (lastByAddress < 0 || s.virtualAddress > sections_[size_t(lastByAddress)].virtualAddress) lastByAddress = int(i);
        if (oldBase && oldBase >= s.virtualAddress && oldBase < s.virtualAddress + std::max(s.virtualSize, s.rawSize))
            resourceSection = int(i);
    }
    uint32_t symbols = U32(peHeader_ + 12);
    bool reuse = resourceSection >= 0 && resourceSection == lastByAddress;
    if (reuse) {
        const PeSection& s = sections_[size_t(resourceSection)];
        reuse = AlignUp(uint64_t(s.rawPointer) + s.rawSize, fileAlignment_) >= end && (symbols == 0 || symbols < s.rawPointer);
    }

    PeSection section;
    std::memcpy(section.name, ".rsrc\0\0", 8);
    section.characteristics = kSectionCharacteristics;
    section.virtualSize = uint32_t(total);
    section.rawSize = uint32_t(AlignUp(total, fileAlignment_));
    uint32_t sectionCount = uint32_t(sections_.size());
    size_t slot;
    uint64_t copyLength;
    uint32_t oldRawSize = 0;
    if (reuse) {
        const PeSection& old = sections_[size_t(resourceSection)];
        section.virtualAddress = old.virtualAddress;
        section.rawPointer = old.rawPointer;
        oldRawSize = old.rawSize;
        slot = size_t(resourceSection);
        copyLength = old.rawPointer;
    } else {
        uint64_t tableEnd = sectionTable_ + uint64_t(sectionCount + 1) * kSectionHeaderSize;
        uint64_t firstRaw = sizeOfHeaders_;
        for (const PeSection& s : sections_)
            if (s.rawSize) firstRaw = std::min<uint64_t>(firstRaw, s.rawPointer);
        if (tableEnd > firstRaw) throw InputError(name_ + " has no room for another section header");
        uint64_t next = 0;
        for (const PeSection& s : sections_) next = std::max<uint64_t>(next, uint64_t(s.virtualAddress) + std::max(s.virtualSize, s.rawSize));
        if (AlignUp(next, sectionAlignment_) + AlignUp(total, sectionAlignment_) > 0x7FFFFFFF)
            throw InputError(name_ + " has sections beyond the address space of an image");
        section.virtualAddress = uint32_t(AlignUp(next, sectionAlignment_));
        section.rawPointer = uint32_t(AlignUp(end, fileAlignment_));
        slot = sectionCount++;
        copyLength = end;
    }

    std::vector<uint8_t> head(bytes_.begin(), bytes_.begin() + long(copyLength));
    head.resize(section.rawPointer, 0);
    size_t at = sectionTable_ + slot * kSectionHeaderSize;
    std::memcpy(&head[at], section.name, 8);
    Put32(head, at + 8, section.virtualSize);
    Put32(head, at + 12, section.virtualAddress);
    Put32(head, at + 16, section.rawSize);
    Put32(head, at + 20, section.rawPointer);
    std::memset(&head[at + 24], 0, 12);
    Put32(head, at + 36, section.characteristics);
    Put16(head, peHeader_ + 6, uint16_t(sectionCount));
    Put32(head, optionalHeader_ + 8, U32(optionalHeader_ + 8) - oldRawSize + section.rawSize);
    Put32(head, optionalHeader_ + 56, uint32_t(AlignUp(uint64_t(section.virtualAddress) + total, sectionAlignment_)));
    Put32(head, optionalHeader_ + 64, 0);
    Put32(head, dataDirectory_ + 8 * kResourceDirectory, section.virtualAddress);
    Put32(head, dataDirectory_ + 8 * kResourceDirectory + 4, uint32_t(total));
    // A signature covers the old bytes and sits in the appended data; it cannot stay.
    Put32(head, dataDirectory_ + 8 * kSecurityDirectory, 0);
    Put32(head, dataDirectory_ + 8 * kSecurityDirectory + 4, 0);
    WriteAll(out, head.data(), head.size());

    // The directory part of the section.
    std::vector<uint8_t> dir(headerSize, 0);
    auto table = [&](uint64_t where, uint16_t named, uint16_t ids) {
        Put16(dir, where + 12, named);
        Put16(dir, where + 14, ids);
    };
    auto keyField = [&](const ResKey& key) { return key.named ? uint32_t(0x80000000 | strings[key.name]) : uint32_t(key.id); };
    auto count = [](const auto& map) {
        uint16_t named = 0, ids = 0;
        for (const auto& [key, _] : map) (key.named ? named : ids)++;
        return std::pair{named, ids};
    };
    auto [rootNamed, rootIds] = count(tree);
    table(0, rootNamed, rootIds);
    size_t t = 0, n = 0, leaf = 0;
    for (const auto& [type, names] : tree) {
        Put32(dir, 16 + 8 * t, keyField(type));
        Put32(dir, 16 + 8 * t + 4, uint32_t(0x80000000 | typeDirs[t]));
        auto [named, ids] = count(names);
        table(typeDirs[t], named, ids);
        size_t k = 0;
        for (const auto& [name, langs] : names) {
            Put32(dir, typeDirs[t] + 16 + 8 * k, keyField(name));
            Put32(dir, typeDirs[t] + 16 + 8 * k + 4, uint32_t(0x80000000 | nameDirs[n]));
            table(nameDirs[n], 0, uint16_t(langs.size()));
            size_t l = 0;
            for (const auto& [lang, data] : langs) {
                uint64_t entry = dataEntries + 16 * leaf;
                Put32(dir, nameDirs[n] + 16 + 8 * l, lang);
                Put32(dir, nameDirs[n] + 16 + 8 * l + 4, uint32_t(entry));
                Put32(dir, entry, uint32_t(section.virtualAddress + dataOffsets[leaf]));
                Put32(dir, entry + 4, uint32_t(data.data.Size()));
                Put32(dir, entry + 8, data.codePage);
                ++l, ++leaf;
            }
            ++k, ++n;
        }
        ++t;
    }
    for (const auto& [text, where] : strings) {
        Put16(dir, where, uint16_t(text.size()));
        for (size_t k = 0; k < text.size(); ++k) Put16(dir, where + 2 + 2 * k, uint16_t(text[k]));
    }
    WriteAll(out, dir.data(), dir.size());
    uint64_t written = headerSize;
    leaf = 0;
    for (const auto& [type, names] : tree)
        for (const auto& [name, langs] : names)
            for (const auto& [lang, data] : langs) {
                WriteZeros(out, dataOffsets[leaf] - written);
                data.data.ForEachChunk([&](std::span<const uint8_t> chunk) { WriteAll(out, chunk.data(), chunk.size()); });
                written = dataOffsets[leaf] + data.data.Size();
                ++leaf;
            }
    WriteZeros(out, section.rawSize - written);
    return uint64_t(section.rawPointer) + section.rawSize;
}

uint32_t ComputeChecksum(FILE* file, uint32_t checksumOffset) {
    std::fflush(file);
    std::rewind(file);
    uint64_t sum = 0, length = 0;
    std::vector<uint8_t> buffer(1 << 16);
    size_t n;
    uint8_t carry = 0;
    bool odd = false;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
        for (size_t i = 0; i < n; ++i, ++length) {
            uint8_t b = (length >= checksumOffset && length < checksumOffset + 4) ? 0 : buffer[i];
            if (!odd) {
                carry = b, odd = true;
            } else {
                sum += uint32_t(carry) | (uint32_t(b) << 8);
                sum = (sum & 0xFFFF) + (sum >> 16);
                odd = false;
            }
        }
    }
    if (odd) sum += carry, sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum + length);
}

void FixChecksum(const std::string& path, uint32_t checksumOffset) {
    FILE* file = std::fopen(path.c_str(), "r+b");
    if (!file) throw InputError("cannot reopen " + path);
    uint32_t sum = ComputeChecksum(file, checksumOffset);
    uint8_t bytes[4];
    WriteLE32(bytes, sum);
    std::fseek(file, long(checksumOffset), SEEK_SET);
    bool ok = std::fwrite(bytes, 1, 4, file) == 4;
    ok = std::fclose(file) == 0 && ok;
    if (!ok) throw InputError("cannot write " + path);
}

uint64_t EndWithoutArchive(const std::vector<uint8_t>& bytes) {
    CMemoryAccess access(bytes);
    if (auto root = LocateArchive(access)) {
        uint32_t length = ReadLE32(&bytes[bytes.size() - 8]);
        return bytes.size() - 8 - length;
    }
    return bytes.size();
}

}  // namespace vantor::pack
