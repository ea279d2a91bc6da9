// Little-endian readers and writers for the title formats (settings record, movie list,
// clip shapes, archive directory). The reader never reads past its span: a field that does
// not fit stops it, and every later read fails too, so a record that ends early keeps the
// defaults of everything after the cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

// UTF-16 code units of the stored texts and the UTF-8 strings we keep in memory.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

class CByteReader {
public:
    explicit CByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    bool U32(uint32_t& value);
    bool U16(uint16_t& value);
    bool U8(uint8_t& value);
    // A view of the next `count` bytes, consumed.
    bool Bytes(size_t count, std::span<const uint8_t>& out);
    bool Skip(size_t count);

    // A stored text: u32 count of UTF-16 units including the terminator, then the units.
    // Count 0 is an absent text (nullopt). The text ends at its first zero unit.
    // `maxUnits` truncates (paths and names have fixed arrays), 0 means no limit.
    bool Text(std::optional<std::string>& out, size_t maxUnits = 0);

    bool Failed() const { return failed_; }
    size_t Position() const { return pos_; }
    size_t Remaining() const { return failed_ ? 0 : bytes_.size() - pos_; }

private:
    bool Take(size_t count, const uint8_t*& at);

    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
    bool failed_ = false;
};

class CByteWriter {
public:
    void U32(uint32_t value);
    void U16(uint16_t value);
    void U8(uint8_t value);
    void Bytes(std::span<const uint8_t> bytes);
    // Absent text: count 0. Present text: count of units plus terminator, then the units.
    void Text(const std::optional<std::string>& text);
    // A path or name: always present, empty as a single zero unit.
    void Name(std::string_view text);

    std::vector<uint8_t>& Data() { return out_; }
    const std::vector<uint8_t>& Data() const { return out_; }

private:
    std::vector<uint8_t> out_;
};

}  // namespace vantor
