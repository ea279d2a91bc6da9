// Image writer: assigns code offsets and writes the "NS1b" image: header with section table,
// then code, constants, function table and (when asked for) debug information. Numbers inside
// sections are big-endian except floating constants; the header is little-endian.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unordered_map>

#include "compiler/compiler_internal.h"
#include "port/code_page.h"
#include "runtime/opcodes.h"

namespace nerva {

namespace {

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void PutLE32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The constant pool: equal constants of one kind share an index.
class ConstantPool {
public:
    explicit ConstantPool(CScriptStream& out) : out_(out) {}

    uint32_t Intern(const CScriptInstr& i) {
        key_.clear();
        key_.push_back(static_cast<char>(i.constKind));
        switch (i.constKind) {
            case ConstKind::Integer: {
                char text[32];
                int n = std::snprintf(text, sizeof text, "%lld", static_cast<long long>(i.integer));
                key_.append(text, static_cast<size_t>(n));
                break;
            }
            case ConstKind::Float:
                key_.append(reinterpret_cast<const char*>(&i.number), sizeof i.number);
                break;
            case ConstKind::RegExp:
                key_.push_back(static_cast<char>(i.integer));
                key_.append(i.text.chars, i.text.length);
                break;
            default:
                key_.append(i.text.chars, i.text.length);
                break;
        }
        auto [it, isNew] = index_.try_emplace(key_, static_cast<uint32_t>(index_.size()));
        if (isNew) Append(i);
        return it->second;
    }

private:
    void Append(const CScriptInstr& i) {
        switch (i.constKind) {
            case ConstKind::Integer: {
                uint64_t v = static_cast<uint64_t>(i.integer);
                out_.Write("cll", 0x03, static_cast<uint32_t>(v >> 32), static_cast<uint32_t>(v));
                break;
            }
            case ConstKind::Float:
                out_.Write("cd", 0x05, i.number);
                break;
            case ConstKind::String:
            case ConstKind::RegExp: {
                utf16_.clear();
                AppendUtf16(utf16_, i.text.view());
                if (i.constKind == ConstKind::String) out_.Write("c", 0x04);
                else out_.Write("cc", 0x0B, static_cast<int>(i.integer));
                out_.Write("x", utf16_.size(), static_cast<const void*>(utf16_.data()));
                break;
            }
            default:
                out_.Write("c", 0x0A);
                out_.WriteBytes(i.text.chars, i.text.length);
                out_.WriteByte(0);
                break;
        }
    }

    CScriptStream& out_;
    std::unordered_map<std::string, uint32_t> index_;
    std::string key_;
    std::vector<uint8_t> utf16_;
};

}  // namespace

void AppendUtf16(std::vector<uint8_t>& out, std::string_view text) {
    for (char16_t u : vantor::AnsiToWide(text)) {
        out.push_back(static_cast<uint8_t>(u));
        out.push_back(static_cast<uint8_t>(u >> 8));
    }
}

CTagNoise::CTagNoise(const CompileOptions& options) : fixed_(options.fixedTagSeed), state_(options.tagSeed) {
    if (!fixed_) std::srand(static_cast<unsigned>(std::time(nullptr)));
}

uint32_t CTagNoise::Next() {
    if (!fixed_) return static_cast<uint32_t>(std::rand());
    // The classic 15-bit linear congruential generator, so the same seed gives the same image
    // on every platform.
    state_ = state_ * 214013u + 2531011u;
    return (state_ >> 16) & 0x7FFF;
}

// Writes functions as they complete: code, constants, function table and line records grow
// in their own streams; the header goes in front at the end.
class CImageWriter {
public:
    explicit CImageWriter(CScriptCompiler& c)
        : code_(CScriptStream::Open({}, kStreamWriteMemory)),
          constants_(CScriptStream::Open({}, kStreamWriteMemory)),
          functions_(CScriptStream::Open({}, kStreamWriteMemory)),
          debug_(CScriptStream::Open({}, kStreamWriteMemory)),
          pool_(*constants_) {
        functions_->Write("l", 0u);
        // Code usually takes about as many bytes as its source.
        code_->buffer().reserve(c.sourceSize + 256);
        if (c.debugInfo) debug_->Write("cx", 1, c.sourceName.size(), static_cast<const void*>(c.sourceName.data()));
    }

    void Append(CScriptCompiler& c);
    std::vector<uint8_t> Finish(CTagNoise& noise);

private:
    std::unique_ptr<CScriptStream> code_, constants_, functions_, debug_;
    ConstantPool pool_;
    uint32_t functionCount_ = 0;
    int lastLine_ = 0;
};

void CImageWriter::Append(CScriptCompiler& c) {
    std::vector<uint8_t>& bytes = code_->buffer();
    uint32_t offset = static_cast<uint32_t>(bytes.size());
    for (CScriptInstr* i = c.first; i; i = i->next) {
        i->offset = offset;
        offset += static_cast<uint32_t>(i->size);
    }
    for (CScriptInstr* i = c.first; i; i = i->next) {
        if (i->op == kOpFunctionHeader) {
            functions_->WriteBytes(i->text.chars, i->text.length);
            functions_->Write("cl", 0, i->offset);
            ++functionCount_;
            continue;
        }
        if (i->op == kOpLabel) continue;
        if (c.debugInfo && i->line != lastLine_) {
            debug_->Write("cll", 2, i->offset + static_cast<uint32_t>(i->size), static_cast<uint32_t>(i->line));
            lastLine_ = i->line;
        }
        bytes.push_back(static_cast<uint8_t>(i->op));
        switch (InfoOf(static_cast<uint8_t>(i->op)).operand) {
            case OperandKind::None:
                break;
            case OperandKind::Name:
            case OperandKind::Constant:
                Put32(bytes, pool_.Intern(*i));
                break;
            case OperandKind::Jump:
                Put32(bytes, i->target->offset - (i->offset + static_cast<uint32_t>(i->size)));
                break;
            case OperandKind::Int32:
                Put32(bytes, static_cast<uint32_t>(i->integer));
                break;
            case OperandKind::U16:
                bytes.push_back(static_cast<uint8_t>(i->integer >> 8));
                bytes.push_back(static_cast<uint8_t>(i->integer));
                break;
            case OperandKind::U8:
                bytes.push_back(static_cast<uint8_t>(i->integer));
                break;
        }
    }
    c.first = c.last = nullptr;
}

std::vector<uint8_t> CImageWriter::Finish(CTagNoise& noise) {
    std::vector<uint8_t>& table = functions_->buffer();
    for (int k = 0; k < 4; ++k) table[k] = static_cast<uint8_t>(functionCount_ >> (24 - 8 * k));
    const std::vector<uint8_t>* sections[4] = {&code_->buffer(), &constants_->buffer(), &table, &debug_->buffer()};
    std::vector<uint8_t> image;
    size_t total = 56;
    for (const auto* s : sections) total += s->size();
    image.reserve(total);
    for (char m : {'N', 'S', '1', 'b'}) image.push_back(static_cast<uint8_t>(m));
    uint32_t at = 56;
    for (uint32_t id = 0; id < 4; ++id) {
        uint32_t size = static_cast<uint32_t>(sections[id]->size());
        PutLE32(image, (noise.Next() << 8) | id);
        PutLE32(image, at);
        PutLE32(image, size);
        at += size;
    }
    PutLE32(image, 0xFFFFFFFFu);
    for (const auto* s : sections) image.insert(image.end(), s->begin(), s->end());
    return image;
}

CScriptCompiler::CScriptCompiler() = default;
CScriptCompiler::~CScriptCompiler() = default;

void WriteFunctions(CScriptCompiler& c) {
    if (!c.writer) c.writer = std::make_unique<CImageWriter>(c);
    c.writer->Append(c);
}

std::vector<uint8_t> FinishImage(CScriptCompiler& c, CTagNoise& noise) {
    if (!c.writer) c.writer = std::make_unique<CImageWriter>(c);
    return c.writer->Finish(noise);
}

}  // namespace nerva
