// Engine behaviour through assembled images: operators and their edge cases, calls and
// frames, try/throw, runtime errors and warnings with their exact texts.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "runtime/compiler_hook.h"
#include "runtime/engine.h"
#include "runtime/host.h"
#include "runtime/object.h"
#include "runtime/script_class.h"
#include "tests/runtime/runtime_test_util.h"

namespace nerva::test {
namespace {

// An operand of an operator table row.
struct Operand {
    enum Kind { Int, Float, Str, True, False, Null, Undef, NaN } kind;
    int64_t i = 0;
    double f = 0;
    const char* s = "";
};
Operand I(int64_t v) { return {Operand::Int, v}; }
Operand F(double v) { return {Operand::Float, 0, v}; }
Operand S(const char* v) { return {Operand::Str, 0, 0, v}; }
const Operand kTrue{Operand::True}, kNull{Operand::Null}, kUndef{Operand::Undef},
    kNaN{Operand::NaN};

void Push(Assembler& a, const Operand& o) {
    switch (o.kind) {
        case Operand::Int: a.Const(o.i); break;
        case Operand::Float: a.ConstF(o.f); break;
        case Operand::Str: a.ConstS(o.s); break;
        case Operand::True: a.Op(OP_PUSHTRUE); break;
        case Operand::False: a.Op(OP_PUSHFALSE); break;
        case Operand::Null: a.Op(OP_PUSHNULL); break;
        case Operand::Undef: a.Op(OP_PUSHUNDEF); break;
        case Operand::NaN: a.Op(OP_PUSHCONST, a.Raw(13, {})); break;
    }
}

// "int:3", "float:3.5", "nan", "str:a1", "bool:true", "undef", "null".
std::string Describe(const CScriptValue& v) {
    switch (v.tag) {
        case TagInteger: return "int:" + std::to_string(v.i);
        case TagFloat: {
            char buf[64];
            std::snprintf(buf, sizeof buf, "float:%.17g", v.f);
            return buf;
        }
        case TagNaN: return "nan";
        case TagString: return "str:" + ToNarrow(v);
        case TagBoolean: return v.u ? "bool:true" : "bool:false";
        case TagUndefined: return "undef";
        case TagNull: return "null";
        default: return "tag:" + std::to_string(v.tag);
    }
}

class Operators : public EngineTest {
protected:
    std::string Binary(uint8_t op, const Operand& a, const Operand& b) {
        Assembler as;
        as.Function(".main");
        Push(as, a);
        Push(as, b);
        as.Op(op).Op(OP_RETURN);
        EXPECT_TRUE(Run(as)) << Message();
        return Describe(Result());
    }
    std::string Unary(uint8_t op, const Operand& a) {
        Assembler as;
        as.Function(".main");
        Push(as, a);
        as.Op(op).Op(OP_RETURN);
        EXPECT_TRUE(Run(as)) << Message();
        return Describe(Result());
    }
};

TEST_F(Operators, Arithmetic) {
    struct Row {
        uint8_t op;
        Operand a, b;
        const char* expected;
    } rows[] = {
        {OP_DIV, I(7), I(2), "float:3.5"},
        {OP_DIV, I(6), I(2), "float:3"},
        {OP_DIV, I(1), I(0), "float:inf"},
        {OP_DIV, I(-1), I(0), "float:-inf"},
        {OP_DIV, I(0), I(0), "nan"},
        {OP_DIV, F(INFINITY), I(0), "float:inf"},
        {OP_DIV, F(INFINITY), F(-INFINITY), "nan"},
        {OP_MOD, I(7), I(2), "int:1"},
        {OP_MOD, I(-7), I(2), "int:-1"},
        {OP_MOD, I(5), I(0), "nan"},
        {OP_MOD, I(5), F(0.0), "nan"},
        {OP_MOD, F(INFINITY), I(2), "nan"},
        {OP_MOD, I(5), F(INFINITY), "int:5"},
        {OP_MOD, F(5.5), I(2), "float:1.5"},
        {OP_MOD, I(INT64_MIN), I(-1), "int:0"},
        {OP_ADD, S("a"), I(1), "str:a1"},
        {OP_ADD, I(1), S("a"), "str:1a"},
        {OP_ADD, kTrue, I(1), "int:2"},
        {OP_ADD, I(INT64_MAX), I(1), "int:-9223372036854775808"},
        {OP_ADD, I(1), F(0.5), "float:1.5"},
        {OP_ADD, I(1), kNaN, "nan"},
        {OP_ADD, kUndef, I(1), "nan"},
        {OP_ADD, kNull, I(1), "int:1"},
        {OP_ADD, S("x"), kNull, "str:xundefined"},
        {OP_ADD, S("n="), F(0.1 + 0.2), "str:n=0.3"},
        {OP_SUB, I(INT64_MIN), I(1), "int:9223372036854775807"},
        {OP_SUB, S("10"), I(4), "int:6"},
        {OP_MUL, I(6), I(7), "int:42"},
        {OP_MUL, I(0), F(INFINITY), "nan"},
        {OP_MUL, F(-INFINITY), F(0.0), "nan"},
        {OP_MUL, I(3), F(0.5), "float:1.5"},
        {OP_SHL, I(1), I(64), "int:0"},
        {OP_SHL, I(1), I(3), "int:8"},
        {OP_SHL, I(1), I(256 + 2), "int:4"},
        {OP_SHR, I(-8), I(1), "int:-4"},
        {OP_SHR, I(-8), I(70), "int:-1"},
        {OP_USHR, I(-8), I(60), "int:15"},
        {OP_USHR, I(-8), I(0), "int:-8"},
        {OP_BITAND, I(12), I(10), "int:8"},
        {OP_BITOR, I(12), F(3.9), "int:15"},
        {OP_BITXOR, S("6"), I(3), "int:5"},
    };
    for (const Row& r : rows) EXPECT_EQ(Binary(r.op, r.a, r.b), r.expected) << InfoOf(r.op).mnemonic;
}

TEST_F(Operators, Comparisons) {
    struct Row {
        uint8_t op;
        Operand a, b;
        const char* expected;
    } rows[] = {
        {OP_EQ, kNull, kUndef, "bool:true"},
        {OP_EQ, I(0), kUndef, "bool:false"},
        {OP_EQ, S("1"), I(1), "bool:true"},
        {OP_EQ, I(1), F(1.0), "bool:true"},
        {OP_EQ, kNaN, kNaN, "bool:false"},
        {OP_EQ, kTrue, I(1), "bool:true"},
        {OP_EQ, S("abc"), S("abc"), "bool:true"},
        {OP_NE, S("abc"), S("abd"), "bool:true"},
        {OP_STRICTEQ, I(1), F(1.0), "bool:true"},
        {OP_STRICTEQ, S("1"), I(1), "bool:false"},
        {OP_STRICTEQ, kNaN, kNaN, "bool:false"},
        {OP_STRICTNE, kNull, kUndef, "bool:true"},
        {OP_LT, kNaN, I(1), "undef"},
        {OP_LT, I(1), S("x"), "undef"},
        {OP_LT, I(-5), I(3), "bool:true"},
        {OP_LT, S("abc"), S("abd"), "bool:true"},
        {OP_LT, S("ab"), S("abc"), "bool:true"},
        {OP_GT, S("b"), S("abc"), "bool:true"},
        {OP_LE, I(2), F(2.0), "bool:true"},
        {OP_GE, S("10"), I(9), "bool:true"},
        {OP_GT, kNull, I(-1), "bool:true"},
    };
    for (const Row& r : rows) EXPECT_EQ(Binary(r.op, r.a, r.b), r.expected) << InfoOf(r.op).mnemonic;
}

TEST_F(Operators, UnaryOperators) {
    EXPECT_EQ(Unary(OP_NEG, I(5)), "int:-5");
    EXPECT_EQ(Unary(OP_NEG, I(INT64_MIN)), "int:-9223372036854775808");
    EXPECT_EQ(Unary(OP_NEG, F(1.5)), "float:-1.5");
    EXPECT_EQ(Unary(OP_NEG, kNaN), "nan");
    EXPECT_EQ(Unary(OP_NEG, S("7")), "int:-7");
    EXPECT_EQ(Unary(OP_NOT, S("")), "bool:true");
    EXPECT_EQ(Unary(OP_NOT, F(0.0)), "bool:true");
    EXPECT_EQ(Unary(OP_NOT, kNaN), "bool:true");
    EXPECT_EQ(Unary(OP_NOT, S("0")), "bool:false");
    EXPECT_EQ(Unary(OP_TYPEOF, kNull), "str:object");
    EXPECT_EQ(Unary(OP_TYPEOF, kNaN), "str:number");
    EXPECT_EQ(Unary(OP_TYPEOF, F(1)), "str:number");
    EXPECT_EQ(Unary(OP_TYPEOF, kUndef), "str:undefined");
    EXPECT_EQ(Unary(OP_TYPEOF, S("")), "str:string");
    EXPECT_EQ(Unary(OP_INC1, I(41)), "int:42");
    EXPECT_EQ(Unary(OP_ADD2, I(40)), "int:42");
    // Only damaged code applies them to a reference; the reference must stay intact.
    EXPECT_EQ(Unary(OP_INC1, S("abc")), "str:abc");
    EXPECT_EQ(Unary(OP_ADD2, S("abc")), "str:abc");
}

TEST_F(Operators, StackShuffles) {
    // ROT 3 moves the top under two values; ROT -3 brings the third value back up.
    Assembler a;
    a.Function(".main");
    a.Const(1).Const(2).Const(3).Op(OP_ROT, 3);  // [3 1 2]
    a.Op(OP_ROT, -3);                             // [1 2 3]
    a.Op(OP_POP).Op(OP_SWAP);                     // [2 1]
    a.Const(10).Op(OP_MUL).Op(OP_ADD);            // 2 + 10
    a.Const(7).Const(8).Op(OP_NIP, 2);            // drop 12 and 7 under 8
    a.Op(OP_RETURN);
    ASSERT_TRUE(Run(a)) << Message();
    EXPECT_EQ(Describe(Result()), "int:8");
}

// Conversions of text to numbers, through the engine's own ToNumber.
TEST(Conversions, TextToNumber) {
    struct Row {
        std::u16string text;
        const char* expected;
    } rows[] = {
        {u"", "int:0"},
        {u"   0x1F", "int:31"},
        {u"010", "int:8"},
        {u"1e3", "float:1000"},
        {u"abc", "nan"},
        {u"12px", "int:12"},
        {u"-42", "int:-42"},
        {u"0.5", "float:0.5"},
        {u"  -3.25e1x", "float:-32.5"},
        {u"9223372036854775807", "int:9223372036854775807"},
        {u"9223372036854775808", "float:9.2233720368547758e+18"},
        {u"0x7FFFFFFFFFFFFFFF", "int:9223372036854775807"},
        {u"0x20000000000000001", "float:3.6893488147419103e+19"},
        {u"0x1FFFFFFFFFFFFFFFF", "float:3.6893488147419103e+19"},
        {u"0", "int:0"},
        {u".5", "float:0.5"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(Describe(StringToNumber(r.text.data(), uint32_t(r.text.size()))), r.expected)
            << std::string(r.text.begin(), r.text.end());
}

class Conversion : public EngineTest {};

TEST_F(Conversion, ValuesToText) {
    struct Row {
        CScriptValue v;
        const char* text;
    } rows[] = {
        {MakeNull(), "undefined"},       {MakeUndefined(), "undefined"}, {MakeBool(true), "true"},
        {MakeInt(-120), "-120"},         {MakeFloat(0.1 + 0.2), "0.3"},  {MakeFloat(1.0 / 3), "0.333333"},
        {MakeFloat(1e21), "1e+21"},      {MakeNaN(), "NaN"},             {MakeInt(7), "7"},
    };
    for (const Row& r : rows) EXPECT_EQ(ToNarrow(ToString(*engine, r.v)), r.text);
    EXPECT_EQ(ToNarrow(ToString(*engine, MakeAtomValue(AtomValueOf))), "valueOf");
    EXPECT_FALSE(ToBoolean(MakeAtomValue(1)));
    EXPECT_TRUE(ToBoolean(MakeObjectValue(NewObject(*engine))));
    EXPECT_EQ(ToInt64(*engine, MakeFloat(-2.9)), -2);
    EXPECT_EQ(ToInt64(*engine, MakeFloat(INFINITY)), 0);
    EXPECT_EQ(ToInt32(*engine, MakeInt(0x100000005)), 5);
}

TEST_F(Conversion, ObjectWithoutMethodsConvertsToObjectText) {
    // Neither the object nor an Object class answers toString.
    engine->typeClasses[TagObject] = nullptr;
    CScriptValue o = MakeObjectValue(NewObject(*engine));
    EXPECT_EQ(ToNarrow(ToString(*engine, o)), "object");
}

// ---- calls, frames, errors -------------------------------------------------------------

class Execution : public EngineTest {};

TEST_F(Execution, FunctionsWithMissingArgumentsAndLocals) {
    // function add(a, b, c) { var s = a + b; return s + typeof c; } add(1, 2)
    Assembler a;
    a.Function("add");
    a.Op(OP_LOADARG, 1).Op(OP_ADD2).Op(OP_ARGS, 5).Op(OP_LOCALS, 1);
    a.Op(OP_LOADARG, 2).Op(OP_LOADARG, 3).Op(OP_ADD).Op(OP_STOREVAR, 0);
    a.Op(OP_LOADVAR, 0).Op(OP_LOADARG, 4).Op(OP_TYPEOF).Op(OP_ADD).Op(OP_RETURN);
    a.Function(".main");
    a.Const(2).Const(1).Op(OP_PUSHINT2).Global(OP_LOADGLOBAL, "add").Op(OP_CALL).Op(OP_NIP, 4);
    a.ConstS("!").Op(OP_ADD);
    a.Op(OP_RETURN);
    ASSERT_TRUE(Run(a)) << Message();
    EXPECT_EQ(Describe(Result()), "str:3undefined!");
    EXPECT_TRUE(traced.empty());
}

TEST_F(Execution, ConstructorKeepsThisAndInheritsFromTheFunction) {
    // function P(x) { this.x = x; return 5; }  P.k = 7;  var p = new P(3); p.x * 10 + p.k
    // Properties stored on functions need a Function type class (any descriptor will do).
    SetTypeClass(*engine, TagFunction, NewClass(*engine));
    Assembler a;
    a.Function("P");
    a.Op(OP_LOADARG, 1).Op(OP_ADD2).Op(OP_ARGS, 3);
    a.Op(OP_LOADARG, 2).Op(OP_LOADARG, 0).Global(OP_SETMEMBER, "x");
    a.Const(5).Op(OP_RETURN);
    a.Function(".main");
    a.Const(7).Global(OP_LOADGLOBAL, "P").Global(OP_SETMEMBER, "k");
    a.Const(3).Op(OP_PUSHINT1).Global(OP_LOADGLOBAL, "P").Op(OP_NEW).Op(OP_SWAP).Op(OP_NIP, 3);
    a.Op(OP_DUP).Global(OP_GETMEMBER, "x").Const(10).Op(OP_MUL);
    a.Op(OP_SWAP).Global(OP_GETMEMBER, "k").Op(OP_ADD).Op(OP_RETURN);
    ASSERT_TRUE(Run(a)) << Message();
    EXPECT_EQ(Describe(Result()), "int:37");
}

TEST_F(Execution, UncaughtThrowGivesItsTextWithoutPrefix) {
    Assembler a;
    a.Function(".main");
    a.ConstS("abc").Op(OP_THROW);
    EXPECT_FALSE(Run(a));
    EXPECT_EQ(Message(), "abc");
}

TEST_F(Execution, ScriptCatchesARuntimeErrorAsText) {
    // try { null(); ... conversion error } catch (e) { return e; }
    Assembler a;
    auto handler = a.NewLabel();
    a.Function(".main");
    a.Jump(OP_TRY, handler);
    // ToObject of undefined cannot happen through instructions, so raise one through
    // an unknown opcode instead: the catch receives the runtime error text.
    a.Op(0x6B);
    a.Op(OP_ENDTRY, 1).Op(OP_PUSHUNDEF).Op(OP_RETURN);
    a.Bind(handler);
    a.Op(OP_RETURN);
    ASSERT_TRUE(Run(a)) << Message();
    EXPECT_EQ(Describe(Result()), "str:Runtime error: Unimplemented Nerva Script bytecode");
}

TEST_F(Execution, ThrowAcrossFramesRestoresTheCatchingFrame) {
    // function f(n) { if (n == 0) throw "deep"; return f(n - 1); }
    // try { f(50) } catch (e) { e + "!" }
    Assembler a;
    auto recurse = a.NewLabel();
    a.Function("f");
    a.Op(OP_LOADARG, 1).Op(OP_ADD2).Op(OP_ARGS, 3);
    a.Op(OP_LOADARG, 2).Op(OP_PUSHINT0).Op(OP_EQ).Jump(OP_JUMPIFFALSE, recurse);
    a.ConstS("deep").Op(OP_THROW);
    a.Bind(recurse);
    a.Op(OP_LOADARG, 2).Op(OP_PUSHINT1).Op(OP_SUB).Op(OP_PUSHINT1).Global(OP_LOADGLOBAL, "f").Op(OP_CALL);
    a.Op(OP_NIP, 3).Op(OP_RETURN);
    a.Function(".main");
    auto caught = a.NewLabel();
    a.Op(OP_PUSHINT0);  // a value below the try that must survive
    a.Jump(OP_TRY, caught);
    a.Const(50).Op(OP_PUSHINT1).Global(OP_LOADGLOBAL, "f").Op(OP_CALL).Op(OP_NIP, 3);
    a.Op(OP_ENDTRY, 1).Op(OP_RETURN);
    a.Bind(caught);
    a.ConstS("!").Op(OP_ADD).Op(OP_ADD).Op(OP_RETURN);  // 0 + ("deep" + "!")
    ASSERT_TRUE(Run(a)) << Message();
    EXPECT_EQ(Describe(Result()), "str:0deep!");
}

TEST_F(Execution, UnboundedRecursionOverflowsAndTheEngineStaysUsable) {
    Assembler a;
    a.Function("f");
    a.Op(OP_LOADARG, 1).Op(OP_ADD2).Op(OP_ARGS, 2);
    a.Op(OP_PUSHINT0).Global(OP_LOADGLOBAL, "f").Op(OP_CALL).Op(OP_NIP, 2).Op(OP_RETURN);
    a.Function(".main");
    a.Op(OP_PUSHINT0).Global(OP_LOADGLOBAL, "f").Op(OP_CALL).Op(OP_NIP, 2).Op(OP_RETURN);
    EXPECT_FALSE(Run(a));
    EXPECT_EQ(Message(), "Runtime error: stack overflow");

    Assembler b;
    b.Function(".main");
    b.Const(6).Const(7).Op(OP_MUL).Op(OP_RETURN);
    ASSERT_TRUE(Run(b)) << Message();
    EXPECT_EQ(Describe(Result()), "int:42");
}

TEST_F(Execution, WarningsHaveTheirExactTexts) {
    Assembler a;
    a.Function(".main");
    a.Op(OP_PUSHINT0).Op(OP_PUSHNULL).Op(OP_CALL).Op(OP_NIP, 2).Op(OP_POP);                // call of null
    a.Op(OP_PUSHINT0).Op(OP_PUSHINT1).Global(OP_CALLMETHOD, "frob").Op(OP_NIP, 2).Op(OP_POP);  // unknown method
    a.Op(OP_PUSHINT0).Op(OP_PUSHNULL).Op(OP_NEW).Op(OP_SWAP).Op(OP_NIP, 2).Op(OP_POP);     // invalid ctor
    a.ConstS("abc").Const(5).Op(OP_GETINDEX).Op(OP_POP);                                   // out of range
    a.ConstS("abc").Op(OP_PUSHNULL).Op(OP_GETINDEX).Op(OP_POP);                            // bad index
    a.Const(65).ConstS("abc").Op(OP_PUSHINT0).Op(OP_SETINDEX);                             // static string
    a.Global(OP_LOADGLOBAL, "nowhere").Op(OP_POP);
    a.Op(OP_PUSHTRUE).Op(OP_RETURN);
    ASSERT_TRUE(Run(a)) << Message();
    std::vector<std::string> expected = {
        "Warning: call a undefined function",
        "Warning: unknown method \"frob\"",
        "Warning: invalid constructor",
        "Warning: string index out of range",
        "Warning: invalid index for operator []",
        "Warning: can't change a static string",
        "Warning: using undefined variable \"nowhere\"",
    };
    EXPECT_EQ(traced, expected);
}

TEST_F(Execution, StringIndexingOnAHeapString) {
    // s = "ab" + "c"; s[0] = 0x141; s[5] = "z"; s
    Assembler a;
    a.Function(".main");
    a.ConstS("ab").ConstS("c").Op(OP_ADD).Global(OP_STOREGLOBAL, "s");
    a.Const(0x141).Global(OP_LOADGLOBAL, "s").Op(OP_PUSHINT0).Op(OP_SETINDEX);
    a.ConstS("zz").Global(OP_LOADGLOBAL, "s").Const(5).Op(OP_SETINDEX);
    a.Op(OP_PUSHTRUE).Global(OP_LOADGLOBAL, "s").Op(OP_PUSHINT1).Op(OP_SETINDEX);
    a.Global(OP_LOADGLOBAL, "s").Op(OP_RETURN);
    ASSERT_TRUE(Run(a)) << Message();
    EXPECT_EQ(Describe(Result()), "str:Abc  z");
    ASSERT_EQ(traced.size(), 1u);
    EXPECT_EQ(traced[0], "Warning: can't store a non-charactor value to string");
}

TEST_F(Execution, ArraysAndForInOrder) {
    // a = []; a[0] = 10; a[1] = 20; a[2] = 30; delete a[1]; sum of for-in items, then length
    Assembler a;
    a.Function(".main");
    // Arrays come from the Array class; a bare engine can still be given one by the host.
    CScriptValue arr = MakeArrayValue(NewArray(*engine, 0));
    GlobalSlot(*engine, Intern(*engine, "a")) = arr;
    for (int i = 0; i < 3; ++i) a.Const(10 * (i + 1)).Global(OP_LOADGLOBAL, "a").Const(i).Op(OP_SETINDEX);
    a.Global(OP_LOADGLOBAL, "a").Op(OP_PUSHINT1).Op(OP_DELINDEX).Op(OP_POP);
    auto top = a.NewLabel(), exit = a.NewLabel();
    a.Op(OP_PUSHINT0).Global(OP_STOREGLOBAL, "sum");
    a.Global(OP_LOADGLOBAL, "a").Op(OP_PUSHINT0);
    a.Bind(top);
    a.Op(OP_ENUMNEXT).Jump(OP_JUMPIFFALSE, exit);
    a.Global(OP_LOADGLOBAL, "sum").Op(OP_ADD).Global(OP_STOREGLOBAL, "sum").Op(OP_INC1).Jump(OP_JUMP, top);
    a.Bind(exit);
    a.Op(OP_POP).Op(OP_POPN, 2);
    a.Global(OP_LOADGLOBAL, "sum").Const(1000).Op(OP_MUL);
    a.Global(OP_LOADGLOBAL, "a").Op(OP_PUSHINT0).Op(OP_ENUMNEXT).Op(OP_POP).Op(OP_NIP, 2).Op(OP_ADD);
    a.Op(OP_RETURN);
    ASSERT_TRUE(Run(a)) << Message();
    EXPECT_EQ(Describe(Result()), "int:40010");  // 10 + 30, then the first element
    EXPECT_EQ(arr.a->length, 2u);
}

TEST_F(Execution, ObjectEnumerationFollowsTheNameIndex) {
    CScriptObject* o = NewObject(*engine);
    const char* names[] = {"alpha", "beta", "gamma", "delta"};
    for (int i = 0; i < 4; ++i) SetProperty(*engine, o, Intern(*engine, names[i]), MakeInt(i));
    // Deleting and adding reuses the deleted slot.
    DeleteProperty(*engine, o, Intern(*engine, "beta"));
    SetProperty(*engine, o, Intern(*engine, "omega"), MakeInt(9));
    EXPECT_EQ(o->count, 4u);
    EXPECT_EQ(o->slots[1].key, int32_t(Intern(*engine, "omega")));
    // NameAt walks buckets 0..127 by name hash, newest first inside a bucket.
    std::vector<std::pair<uint32_t, std::string>> expected;
    for (const char* n : {"alpha", "omega", "gamma", "delta"}) expected.emplace_back(NameHash(n) & 127, n);
    std::stable_sort(expected.begin(), expected.end(), [](auto& x, auto& y) { return x.first < y.first; });
    std::vector<std::string> seen;
    CScriptValue name;
    for (uint64_t n = 0; NameAt(*engine, o, n, name); ++n) seen.push_back(ToNarrow(name));
    ASSERT_EQ(seen.size(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(seen[i], expected[i].second);
    CScriptValue key = FromNarrow(*engine, "gamma"), out;
    ASSERT_TRUE(GetByKey(*engine, o, key, out));
    EXPECT_EQ(out.i, 2);
    ASSERT_TRUE(GetByKey(*engine, o, MakeInt(1), out));
    EXPECT_EQ(out.i, 9);
}

TEST_F(Execution, ProtoCycleDoesNotHang) {
    CScriptObject* o = NewObject(*engine);
    SetProperty(*engine, o, AtomProto, MakeObjectValue(o));
    CScriptValue out;
    EXPECT_FALSE(GetProperty(*engine, o, Intern(*engine, "missing"), out));
}

TEST_F(Execution, SourceWithoutACompilerFailsCleanly) {
    const SourceCompiler* saved = InstalledSourceCompiler();
    InstallSourceCompiler(nullptr);
    EXPECT_FALSE(RunSource(*engine, "1+2", 0));
    EXPECT_STRNE(ErrorText(*engine), "");
    InstallSourceCompiler(saved);
}

TEST(MessageBuffer, CompilerMessagesAndAppends) {
    CScriptEngine* e = CreateEngine(kDefaultStackSize, nullptr, 0);
    ASSERT_NE(e, nullptr);
    SetCompilerMessages(*e, "error: line 0: syntax error: invalid expression\r\n");
    EXPECT_STREQ(ErrorText(*e), "error: line 0: syntax error: invalid expression\r\n");
    std::string longText(2000, 'w');
    SetCompilerMessages(*e, longText);
    EXPECT_STREQ(ErrorText(*e), "error: line 0: syntax error: invalid expression\r\n") << "long text leaves the buffer";
    EXPECT_EQ(e->longMessage, longText);
    FreeLongMessage(*e);
    EXPECT_TRUE(e->longMessage.empty());
    AppendEngineMessage(*e, std::string(2000, 'x'));
    EXPECT_EQ(std::strlen(ErrorText(*e)), kMessageSize - 1);
    EXPECT_EQ(AnonymousFunctionCounter(*e), 0u);
    DestroyEngine(e);
}

}  // namespace
}  // namespace nerva::test
