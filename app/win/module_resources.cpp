// The running executable's own resources, through the Win32 resource functions.
#include <windows.h>

#include "app/resources.h"

namespace vantor {

namespace {

class ModuleResources : public ResourceSource {
public:
    std::span<const uint8_t> Find(const std::string& name, const std::string& type) const override {
        HRSRC info = FindResourceA(nullptr, name.c_str(), type.c_str());
        if (!info) return {};
        DWORD size = SizeofResource(nullptr, info);
        HGLOBAL handle = LoadResource(nullptr, info);
        const void* data = handle ? LockResource(handle) : nullptr;
        if (!data || size == 0) return {};
        return {static_cast<const uint8_t*>(data), size};
    }
};

}  // namespace

std::unique_ptr<ResourceSource> MakeModuleResources() { return std::make_unique<ModuleResources>(); }

}  // namespace vantor
