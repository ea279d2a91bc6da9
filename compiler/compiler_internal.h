// Records shared by the lexer, parser, code generator, optimizer and image writer, and the
// compiler record (CScriptCompiler) that carries one compilation through them. Records live in
// arenas and are never freed one by one: each function's syntax tree has an arena of its own,
// and as soon as the parser completes a function it is generated, optimized and written, and
// its tree and instructions are dropped. So a compilation holds the main program's tree, one
// function at a time and the image, whatever the size of the source.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/stream.h"

namespace nerva {

// Token codes beyond the single characters.
constexpr int kTokEnd = 128;
constexpr int kTokInteger = 129;
constexpr int kTokFloat = 130;
constexpr int kTokString = 131;
constexpr int kTokIdentifier = 132;
constexpr int kTokBreak = 133;
constexpr int kTokContinue = 134;
constexpr int kTokDelete = 135;
constexpr int kTokElse = 136;
constexpr int kTokFor = 137;
constexpr int kTokFunction = 138;
constexpr int kTokIf = 139;
constexpr int kTokIn = 140;
constexpr int kTokNew = 141;
constexpr int kTokReturn = 142;
constexpr int kTokThis = 143;
constexpr int kTokTypeof = 144;
constexpr int kTokVar = 145;
constexpr int kTokVoid = 146;
constexpr int kTokWhile = 147;
constexpr int kTokWith = 148;
constexpr int kTokCase = 149;
constexpr int kTokCatch = 150;
constexpr int kTokClass = 151;
constexpr int kTokConst = 152;
constexpr int kTokDebugger = 153;
constexpr int kTokDefault = 154;
constexpr int kTokDo = 155;
constexpr int kTokEnum = 156;
constexpr int kTokExport = 157;
constexpr int kTokExtends = 158;
constexpr int kTokFinally = 159;
constexpr int kTokImport = 160;
constexpr int kTokSuper = 161;
constexpr int kTokSwitch = 162;
constexpr int kTokThrow = 163;
constexpr int kTokTry = 164;
constexpr int kTokNull = 165;
constexpr int kTokTrue = 166;
constexpr int kTokFalse = 167;
constexpr int kTokEq = 168;
constexpr int kTokNe = 169;
constexpr int kTokLe = 170;
constexpr int kTokGe = 171;
constexpr int kTokAnd = 172;
constexpr int kTokOr = 173;
constexpr int kTokInc = 174;
constexpr int kTokDec = 175;
constexpr int kTokMulAssign = 176;
constexpr int kTokDivAssign = 177;
constexpr int kTokModAssign = 178;
constexpr int kTokAddAssign = 179;
constexpr int kTokSubAssign = 180;
constexpr int kTokAndAssign = 181;
constexpr int kTokXorAssign = 182;
constexpr int kTokOrAssign = 183;
constexpr int kTokShlAssign = 184;
constexpr int kTokShl = 185;
constexpr int kTokShr = 186;
constexpr int kTokUshr = 187;
constexpr int kTokShrAssign = 188;
constexpr int kTokUshrAssign = 189;
constexpr int kTokStrictEq = 190;
constexpr int kTokStrictNe = 191;
constexpr int kTokUndefined = 192;

// The name hash shared by the keyword table, the scopes and the constant pool.
inline uint32_t NameHash(const char* s, size_t n) {
    uint32_t h = 0;
    for (size_t i = 0; i < n; ++i) h = (h << 5) ^ (h >> 7) ^ (h >> 16) ^ static_cast<uint8_t>(s[i]);
    return h;
}

// Counted 8-bit text owned by the arena, always NUL-terminated behind its length.
struct CText {
    const char* chars = "";
    size_t length = 0;
    std::string_view view() const { return {chars, length}; }
};

struct CScriptToken {
    int code = kTokEnd;
    int line = 0;
    int64_t integer = 0;
    double number = 0;
    CText text;  // string literal or identifier
};

enum NodeKind : int {
    NodeComma = 0, NodeAssign, NodeConditional, NodeLogical, NodeBitwise, NodeEquality,
    NodeRelational, NodeShift, NodeMultiplicative, NodeAdditive, NodeThis, NodeNull, NodeTrue,
    NodeFalse, NodeIdentifier, NodeFloat, NodeInteger, NodeString, NodeCall, NodeMember,
    NodeIndex, NodeNew,
    NodePostfix = 26, NodeUnary, NodeRegExp, NodeArrayLiteral, NodeObjectLiteral, NodeBlock,
    NodeBindNested, NodeVar, NodeEmpty, NodeExprStatement, NodeIf, NodeWhile, NodeFor, NodeForIn,
    NodeContinue, NodeBreak, NodeReturn, NodeWith, NodeTry, NodeThrow, NodeDoWhile, NodeSwitch,
    NodeLabel, NodeFunction, NodeUndefined,
    NodeDeclarator = 254,
};

enum TypeHint : int { HintUnknown = 0, HintNull = 1, HintBoolean = 2, HintInteger = 3, HintString = 4, HintFloat = 5, HintArray = 6, HintObject = 7, HintRegExp = 11 };

// One syntax tree node. The fields a kind uses:
//   binary kinds: op, a (left), b (right); NodeAssign: op, a (target), b (value)
//   NodeConditional: a, b, c; NodeUnary/NodePostfix: op, a
//   NodeIdentifier: name; NodeInteger: integer; NodeFloat: number; NodeString: text
//   NodeRegExp: text (pattern), op (flags)
//   NodeCall/NodeNew: count, a (callee), b (argument list, last argument first)
//   NodeMember: name, a (object); NodeIndex: a (object), b (key)
//   NodeArrayLiteral: count, b (elements, last first; holes are NodeEmpty)
//   NodeObjectLiteral: count, b (properties, last first: NodeEmpty with op = key token code,
//       name/integer = key, a = value)
//   NodeBlock: b (statements); NodeVar: op (global flag), count, b (declarators)
//   NodeDeclarator: name, a (initial value)
//   NodeExprStatement/NodeThrow/NodeReturn: a; NodeIf: a, b, c; NodeWhile/NodeDoWhile: a, b
//   NodeFor: b (declarators), count, a (initial expression), c (condition), d (step), e (body)
//   NodeForIn: b (declarator), a (target identifier), c (collection), e (body)
//   NodeBreak/NodeContinue: name (label); NodeWith: a (object), e (body)
//   NodeTry: e (protected), b (catch clauses: NodeEmpty with line, name, a = condition,
//       e = body), d (finally)
//   NodeSwitch: a (discriminant), b (clauses: NodeEmpty with a = case expression or none,
//       b = statements), count (default clauses)
//   NodeLabel: name, e (statement)
//   NodeBindNested: name (enclosing), name2 (nested hidden), name3 (declared)
//   NodeFunction: line2 (body's brace), name (hidden), name2 (declared), b (parameters),
//       e (body statements), op (uses arguments), count (parameters)
struct Node {
    int kind = NodeEmpty;
    int hint = HintUnknown;
    int line = 0;
    int line2 = 0;
    int op = 0;
    int count = 0;
    int64_t integer = 0;
    double number = 0;
    CText text;
    const char* name = nullptr;
    const char* name2 = nullptr;
    const char* name3 = nullptr;
    Node* a = nullptr;
    Node* b = nullptr;
    Node* c = nullptr;
    Node* d = nullptr;
    Node* e = nullptr;
    Node* next = nullptr;
};

constexpr int kOpFunctionHeader = 1000;
constexpr int kOpLabel = 1001;

enum class ConstKind : uint8_t { None = 0, Integer = 0x03, String = 0x04, Float = 0x05, Name = 0x0A, RegExp = 0x0B };

// One emitted instruction, function header or label.
struct CScriptInstr {
    int op = 0;
    int line = 0;
    int size = 0;
    int effect = 0;             // stack depth change as the generator counts it
    ConstKind constKind = ConstKind::None;  // PUSHCONST value kind, or Name for name operands
    int64_t integer = 0;        // integer operand, PUSHCONST integer, label number
    double number = 0;          // PUSHCONST float
    CText text;                 // name, string or pattern
    CScriptInstr* target = nullptr;  // jump target label
    CScriptInstr* next = nullptr;
    CScriptInstr* prev = nullptr;
    uint32_t live = 0;          // liveness of locals 0..31
    uint32_t mark = 0;          // cleanup round in which some jump targeted this label
    bool changed = false;       // a jump reached this label during the liveness walk
    uint32_t offset = 0;
};

// Thrown by Error() to end a compilation; caught only by the compile entry.
struct CCompileAbort {};

// Bump allocator for the records and texts of one compilation.
class CArena {
public:
    void* Allocate(size_t size) {
        size = (size + 15) & ~size_t(15);
        if (size > left_) Grow(size);
        void* p = cursor_;
        cursor_ += size;
        left_ -= size;
        return p;
    }
    template <class T>
    T* New() { return new (Allocate(sizeof(T))) T(); }
    CText Copy(const char* s, size_t n) {
        char* p = static_cast<char*>(Allocate(n + 1));
        if (n) std::memcpy(p, s, n);
        p[n] = 0;
        return {p, n};
    }

    // Drops everything allocated, keeping the first block for reuse.
    void Reset() {
        if (blocks_.empty()) return;
        blocks_.resize(1);
        cursor_ = blocks_[0].get();
        left_ = firstSize_;
    }

private:
    void Grow(size_t need);
    size_t firstSize_ = 0;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* cursor_ = nullptr;
    size_t left_ = 0;
};

struct CSymbol {
    const char* name;
    int kind;  // 1 parameter, 2 local
    int slot;
    int line;
};

struct CControlEntry {
    CScriptInstr* breakLabel = nullptr;
    CScriptInstr* continueLabel = nullptr;
    const char* labelName = nullptr;
    bool labelsLoop = false;  // a label entry whose statement is a loop
    bool isLoop = false;
    bool finallyPart = false;  // break and continue may not leave a finally part
    int heldValues = 0;
    int withDepth = 0;
    int tryDepth = 0;
};

class CImageWriter;

struct CScriptCompiler {
    CScriptCompiler();
    ~CScriptCompiler();

    CArena rootNodes;                // the main program's tree
    CArena* nodes = &rootNodes;      // the arena of the function being parsed
    std::vector<std::unique_ptr<CArena>> nodeArenas;  // one per function being parsed
    CArena code;                     // the instructions of the function being generated
    std::unique_ptr<CScriptStream> source;
    std::unique_ptr<CScriptStream> messages;
    bool debugInfo = false;
    bool warnMissingSemicolon = false;
    bool warnLineTerminators = false;
    uint32_t passes = 0;  // the optimization option bits
    std::string sourceName;
    size_t sourceSize = 0;  // a hint for the image buffers

    // Lexer
    std::vector<char> textBuffer;

    // Parser
    CScriptToken lookahead;
    bool haveLookahead = false;
    int lastLine = 0;
    Node* mainHead = nullptr;
    Node* mainTail = nullptr;
    int mainCount = 0;
    int functionCount = 0;
    std::vector<const char*> functionStack;
    int hiddenCounter = 0;
    int argumentsCounter = 0;
    int insertedSemicolons = 0;

    // Code generator
    CScriptInstr* first = nullptr;
    CScriptInstr* last = nullptr;
    int labelCounter = 1;
    std::vector<CControlEntry> control;
    std::vector<CSymbol> symbols;
    struct Scope {
        size_t firstSymbol;
        int nextSlot;
    };
    std::vector<Scope> scopes;
    int maxSlot = 0;  // highest local slot handed out in the current function, plus one
    // A generator error inside a function is reported only once the whole source has parsed,
    // so syntax errors anywhere come first, as if generation followed parsing.
    bool deferErrors = false;
    bool generationFailed = false;
    std::string deferredError;

    // Writer
    std::unique_ptr<CImageWriter> writer;

    // Diagnostics
    void Warning(int line, const char* format, ...);
    [[noreturn]] void Error(int line, const char* format, ...);
};

// Lexer
CScriptToken NextToken(CScriptCompiler& c);
// Reads a regular-expression body after the opening '/', returns the flags.
int ReadRegExpLiteral(CScriptCompiler& c, int startLine, CText& pattern);

// Parser, code generator, optimizer, writer
void ParseProgram(CScriptCompiler& c);
// Called by the parser for each completed function: generates, optimizes and writes it.
void CompleteFunction(CScriptCompiler& c, Node* function);
void GenerateBegin(CScriptCompiler& c);
void GenerateFunction(CScriptCompiler& c, Node* function);
void GenerateMain(CScriptCompiler& c);
void Optimize(CScriptCompiler& c);
// Appends the instruction list (one function) to the image and empties the list.
void WriteFunctions(CScriptCompiler& c);
std::vector<uint8_t> FinishImage(CScriptCompiler& c, CTagNoise& noise);

// Converts 8-bit source text in the system ANSI code page to UTF-16 little-endian bytes.
void AppendUtf16(std::vector<uint8_t>& out, std::string_view text);

}  // namespace nerva
