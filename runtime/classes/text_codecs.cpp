// escape/unescape use the %XX and %uXXXX forms over code units; the URI functions encode
// code points as UTF-8 bytes and decode them back, keeping escapes of reserved characters.
#include "runtime/classes/text_codecs.h"

#include <cstdint>

namespace nerva {

namespace {

constexpr std::u16string_view kEscapeKept =
    u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789@*_+-./";
constexpr std::u16string_view kUriUnreserved =
    u"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_.!~*'()";
constexpr std::u16string_view kUriReserved = u";/?:@&=+$,#";

const char kHexDigits[] = "0123456789ABCDEF";

bool Contains(std::u16string_view set, char16_t c) { return set.find(c) != std::u16string_view::npos; }

int HexValue(char16_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The value of `count` hexadecimal digits at `pos`, or -1.
int HexAt(std::u16string_view text, size_t pos, int count) {
    if (pos + count > text.size()) return -1;
    int value = 0;
    for (int i = 0; i < count; ++i) {
        int digit = HexValue(text[pos + i]);
        if (digit < 0) return -1;
        value = value * 16 + digit;
    }
    return value;
}

void AppendHexByte(std::u16string& out, unsigned byte) {
    out += u'%';
    out += char16_t(kHexDigits[(byte >> 4) & 15]);
    out += char16_t(kHexDigits[byte & 15]);
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void AppendUtf8Escapes(std::u16string& out, uint32_t cp) {
    if (cp < 0x80) {
        AppendHexByte(out, cp);
    } else if (cp < 0x800) {
        AppendHexByte(out, 0xC0 | (cp >> 6));
        AppendHexByte(out, 0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        AppendHexByte(out, 0xE0 | (cp >> 12));
        AppendHexByte(out, 0x80 | ((cp >> 6) & 0x3F));
        AppendHexByte(out, 0x80 | (cp & 0x3F));
    } else {
        AppendHexByte(out, 0xF0 | (cp >> 18));
        AppendHexByte(out, 0x80 | ((cp >> 12) & 0x3F));
        AppendHexByte(out, 0x80 | ((cp >> 6) & 0x3F));
        AppendHexByte(out, 0x80 | (cp & 0x3F));
    }
}

// Number of leading one bits of a byte.
int LeadingOnes(unsigned byte) {
    int n = 0;
    while (n < 8 && (byte & (0x80u >> n))) ++n;
    return n;
}

}  // namespace

std::u16string Escape(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        if (c < 128 && Contains(kEscapeKept, c)) {
            out += c;
        } else if (c < 256) {
            AppendHexByte(out, c);
        } else {
            out += u"%u";
            for (int shift = 12; shift >= 0; shift -= 4) out += char16_t(kHexDigits[(c >> shift) & 15]);
        }
    }
    return out;
}

std::u16string Unescape(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (c == u'%') {
            if (i + 1 < text.size() && text[i + 1] == u'u') {
                int value = HexAt(text, i + 2, 4);
                if (value >= 0) {
                    out += char16_t(value);
                    i += 5;
                    continue;
                }
            }
            int value = HexAt(text, i + 1, 2);
            if (value >= 0) {
                out += char16_t(value);
                i += 2;
                continue;
            }
        }
        out += c;
    }
    return out;
}

std::optional<std::u16string> EncodeUri(std::u16string_view text, bool component) {
    std::u16string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (Contains(kUriUnreserved, c) || (!component && Contains(kUriReserved, c))) {
            out += c;
            continue;
        }
        if (IsLowSurrogate(c)) return std::nullopt;
        uint32_t cp = c;
        if (IsHighSurrogate(c)) {
            if (i + 1 >= text.size() || !IsLowSurrogate(text[i + 1])) return std::nullopt;
            cp = 0x10000 + ((uint32_t(c) - 0xD800) << 10) + (uint32_t(text[i + 1]) - 0xDC00);
            ++i;
        }
        AppendUtf8Escapes(out, cp);
    }
    return out;
}

std::optional<std::u16string> DecodeUri(std::u16string_view text, bool component) {
    std::u16string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (c != u'%') {
            out += c;
            continue;
        }
        size_t start = i;
        int byte = HexAt(text, i + 1, 2);
        if (byte < 0) return std::nullopt;
        i += 2;
        if (byte < 0x80) {
            if (!component && Contains(kUriReserved, char16_t(byte))) out.append(text.substr(start, 3));
            else out += char16_t(byte);
            continue;
        }
        int length = LeadingOnes(unsigned(byte));
        if (length < 2 || length > 6) return std::nullopt;
        uint32_t cp = uint32_t(byte) & (0xFFu >> (length + 1));
        for (int k = 1; k < length; ++k) {
            if (i + 1 >= text.size() || text[i + 1] != u'%') return std::nullopt;
            int next = HexAt(text, i + 2, 2);
            if (next < 0 || (next & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | uint32_t(next & 0x3F);
            i += 3;
        }
        if (cp > 0x10FFFF) return std::nullopt;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += char16_t(0xD800 + (cp >> 10));
            out += char16_t(0xDC00 + (cp & 0x3FF));
        } else {
            out += char16_t(cp);
        }
    }
    return out;
}

}  // namespace nerva
