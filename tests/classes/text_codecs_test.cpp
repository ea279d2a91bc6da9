// escape/unescape and the URI codecs.
#include <gtest/gtest.h>

#include "runtime/classes/text_codecs.h"

using namespace nerva;

TEST(TextCodecs, EscapeRoundTrips) {
    const std::u16string text = u"A \u00e9\u20ac@*_+-./~";
    EXPECT_EQ(Escape(text), u"A%20%E9%u20AC@*_+-./%7E");
    EXPECT_EQ(Unescape(Escape(text)), text);
}

TEST(TextCodecs, UnescapeKeepsWhatIsNotAnEscape) {
    EXPECT_EQ(Unescape(u"%41%u00e9%"), u"A\u00e9%");
    EXPECT_EQ(Unescape(u"%4"), u"%4");
    EXPECT_EQ(Unescape(u"%u12G4%zz%u004"), u"%u12G4%zz%u004");
    EXPECT_EQ(Unescape(u"100%"), u"100%");
}

TEST(TextCodecs, EncodeUri) {
    EXPECT_EQ(EncodeUri(u" /\u00e9", true), u"%20%2F%C3%A9");
    EXPECT_EQ(EncodeUri(u" /\u00e9", false), u"%20/%C3%A9");
    EXPECT_EQ(EncodeUri(u"\u20ac", true), u"%E2%82%AC");
    EXPECT_EQ(EncodeUri(u"\U0001F600", true), u"%F0%9F%98%80");
    EXPECT_EQ(EncodeUri(u"-_.!~*'()", true), u"-_.!~*'()");
    EXPECT_FALSE(EncodeUri(u"\xDC00", true).has_value());
    EXPECT_FALSE(EncodeUri(u"a\xD800", true).has_value());
    EXPECT_FALSE(EncodeUri(u"\xD800x", false).has_value());
}

TEST(TextCodecs, DecodeUri) {
    EXPECT_EQ(DecodeUri(u"%2F%41", false), u"%2FA");
    EXPECT_EQ(DecodeUri(u"%2F%41", true), u"/A");
    EXPECT_EQ(DecodeUri(u"%C3%A9%e2%82%ac", true), u"\u00e9\u20ac");
    EXPECT_EQ(DecodeUri(u"%F0%9F%98%80", true), u"\U0001F600");
    const char16_t* bad[] = {u"%E9", u"%", u"%4", u"%GG", u"%C3%41", u"%C3", u"%80", u"%FF%80", u"%F4%90%80%80"};
    for (const char16_t* text : bad) EXPECT_FALSE(DecodeUri(text, true).has_value());
}
