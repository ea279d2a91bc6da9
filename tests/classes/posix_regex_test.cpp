// The regular expression adapter: extended syntax, flags, match slots and error texts.
#include <gtest/gtest.h>

#include <string>

#include "runtime/classes/posix_regex.h"

using nerva::PosixRegex;

namespace {

constexpr int kLiteralFlags = PosixRegex::kExtended | PosixRegex::kNoCollate | PosixRegex::kEscapeInLists;

// Group texts of a match, "-" for a group that took no part; "" when nothing matched.
std::string Groups(const char16_t* pattern, const char16_t* subject, int flags = kLiteralFlags, size_t start = 0) {
    PosixRegex re;
    EXPECT_EQ(re.Compile(pattern, flags), 0);
    PosixRegex::Slots slots;
    std::u16string s(subject);
    if (!re.Execute(s, start, slots)) return "";
    std::string out;
    for (size_t i = 0; i <= re.GroupCount(); ++i) {
        if (i) out += '|';
        if (slots[i].start < 0) {
            out += '-';
            continue;
        }
        for (int64_t k = slots[i].start; k < slots[i].end; ++k) out += char(s[k]);
    }
    return out;
}

}  // namespace

TEST(PosixRegex, MatchesWithGroups) {
    EXPECT_EQ(Groups(u"(a)(b)?", u"ac"), "a|a|-");
    EXPECT_EQ(Groups(u"a+", u"xaaay"), "aaa");
    EXPECT_EQ(Groups(u"([0-9]+)-([0-9]+)", u"tel 555-1234"), "555-1234|555|1234");
    EXPECT_EQ(Groups(u"x", u"abc"), "");
    EXPECT_EQ(Groups(u"b|c", u"abc"), "b");
}

TEST(PosixRegex, FlagsChangeTheMatch) {
    EXPECT_EQ(Groups(u"ABC", u"xabc"), "");
    EXPECT_EQ(Groups(u"ABC", u"xabc", kLiteralFlags | PosixRegex::kIgnoreCase), "abc");
    EXPECT_EQ(Groups(u"a.b", u"a\nb"), "a\nb");
    EXPECT_EQ(Groups(u"a.b", u"a\nb", kLiteralFlags | PosixRegex::kNewline), "");
    // A backslash escapes inside a bracket list only when asked.
    EXPECT_EQ(Groups(u"[\\]]", u"a]"), "]");
    EXPECT_EQ(Groups(u"[\\n]+", u"\\nn", PosixRegex::kExtended), "\\nn");
}

TEST(PosixRegex, StartOffsetCountsAsBeginningAndPositionsStayAbsolute) {
    PosixRegex re;
    ASSERT_EQ(re.Compile(u"^a", kLiteralFlags), 0);
    PosixRegex::Slots slots;
    ASSERT_TRUE(re.Execute(u"bab", 1, slots));
    EXPECT_EQ(slots[0].start, 1);
    EXPECT_EQ(slots[0].end, 2);
    EXPECT_EQ(slots[1].start, -1);
    EXPECT_FALSE(re.Execute(u"bab", 99, slots));
}

TEST(PosixRegex, SubjectAndPatternEndAtNul) {
    PosixRegex re;
    ASSERT_EQ(re.Compile(std::u16string(u"ab\0c", 4), kLiteralFlags), 0);
    PosixRegex::Slots slots;
    EXPECT_TRUE(re.Execute(u"xab", 0, slots));
    EXPECT_FALSE(re.Execute(std::u16string(u"a\0b", 3), 0, slots));
}

TEST(PosixRegex, ErrorsGiveTheLibraryText) {
    struct Case {
        const char16_t* pattern;
        const char* text;
    } cases[] = {
        {u"(", "Unmatched marking parenthesis ( or \\(."},
        {u"[a", "Unmatched [ or [^ in character class declaration."},
        {u"a{2", "Unmatched quantified repeat operator { or \\{."},
        {u"*a", "Invalid preceding regular expression prior to repetition operator."},
    };
    for (const Case& c : cases) {
        PosixRegex re;
        int code = re.Compile(c.pattern, kLiteralFlags);
        EXPECT_NE(code, 0);
        EXPECT_FALSE(re.IsCompiled());
        EXPECT_EQ(PosixRegex::ErrorText(code), c.text);
    }
    EXPECT_EQ(PosixRegex::ErrorText(9999), "Unknown error.");
}
