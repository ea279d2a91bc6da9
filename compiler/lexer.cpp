// Lexer: source characters to tokens on demand, one character read at a time from the source
// stream, with push-back for look-ahead. Also reads regular-expression bodies for the parser.
#include <cstdlib>

#include "compiler/compiler_internal.h"

namespace nerva {

namespace {

struct Keyword {
    const char* name;
    int code;
};

constexpr Keyword kKeywords[] = {
    {"break", kTokBreak},       {"continue", kTokContinue}, {"delete", kTokDelete},   {"else", kTokElse},
    {"for", kTokFor},           {"function", kTokFunction}, {"if", kTokIf},           {"in", kTokIn},
    {"new", kTokNew},           {"return", kTokReturn},     {"this", kTokThis},       {"typeof", kTokTypeof},
    {"var", kTokVar},           {"void", kTokVoid},         {"while", kTokWhile},     {"with", kTokWith},
    {"case", kTokCase},         {"catch", kTokCatch},       {"class", kTokClass},     {"const", kTokConst},
    {"debugger", kTokDebugger}, {"default", kTokDefault},   {"do", kTokDo},           {"enum", kTokEnum},
    {"export", kTokExport},     {"extends", kTokExtends},   {"finally", kTokFinally}, {"import", kTokImport},
    {"super", kTokSuper},       {"switch", kTokSwitch},     {"throw", kTokThrow},     {"try", kTokTry},
    {"null", kTokNull},         {"true", kTokTrue},         {"false", kTokFalse},     {"undefined", kTokUndefined},
};

// The keyword table: 32 buckets by the name hash, chained through `next`.
struct KeywordTable {
    struct Entry {
        const Keyword* keyword;
        int next;
    };
    int heads[32];
    Entry entries[sizeof(kKeywords) / sizeof(kKeywords[0])];

    KeywordTable() {
        for (int& h : heads) h = -1;
        int n = 0;
        for (const Keyword& k : kKeywords) {
            uint32_t b = NameHash(k.name, std::strlen(k.name)) & 31;
            entries[n] = {&k, heads[b]};
            heads[b] = n++;
        }
    }
    int Find(const char* s, size_t len) const {
        for (int i = heads[NameHash(s, len) & 31]; i >= 0; i = entries[i].next) {
            const char* name = entries[i].keyword->name;
            if (std::strlen(name) == len && std::memcmp(name, s, len) == 0) return entries[i].keyword->code;
        }
        return 0;
    }
};

const KeywordTable& Keywords() {
    static const KeywordTable table;
    return table;
}

inline bool IsIdentStart(int c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '$' || c == '_'; }
inline bool IsDigit(int c) { return c >= '0' && c <= '9'; }
inline bool IsIdentPart(int c) { return IsIdentStart(c) || IsDigit(c); }
inline bool IsOctal(int c) { return c >= '0' && c <= '7'; }
inline int HexValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

class Lexer {
public:
    explicit Lexer(CScriptCompiler& c) : c_(c), s_(*c.source), buf_(c.textBuffer) {}

    CScriptToken Next();
    int RegExp(int startLine, CText& pattern);

private:
    int Escape(int ch, const char* kind, int startLine);
    void ReadString(int quote, CScriptToken& t);
    void ReadNumber(int first, CScriptToken& t);
    void ReadCharacter(CScriptToken& t);
    void Put(int ch) { buf_.push_back(static_cast<char>(ch)); }
    CText Take() { return c_.nodes->Copy(buf_.data(), buf_.size()); }
    int GetCounted() {
        int ch = s_.Get();
        if (ch == '\n') ++s_.line;
        return ch;
    }

    CScriptCompiler& c_;
    CScriptStream& s_;
    std::vector<char>& buf_;
};

// The character after a backslash. Returns the byte the sequence stands for.
int Lexer::Escape(int ch, const char* kind, int startLine) {
    switch (ch) {
        case 'a': return 7;
        case 'b': return 8;
        case 'f': return 12;
        case 'n': return 10;
        case 'r': return 13;
        case 't': return 9;
        case 'v': return 11;
        case '\\': case '?': case '\'': case '"': return ch;
        case 'x':
        case 'u': {
            int count = ch == 'x' ? 2 : 4;
            int d[4] = {0, 0, 0, 0};
            for (int i = 0; i < count; ++i) {
                d[i] = GetCounted();
                if (d[i] == 0) c_.Error(startLine, "unterminated %s constant", kind);
            }
            for (int i = 0; i < count; ++i) {
                if (HexValue(d[i]) < 0) {
                    if (ch == 'x') c_.Error(s_.line, "illegal character '%s%c%c'", "\\x", d[0], d[1]);
                    c_.Error(s_.line, "illegal unicode character '%s%c%c%c%c'", "\\u", d[0], d[1], d[2], d[3]);
                }
            }
            return (HexValue(d[count - 2]) << 4) | HexValue(d[count - 1]);
        }
        case 0:
            c_.Error(s_.line, "unterminated %s constant", kind);
        default:
            break;
    }
    if (IsOctal(ch)) {
        int value = ch - '0';
        int more = ch == '0' ? 3 : 2;
        for (int i = 0; i < more; ++i) {
            int d = s_.Get();
            if (!IsOctal(d)) {
                s_.PutBack(d);
                break;
            }
            value = (value * 8 + (d - '0')) & 0xFF;
        }
        return value;
    }
    c_.Warning(s_.line, "unknown escape sequence '%c%c'", '\\', ch);
    return ch;
}

void Lexer::ReadString(int quote, CScriptToken& t) {
    int startLine = s_.line;
    bool warned = false;
    buf_.clear();
    for (;;) {
        int ch = s_.Get();
        if (ch == 0) c_.Error(startLine, "unterminated %s constant", "string");
        if (ch == quote) break;
        if (ch == '\n') {
            ++s_.line;
            if (c_.warnLineTerminators && !warned) {
                warned = true;
                c_.Warning(s_.line, "ECMAScript don't allow line terminators in %s constants", "string");
            }
            Put(ch);
            continue;
        }
        if (ch == '\\') {
            int e = s_.Get();
            if (e == '\n') {
                ++s_.line;
                continue;
            }
            Put(Escape(e, "string", startLine));
            continue;
        }
        Put(ch);
    }
    t.code = kTokString;
    t.text = Take();
}

void Lexer::ReadCharacter(CScriptToken& t) {
    int ch = GetCounted();
    if (ch == 0) c_.Error(s_.line, "illegal character");
    if (ch == '\\') ch = Escape(GetCounted(), "character", s_.line);
    if (s_.Get() != '\'') c_.Error(s_.line, "illegal character");
    t.code = kTokInteger;
    t.integer = static_cast<int8_t>(ch);
}

void Lexer::ReadNumber(int first, CScriptToken& t) {
    if (first == '0') {
        int ch = s_.Get();
        if (ch != '.' && ch != 'e' && ch != 'E') {
            uint64_t v = 0;
            if (ch == 'x' || ch == 'X') {
                for (;;) {
                    ch = s_.Get();
                    int h = HexValue(ch);
                    if (h < 0) break;
                    v = v * 16 + static_cast<uint64_t>(h);
                }
            } else {
                while (IsOctal(ch)) {
                    v = v * 8 + static_cast<uint64_t>(ch - '0');
                    ch = s_.Get();
                }
            }
            s_.PutBack(ch);
            t.code = kTokInteger;
            t.integer = static_cast<int64_t>(v);
            return;
        }
        s_.PutBack(ch);
    }
    buf_.clear();
    bool floating = false;
    int ch = first;
    while (IsDigit(ch)) {
        Put(ch);
        ch = s_.Get();
    }
    if (ch == '.') {
        floating = true;
        Put(ch);
        ch = s_.Get();
        while (IsDigit(ch)) {
            Put(ch);
            ch = s_.Get();
        }
    }
    if (ch == 'e' || ch == 'E') {
        floating = true;
        Put(ch);
        ch = s_.Get();
        if (ch == '+' || ch == '-') {
            Put(ch);
            ch = s_.Get();
        }
        if (!IsDigit(ch)) c_.Error(s_.line, "invalid exponent part in a decimal literal");
        while (IsDigit(ch)) {
            Put(ch);
            ch = s_.Get();
        }
    }
    s_.PutBack(ch);
    Put(0);
    if (!floating) {
        uint64_t v = 0;
        const uint64_t limit = static_cast<uint64_t>(INT64_MAX);
        bool overflow = false;
        for (const char* p = buf_.data(); *p; ++p) {
            uint64_t d = static_cast<uint64_t>(*p - '0');
            if (v > (limit - d) / 10) {
                overflow = true;
                break;
            }
            v = v * 10 + d;
        }
        if (!overflow) {
            t.code = kTokInteger;
            t.integer = static_cast<int64_t>(v);
            return;
        }
    }
    t.code = kTokFloat;
    t.number = std::strtod(buf_.data(), nullptr);
}

CScriptToken Lexer::Next() {
    CScriptToken t;
    int ch;
    for (;;) {
        ch = s_.Get();
        if (ch == 0) {
            t.code = kTokEnd;
            t.line = s_.line;
            return t;
        }
        if (ch == '\n') {
            ++s_.line;
            continue;
        }
        if ((ch >= 9 && ch <= 13) || ch == ' ') continue;
        if (ch == '/') {
            int n = s_.Peek();
            if (n == '*') {
                s_.Get();
                int prev = 0;
                for (;;) {
                    int k = GetCounted();
                    if (k == 0 || (prev == '*' && k == '/')) break;
                    prev = k;
                }
                continue;
            }
            if (n == '/') {
                for (;;) {
                    int k = s_.Get();
                    if (k == 0) break;
                    if (k == '\n') {
                        s_.PutBack(k);
                        break;
                    }
                }
                continue;
            }
        }
        if (ch == '#' && s_.Peek() == '!') {
            for (;;) {
                int k = s_.Get();
                if (k == 0) break;
                if (k == '\n') {
                    s_.PutBack(k);
                    break;
                }
            }
            continue;
        }
        break;
    }
    t.line = s_.line;
    auto follow = [&](int want) {
        int n = s_.Get();
        if (n == want) return true;
        s_.PutBack(n);
        return false;
    };
    switch (ch) {
        case '"':
        case '\'':
            ReadString(ch, t);
            return t;
        case '=':
            t.code = follow('=') ? (follow('=') ? kTokStrictEq : kTokEq) : '=';
            return t;
        case '!':
            t.code = follow('=') ? (follow('=') ? kTokStrictNe : kTokNe) : '!';
            return t;
        case '<':
            if (follow('=')) t.code = kTokLe;
            else if (follow('<')) t.code = follow('=') ? kTokShlAssign : kTokShl;
            else t.code = '<';
            return t;
        case '>':
            if (follow('=')) t.code = kTokGe;
            else if (follow('>')) {
                if (follow('=')) t.code = kTokShrAssign;
                else if (follow('>')) t.code = follow('=') ? kTokUshrAssign : kTokUshr;
                else t.code = kTokShr;
            } else t.code = '>';
            return t;
        case '&':
            t.code = follow('&') ? kTokAnd : follow('=') ? kTokAndAssign : '&';
            return t;
        case '|':
            t.code = follow('|') ? kTokOr : follow('=') ? kTokOrAssign : '|';
            return t;
        case '+':
            t.code = follow('+') ? kTokInc : follow('=') ? kTokAddAssign : '+';
            return t;
        case '-':
            t.code = follow('-') ? kTokDec : follow('=') ? kTokSubAssign : '-';
            return t;
        case '*':
            t.code = follow('=') ? kTokMulAssign : '*';
            return t;
        case '/':
            t.code = follow('=') ? kTokDivAssign : '/';
            return t;
        case '%':
            t.code = follow('=') ? kTokModAssign : '%';
            return t;
        case '^':
            t.code = follow('=') ? kTokXorAssign : '^';
            return t;
        case '#':
            if (follow('\'')) {
                ReadCharacter(t);
                return t;
            }
            t.code = '#';
            return t;
        default:
            break;
    }
    if (IsIdentStart(ch)) {
        buf_.clear();
        while (IsIdentPart(ch)) {
            Put(ch);
            ch = s_.Get();
        }
        s_.PutBack(ch);
        int code = Keywords().Find(buf_.data(), buf_.size());
        if (code) {
            t.code = code;
        } else {
            t.code = kTokIdentifier;
            t.text = Take();
        }
        return t;
    }
    if (IsDigit(ch) || (ch == '.' && IsDigit(s_.Peek()))) {
        ReadNumber(ch, t);
        return t;
    }
    t.code = static_cast<int8_t>(ch);
    return t;
}

int Lexer::RegExp(int startLine, CText& pattern) {
    buf_.clear();
    for (;;) {
        int ch = s_.Get();
        if (ch == 0) c_.Error(startLine, "unterminated %s constant", "regular expression");
        if (ch == '/') break;
        if (ch == '\n') {
            ++s_.line;
            Put(ch);
            continue;
        }
        if (ch != '\\') {
            Put(ch);
            continue;
        }
        int e = s_.Get();
        switch (e) {
            case '\n':
                ++s_.line;
                break;
            case 0:
                c_.Error(s_.line, "unterminated %s constant", "regular expression");
            case '0': case 'u': case 'x':
                Put(Escape(e, "regular expression", startLine));
                break;
            case 'f': Put(12); break;
            case 'n': Put(10); break;
            case 'r': Put(13); break;
            case 't': Put(9); break;
            case 'v': Put(11); break;
            case 'c': {
                Put('\\');
                Put('c');
                int k = GetCounted();
                if (k == 0) c_.Error(startLine, "unterminated %s constant", "regular expression");
                Put(k);
                break;
            }
            default:
                Put('\\');
                Put(e);
                break;
        }
    }
    pattern = Take();
    int flags = 0;
    for (;;) {
        int ch = s_.Get();
        if (ch == 'g') flags |= 1;
        else if (ch == 'i') flags |= 2;
        else if (ch == 'm') flags |= 4;
        else {
            s_.PutBack(ch);
            break;
        }
    }
    return flags;
}

}  // namespace

CScriptToken NextToken(CScriptCompiler& c) { return Lexer(c).Next(); }

int ReadRegExpLiteral(CScriptCompiler& c, int startLine, CText& pattern) { return Lexer(c).RegExp(startLine, pattern); }

}  // namespace nerva
