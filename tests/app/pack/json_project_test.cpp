// Project files: JSON syntax errors with their place, schema complaints with the allowed
// names, and the readable settings form round-tripping every field.
#include <gtest/gtest.h>

#include "json.h"
#include "project.h"

using namespace vantor;
using namespace vantor::pack;

namespace {

std::string ErrorOf(const std::string& text) {
    try {
        ProjectFromJson(ParseJson(text, "p.json"), "p.json");
    } catch (const InputError& e) {
        return e.Describe();
    }
    return "no error";
}

}  // namespace

TEST(PackJson, SyntaxErrorsPointAtLineAndColumn) {
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"{\n  \"a\": 1,\n}", "p.json:3:1: error: a member name in double quotes was expected"},
        {"[1, 2\n", "p.json:2:1: error: ',' or ']' was expected"},
        {"{\"a\": \"x\n\"}", "p.json:1:9: error: line break inside a string"},
        {"{\"a\": 1} x", "p.json:1:10: error: unexpected text after the end of the document"},
        {"{\"a\":1,\n \"a\":2}", "p.json:2:2: error: duplicate key \"a\""},
        {"{\"a\": tru}", "p.json:1:7: error: unexpected character 't'"},
        {"{\"a\": 01}", "p.json:1:8: error: ',' or '}' was expected"},
        {"{\"a\": \"\\q\"}", "p.json:1:9: error: unknown escape '\\q'"},
        {"", "p.json:1:1: error: unexpected end of file, a value was expected"},
    };
    for (const Case& c : cases) EXPECT_EQ(ErrorOf(c.text), c.expected) << c.text;
}

TEST(PackJson, ValuesAndEscapes) {
    JsonValue v = ParseJson(R"({"s": "\u00e9\ud83d\ude00\n\"", "n": -1.5e2, "a": [true, false, null], "o": {}})", "x");
    EXPECT_EQ(v.Find("s")->text, "\xC3\xA9\xF0\x9F\x98\x80\n\"");
    EXPECT_EQ(v.Find("n")->number, -150);
    ASSERT_EQ(v.Find("a")->items.size(), 3u);
    EXPECT_TRUE(v.Find("a")->items[0].boolean);
    EXPECT_TRUE(v.Find("a")->items[2].IsNull());
    // The writer's output reads back to the same document.
    EXPECT_EQ(WriteJson(ParseJson(WriteJson(v), "y")), WriteJson(v));
}

TEST(PackProject, SchemaComplaintsNameTheAllowedValues) {
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {R"({"setings": {}})", "p.json:1:13: error: unknown key \"setings\" in the project (allowed: stub, registryKey,"},
        {R"({"settings": {"appearance": {"shape": 1}}})",
         "p.json:1:39: error: unknown key \"shape\" in settings.appearance (allowed: windowShape, borderStyle, borderIcons, "
         "scaleMode, clipShape, caption)"},
        {R"({"settings": {"appearance": {"windowShape": "round"}}})",
         "p.json:1:45: error: bad value \"round\" for settings.appearance.windowShape (allowed: rectangle, transparent, "
         "clipShape)"},
        {R"({"settings": {"misc": {"backgroundColor": "red"}}})",
         "p.json:1:43: error: settings.misc.backgroundColor must be a colour written #RRGGBB"},
        {R"({"settings": {"sizeAndPos": {"width": 70000}}})",
         "p.json:1:39: error: settings.sizeAndPos.width must be a whole number from 0 to 65535"},
        {R"({"settings": {"interaction": {"hotKey": "Ctrl+Hyper+Q"}}})", "p.json:1:41: error: bad hot key \"Ctrl+Hyper+Q\""},
        {R"({"movies": {"files": ["no-such-movie.swf"]}})", "p.json:1:23: error: missing input file "},
        {R"({"settings": {"misc": {"helpFile": "no-such.chm"}}})", "p.json:1:36: error: settings.misc.helpFile: missing input file"},
        {R"({"compression": 12})", "p.json:1:17: error: compression must be a whole number from 0 to 9"},
        {R"({"settings": {"about": {"version": 2}}})", "p.json:1:36: error: settings.about.version must be a string, not a number"},
    };
    for (const Case& c : cases) {
        std::string error = ErrorOf(c.text);
        EXPECT_EQ(error.substr(0, std::string(c.expected).size()), c.expected) << c.text << "\n" << error;
    }
}

TEST(PackProject, HotKeysAndColours) {
    struct Key {
        const char* text;
        uint16_t code, modifiers;
    } keys[] = {{"Ctrl+Alt+Q", 'Q', 0x6}, {"shift+f12", 0x7B, 0x1}, {"Esc", 0x1B, 0}, {"Ctrl+0x5D", 0x5D, 0x2},
                {"Alt+Ext+Num5", 0x65, 0xC}, {"Ctrl++", 0, 0}};
    for (const Key& k : keys) {
        uint16_t code = 0, mods = 0;
        bool ok = ParseHotKey(k.text, code, mods);
        EXPECT_EQ(ok, k.code != 0) << k.text;
        if (!ok) continue;
        EXPECT_EQ(code, k.code) << k.text;
        EXPECT_EQ(mods, k.modifiers) << k.text;
        uint16_t code2 = 0, mods2 = 0;
        ASSERT_TRUE(ParseHotKey(HotKeyText(code, mods), code2, mods2)) << HotKeyText(code, mods);
        EXPECT_EQ(code2, code);
        EXPECT_EQ(mods2, mods);
    }
    uint32_t c = 0;
    ASSERT_TRUE(ParseColor("#102030", c));
    EXPECT_EQ(c, 0x00302010u);
    EXPECT_EQ(ColorText(c), "#102030");
    EXPECT_FALSE(ParseColor("102030", c));
    EXPECT_FALSE(ParseColor("#10203G", c));
}

TEST(PackProject, EverySettingsFieldRoundTripsThroughTheReadableForm) {
    CProjectSettings s;
    for (size_t i = 0; i < s.aboutTexts.size(); ++i)
        if (i % 3) s.aboutTexts[i] = "text " + std::to_string(i);
    s.windowShape = 1, s.borderStyle = 0x10110, s.borderIcons = 0x1111, s.scaleMode = 0x100;
    s.clipShape = "star", s.caption = "Caption";
    s.windowSize = 3, s.customWidth = 800, s.customHeight = 600, s.pos = 9, s.left = 65535, s.top = 3, s.bKeepRatio = 1;
    s.lBtnClk = 2, s.rBtnClk = 1, s.keyPress = 0x110, s.exitKeys = 0x11, s.disableFlags = 0x111;
    s.hotKeyCode = 0x70, s.hotKeyModifiers = 0x3;
    s.contextMenu = 0x1113, s.behaviourFlags = 0x1113;
    s.group6 = {0, 1, 0xFE, 0xFF};
    s.miscFlags = 0x1111, s.backColor = 0x00ABCDEF;
    s.webCaption = "w", s.webAddress = "", s.mailAddress = "m@example.invalid";
    s.webColor = 0x123456, s.mailColor = 0x654321;
    s.webFont = {-13, 2, 3, 4, 700, 1, 1, 1, 204, 1, 2, 3, 34, "Arial"};
    s.pictureFlags = 0x110, s.aboutUnused = 9, s.aboutUnusedPath = "p";
    s.reserved1 = 1, s.reservedText = "r", s.reserved2 = 2, s.reservedTime.fields = {1, 2, 3, 4, 5, 6, 7, 8};
    s.reserved3 = 3, s.reservedPath = "rp", s.reserved4 = 4, s.reserved5 = 5;
    // Values outside the named ones survive as numbers.
    s.lBtnClk = 7, s.borderStyle |= 0x20000000;

    JsonValue project = JsonValue::Obj();
    project.Add("settings", SettingsToJson(s, "", ""));
    std::string text = WriteJson(project);
    Project back = ProjectFromJson(ParseJson(text, "p.json"), "p.json");
    EXPECT_EQ(back.settings, s) << text;
}
