// Access to the title's resources: the executable's own resource directory on Windows,
// an in-memory table elsewhere (tests, tools). Resources are looked up by name and type;
// names and types match without regard to case, as the platform does.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/packed_block.h"

namespace vantor {

// Where resources come from. Find returns the resource bytes, valid while the source lives,
// or an empty span when there is no such resource (or it is empty).
class ResourceSource {
public:
    virtual ~ResourceSource() = default;
    virtual std::span<const uint8_t> Find(const std::string& name, const std::string& type) const = 0;
};

// A resource table held in memory.
class InMemoryResources : public ResourceSource {
public:
    void Add(const std::string& name, const std::string& type, std::vector<uint8_t> bytes);
    void Remove(const std::string& name, const std::string& type);
    std::span<const uint8_t> Find(const std::string& name, const std::string& type) const override;

private:
    static std::string Key(const std::string& name, const std::string& type);
    std::map<std::string, std::vector<uint8_t>> entries_;
};

// The resources of the running executable (Windows only).
std::unique_ptr<ResourceSource> MakeModuleResources();

// The source the readers below use. On Windows it starts as the running module's resources,
// elsewhere as an empty table. Replacing it returns the previous source.
ResourceSource& CurrentResources();
std::unique_ptr<ResourceSource> SetCurrentResources(std::unique_ptr<ResourceSource> source);

// A copy of the resource bytes. A missing or empty resource throws CAppException.
std::vector<uint8_t> ReadRawResource(const std::string& name, const std::string& type);

// Unpacks a packed-block resource in place. A missing resource throws CAppException; a block
// that cannot be unpacked returns false with `out` empty.
bool UnpackResource(const std::string& name, const std::string& type, UnpackedBytes& out);

}  // namespace vantor
