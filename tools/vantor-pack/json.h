// A small JSON reader and writer for project files. Values remember where they stood in the
// file so that every complaint can point at its line and column.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vantor::pack {

struct JsonPlace {
    int line = 1;
    int column = 1;
};

// A complaint about the input: the message and where it points.
class InputError : public std::runtime_error {
public:
    InputError(std::string file, JsonPlace place, const std::string& message)
        : std::runtime_error(message), file_(std::move(file)), place_(place) {}
    explicit InputError(const std::string& message) : std::runtime_error(message), place_{0, 0} {}
    // A message that already is in the "FILE:LINE: error: ..." form (compiler diagnostics).
    static InputError Formatted(const std::string& lines) {
        InputError e(lines);
        e.formatted_ = true;
        return e;
    }
    // "FILE:LINE:COL: error: MESSAGE", or "error: MESSAGE" without a place.
    std::string Describe() const;

private:
    std::string file_;
    JsonPlace place_;
    bool formatted_ = false;
};

struct JsonMember;

class JsonValue {
public:
    enum class Kind { Null, Bool, Number, String, Array, Object };

    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string text;  // string value, or the number as written
    std::vector<JsonValue> items;
    std::vector<JsonMember> members;  // in file order
    JsonPlace place;

    bool IsNull() const { return kind == Kind::Null; }
    const JsonValue* Find(const std::string& key) const;
    const char* KindName() const;

    // Builders for the writer.
    static JsonValue Str(std::string s);
    static JsonValue Num(double n);
    static JsonValue Bool(bool b);
    static JsonValue Arr();
    static JsonValue Obj();
    JsonValue& Add(const std::string& key, JsonValue value);
    JsonValue& Push(JsonValue value);
};

struct JsonMember {
    std::string first;
    JsonValue second;
};

// Parses a whole document; syntax errors throw InputError with line and column.
JsonValue ParseJson(const std::string& text, const std::string& fileName);
// Pretty-printed with two-space indentation and a final newline.
std::string WriteJson(const JsonValue& value);

}  // namespace vantor::pack
