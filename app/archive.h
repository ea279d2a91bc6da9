// The archive of additional files appended to the executable after its last section:
//
//   end-8-L  "VAF\0", u32 non-zero, text "Application", u32 directory length, entries
//   end-8    u32 L (archive length without these 8 bytes)
//   end-4    u32 marker, non-zero when an archive is present
//
// Directory entry: u32 kind (0 file, else folder), text name, u32 size, size bytes. A
// folder's bytes are its own entries; a file's are a zlib stream and a u32 CRC-32 of the
// inflated content. Files are extracted lazily into the run folder's "_extra" folder, once
// per run, through fixed 4 KB buffers.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vantor {

// Reads at absolute offsets of a file or of bytes in memory.
class CRandomAccess {
public:
    virtual ~CRandomAccess() = default;
    virtual uint64_t Size() const = 0;
    // Reads exactly `count` bytes at `offset`; false when they are not all there.
    virtual bool ReadAt(uint64_t offset, void* out, size_t count) = 0;
};

class CMemoryAccess : public CRandomAccess {
public:
    explicit CMemoryAccess(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint64_t Size() const override { return bytes_.size(); }
    bool ReadAt(uint64_t offset, void* out, size_t count) override;

private:
    std::span<const uint8_t> bytes_;
};

class CFileAccess : public CRandomAccess {
public:
    // Opens the file for reading; Open() tells whether that worked.
    explicit CFileAccess(const std::string& path);
    bool Open() const { return open_; }
    uint64_t Size() const override { return size_; }
    bool ReadAt(uint64_t offset, void* out, size_t count) override;

private:
    std::ifstream file_;
    uint64_t size_ = 0;
    bool open_ = false;
};

// A byte range of the executable holding directory entries.
struct CArchiveDirectory {
    uint64_t offset = 0;
    uint64_t length = 0;
};

struct CArchiveEntry {
    bool folder = false;
    std::string name;
    uint64_t offset = 0;  // of the entry's bytes
    uint32_t size = 0;
};

// True when the last four bytes are non-zero (the executable claims an archive).
bool HasArchiveMarker(CRandomAccess& file);
// The root directory of a well-formed archive trailer.
std::optional<CArchiveDirectory> LocateArchive(CRandomAccess& file);
// The entries of one directory, in stored order. Entries whose name is not one plain
// component (separators, "..", ":") are left out. False when the directory is malformed;
// the entries read before the fault remain.
bool ReadArchiveDirectory(CRandomAccess& file, const CArchiveDirectory& dir, std::vector<CArchiveEntry>& entries);
inline CArchiveDirectory FolderContents(const CArchiveEntry& entry) { return {entry.offset, entry.size}; }

// Inflates a file entry into `target` and checks its CRC. False on a CRC mismatch or a
// stream that ends early; the partial file is removed. An inflate error removes the partial
// file and throws CZipException with the zlib message.
bool ExtractArchiveFile(CRandomAccess& file, const CArchiveEntry& entry, const std::string& target);
// Inflates into memory (tools and tests), with the same checks; throws as above.
bool InflateArchiveFile(CRandomAccess& file, const CArchiveEntry& entry, std::vector<uint8_t>& out);

// A local path for a file or folder of the title's additional files (relative path with "\"
// or "/"), or an empty string. See the format above; without an archive the path is looked
// up beside the executable.
std::string GetAdditionalFile(const std::string& relative);

// The run folder's "_extra" folder when the executable has an archive marker, else the
// executable's folder; with a trailing separator.
std::string GetAttachmentsFolder();

}  // namespace vantor
