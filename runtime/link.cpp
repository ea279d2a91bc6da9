// The linker: turns an image's sections into constant-pool entries, atoms and linked code
// words, and binds its functions to globals. Everything an instruction refers to is checked
// here (operand ranges, name kinds, jump targets on instruction starts, truncated code) and
// each function's stack use is bounded, so the interpreter can trust the words it runs.
// Anything malformed refuses the whole image with "Unimplemented Nerva Script bytecode".
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "port/byte_order.h"
#include "runtime/engine.h"
#include "runtime/engine_internal.h"
#include "runtime/object.h"
#include "runtime/opcodes.h"

namespace nerva {

using vantor::ReadBE16;
using vantor::ReadBE32;

namespace {

constexpr int kMaxRise = kMaxFrameRise;
// Depth (values pushed minus values popped since entry) at which ARGS still finds the stack
// pointer at or below the frame's highest slot: entry leaves four header slots and the
// frame always owns `this` and the count.
constexpr int kArgsLowestDepth = -5;

[[noreturn]] void Refuse(CScriptEngine& e) { RaiseRuntimeError(e, "Unimplemented Nerva Script bytecode"); }

void FinalizeFunction(CScriptEngine&, void* payload) {
    auto* f = static_cast<CCompiledFunction*>(payload);
    delete f->name;
    delete[] f->words;
    delete f->sourceName;
    delete f->lines;
    delete[] f->fused;
    f->fused = nullptr;
    f->name = nullptr;
    f->words = nullptr;
    f->sourceName = nullptr;
    f->lines = nullptr;
}

// "@F_n" becomes "@F_m" with m = n + the anonymous-function counter at link start.
std::string Renumber(const std::string& name, uint32_t counter) {
    if (name.size() <= 3 || name.compare(0, 3, "@F_") != 0) return name;
    uint64_t n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return name;
        n = n * 10 + uint64_t(name[i] - '0');
        if (n > 0xFFFFFFFFull) return name;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "@F_%u", unsigned(uint32_t(n) + counter));
    return buf;
}

bool IsAnonymous(const std::string& name) { return name.size() > 3 && name.compare(0, 3, "@F_") == 0; }

struct Reader {
    const uint8_t* p;
    size_t size;
    size_t pos = 0;
    bool Has(size_t n) const { return size - pos >= n; }
};

struct Instr {
    uint32_t byteOffset;
    uint32_t word;      // index of its opcode word
    uint8_t op;
    int32_t operand;
    uint32_t target;    // jump target: byte offset, then instruction index
};

// Stack need and effect of one instruction: it needs `need` values and changes the depth by
// `delta`; `ends` when control does not fall through.
struct Effect {
    int need;
    int delta;
    bool ends;
};

Effect EffectOf(const Instr& in) {
    switch (in.op) {
        case OP_CALLNAME: case OP_CALL: case OP_NEW: case OP_CALLMETHOD: return {2, 1, false};
        case OP_LOADNAME: case OP_LOADVAR: case OP_LOADARG: case OP_LOADGLOBAL: case OP_PUSHINT:
        case OP_PUSHINT3: case OP_PUSHINT2: case OP_PUSHINT1: case OP_PUSHINT0: case OP_PUSHUNDEF:
        case OP_PUSHFALSE: case OP_PUSHTRUE: case OP_PUSHNULL: case OP_PUSHCONST: return {0, 1, false};
        case OP_DUP: return {1, 1, false};
        case OP_ADD2: case OP_INC1: case OP_NEG: case OP_NOT: case OP_TYPEOF: case OP_LOADARGDYN:
        case OP_DELMEMBER: case OP_GETMEMBER: case OP_DELNAME: case OP_DELGLOBAL: case OP_DELVAR:
        case OP_DELARG: return {1, 0, false};
        case OP_JUMPIFTRUE: case OP_JUMPIFFALSE: case OP_JUMPIFTRUTHY: case OP_JUMPIFFALSY:
        case OP_PUSHWITH: case OP_ARGS: case OP_STOREVAR: case OP_STOREARG: case OP_STOREGLOBAL:
        case OP_STORENAME: case OP_POP: return {1, -1, false};
        case OP_THROW: case OP_RETURN: return {1, 0, true};
        case OP_END: return {0, 0, true};
        case OP_JUMP: return {0, 0, true};
        case OP_ENDTRY: case OP_POPWITH: case OP_NOP: case OP_TRY: return {0, 0, false};
        case OP_LOCALS: return {0, in.operand, false};
        case OP_DELINDEX: return {2, -1, false};
        case OP_SWAP: return {2, 0, false};
        case OP_ENUMNEXT: return {2, 2, false};
        case OP_SETINDEX: return {3, -3, false};
        case OP_SETMEMBER: return {2, -2, false};
        case OP_ROT: return {in.operand < 0 ? -in.operand : in.operand, 0, false};
        case OP_NIP: return {in.operand + 1, -in.operand, false};
        case OP_POPN: return {in.operand, -in.operand, false};
        default:
            if (in.op >= OP_USHR && in.op <= OP_EQ) return {2, -1, false};
            if (in.op == OP_GETINDEX) return {2, -1, false};
            return {0, 0, true};  // not an instruction: the run ends there
    }
}

bool IsJump(uint8_t op) {
    return op == OP_JUMPIFTRUE || op == OP_JUMPIFFALSE || op == OP_TRY || op == OP_JUMP || op == OP_JUMPIFTRUTHY ||
           op == OP_JUMPIFFALSY;
}

// Checks that no path pops more than kMaxRise values above the frame, and returns how far
// below its start any run of forward-only code can push (the frame's stack need).
uint32_t VerifyStack(CScriptEngine& e, const std::vector<Instr>& code) {
    const size_t n = code.size();
    if (n == 0) return 0;
    const int kUnset = 1 << 30;
    std::vector<int> depth(n + 1, kUnset);
    std::vector<uint32_t> work;
    auto flow = [&](size_t to, int d) {
        if (to > n) Refuse(e);
        if (d < depth[to]) {
            if (d < -kMaxRise) Refuse(e);
            depth[to] = d;
            work.push_back(uint32_t(to));
        }
    };
    flow(0, 0);
    while (!work.empty()) {
        size_t i = work.back();
        work.pop_back();
        if (i == n) continue;  // the appended END
        const Instr& in = code[i];
        Effect fx = EffectOf(in);
        int d = depth[i];
        if (d - fx.need < -kMaxRise) Refuse(e);
        // ARGS moves the frame and everything pushed below it; the code must not have popped
        // past the frame's own slots (this and the count, at least), or there is nothing
        // whole to move.
        if (in.op == OP_ARGS && d < kArgsLowestDepth) Refuse(e);
        if (in.op == OP_TRY) flow(in.target, d + 1);
        else if (IsJump(in.op)) flow(in.target, d + fx.delta);
        if (!fx.ends) flow(i + 1, d + fx.delta);
    }

    // Longest forward-only climb from any point where the interpreter checks the room left:
    // the entry, targets of backward jumps and catch targets.
    std::vector<int64_t> dist(n + 1, INT64_MIN);
    dist[0] = 0;
    for (size_t i = 0; i < n; ++i)
        if (IsJump(code[i].op) && (code[i].target <= i || code[i].op == OP_TRY)) dist[code[i].target] = std::max<int64_t>(dist[code[i].target], 0);
    int64_t need = 0;
    uint32_t maxLocal = 0;
    for (size_t i = 0; i < n; ++i) {
        const Instr& in = code[i];
        if (in.op == OP_LOADVAR || in.op == OP_STOREVAR || in.op == OP_DELVAR) maxLocal = std::max(maxLocal, uint32_t(in.operand) + 1);
        if (dist[i] == INT64_MIN) continue;
        Effect fx = EffectOf(in);
        int64_t rise = fx.delta > 0 ? fx.delta : 0;
        if (in.op == OP_ARGS) rise = 128;  // the frame moves down by the missing arguments
        int64_t out = dist[i] + rise;
        need = std::max(need, out);
        if (!fx.ends) dist[i + 1] = std::max(dist[i + 1], out);
        if (IsJump(in.op) && in.target > i) dist[in.target] = std::max(dist[in.target], out + 1);
    }
    return uint32_t(std::min<int64_t>(need + maxLocal + 128 + 16, 0x7FFFFFFF));
}

// Words an instruction takes in linked code.
uint32_t WordsOf(const Instr& in) {
    return IsOpcode(in.op) && in.op != OP_RESERVED_6B && InfoOf(in.op).operand != OperandKind::None ? 2 : 1;
}

// The operand an instruction pushes, when it is a local, an argument or an integer constant.
bool SourceOf(const Instr& in, const std::vector<CScriptValue>& values, uint32_t base, FusedSource& out) {
    out = FusedSource{0, true, MakeInt(0)};
    switch (in.op) {
        case OP_LOADVAR: out.constant = false; out.offset = -4 - in.operand; return true;
        case OP_LOADARG: out.constant = false; out.offset = 1 + in.operand; return true;
        case OP_PUSHINT0: return true;
        case OP_PUSHINT1: out.value = MakeInt(1); return true;
        case OP_PUSHINT2: out.value = MakeInt(2); return true;
        case OP_PUSHINT3: out.value = MakeInt(3); return true;
        case OP_PUSHINT: out.value = MakeInt(in.operand); return true;
        case OP_PUSHCONST: {
            const CScriptValue& v = values[uint32_t(in.operand) - base];
            if (v.tag != TagInteger) return false;
            out.value = v;
            return true;
        }
        default: return false;
    }
}

bool IsIntArith(uint8_t op) {
    return op == OP_ADD || op == OP_SUB || op == OP_MUL || op == OP_MOD || op == OP_BITAND || op == OP_BITOR ||
           op == OP_BITXOR;
}

bool IsIntCompare(uint8_t op) { return (op >= OP_GE && op <= OP_EQ) || op == OP_STRICTEQ || op == OP_STRICTNE; }

// Comparisons in the order of the fused compare-and-branch opcodes; on two integers the
// strict forms agree with the loose ones.
int CompareIndex(uint8_t op) {
    switch (op) {
        case OP_LT: return 0;
        case OP_LE: return 1;
        case OP_GT: return 2;
        case OP_GE: return 3;
        case OP_EQ: case OP_STRICTEQ: return 4;
        default: return 5;
    }
}
constexpr int kMirrored[6] = {2, 3, 0, 1, 4, 5};  // a OP b == b MIRRORED a
constexpr int kNegated[6] = {3, 2, 1, 0, 5, 4};   // !(a OP b) == a NEGATED b

bool IsConditional(uint8_t op) {
    return op == OP_JUMPIFTRUE || op == OP_JUMPIFFALSE || op == OP_JUMPIFTRUTHY || op == OP_JUMPIFFALSY;
}

// Marks the sequences that run as one step (engine_internal.h, FusedOp) in the linked words.
// Each fused op stands on its first instruction's opcode word only, so sequences may overlap
// and jumps into them stay valid.
void FuseSequences(const std::vector<Instr>& code, const std::vector<CScriptValue>& values, uint32_t base,
                   std::vector<uint32_t>& words, std::vector<FusedOp>& fused) {
    const size_t n = code.size();
    auto end = [&](size_t i) { return code[i].word + WordsOf(code[i]); };
    for (size_t i = 0; i < n; ++i) {
        FusedOp d{};
        FusedSource s0, s1, s2;
        if (!SourceOf(code[i], values, base, s0)) continue;
        d.firstOp = code[i].op;
        uint8_t kind = 0;
        size_t last = i;
        bool pair = i + 2 < n && SourceOf(code[i + 1], values, base, s1);
        if (pair && i + 3 < n && IsIntCompare(code[i + 2].op) && IsConditional(code[i + 3].op) &&
            !(s0.constant && s1.constant)) {
            last = i + 3;
            int cmp = CompareIndex(code[i + 2].op);
            if (s0.constant) {
                std::swap(s0, s1);
                cmp = kMirrored[cmp];
            }
            if (code[i + 3].op == OP_JUMPIFTRUE || code[i + 3].op == OP_JUMPIFTRUTHY) cmp = kNegated[cmp];
            kind = uint8_t(kOpCompareJump + (s1.constant ? 6 : 0) + cmp);
            d.a = s0;
            d.b = s1;
            d.rel = int32_t(words[code[i + 3].word + 1]);
        } else if (pair && i + 3 < n && IsIntArith(code[i + 2].op) &&
                   (code[i + 3].op == OP_STOREVAR || code[i + 3].op == OP_STOREARG)) {
            kind = kOpArithStore;
            last = i + 3;
            d.a = s0;
            d.b = s1;
            d.op = code[i + 2].op;
            d.store = code[i + 3].op == OP_STOREVAR ? -4 - code[i + 3].operand : 1 + code[i + 3].operand;
            if (d.op == OP_ADD && !s0.constant) kind = s1.constant ? kOpAddStoreConst : kOpAddStore;
        } else if (pair && i + 3 < n && !s1.constant && SourceOf(code[i + 2], values, base, s2) &&
                   code[i + 3].op == OP_SETINDEX) {
            kind = kOpSetIndexValue;
            last = i + 3;
            d.c = s0;
            d.a = s1;
            d.b = s2;
        } else if (pair && IsIntArith(code[i + 2].op)) {
            kind = kOpArith;
            last = i + 2;
            d.a = s0;
            d.b = s1;
            d.op = code[i + 2].op;
        } else if (pair && !s0.constant && code[i + 2].op == OP_GETINDEX) {
            kind = kOpGetIndex;
            last = i + 2;
            d.a = s0;
            d.b = s1;
        } else if (pair && !s0.constant && code[i + 2].op == OP_SETINDEX) {
            kind = kOpSetIndex;
            last = i + 2;
            d.a = s0;
            d.b = s1;
        } else if (i + 2 < n && IsIntCompare(code[i + 1].op) && IsConditional(code[i + 2].op)) {
            last = i + 2;
            int cmp = CompareIndex(code[i + 1].op);
            if (code[i + 2].op == OP_JUMPIFTRUE || code[i + 2].op == OP_JUMPIFTRUTHY) cmp = kNegated[cmp];
            kind = uint8_t(kOpTopCompareJump + (s0.constant ? 6 : 0) + cmp);
            d.b = s0;
            d.rel = int32_t(words[code[i + 2].word + 1]);
        } else if (i + 1 < n && IsIntArith(code[i + 1].op)) {
            kind = kOpArithTop;
            last = i + 1;
            d.b = s0;
            d.op = code[i + 1].op;
            if (d.op == OP_ADD) kind = s0.constant ? kOpAddTopConst : kOpAddTop;
        } else if (i + 1 < n && code[i + 1].op == OP_GETINDEX) {
            kind = kOpGetIndexTop;
            last = i + 1;
            d.b = s0;
        } else if (i + 1 < n && !s0.constant && code[i + 1].op == OP_GETMEMBER) {
            kind = kOpGetMember;
            last = i + 1;
            d.a = s0;
        }
        if (!kind || fused.size() >= (1u << 24)) continue;
        d.skip = end(last) - (code[i].word + 1);
        words[code[i].word] = (uint32_t(fused.size()) << 8) | kind;
        fused.push_back(d);
    }
    // The jump that closes a loop leads straight into the loop's test.
    for (size_t i = 0; i < n; ++i) {
        if (code[i].op != OP_JUMP || code[i].target >= n) continue;
        uint8_t target = uint8_t(words[code[code[i].target].word]);
        if (target >= kOpCompareJump && target < kOpCompareJump + 12)
            words[code[i].word] = uint32_t(kOpJumpCompare + (target - kOpCompareJump));
    }
    // An increment followed by that jump, when the test reads the incremented variable and
    // leaves the loop forward: the whole step at once.
    for (size_t i = 0; i + 4 < n; ++i) {
        uint32_t& word = words[code[i].word];
        uint8_t kind = uint8_t(word);
        if (kind != kOpAddStore && kind != kOpAddStoreConst) continue;
        const Instr& jump = code[i + 4];
        uint8_t jumpKind = uint8_t(words[jump.word]);
        if (jumpKind < kOpJumpCompare || jumpKind >= kOpJumpCompare + 12 || jump.target > i) continue;
        uint32_t testWord = code[jump.target].word;
        FusedOp& step = fused[word >> 8];
        const FusedOp& test = fused[words[testWord] >> 8];
        if (test.a.constant || test.a.offset != step.store || test.rel < 0) continue;
        int64_t body = int64_t(testWord) + 1 + test.skip;
        int64_t from = int64_t(code[i].word) + 1;
        step.c = test.b;
        step.rel = int32_t(body - from);
        step.exit = int32_t(body + test.rel - from);
        word = (word & ~0xFFu) |
               uint32_t(kOpLoopStep + (kind == kOpAddStoreConst ? 12 : 0) + (jumpKind - kOpJumpCompare));
    }
}

struct ParsedFunction {
    std::string name;
    uint32_t start, end;
};

}  // namespace

CCompiledFunction* NewCompiledFunction(CScriptEngine& e) {
    auto* f = static_cast<CCompiledFunction*>(HeapAllocFinal(e, sizeof(CCompiledFunction), &FinalizeFunction));
    return f;
}

CScriptFunction* LinkImage(CScriptEngine& e, CCompiledScript& image) {
    static const CCompiledScript::Section kEmpty{0, 0, {0}};
    const auto* codeSec = image.Find(SectionCode);
    const auto* constSec = image.Find(SectionConstants);
    const auto* funcSec = image.Find(SectionFunctions);
    const auto* debugSec = image.Find(SectionDebug);
    if (!codeSec) codeSec = &kEmpty;
    if (!constSec) constSec = &kEmpty;
    if (!funcSec) funcSec = &kEmpty;
    const uint32_t counter = e.anonymousCounter;

    // 1. Constants, parsed completely before anything enters the pool.
    std::vector<CScriptValue> values;
    std::vector<std::unique_ptr<char16_t[]>> texts;
    {
        Reader r{constSec->bytes.data(), constSec->size};
        while (r.pos < r.size) {
            uint8_t kind = r.p[r.pos++];
            switch (kind) {
                case TagNull: values.push_back(MakeNull()); break;
                case TagNaN: values.push_back(MakeNaN()); break;
                case TagBoolean:
                    if (!r.Has(1)) Refuse(e);
                    values.push_back(MakeBool(r.p[r.pos++] != 0));
                    break;
                case TagInteger: {
                    if (!r.Has(8)) Refuse(e);
                    uint64_t v = (uint64_t(ReadBE32(r.p + r.pos)) << 32) | ReadBE32(r.p + r.pos + 4);
                    r.pos += 8;
                    values.push_back(MakeInt(int64_t(v)));
                    break;
                }
                case TagFloat: {
                    if (!r.Has(8)) Refuse(e);
                    double d;
                    std::memcpy(&d, r.p + r.pos, 8);
                    r.pos += 8;
                    values.push_back(MakeFloat(d));
                    break;
                }
                case TagString:
                case 11: {
                    uint8_t flags = 0;
                    if (kind == 11) {
                        if (!r.Has(1)) Refuse(e);
                        flags = r.p[r.pos++];
                    }
                    if (!r.Has(4)) Refuse(e);
                    uint32_t bytes = ReadBE32(r.p + r.pos);
                    r.pos += 4;
                    if (!r.Has(bytes)) Refuse(e);
                    uint32_t units = bytes / 2;
                    std::unique_ptr<char16_t[]> chars(new char16_t[units + 1]);
                    for (uint32_t i = 0; i < units; ++i) chars[i] = char16_t(r.p[r.pos + 2 * i] | (r.p[r.pos + 2 * i + 1] << 8));
                    r.pos += bytes;
                    CScriptValue v = MakeUndefined();
                    v.tag = kind;
                    v.aux = flags;
                    v.u = units;  // characters attached below, once the pool is committed
                    values.push_back(v);
                    texts.push_back(std::move(chars));
                    break;
                }
                case TagAtom: {
                    const void* nul = std::memchr(r.p + r.pos, 0, r.size - r.pos);
                    if (!nul) Refuse(e);
                    size_t len = size_t(static_cast<const uint8_t*>(nul) - (r.p + r.pos));
                    std::string name(reinterpret_cast<const char*>(r.p + r.pos), len);
                    r.pos += len + 1;
                    values.push_back(MakeAtomValue(Intern(e, Renumber(name, counter))));
                    break;
                }
                default:
                    Refuse(e);
            }
        }
    }
    const uint32_t unitCount = uint32_t(values.size());
    const uint32_t base = uint32_t(e.constants.size());

    // 2. Function table.
    std::vector<ParsedFunction> functions;
    {
        Reader r{funcSec->bytes.data(), funcSec->size};
        uint32_t count = 0;
        if (funcSec->size) {
            if (!r.Has(4)) Refuse(e);
            count = ReadBE32(r.p);
            r.pos = 4;
        }
        for (uint32_t i = 0; i < count; ++i) {
            const void* nul = r.pos < r.size ? std::memchr(r.p + r.pos, 0, r.size - r.pos) : nullptr;
            if (!nul) Refuse(e);
            size_t len = size_t(static_cast<const uint8_t*>(nul) - (r.p + r.pos));
            std::string name(reinterpret_cast<const char*>(r.p + r.pos), len);
            r.pos += len + 1;
            if (!r.Has(4)) Refuse(e);
            uint32_t offset = ReadBE32(r.p + r.pos);
            r.pos += 4;
            if (offset > codeSec->size) Refuse(e);
            if (!functions.empty() && offset < functions.back().start) Refuse(e);
            functions.push_back({std::move(name), offset, 0});
        }
        for (size_t i = 0; i < functions.size(); ++i)
            functions[i].end = i + 1 < functions.size() ? functions[i + 1].start : codeSec->size;
    }

    // Debug records.
    std::string sourceName;
    bool haveDebug = debugSec != nullptr;
    bool namedSource = false;
    std::vector<std::pair<uint32_t, uint32_t>> lineRecords;
    if (debugSec) {
        Reader r{debugSec->bytes.data(), debugSec->size};
        while (r.pos < r.size) {
            uint8_t kind = r.p[r.pos++];
            if (kind == 1) {
                if (!r.Has(4)) Refuse(e);
                uint32_t len = ReadBE32(r.p + r.pos);
                r.pos += 4;
                if (!r.Has(len)) Refuse(e);
                sourceName.assign(reinterpret_cast<const char*>(r.p + r.pos), len);
                namedSource = true;
                r.pos += len;
            } else if (kind == 2) {
                if (!r.Has(8)) Refuse(e);
                lineRecords.emplace_back(ReadBE32(r.p + r.pos), ReadBE32(r.p + r.pos + 4));
                r.pos += 8;
            } else {
                Refuse(e);
            }
        }
    }

    // 3. Code of every function.
    struct Linked {
        std::vector<uint32_t> words;
        std::vector<LineEntry> lines;
        std::vector<FusedOp> fused;
        uint32_t need;
    };
    std::vector<Linked> linked(functions.size());
    const uint8_t* code = codeSec->bytes.data();
    for (size_t f = 0; f < functions.size(); ++f) {
        const ParsedFunction& pf = functions[f];
        std::vector<Instr> instrs;
        uint32_t pos = pf.start, words = 0;
        while (pos < pf.end) {
            Instr in{pos, words, code[pos], 0, 0};
            ++pos;
            ++words;
            if (IsOpcode(in.op) && in.op != OP_RESERVED_6B) {
                OperandKind kind = InfoOf(in.op).operand;
                int size = OperandBytes(kind);
                if (pf.end - pos < uint32_t(size)) Refuse(e);
                const uint8_t* p = code + pos;
                switch (kind) {
                    case OperandKind::None: break;
                    case OperandKind::U8: in.operand = int8_t(p[0]); break;
                    case OperandKind::U16: in.operand = int16_t(ReadBE16(p)); break;
                    case OperandKind::Int32: in.operand = int32_t(ReadBE32(p)); break;
                    case OperandKind::Name: {
                        uint32_t index = ReadBE32(p);
                        if (index >= unitCount || values[index].tag != TagAtom) Refuse(e);
                        in.operand = int32_t(values[index].u);
                        break;
                    }
                    case OperandKind::Constant: {
                        uint32_t index = ReadBE32(p);
                        if (index >= unitCount) Refuse(e);
                        in.operand = int32_t(base + index);
                        break;
                    }
                    case OperandKind::Jump: {
                        int64_t target = int64_t(pos) + size + int32_t(ReadBE32(p));
                        if (target < int64_t(pf.start) || target > int64_t(pf.end)) Refuse(e);
                        in.target = uint32_t(target);
                        break;
                    }
                }
                if (kind == OperandKind::U8 && in.operand < 0 && in.op != OP_ROT) Refuse(e);
                if (kind == OperandKind::U16 && in.operand < 0) Refuse(e);
                if (size) ++words;
                pos += uint32_t(size);
            }
            instrs.push_back(in);
        }
        // Jump targets become instruction indexes (the appended END is index n).
        for (Instr& in : instrs) {
            if (!IsJump(in.op)) continue;
            if (in.target == pf.end) {
                in.target = uint32_t(instrs.size());
                continue;
            }
            auto it = std::lower_bound(instrs.begin(), instrs.end(), in.target,
                                       [](const Instr& x, uint32_t off) { return x.byteOffset < off; });
            if (it == instrs.end() || it->byteOffset != in.target) Refuse(e);
            in.target = uint32_t(it - instrs.begin());
        }
        Linked& out = linked[f];
        out.need = VerifyStack(e, instrs);
        out.words.resize(size_t(words) + 1);
        for (size_t i = 0; i < instrs.size(); ++i) {
            const Instr& in = instrs[i];
            bool valid = IsOpcode(in.op) && in.op != OP_RESERVED_6B;
            out.words[in.word] = valid ? in.op : uint32_t(kOpInvalid);
            if (!valid || InfoOf(in.op).operand == OperandKind::None) continue;
            if (IsJump(in.op)) {
                uint32_t targetWord = in.target == instrs.size() ? words : instrs[in.target].word;
                out.words[in.word + 1] = uint32_t(int32_t(targetWord) - int32_t(in.word + 2));
            } else {
                out.words[in.word + 1] = uint32_t(in.operand);
            }
        }
        out.words[words] = OP_END;
        FuseSequences(instrs, values, base, out.words, out.fused);
        // The prologue every function starts with runs as one step; its words stay in place
        // for any jump that lands inside it.
        if (instrs.size() >= 3 && instrs[0].op == OP_LOADARG && instrs[0].operand == 1 && instrs[1].op == OP_ADD2 &&
            instrs[2].op == OP_ARGS)
            out.words[0] = kOpPrologue;
        for (auto& [offset, line] : lineRecords) {
            if (offset <= pf.start || offset > pf.end) continue;
            auto it = std::lower_bound(instrs.begin(), instrs.end(), offset,
                                       [](const Instr& x, uint32_t off) { return x.byteOffset < off; });
            uint32_t word = it == instrs.end() ? words : it->word;
            out.lines.push_back({word, line});
        }
    }

    // Everything checked: commit constants, then bind the functions.
    size_t textIndex = 0;
    for (CScriptValue& v : values) {
        if (v.tag == TagString || v.tag == 11) {
            uint32_t units = uint32_t(v.u);
            uint8_t flags = uint8_t(v.aux);
            bool regexp = v.tag == 11;
            char16_t* chars = texts[textIndex].get();
            e.constantText.push_back(std::move(texts[textIndex++]));
            CScriptValue made = MakeUndefined();
            if (regexp && e.regexpFactory && e.regexpFactory(e, flags, chars, units, made))
                v = made;
            else
                v = MakeStaticString(e, chars, units);
        }
        e.constants.push_back(v);
    }
    if (image.loaderState == 0) image.loaderState = base;

    CScriptFunction* mainFunction = nullptr;
    for (size_t f = 0; f < functions.size(); ++f) {
        CCompiledFunction* cf = NewCompiledFunction(e);
        CScriptValue root = MakeUndefined();
        cf->name = new std::string(functions[f].name);
        cf->wordCount = uint32_t(linked[f].words.size());
        cf->words = new uint32_t[cf->wordCount];
        std::copy(linked[f].words.begin(), linked[f].words.end(), cf->words);
        cf->stackNeed = linked[f].need;
        if (!linked[f].fused.empty()) {
            cf->fused = new FusedOp[linked[f].fused.size()];
            std::copy(linked[f].fused.begin(), linked[f].fused.end(), cf->fused);
        }
        cf->entryNeed = std::max<uint32_t>(cf->stackNeed, uint32_t(e.stackLow - e.stackMemory) + kStackMargin);
        if (haveDebug) {
            cf->sourceName = new std::string(namedSource ? sourceName : "unknown");
            cf->lines = new std::vector<LineEntry>(std::move(linked[f].lines));
        }
        CScriptFunction* fn = NewFunction(e, cf);
        root = MakeFunctionValue(fn);
        const std::string& name = functions[f].name;
        if (name == ".main") {
            mainFunction = fn;
            e.lastResult = root;  // rooted until the run starts
            continue;
        }
        std::string bound = name;
        if (IsAnonymous(name)) {
            bound = Renumber(name, counter);
            ++e.anonymousCounter;
        }
        *cf->name = bound;
        GlobalSlot(e, Intern(e, bound)) = root;
    }
    return mainFunction;
}

}  // namespace nerva
