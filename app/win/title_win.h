// Windows-only parts of the title formats.
#pragma once

#include <windows.h>

#include <string>

#include "app/settings.h"

namespace vantor {

// The about-box bitmap (resource BK, unpacked once into the run folder) loaded from its file.
HBITMAP ExtractBitmap(const std::string& name, const std::string& type);

// The registry cache under HKEY_CURRENT_USER\Software\<key>\<profile>\<section>, as the
// application's profile functions address it.
class CRegistryProfile : public CProfile {
public:
    CRegistryProfile(std::string registryKey, std::string profileName)
        : key_(std::move(registryKey)), profile_(std::move(profileName)) {}
    std::optional<std::vector<uint8_t>> GetBinary(const std::string& section, const std::string& entry) override;
    bool WriteBinary(const std::string& section, const std::string& entry, std::span<const uint8_t> bytes) override;

private:
    std::string SubKey(const std::string& section) const;
    std::string key_, profile_;
};

}  // namespace vantor
