// The linker refuses damaged images as a whole with the runtime error, before running any of
// their code; valid images link their constants, functions and renumbered anonymous names.
#include <gtest/gtest.h>

#include <functional>

#include "runtime/engine.h"
#include "runtime/compiler_hook.h"
#include "runtime/object.h"
#include "tests/runtime/runtime_test_util.h"

namespace nerva::test {
namespace {

const char* const kRefused = "Runtime error: Unimplemented Nerva Script bytecode";

class Linker : public EngineTest {};

TEST_F(Linker, RefusesMalformedImagesBeforeRunningAnything) {
    struct Case {
        const char* what;
        std::function<void(Assembler&)> build;
        bool trailer = true;
    } cases[] = {
        {"name operand past the pool", [](Assembler& a) { a.Op(OP_LOADGLOBAL, 99); }},
        {"name operand that is not a name", [](Assembler& a) { a.Op(OP_LOADGLOBAL, a.Int(5)); }},
        {"constant past the pool", [](Assembler& a) { a.Op(OP_PUSHCONST, 3); }},
        {"jump out of the function", [](Assembler& a) { a.Op(OP_JUMP, 100); }},
        {"jump backward out of the function", [](Assembler& a) { a.Op(OP_JUMP, -40); }},
        {"jump into an operand", [](Assembler& a) { a.Op(OP_PUSHINT, 7).Op(OP_JUMP, -8); }},
        {"truncated operand", [](Assembler& a) { a.Bytes({OP_PUSHTRUE, OP_RETURN, OP_PUSHINT, 0, 0}); }, false},
        {"unknown constant kind", [](Assembler& a) { a.Raw(0x07, {}); }},
        {"string longer than its section", [](Assembler& a) { a.Raw(0x04, {0, 0, 1, 0, 'a', 0}); }},
        {"name without its NUL", [](Assembler& a) { a.Raw(0x0A, {'a', 'b'}); }},
        {"negative NIP", [](Assembler& a) { a.Op(OP_NIP, -2); }},
        {"negative LOCALS", [](Assembler& a) { a.Op(OP_LOCALS, -3); }},
        {"popping far above the frame",
         [](Assembler& a) {
             for (int i = 0; i < 12; ++i) a.Op(OP_POPN, 100);
         }},
        {"ARGS after popping the frame's own slots",
         [](Assembler& a) { a.Op(OP_POPN, 10).Op(OP_PUSHINT0).Op(OP_ARGS, 60); }},
        {"a loop that pops on every turn",
         [](Assembler& a) {
             auto top = a.NewLabel();
             a.Bind(top);
             a.Op(OP_POP).Jump(OP_JUMP, top);
         }},
    };
    for (const Case& c : cases) {
        Assembler a;
        a.Function("early");
        a.Op(OP_PUSHTRUE).Op(OP_RETURN);
        a.Function(".main");
        a.Op(OP_PUSHTRUE).Global(OP_STOREGLOBAL, "ran");
        c.build(a);
        if (c.trailer) a.Op(OP_PUSHTRUE).Op(OP_RETURN);
        EXPECT_FALSE(Run(a)) << c.what;
        EXPECT_EQ(Message(), kRefused) << c.what;
        int32_t ran = FindAtom(*engine, "ran");
        EXPECT_TRUE(ran < 0 || GlobalSlot(*engine, uint32_t(ran)).tag == TagUndefined) << c.what << ": nothing ran";
        int32_t early = FindAtom(*engine, "early");
        EXPECT_TRUE(early < 0 || GlobalSlot(*engine, uint32_t(early)).tag == TagUndefined) << c.what << ": nothing bound";
    }
}

TEST_F(Linker, RefusesBadTablesAndDebugRecords) {
    Assembler a;
    a.Function(".main");
    a.Op(OP_PUSHTRUE).Op(OP_RETURN);
    std::vector<uint8_t> good = a.Build();
    ASSERT_TRUE(RunBuffer(*engine, good.data(), good.size())) << Message();

    auto patch = [&](uint32_t section, uint32_t at, std::vector<uint8_t> bytes) {
        std::vector<uint8_t> b = good;
        uint32_t offset = vantor::ReadLE32(&b[8 + 12 * section]);
        for (size_t i = 0; i < bytes.size(); ++i) b[offset + at + i] = bytes[i];
        return b;
    };
    std::vector<std::pair<const char*, std::vector<uint8_t>>> cases = {
        {"function count beyond the table", patch(2, 0, {0, 0, 0, 9})},
        {"function offset beyond the code", patch(2, 10, {0, 0, 1, 0})},
    };
    {
        Assembler d;
        d.Function(".main");
        d.Op(OP_PUSHTRUE).Op(OP_RETURN);
        d.SourceName("x.nvs");
        std::vector<uint8_t> b = d.Build();
        b.push_back(9);  // a debug record of an unknown kind
        vantor::WriteLE32(&b[12 + 36], vantor::ReadLE32(&b[12 + 36]) + 1);
        cases.emplace_back("unknown debug kind", b);
    }
    for (auto& [what, bytes] : cases) {
        EXPECT_FALSE(RunBuffer(*engine, bytes.data(), bytes.size())) << what;
        EXPECT_EQ(Message(), kRefused) << what;
    }
}

TEST_F(Linker, UnknownOpcodesFailOnlyWhenReached) {
    Assembler a;
    auto skip = a.NewLabel();
    a.Function(".main");
    a.Op(OP_PUSHINT1).Global(OP_STOREGLOBAL, "before");
    a.Jump(OP_JUMP, skip);
    a.Bytes({0x01, 0x7F, 0x6B});
    a.Bind(skip);
    a.Op(OP_PUSHINT2).Global(OP_STOREGLOBAL, "after");
    a.Bytes({0xFF});
    a.Op(OP_PUSHTRUE).Op(OP_RETURN);
    EXPECT_FALSE(Run(a));
    EXPECT_EQ(Message(), kRefused);
    EXPECT_EQ(GlobalSlot(*engine, Intern(*engine, "after")).i, 2);
}

TEST_F(Linker, AnonymousFunctionsAreRenumberedOnEveryLink) {
    // function @F_1() { return 5; }  main: r = @F_1();
    Assembler a;
    a.Function("@F_1");
    a.Const(5).Op(OP_RETURN);
    a.Function(".main");
    a.Op(OP_PUSHINT0).Global(OP_LOADGLOBAL, "@F_1").Op(OP_CALL).Op(OP_NIP, 2).Op(OP_RETURN);
    std::vector<uint8_t> image = a.Build();
    ASSERT_TRUE(RunBuffer(*engine, image.data(), image.size())) << Message();
    EXPECT_EQ(Result().i, 5);
    EXPECT_EQ(AnonymousFunctionCounter(*engine), 1u);
    ASSERT_TRUE(RunBuffer(*engine, image.data(), image.size())) << Message();
    EXPECT_EQ(Result().i, 5);
    EXPECT_EQ(AnonymousFunctionCounter(*engine), 2u);
    EXPECT_GE(FindAtom(*engine, "@F_1"), 0);
    EXPECT_GE(FindAtom(*engine, "@F_2"), 0) << "the second link names its function @F_2";
    EXPECT_EQ(GlobalSlot(*engine, Intern(*engine, "@F_2")).tag, TagFunction);
}

TEST_F(Linker, ConstantKindsTheLoaderAccepts) {
    Assembler a;
    a.Function(".main");
    a.Op(OP_PUSHCONST, a.Raw(0x01, {})).Global(OP_STOREGLOBAL, "n");
    a.Op(OP_PUSHCONST, a.Raw(0x02, {1})).Global(OP_STOREGLOBAL, "b");
    a.Op(OP_PUSHCONST, a.Raw(0x0D, {})).Global(OP_STOREGLOBAL, "nan");
    a.Const(-5000000000).Global(OP_STOREGLOBAL, "big");
    a.ConstS("x").Op(OP_RETURN);
    ASSERT_TRUE(Run(a)) << Message();
    EXPECT_EQ(GlobalSlot(*engine, Intern(*engine, "n")).tag, TagNull);
    EXPECT_EQ(GlobalSlot(*engine, Intern(*engine, "b")).tag, TagBoolean);
    EXPECT_EQ(GlobalSlot(*engine, Intern(*engine, "nan")).tag, TagNaN);
    EXPECT_EQ(GlobalSlot(*engine, Intern(*engine, "big")).i, -5000000000);
    EXPECT_EQ(Result().tag, TagString);
    EXPECT_TRUE(Result().s->flags & kStringStatic) << "string constants are static";
}

}  // namespace
}  // namespace nerva::test
