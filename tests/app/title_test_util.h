// Helpers shared by the title-format tests: a scratch folder that acts as run folder and
// executable folder, raw little-endian byte building independent of the code under test, and
// small movie and archive images.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/title_files.h"

namespace vantor::test {

class ScratchFolder {
public:
    ScratchFolder() {
        static int counter = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("vantor-title-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                 std::to_string(counter++) + "-" + std::to_string(reinterpret_cast<uintptr_t>(this)));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_ / "run");
        std::filesystem::create_directories(path_ / "exe");
        SetRunFolder((path_ / "run").string());
        SetExecutablePath((path_ / "exe" / "title.exe").string());
    }
    ~ScratchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
        SetRunFolder("");
        SetExecutablePath("");
    }
    std::filesystem::path Run() const { return path_ / "run"; }
    std::filesystem::path Exe() const { return path_ / "exe" / "title.exe"; }
    std::filesystem::path Root() const { return path_; }

private:
    std::filesystem::path path_;
};

// Little-endian bytes written by hand, so that layouts are checked against an independent
// encoder.
struct Bytes {
    std::vector<uint8_t> v;
    Bytes& u8(uint8_t x) {
        v.push_back(x);
        return *this;
    }
    Bytes& u16(uint16_t x) { return u8(uint8_t(x)).u8(uint8_t(x >> 8)); }
    Bytes& u32(uint32_t x) { return u16(uint16_t(x)).u16(uint16_t(x >> 16)); }
    // ASCII text with terminator; count as stored.
    Bytes& text(const std::string& s) {
        u32(uint32_t(s.size() + 1));
        for (char c : s) u16(uint8_t(c));
        return u16(0);
    }
    Bytes& absent() { return u32(0); }
    Bytes& raw(const std::vector<uint8_t>& b) {
        v.insert(v.end(), b.begin(), b.end());
        return *this;
    }
    Bytes& raw(const std::string& s) {
        v.insert(v.end(), s.begin(), s.end());
        return *this;
    }
};

inline std::vector<uint8_t> Deflate(const std::vector<uint8_t>& data) {
    uLongf size = compressBound(uLong(data.size()));
    std::vector<uint8_t> out(size);
    compress2(out.data(), &size, data.data(), uLong(data.size()), 6);
    out.resize(size);
    return out;
}

inline uint32_t Crc(const std::vector<uint8_t>& data) { return uint32_t(crc32(0, data.data(), uInt(data.size()))); }

inline void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<uint8_t> ToBytes(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace vantor::test
