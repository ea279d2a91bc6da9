// Building a title from a project; inspecting and extracting titles.
#include "builder.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/archive.h"
#include "app/byte_stream.h"
#include "app/movie_list.h"
#include "app/packed_block.h"
#include "app/settings.h"
#include "app/title_files.h"
#include "mask.h"
#include "port/byte_order.h"

#ifdef VANTOR_PACK_HAVE_COMPILER
#include "compiler/compiler.h"
#include "compiler/disasm.h"
#endif

#ifdef _WIN32
#include <io.h>
#define VANTOR_ISATTY _isatty
#define VANTOR_FSEEK _fseeki64
#define VANTOR_FTELL _ftelli64
#else
#include <unistd.h>
#define VANTOR_ISATTY isatty
#define VANTOR_FSEEK fseeko
#define VANTOR_FTELL ftello
#endif

namespace vantor::pack {

namespace {

namespace fs = std::filesystem;

const ResKey kVantor = ResKey::Name("VANTOR");
const ResKey kNerva = ResKey::Name("NERVA");
const ResKey kSupport = ResKey::Name("SUPPORT");

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(fs::path(path), std::ios::binary);
    if (!in) throw InputError("missing input file " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint64_t FileSize(const std::string& path) {
    std::error_code ec;
    uint64_t size = fs::file_size(fs::path(path), ec);
    if (ec) throw InputError("missing input file " + path);
    return size;
}

// Bytes done against bytes planned, shown on a terminal for big titles.
class Progress {
public:
    void Plan(uint64_t bytes) { total_ += bytes; }
    void Enable(bool on) { on_ = on && total_ > (4u << 20); }
    void Add(uint64_t bytes) {
        done_ += bytes;
        if (!on_) return;
        uint64_t mb = done_ >> 20;
        if (mb == shown_) return;
        shown_ = mb;
        std::fprintf(stderr, "\rpacking: %llu of %llu MB", (unsigned long long)mb, (unsigned long long)(total_ >> 20));
        std::fflush(stderr);
    }
    void End() {
        if (on_) std::fprintf(stderr, "\n");
    }

private:
    uint64_t total_ = 0, done_ = 0, shown_ = ~0ull;
    bool on_ = false;
};

Progress g_progress;

class Scratch {
public:
    explicit Scratch(std::string prefix) : prefix_(std::move(prefix)) {}
    std::shared_ptr<TempFile> Next() { return std::make_shared<TempFile>(prefix_ + ".part" + std::to_string(counter_++)); }

private:
    std::string prefix_;
    int counter_ = 0;
};

Payload PackFileStreamed(const std::string& path, int level, Scratch& scratch) {
    BlockPacker packer(scratch.Next(), level);
    std::ifstream in(fs::path(path), std::ios::binary);
    if (!in) throw InputError("missing input file " + path);
    std::vector<char> chunk(1 << 16);
    while (in.read(chunk.data(), std::streamsize(chunk.size())) || in.gcount() > 0) {
        packer.Write(chunk.data(), size_t(in.gcount()));
        g_progress.Add(uint64_t(in.gcount()));
    }
    return packer.Finish();
}

void Seek(FILE* f, uint64_t at) {
    if (VANTOR_FSEEK(f, (long long)at, SEEK_SET) != 0) throw InputError("cannot seek in the output file");
}
uint64_t Tell(FILE* f) { return uint64_t(VANTOR_FTELL(f)); }
void Put(FILE* f, const void* data, size_t size) {
    if (size && std::fwrite(data, 1, size, f) != size) throw InputError("cannot write the output file (disk full?)");
}
void PutU32(FILE* f, uint32_t v) {
    uint8_t b[4];
    WriteLE32(b, v);
    Put(f, b, 4);
}
void PutText(FILE* f, const std::string& text) {
    CByteWriter w;
    w.Name(text);
    Put(f, w.Data().data(), w.Data().size());
}
// Writes `value` at `at` and returns to the end.
void PatchU32(FILE* f, uint64_t at, uint64_t value) {
    if (value > UINT32_MAX) throw InputError("the archive of extra files exceeds 4 GB");
    uint64_t end = Tell(f);
    Seek(f, at);
    PutU32(f, uint32_t(value));
    Seek(f, end);
}

std::vector<fs::path> SortedEntries(const fs::path& dir) {
    std::vector<fs::path> entries;
    for (const auto& e : fs::directory_iterator(dir)) entries.push_back(e.path());
    std::sort(entries.begin(), entries.end(), [](const fs::path& a, const fs::path& b) {
        return a.filename().u8string() < b.filename().u8string();
    });
    return entries;
}

void PlanFolder(const fs::path& dir) {
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) g_progress.Plan(e.file_size());
}

// Directory entries of `dir`, each file a zlib stream and its CRC; sizes are patched in once
// known, so nothing is held in memory but the fixed buffers.
void WriteArchiveFolder(FILE* out, const fs::path& dir, int level) {
    for (const fs::path& entry : SortedEntries(dir)) {
        bool folder = fs::is_directory(entry);
        if (!folder && !fs::is_regular_file(entry)) continue;
        std::u8string name8 = entry.filename().u8string();
        std::string name(name8.begin(), name8.end());
        PutU32(out, folder ? 1 : 0);
        PutText(out, name);
        uint64_t sizeAt = Tell(out);
        PutU32(out, 0);
        uint64_t start = Tell(out);
        if (folder) {
            WriteArchiveFolder(out, entry, level);
        } else {
            std::ifstream in(entry, std::ios::binary);
            if (!in) throw InputError("cannot read " + entry.string());
            z_stream z{};
            if (deflateInit(&z, level) != Z_OK) throw InputError("the compression level must be 0 to 9");
            struct End {
                z_stream& z;
                ~End() { deflateEnd(&z); }
            } end{z};
            std::vector<uint8_t> inBuf(1 << 16), outBuf(1 << 16);
            uLong crc = crc32(0, nullptr, 0);
            bool finished = false;
            while (!finished) {
                in.read(reinterpret_cast<char*>(inBuf.data()), std::streamsize(inBuf.size()));
                size_t got = size_t(in.gcount());
                if (in.bad()) throw InputError("cannot read " + entry.string());
                crc = crc32(crc, inBuf.data(), uInt(got));
                g_progress.Add(got);
                z.next_in = inBuf.data();
                z.avail_in = uInt(got);
                int flush = got < inBuf.size() ? Z_FINISH : Z_NO_FLUSH;
                int result;
                do {
                    z.next_out = outBuf.data();
                    z.avail_out = uInt(outBuf.size());
                    result = deflate(&z, flush);
                    Put(out, outBuf.data(), outBuf.size() - z.avail_out);
                } while (z.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
                finished = flush == Z_FINISH;
            }
            PutU32(out, uint32_t(crc));
        }
        PatchU32(out, sizeAt, Tell(out) - start);
    }
}

void WriteArchive(FILE* out, const std::string& folder, int level) {
    uint64_t start = Tell(out);
    Put(out, "VAF\0", 4);
    PutU32(out, 1);
    PutText(out, "Application");
    uint64_t dirAt = Tell(out);
    PutU32(out, 0);
    WriteArchiveFolder(out, fs::path(folder), level);
    PatchU32(out, dirAt, Tell(out) - dirAt - 4);
    uint64_t length = Tell(out) - start;
    if (length > UINT32_MAX) throw InputError("the archive of extra files exceeds 4 GB");
    PutU32(out, uint32_t(length));
    PutU32(out, 1);
}

std::string DefaultStub(const BuildOptions& options) {
    fs::path tool(options.toolPath);
    return (tool.has_parent_path() ? tool.parent_path() / "vantor.exe" : fs::path("vantor.exe")).string();
}

// A project that does not name a movie control gets the one built with the projector: the
// moviectl.dll beside the stub. Without one there, the title relies on an installed control.
Project WithMovieControl(Project p, const std::string& stubPath) {
    if (p.flashPlayer) return p;
    fs::path beside = fs::path(stubPath).parent_path() / "moviectl.dll";
    std::error_code ec;
    if (fs::is_regular_file(beside, ec)) {
        p.flashPlayer = beside.string();
    } else {
        p.flashPlayer = "";
        std::fprintf(stderr, "vantor-pack: no movie control packed (%s not found); the title will use an installed one\n",
                     beside.string().c_str());
    }
    return p;
}

// The ID resource: the registry location as a zero-ended UTF-16 text; the projector wants
// more than 32 bytes, so it is padded with zeros.
std::vector<uint8_t> IdResource(const std::string& text) {
    CByteWriter w;
    for (char16_t unit : Utf8ToUtf16(text)) w.U16(uint16_t(unit));
    w.U16(0);
    std::vector<uint8_t> bytes = w.Data();
    if (bytes.size() < 64) bytes.resize(64, 0);
    return bytes;
}

std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

std::vector<uint8_t> ScriptImage(const std::string& path) {
    std::string ext = Lower(fs::path(path).extension().string());
    if (ext != ".nvs") return ReadAll(path);
#ifdef VANTOR_PACK_HAVE_COMPILER
    std::vector<uint8_t> source = ReadAll(path);
    nerva::CompileOptions options;
    options.fixedTagSeed = true;  // identical input, identical title
    options.tagSeed = 0x56414E54;
    nerva::CompileResult result =
        nerva::CompileText(std::string_view(reinterpret_cast<const char*>(source.data()), source.size()), 0, options);
    if (result.ok) return result.image;
    // "error: line N: text" (lines from 0) becomes "FILE:N+1: error: text".
    std::string report, line;
    std::istringstream lines(result.messages);
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        unsigned number;
        char kind[16];
        int consumed = 0;
        if (std::sscanf(line.c_str(), "%15[a-z]: line %u: %n", kind, &number, &consumed) == 2 && consumed > 0)
            report += path + ":" + std::to_string(number + 1) + ": " + kind + ": " + line.substr(size_t(consumed)) + "\n";
        else if (!line.empty())
            report += path + ": " + line + "\n";
    }
    if (report.empty()) report = path + ": error: the script does not compile\n";
    report.pop_back();
    throw InputError::Formatted(report);
#else
    throw InputError(path + ": error: this vantor-pack was built without the Nerva Script compiler; "
                     "compile the script to .nsc with nervac and list that file instead");
#endif
}

ResourceTree TitleResources(const Project& p, const std::string& scratchPrefix) {
    Scratch scratch(scratchPrefix);
    ResourceTree tree;
    auto add = [&](const ResKey& type, const std::string& name, Payload payload) {
        tree[type][ResKey::Name(name)][0] = ResLeaf{std::move(payload), 0};
    };
    int level = p.compression;

    CByteWriter settings;
    WriteSettings(settings, p.settings);
    add(kVantor, "ST", Payload::FromBytes(PackSmall(settings.Data(), level)));

    {
        BlockPacker ml(scratch.Next(), level);
        CByteWriter head;
        head.U32((p.embedMovies ? uint32_t(ListEmbedded) : 0u) | (p.randomFirstMovie ? uint32_t(ListRandomFirst) : 0u));
        head.U32(uint32_t(p.movies.size()));
        ml.Write(head.Data().data(), head.Data().size());
        for (const MovieItem& m : p.movies) {
            if (p.embedMovies && !SafeRelativePath(m.name))
                throw InputError("the movie name \"" + m.name + "\" would be placed outside the run folder");
            CByteWriter entry;
            entry.U32(m.kind);
            entry.Name(m.name);
            if (p.embedMovies) {
                uint64_t size = FileSize(m.file);
                if (size > UINT32_MAX) throw InputError(m.file + " is larger than 4 GB");
                entry.U32(uint32_t(size));
            }
            ml.Write(entry.Data().data(), entry.Data().size());
            if (p.embedMovies) {
                std::ifstream in(fs::path(m.file), std::ios::binary);
                if (!in) throw InputError("missing input file " + m.file);
                std::vector<char> chunk(1 << 16);
                while (in.read(chunk.data(), std::streamsize(chunk.size())) || in.gcount() > 0) {
                    ml.Write(chunk.data(), size_t(in.gcount()));
                    g_progress.Add(uint64_t(in.gcount()));
                }
            }
        }
        add(kVantor, "ML", ml.Finish());
    }

    if (!p.clipShapes.empty()) {
        CByteWriter rg;
        rg.U32(uint32_t(p.clipShapes.size()));
        for (const ClipShapeItem& c : p.clipShapes) {
            if (!SafeRelativePath(c.name + ".msk")) throw InputError("the clip shape name \"" + c.name + "\" is not a plain file name");
            std::vector<uint8_t> mask = LoadMaskFile(c.mask, c.invert);
            rg.Name(c.name);
            rg.U32(uint32_t(mask.size()));
            rg.Bytes(mask);
        }
        add(kVantor, "RG", Payload::FromBytes(PackSmall(rg.Data(), level)));
    }
    if (!p.background.empty()) add(kVantor, "BK", PackFileStreamed(p.background, level, scratch));
    if (p.flashPlayer && !p.flashPlayer->empty()) add(kVantor, "FP", PackFileStreamed(*p.flashPlayer, level, scratch));
    add(kVantor, "ID", Payload::FromBytes(IdResource(p.registryKey)));
    for (const NamedFile& s : p.scripts) add(kNerva, s.name, Payload::FromBytes(PackSmall(ScriptImage(s.file), level)));
    for (const NamedFile& s : p.support) add(kSupport, s.name, PackFileStreamed(s.file, level, scratch));

    std::array<uint8_t, 16> stamp{};
    if (p.buildStamp) {
        stamp = *p.buildStamp;
    } else {
        // Derived from everything else the title carries: identical input, identical stamp.
        Sha256 hash;
        for (const auto& [type, names] : tree)
            for (const auto& [name, langs] : names)
                for (const auto& [lang, leaf] : langs) {
                    std::string key = type.Text() + "/" + name.Text();
                    uint8_t size[8];
                    WriteLE64(size, leaf.data.Size());
                    hash.Update(key.data(), key.size() + 1);
                    hash.Update(size, 8);
                    leaf.data.ForEachChunk([&](std::span<const uint8_t> chunk) { hash.Update(chunk.data(), chunk.size()); });
                }
        auto digest = hash.Final();
        std::copy(digest.begin(), digest.begin() + 16, stamp.begin());
    }
    add(kVantor, "CS", Payload::FromBytes(std::vector<uint8_t>(stamp.begin(), stamp.end())));
    return tree;
}

void BuildTitle(const Project& project, const BuildOptions& options) {
    if (options.output.empty()) throw InputError("no output file given (-o TITLE.exe)");
    std::string stubPath = !options.stub.empty() ? options.stub : !project.stub.empty() ? project.stub : DefaultStub(options);
    if (!fs::is_regular_file(fs::path(stubPath))) throw InputError("missing projector stub " + stubPath);
    const Project p = WithMovieControl(project, stubPath);
    PeImage stub(ReadAll(stubPath), stubPath);
    ResourceTree tree = stub.ReadResources();
    // A stub that already is a title loses its title resources; its own stay intact.
    tree.erase(kVantor), tree.erase(kNerva), tree.erase(kSupport);

    g_progress = Progress();
    for (const MovieItem& m : p.movies)
        if (p.embedMovies) g_progress.Plan(FileSize(m.file));
    if (!p.flashPlayer->empty()) g_progress.Plan(FileSize(*p.flashPlayer));
    for (const NamedFile& s : p.support) g_progress.Plan(FileSize(s.file));
    if (!p.extraFiles.empty()) PlanFolder(p.extraFiles);
    g_progress.Enable(options.progress && VANTOR_ISATTY(2));

    std::string temp = options.output + ".part";
    FILE* out = nullptr;
    try {
        ResourceTree ours = TitleResources(p, options.output);
        for (auto& [type, names] : ours)
            for (auto& [name, langs] : names) tree[type][name] = std::move(langs);
        out = std::fopen(temp.c_str(), "w+b");
        if (!out) throw InputError("cannot create " + temp);
        stub.WriteWithResources(tree, out);
        if (!p.extraFiles.empty()) WriteArchive(out, p.extraFiles, p.compression);
        bool ok = std::fflush(out) == 0;
        ok = std::fclose(out) == 0 && ok;
        out = nullptr;
        if (!ok) throw InputError("cannot write " + temp + " (disk full?)");
        FixChecksum(temp, stub.ChecksumOffset());
        std::error_code ec;
        fs::rename(fs::path(temp), fs::path(options.output), ec);
        if (ec) {
            fs::remove(fs::path(options.output), ec);
            fs::rename(fs::path(temp), fs::path(options.output), ec);
            if (ec) throw InputError("cannot rename " + temp + " to " + options.output + ": " + ec.message());
        }
        g_progress.End();
    } catch (...) {
        g_progress.End();
        if (out) std::fclose(out);
        std::error_code ec;
        fs::remove(fs::path(temp), ec);
        throw;
    }
}

}  // namespace vantor::pack
