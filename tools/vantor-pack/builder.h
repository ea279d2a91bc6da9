// `vantor-pack build`, `inspect` and `extract`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pe_image.h"
#include "project.h"

namespace vantor::pack {

struct BuildOptions {
    std::string output;
    std::string stub;      // overrides the project's stub
    std::string toolPath;  // argv[0], to find the default stub beside the tool
    bool progress = false;
};

// Writes the title; the output appears only when complete. Throws InputError.
void BuildTitle(const Project& project, const BuildOptions& options);

// The resources the builder adds for a project (exposed for tests): type -> name -> payload.
ResourceTree TitleResources(const Project& project, const std::string& scratchPrefix);

// Compiles a .nvs script, or reads a .nsc image; throws InputError "FILE:LINE: error: ...".
std::vector<uint8_t> ScriptImage(const std::string& path);

struct InspectOptions {
    bool json = false;
    bool disassemble = false;
};
// What a title holds, as text or JSON.
std::string InspectTitle(const std::string& path, const InspectOptions& options);

// Writes DIR/project.json and the files it names; building it gives the same resources.
void ExtractTitle(const std::string& path, const std::string& dir);

}  // namespace vantor::pack
