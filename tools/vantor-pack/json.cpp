// Recursive-descent JSON reader and an indenting writer.
#include "json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace vantor::pack {

std::string InputError::Describe() const {
    if (formatted_) return what();
    if (place_.line == 0) return file_.empty() ? "error: " + std::string(what()) : file_ + ": error: " + what();
    return file_ + ":" + std::to_string(place_.line) + ":" + std::to_string(place_.column) + ": error: " + what();
}

const JsonValue* JsonValue::Find(const std::string& key) const {
    for (const auto& [k, v] : members)
        if (k == key) return &v;
    return nullptr;
}

const char* JsonValue::KindName() const {
    switch (kind) {
        case Kind::Null: return "null";
        case Kind::Bool: return "a boolean";
        case Kind::Number: return "a number";
        case Kind::String: return "a string";
        case Kind::Array: return "an array";
        case Kind::Object: return "an object";
    }
    return "?";
}

JsonValue JsonValue::Str(std::string s) {
    JsonValue v;
    v.kind = Kind::String;
    v.text = std::move(s);
    return v;
}
JsonValue JsonValue::Num(double n) {
    JsonValue v;
    v.kind = Kind::Number;
    v.number = n;
    return v;
}
JsonValue JsonValue::Bool(bool b) {
    JsonValue v;
    v.kind = Kind::Bool;
    v.boolean = b;
    return v;
}
JsonValue JsonValue::Arr() {
    JsonValue v;
    v.kind = Kind::Array;
    return v;
}
JsonValue JsonValue::Obj() {
    JsonValue v;
    v.kind = Kind::Object;
    return v;
}
JsonValue& JsonValue::Add(const std::string& key, JsonValue value) {
    members.push_back(JsonMember{key, std::move(value)});
    return *this;
}
JsonValue& JsonValue::Push(JsonValue value) {
    items.push_back(std::move(value));
    return *this;
}

namespace {

class Parser {
public:
    Parser(const std::string& text, const std::string& file) : s_(text), file_(file) {}

    JsonValue Document() {
        JsonValue v = Value(0);
        Space();
        if (i_ < s_.size()) Fail("unexpected text after the end of the document");
        return v;
    }

private:
    [[noreturn]] void Fail(const std::string& message) { throw InputError(file_, Here(), message); }

    JsonPlace Here() const { return {line_, int(i_ - lineStart_) + 1}; }

    void Space() {
        while (i_ < s_.size()) {
            char c = s_[i_];
            if (c == '\n') {
                ++i_, ++line_, lineStart_ = i_;
            } else if (c == ' ' || c == '\t' || c == '\r') {
                ++i_;
            } else {
                break;
            }
        }
    }

    JsonValue Value(int depth) {
        if (depth > 200) Fail("nesting too deep");
        Space();
        if (i_ >= s_.size()) Fail("unexpected end of file, a value was expected");
        JsonValue v;
        v.place = Here();
        char c = s_[i_];
        if (c == '{') {
            v.kind = JsonValue::Kind::Object;
            ++i_;
            Space();
            if (Peek('}')) return ++i_, v;
            for (;;) {
                Space();
                if (!Peek('"')) Fail("a member name in double quotes was expected");
                JsonPlace keyPlace = Here();
                std::string key = String();
                for (auto& [k, _] : v.members)
                    if (k == key) throw InputError(file_, keyPlace, "duplicate key \"" + key + "\"");
                Space();
                if (!Peek(':')) Fail("':' was expected after the member name");
                ++i_;
                v.members.push_back(JsonMember{key, Value(depth + 1)});
                Space();
                if (Peek(',')) {
                    ++i_;
                    continue;
                }
                if (Peek('}')) return ++i_, v;
                Fail("',' or '}' was expected");
            }
        }
        if (c == '[') {
            v.kind = JsonValue::Kind::Array;
            ++i_;
            Space();
            if (Peek(']')) return ++i_, v;
            for (;;) {
                v.items.push_back(Value(depth + 1));
                Space();
                if (Peek(',')) {
                    ++i_;
                    continue;
                }
                if (Peek(']')) return ++i_, v;
                Fail("',' or ']' was expected");
            }
        }
        if (c == '"') {
            v.kind = JsonValue::Kind::String;
            v.text = String();
            return v;
        }
        if (Word("true")) return v.kind = JsonValue::Kind::Bool, v.boolean = true, v;
        if (Word("false")) return v.kind = JsonValue::Kind::Bool, v;
        if (Word("null")) return v;
        if (c == '-' || (c >= '0' && c <= '9')) {
            size_t start = i_;
            if (Peek('-')) ++i_;
            if (Peek('0')) ++i_;  // no leading zeros: "01" is 0 followed by junk
            else if (!Digits()) Fail("a digit was expected");
            if (Peek('.')) {
                ++i_;
                if (!Digits()) Fail("a digit was expected after '.'");
            }
            if (Peek('e') || Peek('E')) {
                ++i_;
                if (Peek('+') || Peek('-')) ++i_;
                if (!Digits()) Fail("a digit was expected in the exponent");
            }
            v.kind = JsonValue::Kind::Number;
            v.text = s_.substr(start, i_ - start);
            v.number = std::strtod(v.text.c_str(), nullptr);
            return v;
        }
        Fail(std::string("unexpected character '") + c + "'");
    }

    bool Peek(char c) const { return i_ < s_.size() && s_[i_] == c; }
    bool Digits() {
        size_t start = i_;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
        return i_ > start;
    }
    bool Word(const char* w) {
        size_t n = std::char_traits<char>::length(w);
        if (s_.compare(i_, n, w) != 0) return false;
        i_ += n;
        return true;
    }

    unsigned Hex4() {
        unsigned value = 0;
        for (int k = 0; k < 4; ++k, ++i_) {
            if (i_ >= s_.size()) Fail("unexpected end of file in a \\u escape");
            char h = s_[i_];
            value <<= 4;
            if (h >= '0' && h <= '9') value |= unsigned(h - '0');
            else if (h >= 'a' && h <= 'f') value |= unsigned(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F') value |= unsigned(h - 'A' + 10);
            else Fail("four hexadecimal digits were expected after \\u");
        }
        return value;
    }

    void Utf8(std::string& out, unsigned c) {
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6)), out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12)), out += char(0x80 | ((c >> 6) & 0x3F)), out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18)), out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F)), out += char(0x80 | (c & 0x3F));
        }
    }

    std::string String() {
        ++i_;  // opening quote
        std::string out;
        for (;;) {
            if (i_ >= s_.size()) Fail("unexpected end of file inside a string");
            char c = s_[i_];
            if (c == '"') {
                ++i_;
                return out;
            }
            if (c == '\n') Fail("line break inside a string");
            if (static_cast<unsigned char>(c) < 0x20) Fail("control character inside a string");
            if (c != '\\') {
                out += c, ++i_;
                continue;
            }
            ++i_;
            if (i_ >= s_.size()) Fail("unexpected end of file inside a string");
            char e = s_[i_++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    unsigned c1 = Hex4();
                    if (c1 >= 0xD800 && c1 < 0xDC00 && s_.compare(i_, 2, "\\u") == 0) {
                        i_ += 2;
                        unsigned c2 = Hex4();
                        if (c2 >= 0xDC00 && c2 < 0xE000) c1 = 0x10000 + ((c1 - 0xD800) << 10) + (c2 - 0xDC00);
                        else Utf8(out, 0xFFFD), c1 = c2;
                    }
                    Utf8(out, c1);
                    break;
                }
                default: --i_, Fail(std::string("unknown escape '\\") + e + "'");
            }
        }
    }

    const std::string& s_;
    const std::string& file_;
    size_t i_ = 0;
    int line_ = 1;
    size_t lineStart_ = 0;
};

void Quote(std::string& out, const std::string& s) {
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += char(c);
                }
        }
    }
    out += '"';
}

void Write(std::string& out, const JsonValue& v, int indent) {
    std::string pad(size_t(indent + 2), ' ');
    switch (v.kind) {
        case JsonValue::Kind::Null: out += "null"; break;
        case JsonValue::Kind::Bool: out += v.boolean ? "true" : "false"; break;
        case JsonValue::Kind::Number: {
            char buf[32];
            if (std::floor(v.number) == v.number && std::fabs(v.number) < 1e15)
                std::snprintf(buf, sizeof buf, "%.0f", v.number);
            else
                std::snprintf(buf, sizeof buf, "%.17g", v.number);
            out += buf;
            break;
        }
        case JsonValue::Kind::String: Quote(out, v.text); break;
        case JsonValue::Kind::Array: {
            bool simple = true;
            for (const JsonValue& item : v.items)
                simple = simple && item.kind != JsonValue::Kind::Object && item.kind != JsonValue::Kind::Array;
            if (v.items.empty()) {
                out += "[]";
            } else if (simple) {
                out += '[';
                for (size_t k = 0; k < v.items.size(); ++k) {
                    if (k) out += ", ";
                    Write(out, v.items[k], indent);
                }
                out += ']';
            } else {
                out += "[\n";
                for (size_t k = 0; k < v.items.size(); ++k) {
                    out += pad;
                    Write(out, v.items[k], indent + 2);
                    out += k + 1 < v.items.size() ? ",\n" : "\n";
                }
                out += std::string(size_t(indent), ' ') + ']';
            }
            break;
        }
        case JsonValue::Kind::Object: {
            if (v.members.empty()) {
                out += "{}";
                break;
            }
            out += "{\n";
            for (size_t k = 0; k < v.members.size(); ++k) {
                out += pad;
                Quote(out, v.members[k].first);
                out += ": ";
                Write(out, v.members[k].second, indent + 2);
                out += k + 1 < v.members.size() ? ",\n" : "\n";
            }
            out += std::string(size_t(indent), ' ') + '}';
            break;
        }
    }
}

}  // namespace

JsonValue ParseJson(const std::string& text, const std::string& fileName) { return Parser(text, fileName).Document(); }

std::string WriteJson(const JsonValue& value) {
    std::string out;
    Write(out, value, 0);
    out += '\n';
    return out;
}

}  // namespace vantor::pack
