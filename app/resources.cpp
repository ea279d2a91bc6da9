// Resource readers over a replaceable resource source.
#include "app/resources.h"

#include <cctype>

#include "app/app_exception.h"

namespace vantor {

namespace {

std::string Upper(std::string text) {
    for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::unique_ptr<ResourceSource>& CurrentSlot() {
    static std::unique_ptr<ResourceSource> current = MakeModuleResources();
    return current;
}

std::span<const uint8_t> FindOrThrow(const std::string& name, const std::string& type) {
    std::span<const uint8_t> bytes = CurrentResources().Find(name, type);
    if (bytes.empty()) throw CAppException();
    return bytes;
}

}  // namespace

std::string InMemoryResources::Key(const std::string& name, const std::string& type) {
    return Upper(type) + '\n' + Upper(name);
}

void InMemoryResources::Add(const std::string& name, const std::string& type, std::vector<uint8_t> bytes) {
    entries_[Key(name, type)] = std::move(bytes);
}

void InMemoryResources::Remove(const std::string& name, const std::string& type) {
    entries_.erase(Key(name, type));
}

std::span<const uint8_t> InMemoryResources::Find(const std::string& name, const std::string& type) const {
    auto it = entries_.find(Key(name, type));
    if (it == entries_.end()) return {};
    return it->second;
}

ResourceSource& CurrentResources() { return *CurrentSlot(); }

std::unique_ptr<ResourceSource> SetCurrentResources(std::unique_ptr<ResourceSource> source) {
    std::unique_ptr<ResourceSource> previous = std::move(CurrentSlot());
    CurrentSlot() = source ? std::move(source) : std::make_unique<InMemoryResources>();
    return previous;
}

std::vector<uint8_t> ReadRawResource(const std::string& name, const std::string& type) {
    std::span<const uint8_t> bytes = FindOrThrow(name, type);
    return {bytes.begin(), bytes.end()};
}

bool UnpackResource(const std::string& name, const std::string& type, UnpackedBytes& out) {
    return UnpackBlock(FindOrThrow(name, type), out);
}

}  // namespace vantor
