// Walking and extracting the appended archive of additional files.
#include "app/archive.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>

#include "app/app_exception.h"
#include "app/byte_stream.h"
#include "app/packed_block.h"
#include "app/title_files.h"
#include "port/byte_order.h"

namespace vantor {

namespace {

constexpr size_t kChunk = 4096;
constexpr int kMaxFolderDepth = 200;

bool ReadU32(CRandomAccess& file, uint64_t offset, uint32_t& value) {
    uint8_t b[4];
    if (!file.ReadAt(offset, b, 4)) return false;
    value = ReadLE32(b);
    return true;
}

// Reads a stored text at `offset` within [offset, end); advances offset.
bool ReadText(CRandomAccess& file, uint64_t& offset, uint64_t end, std::string& out) {
    uint32_t count;
    if (end - offset < 4 || !ReadU32(file, offset, count)) return false;
    offset += 4;
    if (uint64_t(count) * 2 > end - offset) return false;
    std::vector<uint8_t> raw(size_t(count) * 2);
    if (!file.ReadAt(offset, raw.data(), raw.size())) return false;
    offset += raw.size();
    std::u16string units;
    for (uint32_t i = 0; i < count; ++i) {
        char16_t unit = char16_t(ReadLE16(&raw[2 * i]));
        if (unit == 0) break;
        units += unit;
    }
    out = Utf16ToUtf8(units);
    return true;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

bool PlainComponent(const std::string& name) {
    auto parts = SafeRelativePath(name);
    return parts && parts->size() == 1 && (*parts)[0] == name;
}

std::filesystem::path FsPath(const std::string& utf8) { return std::filesystem::path(std::u8string(utf8.begin(), utf8.end())); }

// Streams the entry's zlib data through fixed buffers into `sink`; checks the stored CRC.
template <typename Sink>
bool InflateEntry(CRandomAccess& file, const CArchiveEntry& entry, Sink&& sink) {
    if (entry.folder || entry.size < 4) return false;
    uint64_t streamLength = entry.size - 4;
    z_stream z{};
    if (inflateInit(&z) != Z_OK) throw CZipException(ZlibMessage(Z_MEM_ERROR));
    uint8_t in[kChunk], out[kChunk];
    uint64_t consumed = 0;
    uLong crc = crc32(0, nullptr, 0);
    int result = Z_OK;
    while (result != Z_STREAM_END) {
        if (z.avail_in == 0 && consumed < streamLength) {
            size_t n = size_t(std::min<uint64_t>(kChunk, streamLength - consumed));
            if (!file.ReadAt(entry.offset + consumed, in, n)) break;
            consumed += n;
            z.next_in = in;
            z.avail_in = uInt(n);
        }
        z.next_out = out;
        z.avail_out = kChunk;
        result = inflate(&z, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
            inflateEnd(&z);
            throw CZipException(ZlibMessage(result));
        }
        size_t produced = kChunk - z.avail_out;
        if (produced) {
            crc = crc32(crc, out, uInt(produced));
            if (!sink(out, produced)) {
                inflateEnd(&z);
                return false;
            }
        }
        // No input left and nothing more to produce: the stream ends early.
        if (result == Z_BUF_ERROR && z.avail_in == 0 && consumed == streamLength) break;
    }
    inflateEnd(&z);
    uint32_t stored;
    if (result != Z_STREAM_END || !ReadU32(file, entry.offset + streamLength, stored)) return false;
    return stored == uint32_t(crc);
}

// Extracts every file below a folder entry; sub-folders are created, damaged files skipped.
void ExtractFolder(CRandomAccess& file, const CArchiveDirectory& dir, const std::string& target, int depth = 0) {
    // Each level costs a few bytes, so a hostile archive could nest deep enough to exhaust
    // the stack; no real title comes near this.
    if (depth > kMaxFolderDepth) return;
    MakeDirectories(target);
    std::vector<CArchiveEntry> entries;
    ReadArchiveDirectory(file, dir, entries);
    for (const CArchiveEntry& entry : entries) {
        std::string path = target + kPathSeparator + entry.name;
        if (entry.folder) {
            ExtractFolder(file, FolderContents(entry), path, depth + 1);
        } else if (!FileExists(path)) {
            // One damaged file must not keep the rest of the folder from being extracted.
            try {
                ExtractArchiveFile(file, entry, path);
            } catch (const CZipException&) {
            }
        }
    }
}

}  // namespace

bool CMemoryAccess::ReadAt(uint64_t offset, void* out, size_t count) {
    if (offset > bytes_.size() || count > bytes_.size() - offset) return false;
    if (count) std::memcpy(out, bytes_.data() + offset, count);
    return true;
}

CFileAccess::CFileAccess(const std::string& path) : file_(FsPath(path), std::ios::binary) {
    if (!file_) return;
    file_.seekg(0, std::ios::end);
    std::streamoff end = file_.tellg();
    if (end < 0) return;
    size_ = uint64_t(end);
    open_ = true;
}

bool CFileAccess::ReadAt(uint64_t offset, void* out, size_t count) {
    if (!open_ || offset > size_ || count > size_ - offset) return false;
    file_.clear();
    file_.seekg(std::streamoff(offset));
    file_.read(static_cast<char*>(out), std::streamsize(count));
    return size_t(file_.gcount()) == count;
}

bool HasArchiveMarker(CRandomAccess& file) {
    uint32_t marker;
    return file.Size() >= 4 && ReadU32(file, file.Size() - 4, marker) && marker != 0;
}

std::optional<CArchiveDirectory> LocateArchive(CRandomAccess& file) {
    if (!HasArchiveMarker(file) || file.Size() < 8) return std::nullopt;
    uint64_t size = file.Size();
    uint32_t length;
    if (!ReadU32(file, size - 8, length) || length > size - 8) return std::nullopt;
    uint64_t start = size - 8 - length, end = size - 8, at = start;
    uint8_t magic[4];
    uint32_t nonZero, dirLength;
    std::string tag;
    if (end - at < 8 || !file.ReadAt(at, magic, 4) || std::memcmp(magic, "VAF", 4) != 0) return std::nullopt;
    if (!ReadU32(file, at + 4, nonZero) || nonZero == 0) return std::nullopt;
    at += 8;
    if (!ReadText(file, at, end, tag) || !EqualNoCase(tag, "Application")) return std::nullopt;
    if (end - at < 4 || !ReadU32(file, at, dirLength)) return std::nullopt;
    at += 4;
    if (dirLength > end - at) return std::nullopt;
    return CArchiveDirectory{at, dirLength};
}

bool ReadArchiveDirectory(CRandomAccess& file, const CArchiveDirectory& dir, std::vector<CArchiveEntry>& entries) {
    uint64_t at = dir.offset, end = dir.offset + dir.length;
    if (end < at || end > file.Size()) return false;
    while (at < end) {
        uint32_t kind, size;
        std::string name;
        if (end - at < 4 || !ReadU32(file, at, kind)) return false;
        at += 4;
        if (!ReadText(file, at, end, name)) return false;
        if (end - at < 4 || !ReadU32(file, at, size)) return false;
        at += 4;
        if (size > end - at) return false;
        if (PlainComponent(name)) entries.push_back({kind != 0, name, at, size});
        at += size;
    }
    return true;
}

bool ExtractArchiveFile(CRandomAccess& file, const CArchiveEntry& entry, const std::string& target) {
    std::ofstream out(FsPath(target), std::ios::binary | std::ios::trunc);
    if (!out) return false;
    bool ok;
    try {
        ok = InflateEntry(file, entry, [&](const uint8_t* data, size_t n) {
            out.write(reinterpret_cast<const char*>(data), std::streamsize(n));
            return bool(out);
        });
        ok = ok && out.flush();
    } catch (const CZipException&) {
        out.close();
        RemoveFile(target);  // a partial file would be taken as extracted by the next request
        throw;
    }
    out.close();
    if (!ok) RemoveFile(target);
    return ok;
}

bool InflateArchiveFile(CRandomAccess& file, const CArchiveEntry& entry, std::vector<uint8_t>& out) {
    out.clear();
    return InflateEntry(file, entry, [&](const uint8_t* data, size_t n) {
        out.insert(out.end(), data, data + n);
        return true;
    });
}

std::string GetAdditionalFile(const std::string& relative) {
    std::string path = relative;
    for (char& c : path)
        if (c == '/') c = '\\';

    CFileAccess file(ExecutablePath());
    std::optional<CArchiveDirectory> root = file.Open() ? LocateArchive(file) : std::nullopt;
    if (!root) {
        size_t skip = path.find_first_not_of('\\');
        std::string local = ExecutableFolder();
        for (char c : path.substr(skip == std::string::npos ? path.size() : skip)) local += c == '\\' ? kPathSeparator : c;
        return FileExists(local) ? local : std::string();
    }

    std::string target = RunFolder() + "_extra";
    MakeDirectories(target);
    CArchiveDirectory dir = *root;
    size_t start = 0;
    while (start < path.size()) {
        size_t cut = path.find('\\', start);
        if (cut == std::string::npos) cut = path.size();
        std::string component = path.substr(start, cut - start);
        start = cut + 1;
        if (component.empty()) continue;
        std::vector<CArchiveEntry> entries;
        ReadArchiveDirectory(file, dir, entries);
        const CArchiveEntry* found = nullptr;
        for (const CArchiveEntry& e : entries)
            if (EqualNoCase(e.name, component)) {
                found = &e;
                break;
            }
        if (!found) return {};
        target += kPathSeparator + found->name;
        if (!found->folder) {
            if (FileExists(target)) return target;
            return ExtractArchiveFile(file, *found, target) ? target : std::string();
        }
        MakeDirectories(target);
        dir = FolderContents(*found);
    }
    ExtractFolder(file, dir, target);
    return target;
}

std::string GetAttachmentsFolder() {
    CFileAccess file(ExecutablePath());
    if (file.Open() && HasArchiveMarker(file)) return RunFolder() + "_extra" + kPathSeparator;
    return ExecutableFolder();
}

}  // namespace vantor
