// Parser: grammar, automatic semicolons and every syntax diagnostic with its line.
#include <gtest/gtest.h>

#include "compiler/compiler_internal.h"
#include "test_util.h"

namespace nerva {
namespace {

using test::Code;
using test::Messages;

constexpr uint32_t kWarnSemicolon = 0x100000;

std::string E(int line, const char* text) { return "error: line " + std::to_string(line) + ": " + text + "\r\n"; }
std::string S(int line, const char* text) { return E(line, (std::string("syntax error: ") + text).c_str()); }

TEST(Parser, SyntaxErrors) {
    struct Case {
        const char* source;
        std::string messages;
    } cases[] = {
        {"x = ;", S(0, "invalid expression")},
        {"a = 1 b = 2", E(0, "missing ;")},
        {"var f = function () {}", S(0, "invalid variable initialization")},
        {"var ;", S(0, "missing variable name")},
        {"var a,\n5;", S(1, "illegal identifier")},
        {"if x", S(0, "missing ( before condition")},
        {"if ()", S(0, "invalid condition expression")},
        {"if (x;", S(0, "missing ) after condition")},
        {"if (x) else", S(0, "invalid statement")},
        {"do x; until", S(0, "missing while after do-loop body")},
        {"for x", S(0, "missing ( after for")},
        {"for (var ;;) x;", S(0, "missing variable name")},
        {"for (a.b in o) x;", S(0, "illegal identifier")},
        {"for (var a, b in o) x;", S(0, "more than one variable declaration")},
        {"for (x in ) y;", S(0, "invalid expression")},
        {"for (x ) y;", S(0, "missing ; after for-loop initializer")},
        {"for (;x y) z;", S(0, "missing ; after for-loop condition")},
        {"for (;; x y) z;", S(0, "missing ) after for-loop control")},
        {"for (;;) )", S(0, "invalid statement")},
        {"for (, ;;) x;", S(0, "invalid for-loop initializer or for-in expression")},
        {"{ x;\n", S(0, "missing } after block")},
        {"L\n: x", S(0, "invalid statement")},
        {"L: )", S(0, "invalid label")},
        {"function f() { return }", S(0, "invalid return")},
        {"throw ;", S(0, "invalid throw")},
        {"switch x", S(0, "missing ( before switch expression")},
        {"switch () {}", S(0, "invalid switch expression")},
        {"switch (x {}", S(0, "missing ) after switch expression")},
        {"switch (x) x", S(0, "missing { before switch body")},
        {"switch (x) { case : }", S(0, "invalid case expression")},
        {"switch (x) { case 1\n x }", S(1, "missing : after case label")},
        {"switch (x) {\n x }", S(1, "missing } after switch block")},
        {"switch (x) { default: ; default: ; }", E(0, "more than one switch default")},
        {"with x", S(0, "missing ( before with-statement object")},
        {"with () x;", S(0, "invalid with-statement object")},
        {"with (x y", S(0, "missing ) after with-statement object")},
        {"with (x) )", S(0, "invalid with block")},
        {"try {}\nx;", S(1, "missing catch or finally after try")},
        {"try {} catch e", S(0, "missing ( before catch")},
        {"try {} catch (\n1) {}", S(1, "missing identifier in catch")},
        {"try {} catch (e x) {}", S(0, "missing ) after catch")},
        {"try {} catch (e if) {}", S(0, "invalid statement")},
        {"function (", S(0, "illegal identifier")},
        {"function f a", S(0, "missing ( before formal parameters")},
        {"function f(a,\n1) {}", S(1, "illegal identifier")},
        {"function f(a b) {}", S(0, "missing ) after formal parameters")},
        {"function f() x", S(0, "invalid function body")},
        {"x = a ? b c;", S(0, "missing : in conditional expression")},
        {"x = a[1;", S(0, "missing ] in index expression")},
        {"x = a.default;", S(0, "illegal identifier")},
        {"x = [1 2];", S(0, "missing ] after element list")},
        {"x = ({a 1});", S(0, "missing : after property id")},
        {"x = ({default: 1});", S(0, "invalid property id")},
        {"x = ({a: 1\n b: 2});", S(1, "missing } after property list")},
        {"f(1\n 2);", S(1, "missing ) after argument list")},
        {"x = (1;", S(0, "invalid expression")},
        {"x = !;", S(0, "invalid expression")},
        {"x = 1 +\n\n;", S(0, "invalid expression")},
        {"class A {}", S(0, "invalid statement")},
        {"break;", E(0, "invalid break")},
        {"while (x) { continue L; }", E(0, "invalid continue")},
        {"L: { continue L; }", E(0, "invalid continue")},
        {"\n\nL: while (1) { break M; }", E(2, "invalid break")},
    };
    for (const Case& c : cases) EXPECT_EQ(Messages(c.source), c.messages) << c.source;
}

TEST(Parser, AcceptedForms) {
    const char* sources[] = {
        "",
        "a = 1\nb = 2",
        "return\nx",
        "x\n++y",
        "L: for (;;) { break L; }",
        "f = function () {}",
        "try { } catch (e if e == 1) { } catch (e) { }",
        "x = ({a: 1, \"b\": 2, 3: 4,});",
        "x = [1,,2,];",
        "for (var i = 0, j = 1; i < j; i++) ;",
        "for (var k = 1 in o) ;",
        "for (k in o) ;",
        "switch (x) { }",
        "do x++; while (x < 3)",
        "with (o) { x = 1; }",
        "x = /a\\/b/g;",
        "x = new A;",
        "x = new a.B(1)(2).c;",
        "function f(a, arguments) { return arguments; }",
        "x = typeof void delete a.b;",
        "x = - - 1;",
        "x = a ? b = 1 : c;",
    };
    for (const char* s : sources) EXPECT_EQ(Messages(s), "") << s;
}

TEST(Parser, InsertedSemicolonsWarnWithTheOption) {
    EXPECT_EQ(Messages("a = 1\nb = 2", kWarnSemicolon), "warning: line 0: missing ;\r\nwarning: line 1: missing ;\r\n");
    EXPECT_EQ(Messages("function f() {\n return\n }", kWarnSemicolon), "warning: line 1: missing ;\r\n");
    EXPECT_EQ(Messages("x;\n++y;", kWarnSemicolon), "");
    EXPECT_EQ(Messages("x\n++y;", kWarnSemicolon), "warning: line 1: missing ;\r\nwarning: line 0: missing ;\r\n");
}

// The function list and hidden names, seen through the compiled image's function table.
TEST(Parser, FunctionListOrderAndHiddenNames) {
    std::string code = Code("function outer() { function inner() {} }");
    EXPECT_EQ(code.find("function @F_0"), 0u) << code;
    EXPECT_NE(code.find("function outer"), std::string::npos);
    EXPECT_NE(code.find("LOADGLOBAL @F_0\nLOADGLOBAL outer\nSETMEMBER inner"), std::string::npos) << code;
    EXPECT_EQ(code.find(".main"), std::string::npos);

    code = Code("a = function () {}; b = function () {};");
    EXPECT_EQ(code.find("function @F_0"), 0u) << code;
    EXPECT_NE(code.find("function @F_1"), std::string::npos) << code;
}

TEST(Parser, ArgumentsFlagOnlyWhenMentioned) {
    EXPECT_EQ(Code("function f() { return 1; }").find("LOADARGDYN"), std::string::npos);
    EXPECT_NE(Code("function f() { return arguments.length; }").find("LOADARGDYN"), std::string::npos);
    EXPECT_NE(Code("function f() { return x.arguments; }").find("LOADARGDYN"), std::string::npos);
    // A nested function's use marks the enclosing one too.
    std::string code = Code("function f() { function g() { return arguments; } }");
    EXPECT_EQ(code.find("LOADGLOBAL f\nLOADVAR 0\nSETMEMBER callee"), code.rfind("LOADGLOBAL f\nLOADVAR 0\nSETMEMBER callee"));
    EXPECT_NE(code.find("LOADGLOBAL f\nLOADVAR 0\nSETMEMBER callee"), std::string::npos) << code;
}

}  // namespace
}  // namespace nerva

namespace nerva {
namespace {

// Deep nesting ends in a diagnostic, never in a stack overflow.
TEST(Parser, DeepNestingIsAnError) {
    std::string parens = "x = " + std::string(100000, '(') + "1" + std::string(100000, ')') + ";";
    EXPECT_EQ(test::Messages(parens), "error: line 0: syntax error: nesting too deep\r\n");
    std::string blocks = std::string(100000, '{') + std::string(100000, '}');
    EXPECT_EQ(test::Messages(blocks), "error: line 0: syntax error: nesting too deep\r\n");
    std::string unary = "x = " + std::string(100000, '!') + "a;";
    EXPECT_EQ(test::Messages(unary), "error: line 0: syntax error: nesting too deep\r\n");
    std::string chain = "x = a";
    for (int i = 0; i < 100000; ++i) chain += "+a";
    EXPECT_EQ(test::Messages(chain + ";"), "error: line 0: expression too complex\r\n");
    // Realistic depths still compile.
    std::string elseIfs = "if (a) x = 0;";
    for (int i = 1; i < 500; ++i) elseIfs += " else if (a == " + std::to_string(i) + ") x = 1;";
    EXPECT_EQ(test::Messages(elseIfs), "");
    EXPECT_EQ(test::Messages("x = " + std::string(100, '(') + "1" + std::string(100, ')') + ";"), "");
}

}  // namespace
}  // namespace nerva
