// A small test-only assembler for "NS1b" images: functions of opcodes with symbolic labels,
// a constant pool, and the header the readers expect. It writes exactly the layout the
// compiler's image writer produces, so runtime tests need no compiler.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "port/byte_order.h"
#include "runtime/opcodes.h"

namespace nerva::test {

class Assembler {
public:
    struct Label {
        int id;
    };

    // Constants (deduplicated by kind and key).
    uint32_t Name(const std::string& name) { return Intern(0x0A, name, [&] { Bytes(name); constants_.push_back(0); }); }
    uint32_t Int(int64_t v) {
        return Intern(0x03, std::to_string(v), [&] {
            Be32(constants_, uint32_t(uint64_t(v) >> 32));
            Be32(constants_, uint32_t(v));
        });
    }
    uint32_t Float(double d) {
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        return Intern(0x05, std::to_string(bits), [&] {
            uint8_t raw[8];
            std::memcpy(raw, &d, 8);
            constants_.insert(constants_.end(), raw, raw + 8);
        });
    }
    uint32_t Str(const std::u16string& s) {
        std::string key(reinterpret_cast<const char*>(s.data()), s.size() * 2);
        return Intern(0x04, key, [&] {
            Be32(constants_, uint32_t(s.size() * 2));
            for (char16_t c : s) {
                constants_.push_back(uint8_t(c));
                constants_.push_back(uint8_t(c >> 8));
            }
        });
    }
    uint32_t Str(const std::string& ascii) { return Str(std::u16string(ascii.begin(), ascii.end())); }
    // A constant of any kind byte and raw payload (for damaged images).
    uint32_t Raw(uint8_t kind, const std::vector<uint8_t>& payload) {
        constants_.push_back(kind);
        constants_.insert(constants_.end(), payload.begin(), payload.end());
        return count_++;
    }

    void Function(const std::string& name) { functions_.emplace_back(name, uint32_t(code_.size())); }
    Label NewLabel() { return Label{next_++}; }
    void Bind(Label l) { bound_[l.id] = uint32_t(code_.size()); }

    Assembler& Op(uint8_t op) {
        code_.push_back(op);
        return *this;
    }
    // An instruction with a numeric operand encoded by its kind (names and constants take a
    // pool index).
    Assembler& Op(uint8_t op, int64_t operand) {
        code_.push_back(op);
        switch (InfoOf(op).operand) {
            case OperandKind::U8: code_.push_back(uint8_t(operand)); break;
            case OperandKind::U16:
                code_.push_back(uint8_t(operand >> 8));
                code_.push_back(uint8_t(operand));
                break;
            default: Be32(code_, uint32_t(operand)); break;
        }
        return *this;
    }
    Assembler& Jump(uint8_t op, Label target) {
        code_.push_back(op);
        fixups_.emplace_back(uint32_t(code_.size()), target.id);
        Be32(code_, 0);
        return *this;
    }
    Assembler& Global(uint8_t op, const std::string& name) { return Op(op, Name(name)); }
    Assembler& Const(int64_t v) { return Op(OP_PUSHCONST, Int(v)); }
    Assembler& ConstF(double d) { return Op(OP_PUSHCONST, Float(d)); }
    Assembler& ConstS(const std::string& s) { return Op(OP_PUSHCONST, Str(s)); }
    // Raw code bytes.
    Assembler& Bytes(std::initializer_list<uint8_t> bytes) {
        code_.insert(code_.end(), bytes);
        return *this;
    }

    void AddLine(uint32_t offset, uint32_t line) { lines_.emplace_back(offset, line); }
    void SourceName(const std::string& name) {
        source_ = name;
        debug_ = true;
    }
    void Debug() { debug_ = true; }
    uint32_t CodeSize() const { return uint32_t(code_.size()); }

    std::vector<uint8_t> Build() {
        for (auto [at, id] : fixups_) {
            uint32_t target = bound_.at(id);
            int32_t rel = int32_t(target) - int32_t(at + 4);
            vantor::WriteBE32(&code_[at], uint32_t(rel));
        }
        std::vector<uint8_t> table;
        Be32(table, uint32_t(functions_.size()));
        for (auto& [name, offset] : functions_) {
            table.insert(table.end(), name.begin(), name.end());
            table.push_back(0);
            Be32(table, offset);
        }
        std::vector<uint8_t> debug;
        if (debug_) {
            debug.push_back(1);
            Be32(debug, uint32_t(source_.size()));
            debug.insert(debug.end(), source_.begin(), source_.end());
            for (auto [offset, line] : lines_) {
                debug.push_back(2);
                Be32(debug, offset);
                Be32(debug, line);
            }
        }
        const std::vector<uint8_t>* sections[4] = {&code_, &constants_, &table, &debug};
        std::vector<uint8_t> image(56);
        std::memcpy(image.data(), "NS1b", 4);
        uint32_t offset = 56;
        for (int i = 0; i < 4; ++i) {
            vantor::WriteLE32(&image[4 + 12 * i], uint32_t(i) | 0x5A5A00u);
            vantor::WriteLE32(&image[8 + 12 * i], offset);
            vantor::WriteLE32(&image[12 + 12 * i], uint32_t(sections[i]->size()));
            offset += uint32_t(sections[i]->size());
        }
        vantor::WriteLE32(&image[52], 0xFFFFFFFFu);
        for (auto* s : sections) image.insert(image.end(), s->begin(), s->end());
        return image;
    }

private:
    template <typename Write>
    uint32_t Intern(uint8_t kind, const std::string& key, Write write) {
        auto it = pool_.find({kind, key});
        if (it != pool_.end()) return it->second;
        constants_.push_back(kind);
        write();
        pool_[{kind, key}] = count_;
        return count_++;
    }
    void Bytes(const std::string& s) { constants_.insert(constants_.end(), s.begin(), s.end()); }
    static void Be32(std::vector<uint8_t>& out, uint32_t v) {
        uint8_t b[4];
        vantor::WriteBE32(b, v);
        out.insert(out.end(), b, b + 4);
    }

    std::vector<uint8_t> code_, constants_;
    std::vector<std::pair<std::string, uint32_t>> functions_;
    std::map<std::pair<uint8_t, std::string>, uint32_t> pool_;
    uint32_t count_ = 0;
    std::map<int, uint32_t> bound_;
    std::vector<std::pair<uint32_t, int>> fixups_;
    int next_ = 0;
    std::vector<std::pair<uint32_t, uint32_t>> lines_;
    std::string source_;
    bool debug_ = false;
};

}  // namespace nerva::test
