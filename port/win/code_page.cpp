// ANSI code page conversion through the system (CP_ACP).
#include <windows.h>

#include "port/code_page.h"

namespace vantor {

std::u16string AnsiToWide(std::string_view text) {
    if (text.empty()) return {};
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0);
    std::u16string out(size_t(n > 0 ? n : 0), u'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), reinterpret_cast<wchar_t*>(out.data()), n);
    return out;
}

size_t AnsiToWide(const char* text, size_t length, char16_t* out, size_t capacity) {
    if (length == 0 || capacity == 0) return 0;
    std::u16string wide = AnsiToWide(std::string_view(text, length));
    size_t n = wide.size() < capacity ? wide.size() : capacity;
    wide.copy(out, n);
    return n;
}

std::string WideToAnsi(std::u16string_view text) {
    if (text.empty()) return {};
    const wchar_t* w = reinterpret_cast<const wchar_t*>(text.data());
    int n = WideCharToMultiByte(CP_ACP, 0, w, int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_ACP, 0, w, int(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

}  // namespace vantor
