// The native class framework: a small host class in the shape of the projector's classes,
// member resolution order, own property tables and the unknown-member warnings.
#include <gtest/gtest.h>

#include "runtime/engine.h"
#include "runtime/object.h"
#include "runtime/script_class.h"
#include "tests/runtime/runtime_test_util.h"

namespace nerva::test {
namespace {

struct Counter {
    int64_t value;
};

int g_released = 0;

// A class with one method ("get"), one property ("value"), a constructor that wants an
// integer, and "[object Counter]" as its text.
int CounterMethod(CScriptEngine& e, CScriptClass* cls, void* self, uint32_t atom, CScriptValue* result,
                  const CArgBlock& args) {
    if (atom == AtomToString) {
        *result = StaticText(e, "[object Counter]");
        return 1;
    }
    if (!self) return 0;
    int m = MemberIndex(cls->classData, atom);
    if (m == 0) {  // get(add)
        *result = MakeUndefined();
        if (args.Count() >= 1 && args[0].tag == TagInteger) *result = MakeInt(static_cast<Counter*>(self)->value + args[0].i);
        return 1;
    }
    return 0;
}

int CounterProperty(CScriptEngine& e, CScriptClass* cls, void* self, uint32_t atom, int set, CScriptValue* value) {
    if (!self || MemberIndex(cls->classData, atom) != 1) return 0;
    auto* c = static_cast<Counter*>(self);
    if (set) {
        if (value->tag == TagInteger) c->value = value->i;
    } else {
        *value = MakeInt(c->value);
    }
    return 1;
}

void CounterConstruct(CScriptEngine& e, CScriptClass* cls, const CArgBlock& args, CScriptValue* result) {
    if (args.Count() < 1 || args[0].tag != TagInteger) {
        *result = MakeNull();
        return;
    }
    DefineHostValue(e, result, cls, new Counter{args[0].i});
}

void CounterRelease(CScriptClass*, void* data) {
    delete static_cast<Counter*>(data);
    ++g_released;
}

void RegisterCounter(CScriptEngine& e) {
    CScriptClass* cls = NewClass(e);
    cls->classData = InternMembers(e, {"get", "value"});
    cls->freeClassData = &FreeMemberList;
    cls->onMethod = &CounterMethod;
    cls->onProperty = &CounterProperty;
    cls->onConstruct = &CounterConstruct;
    cls->onRelease = &CounterRelease;
    DefineGlobalClass(e, "Counter", cls);
}

class HostClass : public EngineTest {
protected:
    void SetUp() override {
        AddClassRegistrar(&RegisterCounter);
        EngineTest::SetUp();
        g_released = 0;
    }
    void TearDown() override {
        EngineTest::TearDown();
        RemoveClassRegistrar(&RegisterCounter);
    }
    // new Counter(args...) stored into a global.
    static void NewInto(Assembler& a, const std::string& global, std::initializer_list<int64_t> args) {
        for (auto it = std::rbegin(args); it != std::rend(args); ++it) a.Const(*it);
        a.Const(int64_t(args.size())).Global(OP_LOADGLOBAL, "Counter").Op(OP_NEW).Op(OP_SWAP);
        a.Op(OP_NIP, int64_t(args.size()) + 2).Global(OP_STOREGLOBAL, global);
    }
    std::string Global(const char* name) { return ToNarrow(ToString(*engine, GlobalSlot(*engine, Intern(*engine, name)))); }
};

TEST_F(HostClass, ConstructorRefusesBadArguments) {
    Assembler a;
    a.Function(".main");
    NewInto(a, "none", {});
    a.ConstS("x").Op(OP_PUSHINT1).Global(OP_LOADGLOBAL, "Counter").Op(OP_NEW).Op(OP_SWAP).Op(OP_NIP, 3);
    a.Global(OP_STOREGLOBAL, "text");
    NewInto(a, "good", {5});
    a.Op(OP_PUSHTRUE).Op(OP_RETURN);
    ASSERT_TRUE(Run(a)) << Message();
    EXPECT_EQ(GlobalSlot(*engine, Intern(*engine, "none")).tag, TagNull);
    EXPECT_EQ(GlobalSlot(*engine, Intern(*engine, "text")).tag, TagNull);
    EXPECT_EQ(GlobalSlot(*engine, Intern(*engine, "good")).tag, TagHost);
    EXPECT_EQ(Global("good"), "[object Counter]");
}

TEST_F(HostClass, MembersResolveThroughClassThenOwnTableThenPrototype) {
    Assembler a;
    a.Function(".main");
    NewInto(a, "x", {5});
    NewInto(a, "y", {7});
    a.Op(OP_PUSHINT1).Global(OP_LOADGLOBAL, "x").Global(OP_SETMEMBER, "foo");     // own table of x
    a.Op(OP_PUSHINT2).Global(OP_LOADGLOBAL, "Counter").Global(OP_SETMEMBER, "bar");  // class prototype
    a.Const(40).Global(OP_LOADGLOBAL, "y").Global(OP_SETMEMBER, "value");          // class property
    a.Global(OP_LOADGLOBAL, "x").Global(OP_GETMEMBER, "foo").Global(OP_STOREGLOBAL, "xfoo");
    a.Global(OP_LOADGLOBAL, "y").Global(OP_GETMEMBER, "foo").Global(OP_STOREGLOBAL, "yfoo");
    a.Global(OP_LOADGLOBAL, "y").Global(OP_GETMEMBER, "bar").Global(OP_STOREGLOBAL, "ybar");
    a.Op(OP_PUSHINT2).Op(OP_PUSHINT1).Global(OP_LOADGLOBAL, "y").Global(OP_CALLMETHOD, "get").Op(OP_NIP, 3);
    a.Global(OP_STOREGLOBAL, "yget");
    a.Const(5).Global(OP_LOADGLOBAL, "x").Global(OP_SETMEMBER, "__proto__");
    a.Op(OP_PUSHTRUE).Op(OP_RETURN);
    ASSERT_TRUE(Run(a)) << Message();
    EXPECT_EQ(Global("xfoo"), "1");
    EXPECT_EQ(Global("yfoo"), "undefined");
    EXPECT_EQ(Global("ybar"), "2");
    EXPECT_EQ(Global("yget"), "42");
    std::vector<std::string> expected = {"Warning: using undefined property \"foo\"",
                                         "Warning: can't set property \"__proto__\" with a wrong type"};
    EXPECT_EQ(traced, expected);
}

TEST_F(HostClass, DeletingTheVariableReleasesTheInstanceAtOnce) {
    Assembler a;
    a.Function(".main");
    NewInto(a, "x", {5});
    a.Global(OP_LOADGLOBAL, "x").Global(OP_STOREGLOBAL, "held");
    a.Op(OP_PUSHNULL).Global(OP_DELGLOBAL, "x").Op(OP_POP);
    a.Op(OP_PUSHINT0).Global(OP_LOADGLOBAL, "held").Global(OP_CALLMETHOD, "get").Op(OP_NIP, 2);
    a.Op(OP_RETURN);
    ASSERT_TRUE(Run(a)) << Message();
    EXPECT_EQ(g_released, 1);
    EXPECT_EQ(Result().tag, TagUndefined);
    ASSERT_EQ(traced.size(), 1u);
    EXPECT_EQ(traced[0], "Warning: unknown method \"get\"");
    EXPECT_EQ(GlobalSlot(*engine, Intern(*engine, "x")).tag, TagUndefined);
}

TEST_F(HostClass, UnreferencedInstancesAreReleasedByTheEndOfTheRun) {
    // for (i = 0; i < 1000; i++) new Counter(i);
    Assembler a;
    a.Function(".main");
    auto top = a.NewLabel(), done = a.NewLabel();
    a.Op(OP_PUSHINT0).Global(OP_STOREGLOBAL, "i");
    a.Bind(top);
    a.Global(OP_LOADGLOBAL, "i").Const(1000).Op(OP_LT).Jump(OP_JUMPIFFALSE, done);
    a.Global(OP_LOADGLOBAL, "i").Op(OP_PUSHINT1).Global(OP_LOADGLOBAL, "Counter").Op(OP_NEW).Op(OP_SWAP);
    a.Op(OP_NIP, 3).Op(OP_POP);
    a.Global(OP_LOADGLOBAL, "i").Op(OP_PUSHINT1).Op(OP_ADD).Global(OP_STOREGLOBAL, "i").Jump(OP_JUMP, top);
    a.Bind(done);
    NewInto(a, "kept", {1});
    a.Op(OP_PUSHTRUE).Op(OP_RETURN);
    ASSERT_TRUE(Run(a)) << Message();
    EXPECT_EQ(g_released, 1000);
    DestroyEngine(engine);
    engine = nullptr;
    EXPECT_EQ(g_released, 1001) << "destroying the engine releases what is still referenced";
    engine = CreateEngine(kDefaultStackSize, nullptr, 0);
}

TEST_F(HostClass, ConstructorSeesANegatedLiteralCount) {
    // The code of an array literal [10, 20, 12] hands Counter -3 and the three elements.
    Assembler a;
    a.Function(".main");
    a.Const(12).Const(20).Const(10).Op(OP_PUSHINT, -3).Global(OP_LOADGLOBAL, "Summer").Op(OP_NEW).Op(OP_SWAP);
    a.Op(OP_NIP, 5).Op(OP_RETURN);
    CScriptClass* cls = NewClass(*engine);
    cls->onConstruct = [](CScriptEngine&, CScriptClass*, const CArgBlock& args, CScriptValue* result) {
        int64_t sum = 0;
        for (int i = 1; i <= -args.Count(); ++i) sum = sum * 100 + args.Data()[i].i;
        *result = MakeInt(args.Count() * 1000000 + sum);
    };
    DefineGlobalClass(*engine, "Summer", cls);
    ASSERT_TRUE(Run(a)) << Message();
    EXPECT_EQ(Result().i, -3000000 + 102012);
}

TEST_F(HostClass, WithScopesResolveNamesAndMethods) {
    // with (x) { value = 11; r = get(1); v = value; }
    Assembler a;
    a.Function(".main");
    NewInto(a, "x", {5});
    a.Global(OP_LOADGLOBAL, "x").Op(OP_PUSHWITH);
    a.Const(11).Global(OP_STORENAME, "value");
    a.Op(OP_PUSHINT1).Op(OP_PUSHINT1).Global(OP_LOADNAME, "get").Global(OP_CALLNAME, "get").Op(OP_NIP, 3);
    a.Global(OP_STORENAME, "r");
    a.Global(OP_LOADNAME, "value").Global(OP_STORENAME, "v");
    a.Op(OP_POPWITH, 1);
    a.Op(OP_PUSHTRUE).Op(OP_RETURN);
    ASSERT_TRUE(Run(a)) << Message();
    EXPECT_EQ(Global("r"), "12");
    EXPECT_EQ(Global("v"), "11");
}

}  // namespace
}  // namespace nerva::test
