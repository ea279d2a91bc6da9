// The interpreter: one dispatch loop over linked code words (opcode in the low byte; the
// upper 24 bits of GETMEMBER and SETMEMBER words cache the slot where the name was last
// found, those of a fused sequence's first word index its FusedOp record). Stack pointer,
// frame and code address live in locals; they are written back to the engine before
// anything that may collect or re-enter scripts.
#include <cmath>
#include <cstring>

#include "runtime/engine.h"
#include "runtime/engine_internal.h"
#include "runtime/member.h"
#include "runtime/object.h"
#include "runtime/opcodes.h"
#include "runtime/script_class.h"

namespace nerva {

namespace {

constexpr int kMaxNesting = 160;

struct NestingGuard {
    CScriptEngine& e;
    explicit NestingGuard(CScriptEngine& engine) : e(engine) { ++e.nesting; }
    ~NestingGuard() { --e.nesting; }
};

inline bool HoldsReference(const CScriptValue& v) {
    return v.tag == TagString || v.tag == TagArray || v.tag == TagObject || v.tag == TagHost || v.tag == TagFunction;
}

double AsDouble(const CScriptValue& v) { return v.tag == TagInteger ? double(v.i) : v.f; }

CScriptValue Numeric(CScriptEngine& e, const CScriptValue& v) {
    return (v.tag == TagInteger || v.tag == TagFloat || v.tag == TagNaN) ? v : ToNumber(e, v);
}

CScriptValue Concat(CScriptEngine& e, const CScriptString* a, const CScriptString* b) {
    uint64_t n = uint64_t(a->length) + b->length;
    if (n > 0x3FFFFFFF) RaiseRuntimeError(e, "Out of memory");
    char16_t* out;
    CScriptValue v = MakeStringBuffer(e, uint32_t(n), &out);
    if (a->length) std::memcpy(out, a->chars, size_t(a->length) * 2);
    if (b->length) std::memcpy(out + a->length, b->chars, size_t(b->length) * 2);
    return v;
}

CScriptValue Arith(CScriptEngine& e, uint8_t op, CScriptValue* pa, CScriptValue* pb) {
    *pa = Numeric(e, *pa);
    *pb = Numeric(e, *pb);
    CScriptValue a = *pa, b = *pb;
    switch (op) {
        case OP_ADD:
        case OP_SUB:
            if (a.tag == TagNaN || b.tag == TagNaN) return MakeNaN();
            if (a.tag == TagInteger && b.tag == TagInteger)
                return MakeInt(op == OP_ADD ? int64_t(uint64_t(a.i) + uint64_t(b.i)) : int64_t(uint64_t(a.i) - uint64_t(b.i)));
            return MakeFloat(op == OP_ADD ? AsDouble(a) + AsDouble(b) : AsDouble(a) - AsDouble(b));
        case OP_MUL: {
            if (a.tag == TagNaN || b.tag == TagNaN) return MakeNaN();
            if (a.tag == TagInteger && b.tag == TagInteger) return MakeInt(int64_t(uint64_t(a.i) * uint64_t(b.i)));
            double x = AsDouble(a), y = AsDouble(b);
            if ((x == 0 && std::isinf(y)) || (std::isinf(x) && y == 0)) return MakeNaN();
            return MakeFloat(x * y);
        }
        case OP_DIV: {
            if (a.tag == TagNaN || b.tag == TagNaN) return MakeNaN();
            double x = AsDouble(a), y = AsDouble(b);
            if (std::isnan(x) || std::isnan(y) || (std::isinf(x) && std::isinf(y)) || (x == 0 && y == 0)) return MakeNaN();
            if (std::isinf(x) && y == 0) return MakeFloat(x);
            return MakeFloat(x / y);
        }
        case OP_MOD: {
            if (a.tag == TagNaN || b.tag == TagNaN) return MakeNaN();
            double x = AsDouble(a), y = AsDouble(b);
            if (std::isnan(x) || std::isnan(y) || std::isinf(x) || y == 0) return MakeNaN();
            if (std::isinf(y) || x == 0) return a;
            if (a.tag == TagInteger && b.tag == TagInteger) return MakeInt(b.i == -1 ? 0 : a.i % b.i);
            return MakeFloat(std::fmod(x, y));
        }
        default:
            return MakeNaN();
    }
}

CScriptValue Bitwise(CScriptEngine& e, uint8_t op, CScriptValue* pa, CScriptValue* pb) {
    int64_t a, b;
    unsigned count;
    if (pa->tag == TagInteger && pb->tag == TagInteger) {
        a = pa->i;
        b = pb->i;
        count = unsigned(b & 0xFF);
    } else {
        a = ToInt64(e, *pa);
        b = ToInt64(e, *pb);
        count = unsigned(uint32_t(ToInt32(e, *pb)) & 0xFF);
    }
    switch (op) {
        case OP_BITAND: return MakeInt(a & b);
        case OP_BITOR: return MakeInt(a | b);
        case OP_BITXOR: return MakeInt(a ^ b);
        case OP_SHL: return MakeInt(count >= 64 ? 0 : int64_t(uint64_t(a) << count));
        case OP_SHR: return MakeInt(count >= 64 ? (a < 0 ? -1 : 0) : (a >> count));
        case OP_USHR: return MakeInt(count == 0 ? a : (count >= 64 ? 0 : int64_t(uint64_t(a) >> count)));
        default: return MakeInt(0);
    }
}

bool NotOf(const CScriptValue& v) {
    switch (v.tag) {
        case TagBoolean: return (v.u & 0xFFFFFFFFu) == 0;
        case TagInteger: return v.i == 0;
        case TagFloat: return v.f == 0.0;
        case TagString: return v.s->length == 0;
        case TagUndefined:
        case TagNull:
        case TagNaN: return true;
        default: return false;
    }
}

// Integer arithmetic of the fused sequences, with the results ADD, SUB, MUL, MOD and the
// bitwise operators give two integers; false where MOD must take its general path.
inline bool IntArith(uint8_t op, int64_t x, int64_t y, int64_t& out) {
    switch (op) {
        case OP_ADD: out = int64_t(uint64_t(x) + uint64_t(y)); return true;
        case OP_SUB: out = int64_t(uint64_t(x) - uint64_t(y)); return true;
        case OP_MUL: out = int64_t(uint64_t(x) * uint64_t(y)); return true;
        case OP_MOD:
            if (y <= 0 || x == 0) return false;
            out = x % y;
            return true;
        case OP_BITAND: out = x & y; return true;
        case OP_BITOR: out = x | y; return true;
        default: out = x ^ y; return true;
    }
}

// The dense cell an integer index reads, or null when GETINDEX must take its general path.
inline const CScriptValue* DenseCell(const CScriptValue* container, const CScriptValue* key) {
    if (container->tag != TagArray || key->tag != TagInteger) return nullptr;
    CScriptArray* a = container->a;
    uint64_t index = uint32_t(uint64_t(key->i));
    return index < a->denseCapacity && index < a->length ? &a->dense[index] : nullptr;
}

// Stores into a dense cell as SETINDEX does; false when it must take its general path.
inline bool StoreDense(const CScriptValue* container, const CScriptValue* key, const CScriptValue& value) {
    if (container->tag != TagArray || key->tag != TagInteger) return false;
    CScriptArray* a = container->a;
    uint64_t index = uint32_t(uint64_t(key->i));
    if (index >= a->denseCapacity) return false;
    a->dense[index] = value;
    if (index >= a->length) a->length = index + 1;
    return true;
}

void ReleaseVariable(CScriptValue* var) {
    if (var->tag == TagHost) {
        ReleaseHostData(var->h);
        *var = MakeUndefined();
    }
}

void AppendWith(CScriptEngine& e, CallRecord* cf, const CScriptValue& v) {
    WithList* w = cf->with;
    if (!w || w->count == w->capacity) {
        uint32_t cap = w ? w->capacity * 2 : 4;
        auto* grown = static_cast<WithList*>(HeapRealloc(e, w, sizeof(WithList) + size_t(cap) * sizeof(CScriptValue)));
        if (!w) grown->count = 0;
        grown->capacity = cap;
        cf->with = w = grown;
    }
    w->values[w->count++] = v;
}

// A count slot that is not a sane integer (only damaged code makes one) is read as 0, so an
// argument block never reaches past the stack. Negative counts are kept: an array literal
// passes its element count negated to the Array constructor.
inline void SanitizeCount(CScriptEngine& e, CScriptValue* countSlot) {
    CScriptValue* end = e.stackMemory + e.stackTotal;
    if (countSlot->tag != TagInteger || countSlot->i <= -(end - countSlot) || countSlot->i >= end - countSlot)
        *countSlot = MakeInt(0);
}

// The body of the interpreter: runs from the current frame until the frame that started
// this invocation returns, writing its value to result.
void Interpret(CScriptEngine& e, CScriptValue& result) {
    CScriptValue* sp = e.sp;
    CallRecord* cf = &e.frames[e.frameCount - 1];
    CScriptValue* fp = cf->fp;
    CCompiledFunction* fn = cf->fn;
    FusedOp* fused = fn->fused;  // the current function's fused sequences
    uint32_t* pc = fn->words;
    uint32_t w = 0;
    uint32_t argsN = 0;

#define SYNC() (e.sp = sp, e.pc = pc)
#define OPERAND() (*pc)
#define SAFE_POINT()                                    \
    do {                                                \
        if (e.heap.WantsCollection()) {                 \
            SYNC();                                     \
            CollectAtSafePoint(e);                      \
        }                                               \
    } while (0)
#define OVERFLOW()                                      \
    do {                                                \
        SYNC();                                         \
        RaiseRuntimeError(e, "stack overflow");         \
    } while (0)
#ifdef NERVA_INSTRUCTION_BUDGET
#define SPEND()                                                       \
    do {                                                              \
        if (--e.budget == 0 || std::chrono::steady_clock::now() > e.budgetDeadline) { \
            SYNC();                                                   \
            RaiseRuntimeError(e, "hook break %d", 1);                 \
        }                                                             \
    } while (0)
#else
#define SPEND() ((void)0)
#endif
// A backward jump is a loop turn: it spends budget in fuzz builds and checks that the
// function's stack need still fits, since a loop may have pushed before it jumps back.
#define LOOP_TURN()                                                 \
    do {                                                            \
        SPEND();                                                    \
        if (sp - fn->stackNeed < e.stackMemory) OVERFLOW();         \
    } while (0)

// Computed goto where the compiler has it; NERVA_SWITCH_DISPATCH forces the portable switch
// (built that way once in a while so the fallback keeps working).
#if defined(__GNUC__) && !defined(NERVA_SWITCH_DISPATCH)
#define USE_LABELS 1
    static void* const kLabels[256] = {
#define X(n) &&L_BAD,
        X(0) X(1) X(2) X(3) X(4) X(5) X(6) X(7) X(8) X(9) X(10) X(11) X(12) X(13) X(14) X(15) X(16) X(17) X(18) X(19)
        X(20) X(21) X(22) X(23) X(24) X(25) X(26) X(27) X(28) X(29) X(30) X(31) X(32)
#undef X
        &&L_CALLNAME, &&L_LOADNAME, &&L_ADD2, &&L_INC1, &&L_JUMPIFTRUE, &&L_JUMPIFFALSE, &&L_THROW, &&L_ENDTRY,
        &&L_TRY, &&L_POPWITH, &&L_PUSHWITH, &&L_LOADARGDYN, &&L_ARGS, &&L_LOCALS, &&L_DELINDEX, &&L_DELMEMBER,
        &&L_NEW, &&L_TYPEOF, &&L_RETURN, &&L_CALL, &&L_JUMP, &&L_CALLMETHOD, &&L_JUMPIFTRUTHY, &&L_JUMPIFFALSY,
        &&L_USHR, &&L_SHR, &&L_SHL, &&L_BITXOR, &&L_BITOR, &&L_NOT, &&L_BITAND, &&L_NEG,
        &&L_MOD, &&L_DIV, &&L_MUL, &&L_ADD, &&L_SUB, &&L_STRICTNE, &&L_STRICTEQ, &&L_GE,
        &&L_LE, &&L_GT, &&L_LT, &&L_NE, &&L_EQ, &&L_ENUMNEXT, &&L_SETINDEX, &&L_GETINDEX,
        &&L_SETMEMBER, &&L_GETMEMBER, &&L_STOREVAR, &&L_LOADVAR, &&L_STOREARG, &&L_LOADARG, &&L_STOREGLOBAL,
        &&L_LOADGLOBAL, &&L_PUSHINT, &&L_PUSHINT3, &&L_PUSHINT2, &&L_PUSHINT1, &&L_PUSHINT0, &&L_PUSHUNDEF,
        &&L_PUSHFALSE, &&L_PUSHTRUE, &&L_PUSHNULL, &&L_PUSHCONST, &&L_ROT, &&L_SWAP, &&L_NIP, &&L_POPN,
        &&L_POP, &&L_DUP, &&L_NOP, &&L_END, &&L_BAD, &&L_STORENAME, &&L_DELNAME, &&L_DELGLOBAL, &&L_DELVAR,
        &&L_DELARG,
        &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, 
        &&L_PROLOGUE, &&L_ARITH, &&L_ARITHSTORE, &&L_ARITHTOP, &&L_GETINDEXF, &&L_GETINDEXTOP, &&L_SETINDEXF, &&L_SETINDEXVALUE,
        &&L_GETMEMBERF, &&L_ADDSTORE, &&L_ADDSTORECONST, &&L_ADDTOP, &&L_ADDTOPCONST, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_CJ_LT_SS, &&L_CJ_LE_SS, &&L_CJ_GT_SS, &&L_CJ_GE_SS, &&L_CJ_EQ_SS, &&L_CJ_NE_SS, &&L_CJ_LT_SK, &&L_CJ_LE_SK,
        &&L_CJ_GT_SK, &&L_CJ_GE_SK, &&L_CJ_EQ_SK, &&L_CJ_NE_SK, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_JCJ_LT_SS, &&L_JCJ_LE_SS, &&L_JCJ_GT_SS, &&L_JCJ_GE_SS, &&L_JCJ_EQ_SS, &&L_JCJ_NE_SS, &&L_JCJ_LT_SK, &&L_JCJ_LE_SK,
        &&L_JCJ_GT_SK, &&L_JCJ_GE_SK, &&L_JCJ_EQ_SK, &&L_JCJ_NE_SK, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_LS_LT_SS, &&L_LS_LE_SS, &&L_LS_GT_SS, &&L_LS_GE_SS, &&L_LS_EQ_SS, &&L_LS_NE_SS, &&L_LS_LT_SK, &&L_LS_LE_SK,
        &&L_LS_GT_SK, &&L_LS_GE_SK, &&L_LS_EQ_SK, &&L_LS_NE_SK, &&L_LS_LT_SS_K, &&L_LS_LE_SS_K, &&L_LS_GT_SS_K, &&L_LS_GE_SS_K,
        &&L_LS_EQ_SS_K, &&L_LS_NE_SS_K, &&L_LS_LT_SK_K, &&L_LS_LE_SK_K, &&L_LS_GT_SK_K, &&L_LS_GE_SK_K, &&L_LS_EQ_SK_K, &&L_LS_NE_SK_K,
        &&L_TCJ_LT_S, &&L_TCJ_LE_S, &&L_TCJ_GT_S, &&L_TCJ_GE_S, &&L_TCJ_EQ_S, &&L_TCJ_NE_S, &&L_TCJ_LT_K, &&L_TCJ_LE_K,
        &&L_TCJ_GT_K, &&L_TCJ_GE_K, &&L_TCJ_EQ_K, &&L_TCJ_NE_K, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
#undef X
    };
#define DISPATCH()                        \
    do {                                  \
        w = *pc++;                        \
        goto* kLabels[w & 0xFF];          \
    } while (0)
#define CASE(name) L_##name:
#define INTERNAL(name, code) L_##name:
#define NEXT() DISPATCH()
#define RUN_AS(op)                        \
    do {                                  \
        w = (op);                         \
        goto* kLabels[w];                 \
    } while (0)
#else
#define DISPATCH() goto dispatch
#define CASE(name) case OP_##name: L_##name:
#define INTERNAL(name, code) case code: L_##name:
#define NEXT() goto dispatch
#define RUN_AS(op)                        \
    do {                                  \
        w = (op);                         \
        goto reswitch;                    \
    } while (0)
#endif
// Operand of a fused sequence: its frame slot or its constant.
#define SOURCE(s) ((s).constant ? &(s).value : fp + (s).offset)

    for (;;) {
        try {
#ifdef USE_LABELS
            DISPATCH();
#else
        dispatch:
            w = *pc++;
        reswitch:
            switch (uint8_t(w)) {
                default: goto L_BAD;
#endif

            CASE(PUSHINT0) { *sp-- = MakeInt(0); NEXT(); }
            CASE(PUSHINT1) { *sp-- = MakeInt(1); NEXT(); }
            CASE(PUSHINT2) { *sp-- = MakeInt(2); NEXT(); }
            CASE(PUSHINT3) { *sp-- = MakeInt(3); NEXT(); }
            CASE(PUSHINT) { *sp-- = MakeInt(int32_t(*pc++)); NEXT(); }
            CASE(PUSHUNDEF) { *sp-- = MakeUndefined(); NEXT(); }
            CASE(PUSHNULL) { *sp-- = MakeNull(); NEXT(); }
            CASE(PUSHTRUE) { *sp-- = MakeBool(true); NEXT(); }
            CASE(PUSHFALSE) { *sp-- = MakeBool(false); NEXT(); }
            CASE(PUSHCONST) { *sp-- = e.constants[*pc++]; NEXT(); }
            CASE(NOP) { NEXT(); }
            CASE(POP) { ++sp; NEXT(); }
            CASE(POPN) { sp += *pc++; NEXT(); }
            CASE(DUP) { sp[0] = sp[1]; --sp; NEXT(); }
            CASE(SWAP) {
                CScriptValue t = sp[1];
                sp[1] = sp[2];
                sp[2] = t;
                NEXT();
            }
            CASE(NIP) {
                uint32_t n = *pc++;
                sp[1 + n] = sp[1];
                sp += n;
                NEXT();
            }
            CASE(ROT) {
                int32_t n = int32_t(*pc++);
                if (n > 1) {
                    CScriptValue t = sp[1];
                    std::memmove(sp + 1, sp + 2, size_t(n - 1) * sizeof(CScriptValue));
                    sp[n] = t;
                } else if (n < -1) {
                    CScriptValue t = sp[-n];
                    std::memmove(sp + 2, sp + 1, size_t(-n - 1) * sizeof(CScriptValue));
                    sp[1] = t;
                }
                NEXT();
            }
            // The payload changes whatever the tag, except that a payload which is a heap
            // reference is left alone: moving it would forge a pointer.
            CASE(ADD2) {
                if (!HoldsReference(sp[1])) sp[1].u += 2;
                NEXT();
            }
            CASE(INC1) {
                if (!HoldsReference(sp[1])) sp[1].u += 1;
                NEXT();
            }

            CASE(LOADVAR) { *sp-- = fp[-4 - int32_t(*pc++)]; NEXT(); }
            CASE(STOREVAR) { fp[-4 - int32_t(*pc++)] = *++sp; NEXT(); }
            CASE(LOADARG) { *sp-- = fp[1 + *pc++]; NEXT(); }
            CASE(STOREARG) { fp[1 + *pc++] = *++sp; NEXT(); }
            CASE(LOADARGDYN) {
                CScriptValue& k = sp[1];
                if (k.tag == TagInteger && k.i >= 0 && uint64_t(k.i) < cf->frameSlots)
                    k = fp[1 + k.i];
                else
                    k = MakeUndefined();
                NEXT();
            }
            CASE(LOADGLOBAL) {
                uint32_t atom = *pc++;
                const CScriptValue& g = e.globals[atom];
                if (g.tag == TagUndefined && (e.flags & kEngineWarnUndefinedVariables)) {
                    SYNC();
                    Warn(e, "Warning: using undefined variable \"%s\"", AtomName(e, atom).c_str());
                }
                *sp-- = e.globals[atom];
                NEXT();
            }
            CASE(STOREGLOBAL) {
                CScriptValue v = *++sp;
                if (v.tag == TagUndefined) v.u = 0;
                e.globals[*pc++] = v;
                NEXT();
            }

            CASE(ADD) {
                CScriptValue& a = sp[2];
                CScriptValue& b = sp[1];
                if (a.tag == TagInteger && b.tag == TagInteger) {
                    a.i = int64_t(uint64_t(a.i) + uint64_t(b.i));
                    ++sp;
                    NEXT();
                }
                if (a.tag == TagFloat && b.tag == TagFloat) {
                    a.f += b.f;
                    ++sp;
                    NEXT();
                }
                SYNC();
                if (a.tag == TagString || b.tag == TagString) {
                    if (a.tag != TagString) a = ToString(e, a);
                    if (b.tag != TagString) b = ToString(e, b);
                    a = Concat(e, a.s, b.s);
                    ++sp;
                    SAFE_POINT();
                    NEXT();
                }
                a = Arith(e, OP_ADD, &a, &b);
                ++sp;
                NEXT();
            }
            CASE(SUB) {
                CScriptValue& a = sp[2];
                CScriptValue& b = sp[1];
                if (a.tag == TagInteger && b.tag == TagInteger) {
                    a.i = int64_t(uint64_t(a.i) - uint64_t(b.i));
                } else {
                    SYNC();
                    a = Arith(e, OP_SUB, &a, &b);
                }
                ++sp;
                NEXT();
            }
            CASE(MUL) {
                CScriptValue& a = sp[2];
                CScriptValue& b = sp[1];
                if (a.tag == TagInteger && b.tag == TagInteger) {
                    a.i = int64_t(uint64_t(a.i) * uint64_t(b.i));
                } else {
                    SYNC();
                    a = Arith(e, OP_MUL, &a, &b);
                }
                ++sp;
                NEXT();
            }
            CASE(DIV) {
                SYNC();
                sp[2] = Arith(e, OP_DIV, &sp[2], &sp[1]);
                ++sp;
                NEXT();
            }
            CASE(MOD) {
                CScriptValue& a = sp[2];
                CScriptValue& b = sp[1];
                if (a.tag == TagInteger && b.tag == TagInteger && b.i > 0 && a.i != 0) {
                    a.i = a.i % b.i;
                } else {
                    SYNC();
                    a = Arith(e, OP_MOD, &a, &b);
                }
                ++sp;
                NEXT();
            }
            CASE(NEG) {
                CScriptValue& v = sp[1];
                if (v.tag != TagInteger && v.tag != TagFloat && v.tag != TagNaN) {
                    SYNC();
                    v = ToNumber(e, v);
                }
                if (v.tag == TagInteger)
                    v.i = int64_t(0 - uint64_t(v.i));
                else if (v.tag == TagFloat)
                    v.f = -v.f;
                NEXT();
            }
            CASE(BITAND) {
                if (sp[2].tag == TagInteger && sp[1].tag == TagInteger) {
                    sp[2].i &= sp[1].i;
                    ++sp;
                    NEXT();
                }
                goto bitwise_slow;
            }
            CASE(BITOR) {
                if (sp[2].tag == TagInteger && sp[1].tag == TagInteger) {
                    sp[2].i |= sp[1].i;
                    ++sp;
                    NEXT();
                }
                goto bitwise_slow;
            }
            CASE(BITXOR) {
                if (sp[2].tag == TagInteger && sp[1].tag == TagInteger) {
                    sp[2].i ^= sp[1].i;
                    ++sp;
                    NEXT();
                }
                goto bitwise_slow;
            }
            CASE(SHL) CASE(SHR) CASE(USHR) {
            bitwise_slow:
                SYNC();
                sp[2] = Bitwise(e, uint8_t(w), &sp[2], &sp[1]);
                ++sp;
                NEXT();
            }
            CASE(NOT) { sp[1] = MakeBool(NotOf(sp[1])); NEXT(); }

            CASE(EQ) CASE(NE) {
                bool eq;
                if (sp[2].tag == TagInteger && sp[1].tag == TagInteger) {
                    eq = sp[2].i == sp[1].i;
                } else {
                    SYNC();
                    eq = LooseEquals(e, sp[2], sp[1]);
                }
                sp[2] = MakeBool(uint8_t(w) == OP_EQ ? eq : !eq);
                ++sp;
                NEXT();
            }
            CASE(STRICTEQ) CASE(STRICTNE) {
                bool eq = StrictEquals(sp[2], sp[1]);
                sp[2] = MakeBool(uint8_t(w) == OP_STRICTEQ ? eq : !eq);
                ++sp;
                NEXT();
            }
            CASE(LT) CASE(LE) CASE(GT) CASE(GE) {
                int c;
                if (sp[2].tag == TagInteger && sp[1].tag == TagInteger) {
                    c = sp[2].i < sp[1].i ? -1 : (sp[2].i > sp[1].i ? 1 : 0);
                } else {
                    SYNC();
                    c = Compare(e, sp[2], sp[1]);
                }
                if (c == 2) {
                    sp[2] = MakeUndefined();
                } else {
                    bool r;
                    switch (uint8_t(w)) {
                        case OP_LT: r = c < 0; break;
                        case OP_LE: r = c <= 0; break;
                        case OP_GT: r = c > 0; break;
                        default: r = c >= 0; break;
                    }
                    sp[2] = MakeBool(r);
                }
                ++sp;
                NEXT();
            }
            CASE(TYPEOF) {
                SYNC();
                sp[1] = StaticText(e, TypeOfText(sp[1]));
                SAFE_POINT();
                NEXT();
            }

            CASE(JUMP) {
                int32_t rel = int32_t(*pc);
                pc += 1 + rel;
                if (rel < 0) LOOP_TURN();
                NEXT();
            }
            CASE(JUMPIFTRUE) CASE(JUMPIFFALSE) CASE(JUMPIFTRUTHY) CASE(JUMPIFFALSY) {
                const CScriptValue& v = *++sp;
                bool taken;
                switch (uint8_t(w)) {
                    case OP_JUMPIFTRUE: taken = uint32_t(v.u) != 0; break;
                    case OP_JUMPIFFALSE: taken = uint32_t(v.u) == 0; break;
                    case OP_JUMPIFTRUTHY: taken = ToBoolean(v); break;
                    default: taken = !ToBoolean(v); break;
                }
                int32_t rel = int32_t(*pc);
                if (!taken) {
                    ++pc;
                    NEXT();
                }
                pc += 1 + rel;
                if (rel < 0) LOOP_TURN();
                NEXT();
            }

            CASE(GETMEMBER) {
                uint32_t atom = *pc++;
                CScriptValue* obj = sp + 1;
                if (obj->tag == TagObject) {
                    CScriptObject* o = obj->o;
                    uint32_t hint = w >> 8;
                    if (hint < o->count && o->slots[hint].key == int32_t(atom)) {
                        *obj = o->slots[hint].value;
                        NEXT();
                    }
                    PropSlot* slots = o->slots;
                    for (uint32_t i = 0, n = o->count; i < n; ++i) {
                        if (slots[i].key == int32_t(atom)) {
                            if (i < (1u << 24)) pc[-2] = (i << 8) | OP_GETMEMBER;
                            *obj = slots[i].value;
                            NEXT();
                        }
                    }
                    if (PropSlot* s = FindSlot(o, atom)) {
                        *obj = s->value;
                        NEXT();
                    }
                    SYNC();
                    Warn(e, "Warning: using undefined property \"%s\"", AtomName(e, atom).c_str());
                    *obj = MakeUndefined();
                    NEXT();
                }
                SYNC();
                CScriptValue out;
                GetMember(e, obj, atom, out);
                *obj = out;
                NEXT();
            }
            CASE(SETMEMBER) {
                uint32_t atom = *pc++;
                CScriptValue* obj = sp + 1;
                CScriptValue* val = sp + 2;
                if (obj->tag == TagObject) {
                    CScriptObject* o = obj->o;
                    uint32_t hint = w >> 8;
                    if (hint < o->count && o->slots[hint].key == int32_t(atom)) {
                        o->slots[hint].value = *val;
                        sp += 2;
                        NEXT();
                    }
                    SYNC();
                    SetProperty(e, o, atom, *val);
                    if (PropSlot* s = FindOwnSlot(o, atom)) {
                        uint32_t i = uint32_t(s - o->slots);
                        if (i < (1u << 24)) pc[-2] = (i << 8) | OP_SETMEMBER;
                    }
                } else {
                    SYNC();
                    SetMember(e, obj, atom, *val);
                }
                sp += 2;
                SAFE_POINT();
                NEXT();
            }
            CASE(GETINDEX) {
                CScriptValue* obj = sp + 2;
                const CScriptValue& key = sp[1];
                if (obj->tag == TagArray && key.tag == TagInteger) {
                    CScriptArray* a = obj->a;
                    uint64_t index = uint32_t(uint64_t(key.i));
                    if (index < a->denseCapacity && index < a->length) {
                        const CScriptValue& cell = a->dense[index];
                        *obj = cell.tag == TagAbsent ? MakeUndefined() : cell;
                        ++sp;
                        NEXT();
                    }
                }
                SYNC();
                CScriptValue out;
                GetIndex(e, obj, key, out);
                *obj = out;
                ++sp;
                NEXT();
            }
            CASE(SETINDEX) {
                CScriptValue* obj = sp + 2;
                const CScriptValue& key = sp[1];
                if (obj->tag == TagArray && key.tag == TagInteger) {
                    CScriptArray* a = obj->a;
                    uint64_t index = uint32_t(uint64_t(key.i));
                    if (index < a->denseCapacity) {
                        a->dense[index] = sp[3];
                        if (index >= a->length) a->length = index + 1;
                        sp += 3;
                        NEXT();
                    }
                }
                SYNC();
                SetIndex(e, obj, key, sp[3]);
                sp += 3;
                SAFE_POINT();
                NEXT();
            }
            CASE(DELINDEX) {
                SYNC();
                DeleteIndex(e, sp + 2, sp[1]);
                sp[2] = MakeUndefined();
                ++sp;
                NEXT();
            }
            CASE(DELMEMBER) {
                uint32_t atom = *pc++;
                if (sp[1].tag == TagObject) DeleteProperty(e, sp[1].o, atom);
                sp[1] = MakeUndefined();
                NEXT();
            }

            CASE(ENUMNEXT) {
                const CScriptValue& o = sp[2];
                const CScriptValue& i = sp[1];
                CScriptValue item = MakeUndefined();
                bool found = false;
                if (i.tag == TagInteger && i.i >= 0) {
                    if (o.tag == TagString) {
                        if (uint64_t(i.i) < o.s->length) {
                            item = MakeInt(o.s->chars[i.i]);
                            found = true;
                        }
                    } else if (o.tag == TagArray) {
                        if (uint64_t(i.i) < o.a->length) {
                            if (CScriptValue* cell = GetElement(o.a, uint64_t(i.i))) item = *cell;
                            found = true;
                        }
                    } else if (o.tag == TagObject) {
                        SYNC();
                        found = NameAt(e, o.o, uint64_t(i.i), item);
                    }
                }
                sp[0] = item;
                sp[-1] = MakeBool(found);
                sp -= 2;
                NEXT();
            }

            CASE(LOCALS) {
                uint32_t n = *pc++;
                if (sp - n - kStackMargin < e.stackLow) OVERFLOW();
                for (uint32_t i = 0; i < n; ++i) *sp-- = MakeUndefined();
                NEXT();
            }
            INTERNAL(PROLOGUE, kOpPrologue) {
                // LOADARG 1, ADD2, ARGS n: pc is at LOADARG's operand, n three words on.
                argsN = pc[3];
                pc += 4;
                goto args_body;
            }
            CASE(ARGS) {
                argsN = *pc++;
                ++sp;
            args_body:
                uint32_t n = argsN;
                uint32_t have = cf->frameSlots;
                if (n > have) {
                    uint32_t missing = n - have;
                    if (sp - missing - kStackMargin < e.stackLow) OVERFLOW();
                    CScriptValue* top = fp + have;  // highest slot of the frame
                    std::memmove(sp + 1 - missing, sp + 1, size_t(top - sp) * sizeof(CScriptValue));
                    for (CScriptValue* v = top - missing + 1; v <= top; ++v) *v = MakeUndefined();
                    fp -= missing;
                    sp -= missing;
                    cf->fp = fp;
                    cf->added += missing;
                    cf->frameSlots = n;
                }
                NEXT();
            }

            CASE(PUSHWITH) {
                SYNC();
                AppendWith(e, cf, sp[1]);
                ++sp;
                NEXT();
            }
            CASE(POPWITH) {
                uint32_t n = *pc++;
                if (cf->with && cf->with->count >= n) cf->with->count -= n;
                NEXT();
            }
            CASE(LOADNAME) {
                uint32_t atom = *pc++;
                SYNC();
                if (WithList* wl = cf->with) {
                    for (uint32_t i = 0; i < wl->count; ++i) {
                        CScriptValue out;
                        CScriptValue scope = wl->values[i];
                        CValueRoot root(e, &scope);
                        if (TryGetMember(e, &scope, atom, out)) {
                            *sp-- = out;
                            goto loadname_done;
                        }
                    }
                }
                if (e.globals[atom].tag == TagUndefined && (e.flags & kEngineWarnUndefinedVariables))
                    Warn(e, "Warning: using undefined variable \"%s\"", AtomName(e, atom).c_str());
                *sp-- = e.globals[atom];
            loadname_done:
                NEXT();
            }
            CASE(STORENAME) {
                uint32_t atom = *pc++;
                SYNC();
                if (WithList* wl = cf->with) {
                    for (uint32_t i = 0; i < wl->count; ++i) {
                        CScriptValue scope = wl->values[i];
                        CValueRoot root(e, &scope);
                        if (StoreIntoScope(e, &scope, atom, sp[1])) {
                            ++sp;
                            SAFE_POINT();
                            goto storename_done;
                        }
                    }
                }
                {
                    CScriptValue v = *++sp;
                    if (v.tag == TagUndefined) v.u = 0;
                    e.globals[atom] = v;
                }
            storename_done:
                NEXT();
            }
            CASE(DELNAME) {
                uint32_t atom = *pc++;
                if (WithList* wl = cf->with) {
                    for (uint32_t i = 0; i < wl->count; ++i) {
                        CScriptValue& scope = wl->values[i];
                        CScriptObject* table = scope.tag == TagObject ? scope.o : OwnTable(e, scope, false);
                        if (table && FindOwnSlot(table, atom)) {
                            DeleteProperty(e, table, atom);
                            break;
                        }
                    }
                }
                sp[1] = MakeUndefined();
                NEXT();
            }
            CASE(DELGLOBAL) {
                ReleaseVariable(&e.globals[*pc++]);
                sp[1] = MakeUndefined();
                NEXT();
            }
            CASE(DELVAR) {
                ReleaseVariable(&fp[-4 - int32_t(*pc++)]);
                sp[1] = MakeUndefined();
                NEXT();
            }
            CASE(DELARG) {
                ReleaseVariable(&fp[1 + *pc++]);
                sp[1] = MakeUndefined();
                NEXT();
            }

            CASE(TRY) {
                int32_t rel = int32_t(*pc++);
                e.handlers.push_back({true, sp, e.frameCount - 1, pc + rel});
                NEXT();
            }
            CASE(ENDTRY) {
                uint32_t n = *pc++;
                while (n-- > 0 && !e.handlers.empty() && e.handlers.back().script) e.handlers.pop_back();
                NEXT();
            }
            CASE(THROW) {
                SYNC();
                ThrowValue(e, sp[1]);
            }

            CASE(CALL) {
                CScriptValue* callee = sp + 1;
                SanitizeCount(e, sp + 2);
                if (callee->tag == TagFunction) {
                    CCompiledFunction* target = callee->fn->code;
                    *callee = MakeNull();
                    fn = target;
                    goto enter_frame;
                }
                if (callee->tag == TagHost && callee->h->cls && callee->h->cls->onCall) {
                    CHostObject* h = callee->h;
                    *sp = MakeUndefined();
                    e.sp = sp - 1;
                    h->cls->onCall(e, h->cls, h->data, sp, CArgBlock(sp + 2));
                    *callee = MakeNull();
                    --sp;
                    SAFE_POINT();
                    NEXT();
                }
                SYNC();
                Warn(e, "Warning: call a undefined function");
                *callee = MakeNull();
                *sp-- = MakeUndefined();
                NEXT();
            }
            CASE(CALLMETHOD) {
                uint32_t atom = *pc++;
                CScriptValue* recv = sp + 1;
                SanitizeCount(e, sp + 2);
                if (recv->tag == TagObject) {
                    // Methods held by the object itself: the slot cache of GETMEMBER.
                    CScriptObject* o = recv->o;
                    uint32_t hint = w >> 8;
                    PropSlot* slot = nullptr;
                    if (hint < o->count && o->slots[hint].key == int32_t(atom)) {
                        slot = &o->slots[hint];
                    } else {
                        for (uint32_t i = 0, n = o->count; i < n; ++i) {
                            if (o->slots[i].key == int32_t(atom)) {
                                slot = &o->slots[i];
                                if (i < (1u << 24)) pc[-2] = (i << 8) | OP_CALLMETHOD;
                                break;
                            }
                        }
                    }
                    if (slot && slot->value.tag == TagFunction) {
                        fn = slot->value.fn->code;
                        goto enter_frame;
                    }
                }
                CScriptFunction* target = nullptr;
                *sp = MakeUndefined();
                e.sp = sp - 1;
                MethodResult r = ResolveMethod(e, recv, atom, sp + 2, sp, &target);
                if (r == MethodResult::Script) {
                    fn = target->code;
                    goto enter_frame;
                }
                if (r == MethodResult::Unknown) {
                    SYNC();
                    Warn(e, "Warning: unknown method \"%s\"", AtomName(e, atom).c_str());
                    *sp = MakeUndefined();
                }
                --sp;
                SAFE_POINT();
                NEXT();
            }
            CASE(CALLNAME) {
                uint32_t atom = *pc++;
                CScriptValue* callee = sp + 1;
                SanitizeCount(e, sp + 2);
                if (WithList* wl = cf->with) {
                    for (uint32_t i = 0; i < wl->count; ++i) {
                        CScriptValue scope = wl->values[i];
                        if (scope.tag == TagObject) {
                            PropSlot* s = FindSlot(scope.o, atom);
                            if (s && s->value.tag == TagFunction) {
                                fn = s->value.fn->code;
                                *callee = scope;
                                goto enter_frame;
                            }
                            continue;
                        }
                        CScriptClass* cls = ClassOf(e, scope);
                        if (!cls) continue;
                        *sp = MakeUndefined();
                        e.sp = sp - 1;
                        CScriptValue* self = &wl->values[i];
                        if (cls->onMethod &&
                            cls->onMethod(e, cls, scope.tag == TagHost ? scope.h->data : self, atom, sp, CArgBlock(sp + 2))) {
                            --sp;
                            SAFE_POINT();
                            goto callname_done;
                        }
                        CScriptObject* table = scope.tag == TagHost ? nullptr : OwnTable(e, scope, false);
                        if (table) {
                            PropSlot* s = FindSlot(table, atom);
                            if (s && s->value.tag == TagFunction) {
                                fn = s->value.fn->code;
                                *callee = scope;
                                goto enter_frame;
                            }
                        }
                    }
                }
                goto L_CALL;
            callname_done:
                NEXT();
            }
            CASE(NEW) {
                CScriptValue* ctor = sp + 1;
                SanitizeCount(e, sp + 2);
                if (ctor->tag == TagFunction) {
                    CScriptFunction* f = ctor->fn;
                    SYNC();
                    if (!f->props) {
                        CScriptClass* objectClass = e.typeClasses[TagObject];
                        f->props = NewObjectWithProto(e, objectClass ? objectClass->protoObject : nullptr);
                    }
                    fn = f->code;
                    *ctor = MakeObjectValue(NewObjectWithProto(e, f->props));
                    goto enter_frame;
                }
                CScriptClass* cls = ClassOf(e, *ctor);
                if (cls && cls->onConstruct) {
                    *sp = MakeUndefined();
                    e.sp = sp - 1;
                    cls->onConstruct(e, cls, CArgBlock(sp + 2), sp);
                    *ctor = *sp;
                    *sp-- = MakeUndefined();
                    SAFE_POINT();
                    NEXT();
                }
                SYNC();
                Warn(e, "Warning: invalid constructor");
                *sp-- = MakeNull();
                NEXT();
            }

            CASE(RETURN) CASE(END) {
                CScriptValue r = sp[1];
                if (r.tag >= TagFrame || r.tag == TagAbsent) r = MakeUndefined();
                uint32_t frameIndex = e.frameCount - 1;
                while (!e.handlers.empty() && e.handlers.back().script && e.handlers.back().frame >= frameIndex)
                    e.handlers.pop_back();
                if (cf->added) {
                    uint32_t passed = cf->frameSlots - cf->added;
                    std::memmove(fp + cf->added + 1, fp + 1, size_t(passed) * sizeof(CScriptValue));
                }
                CScriptValue* slot = fp + cf->added;
                if (cf->runBase) {
                    result = r;
                    e.frameCount--;
                    e.sp = slot;
                    return;
                }
                pc = cf->returnPc;
                e.frameCount--;
                cf = &e.frames[e.frameCount - 1];
                fp = cf->fp;
                fn = cf->fn;
                fused = fn->fused;
                if (uint8_t(*pc) == OP_NIP) {
                    // The caller's NIP that drops `this`, the count and the arguments: the
                    // value goes straight to where that NIP would move it.
                    slot += pc[1];
                    pc += 2;
                }
                *slot = r;
                sp = slot - 1;
                NEXT();
            }

            // Fused sequences (linker): the fast paths cover integers, dense array cells and
            // cached own properties; anything else runs the sequence's instructions one by one.
#define COMPARE_JUMP(name, code, OPER, right)                                     \
    INTERNAL(J##name, code + (kOpJumpCompare - kOpCompareJump)) {                 \
        int32_t rel = int32_t(*pc);                                               \
        pc += 1 + rel;                                                            \
        if (rel < 0) LOOP_TURN();                                                 \
        w = *pc++;                                                                \
        goto L_##name;                                                            \
    }                                                                             \
    INTERNAL(name, code) {                                                        \
        const FusedOp& d = fused[w >> 8];                                     \
        const CScriptValue* a = fp + d.a.offset;                                  \
        const CScriptValue* b = right;                                            \
        if (a->tag != TagInteger || b->tag != TagInteger) RUN_AS(d.firstOp);      \
        pc += d.skip;                                                             \
        if (!(a->i OPER b->i)) {                                                  \
            pc += d.rel;                                                          \
            if (d.rel < 0) LOOP_TURN();                                           \
        }                                                                         \
        NEXT();                                                                   \
    }
            COMPARE_JUMP(CJ_LT_SS, kOpCompareJump + 0, <, fp + d.b.offset)
            COMPARE_JUMP(CJ_LE_SS, kOpCompareJump + 1, <=, fp + d.b.offset)
            COMPARE_JUMP(CJ_GT_SS, kOpCompareJump + 2, >, fp + d.b.offset)
            COMPARE_JUMP(CJ_GE_SS, kOpCompareJump + 3, >=, fp + d.b.offset)
            COMPARE_JUMP(CJ_EQ_SS, kOpCompareJump + 4, ==, fp + d.b.offset)
            COMPARE_JUMP(CJ_NE_SS, kOpCompareJump + 5, !=, fp + d.b.offset)
            COMPARE_JUMP(CJ_LT_SK, kOpCompareJump + 6, <, &d.b.value)
            COMPARE_JUMP(CJ_LE_SK, kOpCompareJump + 7, <=, &d.b.value)
            COMPARE_JUMP(CJ_GT_SK, kOpCompareJump + 8, >, &d.b.value)
            COMPARE_JUMP(CJ_GE_SK, kOpCompareJump + 9, >=, &d.b.value)
            COMPARE_JUMP(CJ_EQ_SK, kOpCompareJump + 10, ==, &d.b.value)
            COMPARE_JUMP(CJ_NE_SK, kOpCompareJump + 11, !=, &d.b.value)
#undef COMPARE_JUMP
// The loop step: the limit's tag is checked before the store so that a fallback never
// repeats it; its value is read after, as the test would read it.
#define LOOP_STEP(name, code, OPER, increment, limit)                             \
    INTERNAL(name, code) {                                                        \
        const FusedOp& d = fused[w >> 8];                                         \
        const CScriptValue* a = fp + d.a.offset;                                  \
        const CScriptValue* b = increment;                                        \
        const CScriptValue* c = limit;                                            \
        if (a->tag != TagInteger || b->tag != TagInteger || c->tag != TagInteger) \
            RUN_AS(d.firstOp);                                                    \
        int64_t v = int64_t(uint64_t(a->i) + uint64_t(b->i));                     \
        fp[d.store] = MakeInt(v);                                                 \
        pc += (v OPER c->i) ? d.rel : d.exit;                                     \
        LOOP_TURN();                                                              \
        NEXT();                                                                   \
    }
#define LOOP_STEPS(suffix, code, increment)                                       \
    LOOP_STEP(LS_LT_SS##suffix, code + 0, <, increment, fp + d.c.offset)          \
    LOOP_STEP(LS_LE_SS##suffix, code + 1, <=, increment, fp + d.c.offset)         \
    LOOP_STEP(LS_GT_SS##suffix, code + 2, >, increment, fp + d.c.offset)          \
    LOOP_STEP(LS_GE_SS##suffix, code + 3, >=, increment, fp + d.c.offset)         \
    LOOP_STEP(LS_EQ_SS##suffix, code + 4, ==, increment, fp + d.c.offset)         \
    LOOP_STEP(LS_NE_SS##suffix, code + 5, !=, increment, fp + d.c.offset)         \
    LOOP_STEP(LS_LT_SK##suffix, code + 6, <, increment, &d.c.value)               \
    LOOP_STEP(LS_LE_SK##suffix, code + 7, <=, increment, &d.c.value)              \
    LOOP_STEP(LS_GT_SK##suffix, code + 8, >, increment, &d.c.value)               \
    LOOP_STEP(LS_GE_SK##suffix, code + 9, >=, increment, &d.c.value)              \
    LOOP_STEP(LS_EQ_SK##suffix, code + 10, ==, increment, &d.c.value)             \
    LOOP_STEP(LS_NE_SK##suffix, code + 11, !=, increment, &d.c.value)
            LOOP_STEPS(, kOpLoopStep, fp + d.b.offset)
            LOOP_STEPS(_K, kOpLoopStep + 12, &d.b.value)
#undef LOOP_STEPS
#undef LOOP_STEP
#define TOP_COMPARE_JUMP(name, code, OPER, right)                                 \
    INTERNAL(name, code) {                                                        \
        const FusedOp& d = fused[w >> 8];                                         \
        const CScriptValue* b = right;                                            \
        if (sp[1].tag != TagInteger || b->tag != TagInteger) RUN_AS(d.firstOp);   \
        bool r = sp[1].i OPER b->i;                                               \
        ++sp;                                                                     \
        pc += d.skip;                                                             \
        if (!r) {                                                                 \
            pc += d.rel;                                                          \
            if (d.rel < 0) LOOP_TURN();                                           \
        }                                                                         \
        NEXT();                                                                   \
    }
            TOP_COMPARE_JUMP(TCJ_LT_S, kOpTopCompareJump + 0, <, fp + d.b.offset)
            TOP_COMPARE_JUMP(TCJ_LE_S, kOpTopCompareJump + 1, <=, fp + d.b.offset)
            TOP_COMPARE_JUMP(TCJ_GT_S, kOpTopCompareJump + 2, >, fp + d.b.offset)
            TOP_COMPARE_JUMP(TCJ_GE_S, kOpTopCompareJump + 3, >=, fp + d.b.offset)
            TOP_COMPARE_JUMP(TCJ_EQ_S, kOpTopCompareJump + 4, ==, fp + d.b.offset)
            TOP_COMPARE_JUMP(TCJ_NE_S, kOpTopCompareJump + 5, !=, fp + d.b.offset)
            TOP_COMPARE_JUMP(TCJ_LT_K, kOpTopCompareJump + 6, <, &d.b.value)
            TOP_COMPARE_JUMP(TCJ_LE_K, kOpTopCompareJump + 7, <=, &d.b.value)
            TOP_COMPARE_JUMP(TCJ_GT_K, kOpTopCompareJump + 8, >, &d.b.value)
            TOP_COMPARE_JUMP(TCJ_GE_K, kOpTopCompareJump + 9, >=, &d.b.value)
            TOP_COMPARE_JUMP(TCJ_EQ_K, kOpTopCompareJump + 10, ==, &d.b.value)
            TOP_COMPARE_JUMP(TCJ_NE_K, kOpTopCompareJump + 11, !=, &d.b.value)
#undef TOP_COMPARE_JUMP
            INTERNAL(ADDSTORE, kOpAddStore) {
                const FusedOp& d = fused[w >> 8];
                const CScriptValue* a = fp + d.a.offset;
                const CScriptValue* b = fp + d.b.offset;
                if (a->tag != TagInteger || b->tag != TagInteger) RUN_AS(d.firstOp);
                fp[d.store] = MakeInt(int64_t(uint64_t(a->i) + uint64_t(b->i)));
                pc += d.skip;
                NEXT();
            }
            INTERNAL(ADDSTORECONST, kOpAddStoreConst) {
                const FusedOp& d = fused[w >> 8];
                const CScriptValue* a = fp + d.a.offset;
                if (a->tag != TagInteger) RUN_AS(d.firstOp);
                fp[d.store] = MakeInt(int64_t(uint64_t(a->i) + uint64_t(d.b.value.i)));
                pc += d.skip;
                NEXT();
            }
            INTERNAL(ADDTOP, kOpAddTop) {
                const FusedOp& d = fused[w >> 8];
                const CScriptValue* b = fp + d.b.offset;
                if (sp[1].tag != TagInteger || b->tag != TagInteger) RUN_AS(d.firstOp);
                sp[1].i = int64_t(uint64_t(sp[1].i) + uint64_t(b->i));
                pc += d.skip;
                NEXT();
            }
            INTERNAL(ADDTOPCONST, kOpAddTopConst) {
                const FusedOp& d = fused[w >> 8];
                if (sp[1].tag != TagInteger) RUN_AS(d.firstOp);
                sp[1].i = int64_t(uint64_t(sp[1].i) + uint64_t(d.b.value.i));
                pc += d.skip;
                NEXT();
            }
            INTERNAL(ARITH, kOpArith) {
                const FusedOp& d = fused[w >> 8];
                const CScriptValue* a = SOURCE(d.a);
                const CScriptValue* b = SOURCE(d.b);
                int64_t r;
                if (a->tag != TagInteger || b->tag != TagInteger || !IntArith(d.op, a->i, b->i, r)) RUN_AS(d.firstOp);
                *sp-- = MakeInt(r);
                pc += d.skip;
                NEXT();
            }
            INTERNAL(ARITHSTORE, kOpArithStore) {
                const FusedOp& d = fused[w >> 8];
                const CScriptValue* a = SOURCE(d.a);
                const CScriptValue* b = SOURCE(d.b);
                int64_t r;
                if (a->tag != TagInteger || b->tag != TagInteger || !IntArith(d.op, a->i, b->i, r)) RUN_AS(d.firstOp);
                fp[d.store] = MakeInt(r);
                pc += d.skip;
                NEXT();
            }
            INTERNAL(ARITHTOP, kOpArithTop) {
                const FusedOp& d = fused[w >> 8];
                const CScriptValue* b = SOURCE(d.b);
                int64_t r;
                if (sp[1].tag != TagInteger || b->tag != TagInteger || !IntArith(d.op, sp[1].i, b->i, r))
                    RUN_AS(d.firstOp);
                sp[1].i = r;
                pc += d.skip;
                NEXT();
            }
            INTERNAL(GETINDEXF, kOpGetIndex) {
                const FusedOp& d = fused[w >> 8];
                const CScriptValue* a = SOURCE(d.a);
                const CScriptValue* b = SOURCE(d.b);
                if (const CScriptValue* cell = DenseCell(a, b)) {
                    *sp-- = cell->tag == TagAbsent ? MakeUndefined() : *cell;
                    pc += d.skip;
                    NEXT();
                }
                RUN_AS(d.firstOp);
            }
            INTERNAL(GETINDEXTOP, kOpGetIndexTop) {
                const FusedOp& d = fused[w >> 8];
                if (const CScriptValue* cell = DenseCell(sp + 1, SOURCE(d.b))) {
                    sp[1] = cell->tag == TagAbsent ? MakeUndefined() : *cell;
                    pc += d.skip;
                    NEXT();
                }
                RUN_AS(d.firstOp);
            }
            INTERNAL(SETINDEXF, kOpSetIndex) {
                const FusedOp& d = fused[w >> 8];
                if (StoreDense(SOURCE(d.a), SOURCE(d.b), sp[1])) {
                    ++sp;
                    pc += d.skip;
                    NEXT();
                }
                RUN_AS(d.firstOp);
            }
            INTERNAL(SETINDEXVALUE, kOpSetIndexValue) {
                const FusedOp& d = fused[w >> 8];
                if (StoreDense(SOURCE(d.a), SOURCE(d.b), *SOURCE(d.c))) {
                    pc += d.skip;
                    NEXT();
                }
                RUN_AS(d.firstOp);
            }
            INTERNAL(GETMEMBERF, kOpGetMember) {
                const FusedOp& d = fused[w >> 8];
                const CScriptValue* a = SOURCE(d.a);
                if (a->tag == TagObject) {
                    // The GETMEMBER word ends the sequence; its upper bits hold the slot cache.
                    uint32_t member = pc[d.skip - 2];
                    int32_t atom = int32_t(pc[d.skip - 1]);
                    CScriptObject* o = a->o;
                    uint32_t hint = member >> 8;
                    if (hint < o->count && o->slots[hint].key == atom) {
                        *sp-- = o->slots[hint].value;
                        pc += d.skip;
                        NEXT();
                    }
                }
                RUN_AS(d.firstOp);
            }

            L_BAD: {
                SYNC();
                RaiseRuntimeError(e, "Unimplemented Nerva Script bytecode");
            }

        enter_frame: {
            // sp + 1 is `this`, sp + 2 the count; fn is the callee's code.
            CScriptValue* newFp = sp;
            CScriptValue* newSp = newFp - 4;
            if (newSp - fn->entryNeed < e.stackMemory || e.frameCount >= e.frameCapacity ||
                newFp + kFrameRiseRoom > e.stackMemory + e.stackTotal)
                OVERFLOW();
            SPEND();
            newFp[0].tag = TagFrame;
            newFp[-1].tag = TagFrameInfo;
            newFp[-2].tag = TagFrame;
            newFp[-3].tag = TagFrame;
            CallRecord* rec = &e.frames[e.frameCount++];
            rec->fp = newFp;
            rec->returnPc = pc;
            rec->fn = fn;
            rec->with = nullptr;
            rec->frameSlots = newFp[2].i > 0 ? uint32_t(newFp[2].i) + 2 : 2;
            rec->added = 0;
            rec->runBase = false;
            rec->construct = false;
            cf = rec;
            fp = newFp;
            sp = newSp;
            pc = fn->words;
            fused = fn->fused;
            NEXT();
        }
#ifndef USE_LABELS
            }
#endif
        } catch (const CScriptUnwind&) {
            if (e.handlers.empty() || !e.handlers.back().script) throw;
            CErrorHandler h = e.handlers.back();
            e.handlers.pop_back();
            e.frameCount = h.frame + 1;
            cf = &e.frames[h.frame];
            fp = cf->fp;
            fn = cf->fn;
            fused = fn->fused;
            sp = h.sp;
            *sp-- = e.thrown;
            e.thrown = MakeUndefined();
            e.thrownIsError = false;
            pc = h.catchPc;
            if (sp - fn->stackNeed < e.stackMemory) {
                // Only a catch that lands lower than its function can ever reach gets here.
                SYNC();
                RaiseRuntimeError(e, "stack overflow");
            }
        }
    }
#undef SYNC
#undef OPERAND
#undef SAFE_POINT
#undef OVERFLOW
#undef SPEND
#undef DISPATCH
#undef CASE
#undef INTERNAL
#undef RUN_AS
#undef SOURCE
#undef NEXT
}

}  // namespace

void RunFunction(CScriptEngine& e, CScriptFunction* function, const CScriptValue& self, const CScriptValue* values,
                 CScriptValue& result) {
    if (e.nesting >= kMaxNesting) RaiseRuntimeError(e, "stack overflow");
    NestingGuard guard(e);
    int64_t n = values ? values[0].i : 0;
    if (n < 0) n = 0;
    CScriptValue* sp = e.sp;
    CCompiledFunction* code = function->code;
    if (n > int64_t(e.stackSize) || sp - (n + 7) - kStackMargin < e.stackLow) RaiseRuntimeError(e, "stack overflow");
    *sp-- = MakeFunctionValue(function);
    for (int64_t i = n; i >= 1; --i) *sp-- = values[i];
    *sp-- = MakeInt(n);
    *sp-- = self;
    CScriptValue* fp = sp;
    CScriptValue* newSp = fp - 4;
    if (newSp - kStackMargin < e.stackLow || newSp - code->stackNeed < e.stackMemory || e.frameCount >= e.frameCapacity ||
        fp + kFrameRiseRoom > e.stackMemory + e.stackTotal) {
        e.sp = sp;
        RaiseRuntimeError(e, "stack overflow");
    }
    fp[0].tag = TagFrame;
    fp[-1].tag = TagFrameInfo;
    fp[-2].tag = TagFrame;
    fp[-3].tag = TagFrame;
    CallRecord* rec = &e.frames[e.frameCount++];
    rec->fp = fp;
    rec->returnPc = nullptr;
    rec->fn = code;
    rec->with = nullptr;
    rec->frameSlots = uint32_t(n) + 2;
    rec->added = 0;
    rec->runBase = true;
    rec->construct = false;
    e.sp = newSp;
    Interpret(e, result);
    e.lastResult = result;
}

}  // namespace nerva
