// The project file: everything `vantor-pack build` puts into a title, read from JSON with
// readable names for every settings field. docs/project-file.md documents the schema.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/settings.h"
#include "json.h"

namespace vantor::pack {

struct MovieItem {
    std::string file;  // source path
    std::string name;  // stored name (file name by default)
    uint32_t kind = 1;
};

struct ClipShapeItem {
    std::string name;
    std::string mask;  // .msk, .bmp or .png
    bool invert = false;
};

struct NamedFile {
    std::string name;
    std::string file;
};

struct Project {
    std::string path;  // the project file
    std::string stub;
    std::string registryKey;
    std::optional<std::array<uint8_t, 16>> buildStamp;
    int compression = 6;
    // The movie control packed as FP. Unset: the one built with the projector, found beside the
    // stub when it is there; an explicit null packs none.
    std::optional<std::string> flashPlayer;
    std::string background;
    bool embedMovies = true;
    bool randomFirstMovie = false;
    std::vector<MovieItem> movies;
    std::vector<ClipShapeItem> clipShapes;
    std::vector<NamedFile> scripts;
    std::vector<NamedFile> support;
    std::string extraFiles;
    // Embedded-file fields hold source paths.
    CProjectSettings settings;
};

// Reads a project file; paths in it are relative to its folder. Throws InputError that
// points at the offending place.
Project ReadProject(const std::string& path);
Project ProjectFromJson(const JsonValue& root, const std::string& path);

// The settings as the "settings" object of a project file. Embedded files are given by the
// names in `files` (help file, picture file) when they are not empty.
JsonValue SettingsToJson(const CProjectSettings& settings, const std::string& helpFile, const std::string& pictureFile);

// "Ctrl+Alt+Q" and back.
std::string HotKeyText(uint16_t code, uint16_t modifiers);
bool ParseHotKey(const std::string& text, uint16_t& code, uint16_t& modifiers);

// "#RRGGBB" for a COLORREF (0x00BBGGRR) and back.
std::string ColorText(uint32_t colorref);
bool ParseColor(const std::string& text, uint32_t& colorref);

}  // namespace vantor::pack
