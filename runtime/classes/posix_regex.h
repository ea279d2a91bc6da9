// Regular expressions with the semantics of a POSIX-style wide-character interface
// (compile flags, up to 256 match slots, library error texts), built on the header-only part
// of Boost.Regex. Patterns and subjects are UTF-16 code units.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace nerva {

class PosixRegex {
public:
    // Compile flags.
    static constexpr int kExtended = 0x1;
    static constexpr int kIgnoreCase = 0x2;
    static constexpr int kNewline = 0x4;        // '.' does not match a line break
    static constexpr int kNoCollate = 0x8;
    static constexpr int kEscapeInLists = 0x10;  // '\' escapes inside [...]

    static constexpr size_t kSlots = 256;
    struct Slot {
        int64_t start = -1;  // code units from the start of the subject; -1: the group took no part
        int64_t end = -1;
    };
    using Slots = std::array<Slot, kSlots>;

    PosixRegex();
    ~PosixRegex();
    PosixRegex(const PosixRegex&) = delete;
    PosixRegex& operator=(const PosixRegex&) = delete;

    // Compiles a pattern (up to its first NUL). Returns 0, or the library's error code; on an
    // error the previous expression is gone.
    int Compile(std::u16string_view pattern, int flags);
    bool IsCompiled() const;
    // Number of marked groups of the compiled expression (group 0 not counted).
    size_t GroupCount() const;

    // Searches the subject (up to its first NUL) from code unit `start` (clamped to its end);
    // the start position counts as the beginning of the text for '^'. On a match fills all slots
    // with positions relative to the whole subject and returns true.
    bool Execute(std::u16string_view subject, size_t start, Slots& slots) const;

    // The library's text for an error code.
    static std::string ErrorText(int code);

private:
    struct Compiled;
    std::unique_ptr<Compiled> compiled_;
    bool newlineSensitive_ = false;
};

}  // namespace nerva
