// Calendar arithmetic against the C library, and the date-text parser and formats.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ctime>
#include <random>

#include "runtime/classes/date_math.h"

using namespace nerva::date;

namespace {

// Broken-down UTC from the C library with 64-bit time.
bool LibraryGmTime(int64_t seconds, std::tm& out) {
#ifdef _WIN32
    __time64_t t = seconds;
    return _gmtime64_s(&out, &t) == 0;
#else
    time_t t = time_t(seconds);
    return gmtime_r(&t, &out) != nullptr;
#endif
}

}  // namespace

TEST(DateMath, BrokenDownFieldsMatchTheCLibrary) {
    // The Windows C library stops at year 3000; elsewhere the whole clip range is checked.
#ifdef _WIN32
    const double lo = 0, hi = 32503680000000.0 - 1;
#else
    const double lo = -kMaxTimeValue, hi = kMaxTimeValue;
#endif
    std::mt19937_64 random(20261211);
    std::uniform_real_distribution<double> pick(lo, hi);
    for (int i = 0; i < 10000; ++i) {
        double t = std::floor(pick(random));
        int64_t seconds = int64_t(std::floor(t / 1000));
        std::tm expected{};
        ASSERT_TRUE(LibraryGmTime(seconds, expected)) << t;
        Fields f = Split(t);
        ASSERT_EQ(f.year, double(expected.tm_year) + 1900) << t;
        ASSERT_EQ(f.month, expected.tm_mon) << t;
        ASSERT_EQ(f.date, expected.tm_mday) << t;
        ASSERT_EQ(f.weekDay, expected.tm_wday) << t;
        ASSERT_EQ(f.hours, expected.tm_hour) << t;
        ASSERT_EQ(f.minutes, expected.tm_min) << t;
        ASSERT_EQ(f.seconds, expected.tm_sec) << t;
        ASSERT_EQ(f.ms, int64_t(t) - seconds * 1000) << t;
    }
}

TEST(DateMath, MakeDayNormalisesMonthsAndDays) {
    struct Case {
        double year, month, date;
        const char* gmt;
    } cases[] = {
        {2004, 1, 29, "Sun, 29 Feb 2004 00:00:00 GMT"},
        {2003, 1, 29, "Sat, 01 Mar 2003 00:00:00 GMT"},
        {2000, 12, 1, "Mon, 01 Jan 2001 00:00:00 GMT"},
        {2000, -1, 1, "Wed, 01 Dec 1999 00:00:00 GMT"},
        {1900, 1, 29, "Thu, 01 Mar 1900 00:00:00 GMT"},
        {1970, 0, 0, "Wed, 31 Dec 1969 00:00:00 GMT"},
    };
    for (const Case& c : cases) EXPECT_EQ(ToGmtText(MakeDate(MakeDay(c.year, c.month, c.date), 0)), c.gmt);
    EXPECT_EQ(MakeDate(MakeDay(2000, 0, 1), 0), 946684800000.0);
}

TEST(DateMath, TimeClipRange) {
    EXPECT_EQ(TimeClip(8.64e15), 8.64e15);
    EXPECT_TRUE(std::isnan(TimeClip(8.64e15 + 1)));
    EXPECT_TRUE(std::isnan(TimeClip(-1e16)));
    EXPECT_TRUE(std::isnan(TimeClip(INFINITY)));
    EXPECT_EQ(TimeClip(-1.5), -1.0);
}

TEST(DateMath, TextForms) {
    EXPECT_EQ(ToGmtText(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(ToLocalText(0, 0), "Thu Jan 01 00:00:00 GMT+000 1970");
    EXPECT_EQ(ToLocalText(0, -2 * 3600000), "Thu Jan 01 02:00:00 GMT+200 1970");
    EXPECT_EQ(ToLocalText(0, 5 * 3600000), "Wed Dec 31 19:00:00 GMT-500 1969");
    EXPECT_EQ(ToLocalText(0, -(5 * 60 + 30) * 60000), "Thu Jan 01 05:30:00 GMT+530 1970");
    double bc = MakeDate(MakeDay(-5, 0, 1), 0);  // year -5 prints as 6 B.C.
    EXPECT_EQ(ToGmtText(bc), "Sun, 01 Jan 0006 00:00:00 GMT B.C.");
    EXPECT_EQ(ToLocalText(bc, 0), "Sun Jan 01 00:00:00 GMT+000 0006 B.C.");
}

TEST(DateMath, ParsesTheCommonForms) {
    const int64_t est = 5 * 3600000;  // a local zone five hours west
    struct Case {
        const char* text;
        double expected;
    } cases[] = {
        {"Mon, 25 Dec 1995 13:30:00 GMT", 819898200000.0},
        {"Mon, 25 Dec 1995 13:30:00 +0100", 819894600000.0},
        {"Mon, 25 Dec 1995 13:30:00 GMT+0100", 819894600000.0},
        {"Mon, 25 Dec 1995 13:30:00 GMT-3:30", 819898200000.0 + 3.5 * 3600000},
        {"25 Dec 1995 13:30 EST", 819898200000.0 + 5 * 3600000},
        {"12/25/1995", MakeDate(MakeDay(1995, 11, 25), 0) + est},
        {"12/25/95 1:30 pm", MakeDate(MakeDay(1995, 11, 25), 13.5 * 3600000) + est},
        {"December 25, 1995 12:00 am", MakeDate(MakeDay(1995, 11, 25), 0) + est},
        {"Thu Jan 01 00:00:00 GMT+000 1970", 0},
        {"Dec (a (nested) comment) 25 1995", MakeDate(MakeDay(1995, 11, 25), 0) + est},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::optional<double> t = Parse(c.text, est);
        ASSERT_TRUE(t.has_value());
        EXPECT_EQ(*t, c.expected);
    }
}

TEST(DateMath, RefusesWhatIsNotADate) {
    const char* bad[] = {
        "garbage", "", "12/25", "Dec 25", "1995 1996 Dec 1", "Dec Jan 1 1995", "13 pm Dec 1 1995",
        "Dec 25 1995 +0100 +0200", "25x Dec 1995", "Dec 25 1995 ?",
    };
    for (const char* text : bad) EXPECT_FALSE(Parse(text, 0).has_value()) << text;
}
