// Code generator: one walk per function over the syntax tree, emitting a single linked list of
// instruction records (functions first, ".main" last) with labels as pseudo-instructions.
// Names resolve to parameter slots, local slots or globals; there are no closures.
#include <algorithm>

#include "compiler/compiler_internal.h"
#include "runtime/opcodes.h"

namespace nerva {

namespace {

// Operands wider than a signed byte or 16 bits cannot be encoded; these limits keep every
// emitted operand inside its field.
constexpr int kMaxByteOperand = 127;
constexpr int kMaxLocals = 32767;
constexpr int kMaxExpressionDepth = 2000;

int StackEffect(int op, int64_t operand) {
    switch (op) {
        case OP_PUSHINT0: case OP_PUSHINT1: case OP_PUSHINT2: case OP_PUSHINT3: case OP_PUSHINT:
        case OP_PUSHUNDEF: case OP_PUSHNULL: case OP_PUSHTRUE: case OP_PUSHFALSE: case OP_PUSHCONST:
        case OP_LOADARG: case OP_LOADVAR: case OP_LOADGLOBAL: case OP_LOADNAME: case OP_DUP:
        case OP_CALL: case OP_CALLNAME: case OP_CALLMETHOD: case OP_NEW:
            return 1;
        case OP_POP: case OP_USHR: case OP_SHR: case OP_SHL: case OP_BITXOR: case OP_BITOR:
        case OP_BITAND: case OP_MOD: case OP_DIV: case OP_MUL: case OP_ADD: case OP_SUB:
        case OP_STRICTNE: case OP_STRICTEQ: case OP_GE: case OP_LE: case OP_GT: case OP_LT:
        case OP_NE: case OP_EQ: case OP_GETINDEX: case OP_DELINDEX: case OP_STOREVAR:
        case OP_STOREARG: case OP_STOREGLOBAL: case OP_STORENAME: case OP_JUMPIFTRUE:
        case OP_JUMPIFFALSE: case OP_JUMPIFTRUTHY: case OP_JUMPIFFALSY: case OP_THROW:
        case OP_PUSHWITH: case OP_ARGS:
            return -1;
        case OP_SETMEMBER: return -2;
        case OP_SETINDEX: return -3;
        case OP_NIP: case OP_POPN: return static_cast<int>(-operand);
        case OP_LOCALS: return static_cast<int>(operand);
        default: return 0;
    }
}

enum class Access { Param, Local, With, Global };

struct Resolved {
    Access access;
    int slot;
};

class Generator {
public:
    explicit Generator(CScriptCompiler& c) : c_(c) {}
    void Function(Node* f);
    void Main();

private:
    // Emission
    CScriptInstr* Append(CScriptInstr* i) {
        i->prev = c_.last;
        if (c_.last) c_.last->next = i;
        else c_.first = i;
        c_.last = i;
        return i;
    }
    CScriptInstr* Emit(int op, int line, int64_t operand = 0) {
        CScriptInstr* i = c_.code.New<CScriptInstr>();
        i->op = op;
        i->line = line;
        i->integer = operand;
        i->size = 1 + OperandBytes(InfoOf(static_cast<uint8_t>(op)).operand);
        i->effect = StackEffect(op, operand);
        if (InfoOf(static_cast<uint8_t>(op)).operand == OperandKind::Name) i->constKind = ConstKind::Name;
        return Append(i);
    }
    void EmitName(int op, int line, const char* name) {
        CScriptInstr* i = Emit(op, line);
        i->text = {name, std::strlen(name)};
    }
    void EmitJump(int op, int line, CScriptInstr* label) { Emit(op, line)->target = label; }
    CScriptInstr* NewLabel() {
        CScriptInstr* l = c_.code.New<CScriptInstr>();
        l->op = kOpLabel;
        l->integer = c_.labelCounter++;
        return l;
    }
    void Place(CScriptInstr* label) { Append(label); }
    void EmitHeader(const char* name, int line) {
        CScriptInstr* h = c_.code.New<CScriptInstr>();
        h->op = kOpFunctionHeader;
        h->line = line;
        h->text = {name, std::strlen(name)};
        Append(h);
    }
    void EmitCount(int64_t n, int line) {
        if (n >= 0 && n <= 3) Emit(OP_PUSHINT0 - static_cast<int>(n), line);
        else if (n >= INT32_MIN && n <= INT32_MAX) Emit(OP_PUSHINT, line, n);
        else EmitIntConst(n, line);
    }
    void EmitIntConst(int64_t v, int line) {
        CScriptInstr* i = Emit(OP_PUSHCONST, line);
        i->constKind = ConstKind::Integer;
        i->integer = v;
    }
    // NIP, POPN, ENDTRY and POPWITH compose, so a large count becomes several instructions.
    void EmitSplit(int op, int line, int64_t n) {
        while (n > kMaxByteOperand) {
            Emit(op, line, kMaxByteOperand);
            n -= kMaxByteOperand;
        }
        if (n > 0) Emit(op, line, n);
    }
    void CondJump(Node* cond, bool whenTrue, CScriptInstr* label, int line) {
        bool boolean = cond->hint == HintBoolean;
        int op = whenTrue ? (boolean ? OP_JUMPIFTRUE : OP_JUMPIFTRUTHY) : (boolean ? OP_JUMPIFFALSE : OP_JUMPIFFALSY);
        EmitJump(op, line, label);
    }

    // Scopes
    void PushScope() { c_.scopes.push_back({c_.symbols.size(), c_.scopes.empty() ? 0 : c_.scopes.back().nextSlot}); }
    void PopScope() {
        c_.symbols.resize(c_.scopes.back().firstSymbol);
        c_.scopes.pop_back();
    }
    int Declare(const char* name, int kind, int slot, int line);
    int DeclareLocal(const char* name, int line) { return Declare(name, 2, -1, line); }
    Resolved Resolve(const char* name);
    int WithDepth() const {
        int w = 0;
        for (const CControlEntry& e : c_.control) w += e.withDepth;
        return w;
    }
    int TryDepth() const {
        int t = 0;
        for (const CControlEntry& e : c_.control) t += e.tryDepth;
        return t;
    }

    // Slots
    int SlotsNeeded(Node* list);
    int Direct(Node* s);
    int Nested(Node* s);
    int SubDirect(Node* s) { return s && s->kind == NodeVar ? s->count : 0; }

    // Functions
    void Body(Node* list);
    void PatchLocals(CScriptInstr* locals, int line);

    // Expressions and statements
    void Expr(Node* n);
    void Load(Node* target);
    void Store(Node* target);
    void CheckTarget(Node* target, int line);
    void Call(Node* n);
    void Arguments(Node* list);
    void Statement(Node* s);
    void VarStatement(Node* v);
    void Jump(Node* s, bool isBreak);
    void ForIn(Node* s);
    void Switch(Node* s);
    void Try(Node* s);

    CScriptCompiler& c_;
    CScriptInstr* switchPop_ = nullptr;  // the POP that ends the latest switch
    int exprDepth_ = 0;
};

int Generator::Declare(const char* name, int kind, int slot, int line) {
    CScriptCompiler::Scope& scope = c_.scopes.back();
    for (size_t i = scope.firstSymbol; i < c_.symbols.size(); ++i) {
        CSymbol& s = c_.symbols[i];
        if (std::strcmp(s.name, name) != 0) continue;
        if (s.kind == kind) return s.slot;
        s.kind = kind;
        s.slot = kind == 2 ? scope.nextSlot++ : slot;
        s.line = line;
        if (kind == 2) c_.maxSlot = std::max(c_.maxSlot, scope.nextSlot);
        return s.slot;
    }
    if (kind == 2) {
        slot = scope.nextSlot++;
        c_.maxSlot = std::max(c_.maxSlot, scope.nextSlot);
    }
    c_.symbols.push_back({name, kind, slot, line});
    return slot;
}

Resolved Generator::Resolve(const char* name) {
    for (size_t i = c_.symbols.size(); i-- > 0;) {
        const CSymbol& s = c_.symbols[i];
        if (std::strcmp(s.name, name) == 0) return {s.kind == 1 ? Access::Param : Access::Local, s.slot};
    }
    return {WithDepth() > 0 ? Access::With : Access::Global, 0};
}

int Generator::Direct(Node* s) {
    switch (s->kind) {
        case NodeVar: return s->op ? 0 : s->count;
        case NodeIf: return SubDirect(s->b) + SubDirect(s->c);
        case NodeWhile: case NodeDoWhile: return SubDirect(s->b);
        case NodeFor: case NodeForIn: case NodeWith: case NodeLabel: return SubDirect(s->e);
        case NodeTry: {
            int n = SubDirect(s->e) + SubDirect(s->d);
            for (Node* k = s->b; k; k = k->next) n += 1 + SubDirect(k->e);
            return n;
        }
        case NodeSwitch: {
            int n = 0;
            for (Node* k = s->b; k; k = k->next)
                for (Node* st = k->b; st; st = st->next) n += Direct(st);
            return n;
        }
        default: return 0;
    }
}

int Generator::Nested(Node* s) {
    if (!s) return 0;
    switch (s->kind) {
        case NodeBlock: return SlotsNeeded(s->b);
        case NodeIf: return std::max(Nested(s->b), Nested(s->c));
        case NodeWhile: case NodeDoWhile: return Nested(s->b);
        case NodeWith: case NodeLabel: return Nested(s->e);
        case NodeFor: return s->count + Nested(s->e);
        case NodeForIn: return (s->b ? 1 : 0) + Nested(s->e);
        case NodeTry: {
            int n = std::max(Nested(s->e), Nested(s->d));
            for (Node* k = s->b; k; k = k->next) n = std::max(n, Nested(k->e));
            return n;
        }
        case NodeSwitch: {
            int n = 0;
            for (Node* k = s->b; k; k = k->next)
                for (Node* st = k->b; st; st = st->next) n = std::max(n, Nested(st));
            return n;
        }
        default: return 0;
    }
}

int Generator::SlotsNeeded(Node* list) {
    int direct = 0, nested = 0;
    for (Node* s = list; s; s = s->next) {
        direct += Direct(s);
        nested = std::max(nested, Nested(s));
    }
    return direct + nested;
}

// The count of locals is known for certain only after the body is generated: a catch clause
// or declaration inside a sub-statement can take a slot the up-front count does not see.
void Generator::PatchLocals(CScriptInstr* locals, int line) {
    int need = std::max(static_cast<int>(locals->integer), c_.maxSlot);
    if (need > kMaxLocals) c_.Error(line, "too many local variables");
    if (need == 0) {
        if (locals->prev) locals->prev->next = locals->next;
        if (locals->next) locals->next->prev = locals->prev;
        if (c_.last == locals) c_.last = locals->prev;
        return;
    }
    locals->integer = need;
    locals->effect = need;
}

void Generator::Function(Node* f) {
    c_.maxSlot = 0;
    PushScope();
    if (f->count + 2 > kMaxByteOperand) c_.Error(f->line, "too many formal parameters");
    int slot = 2;
    for (Node* p = f->b; p; p = p->next) Declare(p->name, 1, slot++, p->line);
    EmitHeader(f->name, f->line);
    int line = f->line2;
    Emit(OP_LOADARG, line, 1);
    Emit(OP_ADD2, line);
    Emit(OP_ARGS, line, f->count + 2);
    int m = SlotsNeeded(f->e) + (f->op ? 1 : 0);
    CScriptInstr* locals = Emit(OP_LOCALS, line, m);
    if (f->op) {
        int a = DeclareLocal("arguments", line);
        Emit(OP_PUSHINT0, line);
        EmitName(OP_LOADGLOBAL, line, "Object");
        Emit(OP_NEW, line);
        Emit(OP_SWAP, line);
        Emit(OP_NIP, line, 2);
        Emit(OP_STOREVAR, line, a);
        Emit(OP_PUSHINT0, line);
        CScriptInstr* top = NewLabel();
        CScriptInstr* end = NewLabel();
        Place(top);
        Emit(OP_DUP, line);
        Emit(OP_LOADARG, line, 1);
        Emit(OP_GE, line);
        EmitJump(OP_JUMPIFTRUE, line, end);
        Emit(OP_DUP, line);
        Emit(OP_DUP, line);
        Emit(OP_ADD2, line);
        Emit(OP_LOADARGDYN, line);
        Emit(OP_SWAP, line);
        Emit(OP_LOADVAR, line, a);
        Emit(OP_SWAP, line);
        Emit(OP_SETINDEX, line);
        Emit(OP_INC1, line);
        EmitJump(OP_JUMP, line, top);
        Place(end);
        Emit(OP_LOADVAR, line, a);
        EmitName(OP_SETMEMBER, line, "length");
        EmitName(OP_LOADGLOBAL, line, f->name);
        Emit(OP_LOADVAR, line, a);
        EmitName(OP_SETMEMBER, line, "callee");
    }
    Body(f->e);
    Emit(OP_PUSHUNDEF, line);
    Emit(OP_RETURN, line);
    PopScope();
    PatchLocals(locals, f->line);
}

void Generator::Body(Node* list) {
    for (Node* s = list; s; s = s->next) Statement(s);
}

void Generator::Main() {
    if (!c_.mainHead) return;
    c_.maxSlot = 0;
    int line = c_.mainHead->line;
    EmitHeader(".main", line);
    CScriptInstr* header = c_.last;
    CScriptInstr* locals = Emit(OP_LOCALS, line, SlotsNeeded(c_.mainHead));
    Body(c_.mainHead);
    // The final expression statement's value becomes the result of the run; a switch also
    // ends with a POP, of its discriminant, which must go.
    if (c_.last->op == OP_POP && c_.last != switchPop_ && c_.last->prev != header && c_.last->prev != locals) {
        CScriptInstr* pop = c_.last;
        c_.last = pop->prev;
        c_.last->next = nullptr;
    } else {
        Emit(OP_PUSHUNDEF, c_.last->line);
    }
    PatchLocals(locals, line);
}


void Generator::CheckTarget(Node* target, int line) {
    if (target->kind != NodeIdentifier && target->kind != NodeMember && target->kind != NodeIndex)
        c_.Error(line, "invalid assignment target");
}

void Generator::Load(Node* t) {
    int line = t->line;
    switch (t->kind) {
        case NodeIdentifier: {
            Resolved r = Resolve(t->name);
            switch (r.access) {
                case Access::Param: Emit(OP_LOADARG, line, r.slot); break;
                case Access::Local: Emit(OP_LOADVAR, line, r.slot); break;
                case Access::With: EmitName(OP_LOADNAME, line, t->name); break;
                case Access::Global: EmitName(OP_LOADGLOBAL, line, t->name); break;
            }
            break;
        }
        case NodeMember:
            Expr(t->a);
            EmitName(OP_GETMEMBER, line, t->name);
            break;
        case NodeIndex:
            Expr(t->a);
            Expr(t->b);
            Emit(OP_GETINDEX, line);
            break;
        default:
            Expr(t);
            break;
    }
}

void Generator::Store(Node* t) {
    int line = t->line;
    switch (t->kind) {
        case NodeIdentifier: {
            Resolved r = Resolve(t->name);
            switch (r.access) {
                case Access::Param: Emit(OP_STOREARG, line, r.slot); break;
                case Access::Local: Emit(OP_STOREVAR, line, r.slot); break;
                case Access::With: EmitName(OP_STORENAME, line, t->name); break;
                case Access::Global: EmitName(OP_STOREGLOBAL, line, t->name); break;
            }
            break;
        }
        case NodeMember:
            Expr(t->a);
            EmitName(OP_SETMEMBER, line, t->name);
            break;
        case NodeIndex:
            Expr(t->a);
            Expr(t->b);
            Emit(OP_SETINDEX, line);
            break;
        default:
            c_.Error(line, "invalid assignment target");
    }
}

// Arguments and elements are held last first, which is the order they are evaluated in.
void Generator::Arguments(Node* list) {
    for (Node* a = list; a; a = a->next) Expr(a);
}

void Generator::Call(Node* n) {
    int line = n->line;
    Arguments(n->b);
    EmitCount(n->count, line);
    Node* callee = n->a;
    if (callee->kind == NodeIdentifier) {
        Resolved r = Resolve(callee->name);
        if (r.access == Access::With) {
            EmitName(OP_LOADNAME, line, callee->name);
            EmitName(OP_CALLNAME, line, callee->name);
        } else {
            Load(callee);
            Emit(OP_CALL, line);
        }
    } else if (callee->kind == NodeMember) {
        Expr(callee->a);
        EmitName(OP_CALLMETHOD, line, callee->name);
    } else {
        Load(callee);
        Emit(OP_CALL, line);
    }
    EmitSplit(OP_NIP, line, n->count + 2);
}

int BinaryOpcode(int kind, int op) {
    switch (op) {
        case '&': return OP_BITAND;
        case '^': return OP_BITXOR;
        case '|': return OP_BITOR;
        case kTokEq: return OP_EQ;
        case kTokNe: return OP_NE;
        case kTokStrictEq: return OP_STRICTEQ;
        case kTokStrictNe: return OP_STRICTNE;
        case '<': return OP_LT;
        case '>': return OP_GT;
        case kTokLe: return OP_LE;
        case kTokGe: return OP_GE;
        case kTokShl: case kTokShlAssign: return OP_SHL;
        case kTokShr: case kTokShrAssign: return OP_SHR;
        case kTokUshr: case kTokUshrAssign: return OP_USHR;
        case '*': case kTokMulAssign: return OP_MUL;
        case '/': case kTokDivAssign: return OP_DIV;
        case '%': case kTokModAssign: return OP_MOD;
        case '+': case kTokAddAssign: return OP_ADD;
        case '-': case kTokSubAssign: return OP_SUB;
        case kTokAndAssign: return OP_BITAND;
        case kTokXorAssign: return OP_BITXOR;
        case kTokOrAssign: return OP_BITOR;
        default: return OP_NOP;
    }
}

void Generator::Expr(Node* n) {
    int line = n->line;
    // Long left-leaning chains (a + b + c ...) nest deeper than anything the parser recursed
    // through; past this depth the generator would risk the stack.
    struct Depth {
        explicit Depth(int& d) : d_(++d) {}
        ~Depth() { --d_; }
        int& d_;
    } depth(exprDepth_);
    if (exprDepth_ > kMaxExpressionDepth) c_.Error(line, "expression too complex");
    switch (n->kind) {
        case NodeComma:
            Expr(n->a);
            Emit(OP_POP, line);
            Expr(n->b);
            break;
        case NodeAssign:
            CheckTarget(n->a, line);
            if (n->op == '=') {
                Expr(n->b);
                Emit(OP_DUP, line);
            } else {
                Load(n->a);
                Expr(n->b);
                Emit(BinaryOpcode(n->kind, n->op), line);
                Emit(OP_DUP, line);
            }
            Store(n->a);
            break;
        case NodeConditional: {
            CScriptInstr* elseLabel = NewLabel();
            CScriptInstr* end = NewLabel();
            Expr(n->a);
            CondJump(n->a, false, elseLabel, line);
            Expr(n->b);
            EmitJump(OP_JUMP, line, end);
            Place(elseLabel);
            Expr(n->c);
            Place(end);
            break;
        }
        case NodeLogical: {
            CScriptInstr* end = NewLabel();
            Expr(n->a);
            Emit(OP_DUP, line);
            CondJump(n->a, n->op == kTokOr, end, line);
            Emit(OP_POP, line);
            Expr(n->b);
            Place(end);
            break;
        }
        case NodeBitwise: case NodeEquality: case NodeRelational: case NodeShift:
        case NodeMultiplicative: case NodeAdditive:
            Expr(n->a);
            Expr(n->b);
            Emit(BinaryOpcode(n->kind, n->op), line);
            break;
        case NodeThis: Emit(OP_LOADARG, line, 0); break;
        case NodeNull: Emit(OP_PUSHNULL, line); break;
        case NodeTrue: Emit(OP_PUSHTRUE, line); break;
        case NodeFalse: Emit(OP_PUSHFALSE, line); break;
        case NodeUndefined: Emit(OP_PUSHUNDEF, line); break;
        case NodeInteger:
            if (n->integer >= 0 && n->integer <= 3) Emit(OP_PUSHINT0 - static_cast<int>(n->integer), line);
            else EmitIntConst(n->integer, line);
            break;
        case NodeFloat: {
            CScriptInstr* i = Emit(OP_PUSHCONST, line);
            i->constKind = ConstKind::Float;
            i->number = n->number;
            break;
        }
        case NodeString: {
            CScriptInstr* i = Emit(OP_PUSHCONST, line);
            i->constKind = ConstKind::String;
            i->text = n->text;
            break;
        }
        case NodeRegExp: {
            CScriptInstr* i = Emit(OP_PUSHCONST, line);
            i->constKind = ConstKind::RegExp;
            i->text = n->text;
            i->integer = n->op;
            break;
        }
        case NodeIdentifier: case NodeMember: case NodeIndex:
            Load(n);
            break;
        case NodeCall:
            Call(n);
            break;
        case NodeNew:
            Arguments(n->b);
            EmitCount(n->count, line);
            Expr(n->a);
            Emit(OP_NEW, line);
            Emit(OP_SWAP, line);
            EmitSplit(OP_NIP, line, n->count + 2);
            break;
        case NodeArrayLiteral:
            for (Node* e = n->b; e; e = e->next) {
                if (e->kind == NodeEmpty) Emit(OP_PUSHUNDEF, e->line);
                else Expr(e);
            }
            Emit(OP_PUSHINT, line, -static_cast<int64_t>(n->count));
            EmitName(OP_LOADGLOBAL, line, "Array");
            Emit(OP_NEW, line);
            Emit(OP_SWAP, line);
            EmitSplit(OP_NIP, line, n->count + 2);
            break;
        case NodeObjectLiteral:
            Emit(OP_PUSHINT0, line);
            EmitName(OP_LOADGLOBAL, line, "Object");
            Emit(OP_NEW, line);
            Emit(OP_SWAP, line);
            Emit(OP_NIP, line, 2);
            for (Node* p = n->b; p; p = p->next) {
                Emit(OP_DUP, p->line);
                Expr(p->a);
                Emit(OP_SWAP, p->line);
                if (p->op == kTokIdentifier) {
                    EmitName(OP_SETMEMBER, p->line, p->name);
                } else if (p->op == kTokInteger) {
                    EmitCount(p->integer, p->line);
                    Emit(OP_SETINDEX, p->line);
                } else {
                    CScriptInstr* i = Emit(OP_PUSHCONST, p->line);
                    i->constKind = ConstKind::String;
                    i->text = p->text;
                    Emit(OP_SETINDEX, p->line);
                }
            }
            break;
        case NodeUnary:
            switch (n->op) {
                case '!': Expr(n->a); Emit(OP_NOT, line); break;
                case '-': Expr(n->a); Emit(OP_NEG, line); break;
                case kTokTypeof: Expr(n->a); Emit(OP_TYPEOF, line); break;
                case '+': Expr(n->a); break;
                case '~':
                    Expr(n->a);
                    EmitIntConst(-1, line);
                    Emit(OP_BITXOR, line);
                    break;
                case kTokVoid:
                    Expr(n->a);
                    Emit(OP_POP, line);
                    Emit(OP_PUSHUNDEF, line);
                    break;
                case kTokDelete: {
                    Node* t = n->a;
                    if (t->kind == NodeMember) {
                        Expr(t->a);
                        EmitName(OP_DELMEMBER, line, t->name);
                    } else if (t->kind == NodeIndex) {
                        Expr(t->a);
                        Expr(t->b);
                        Emit(OP_DELINDEX, line);
                    } else if (t->kind == NodeIdentifier) {
                        Emit(OP_PUSHNULL, line);
                        Resolved r = Resolve(t->name);
                        switch (r.access) {
                            case Access::Param: Emit(OP_DELARG, line, r.slot); break;
                            case Access::Local: Emit(OP_DELVAR, line, r.slot); break;
                            case Access::With: EmitName(OP_DELNAME, line, t->name); break;
                            case Access::Global: EmitName(OP_DELGLOBAL, line, t->name); break;
                        }
                    } else {
                        // Nothing to delete: the operand is still evaluated and the result is true.
                        Expr(t);
                        Emit(OP_POP, line);
                        Emit(OP_PUSHTRUE, line);
                    }
                    break;
                }
                case kTokInc: case kTokDec:
                    CheckTarget(n->a, line);
                    Load(n->a);
                    Emit(OP_PUSHINT1, line);
                    Emit(n->op == kTokInc ? OP_ADD : OP_SUB, line);
                    Emit(OP_DUP, line);
                    Store(n->a);
                    break;
            }
            break;
        case NodePostfix:
            CheckTarget(n->a, line);
            Load(n->a);
            Emit(OP_DUP, line);
            Emit(OP_PUSHINT1, line);
            Emit(n->op == kTokInc ? OP_ADD : OP_SUB, line);
            Store(n->a);
            break;
        default:
            Emit(OP_PUSHUNDEF, line);
            break;
    }
}

void Generator::VarStatement(Node* v) {
    for (Node* d = v->b; d; d = d->next) {
        if (v->op) {
            if (d->a) {
                Expr(d->a);
                EmitName(OP_STOREGLOBAL, d->line, d->name);
            }
            continue;
        }
        int slot = DeclareLocal(d->name, d->line);
        if (d->a) {
            Expr(d->a);
            Emit(OP_STOREVAR, d->line, slot);
        }
    }
}

bool IsLoop(Node* s) {
    return s && (s->kind == NodeWhile || s->kind == NodeDoWhile || s->kind == NodeFor || s->kind == NodeForIn);
}

void Generator::Jump(Node* s, bool isBreak) {
    const char* what = isBreak ? "invalid break" : "invalid continue";
    int target = -1;
    for (int i = static_cast<int>(c_.control.size()) - 1; i >= 0; --i) {
        const CControlEntry& e = c_.control[i];
        if (e.finallyPart) c_.Error(s->line, "%s", what);
        if (s->name) {
            if (e.labelName && std::strcmp(e.labelName, s->name) == 0) {
                if (isBreak) {
                    target = i;
                } else if (e.labelsLoop && i + 1 < static_cast<int>(c_.control.size()) && c_.control[i + 1].isLoop) {
                    target = i + 1;
                }
                break;
            }
        } else if (isBreak ? e.breakLabel != nullptr : e.continueLabel != nullptr) {
            target = i;
            break;
        }
    }
    if (target < 0) c_.Error(s->line, "%s", what);
    int with = 0, tries = 0, held = 0;
    for (int i = static_cast<int>(c_.control.size()) - 1; i >= target; --i) {
        with += c_.control[i].withDepth;
        tries += c_.control[i].tryDepth;
        if (i > target) held += c_.control[i].heldValues;
    }
    int line = s->line;
    if (with > 0) EmitSplit(OP_POPWITH, line, with);
    if (tries > 0) EmitSplit(OP_ENDTRY, line, tries);
    if (held == 1) Emit(OP_POP, line);
    else if (held > 1) EmitSplit(OP_POPN, line, held);
    const CControlEntry& t = c_.control[target];
    EmitJump(OP_JUMP, line, isBreak ? t.breakLabel : t.continueLabel);
}

void Generator::ForIn(Node* s) {
    int line = s->line;
    if (s->b) {
        PushScope();
        Node* d = s->b;
        int slot = DeclareLocal(d->name, d->line);
        if (d->a) {
            Expr(d->a);
            Emit(OP_STOREVAR, d->line, slot);
        }
    }
    Expr(s->c);
    Emit(OP_DUP, line);
    Emit(OP_PUSHINT0, line);
    Emit(OP_SWAP, line);
    Emit(OP_PUSHINT0, line);
    CScriptInstr* top = NewLabel();
    CScriptInstr* exit = NewLabel();
    CScriptInstr* brk = NewLabel();
    CScriptInstr* next = NewLabel();
    Place(top);
    Emit(OP_ENUMNEXT, line);
    EmitJump(OP_JUMPIFFALSE, line, exit);
    if (s->b) Emit(OP_STOREVAR, line, Resolve(s->b->name).slot);
    else Store(s->a);
    CControlEntry entry;
    entry.breakLabel = brk;
    entry.continueLabel = next;
    entry.isLoop = true;
    entry.heldValues = 2;
    c_.control.push_back(entry);
    Statement(s->e);
    c_.control.pop_back();
    Place(next);
    Emit(OP_PUSHINT1, line);
    Emit(OP_ADD, line);
    Emit(OP_DUP, line);
    Emit(OP_ROT, line, -3);
    Emit(OP_DUP, line);
    Emit(OP_ROT, line, 4);
    Emit(OP_SWAP, line);
    EmitJump(OP_JUMP, line, top);
    Place(exit);
    Emit(OP_POP, line);
    Place(brk);
    Emit(OP_POPN, line, 2);
    if (s->b) PopScope();
}

void Generator::Switch(Node* s) {
    int line = s->line;
    Expr(s->a);
    CScriptInstr* end = NewLabel();
    CControlEntry entry;
    entry.breakLabel = end;
    entry.heldValues = 1;
    c_.control.push_back(entry);
    std::vector<Node*> clauses;
    for (Node* k = s->b; k; k = k->next) clauses.push_back(k);
    size_t n = clauses.size();
    std::vector<CScriptInstr*> test(n, nullptr), body(n, nullptr);
    CScriptInstr* defaultLabel = nullptr;
    for (size_t i = 0; i < n; ++i) {
        if (clauses[i]->a) {
            if (i > 0) {
                test[i] = NewLabel();
                body[i] = NewLabel();
            }
        } else {
            defaultLabel = NewLabel();
            test[i] = defaultLabel;
            if (i > 0) body[i] = NewLabel();
        }
    }
    auto nextTest = [&](size_t i) -> CScriptInstr* {
        size_t j = i + 1;
        if (j >= n) return defaultLabel ? defaultLabel : end;
        if (!clauses[j]->a) {
            if (j + 1 >= n) return defaultLabel;
            return test[j + 1];
        }
        return test[j];
    };
    auto nextBody = [&](size_t i) { return i + 1 < n ? body[i + 1] : end; };
    for (size_t i = 0; i < n; ++i) {
        Node* k = clauses[i];
        if (k->a) {
            if (test[i]) Place(test[i]);
            Emit(OP_DUP, k->line);
            Expr(k->a);
            Emit(OP_STRICTEQ, k->line);
            EmitJump(OP_JUMPIFFALSE, k->line, nextTest(i));
            if (body[i]) Place(body[i]);
        } else {
            if (i == 0 && n > 1) EmitJump(OP_JUMP, k->line, nextTest(0));
            Place(defaultLabel);
            if (body[i]) Place(body[i]);
        }
        Body(k->b);
        EmitJump(OP_JUMP, k->line2, nextBody(i));
    }
    c_.control.pop_back();
    Place(end);
    switchPop_ = Emit(OP_POP, s->line2 ? s->line2 : line);
}

void Generator::Try(Node* s) {
    int line = s->line;
    CScriptInstr* catchLabel = NewLabel();
    CScriptInstr* final = NewLabel();
    EmitJump(OP_TRY, line, catchLabel);
    ++c_.control.back().tryDepth;
    Statement(s->e);
    --c_.control.back().tryDepth;
    Emit(OP_ENDTRY, line, 1);
    Emit(OP_PUSHFALSE, line);
    EmitJump(OP_JUMP, line, final);
    Place(catchLabel);
    if (s->b) {
        CScriptInstr* err = NewLabel();
        CScriptInstr* nomatch = NewLabel();
        CScriptInstr* handled = NewLabel();
        Emit(OP_PUSHFALSE, line);
        Emit(OP_SWAP, line);
        EmitJump(OP_TRY, line, err);
        ++c_.control.back().tryDepth;
        // The flag and the thrown value stay on the stack while the clauses run.
        CControlEntry held;
        held.heldValues = 2;
        c_.control.push_back(held);
        std::vector<CScriptInstr*> entries;
        for (Node* k = s->b; k; k = k->next) entries.push_back(NewLabel());
        size_t index = 0;
        for (Node* k = s->b; k; k = k->next, ++index) {
            CScriptInstr* next = k->next ? entries[index + 1] : nomatch;
            int kline = k->line;
            Place(entries[index]);
            PushScope();
            int slot = DeclareLocal(k->name, kline);
            Emit(OP_DUP, kline);
            Emit(OP_STOREVAR, kline, slot);
            if (k->a) {
                CScriptInstr* condFault = NewLabel();
                CScriptInstr* bodyLabel = NewLabel();
                EmitJump(OP_TRY, kline, condFault);
                Expr(k->a);
                Emit(OP_ENDTRY, kline, 1);
                CondJump(k->a, false, next, kline);
                EmitJump(OP_JUMP, kline, bodyLabel);
                Place(condFault);
                Emit(OP_POP, kline);
                EmitJump(OP_JUMP, kline, next);
                Place(bodyLabel);
            }
            Emit(OP_SWAP, kline);
            Emit(OP_POP, kline);
            Emit(OP_PUSHTRUE, kline);
            Emit(OP_SWAP, kline);
            Statement(k->e);
            PopScope();
            if (k->next) EmitJump(OP_JUMP, kline, nomatch);
        }
        c_.control.pop_back();
        Place(nomatch);
        --c_.control.back().tryDepth;
        Emit(OP_ENDTRY, line, 1);
        Emit(OP_SWAP, line);
        EmitJump(OP_JUMPIFTRUE, line, handled);
        Emit(OP_PUSHTRUE, line);
        EmitJump(OP_JUMP, line, final);
        Place(handled);
        Emit(OP_POP, line);
        Emit(OP_PUSHFALSE, line);
        EmitJump(OP_JUMP, line, final);
        Place(err);
        Emit(OP_NIP, line, 2);
    }
    Emit(OP_PUSHTRUE, line);
    Place(final);
    if (s->d) {
        // The stack holds one or two values here depending on the path taken, so no jump may
        // leave the finally part.
        CControlEntry guard;
        guard.finallyPart = true;
        c_.control.push_back(guard);
        Statement(s->d);
        c_.control.pop_back();
    }
    CScriptInstr* out = NewLabel();
    EmitJump(OP_JUMPIFFALSE, line, out);
    Emit(OP_THROW, line);
    Place(out);
}

void Generator::Statement(Node* s) {
    int line = s->line;
    switch (s->kind) {
        case NodeExprStatement:
            Expr(s->a);
            Emit(OP_POP, line);
            break;
        case NodeVar:
            VarStatement(s);
            break;
        case NodeBlock:
            PushScope();
            Body(s->b);
            PopScope();
            break;
        case NodeIf: {
            CScriptInstr* elseLabel = NewLabel();
            CScriptInstr* end = NewLabel();
            Expr(s->a);
            CondJump(s->a, false, elseLabel, line);
            Statement(s->b);
            EmitJump(OP_JUMP, line, end);
            Place(elseLabel);
            if (s->c) Statement(s->c);
            Place(end);
            break;
        }
        case NodeWhile: {
            CScriptInstr* top = NewLabel();
            CScriptInstr* end = NewLabel();
            Place(top);
            Expr(s->a);
            CondJump(s->a, false, end, line);
            CControlEntry e;
            e.breakLabel = end;
            e.continueLabel = top;
            e.isLoop = true;
            c_.control.push_back(e);
            Statement(s->b);
            c_.control.pop_back();
            EmitJump(OP_JUMP, line, top);
            Place(end);
            break;
        }
        case NodeDoWhile: {
            CScriptInstr* top = NewLabel();
            CScriptInstr* end = NewLabel();
            CScriptInstr* cond = NewLabel();
            Place(top);
            CControlEntry e;
            e.breakLabel = end;
            e.continueLabel = cond;
            e.isLoop = true;
            c_.control.push_back(e);
            Statement(s->b);
            c_.control.pop_back();
            Place(cond);
            Expr(s->a);
            CondJump(s->a, true, top, line);
            Place(end);
            break;
        }
        case NodeFor: {
            if (s->b) {
                PushScope();
                Node v;
                v.kind = NodeVar;
                v.b = s->b;
                v.count = s->count;
                VarStatement(&v);
            } else if (s->a) {
                Expr(s->a);
                Emit(OP_POP, line);
            }
            CScriptInstr* top = NewLabel();
            CScriptInstr* end = NewLabel();
            CScriptInstr* step = NewLabel();
            Place(top);
            if (s->c) {
                Expr(s->c);
                CondJump(s->c, false, end, line);
            } else {
                Emit(OP_PUSHTRUE, line);
                EmitJump(OP_JUMPIFFALSE, line, end);
            }
            CControlEntry e;
            e.breakLabel = end;
            e.continueLabel = step;
            e.isLoop = true;
            c_.control.push_back(e);
            Statement(s->e);
            c_.control.pop_back();
            Place(step);
            if (s->d) {
                Expr(s->d);
                Emit(OP_POP, line);
            }
            EmitJump(OP_JUMP, line, top);
            Place(end);
            if (s->b) PopScope();
            break;
        }
        case NodeForIn:
            ForIn(s);
            break;
        case NodeWith:
            Expr(s->a);
            Emit(OP_PUSHWITH, line);
            ++c_.control.back().withDepth;
            Statement(s->e);
            --c_.control.back().withDepth;
            Emit(OP_POPWITH, line, 1);
            break;
        case NodeThrow:
            Expr(s->a);
            Emit(OP_THROW, line);
            break;
        case NodeReturn: {
            int t = TryDepth();
            if (t > 0) EmitSplit(OP_ENDTRY, line, t);
            if (s->a) Expr(s->a);
            else Emit(OP_PUSHUNDEF, line);
            Emit(OP_RETURN, line);
            break;
        }
        case NodeLabel: {
            CScriptInstr* end = NewLabel();
            CControlEntry e;
            e.breakLabel = end;
            e.labelName = s->name;
            e.labelsLoop = IsLoop(s->e);
            c_.control.push_back(e);
            Statement(s->e);
            c_.control.pop_back();
            Place(end);
            break;
        }
        case NodeBreak:
            Jump(s, true);
            break;
        case NodeContinue:
            Jump(s, false);
            break;
        case NodeSwitch:
            Switch(s);
            break;
        case NodeTry:
            Try(s);
            break;
        case NodeBindNested:
            EmitName(OP_LOADGLOBAL, line, s->name2);
            EmitName(OP_LOADGLOBAL, line, s->name);
            EmitName(OP_SETMEMBER, line, s->name3);
            break;
        default:
            break;
    }
}

}  // namespace

void GenerateBegin(CScriptCompiler& c) {
    c.control.assign(1, CControlEntry{});
    c.scopes.clear();
    c.symbols.clear();
    c.scopes.push_back({0, 0});  // the root scope: the main program's
}

void GenerateFunction(CScriptCompiler& c, Node* f) { Generator(c).Function(f); }

void GenerateMain(CScriptCompiler& c) { Generator(c).Main(); }

}  // namespace nerva
