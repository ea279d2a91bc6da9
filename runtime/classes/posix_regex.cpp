// The adapter keeps to what a POSIX-style caller sees: extended syntax, escapes in bracket
// lists only when asked, '.' excluding line breaks under kNewline, and the subject ending at
// its first NUL. Every library failure, including a match too complex to finish, is reported
// as a result, never as an exception.
#include "runtime/classes/posix_regex.h"

#include <boost/regex.hpp>

#include <vector>

namespace nerva {

struct PosixRegex::Compiled {
    boost::basic_regex<wchar_t> expression;
};

namespace {

// UTF-16 code units widened one to one; wchar_t is 16 bits on Windows and 32 elsewhere, so
// the same code unit sequence is matched on both.
std::wstring Widen(std::u16string_view text) {
    size_t length = text.find(u'\0');
    if (length == std::u16string_view::npos) length = text.size();
    return std::wstring(text.begin(), text.begin() + length);
}

boost::regex_constants::syntax_option_type SyntaxOf(int flags) {
    using boost::regex_constants::syntax_option_type;
    syntax_option_type syntax = (flags & PosixRegex::kExtended) ? boost::regex_constants::extended
                                                                : boost::regex_constants::basic;
    if (flags & PosixRegex::kNoCollate) syntax &= ~boost::regex_constants::collate;
    if (flags & PosixRegex::kIgnoreCase) syntax |= boost::regex_constants::icase;
    if (flags & PosixRegex::kEscapeInLists) syntax &= ~boost::regex_constants::no_escape_in_lists;
    return syntax;
}

}  // namespace

PosixRegex::PosixRegex() = default;
PosixRegex::~PosixRegex() = default;

int PosixRegex::Compile(std::u16string_view pattern, int flags) {
    compiled_.reset();
    std::wstring wide = Widen(pattern);
    auto compiled = std::make_unique<Compiled>();
    try {
        compiled->expression.assign(wide.data(), wide.data() + wide.size(), SyntaxOf(flags));
    } catch (const boost::regex_error& e) {
        return int(e.code());
    } catch (...) {
        return int(boost::regex_constants::error_unknown);
    }
    compiled_ = std::move(compiled);
    newlineSensitive_ = (flags & kNewline) != 0;
    return 0;
}

bool PosixRegex::IsCompiled() const { return compiled_ != nullptr; }

size_t PosixRegex::GroupCount() const { return compiled_ ? compiled_->expression.mark_count() : 0; }

bool PosixRegex::Execute(std::u16string_view subject, size_t start, Slots& slots) const {
    if (!compiled_) return false;
    std::wstring wide = Widen(subject);
    if (start > wide.size()) start = wide.size();
    boost::match_flag_type flags = boost::match_default;
    if (newlineSensitive_) flags |= boost::match_not_dot_newline;

    boost::match_results<const wchar_t*> match;
    bool found = false;
    try {
        const wchar_t* begin = wide.data();
        found = boost::regex_search(begin + start, begin + wide.size(), match, compiled_->expression, flags);
    } catch (...) {
        found = false;  // a match too complex to finish counts as no match
    }
    if (!found) return false;

    size_t groups = std::min(match.size(), kSlots);
    for (size_t i = 0; i < kSlots; ++i) {
        if (i < groups && match[i].matched) {
            slots[i].start = match[i].first - wide.data();
            slots[i].end = match[i].second - wide.data();
        } else {
            slots[i] = Slot{};
        }
    }
    return true;
}

std::string PosixRegex::ErrorText(int code) {
    if (code < 0 || code > int(boost::regex_constants::error_unknown)) code = int(boost::regex_constants::error_unknown);
    return boost::BOOST_REGEX_DETAIL_NS::get_default_error_string(boost::regex_constants::error_type(code));
}

}  // namespace nerva
