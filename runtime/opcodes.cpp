// The instruction table: mnemonic and operand encoding of every opcode.
#include "runtime/opcodes.h"

namespace nerva {

namespace {

using K = OperandKind;

constexpr OpcodeInfo kTable[kLastOpcode - kFirstOpcode + 1] = {
    {"CALLNAME", K::Name},     {"LOADNAME", K::Name},      {"ADD2", K::None},        {"INC1", K::None},
    {"JUMPIFTRUE", K::Jump},   {"JUMPIFFALSE", K::Jump},   {"THROW", K::None},       {"ENDTRY", K::U8},
    {"TRY", K::Jump},          {"POPWITH", K::U8},         {"PUSHWITH", K::None},    {"LOADARGDYN", K::None},
    {"ARGS", K::U8},           {"LOCALS", K::U16},         {"DELINDEX", K::None},    {"DELMEMBER", K::Name},
    {"NEW", K::None},          {"TYPEOF", K::None},        {"RETURN", K::None},      {"CALL", K::None},
    {"JUMP", K::Jump},         {"CALLMETHOD", K::Name},    {"JUMPIFTRUTHY", K::Jump}, {"JUMPIFFALSY", K::Jump},
    {"USHR", K::None},         {"SHR", K::None},           {"SHL", K::None},         {"BITXOR", K::None},
    {"BITOR", K::None},        {"NOT", K::None},           {"BITAND", K::None},      {"NEG", K::None},
    {"MOD", K::None},          {"DIV", K::None},           {"MUL", K::None},         {"ADD", K::None},
    {"SUB", K::None},          {"STRICTNE", K::None},      {"STRICTEQ", K::None},    {"GE", K::None},
    {"LE", K::None},           {"GT", K::None},            {"LT", K::None},          {"NE", K::None},
    {"EQ", K::None},           {"ENUMNEXT", K::None},      {"SETINDEX", K::None},    {"GETINDEX", K::None},
    {"SETMEMBER", K::Name},    {"GETMEMBER", K::Name},     {"STOREVAR", K::U16},     {"LOADVAR", K::U16},
    {"STOREARG", K::U8},       {"LOADARG", K::U8},         {"STOREGLOBAL", K::Name}, {"LOADGLOBAL", K::Name},
    {"PUSHINT", K::Int32},     {"PUSHINT3", K::None},      {"PUSHINT2", K::None},    {"PUSHINT1", K::None},
    {"PUSHINT0", K::None},     {"PUSHUNDEF", K::None},     {"PUSHFALSE", K::None},   {"PUSHTRUE", K::None},
    {"PUSHNULL", K::None},     {"PUSHCONST", K::Constant}, {"ROT", K::U8},           {"SWAP", K::None},
    {"NIP", K::U8},            {"POPN", K::U8},            {"POP", K::None},         {"DUP", K::None},
    {"NOP", K::None},          {"END", K::None},           {"(none)", K::None},      {"STORENAME", K::Name},
    {"DELNAME", K::Name},      {"DELGLOBAL", K::Name},     {"DELVAR", K::U16},       {"DELARG", K::U8},
};

static_assert(sizeof(kTable) / sizeof(kTable[0]) == 80, "one entry per opcode");

}  // namespace

const OpcodeInfo& InfoOf(uint8_t op) { return kTable[op - kFirstOpcode]; }

}  // namespace nerva
