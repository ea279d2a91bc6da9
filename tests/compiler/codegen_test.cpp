// Code generator and peephole optimizer, seen through the code of the written image.
#include <gtest/gtest.h>

#include "test_util.h"

namespace nerva {
namespace {

using test::Code;

TEST(Codegen, WorkedExamples) {
    struct Case {
        const char* source;
        const char* code;
    } cases[] = {
        {"Application.setFocus = true; return true;",
         "function .main\nPUSHTRUE\nLOADGLOBAL Application\nSETMEMBER setFocus\nPUSHTRUE\nRETURN\n"},
        {"var file = FlashPlayer.getVariable(\"_root.word_file\"); Shell.open(file);",
         "function .main\nPUSHCONST string \"_root.word_file\"\nPUSHINT1\nLOADGLOBAL FlashPlayer\n"
         "CALLMETHOD getVariable\nNIP 3\nSTOREGLOBAL file\nLOADGLOBAL file\nPUSHINT1\nLOADGLOBAL Shell\n"
         "CALLMETHOD open\nNIP 3\n"},
        {"function add(a, b) { var s = a + b; return s; }",
         "function add\nLOADARG 1\nADD2\nARGS 4\nLOCALS 1\nLOADARG 2\nLOADARG 3\nADD\nRETURN\n"},
        {"function f() { var x; x = 5; f(x); }",
         "function f\nLOADARG 1\nADD2\nARGS 2\nLOCALS 1\nPUSHCONST int 5\nPUSHINT1\nLOADGLOBAL f\nCALL\nPOPN 4\n"
         "PUSHUNDEF\nRETURN\n"},
        {"function f() { f(); }", "function f\nLOADARG 1\nADD2\nARGS 2\nPUSHINT0\nLOADGLOBAL f\nCALL\nPOPN 3\nPUSHUNDEF\nRETURN\n"},
        {"for (;;) { break; }", "function .main\nPUSHUNDEF\n"},
        {"function f() { { var a; a = 1; g(a); } { var b; b = 2; g(b); } }",
         "function f\nLOADARG 1\nADD2\nARGS 2\nLOCALS 1\nPUSHINT1\nPUSHINT1\nLOADGLOBAL g\nCALL\nPOPN 4\n"
         "PUSHINT2\nPUSHINT1\nLOADGLOBAL g\nCALL\nPOPN 4\nPUSHUNDEF\nRETURN\n"},
        {"x;", "function .main\nLOADGLOBAL x\n"},
        {";", "function .main\nPUSHUNDEF\n"},
        {"function f() {}", "function f\nLOADARG 1\nADD2\nARGS 2\nPUSHUNDEF\nRETURN\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(Code(c.source), c.code) << c.source;
}

TEST(Codegen, ConditionsUseBooleanJumpsOnlyForBooleanHints) {
    EXPECT_EQ(Code("while (a < b) f();"),
              "function .main\nL0:\nLOADGLOBAL a\nLOADGLOBAL b\nLT\nJUMPIFFALSE L1\nPUSHINT0\nLOADGLOBAL f\nCALL\n"
              "POPN 3\nJUMP L0\nL1:\nPUSHUNDEF\n");
    EXPECT_NE(Code("while (a) f();").find("JUMPIFFALSY"), std::string::npos);
    EXPECT_NE(Code("if (a && b == 1) f();").find("JUMPIFFALSY"), std::string::npos);
    EXPECT_NE(Code("if (a == 1 && b == 1) f();").find("DUP\nJUMPIFFALSE"), std::string::npos);
    EXPECT_NE(Code("x = a || b;").find("DUP\nJUMPIFTRUTHY"), std::string::npos);
}

TEST(Codegen, ExpressionForms) {
    struct Case {
        const char* source;
        const char* code;
    } cases[] = {
        {"x = ~a;", "LOADGLOBAL a\nPUSHCONST int -1\nBITXOR\nSTOREGLOBAL x\n"},
        {"x = void a;", "LOADGLOBAL a\nPOP\nPUSHUNDEF\nSTOREGLOBAL x\n"},
        {"x = +a;", "LOADGLOBAL a\nSTOREGLOBAL x\n"},
        {"x = -a;", "LOADGLOBAL a\nNEG\nSTOREGLOBAL x\n"},
        {"x = !a;", "LOADGLOBAL a\nNOT\nSTOREGLOBAL x\n"},
        {"x = typeof a;", "LOADGLOBAL a\nTYPEOF\nSTOREGLOBAL x\n"},
        {"x = [1, , 2];", "PUSHINT2\nPUSHUNDEF\nPUSHINT1\nPUSHINT -3\nLOADGLOBAL Array\nNEW\nSWAP\nNIP 5\nSTOREGLOBAL x\n"},
        {"x = [];", "PUSHINT 0\nLOADGLOBAL Array\nNEW\nSWAP\nNIP 2\nSTOREGLOBAL x\n"},
        {"x = {a: 1, 7: 2, \"s\": 3};",
         "PUSHINT0\nLOADGLOBAL Object\nNEW\nSWAP\nNIP 2\nDUP\nPUSHINT3\nSWAP\nPUSHCONST string \"s\"\nSETINDEX\n"
         "DUP\nPUSHINT2\nSWAP\nPUSHINT 7\nSETINDEX\nDUP\nPUSHINT1\nSWAP\nSETMEMBER a\nSTOREGLOBAL x\n"},
        {"x = new F(1, 2);", "PUSHINT2\nPUSHINT1\nPUSHINT2\nLOADGLOBAL F\nNEW\nSWAP\nNIP 4\nSTOREGLOBAL x\n"},
        {"o.f(1);", "PUSHINT1\nPUSHINT1\nLOADGLOBAL o\nCALLMETHOD f\nPOPN 4\n"},
        {"o[k](1);", "PUSHINT1\nPUSHINT1\nLOADGLOBAL o\nLOADGLOBAL k\nGETINDEX\nCALL\nPOPN 4\n"},
        {"f()(2);", "PUSHINT2\nPUSHINT1\nPUSHINT0\nLOADGLOBAL f\nCALL\nNIP 2\nCALL\nPOPN 4\n"},
        {"o.n += 2;", "LOADGLOBAL o\nGETMEMBER n\nPUSHINT2\nADD\nLOADGLOBAL o\nSETMEMBER n\n"},
        {"o[k]++;", "LOADGLOBAL o\nLOADGLOBAL k\nGETINDEX\nPUSHINT1\nADD\nLOADGLOBAL o\nLOADGLOBAL k\nSETINDEX\n"},
        {"--x;", "LOADGLOBAL x\nPUSHINT1\nSUB\nSTOREGLOBAL x\n"},
        {"x = (a, b);", "LOADGLOBAL a\nPOP\nLOADGLOBAL b\nSTOREGLOBAL x\n"},
        {"delete o.p;", "LOADGLOBAL o\nDELMEMBER p\nPOP\n"},
        {"delete o[1];", "LOADGLOBAL o\nPUSHINT1\nDELINDEX\nPOP\n"},
        {"delete g;", "PUSHNULL\nDELGLOBAL g\nPOP\n"},
        {"x = delete 5;", "PUSHCONST int 5\nPOP\nPUSHTRUE\nSTOREGLOBAL x\n"},
        {"x = /ab/gi;", "PUSHCONST regexp /ab/gi\nSTOREGLOBAL x\n"},
        {"x = 1.5 + 2;", "PUSHCONST float 1.5\nPUSHINT2\nADD\nSTOREGLOBAL x\n"},
        {"x = this;", "LOADARG 0\nSTOREGLOBAL x\n"},
        {"x = a >>> 2 << 1 >> 3;", "LOADGLOBAL a\nPUSHINT2\nUSHR\nPUSHINT1\nSHL\nPUSHINT3\nSHR\nSTOREGLOBAL x\n"},
        {"x = a % b * c / d;", "LOADGLOBAL a\nLOADGLOBAL b\nMOD\nLOADGLOBAL c\nMUL\nLOADGLOBAL d\nDIV\nSTOREGLOBAL x\n"},
        {"x = a === b != c !== d;", "LOADGLOBAL a\nLOADGLOBAL b\nSTRICTEQ\nLOADGLOBAL c\nNE\nLOADGLOBAL d\nSTRICTNE\nSTOREGLOBAL x\n"},
        {"x = a & b ^ c | d;", "LOADGLOBAL a\nLOADGLOBAL b\nBITAND\nLOADGLOBAL c\nBITXOR\nLOADGLOBAL d\nBITOR\nSTOREGLOBAL x\n"},
    };
    // Every case is followed by `y;`, whose load ends the main program.
    for (const Case& c : cases)
        EXPECT_EQ(Code(std::string(c.source) + " y;"), std::string("function .main\n") + c.code + "LOADGLOBAL y\n") << c.source;
}

TEST(Codegen, InvalidTargetsAreErrors) {
    EXPECT_EQ(Code("f() = 1;"), "error: line 0: invalid assignment target\r\n");
    EXPECT_EQ(Code("\n5++;"), "error: line 1: invalid assignment target\r\n");
    EXPECT_EQ(Code("x = ++(a + b);"), "error: line 0: invalid assignment target\r\n");
}

TEST(Codegen, NamesResolveToSlotsOrGlobals) {
    std::string code = Code("function f(a) { var b = a; with (o) { b = a; c = b; g(); } return c; }");
    EXPECT_EQ(code,
              "function f\nLOADARG 1\nADD2\nARGS 3\nLOCALS 1\nLOADARG 2\nSTOREVAR 0\nLOADGLOBAL o\nPUSHWITH\n"
              "LOADARG 2\nSTORENAME c\nPUSHINT0\nLOADNAME g\nCALLNAME g\nPOPN 3\nPOPWITH 1\n"
              "LOADGLOBAL c\nRETURN\n");
    // A nested function sees none of the enclosing function's names.
    code = Code("function f(a) { function g() { return a; } }");
    EXPECT_NE(code.find("LOADGLOBAL a\nRETURN"), std::string::npos) << code;
    // Top-level var is global; a var in a nested block of the main program is a main local.
    EXPECT_EQ(Code("var a = 1; { var b = 2; h(b); }"),
              "function .main\nLOCALS 1\nPUSHINT1\nSTOREGLOBAL a\nPUSHINT2\nPUSHINT1\nLOADGLOBAL h\nCALL\nNIP 3\n");
}

TEST(Codegen, LocalsCoverEverySlotUsed) {
    // The catch identifier inside a sub-statement needs a slot of its own.
    std::string code = Code("function f() { var a = 1; if (a) try { g(); } catch (e) { a = e; } return a; }");
    EXPECT_NE(code.find("LOCALS 2"), std::string::npos) << code;
    code = Code("function f() { if (x) var a = 1; else var b = 2; return a + b; }");
    EXPECT_NE(code.find("LOCALS 2"), std::string::npos) << code;
}

TEST(Codegen, Switch) {
    EXPECT_EQ(Code("switch (x) { case 1: a(); break; default: b(); case 2: c(); }"),
              "function .main\nLOADGLOBAL x\nDUP\nPUSHINT1\nSTRICTEQ\nJUMPIFFALSE L1\nPUSHINT0\nLOADGLOBAL a\nCALL\n"
              "POPN 3\nJUMP L3\nL0:\nPUSHINT0\nLOADGLOBAL b\nCALL\nPOPN 3\nJUMP L2\nL1:\nDUP\nPUSHINT2\nSTRICTEQ\n"
              "JUMPIFFALSE L0\nL2:\nPUSHINT0\nLOADGLOBAL c\nCALL\nPOPN 3\nL3:\nPOP\nPUSHUNDEF\n");
    // A default clause first jumps over itself to the first test.
    std::string code = Code("switch (x) { default: d(); case 1: a(); }");
    EXPECT_EQ(code.find("function .main\nLOADGLOBAL x\nJUMP L"), 0u) << code;
}

TEST(Codegen, ForIn) {
    EXPECT_EQ(Code("function f(o) { for (var k in o) g(k); }"),
              "function f\nLOADARG 1\nADD2\nARGS 3\nLOCALS 1\nLOADARG 2\nDUP\nPUSHINT0\nSWAP\nPUSHINT0\nL0:\n"
              "ENUMNEXT\nJUMPIFFALSE L1\nPUSHINT1\nLOADGLOBAL g\nCALL\nPOPN 4\nPUSHINT1\nADD\nDUP\nROT -3\nDUP\n"
              "ROT 4\nSWAP\nJUMP L0\nL1:\nPOP\nPOPN 2\nPUSHUNDEF\nRETURN\n");
}

TEST(Codegen, BreakAndContinueDiscardWhatConstructsHold) {
    // continue from a switch inside a loop drops the discriminant.
    std::string code = Code("while (a) { switch (x) { case 1: continue; } }");
    EXPECT_NE(code.find("POP\nJUMP L0"), std::string::npos) << code;
    // A labelled break out of a for-in drops the collection and the counter.
    code = Code("L: while (a) { for (k in o) { break L; } }");
    EXPECT_NE(code.find("POPN 2\nJUMP"), std::string::npos) << code;
    // Leaving a catch clause drops the flag and the thrown value and the clause handler.
    code = Code("while (a) { try { f(); } catch (e) { break; } }");
    EXPECT_NE(code.find("ENDTRY 1\nPOPN 2\nJUMP"), std::string::npos) << code;
    // Leaving a with statement and a try block.
    code = Code("while (a) { with (o) { try { break; } catch (e) {} } }");
    EXPECT_NE(code.find("POPWITH 1\nENDTRY 1\nJUMP"), std::string::npos) << code;
    // The finally part has no fixed stack depth, so nothing may jump out of it.
    EXPECT_EQ(Code("while (a) { try { } finally { break; } }"), "error: line 0: invalid break\r\n");
    EXPECT_EQ(Code("function f() { try { return 1; } catch (e) {} }").find("ENDTRY 1\nPUSHINT1\nRETURN") != std::string::npos, true);
}

TEST(Codegen, TryCatchLayout) {
    EXPECT_EQ(Code("try { f(); } catch (e if e == 1) { g(); } catch (e) { h(); } finally { k(); }"),
              "function .main\nLOCALS 2\nTRY L0\nPUSHINT0\nLOADGLOBAL f\nCALL\nPOPN 3\nENDTRY 1\nPUSHFALSE\nJUMP L7\n"
              "L0:\nPUSHFALSE\nSWAP\nTRY L6\nDUP\nSTOREVAR 0\nTRY L1\nLOADVAR 0\nPUSHINT1\nEQ\nENDTRY 1\n"
              "JUMPIFFALSE L3\nJUMP L2\nL1:\nPOP\nJUMP L3\nL2:\nSWAP\nPOP\nPUSHTRUE\nSWAP\nPUSHINT0\nLOADGLOBAL g\n"
              "CALL\nPOPN 3\nJUMP L4\nL3:\nDUP\nSTOREVAR 0\nSWAP\nPOP\nPUSHTRUE\nSWAP\nPUSHINT0\nLOADGLOBAL h\nCALL\n"
              "POPN 3\nL4:\nENDTRY 1\nSWAP\nJUMPIFTRUE L5\nPUSHTRUE\nJUMP L7\nL5:\nPOP\nPUSHFALSE\nJUMP L7\nL6:\n"
              "NIP 2\nPUSHTRUE\nL7:\nPUSHINT0\nLOADGLOBAL k\nCALL\nPOPN 3\nJUMPIFFALSE L8\nTHROW\nL8:\nPUSHUNDEF\n");
}

TEST(Codegen, PeepholeRules) {
    // PUSHFALSE before a jump-if-false becomes a plain jump; code after it up to a label goes.
    EXPECT_EQ(Code("do { f(); } while (false); g;"),
              "function .main\nPUSHINT0\nLOADGLOBAL f\nCALL\nPOPN 3\nLOADGLOBAL g\n");
    // A jump to a jump goes straight to the final target.
    std::string code = Code("while (a) { if (b) { c(); } else { continue; } }");
    EXPECT_EQ(code.find("JUMP L1\nL"), std::string::npos) << code;
    // Code after return up to the next label goes; code after throw stays.
    EXPECT_EQ(Code("function f() { return 1; g(); }"), "function f\nLOADARG 1\nADD2\nARGS 2\nPUSHINT1\nRETURN\n");
    EXPECT_EQ(Code("function f() { throw 1; }"), "function f\nLOADARG 1\nADD2\nARGS 2\nPUSHINT1\nTHROW\nPUSHUNDEF\nRETURN\n");
    // A stored local read later in a loop keeps its store.
    code = Code("function f() { var i = 0; while (i < 3) { i = i + 1; } return 0; }");
    EXPECT_NE(code.find("STOREVAR 0\nL"), std::string::npos) << code;
    // A local that is deleted later keeps its store: the delete releases what it holds.
    code = Code("function f() { var o = g(); h(o); delete o; }");
    EXPECT_NE(code.find("STOREVAR 0\nLOADVAR 0"), std::string::npos) << code;
}

TEST(Codegen, LargeCountsStayEncodable) {
    std::string source = "x = [";
    for (int i = 0; i < 300; ++i) source += "4,";
    source += "4];";
    std::string code = Code(source);
    EXPECT_NE(code.find("PUSHINT -301\nLOADGLOBAL Array\nNEW\nSWAP\nNIP 127\nNIP 127\nNIP 49\n"), std::string::npos);
    std::string params = "function f(";
    for (int i = 0; i < 130; ++i) params += (i ? ",p" : "p") + std::to_string(i);
    params += ") {}";
    EXPECT_EQ(Code(params), "error: line 0: too many formal parameters\r\n");
}

}  // namespace
}  // namespace nerva
