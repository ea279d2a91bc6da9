// The interpreter: one dispatch loop over linked code words (opcode in the low byte; the
// upper 24 bits of GETMEMBER and SETMEMBER words cache the slot where the name was last
// found). Stack pointer, frame and code address live in locals; they are written back to
// the engine before anything that may collect or re-enter scripts.
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
        if (--e.budget == 0) {                                        \
            SYNC();                                                   \
            RaiseRuntimeError(e, "hook break %d", 1);                 \
        }                                                             \
    } while (0)
#else
#define SPEND() ((void)0)
#endif

#if defined(__GNUC__)
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
        &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_PROLOGUE, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD, &&L_BAD,
        &&L_BAD,
#undef X
    };
#define DISPATCH()                        \
    do {                                  \
        w = *pc++;                        \
        goto* kLabels[w & 0xFF];          \
    } while (0)
#define CASE(name) L_##name:
#define NEXT() DISPATCH()
#else
#define DISPATCH() goto dispatch
#define CASE(name) case OP_##name: L_##name:
#define NEXT() goto dispatch
#endif

    for (;;) {
        try {
#ifdef USE_LABELS
            DISPATCH();
#else
        dispatch:
            w = *pc++;
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
                if (rel < 0) {
                    SPEND();
                    if (sp - fn->stackNeed < e.stackMemory) OVERFLOW();
                }
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
                if (rel < 0) {
                    SPEND();
                    if (sp - fn->stackNeed < e.stackMemory) OVERFLOW();
                }
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
#ifdef USE_LABELS
        L_PROLOGUE:
#else
            case kOpPrologue:
#endif
            {
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
                *slot = r;
                sp = slot - 1;
                NEXT();
            }

            CASE(BAD) {
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
