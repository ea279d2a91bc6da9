// Little-endian field readers and writers and the UTF-16 <-> UTF-8 conversion of texts.
#include "app/byte_stream.h"

#include "port/byte_order.h"

namespace vantor {

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;  // a lone surrogate cannot be written as UTF-8
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        uint8_t b = uint8_t(text[i]);
        uint32_t c = 0xFFFD;
        size_t extra = 0;
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F, extra = 1;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F, extra = 2;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07, extra = 3;
        }
        ++i;
        for (size_t k = 0; k < extra; ++k, ++i) {
            if (i >= text.size() || (uint8_t(text[i]) & 0xC0) != 0x80) {
                c = 0xFFFD;
                break;
            }
            c = (c << 6) | (uint8_t(text[i]) & 0x3F);
        }
        if (c >= 0x10000 && c <= 0x10FFFF) {
            c -= 0x10000;
            out += char16_t(0xD800 + (c >> 10));
            out += char16_t(0xDC00 + (c & 0x3FF));
        } else {
            out += char16_t(c > 0x10FFFF ? 0xFFFD : c);
        }
    }
    return out;
}

bool CByteReader::Take(size_t count, const uint8_t*& at) {
    if (failed_ || count > bytes_.size() - pos_) {
        failed_ = true;
        return false;
    }
    at = bytes_.data() + pos_;
    pos_ += count;
    return true;
}

bool CByteReader::U32(uint32_t& value) {
    const uint8_t* at;
    if (!Take(4, at)) return false;
    value = ReadLE32(at);
    return true;
}

bool CByteReader::U16(uint16_t& value) {
    const uint8_t* at;
    if (!Take(2, at)) return false;
    value = ReadLE16(at);
    return true;
}

bool CByteReader::U8(uint8_t& value) {
    const uint8_t* at;
    if (!Take(1, at)) return false;
    value = *at;
    return true;
}

bool CByteReader::Bytes(size_t count, std::span<const uint8_t>& out) {
    const uint8_t* at;
    if (!Take(count, at)) return false;
    out = {at, count};
    return true;
}

bool CByteReader::Skip(size_t count) {
    const uint8_t* at;
    return Take(count, at);
}

bool CByteReader::Text(std::optional<std::string>& out, size_t maxUnits) {
    uint32_t count;
    if (!U32(count)) return false;
    if (count == 0) {
        out.reset();
        return true;
    }
    // Checked before multiplying: a count near 2^32 must not wrap the byte length.
    if (count > Remaining() / 2) {
        failed_ = true;
        return false;
    }
    const uint8_t* at = nullptr;
    if (!Take(size_t(count) * 2, at)) return false;
    std::u16string units;
    units.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        char16_t unit = char16_t(ReadLE16(at + 2 * i));
        if (unit == 0) break;
        units += unit;
    }
    if (maxUnits && units.size() > maxUnits) {
        units.resize(maxUnits);
        // Never leave half a surrogate pair behind.
        if (units.back() >= 0xD800 && units.back() < 0xDC00) units.pop_back();
    }
    out = Utf16ToUtf8(units);
    return true;
}

void CByteWriter::U32(uint32_t value) {
    uint8_t b[4];
    WriteLE32(b, value);
    out_.insert(out_.end(), b, b + 4);
}

void CByteWriter::U16(uint16_t value) {
    uint8_t b[2];
    WriteLE16(b, value);
    out_.insert(out_.end(), b, b + 2);
}

void CByteWriter::U8(uint8_t value) { out_.push_back(value); }

void CByteWriter::Bytes(std::span<const uint8_t> bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }

void CByteWriter::Text(const std::optional<std::string>& text) {
    if (!text) {
        U32(0);
        return;
    }
    Name(*text);
}

void CByteWriter::Name(std::string_view text) {
    std::u16string units = Utf8ToUtf16(text);
    U32(uint32_t(units.size() + 1));
    for (char16_t unit : units) U16(uint16_t(unit));
    U16(0);
}

}  // namespace vantor
