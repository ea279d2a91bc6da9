// Image disassembler: section table, constants, functions with their instructions and
// operands, and the line table.
#include "compiler/disasm.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "runtime/image.h"
#include "runtime/opcodes.h"

namespace nerva {

namespace {

struct Section {
    uint32_t id = 0;
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    bool present = false;
};

uint32_t Be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]; }

std::string Quote(const std::string& s) {
    std::string q = "\"";
    for (unsigned char ch : s) {
        if (ch == '"' || ch == '\\') {
            q += '\\';
            q += static_cast<char>(ch);
        } else if (ch >= 32 && ch < 127) {
            q += static_cast<char>(ch);
        } else {
            char e[8];
            std::snprintf(e, sizeof e, "\\x%02X", ch);
            q += e;
        }
    }
    return q + "\"";
}

std::string Utf16Text(const uint8_t* p, uint32_t bytes) {
    std::string s;
    for (uint32_t i = 0; i + 1 < bytes; i += 2) {
        unsigned u = p[i] | (p[i + 1] << 8);
        if (u < 256) {
            s += static_cast<char>(u);
        } else {
            char e[12];
            std::snprintf(e, sizeof e, "\\u%04X", u);
            s += e;
        }
    }
    return s;
}

struct ImageFree {
    void operator()(CCompiledScript* image) const { FreeImage(image); }
};

// The sections come from the engine's own image reader; this walker reads what is inside.
struct Image {
    std::unique_ptr<CCompiledScript, ImageFree> image;
    Section sections[4];
    std::vector<std::string> constants;  // readable form
    std::vector<std::string> names;      // the bare text of name constants ("" for others)
    std::vector<std::pair<std::string, uint32_t>> functions;
    std::string error;

    bool Read(const uint8_t* bytes, size_t size);
    bool ReadConstants();
    bool ReadFunctions();
};

bool Image::Read(const uint8_t* bytes, size_t size) {
    image.reset(ReadImageBuffer(bytes, size));
    if (!image) {
        error = "not an NS1b image, or its section table is damaged";
        return false;
    }
    for (const CCompiledScript::Section& section : image->sections) {
        if (section.id < 4) sections[section.id] = {section.id, section.bytes.data(), section.size, true};
    }
    return ReadConstants() && ReadFunctions();
}

bool Image::ReadConstants() {
    const Section& s = sections[1];
    uint32_t at = 0;
    char text[64];
    while (at < s.size) {
        uint8_t kind = s.data[at++];
        uint32_t left = s.size - at;
        const uint8_t* p = s.data + at;
        std::string name;
        switch (kind) {
            case 0x01: constants.push_back("null"); break;
            case 0x0D: constants.push_back("NaN"); break;
            case 0x02:
                if (left < 1) goto cut;
                constants.push_back(p[0] ? "true" : "false");
                at += 1;
                break;
            case 0x03: {
                if (left < 8) goto cut;
                int64_t v = static_cast<int64_t>((uint64_t(Be32(p)) << 32) | Be32(p + 4));
                std::snprintf(text, sizeof text, "int %" PRId64, v);
                constants.push_back(text);
                at += 8;
                break;
            }
            case 0x05: {
                if (left < 8) goto cut;
                double d;
                std::memcpy(&d, p, 8);
                std::snprintf(text, sizeof text, "float %.17g", d);
                constants.push_back(text);
                at += 8;
                break;
            }
            case 0x04: {
                if (left < 4 || Be32(p) > left - 4) goto cut;
                uint32_t n = Be32(p);
                constants.push_back("string " + Quote(Utf16Text(p + 4, n)));
                at += 4 + n;
                break;
            }
            case 0x0A: {
                const void* nul = std::memchr(p, 0, left);
                if (!nul) goto cut;
                name.assign(reinterpret_cast<const char*>(p), static_cast<const uint8_t*>(nul) - p);
                constants.push_back("name " + name);
                at += static_cast<uint32_t>(name.size() + 1);
                break;
            }
            case 0x0B: {
                if (left < 5 || Be32(p + 1) > left - 5) goto cut;
                uint32_t n = Be32(p + 1);
                std::string flags;
                if (p[0] & 1) flags += 'g';
                if (p[0] & 2) flags += 'i';
                if (p[0] & 4) flags += 'm';
                constants.push_back("regexp /" + Utf16Text(p + 5, n) + "/" + flags);
                at += 5 + n;
                break;
            }
            default:
                std::snprintf(text, sizeof text, "unknown constant kind 0x%02X", kind);
                error = text;
                return false;
        }
        names.push_back(name);
    }
    return true;
cut:
    error = "constant cut short";
    return false;
}

bool Image::ReadFunctions() {
    const Section& s = sections[2];
    if (!s.present || s.size == 0) return true;
    if (s.size < 4) {
        error = "function table cut short";
        return false;
    }
    uint32_t count = Be32(s.data), at = 4;
    for (uint32_t k = 0; k < count; ++k) {
        const void* nul = at < s.size ? std::memchr(s.data + at, 0, s.size - at) : nullptr;
        if (!nul) {
            error = "function table cut short";
            return false;
        }
        std::string name(reinterpret_cast<const char*>(s.data + at), static_cast<const uint8_t*>(nul) - (s.data + at));
        at += static_cast<uint32_t>(name.size() + 1);
        if (s.size - at < 4) {
            error = "function table cut short";
            return false;
        }
        functions.emplace_back(name, Be32(s.data + at));
        at += 4;
    }
    return true;
}

// Walks the code section; calls `emit` with each instruction's offset and text. Stops at the
// first byte that is not an instruction or an operand cut short.
template <class Emit>
bool WalkCode(const Image& image, bool symbolicJumps, std::set<uint32_t>* targets, Emit emit, std::string& error) {
    const Section& code = image.sections[0];
    std::map<uint32_t, std::string> starts;
    for (const auto& f : image.functions) starts.emplace(f.second, f.first);
    uint32_t at = 0;
    char text[96];
    while (at < code.size) {
        auto f = starts.find(at);
        if (f != starts.end()) emit(at, "function " + f->second, true);
        uint8_t op = code.data[at];
        if (!IsOpcode(op)) {
            std::snprintf(text, sizeof text, "bad opcode 0x%02X at %u", op, at);
            error = text;
            return false;
        }
        const OpcodeInfo& info = InfoOf(op);
        uint32_t width = static_cast<uint32_t>(OperandBytes(info.operand));
        if (code.size - at - 1 < width) {
            std::snprintf(text, sizeof text, "operand cut short at %u", at);
            error = text;
            return false;
        }
        const uint8_t* p = code.data + at + 1;
        uint32_t end = at + 1 + width;
        std::string line = info.mnemonic;
        switch (info.operand) {
            case OperandKind::None:
                break;
            case OperandKind::Name:
            case OperandKind::Constant: {
                uint32_t index = Be32(p);
                if (index < image.constants.size()) {
                    const std::string& name = image.names[index];
                    line += " " + (info.operand == OperandKind::Name && !name.empty() ? name : image.constants[index]);
                } else {
                    std::snprintf(text, sizeof text, " [%u?]", index);
                    line += text;
                }
                break;
            }
            case OperandKind::Jump: {
                uint32_t target = end + Be32(p);
                if (targets) targets->insert(target);
                if (symbolicJumps) std::snprintf(text, sizeof text, " \x01%u", target);
                else std::snprintf(text, sizeof text, " %+d -> %04x", static_cast<int32_t>(Be32(p)), target);
                line += text;
                break;
            }
            case OperandKind::Int32:
                std::snprintf(text, sizeof text, " %d", static_cast<int32_t>(Be32(p)));
                line += text;
                break;
            case OperandKind::U16:
                std::snprintf(text, sizeof text, " %d", static_cast<int16_t>((p[0] << 8) | p[1]));
                line += text;
                break;
            case OperandKind::U8:
                std::snprintf(text, sizeof text, " %d", static_cast<int8_t>(p[0]));
                line += text;
                break;
        }
        emit(at, line, false);
        at = end;
    }
    return true;
}

}  // namespace

bool DisassembleImage(const uint8_t* bytes, size_t size, const DisasmOptions& options, std::string& out,
                      std::string& error) {
    Image image;
    bool ok = image.Read(bytes, size);
    char text[128];
    static const char* const kNames[4] = {"code", "constants", "functions", "debug"};
    if (options.header) {
        for (const Section& s : image.sections) {
            if (!s.present) continue;
            std::snprintf(text, sizeof text, "section %u %s: %u bytes\n", s.id, kNames[s.id], s.size);
            out += text;
        }
        if (!image.constants.empty()) out += "constants:\n";
        for (size_t i = 0; i < image.constants.size(); ++i) {
            std::snprintf(text, sizeof text, "  [%zu] ", i);
            out += text + image.constants[i] + "\n";
        }
        if (!image.functions.empty()) out += "functions:\n";
        for (const auto& f : image.functions) {
            std::snprintf(text, sizeof text, " at %04x\n", f.second);
            out += "  " + f.first + text;
        }
    }
    if (!ok) {
        error = image.error;
        return false;
    }
    out += "code:\n";
    bool walked = WalkCode(image, false, nullptr, [&](uint32_t at, const std::string& line, bool function) {
        if (function) {
            out += line + "\n";
        } else if (options.offsets) {
            std::snprintf(text, sizeof text, "  %04x  ", at);
            out += text + line + "\n";
        } else {
            out += "  " + line + "\n";
        }
    }, error);
    const Section& debug = image.sections[3];
    if (walked && options.header && debug.present && debug.size > 0) {
        out += "lines:\n";
        uint32_t at = 0;
        while (at < debug.size) {
            uint8_t kind = debug.data[at++];
            uint32_t left = debug.size - at;
            if (kind == 1 && left >= 4 && Be32(debug.data + at) <= left - 4) {
                uint32_t n = Be32(debug.data + at);
                out += "  source " + Quote(std::string(reinterpret_cast<const char*>(debug.data + at + 4), n)) + "\n";
                at += 4 + n;
            } else if (kind == 2 && left >= 8) {
                std::snprintf(text, sizeof text, "  %04x line %u\n", Be32(debug.data + at), Be32(debug.data + at + 4));
                out += text;
                at += 8;
            } else {
                error = "bad debug record";
                return false;
            }
        }
    }
    return walked;
}

std::string DescribeCode(const std::vector<uint8_t>& bytes) {
    Image image;
    std::string out, error;
    if (!image.Read(bytes.data(), bytes.size())) return "error: " + image.error;
    std::set<uint32_t> targets;
    WalkCode(image, true, &targets, [](uint32_t, const std::string&, bool) {}, error);
    // Jump targets become labels L0, L1, ... in code order so listings stay readable.
    std::map<uint32_t, int> labels;
    for (uint32_t t : targets) labels.emplace(t, static_cast<int>(labels.size()));
    bool walked = WalkCode(image, true, nullptr, [&](uint32_t at, const std::string& line, bool function) {
        if (function) {
            out += line + "\n";
            return;
        }
        auto l = labels.find(at);
        if (l != labels.end()) out += "L" + std::to_string(l->second) + ":\n";
        std::string shown = line;
        size_t atSign = shown.find(" \x01");
        if (atSign != std::string::npos) {
            uint32_t target = static_cast<uint32_t>(std::stoul(shown.substr(atSign + 2)));
            shown = shown.substr(0, atSign) + " L" + std::to_string(labels[target]);
        }
        out += shown + "\n";
    }, error);
    if (!walked) out += "error: " + error + "\n";
    return out;
}

}  // namespace nerva
