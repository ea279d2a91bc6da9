// The Nerva Script instruction set: the contract between the code generator, the image
// writer and readers, the linker and the interpreter. Opcodes are the printable characters
// 0x21 to 0x70; any other byte is not an instruction.
#pragma once

#include <cstdint>

namespace nerva {

enum Opcode : uint8_t {
    OP_CALLNAME = 0x21,
    OP_LOADNAME = 0x22,
    OP_ADD2 = 0x23,
    OP_INC1 = 0x24,
    OP_JUMPIFTRUE = 0x25,
    OP_JUMPIFFALSE = 0x26,
    OP_THROW = 0x27,
    OP_ENDTRY = 0x28,
    OP_TRY = 0x29,
    OP_POPWITH = 0x2A,
    OP_PUSHWITH = 0x2B,
    OP_LOADARGDYN = 0x2C,
    OP_ARGS = 0x2D,
    OP_LOCALS = 0x2E,
    OP_DELINDEX = 0x2F,
    OP_DELMEMBER = 0x30,
    OP_NEW = 0x31,
    OP_TYPEOF = 0x32,
    OP_RETURN = 0x33,
    OP_CALL = 0x34,
    OP_JUMP = 0x35,
    OP_CALLMETHOD = 0x36,
    OP_JUMPIFTRUTHY = 0x37,
    OP_JUMPIFFALSY = 0x38,
    OP_USHR = 0x39,
    OP_SHR = 0x3A,
    OP_SHL = 0x3B,
    OP_BITXOR = 0x3C,
    OP_BITOR = 0x3D,
    OP_NOT = 0x3E,
    OP_BITAND = 0x3F,
    OP_NEG = 0x40,
    OP_MOD = 0x41,
    OP_DIV = 0x42,
    OP_MUL = 0x43,
    OP_ADD = 0x44,
    OP_SUB = 0x45,
    OP_STRICTNE = 0x46,
    OP_STRICTEQ = 0x47,
    OP_GE = 0x48,
    OP_LE = 0x49,
    OP_GT = 0x4A,
    OP_LT = 0x4B,
    OP_NE = 0x4C,
    OP_EQ = 0x4D,
    OP_ENUMNEXT = 0x4E,
    OP_SETINDEX = 0x4F,
    OP_GETINDEX = 0x50,
    OP_SETMEMBER = 0x51,
    OP_GETMEMBER = 0x52,
    OP_STOREVAR = 0x53,
    OP_LOADVAR = 0x54,
    OP_STOREARG = 0x55,
    OP_LOADARG = 0x56,
    OP_STOREGLOBAL = 0x57,
    OP_LOADGLOBAL = 0x58,
    OP_PUSHINT = 0x59,
    OP_PUSHINT3 = 0x5A,
    OP_PUSHINT2 = 0x5B,
    OP_PUSHINT1 = 0x5C,
    OP_PUSHINT0 = 0x5D,
    OP_PUSHUNDEF = 0x5E,
    OP_PUSHFALSE = 0x5F,
    OP_PUSHTRUE = 0x60,
    OP_PUSHNULL = 0x61,
    OP_PUSHCONST = 0x62,
    OP_ROT = 0x63,
    OP_SWAP = 0x64,
    OP_NIP = 0x65,
    OP_POPN = 0x66,
    OP_POP = 0x67,
    OP_DUP = 0x68,
    OP_NOP = 0x69,
    OP_END = 0x6A,
    OP_RESERVED_6B = 0x6B,
    OP_STORENAME = 0x6C,
    OP_DELNAME = 0x6D,
    OP_DELGLOBAL = 0x6E,
    OP_DELVAR = 0x6F,
    OP_DELARG = 0x70,
};

constexpr uint8_t kFirstOpcode = 0x21;
constexpr uint8_t kLastOpcode = 0x70;

// How an instruction's operand is encoded in an image (after the opcode byte).
enum class OperandKind : uint8_t {
    None,      // no operand
    Name,      // u32 big-endian index of a name constant (kind 0x0A)
    Constant,  // u32 big-endian index of a value constant
    Jump,      // s32 big-endian distance from the end of the instruction to the target
    Int32,     // s32 big-endian immediate
    U16,       // 16 bits big-endian, read as signed
    U8,        // one byte, read as signed
};

struct OpcodeInfo {
    const char* mnemonic;
    OperandKind operand;
};

// Bytes an operand of this kind takes in an image.
constexpr int OperandBytes(OperandKind kind) {
    switch (kind) {
        case OperandKind::None: return 0;
        case OperandKind::U8: return 1;
        case OperandKind::U16: return 2;
        default: return 4;
    }
}

constexpr bool IsOpcode(uint8_t byte) { return byte >= kFirstOpcode && byte <= kLastOpcode; }

// Mnemonic and operand kind of an opcode; only valid when IsOpcode(op).
const OpcodeInfo& InfoOf(uint8_t op);

}  // namespace nerva
