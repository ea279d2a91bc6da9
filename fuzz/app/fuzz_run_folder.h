// A private run folder for fuzzers whose readers write files; emptied after every input so
// that a long run does not fill the disk.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

#include "app/title_files.h"

namespace vantor::fuzz {

inline const std::filesystem::path& FuzzRunFolder() {
    static const std::filesystem::path folder = [] {
        auto path = std::filesystem::temp_directory_path() / ("vantor-fuzz-" + std::to_string(getpid()));
        std::filesystem::create_directories(path);
        SetRunFolder(path.string());
        return path;
    }();
    return folder;
}

// Everything the reader wrote must be inside the folder; then it is emptied.
inline void CleanRunFolder() {
    std::error_code ec;
    for (auto& entry : std::filesystem::directory_iterator(FuzzRunFolder(), ec)) std::filesystem::remove_all(entry, ec);
}

}  // namespace vantor::fuzz
