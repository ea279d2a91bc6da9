// Binary profile values in the user's registry.
#include "app/win/title_win.h"

namespace vantor {

std::string CRegistryProfile::SubKey(const std::string& section) const {
    return "Software\\" + key_ + "\\" + profile_ + "\\" + section;
}

std::optional<std::vector<uint8_t>> CRegistryProfile::GetBinary(const std::string& section, const std::string& entry) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, SubKey(section).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
    DWORD type = 0, size = 0;
    std::optional<std::vector<uint8_t>> result;
    if (RegQueryValueExA(key, entry.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_BINARY) {
        std::vector<uint8_t> bytes(size);
        if (RegQueryValueExA(key, entry.c_str(), nullptr, &type, bytes.data(), &size) == ERROR_SUCCESS) {
            bytes.resize(size);
            result = std::move(bytes);
        }
    }
    RegCloseKey(key);
    return result;
}

bool CRegistryProfile::WriteBinary(const std::string& section, const std::string& entry, std::span<const uint8_t> bytes) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, SubKey(section).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    LONG result = RegSetValueExA(key, entry.c_str(), 0, REG_BINARY, bytes.data(), DWORD(bytes.size()));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

}  // namespace vantor
