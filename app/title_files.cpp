// Run folder, executable location and safe joining of stored names.
#include "app/title_files.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace vantor {

namespace fs = std::filesystem;

namespace {

std::string& RunFolderSlot() {
    static std::string folder;
    return folder;
}

std::string& ExecutableSlot() {
    static std::string path;
    return path;
}

fs::path ToPath(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

}  // namespace

const std::string& RunFolder() { return RunFolderSlot(); }

void SetRunFolder(std::string folder) {
    if (!folder.empty() && folder.back() != '\\' && folder.back() != '/') folder += kPathSeparator;
    RunFolderSlot() = std::move(folder);
}

const std::string& ExecutablePath() { return ExecutableSlot(); }
void SetExecutablePath(std::string path) { ExecutableSlot() = std::move(path); }

std::string ExecutableFolder() {
    const std::string& path = ExecutablePath();
    size_t cut = path.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::optional<std::vector<std::string>> SafeRelativePath(std::string_view name) {
    if (name.empty() || name.front() == '\\' || name.front() == '/') return std::nullopt;
    if (name.find(':') != std::string_view::npos) return std::nullopt;
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("\\/", start);
        if (end == std::string_view::npos) end = name.size();
        std::string_view part = name.substr(start, end - start);
        if (part == "..") return std::nullopt;
        if (!part.empty() && part != ".") parts.emplace_back(part);
        start = end + 1;
    }
    if (parts.empty()) return std::nullopt;
    return parts;
}

std::string JoinSafe(const std::string& folder, std::string_view name) {
    auto parts = SafeRelativePath(name);
    if (!parts) return {};
    std::string out = folder;
    for (size_t i = 0; i < parts->size(); ++i) {
        if (i) out += kPathSeparator;
        out += (*parts)[i];
    }
    return out;
}

std::string PlaceFile(const std::string& folder, std::string_view name, std::span<const uint8_t> bytes) {
    std::string path = JoinSafe(folder, name);
    if (path.empty()) return {};
    size_t cut = path.find_last_of("\\/");
    if (cut != std::string::npos && cut >= folder.size() && !MakeDirectories(path.substr(0, cut))) return {};
    if (!WriteWholeFile(path, bytes)) {
        RemoveFile(path);
        return {};
    }
    return path;
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && fs::exists(ToPath(path), ec);
}

bool IsDirectory(const std::string& path) {
    std::error_code ec;
    return !path.empty() && fs::is_directory(ToPath(path), ec);
}

bool MakeDirectories(const std::string& path) {
    std::error_code ec;
    fs::create_directories(ToPath(path), ec);
    return IsDirectory(path);
}

bool WriteWholeFile(const std::string& path, std::span<const uint8_t> bytes) {
    std::ofstream out(ToPath(path), std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out.flush());
}

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path) {
    std::ifstream in(ToPath(path), std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<uint8_t> bytes;
    char chunk[4096];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) bytes.insert(bytes.end(), chunk, chunk + in.gcount());
    if (in.bad()) return std::nullopt;
    return bytes;
}

bool RemoveFile(const std::string& path) {
    std::error_code ec;
    return fs::remove(ToPath(path), ec);
}

std::string FileNamePart(std::string_view path) {
    size_t cut = path.find_last_of("\\/");
    return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

}  // namespace vantor
