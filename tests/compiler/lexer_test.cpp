// Lexer: tokens, literals, escapes, comments, line counting and lexical diagnostics.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "compiler/compiler_internal.h"
#include "test_util.h"

namespace nerva {
namespace {

// Tokens of a source as text: codes, with literal values after a colon.
std::string Tokens(const std::string& source, std::string* messages = nullptr, uint32_t warnFlags = 0) {
    CScriptCompiler c;
    c.source = CScriptStream::Open(source, kStreamReadText);
    c.messages = CScriptStream::Open({}, kStreamWriteMemory);
    c.warnLineTerminators = warnFlags != 0;
    std::string out;
    try {
        for (;;) {
            CScriptToken t = NextToken(c);
            if (!out.empty()) out += ' ';
            out += std::to_string(t.code);
            if (t.code == kTokInteger) out += ":" + std::to_string(t.integer);
            if (t.code == kTokFloat) {
                char text[40];
                std::snprintf(text, sizeof text, ":%g", t.number);
                out += text;
            }
            if (t.code == kTokString || t.code == kTokIdentifier) out += ":" + std::string(t.text.view());
            out += "@" + std::to_string(t.line);
            if (t.code == kTokEnd) break;
        }
    } catch (const CCompileAbort&) {
        out += " !";
    }
    if (messages) {
        const auto& b = c.messages->buffer();
        *messages = std::string(b.begin(), b.end());
    }
    return out;
}

TEST(Lexer, TokenTable) {
    struct Case {
        const char* source;
        const char* tokens;
    } cases[] = {
        {"", "128@0"},
        {"a<<=b", "132:a@0 184@0 132:b@0 128@0"},
        {"a>>>=b", "132:a@0 189@0 132:b@0 128@0"},
        {"a===b !== c", "132:a@0 190@0 132:b@0 191@0 132:c@0 128@0"},
        {"<= >= == != && || ++ -- *= /= %= += -= &= ^= |= << >> >>> >>=",
         "170@0 171@0 168@0 169@0 172@0 173@0 174@0 175@0 176@0 177@0 178@0 179@0 180@0 181@0 182@0 183@0 185@0 186@0 187@0 188@0 128@0"},
        {"0x1F 017 08 0x", "129:31@0 129:15@0 129:0@0 129:8@0 129:0@0 128@0"},
        {"0xFFFFFFFFFFFFFFFF", "129:-1@0 128@0"},
        {"9223372036854775807 9223372036854775808", "129:9223372036854775807@0 130:9.22337e+18@0 128@0"},
        {"1. 1e5 .5 1.5.3 0.25", "130:1@0 130:100000@0 130:0.5@0 130:1.5@0 130:0.3@0 130:0.25@0 128@0"},
        {"break undefined instanceof while class", "133@0 192@0 132:instanceof@0 147@0 151@0 128@0"},
        {"$_a1 _ @ #", "132:$_a1@0 132:_@0 64@0 35@0 128@0"},
        {"#'\\n' #'A' #'\xE9'", "129:10@0 129:65@0 129:-23@0 128@0"},
        {"a /* x\n y */ b // c\n d #! e\n f", "132:a@0 132:b@1 132:d@2 132:f@3 128@3"},
        {"/*/ still comment */ x", "132:x@0 128@0"},
        {"x /* open to the end\n", "132:x@0 128@1"},
        {"a\r\nb", "132:a@0 132:b@1 128@1"},
        {"\xC3", "-61@0 128@0"},
    };
    for (const Case& c : cases) EXPECT_EQ(Tokens(c.source), c.tokens) << c.source;
}

TEST(Lexer, StringEscapes) {
    struct Case {
        const char* source;
        std::string text;
    } cases[] = {
        {R"("\a\b\f\n\r\t\v")", "\a\b\f\n\r\t\v"},
        {R"("\\\?\'\"")", "\\?'\""},
        {R"("\x41\u0041\u2041")", "AAA"},
        {R"("\101\0101\7")", "AA\x07"},
        {R"('it''s')", "it"},
        {"\"a\\\nb\"", "ab"},
        {R"("")", ""},
    };
    for (const Case& c : cases) {
        CScriptCompiler comp;
        comp.source = CScriptStream::Open(c.source, kStreamReadText);
        comp.messages = CScriptStream::Open({}, kStreamWriteMemory);
        CScriptToken t = NextToken(comp);
        ASSERT_EQ(t.code, kTokString) << c.source;
        EXPECT_EQ(std::string(t.text.view()), c.text) << c.source;
    }
}

TEST(Lexer, NulInsideAStringEscapeKeepsTheRest) {
    CScriptCompiler comp;
    comp.source = CScriptStream::Open(R"("a\0b")", kStreamReadText);
    comp.messages = CScriptStream::Open({}, kStreamWriteMemory);
    CScriptToken t = NextToken(comp);
    EXPECT_EQ(std::string(t.text.view()), std::string("a\0b", 3));
}

TEST(Lexer, Diagnostics) {
    struct Case {
        const char* source;
        const char* messages;
    } cases[] = {
        {"1e", "error: line 0: invalid exponent part in a decimal literal\r\n"},
        {"\n1e+;", "error: line 1: invalid exponent part in a decimal literal\r\n"},
        {"'abc", "error: line 0: unterminated string constant\r\n"},
        {"x\n'abc\n\n", "error: line 1: unterminated string constant\r\n"},
        {"\"\\x4G\"", "error: line 0: illegal character '\\x4G'\r\n"},
        {"\"\\u12G4\"", "error: line 0: illegal unicode character '\\u12G4'\r\n"},
        {"\"\\x4", "error: line 0: unterminated string constant\r\n"},
        {"\n\"abc\\", "error: line 1: unterminated string constant\r\n"},
        {"\"\\8\\q\"", "warning: line 0: unknown escape sequence '\\8'\r\nwarning: line 0: unknown escape sequence '\\q'\r\n"},
        {"#'ab'", "error: line 0: illegal character\r\n"},
        {"#'", "error: line 0: illegal character\r\n"},
        {"x = /abc", "error: line 0: unterminated regular expression constant\r\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(test::Messages(c.source), c.messages) << c.source;
}

TEST(Lexer, LineFeedInStringWarnsOnceWithTheOption) {
    std::string messages;
    EXPECT_EQ(Tokens("'a\nb\nc' x", &messages, 1), "131:a\nb\nc@0 132:x@2 128@2");
    EXPECT_EQ(messages, "warning: line 1: ECMAScript don't allow line terminators in string constants\r\n");
    Tokens("'a\nb'", &messages, 0);
    EXPECT_EQ(messages, "");
}

TEST(Lexer, RegularExpressionBodies) {
    struct Case {
        const char* source;
        std::string pattern;
        int flags;
    } cases[] = {
        {"a\\/b/gi", "a\\/b", 3},
        {"\\\\/mgm", "\\\\", 5},
        {"\\x41\\u0042\\0101\\n\\t/", "ABA\n\t", 0},
        {"\\cA\\d/", "\\cA\\d", 0},
        {"a\\\nb/ x", "ab", 0},
    };
    for (const Case& c : cases) {
        CScriptCompiler comp;
        comp.source = CScriptStream::Open(c.source, kStreamReadText);
        comp.messages = CScriptStream::Open({}, kStreamWriteMemory);
        CText pattern;
        int flags = ReadRegExpLiteral(comp, 0, pattern);
        EXPECT_EQ(std::string(pattern.view()), c.pattern) << c.source;
        EXPECT_EQ(flags, c.flags) << c.source;
    }
}

}  // namespace
}  // namespace nerva
