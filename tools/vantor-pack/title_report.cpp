// Reading a finished title back: `inspect` and `extract`.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/app_exception.h"
#include "app/archive.h"
#include "app/byte_stream.h"
#include "app/movie_list.h"
#include "app/packed_block.h"
#include "app/settings.h"
#include "app/title_files.h"
#include "builder.h"
#include "mask.h"

#ifdef VANTOR_PACK_HAVE_COMPILER
#include "compiler/disasm.h"
#endif

namespace vantor::pack {

namespace {

namespace fs = std::filesystem;

struct TitleEntry {
    uint32_t kind;
    std::string name;
    std::vector<uint8_t> content;
};

struct Title {
    ResourceTree tree;
    CProjectSettings settings;
    bool hasSettings = false;
    std::string helpName, pictureName;
    uint32_t listFlags = 0;
    std::vector<TitleEntry> movies;
    std::vector<TitleEntry> clipShapes;
    std::vector<TitleEntry> scripts, support;
    std::vector<uint8_t> background, flashPlayer, stamp;
    std::string registryKey;
    std::vector<std::string> stubResources;
};

const ResLeaf* Find(const ResourceTree& tree, const std::string& type, const std::string& name) {
    auto t = tree.find(ResKey::Name(type));
    if (t == tree.end()) return nullptr;
    auto n = t->second.find(ResKey::Name(name));
    if (n == t->second.end() || n->second.empty()) return nullptr;
    return &n->second.begin()->second;
}

std::vector<uint8_t> Unpack(const ResLeaf* leaf, const std::string& what) {
    UnpackedBytes out;
    if (!UnpackBlock(leaf->data.Read(), out)) throw InputError("the " + what + " resource cannot be unpacked");
    return out;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char buf[3];
    for (uint8_t b : bytes) std::snprintf(buf, sizeof buf, "%02x", b), out += buf;
    return out;
}

// Standard resource types by name, others as "#N" or their own name.
std::string TypeName(const ResKey& type) {
    static const std::pair<uint16_t, const char*> names[] = {
        {1, "CURSOR"}, {2, "BITMAP"}, {3, "ICON"}, {4, "MENU"}, {5, "DIALOG"}, {6, "STRING"}, {9, "ACCELERATOR"},
        {10, "RCDATA"}, {12, "GROUP_CURSOR"}, {14, "GROUP_ICON"}, {16, "VERSION"}, {24, "MANIFEST"}};
    if (!type.named)
        for (const auto& [id, name] : names)
            if (id == type.id) return name;
    return type.Text();
}

// Reads every title resource; embedded settings files go to `filesFolder`.
Title ReadTitle(const std::string& path, const std::string& filesFolder) {
    std::ifstream in(fs::path(path), std::ios::binary);
    if (!in) throw InputError("cannot open " + path);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    PeImage image(std::move(bytes), path);
    Title t;
    t.tree = image.ReadResources();
    for (const auto& [type, names] : t.tree) {
        if (type == ResKey::Name("VANTOR") || type == ResKey::Name("NERVA") || type == ResKey::Name("SUPPORT")) continue;
        for (const auto& [name, langs] : names) t.stubResources.push_back(TypeName(type) + "/" + name.Text());
    }
    if (const ResLeaf* st = Find(t.tree, "VANTOR", "ST")) {
        std::vector<uint8_t> raw = Unpack(st, "ST");
        CByteReader reader(raw);
        fs::create_directories(filesFolder);
        ReadSettings(reader, t.settings, filesFolder + kPathSeparator);
        t.hasSettings = true;
        t.helpName = t.settings.helpFile.empty() ? "" : FileNamePart(t.settings.helpFile);
        t.pictureName = t.settings.pictureFile.empty() ? "" : FileNamePart(t.settings.pictureFile);
    }
    if (const ResLeaf* ml = Find(t.tree, "VANTOR", "ML")) {
        std::vector<uint8_t> raw = Unpack(ml, "ML");
        CByteReader r(raw);
        uint32_t count = 0;
        r.U32(t.listFlags), r.U32(count);
        for (uint32_t i = 0; i < count && !r.Failed(); ++i) {
            TitleEntry e;
            std::optional<std::string> name;
            if (!r.U32(e.kind) || !r.Text(name)) break;
            e.name = name.value_or("");
            if (t.listFlags & ListEmbedded) {
                uint32_t size;
                std::span<const uint8_t> content;
                if (!r.U32(size) || !r.Bytes(size, content)) break;
                e.content.assign(content.begin(), content.end());
            }
            t.movies.push_back(std::move(e));
        }
    }
    if (const ResLeaf* rg = Find(t.tree, "VANTOR", "RG")) {
        std::vector<uint8_t> raw = Unpack(rg, "RG");
        CByteReader r(raw);
        uint32_t count = 0;
        r.U32(count);
        for (uint32_t i = 0; i < count; ++i) {
            std::optional<std::string> name;
            uint32_t size;
            std::span<const uint8_t> content;
            if (!r.Text(name) || !r.U32(size) || !r.Bytes(size, content)) break;
            t.clipShapes.push_back({0, name.value_or(""), {content.begin(), content.end()}});
        }
    }
    if (const ResLeaf* bk = Find(t.tree, "VANTOR", "BK")) t.background = Unpack(bk, "BK");
    if (const ResLeaf* fp = Find(t.tree, "VANTOR", "FP")) t.flashPlayer = Unpack(fp, "FP");
    if (const ResLeaf* cs = Find(t.tree, "VANTOR", "CS")) t.stamp = cs->data.Read();
    if (const ResLeaf* id = Find(t.tree, "VANTOR", "ID")) {
        std::vector<uint8_t> raw = id->data.Read();
        std::u16string text;
        for (size_t k = 0; k + 1 < raw.size(); k += 2) {
            char16_t unit = char16_t(raw[k] | (raw[k + 1] << 8));
            if (!unit) break;
            text += unit;
        }
        t.registryKey = Utf16ToUtf8(text);
    }
    for (const char* type : {"NERVA", "SUPPORT"}) {
        auto found = t.tree.find(ResKey::Name(type));
        if (found == t.tree.end()) continue;
        for (const auto& [name, langs] : found->second) {
            if (langs.empty()) continue;
            (type[0] == 'N' ? t.scripts : t.support).push_back({0, name.Text(), Unpack(&langs.begin()->second, name.Text())});
        }
    }
    return t;
}

JsonValue ArchiveJson(CRandomAccess& file, const CArchiveDirectory& dir, int depth) {
    JsonValue list = JsonValue::Arr();
    std::vector<CArchiveEntry> entries;
    ReadArchiveDirectory(file, dir, entries);
    for (const CArchiveEntry& e : entries) {
        JsonValue item = JsonValue::Obj();
        item.Add("name", JsonValue::Str(e.name));
        if (e.folder) {
            if (depth < 64) item.Add("files", ArchiveJson(file, FolderContents(e), depth + 1));
        } else {
            std::vector<uint8_t> content;
            bool ok = false;
            try {
                ok = InflateArchiveFile(file, e, content);
            } catch (const CAppException&) {
            }
            item.Add("size", JsonValue::Num(double(content.size())));
            if (!ok) item.Add("damaged", JsonValue::Bool(true));
        }
        list.Push(item);
    }
    return list;
}

void ExtractArchiveTree(CRandomAccess& file, const CArchiveDirectory& dir, const fs::path& target, int depth) {
    fs::create_directories(target);
    std::vector<CArchiveEntry> entries;
    ReadArchiveDirectory(file, dir, entries);
    for (const CArchiveEntry& e : entries) {
        fs::path path = target / fs::path(std::u8string(e.name.begin(), e.name.end()));
        if (e.folder) {
            if (depth < 64) ExtractArchiveTree(file, FolderContents(e), path, depth + 1);
        } else if (!ExtractArchiveFile(file, e, path.string())) {
            throw InputError("the archive file " + e.name + " is damaged");
        }
    }
}

void ArchiveText(const JsonValue& list, const std::string& indent, std::string& out) {
    for (const JsonValue& item : list.items) {
        const JsonValue* files = item.Find("files");
        out += indent + item.Find("name")->text;
        if (files) {
            out += "/\n";
            ArchiveText(*files, indent + "  ", out);
        } else {
            out += "  " + std::to_string(uint64_t(item.Find("size")->number)) + " bytes";
            out += item.Find("damaged") ? "  DAMAGED\n" : "\n";
        }
    }
}

class ScratchFolder {
public:
    ScratchFolder() {
        path_ = fs::temp_directory_path() / ("vantor-pack-inspect-" + std::to_string(reinterpret_cast<uintptr_t>(this)) + "-" +
                                            std::to_string(std::rand()));
        fs::create_directories(path_);
    }
    ~ScratchFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string Path() const { return path_.string(); }

private:
    fs::path path_;
};

}  // namespace

std::string InspectTitle(const std::string& path, const InspectOptions& options) {
    ScratchFolder scratch;
    Title t = ReadTitle(path, scratch.Path());
    JsonValue root = JsonValue::Obj();
    root.Add("registryKey", JsonValue::Str(t.registryKey));
    root.Add("buildStamp", JsonValue::Str(Hex(t.stamp)));
    if (t.hasSettings) root.Add("settings", SettingsToJson(t.settings, t.helpName, t.pictureName));
    JsonValue movies = JsonValue::Obj();
    movies.Add("embed", JsonValue::Bool(t.listFlags & ListEmbedded));
    movies.Add("randomFirst", JsonValue::Bool(t.listFlags & ListRandomFirst));
    JsonValue files = JsonValue::Arr();
    for (const TitleEntry& m : t.movies) {
        JsonValue item = JsonValue::Obj();
        item.Add("name", JsonValue::Str(m.name));
        item.Add("kind", m.kind == KindMovie ? JsonValue::Str("movie") : m.kind == KindAttachment ? JsonValue::Str("attachment") : JsonValue::Num(m.kind));
        if (t.listFlags & ListEmbedded) item.Add("size", JsonValue::Num(double(m.content.size())));
        files.Push(item);
    }
    movies.Add("files", files);
    root.Add("movies", movies);
    JsonValue shapes = JsonValue::Arr();
    for (const TitleEntry& c : t.clipShapes) {
        JsonValue item = JsonValue::Obj();
        item.Add("name", JsonValue::Str(c.name));
        item.Add("size", JsonValue::Num(double(c.content.size())));
        std::vector<MaskRect> rects;
        MaskRect bound;
        if (ParseMaskFile(c.content, rects, bound)) {
            item.Add("rectangles", JsonValue::Num(double(rects.size())));
            JsonValue b = JsonValue::Arr();
            for (int32_t v : {bound.left, bound.top, bound.right, bound.bottom}) b.Push(JsonValue::Num(v));
            item.Add("bounds", b);
        }
        shapes.Push(item);
    }
    root.Add("clipShapes", shapes);
    std::string listings;
    for (const char* kind : {"scripts", "support"}) {
        JsonValue list = JsonValue::Arr();
        for (const TitleEntry& s : kind[0] == 's' && kind[1] == 'c' ? t.scripts : t.support) {
            JsonValue item = JsonValue::Obj();
            item.Add("name", JsonValue::Str(s.name));
            item.Add("size", JsonValue::Num(double(s.content.size())));
#ifdef VANTOR_PACK_HAVE_COMPILER
            if (options.disassemble && kind[1] == 'c') {
                std::string text, error;
                nerva::DisassembleImage(s.content.data(), s.content.size(), {}, text, error);
                if (!error.empty()) text += "error: " + error + "\n";
                item.Add("disassembly", JsonValue::Str(text));
                listings += "--- " + s.name + "\n" + text;
            }
#endif
            list.Push(item);
        }
        root.Add(kind, list);
    }
    if (!t.background.empty()) root.Add("background", JsonValue::Num(double(t.background.size())));
    if (!t.flashPlayer.empty()) root.Add("flashPlayer", JsonValue::Num(double(t.flashPlayer.size())));
    CFileAccess file(path);
    if (auto archive = file.Open() ? LocateArchive(file) : std::nullopt) root.Add("archive", ArchiveJson(file, *archive, 0));
    JsonValue stub = JsonValue::Arr();
    for (const std::string& r : t.stubResources) stub.Push(JsonValue::Str(r));
    root.Add("stubResources", stub);
    if (options.json) return WriteJson(root);

    std::string out;
    out += "registry key: " + t.registryKey + "\n";
    out += "build stamp:  " + Hex(t.stamp) + "\n";
    out += "movies (" + std::string(t.listFlags & ListEmbedded ? "embedded" : "beside the executable") +
           (t.listFlags & ListRandomFirst ? ", first chosen at random" : "") + "):\n";
    for (const TitleEntry& m : t.movies)
        out += "  " + std::string(m.kind == KindAttachment ? "attachment " : "movie      ") + m.name +
               ((t.listFlags & ListEmbedded) ? "  " + std::to_string(m.content.size()) + " bytes" : "") + "\n";
    out += "clip shapes:\n";
    for (const JsonValue& c : root.Find("clipShapes")->items) {
        out += "  " + c.Find("name")->text;
        if (const JsonValue* r = c.Find("rectangles")) out += "  " + std::to_string(uint64_t(r->number)) + " rectangles";
        out += "\n";
    }
    out += "scripts:\n";
    for (const TitleEntry& s : t.scripts) out += "  " + s.name + "  " + std::to_string(s.content.size()) + " bytes\n";
    out += "support files:\n";
    for (const TitleEntry& s : t.support) out += "  " + s.name + "  " + std::to_string(s.content.size()) + " bytes\n";
    if (!t.background.empty()) out += "about bitmap: " + std::to_string(t.background.size()) + " bytes\n";
    if (!t.flashPlayer.empty()) out += "movie control: " + std::to_string(t.flashPlayer.size()) + " bytes\n";
    if (const JsonValue* archive = root.Find("archive")) {
        out += "extra files:\n";
        ArchiveText(*archive, "  ", out);
    }
    out += "projector resources: ";
    for (size_t i = 0; i < t.stubResources.size(); ++i) out += (i ? ", " : "") + t.stubResources[i];
    out += "\n";
    if (t.hasSettings) {
        JsonValue fragment = JsonValue::Obj();
        fragment.Add("settings", *root.Find("settings"));
        out += "settings:\n" + WriteJson(fragment);
    }
    if (!listings.empty()) out += listings;
    return out;
}

void ExtractTitle(const std::string& path, const std::string& dirText) {
    fs::path dir(dirText);
    fs::create_directories(dir / "files");
    Title t = ReadTitle(path, (dir / "files").string());
    auto write = [&](const fs::path& file, const std::vector<uint8_t>& bytes) {
        fs::create_directories(file.parent_path());
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        if (!out.flush()) throw InputError("cannot write " + file.string());
    };
    auto relative = [&](const fs::path& file) { return fs::relative(file, dir).generic_string(); };

    JsonValue root = JsonValue::Obj();
    // The title itself serves as the stub: its title resources and archive are replaced.
    fs::copy_file(path, dir / "stub.exe", fs::copy_options::overwrite_existing);
    root.Add("stub", JsonValue::Str("stub.exe"));
    root.Add("registryKey", JsonValue::Str(t.registryKey));
    root.Add("buildStamp", JsonValue::Str(t.stamp.size() == 16 ? Hex(t.stamp) : "auto"));
    // A title without a control says so, or a rebuild would take the default one.
    if (!t.flashPlayer.empty()) write(dir / "moviectl.dll", t.flashPlayer), root.Add("flashPlayer", JsonValue::Str("moviectl.dll"));
    else root.Add("flashPlayer", JsonValue{});
    if (!t.background.empty()) write(dir / "background.bmp", t.background), root.Add("background", JsonValue::Str("background.bmp"));

    JsonValue movies = JsonValue::Obj();
    bool embedded = t.listFlags & ListEmbedded;
    movies.Add("embed", JsonValue::Bool(embedded));
    movies.Add("randomFirst", JsonValue::Bool(t.listFlags & ListRandomFirst));
    JsonValue files = JsonValue::Arr();
    int index = 0;
    for (const TitleEntry& m : t.movies) {
        JsonValue item = JsonValue::Obj();
        // Each entry in its own folder: stored names may repeat or hold folders of their own.
        fs::path file = dir / "movies" / std::to_string(index++) / FileNamePart(m.name);
        if (embedded) write(file, m.content);
        item.Add("file", JsonValue::Str(relative(file)));
        item.Add("name", JsonValue::Str(m.name));
        item.Add("kind", m.kind == KindAttachment ? JsonValue::Str("attachment") : JsonValue::Num(m.kind));
        if (m.kind == KindMovie) item.members.back().second = JsonValue::Str("movie");
        files.Push(item);
    }
    movies.Add("files", files);
    root.Add("movies", movies);

    JsonValue shapes = JsonValue::Arr();
    for (const TitleEntry& c : t.clipShapes) {
        fs::path file = dir / "masks" / (FileNamePart(c.name) + ".msk");
        write(file, c.content);
        JsonValue item = JsonValue::Obj();
        item.Add("name", JsonValue::Str(c.name)).Add("mask", JsonValue::Str(relative(file)));
        shapes.Push(item);
    }
    root.Add("clipShapes", shapes);
    for (const char* kind : {"scripts", "support"}) {
        bool scripts = kind[1] == 'c';
        JsonValue list = JsonValue::Arr();
        for (const TitleEntry& s : scripts ? t.scripts : t.support) {
            std::string safe = s.name;
            for (char& c : safe)
                if (c == '$' || c == '\\' || c == '/' || c == ':') c = '_';
            fs::path file = dir / kind / (safe + (scripts ? ".nsc" : ".bin"));
            write(file, s.content);
            JsonValue item = JsonValue::Obj();
            item.Add("name", JsonValue::Str(s.name)).Add("file", JsonValue::Str(relative(file)));
            list.Push(item);
        }
        root.Add(kind, list);
    }
    CFileAccess file(path);
    if (auto archive = file.Open() ? LocateArchive(file) : std::nullopt) {
        ExtractArchiveTree(file, *archive, dir / "extra", 0);
        root.Add("extraFiles", JsonValue::Str("extra"));
    }
    if (t.hasSettings) {
        std::string help = t.settings.helpFile.empty() ? "" : relative(fs::path(t.settings.helpFile));
        std::string picture = t.settings.pictureFile.empty() ? "" : relative(fs::path(t.settings.pictureFile));
        root.Add("settings", SettingsToJson(t.settings, help, picture));
    }
    std::ofstream(dir / "project.json", std::ios::binary) << WriteJson(root);
}

}  // namespace vantor::pack
