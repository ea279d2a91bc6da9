// Number texts, the checked format, and the 48-bit generator.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "runtime/classes/number_text.h"
#include "runtime/classes/random48.h"

using namespace nerva;

TEST(NumberText, IntegersInRadixes) {
    EXPECT_EQ(IntegerToText(255, 16), "ff");
    EXPECT_EQ(IntegerToText(-5, 10), "-5");
    EXPECT_EQ(IntegerToText(-1, 16), "ffffffffffffffff");
    EXPECT_EQ(IntegerToText(35, 36), "z");
    EXPECT_EQ(IntegerToText(5, 2), "101");
    EXPECT_EQ(IntegerToText(0, 8), "0");
    EXPECT_EQ(IntegerToText(INT64_MIN, 10), "-9223372036854775808");
    EXPECT_EQ(IntegerToText(12, 99), "12");
}

TEST(NumberText, Floats) {
    EXPECT_EQ(FloatToText(1.5), "1.5");
    EXPECT_EQ(FloatToText(1e21), "1e+21");
    EXPECT_EQ(FloatToText(NAN), "NaN");
    EXPECT_EQ(FloatToText(-INFINITY), "-inf");
    EXPECT_EQ(FloatToText(0.1), "0.1");
}

TEST(NumberText, FormatsMatchingConversions) {
    EXPECT_EQ(FormatNumber(u"%05d", int64_t(3)), u"00003");
    EXPECT_EQ(FormatNumber(u"%.2f", 2.5), u"2.50");
    EXPECT_EQ(FormatNumber(u"[%x]%%", int64_t(255)), u"[ff]%");
    EXPECT_EQ(FormatNumber(u"%lld", int64_t(1) << 40), u"1099511627776");
    EXPECT_EQ(FormatNumber(u"%d", int64_t(1) << 40), u"0");  // %d sees the low 32 bits
    EXPECT_EQ(FormatNumber(u"%u", int64_t(-1)), u"4294967295");
    EXPECT_EQ(FormatNumber(u"%c", int64_t(0x141)), u"A");
    EXPECT_EQ(FormatNumber(u"\u00e9 %e", 1.0), u"\u00e9 1.000000e+00");
    EXPECT_EQ(FormatNumber(u"no conversion", 1.0), u"no conversion");
}

TEST(NumberText, RefusesFormatsThatWouldMisbehave) {
    const char16_t* integerRefused[] = {u"%s", u"%f", u"%n", u"%p", u"%d %d", u"%*d", u"%.*d", u"%1000d", u"%", u"%l"};
    for (const char16_t* f : integerRefused) EXPECT_FALSE(FormatNumber(f, int64_t(7)).has_value());
    const char16_t* floatRefused[] = {u"%d", u"%x", u"%s", u"%Lf", u"%f%f", u"%.300f", u"%257f"};
    for (const char16_t* f : floatRefused) EXPECT_FALSE(FormatNumber(f, 7.0).has_value());
    // The result may not exceed 256 characters.
    EXPECT_FALSE(FormatNumber(std::u16string(250, u'x') + u"%10d", int64_t(1)).has_value());
    EXPECT_TRUE(FormatNumber(std::u16string(246, u'x') + u"%10d", int64_t(1)).has_value());
    EXPECT_FALSE(FormatNumber(u"%f", 1e300).has_value());
}

TEST(Random48, FollowsTheRecurrence) {
    SeedRandom48(0);
    // x1 = (0x5DEECE66D * 0x330E + 0xB) mod 2^48
    const uint64_t x1 = (0x5DEECE66DULL * 0x330EULL + 0xBULL) & ((1ULL << 48) - 1);
    EXPECT_EQ(NextRandom48(), double(x1) / double(1ULL << 48));
#ifndef _WIN32
    srand48(20261211);
    SeedRandom48(20261211);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(NextRandom48(), drand48());
#endif
    for (int i = 0; i < 1000; ++i) {
        double r = NextRandom48();
        ASSERT_GE(r, 0.0);
        ASSERT_LT(r, 1.0);
    }
}
