// Project file reading and the readable form of the settings record.
#include "project.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace vantor::pack {

namespace {

namespace fs = std::filesystem;

struct Named {
    const char* name;
    uint32_t value;
};

using Names = std::vector<Named>;

enum class Kind { Enum, Flags, U16, U32, Bool, Text, Name, Color, Font, File, HotKey, Hex, Time };

// One settings field in the project file: its key, its kind, and where it lives.
struct Field {
    const char* key;
    Kind kind;
    std::function<void*(CProjectSettings&)> at;
    Names names = {};
};

template <typename M>
std::function<void*(CProjectSettings&)> Member(M CProjectSettings::* member) {
    return [member](CProjectSettings& s) -> void* { return &(s.*member); };
}
std::function<void*(CProjectSettings&)> AboutText(size_t i) {
    return [i](CProjectSettings& s) -> void* { return &s.aboutTexts[i]; };
}

struct Group {
    const char* key;
    std::vector<Field> fields;
};

const std::vector<Group>& Groups() {
    static const std::vector<Group> groups = {
        {"about",
         {{"productName", Kind::Text, AboutText(0)},
          {"text1", Kind::Text, AboutText(1)},
          {"text2", Kind::Text, AboutText(2)},
          {"legalNotice", Kind::Text, AboutText(3)},
          {"text4", Kind::Text, AboutText(4)},
          {"text5", Kind::Text, AboutText(5)},
          {"version", Kind::Text, AboutText(6)}}},
        {"appearance",
         {{"windowShape", Kind::Enum, Member(&CProjectSettings::windowShape), {{"rectangle", 0}, {"transparent", 1}, {"clipShape", 2}}},
          {"borderStyle", Kind::Flags, Member(&CProjectSettings::borderStyle),
           {{"none", 0x1}, {"single", 0x10}, {"resizable", 0x100}, {"smallCaption", 0x1000}, {"hideTaskbarButton", 0x10000}}},
          {"borderIcons", Kind::Flags, Member(&CProjectSettings::borderIcons),
           {{"maximize", 0x1}, {"minimize", 0x10}, {"systemMenu", 0x100}, {"help", 0x1000}}},
          {"scaleMode", Kind::Enum, Member(&CProjectSettings::scaleMode),
           {{"unset", 0}, {"showAll", 0x1}, {"noBorder", 0x2}, {"noScale", 0x10}, {"exactFit", 0x100}}},
          {"clipShape", Kind::Name, Member(&CProjectSettings::clipShape)},
          {"caption", Kind::Name, Member(&CProjectSettings::caption)}}},
        {"sizeAndPos",
         {{"windowSize", Kind::Enum, Member(&CProjectSettings::windowSize),
           {{"movie", 0}, {"fullScreen", 1}, {"maximized", 2}, {"custom", 3}, {"percent", 4}}},
          {"width", Kind::U16, Member(&CProjectSettings::customWidth)},
          {"height", Kind::U16, Member(&CProjectSettings::customHeight)},
          {"pos", Kind::Enum, Member(&CProjectSettings::pos),
           {{"topLeft", 0}, {"topCenter", 1}, {"topRight", 2}, {"centerLeft", 3}, {"center", 4}, {"centerRight", 5},
            {"bottomLeft", 6}, {"bottomCenter", 7}, {"bottomRight", 8}, {"pixels", 9}, {"percent", 10}}},
          {"left", Kind::U16, Member(&CProjectSettings::left)},
          {"top", Kind::U16, Member(&CProjectSettings::top)},
          {"keepRatio", Kind::Bool, Member(&CProjectSettings::bKeepRatio)}}},
        {"interaction",
         {{"leftButton", Kind::Enum, Member(&CProjectSettings::lBtnClk), {{"flash", 0}, {"drag", 1}, {"ignore", 2}}},
          {"rightButton", Kind::Enum, Member(&CProjectSettings::rBtnClk), {{"flashMenu", 0}, {"contextMenu", 1}, {"ignore", 2}}},
          {"keyPress", Kind::Flags, Member(&CProjectSettings::keyPress), {{"send", 0x1}, {"ignore", 0x10}, {"disableWindowsKeys", 0x100}}},
          {"exitKeys", Kind::Flags, Member(&CProjectSettings::exitKeys), {{"esc", 0x1}, {"hotKey", 0x10}}},
          {"disable", Kind::Flags, Member(&CProjectSettings::disableFlags), {{"altTab", 0x1}, {"cursor", 0x10}, {"screenSaver", 0x100}}},
          {"hotKey", Kind::HotKey, nullptr}}},
        {"behaviour",
         {{"contextMenu", Kind::Flags, Member(&CProjectSettings::contextMenu),
           {{"configure", 0x1}, {"noScriptItems", 0x2}, {"flashPlayer", 0x10}, {"about", 0x100}, {"help", 0x1000}}},
          {"flags", Kind::Flags, Member(&CProjectSettings::behaviourFlags),
           {{"autoPlay", 0x1}, {"appIconInTray", 0x2}, {"startMinimized", 0x10}, {"alwaysOnTop", 0x100}, {"showInTray", 0x1000}}}}},
        {"extra", {{"data", Kind::Hex, Member(&CProjectSettings::group6)}}},
        {"misc",
         {{"flags", Kind::Flags, Member(&CProjectSettings::miscFlags),
           {{"useBackgroundColor", 0x1}, {"aboutAsSplash", 0x10}, {"mute", 0x100}, {"useHelpFile", 0x1000}}},
          {"backgroundColor", Kind::Color, Member(&CProjectSettings::backColor)},
          {"helpFile", Kind::File, Member(&CProjectSettings::helpFile)}}},
        {"aboutBox",
         {{"webCaption", Kind::Text, Member(&CProjectSettings::webCaption)},
          {"webAddress", Kind::Text, Member(&CProjectSettings::webAddress)},
          {"mailCaption", Kind::Text, Member(&CProjectSettings::mailCaption)},
          {"mailAddress", Kind::Text, Member(&CProjectSettings::mailAddress)},
          {"webColor", Kind::Color, Member(&CProjectSettings::webColor)},
          {"mailColor", Kind::Color, Member(&CProjectSettings::mailColor)},
          {"webFont", Kind::Font, Member(&CProjectSettings::webFont)},
          {"mailFont", Kind::Font, Member(&CProjectSettings::mailFont)},
          {"picture", Kind::Flags, Member(&CProjectSettings::pictureFlags), {{"currentMovie", 0x10}, {"file", 0x100}}},
          {"pictureFile", Kind::File, Member(&CProjectSettings::pictureFile)},
          {"unused", Kind::U32, Member(&CProjectSettings::aboutUnused)},
          {"unusedPath", Kind::Name, Member(&CProjectSettings::aboutUnusedPath)}}},
        {"reserved",
         {{"value1", Kind::U32, Member(&CProjectSettings::reserved1)},
          {"text", Kind::Text, Member(&CProjectSettings::reservedText)},
          {"value2", Kind::U32, Member(&CProjectSettings::reserved2)},
          {"time", Kind::Time, Member(&CProjectSettings::reservedTime)},
          {"value3", Kind::U32, Member(&CProjectSettings::reserved3)},
          {"path", Kind::Name, Member(&CProjectSettings::reservedPath)},
          {"value4", Kind::U16, Member(&CProjectSettings::reserved4)},
          {"value5", Kind::U16, Member(&CProjectSettings::reserved5)}}},
    };
    return groups;
}

const Names& KeyNames() {
    static const Names names = [] {
        Names n = {{"Backspace", 0x08}, {"Tab", 0x09}, {"Enter", 0x0D}, {"Pause", 0x13}, {"Esc", 0x1B},
                   {"Space", 0x20}, {"PageUp", 0x21}, {"PageDown", 0x22}, {"End", 0x23}, {"Home", 0x24},
                   {"Left", 0x25}, {"Up", 0x26}, {"Right", 0x27}, {"Down", 0x28}, {"Insert", 0x2D}, {"Delete", 0x2E}};
        static const char* letters[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};
        for (uint32_t i = 0; i < 10; ++i) n.push_back({letters[i], 0x30 + i});
        static const char* alpha[] = {"A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K", "L", "M",
                                      "N", "O", "P", "Q", "R", "S", "T", "U", "V", "W", "X", "Y", "Z"};
        for (uint32_t i = 0; i < 26; ++i) n.push_back({alpha[i], 0x41 + i});
        static const char* pad[] = {"Num0", "Num1", "Num2", "Num3", "Num4", "Num5", "Num6", "Num7", "Num8", "Num9"};
        for (uint32_t i = 0; i < 10; ++i) n.push_back({pad[i], 0x60 + i});
        static const char* fkeys[] = {"F1",  "F2",  "F3",  "F4",  "F5",  "F6",  "F7",  "F8",  "F9",  "F10", "F11", "F12",
                                      "F13", "F14", "F15", "F16", "F17", "F18", "F19", "F20", "F21", "F22", "F23", "F24"};
        for (uint32_t i = 0; i < 24; ++i) n.push_back({fkeys[i], 0x70 + i});
        return n;
    }();
    return names;
}

constexpr Named kModifiers[] = {{"Shift", 0x1}, {"Ctrl", 0x2}, {"Alt", 0x4}, {"Ext", 0x8}};

bool SameNoCase(const std::string& a, const char* b) {
    size_t n = std::char_traits<char>::length(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

std::string Allowed(const Names& names) {
    std::string out;
    for (const Named& n : names) out += (out.empty() ? "" : ", ") + std::string(n.name);
    return out;
}

// Reading with complaints that point into the file.
class Reader {
public:
    Reader(std::string file) : file_(std::move(file)) {}

    [[noreturn]] void Fail(const JsonValue& at, const std::string& message) const { throw InputError(file_, at.place, message); }

    void Expect(const JsonValue& v, JsonValue::Kind kind, const std::string& what) const {
        if (v.kind != kind) {
            JsonValue probe;
            probe.kind = kind;
            Fail(v, what + " must be " + probe.KindName() + ", not " + v.KindName());
        }
    }

    void OnlyKeys(const JsonValue& object, const std::vector<std::string>& keys, const std::string& where) const {
        for (const auto& [key, value] : object.members) {
            bool known = false;
            for (const std::string& k : keys) known = known || k == key;
            if (!known) {
                std::string list;
                for (const std::string& k : keys) list += (list.empty() ? "" : ", ") + k;
                Fail(value, "unknown key \"" + key + "\" in " + where + " (allowed: " + list + ")");
            }
        }
    }

    std::string String(const JsonValue& v, const std::string& what) const {
        Expect(v, JsonValue::Kind::String, what);
        return v.text;
    }

    uint64_t Unsigned(const JsonValue& v, const std::string& what, uint64_t max) const {
        Expect(v, JsonValue::Kind::Number, what);
        if (v.number < 0 || v.number > double(max) || v.number != double(uint64_t(v.number)))
            Fail(v, what + " must be a whole number from 0 to " + std::to_string(max));
        return uint64_t(v.number);
    }

    int64_t Signed(const JsonValue& v, const std::string& what) const {
        Expect(v, JsonValue::Kind::Number, what);
        if (v.number < -2147483648.0 || v.number > 2147483647.0 || v.number != double(int64_t(v.number)))
            Fail(v, what + " must be a whole 32-bit number");
        return int64_t(v.number);
    }

    bool Boolean(const JsonValue& v, const std::string& what) const {
        Expect(v, JsonValue::Kind::Bool, what);
        return v.boolean;
    }

    std::string Path(const JsonValue& v, const std::string& what) const {
        std::string text = String(v, what);
        if (text.empty()) return {};
        for (char& c : text)
            if (c == '\\') c = '/';
        fs::path p(text);
        if (p.is_relative()) p = fs::path(file_).parent_path() / p;
        return p.lexically_normal().string();
    }

    uint32_t EnumValue(const JsonValue& v, const std::string& what, const Names& names) const {
        if (v.kind == JsonValue::Kind::Number) return uint32_t(Unsigned(v, what, UINT32_MAX));
        std::string text = String(v, what);
        for (const Named& n : names)
            if (text == n.name) return n.value;
        Fail(v, "bad value \"" + text + "\" for " + what + " (allowed: " + Allowed(names) + ")");
    }

    uint32_t FlagsValue(const JsonValue& v, const std::string& what, const Names& names) const {
        Expect(v, JsonValue::Kind::Array, what);
        uint32_t bits = 0;
        for (const JsonValue& item : v.items) bits |= EnumValue(item, what, names);
        return bits;
    }

    const std::string& File() const { return file_; }

private:
    std::string file_;
};

void ReadFont(const Reader& r, const JsonValue& v, CLogFont& font, const std::string& what) {
    r.Expect(v, JsonValue::Kind::Object, what);
    r.OnlyKeys(v,
               {"face", "height", "width", "escapement", "orientation", "weight", "italic", "underline", "strikeOut",
                "charSet", "outPrecision", "clipPrecision", "quality", "pitchAndFamily"},
               what);
    for (const auto& [key, value] : v.members) {
        std::string name = what + "." + key;
        if (key == "face") font.faceName = r.String(value, name);
        int32_t* ints[] = {&font.height, &font.width, &font.escapement, &font.orientation, &font.weight};
        const char* intKeys[] = {"height", "width", "escapement", "orientation", "weight"};
        for (int i = 0; i < 5; ++i)
            if (key == intKeys[i]) *ints[i] = int32_t(r.Signed(value, name));
        uint8_t* bytes[] = {&font.italic, &font.underline, &font.strikeOut, &font.charSet,
                            &font.outPrecision, &font.clipPrecision, &font.quality, &font.pitchAndFamily};
        const char* byteKeys[] = {"italic", "underline", "strikeOut", "charSet", "outPrecision", "clipPrecision", "quality",
                                  "pitchAndFamily"};
        for (int i = 0; i < 8; ++i)
            if (key == byteKeys[i])
                *bytes[i] = value.kind == JsonValue::Kind::Bool ? uint8_t(value.boolean) : uint8_t(r.Unsigned(value, name, 255));
    }
}

void ReadSettingsJson(const Reader& r, const JsonValue& root, CProjectSettings& s) {
    r.Expect(root, JsonValue::Kind::Object, "settings");
    std::vector<std::string> groupKeys;
    for (const Group& g : Groups()) groupKeys.push_back(g.key);
    r.OnlyKeys(root, groupKeys, "settings");
    for (const Group& g : Groups()) {
        const JsonValue* group = root.Find(g.key);
        if (!group) continue;
        std::string where = std::string("settings.") + g.key;
        r.Expect(*group, JsonValue::Kind::Object, where);
        std::vector<std::string> keys;
        for (const Field& f : g.fields) keys.push_back(f.key);
        r.OnlyKeys(*group, keys, where);
        for (const Field& f : g.fields) {
            const JsonValue* v = group->Find(f.key);
            if (!v) continue;
            std::string what = where + "." + f.key;
            void* at = f.at ? f.at(s) : nullptr;
            switch (f.kind) {
                case Kind::Enum: *static_cast<uint32_t*>(at) = r.EnumValue(*v, what, f.names); break;
                case Kind::Flags: *static_cast<uint32_t*>(at) = r.FlagsValue(*v, what, f.names); break;
                case Kind::U16: *static_cast<uint16_t*>(at) = uint16_t(r.Unsigned(*v, what, 65535)); break;
                case Kind::U32: *static_cast<uint32_t*>(at) = uint32_t(r.Unsigned(*v, what, UINT32_MAX)); break;
                case Kind::Bool: *static_cast<uint32_t*>(at) = r.Boolean(*v, what) ? 1 : 0; break;
                case Kind::Text:
                    if (v->IsNull()) static_cast<Text*>(at)->reset();
                    else *static_cast<Text*>(at) = r.String(*v, what);
                    break;
                case Kind::Name: *static_cast<std::string*>(at) = r.String(*v, what); break;
                case Kind::Color:
                    if (!ParseColor(r.String(*v, what), *static_cast<uint32_t*>(at)))
                        r.Fail(*v, what + " must be a colour written #RRGGBB");
                    break;
                case Kind::Font: ReadFont(r, *v, *static_cast<CLogFont*>(at), what); break;
                case Kind::File: {
                    std::string path = v->IsNull() ? std::string() : r.Path(*v, what);
                    if (!path.empty() && !fs::is_regular_file(path)) r.Fail(*v, what + ": missing input file " + path);
                    *static_cast<std::string*>(at) = path;
                    break;
                }
                case Kind::HotKey:
                    if (v->IsNull()) {
                        s.hotKeyCode = s.hotKeyModifiers = 0;
                    } else if (!ParseHotKey(r.String(*v, what), s.hotKeyCode, s.hotKeyModifiers)) {
                        std::string keys;
                        for (const Named& n : KeyNames()) keys += (keys.empty() ? "" : ", ") + std::string(n.name);
                        r.Fail(*v, "bad hot key \"" + v->text + "\" for " + what +
                                       " (modifiers Shift, Ctrl, Alt, Ext joined by '+', then one key: " + keys + ")");
                    }
                    break;
                case Kind::Hex: {
                    std::string text = r.String(*v, what);
                    std::vector<uint8_t> bytes;
                    if (text.size() % 2) r.Fail(*v, what + " must be an even number of hexadecimal digits");
                    for (size_t i = 0; i < text.size(); i += 2) {
                        unsigned byte;
                        if (!std::isxdigit(static_cast<unsigned char>(text[i])) || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
                            std::sscanf(text.substr(i, 2).c_str(), "%2x", &byte) != 1)
                            r.Fail(*v, what + " must be hexadecimal digits");
                        bytes.push_back(uint8_t(byte));
                    }
                    *static_cast<std::vector<uint8_t>*>(at) = bytes;
                    break;
                }
                case Kind::Time: {
                    r.Expect(*v, JsonValue::Kind::Array, what);
                    if (v->items.size() != 8) r.Fail(*v, what + " must hold eight numbers");
                    auto& fields = static_cast<CSystemTime*>(at)->fields;
                    for (size_t i = 0; i < 8; ++i) fields[i] = uint16_t(r.Unsigned(v->items[i], what, 65535));
                    break;
                }
            }
        }
    }
}

JsonValue FlagsJson(uint32_t bits, const Names& names) {
    JsonValue arr = JsonValue::Arr();
    for (const Named& n : names)
        if (n.value && (bits & n.value) == n.value) arr.Push(JsonValue::Str(n.name)), bits &= ~n.value;
    if (bits) arr.Push(JsonValue::Num(bits));
    return arr;
}

JsonValue EnumJson(uint32_t value, const Names& names) {
    for (const Named& n : names)
        if (n.value == value) return JsonValue::Str(n.name);
    return JsonValue::Num(value);
}

JsonValue FontJson(const CLogFont& f) {
    JsonValue o = JsonValue::Obj();
    o.Add("face", JsonValue::Str(f.faceName));
    o.Add("height", JsonValue::Num(f.height)).Add("width", JsonValue::Num(f.width));
    o.Add("escapement", JsonValue::Num(f.escapement)).Add("orientation", JsonValue::Num(f.orientation));
    o.Add("weight", JsonValue::Num(f.weight));
    o.Add("italic", JsonValue::Num(f.italic)).Add("underline", JsonValue::Num(f.underline));
    o.Add("strikeOut", JsonValue::Num(f.strikeOut)).Add("charSet", JsonValue::Num(f.charSet));
    o.Add("outPrecision", JsonValue::Num(f.outPrecision)).Add("clipPrecision", JsonValue::Num(f.clipPrecision));
    o.Add("quality", JsonValue::Num(f.quality)).Add("pitchAndFamily", JsonValue::Num(f.pitchAndFamily));
    return o;
}

}  // namespace

std::string HotKeyText(uint16_t code, uint16_t modifiers) {
    if (code == 0 && modifiers == 0) return {};
    std::string out;
    for (const Named& m : kModifiers)
        if (modifiers & m.value) out += std::string(m.name) + "+";
    uint8_t key = uint8_t(code);
    for (const Named& n : KeyNames())
        if (n.value == key) return out + n.name;
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", key);
    return out + buf;
}

bool ParseHotKey(const std::string& text, uint16_t& code, uint16_t& modifiers) {
    uint16_t mods = 0;
    size_t start = 0;
    for (;;) {
        size_t plus = text.find('+', start);
        std::string part = text.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
        if (plus == std::string::npos || plus + 1 == text.size()) {
            if (plus != std::string::npos) part = "+";
            for (const Named& n : KeyNames())
                if (SameNoCase(part, n.name)) return code = uint16_t(n.value), modifiers = mods, true;
            unsigned value;
            char tail;
            if (part.size() > 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X') &&
                std::sscanf(part.c_str() + 2, "%x%c", &value, &tail) == 1 && value > 0 && value < 256)
                return code = uint16_t(value), modifiers = mods, true;
            return false;
        }
        bool found = false;
        for (const Named& m : kModifiers)
            if (SameNoCase(part, m.name)) mods |= uint16_t(m.value), found = true;
        if (!found) return false;
        start = plus + 1;
    }
}

std::string ColorText(uint32_t c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "#%02X%02X%02X", c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
    return buf;
}

bool ParseColor(const std::string& text, uint32_t& colorref) {
    if (text.size() != 7 || text[0] != '#') return false;
    for (size_t i = 1; i < 7; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    unsigned rgb = unsigned(std::stoul(text.substr(1), nullptr, 16));
    colorref = ((rgb >> 16) & 0xFF) | (rgb & 0xFF00) | ((rgb & 0xFF) << 16);
    return true;
}

JsonValue SettingsToJson(const CProjectSettings& settings, const std::string& helpFile, const std::string& pictureFile) {
    CProjectSettings s = settings;
    JsonValue root = JsonValue::Obj();
    for (const Group& g : Groups()) {
        JsonValue group = JsonValue::Obj();
        for (const Field& f : g.fields) {
            void* at = f.at ? f.at(s) : nullptr;
            JsonValue v;
            switch (f.kind) {
                case Kind::Enum: v = EnumJson(*static_cast<uint32_t*>(at), f.names); break;
                case Kind::Flags: v = FlagsJson(*static_cast<uint32_t*>(at), f.names); break;
                case Kind::U16: v = JsonValue::Num(*static_cast<uint16_t*>(at)); break;
                case Kind::U32: v = JsonValue::Num(*static_cast<uint32_t*>(at)); break;
                case Kind::Bool: {
                    uint32_t b = *static_cast<uint32_t*>(at);
                    v = b > 1 ? JsonValue::Num(b) : JsonValue::Bool(b != 0);
                    break;
                }
                case Kind::Text: {
                    const Text& t = *static_cast<Text*>(at);
                    if (t) v = JsonValue::Str(*t);
                    break;
                }
                case Kind::Name: v = JsonValue::Str(*static_cast<std::string*>(at)); break;
                case Kind::Color: v = JsonValue::Str(ColorText(*static_cast<uint32_t*>(at))); break;
                case Kind::Font: v = FontJson(*static_cast<CLogFont*>(at)); break;
                case Kind::File: {
                    const std::string& name = static_cast<std::string*>(at) == &s.helpFile ? helpFile : pictureFile;
                    if (!name.empty()) v = JsonValue::Str(name);
                    break;
                }
                case Kind::HotKey: {
                    std::string text = HotKeyText(s.hotKeyCode, s.hotKeyModifiers);
                    if (!text.empty()) v = JsonValue::Str(text);
                    break;
                }
                case Kind::Hex: {
                    std::string hex;
                    char buf[3];
                    for (uint8_t b : *static_cast<std::vector<uint8_t>*>(at)) std::snprintf(buf, sizeof buf, "%02x", b), hex += buf;
                    v = JsonValue::Str(hex);
                    break;
                }
                case Kind::Time: {
                    v = JsonValue::Arr();
                    for (uint16_t x : static_cast<CSystemTime*>(at)->fields) v.Push(JsonValue::Num(x));
                    break;
                }
            }
            group.Add(f.key, v);
        }
        root.Add(g.key, group);
    }
    return root;
}

Project ProjectFromJson(const JsonValue& root, const std::string& path) {
    Reader r(path);
    Project p;
    p.path = path;
    r.Expect(root, JsonValue::Kind::Object, "the project");
    r.OnlyKeys(root,
               {"stub", "registryKey", "buildStamp", "compression", "flashPlayer", "background", "movies", "clipShapes",
                "scripts", "support", "extraFiles", "settings"},
               "the project");
    for (const auto& [key, v] : root.members) {
        if (key == "stub") p.stub = r.Path(v, key);
        else if (key == "registryKey") p.registryKey = r.String(v, key);
        else if (key == "compression") p.compression = int(r.Unsigned(v, key, 9));
        else if (key == "flashPlayer") p.flashPlayer = v.IsNull() ? "" : r.Path(v, key);
        else if (key == "background") p.background = v.IsNull() ? "" : r.Path(v, key);
        else if (key == "extraFiles") p.extraFiles = v.IsNull() ? "" : r.Path(v, key);
        else if (key == "settings") ReadSettingsJson(r, v, p.settings);
        else if (key == "buildStamp") {
            std::string text = r.String(v, key);
            if (text != "auto") {
                std::array<uint8_t, 16> stamp{};
                bool ok = text.size() == 32;
                for (size_t i = 0; ok && i < 16; ++i) {
                    unsigned b = 0;
                    ok = std::isxdigit(static_cast<unsigned char>(text[2 * i])) && std::isxdigit(static_cast<unsigned char>(text[2 * i + 1])) &&
                         std::sscanf(text.substr(2 * i, 2).c_str(), "%2x", &b) == 1;
                    stamp[i] = uint8_t(b);
                }
                if (!ok) r.Fail(v, "buildStamp must be \"auto\" or 32 hexadecimal digits");
                p.buildStamp = stamp;
            }
        } else if (key == "movies") {
            r.Expect(v, JsonValue::Kind::Object, key);
            r.OnlyKeys(v, {"embed", "randomFirst", "files"}, "movies");
            if (const JsonValue* e = v.Find("embed")) p.embedMovies = r.Boolean(*e, "movies.embed");
            if (const JsonValue* e = v.Find("randomFirst")) p.randomFirstMovie = r.Boolean(*e, "movies.randomFirst");
            if (const JsonValue* files = v.Find("files")) {
                r.Expect(*files, JsonValue::Kind::Array, "movies.files");
                for (const JsonValue& item : files->items) {
                    MovieItem m;
                    if (item.kind == JsonValue::Kind::String) {
                        m.file = r.Path(item, "movies.files[]");
                    } else {
                        r.Expect(item, JsonValue::Kind::Object, "movies.files[]");
                        r.OnlyKeys(item, {"file", "name", "kind"}, "a movie entry");
                        const JsonValue* file = item.Find("file");
                        if (!file) r.Fail(item, "a movie entry needs \"file\"");
                        m.file = r.Path(*file, "file");
                        if (const JsonValue* n = item.Find("name")) m.name = r.String(*n, "name");
                        if (const JsonValue* k = item.Find("kind")) m.kind = r.EnumValue(*k, "kind", {{"movie", 1}, {"attachment", 2}});
                    }
                    if (m.name.empty()) m.name = fs::path(m.file).filename().string();
                    if (p.embedMovies && !fs::is_regular_file(m.file)) r.Fail(item, "missing input file " + m.file);
                    p.movies.push_back(m);
                }
            }
        } else if (key == "clipShapes") {
            r.Expect(v, JsonValue::Kind::Array, key);
            for (const JsonValue& item : v.items) {
                r.Expect(item, JsonValue::Kind::Object, "clipShapes[]");
                r.OnlyKeys(item, {"name", "mask", "invert"}, "a clip shape");
                const JsonValue* name = item.Find("name");
                const JsonValue* mask = item.Find("mask");
                if (!name || !mask) r.Fail(item, "a clip shape needs \"name\" and \"mask\"");
                ClipShapeItem c{r.String(*name, "name"), r.Path(*mask, "mask"), false};
                if (const JsonValue* inv = item.Find("invert")) c.invert = r.Boolean(*inv, "invert");
                if (!fs::is_regular_file(c.mask)) r.Fail(*mask, "missing input file " + c.mask);
                p.clipShapes.push_back(c);
            }
        } else if (key == "scripts" || key == "support") {
            r.Expect(v, JsonValue::Kind::Array, key);
            for (const JsonValue& item : v.items) {
                r.Expect(item, JsonValue::Kind::Object, key + "[]");
                r.OnlyKeys(item, {"name", "file"}, key + " entry");
                const JsonValue* file = item.Find("file");
                if (!file) r.Fail(item, key + " entries need \"file\"");
                NamedFile f{"", r.Path(*file, "file")};
                if (const JsonValue* n = item.Find("name")) f.name = r.String(*n, "name");
                if (f.name.empty()) f.name = fs::path(f.file).stem().string();
                if (!fs::is_regular_file(f.file)) r.Fail(*file, "missing input file " + f.file);
                (key == "scripts" ? p.scripts : p.support).push_back(f);
            }
        }
    }
    if (!p.background.empty() && !fs::is_regular_file(p.background)) r.Fail(*root.Find("background"), "missing input file " + p.background);
    if (p.flashPlayer && !p.flashPlayer->empty() && !fs::is_regular_file(*p.flashPlayer))
        r.Fail(*root.Find("flashPlayer"), "missing input file " + *p.flashPlayer);
    if (!p.extraFiles.empty() && !fs::is_directory(p.extraFiles)) r.Fail(*root.Find("extraFiles"), "missing folder " + p.extraFiles);
    return p;
}

Project ReadProject(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError("cannot open the project file " + path);
    std::stringstream text;
    text << in.rdbuf();
    return ProjectFromJson(ParseJson(text.str(), path), path);
}

}  // namespace vantor::pack
