// Parser: recursive descent with one token of look-ahead, building the main program list and
// the function list. Functions never nest in the tree: each goes to the function list under
// its hidden name, and a binding statement stays where a nested declaration stood.
#include <array>
#include <cstdio>

#include "compiler/compiler_internal.h"

namespace nerva {

namespace {

class Parser {
public:
    explicit Parser(CScriptCompiler& c) : c_(c) {}
    void Program();

private:
    const CScriptToken& Peek() {
        if (!c_.haveLookahead) {
            c_.lookahead = NextToken(c_);
            c_.haveLookahead = true;
        }
        return c_.lookahead;
    }
    CScriptToken Next() {
        Peek();
        c_.haveLookahead = false;
        c_.lastLine = c_.lookahead.line;
        if (c_.lookahead.code == kTokIdentifier && c_.lookahead.text.view() == "arguments") ++c_.argumentsCounter;
        return c_.lookahead;
    }
    bool Accept(int code) {
        if (Peek().code != code) return false;
        Next();
        return true;
    }
    [[noreturn]] void Syntax(const char* what) { c_.Error(c_.lastLine, "syntax error: %s", what); }
    [[noreturn]] void SyntaxHere(const char* what) { c_.Error(Peek().line, "syntax error: %s", what); }
    void Expect(int code, const char* what) {
        if (!Accept(code)) Syntax(what);
    }

    Node* Make(int kind, int line) {
        Node* n = c_.nodes->New<Node>();
        n->kind = kind;
        n->line = line;
        return n;
    }
    const char* HiddenName() {
        char name[32];
        std::snprintf(name, sizeof name, "@F_%d", c_.hiddenCounter++);
        return c_.nodes->Copy(name, std::strlen(name)).chars;
    }

    void ExpectSemicolon();
    Node* Statement();
    Node* Block();
    Node* Var(bool allowEmpty, int line);
    Node* For();
    Node* Switch();
    Node* Try();
    Node* Function();

    Node* Comma();
    Node* Assignment();
    Node* Conditional();
    Node* Binary(int level);
    Node* Unary();
    Node* Postfix();
    Node* Call();
    Node* Member();
    Node* Primary();
    Node* Arguments(int& count);
    Node* ArrayLiteral();
    Node* ObjectLiteral();

    // Recursion guard: absurdly deep nesting is an error, not a stack overflow.
    struct Nesting {
        Nesting(Parser& p, int& depth, int limit) : depth_(depth) {
            if (++depth_ > limit) p.Syntax("nesting too deep");
        }
        ~Nesting() { --depth_; }
        int& depth_;
    };

    CScriptCompiler& c_;
    int statementDepth_ = 0;
    int expressionDepth_ = 0;
};

constexpr int kMaxStatementNesting = 1000;
constexpr int kMaxExpressionNesting = 256;

void Parser::ExpectSemicolon() {
    const CScriptToken& t = Peek();
    if (t.code == ';') {
        Next();
        return;
    }
    if (t.code == '}' || t.code == kTokEnd || t.line > c_.lastLine) {
        ++c_.insertedSemicolons;
        if (c_.warnMissingSemicolon) c_.Warning(c_.lastLine, "missing ;");
        return;
    }
    c_.Error(c_.lastLine, "missing ;");
}

void Parser::Program() {
    while (Peek().code != kTokEnd) {
        if (Peek().code == kTokFunction) {
            Function();
            continue;
        }
        Node* s = Statement();
        if (!s) Syntax("invalid statement");
        if (s->kind == NodeVar) s->op = 1;
        if (c_.mainTail) c_.mainTail->next = s;
        else c_.mainHead = s;
        c_.mainTail = s;
        ++c_.mainCount;
    }
}

// The statements of a block up to the first token that cannot start one.
Node* Parser::Block() {
    int line = Next().line;  // '{'
    if (Accept('}')) return Make(NodeEmpty, line);
    Node* head = nullptr;
    Node* tail = nullptr;
    while (Node* s = Statement()) {
        if (tail) tail->next = s;
        else head = s;
        tail = s;
    }
    Expect('}', "missing } after block");
    Node* b = Make(NodeBlock, line);
    b->b = head;
    return b;
}

// Declarators after `var`. With no declarator the caller decides what that means.
Node* Parser::Var(bool forHeader, int line) {
    Node* v = Make(NodeVar, line);
    Node* tail = nullptr;
    if (Peek().code == kTokIdentifier) {
        for (;;) {
            CScriptToken id = Next();
            Node* d = Make(NodeDeclarator, id.line);
            d->name = id.text.chars;
            if (Accept('=')) {
                d->a = Assignment();
                if (!d->a) Syntax("invalid variable initialization");
            }
            if (tail) tail->next = d;
            else v->b = d;
            tail = d;
            ++v->count;
            if (forHeader && Peek().code == kTokIn) break;
            if (!Accept(',')) break;
            if (Peek().code != kTokIdentifier) SyntaxHere("illegal identifier");
        }
    }
    return v;
}

Node* Parser::For() {
    int line = Next().line;
    Expect('(', "missing ( after for");
    Node* decls = nullptr;
    Node* init = nullptr;
    if (Peek().code == kTokVar) {
        int vline = Next().line;
        decls = Var(true, vline);
        if (decls->count == 0) Syntax("missing variable name");
    } else if (Peek().code != ';') {
        init = Comma();
        if (!init) Syntax("invalid for-loop initializer or for-in expression");
    }
    if (Accept(kTokIn)) {
        Node* f = Make(NodeForIn, line);
        if (decls) {
            if (decls->count != 1) Syntax("more than one variable declaration");
            f->b = decls->b;
        } else {
            if (!init || init->kind != NodeIdentifier) Syntax("illegal identifier");
            f->a = init;
        }
        f->c = Comma();
        if (!f->c) Syntax("invalid expression");
        Expect(')', "missing ) after for-loop control");
        f->e = Statement();
        if (!f->e) Syntax("invalid statement");
        return f;
    }
    if (!Accept(';')) Syntax("missing ; after for-loop initializer");
    Node* f = Make(NodeFor, line);
    if (decls) {
        f->b = decls->b;
        f->count = decls->count;
    }
    f->a = init;
    if (Peek().code != ';') {
        f->c = Comma();
        if (!f->c) Syntax("invalid for-loop condition expression");
    }
    Expect(';', "missing ; after for-loop condition");
    if (Peek().code != ')') {
        f->d = Comma();
        if (!f->d) Syntax("invalid for-loop control expression");
    }
    Expect(')', "missing ) after for-loop control");
    f->e = Statement();
    if (!f->e) Syntax("invalid statement");
    return f;
}

Node* Parser::Switch() {
    int line = Next().line;
    Expect('(', "missing ( before switch expression");
    Node* s = Make(NodeSwitch, line);
    s->a = Comma();
    if (!s->a) Syntax("invalid switch expression");
    Expect(')', "missing ) after switch expression");
    Expect('{', "missing { before switch body");
    Node* tail = nullptr;
    for (;;) {
        int code = Peek().code;
        if (code == '}') {
            Next();
            break;
        }
        Node* clause;
        if (code == kTokCase) {
            clause = Make(NodeEmpty, Next().line);
            clause->a = Comma();
            if (!clause->a) Syntax("invalid case expression");
        } else if (code == kTokDefault) {
            clause = Make(NodeEmpty, Next().line);
            ++s->count;
        } else {
            SyntaxHere("missing } after switch block");
        }
        if (!Accept(':')) SyntaxHere("missing : after case label");
        clause->line2 = c_.lastLine;
        Node* stail = nullptr;
        for (;;) {
            int k = Peek().code;
            if (k == kTokCase || k == kTokDefault || k == '}') break;
            Node* st = Statement();
            if (!st) Syntax("invalid statement");
            if (stail) stail->next = st;
            else clause->b = st;
            stail = st;
        }
        if (tail) tail->next = clause;
        else s->b = clause;
        tail = clause;
    }
    s->line2 = c_.lastLine;
    if (s->count > 1) c_.Error(c_.lastLine, "more than one switch default");
    return s;
}

Node* Parser::Try() {
    Node* t = Make(NodeTry, Next().line);
    t->e = Statement();
    if (!t->e) Syntax("invalid statement");
    Node* tail = nullptr;
    while (Peek().code == kTokCatch) {
        Node* clause = Make(NodeEmpty, Next().line);
        Expect('(', "missing ( before catch");
        if (Peek().code != kTokIdentifier) SyntaxHere("missing identifier in catch");
        clause->name = Next().text.chars;
        if (Accept(kTokIf)) {
            clause->a = Comma();
            if (!clause->a) Syntax("invalid statement");
        }
        Expect(')', "missing ) after catch");
        clause->e = Statement();
        if (!clause->e) Syntax("invalid statement");
        if (tail) tail->next = clause;
        else t->b = clause;
        tail = clause;
    }
    if (Accept(kTokFinally)) {
        t->d = Statement();
        if (!t->d) Syntax("invalid statement");
    }
    if (!t->b && !t->d) SyntaxHere("missing catch or finally after try");
    return t;
}

Node* Parser::Statement() {
    Nesting guard(*this, statementDepth_, kMaxStatementNesting);
    const CScriptToken& t = Peek();
    switch (t.code) {
        case '{':
            return Block();
        case kTokFunction: {
            bool nested = !c_.functionStack.empty();
            Node* f = Function();
            if (!nested) return Make(NodeEmpty, f->line);
            Node* b = Make(NodeBindNested, f->line);
            b->name = c_.functionStack.back();
            b->name2 = f->name;
            b->name3 = f->name2;
            return b;
        }
        case kTokVar: {
            int line = Next().line;
            Node* v = Var(false, line);
            ExpectSemicolon();
            if (v->count == 0) Syntax("missing variable name");
            return v;
        }
        case kTokIf:
        case kTokWhile: {
            bool isIf = t.code == kTokIf;
            Node* n = Make(isIf ? NodeIf : NodeWhile, Next().line);
            Expect('(', "missing ( before condition");
            n->a = Comma();
            if (!n->a) Syntax("invalid condition expression");
            Expect(')', "missing ) after condition");
            n->b = Statement();
            if (!n->b) Syntax("invalid statement");
            if (isIf && Accept(kTokElse)) {
                n->c = Statement();
                if (!n->c) Syntax("invalid statement");
            }
            return n;
        }
        case kTokDo: {
            Node* n = Make(NodeDoWhile, Next().line);
            n->b = Statement();
            if (!n->b) Syntax("invalid statement");
            Expect(kTokWhile, "missing while after do-loop body");
            Expect('(', "missing ( before condition");
            n->a = Comma();
            if (!n->a) Syntax("invalid condition expression");
            Expect(')', "missing ) after condition");
            ExpectSemicolon();
            return n;
        }
        case kTokFor:
            return For();
        case ';':
            return Make(NodeEmpty, Next().line);
        case kTokContinue:
        case kTokBreak: {
            CScriptToken k = Next();
            Node* n = Make(k.code == kTokBreak ? NodeBreak : NodeContinue, k.line);
            if (Peek().code == kTokIdentifier && Peek().line == k.line) n->name = Next().text.chars;
            ExpectSemicolon();
            return n;
        }
        case kTokReturn: {
            Node* n = Make(NodeReturn, Next().line);
            if (Accept(';')) return n;
            if (Peek().line > c_.lastLine) {
                ++c_.insertedSemicolons;
                if (c_.warnMissingSemicolon) c_.Warning(n->line, "missing ;");
                return n;
            }
            n->a = Comma();
            if (!n->a) Syntax("invalid return");
            ExpectSemicolon();
            return n;
        }
        case kTokSwitch:
            return Switch();
        case kTokWith: {
            Node* n = Make(NodeWith, Next().line);
            Expect('(', "missing ( before with-statement object");
            n->a = Comma();
            if (!n->a) Syntax("invalid with-statement object");
            Expect(')', "missing ) after with-statement object");
            n->e = Statement();
            if (!n->e) Syntax("invalid with block");
            return n;
        }
        case kTokTry:
            return Try();
        case kTokThrow: {
            Node* n = Make(NodeThrow, Next().line);
            n->a = Comma();
            if (!n->a) Syntax("invalid throw");
            ExpectSemicolon();
            return n;
        }
        default:
            break;
    }
    int identLine = t.line;
    Node* e = Comma();
    if (!e) return nullptr;
    if (e->kind == NodeIdentifier && Peek().code == ':' && Peek().line == identLine) {
        Next();
        Node* l = Make(NodeLabel, e->line);
        l->name = e->name;
        l->e = Statement();
        if (!l->e) Syntax("invalid label");
        return l;
    }
    ExpectSemicolon();
    Node* s = Make(NodeExprStatement, e->line);
    s->a = e;
    return s;
}

Node* Parser::Function() {
    int argumentsAtStart = c_.argumentsCounter;
    int line = Next().line;
    bool nested = !c_.functionStack.empty();
    const char* declared;
    const char* hidden;
    if (Peek().code == kTokIdentifier) {
        CScriptToken id = Next();
        line = id.line;
        declared = id.text.chars;
        hidden = nested ? HiddenName() : declared;
    } else {
        declared = hidden = HiddenName();
    }
    // The function record and its names live on in the enclosing arena; its parameters and
    // body go into an arena of their own, dropped once the function is written.
    Node* f = Make(NodeFunction, line);
    f->name = hidden;
    f->name2 = declared;
    CArena* outer = c_.nodes;
    if (c_.nodeArenas.size() <= c_.functionStack.size()) c_.nodeArenas.push_back(std::make_unique<CArena>());
    c_.nodes = c_.nodeArenas[c_.functionStack.size()].get();
    c_.functionStack.push_back(hidden);
    Expect('(', "missing ( before formal parameters");
    if (!Accept(')')) {
        Node* tail = nullptr;
        bool afterComma = false;
        for (;;) {
            if (Peek().code != kTokIdentifier) {
                if (afterComma) SyntaxHere("illegal identifier");
                Syntax("illegal identifier");
            }
            CScriptToken id = Next();
            Node* p = Make(NodeIdentifier, id.line);
            p->name = id.text.chars;
            if (tail) tail->next = p;
            else f->b = p;
            tail = p;
            ++f->count;
            if (Accept(',')) {
                afterComma = true;
                continue;
            }
            if (Accept(')')) break;
            Syntax("missing ) after formal parameters");
        }
    }
    if (Peek().code != '{') Syntax("invalid function body");
    Node* body = Block();
    f->line2 = body->line;
    f->e = body->kind == NodeBlock ? body->b : nullptr;
    f->op = c_.argumentsCounter != argumentsAtStart;
    ++c_.functionCount;
    c_.functionStack.pop_back();
    CompleteFunction(c_, f);
    CArena* inner = c_.nodes;
    c_.nodes = outer;
    if (c_.haveLookahead) c_.lookahead.text = outer->Copy(c_.lookahead.text.chars, c_.lookahead.text.length);
    inner->Reset();
    f->b = f->e = nullptr;
    return f;
}

Node* Parser::Comma() {
    Node* left = Assignment();
    if (!left) return nullptr;
    while (Peek().code == ',') {
        int line = Next().line;
        Node* right = Assignment();
        if (!right) Syntax("invalid expression");
        Node* n = Make(NodeComma, line);
        n->a = left;
        n->b = right;
        left = n;
    }
    return left;
}

bool IsAssignOp(int code) {
    switch (code) {
        case '=': case kTokMulAssign: case kTokDivAssign: case kTokModAssign: case kTokAddAssign:
        case kTokSubAssign: case kTokAndAssign: case kTokXorAssign: case kTokOrAssign:
        case kTokShlAssign: case kTokShrAssign: case kTokUshrAssign:
            return true;
        default:
            return false;
    }
}

bool CanBeAssigned(int kind) {
    return (kind >= NodeThis && kind <= NodeNew) || kind == NodeRegExp || kind == NodeArrayLiteral ||
           kind == NodeUndefined;
}

Node* Parser::Assignment() {
    Nesting guard(*this, expressionDepth_, kMaxExpressionNesting);
    Node* left = Conditional();
    if (!left) return nullptr;
    if (!IsAssignOp(Peek().code) || !CanBeAssigned(left->kind)) return left;
    CScriptToken op = Next();
    Node* value = Assignment();
    if (!value) {
        if (op.code != '=' || Peek().code != kTokFunction) Syntax("invalid expression");
        Node* f = Function();
        value = Make(NodeIdentifier, f->line2);
        value->name = f->name;
    }
    Node* n = Make(NodeAssign, op.line);
    n->op = op.code;
    n->a = left;
    n->b = value;
    return n;
}

Node* Parser::Conditional() {
    Node* cond = Binary(0);
    if (!cond || Peek().code != '?') return cond;
    Node* n = Make(NodeConditional, Next().line);
    n->a = cond;
    n->b = Assignment();
    if (!n->b) Syntax("invalid expression");
    Expect(':', "missing : in conditional expression");
    n->c = Assignment();
    if (!n->c) Syntax("invalid expression");
    return n;
}

struct BinaryLevel {
    int kind;
    int ops[4];
};

// From the lowest precedence up; every level is left-associative.
constexpr BinaryLevel kLevels[] = {
    {NodeLogical, {kTokOr}},
    {NodeLogical, {kTokAnd}},
    {NodeBitwise, {'|'}},
    {NodeBitwise, {'^'}},
    {NodeBitwise, {'&'}},
    {NodeEquality, {kTokEq, kTokNe, kTokStrictEq, kTokStrictNe}},
    {NodeRelational, {'<', '>', kTokLe, kTokGe}},
    {NodeShift, {kTokShl, kTokShr, kTokUshr}},
    {NodeAdditive, {'+', '-'}},
    {NodeMultiplicative, {'*', '/', '%'}},
};
constexpr int kLevelCount = sizeof(kLevels) / sizeof(kLevels[0]);

// Level of a two-operand operator token, or -1.
int LevelOf(int code) {
    static const auto table = [] {
        std::array<int8_t, 256> t;
        t.fill(-1);
        for (int level = 0; level < kLevelCount; ++level)
            for (int op : kLevels[level].ops)
                if (op) t[static_cast<size_t>(op)] = static_cast<int8_t>(level);
        return t;
    }();
    return code >= 0 && code < 256 ? table[static_cast<size_t>(code)] : -1;
}

Node* Parser::Binary(int level) {
    if (level == kLevelCount) return Unary();
    Node* left = Binary(level + 1);
    if (!left) return nullptr;
    const BinaryLevel& lv = kLevels[level];
    for (;;) {
        int code = Peek().code;
        if (LevelOf(code) != level) return left;
        int line = Next().line;
        Node* right = Binary(level + 1);
        if (!right) Syntax("invalid expression");
        Node* n = Make(lv.kind, line);
        n->op = code;
        n->a = left;
        n->b = right;
        if (lv.kind == NodeEquality || lv.kind == NodeRelational) n->hint = HintBoolean;
        if (lv.kind == NodeLogical && left->hint == HintBoolean && right->hint == HintBoolean) n->hint = HintBoolean;
        left = n;
    }
}

Node* Parser::Unary() {
    int code = Peek().code;
    switch (code) {
        case '!': case '+': case '-': case '~': case kTokDelete: case kTokTypeof: case kTokVoid:
        case kTokInc: case kTokDec: {
            Nesting guard(*this, expressionDepth_, kMaxExpressionNesting);
            Node* n = Make(NodeUnary, Next().line);
            n->op = code;
            n->a = Unary();
            if (!n->a) Syntax("invalid expression");
            return n;
        }
        default:
            return Postfix();
    }
}

Node* Parser::Postfix() {
    Node* e = Call();
    if (!e) return nullptr;
    int code = Peek().code;
    if (code == kTokInc || code == kTokDec) {
        if (Peek().line == c_.lastLine) {
            Node* n = Make(NodePostfix, Next().line);
            n->op = code;
            n->a = e;
            return n;
        }
        if (c_.warnMissingSemicolon) c_.Warning(Peek().line, "missing ;");
    }
    return e;
}

Node* Parser::Arguments(int& count) {
    Next();  // '('
    Node* head = nullptr;
    count = 0;
    if (Peek().code != ')') {
        for (;;) {
            Node* a = Assignment();
            if (!a) SyntaxHere("missing ) after argument list");
            a->next = head;
            head = a;
            ++count;
            if (!Accept(',')) break;
        }
    }
    if (Peek().code != ')') SyntaxHere("missing ) after argument list");
    Next();
    return head;
}

Node* Parser::Call() {
    Node* e = Member();
    if (!e || Peek().code != '(') return e;
    for (;;) {
        int code = Peek().code;
        if (code == '(') {
            Node* n = Make(NodeCall, Peek().line);
            n->a = e;
            n->b = Arguments(n->count);
            e = n;
        } else if (code == '[') {
            Node* n = Make(NodeIndex, Next().line);
            n->a = e;
            n->b = Comma();
            if (!n->b) Syntax("invalid expression");
            Expect(']', "missing ] in index expression");
            e = n;
        } else if (code == '.') {
            Node* n = Make(NodeMember, Next().line);
            if (Peek().code != kTokIdentifier) Syntax("illegal identifier");
            n->name = Next().text.chars;
            n->a = e;
            e = n;
        } else {
            return e;
        }
    }
}

Node* Parser::Member() {
    Node* e;
    if (Peek().code == kTokNew) {
        e = Make(NodeNew, Next().line);
        e->a = Member();
        if (!e->a) Syntax("invalid expression");
        if (Peek().code == '(') e->b = Arguments(e->count);
    } else {
        e = Primary();
        if (!e) return nullptr;
    }
    for (;;) {
        int code = Peek().code;
        if (code == '[') {
            Node* n = Make(NodeIndex, Next().line);
            n->a = e;
            n->b = Comma();
            if (!n->b) Syntax("invalid expression");
            Expect(']', "missing ] in index expression");
            e = n;
        } else if (code == '.') {
            Node* n = Make(NodeMember, Next().line);
            if (Peek().code != kTokIdentifier) Syntax("illegal identifier");
            n->name = Next().text.chars;
            n->a = e;
            e = n;
        } else {
            return e;
        }
    }
}

Node* Parser::Primary() {
    const CScriptToken& t = Peek();
    Node* n;
    switch (t.code) {
        case kTokInteger:
            n = Make(NodeInteger, t.line);
            n->integer = t.integer;
            n->hint = HintInteger;
            break;
        case kTokFloat:
            n = Make(NodeFloat, t.line);
            n->number = t.number;
            n->hint = HintFloat;
            break;
        case kTokString:
            n = Make(NodeString, t.line);
            n->text = t.text;
            n->hint = HintString;
            break;
        case kTokIdentifier:
            n = Make(NodeIdentifier, t.line);
            n->name = t.text.chars;
            break;
        case kTokThis: n = Make(NodeThis, t.line); break;
        case kTokNull: n = Make(NodeNull, t.line); n->hint = HintNull; break;
        case kTokTrue: n = Make(NodeTrue, t.line); n->hint = HintBoolean; break;
        case kTokFalse: n = Make(NodeFalse, t.line); n->hint = HintBoolean; break;
        case kTokUndefined: n = Make(NodeUndefined, t.line); break;
        case '(': {
            Next();
            Node* e = Comma();
            if (!e) Syntax("invalid expression");
            if (!Accept(')')) Syntax("invalid expression");
            return e;
        }
        case '[':
            return ArrayLiteral();
        case '{':
            return ObjectLiteral();
        case '/': {
            int line = Next().line;
            n = Make(NodeRegExp, line);
            n->op = ReadRegExpLiteral(c_, line, n->text);
            n->hint = HintRegExp;
            return n;
        }
        default:
            return nullptr;
    }
    Next();
    return n;
}

Node* Parser::ArrayLiteral() {
    Node* a = Make(NodeArrayLiteral, Next().line);
    a->hint = HintArray;
    bool atStart = true;
    bool afterComma = false;
    auto add = [&](Node* e) {
        e->next = a->b;
        a->b = e;
        ++a->count;
    };
    for (;;) {
        int code = Peek().code;
        if (code == ']') {
            if (afterComma) add(Make(NodeEmpty, Peek().line));
            Next();
            return a;
        }
        if (code == ',') {
            if (atStart || afterComma) add(Make(NodeEmpty, Peek().line));
            Next();
            atStart = false;
            afterComma = true;
            continue;
        }
        Node* e = Assignment();
        if (!e) SyntaxHere("missing ] after element list");
        add(e);
        atStart = afterComma = false;
        if (Peek().code != ',' && Peek().code != ']') SyntaxHere("missing ] after element list");
    }
}

Node* Parser::ObjectLiteral() {
    Node* o = Make(NodeObjectLiteral, Next().line);
    o->hint = HintObject;
    for (;;) {
        if (Accept('}')) return o;
        const CScriptToken& k = Peek();
        if (k.code != kTokInteger && k.code != kTokString && k.code != kTokIdentifier) SyntaxHere("invalid property id");
        Node* p = Make(NodeEmpty, k.line);
        p->op = k.code;
        p->integer = k.integer;
        p->text = k.text;
        p->name = k.text.chars;
        Next();
        Expect(':', "missing : after property id");
        p->a = Assignment();
        if (!p->a) Syntax("invalid expression");
        p->next = o->b;
        o->b = p;
        ++o->count;
        if (Accept(',')) continue;
        if (Peek().code != '}') SyntaxHere("missing } after property list");
    }
}

}  // namespace

void ParseProgram(CScriptCompiler& c) { Parser(c).Program(); }

}  // namespace nerva
