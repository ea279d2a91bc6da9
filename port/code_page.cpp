// Windows-1252 conversion for systems without an ANSI code page of their own. Bytes 0x80 to
// 0x9F map through the table; undefined positions map to the same-valued C1 control, as
// Windows' own conversion does. Characters outside the code page become "?".
#include "port/code_page.h"

namespace vantor {

namespace {

constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char16_t Widen(unsigned char c) { return (c >= 0x80 && c < 0xA0) ? kHigh[c - 0x80] : char16_t(c); }

char Narrow(char16_t u) {
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) return char(u);
    for (int i = 0; i < 32; ++i)
        if (kHigh[i] == u) return char(0x80 + i);
    return '?';
}

}  // namespace

std::u16string AnsiToWide(std::string_view text) {
    std::u16string out(text.size(), u'\0');
    for (size_t i = 0; i < text.size(); ++i) out[i] = Widen(static_cast<unsigned char>(text[i]));
    return out;
}

size_t AnsiToWide(const char* text, size_t length, char16_t* out, size_t capacity) {
    size_t n = length < capacity ? length : capacity;
    for (size_t i = 0; i < n; ++i) out[i] = Widen(static_cast<unsigned char>(text[i]));
    return n;
}

std::string WideToAnsi(std::u16string_view text) {
    std::string out(text.size(), '\0');
    for (size_t i = 0; i < text.size(); ++i) out[i] = Narrow(text[i]);
    return out;
}

}  // namespace vantor
