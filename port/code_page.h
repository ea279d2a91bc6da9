// 8-bit text of the system's ANSI code page to and from UTF-16. Windows uses CP_ACP; other
// systems use the Windows-1252 table, which is what the titles were authored with.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vantor {

std::u16string AnsiToWide(std::string_view text);
std::string WideToAnsi(std::u16string_view text);
// The same into caller storage: returns the number of units written (at most capacity).
size_t AnsiToWide(const char* text, size_t length, char16_t* out, size_t capacity);

}  // namespace vantor
