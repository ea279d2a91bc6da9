// Peephole optimizer: four passes over the whole instruction list before offsets are assigned.
// They remove the DUP/POP pairs assignment statements leave, fold constant conditions, thread
// jumps one step, drop stores into locals read once right away, and clear dead code and
// labels nothing jumps to.
#include "compiler/compiler_internal.h"
#include "runtime/opcodes.h"

namespace nerva {

namespace {

bool IsJump(int op) {
    return op == OP_JUMPIFTRUE || op == OP_JUMPIFFALSE || op == OP_TRY || op == OP_JUMP ||
           op == OP_JUMPIFTRUTHY || op == OP_JUMPIFFALSY;
}

// How many values an instruction takes from the stack (reads or removes).
int Consumes(const CScriptInstr& i) {
    switch (i.op) {
        case OP_SWAP: case OP_GETINDEX: case OP_DELINDEX: case OP_SETMEMBER: case OP_ENUMNEXT:
        case OP_USHR: case OP_SHR: case OP_SHL: case OP_BITXOR: case OP_BITOR: case OP_BITAND:
        case OP_MOD: case OP_DIV: case OP_MUL: case OP_ADD: case OP_SUB: case OP_STRICTNE:
        case OP_STRICTEQ: case OP_GE: case OP_LE: case OP_GT: case OP_LT: case OP_NE: case OP_EQ:
            return 2;
        case OP_SETINDEX: return 3;
        case OP_NIP: return static_cast<int>(i.integer) + 1;
        case OP_POPN: return static_cast<int>(i.integer);
        case OP_ROT: return static_cast<int>(i.integer < 0 ? -i.integer : i.integer);
        case OP_ADD2: case OP_INC1: case OP_THROW: case OP_PUSHWITH: case OP_LOADARGDYN: case OP_ARGS:
        case OP_DELMEMBER: case OP_TYPEOF: case OP_NOT: case OP_NEG: case OP_GETMEMBER: case OP_STOREVAR:
        case OP_STOREARG: case OP_STOREGLOBAL: case OP_STORENAME: case OP_POP: case OP_DELNAME:
        case OP_DELGLOBAL: case OP_DELVAR: case OP_DELARG: case OP_RETURN:
            return 1;
        default:
            return 0;
    }
}

class Optimizer {
public:
    explicit Optimizer(CScriptCompiler& c) : c_(c) {}
    void StackWindow();
    void ThreadJumps();
    void DeadStores();
    void Cleanup();

private:
    void Remove(CScriptInstr* i) {
        if (i->prev) i->prev->next = i->next;
        else c_.first = i->next;
        if (i->next) i->next->prev = i->prev;
        else c_.last = i->prev;
    }
    void MakeJump(CScriptInstr* i, CScriptInstr* target) {
        i->op = OP_JUMP;
        i->size = 5;
        i->effect = 0;
        i->target = target;
    }
    bool RemoveDupPop(CScriptInstr* dup);
    void Liveness(CScriptInstr* header, CScriptInstr* end);

    CScriptCompiler& c_;
    uint32_t round_ = 0;  // cleanup round; a label whose mark holds it is a jump target
};

// A DUP whose copy is consumed by a POP once the instructions between have used up the value
// below it: both go.
bool Optimizer::RemoveDupPop(CScriptInstr* dup) {
    int counter = 2;
    for (CScriptInstr* i = dup->next; i && i->next; i = i->next) {
        int op = i->op;
        if (IsJump(op) || op == OP_CALL || op == OP_NEW || op == OP_CALLMETHOD || op == OP_RETURN ||
            op == OP_THROW || op == OP_ENDTRY || op == OP_DUP || op == kOpLabel || op == kOpFunctionHeader)
            return false;
        // An instruction that reaches the original value below the copy (a SWAP at the bottom
        // of the window, say) would see a different stack without the DUP.
        if (Consumes(*i) >= counter) return false;
        counter += i->effect;
        if (counter <= 0) return false;
        if (i->next->op == OP_POP && counter == 1) {
            Remove(i->next);
            Remove(dup);
            return true;
        }
    }
    return false;
}

void Optimizer::StackWindow() {
    for (CScriptInstr* x = c_.first; x; x = x->next) {
        CScriptInstr* s = x->next;
        if (s && s->op == OP_DUP) RemoveDupPop(s);
        s = x->next;
        if (!s) break;
        CScriptInstr* t = s->next;
        if (t && s->op == OP_NIP && t->op == OP_POP && s->integer < 127) {
            s->op = OP_POPN;
            s->integer += 1;
            s->effect = static_cast<int>(-s->integer);
            Remove(t);
        }
        s = x->next;
        t = s ? s->next : nullptr;
        if (!t) continue;
        bool pushTrue = s->op == OP_PUSHTRUE, pushFalse = s->op == OP_PUSHFALSE;
        bool onFalse = t->op == OP_JUMPIFFALSE || t->op == OP_JUMPIFFALSY;
        bool onTrue = t->op == OP_JUMPIFTRUE || t->op == OP_JUMPIFTRUTHY;
        if ((pushTrue && onFalse) || (pushFalse && onTrue)) {
            Remove(s);
            Remove(t);
            continue;
        }
        if ((pushFalse && onFalse) || (pushTrue && onTrue)) {
            MakeJump(t, t->target);
            Remove(s);
        }
    }
}

void Optimizer::ThreadJumps() {
    for (CScriptInstr* i = c_.first; i; i = i->next) {
        if (!IsJump(i->op) || !i->target) continue;
        CScriptInstr* k = i->target->next;
        while (k && (k->op == kOpLabel || k->op == kOpFunctionHeader)) k = k->next;
        if (k && k->op == OP_JUMP) i->target = k->target;
    }
}

// Backward liveness of local slots 0..31 over one function, repeated until the sets of the
// labels settle (loops).
void Optimizer::Liveness(CScriptInstr* header, CScriptInstr* end) {
    CScriptInstr* last = end ? end->prev : c_.last;
    for (CScriptInstr* i = header; i != end; i = i->next) i->live = 0;
    bool again = true;
    while (again) {
        again = false;
        for (CScriptInstr* i = last; i; i = i->prev) {
            uint32_t set = (i->next && i->next != end) ? i->next->live : 0;
            int op = i->op;
            // A delete reads the variable too: it releases the host object the slot holds.
            if ((op == OP_LOADVAR || op == OP_DELVAR) && i->integer >= 0 && i->integer < 32) set |= 1u << i->integer;
            if (op == OP_STOREVAR && i->integer >= 0 && i->integer < 32) set &= ~(1u << i->integer);
            if (IsJump(op) && i->target) {
                set |= i->target->live;
                i->target->changed = true;
            }
            if (op == kOpLabel && i->changed && set != i->live) again = true;
            i->live = set;
            if (i == header) break;
        }
        for (CScriptInstr* i = header; i != end; i = i->next) i->changed = false;
    }
}

void Optimizer::DeadStores() {
    CScriptInstr* header = c_.first;
    while (header) {
        CScriptInstr* end = header->next;
        while (end && end->op != kOpFunctionHeader) end = end->next;
        Liveness(header, end);
        header = end;
    }
    for (CScriptInstr* i = c_.first; i;) {
        CScriptInstr* n = i->next;
        if (i->op == OP_STOREVAR && n && n->op == OP_LOADVAR && n->integer == i->integer && i->integer < 32 &&
            n->next && !(n->next->live & (1u << i->integer))) {
            CScriptInstr* after = n->next;
            Remove(i);
            Remove(n);
            i = after;
            continue;
        }
        i = n;
    }
}

// One walk per round does all four steps: the marks are stamped with the round's number so
// no walk is needed to clear them, and a label removed in passing behaves as if the unmarked
// labels had all gone before the dead-code step.
void Optimizer::Cleanup() {
    bool removed = true;
    while (removed) {
        removed = false;
        ++round_;
        for (CScriptInstr* i = c_.first; i; i = i->next)
            if (IsJump(i->op) && i->target) i->target->mark = round_;
        auto marked = [&](const CScriptInstr* l) { return l->mark == round_; };
        for (CScriptInstr* i = c_.first; i;) {
            CScriptInstr* n = i->next;
            if (i->op == kOpLabel && !marked(i) && n) {
                Remove(i);
                removed = true;
            } else if (i->op == OP_RETURN || i->op == OP_JUMP) {
                while (i->next && i->next->op != kOpFunctionHeader && (i->next->op != kOpLabel || !marked(i->next))) {
                    if (i->next->op == kOpLabel && !i->next->next) break;
                    Remove(i->next);
                    removed = true;
                }
                n = i->next;
                if (i->op == OP_JUMP && n == i->target) {
                    Remove(i);
                    removed = true;
                }
            }
            i = n;
        }
    }
}

}  // namespace

void Optimize(CScriptCompiler& c) {
    Optimizer o(c);
    if (c.passes & 0x20) o.StackWindow();
    if (c.passes & 0x40) o.ThreadJumps();
    if (c.passes & 0x100) o.DeadStores();
    if (c.passes & 0x80) o.Cleanup();
}

}  // namespace nerva
