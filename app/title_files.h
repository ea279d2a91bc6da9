// Where a title's files go on disk: the per-run folder (created by start-up, deleted at exit)
// and the executable's own folder. Every name that comes out of a title passes through
// SafeRelativePath before it touches the disk, so that no entry can write outside the run
// folder.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// The run folder, always ending in a separator, or empty when it could not be made.
const std::string& RunFolder();
void SetRunFolder(std::string folder);

// The full path of the executable that carries the title (the running program by default
// on Windows; tests and tools set it).
const std::string& ExecutablePath();
void SetExecutablePath(std::string path);
// The executable's folder with a trailing separator.
std::string ExecutableFolder();

// Splits a stored name at "\" and "/" into components. Empty and "." components are dropped.
// Returns nullopt for a name that could leave the folder it is joined to: a leading separator
// (absolute), a drive letter or any ":" (alternate streams), a ".." component, or nothing left.
std::optional<std::vector<std::string>> SafeRelativePath(std::string_view name);

// `folder` (ending in a separator, or empty) joined with a safe name using the platform's
// separator, or an empty string when the name is unsafe.
std::string JoinSafe(const std::string& folder, std::string_view name);

// Writes `bytes` to `folder` joined with the stored `name`, creating the folders the name
// asks for. Returns the full path, or an empty string for an unsafe name or a failed write.
std::string PlaceFile(const std::string& folder, std::string_view name, std::span<const uint8_t> bytes);

// Small file helpers over the platform's file functions (UTF-8 paths).
bool FileExists(const std::string& path);
bool IsDirectory(const std::string& path);
bool MakeDirectories(const std::string& path);
bool WriteWholeFile(const std::string& path, std::span<const uint8_t> bytes);
std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path);
bool RemoveFile(const std::string& path);
// The name part of a path (after the last "\" or "/").
std::string FileNamePart(std::string_view path);

}  // namespace vantor
