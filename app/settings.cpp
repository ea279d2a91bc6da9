// Reading and writing the project settings record, and its registry cache.
#include "app/settings.h"

#include <filesystem>
#include <fstream>

#include "app/app_exception.h"
#include "app/resources.h"
#include "app/title_files.h"

namespace vantor {

namespace {

constexpr const char* kSection = "Settings";

// Each reader assigns only a field that was read whole: after the first short field the
// stream has failed, and every later field keeps the value it had.
struct FieldReader {
    CByteReader& in;
    const std::string& folder;

    void U32(uint32_t& field) {
        uint32_t v;
        if (in.U32(v)) field = v;
    }
    void I32(int32_t& field) {
        uint32_t v;
        if (in.U32(v)) field = int32_t(v);
    }
    void U16(uint16_t& field) {
        uint16_t v;
        if (in.U16(v)) field = v;
    }
    void U8(uint8_t& field) {
        uint8_t v;
        if (in.U8(v)) field = v;
    }
    void Text(vantor::Text& field) {
        vantor::Text v;
        if (in.Text(v)) field = std::move(v);
    }
    void Name(std::string& field, size_t maxUnits = kMaxPathUnits) {
        vantor::Text v;
        if (in.Text(v, maxUnits)) field = v.value_or(std::string());
    }
    void Font(CLogFont& font) {
        I32(font.height), I32(font.width), I32(font.escapement), I32(font.orientation), I32(font.weight);
        U8(font.italic), U8(font.underline), U8(font.strikeOut), U8(font.charSet);
        U8(font.outPrecision), U8(font.clipPrecision), U8(font.quality), U8(font.pitchAndFamily);
        Name(font.faceName, kMaxFaceNameUnits);
    }
    void Time(CSystemTime& time) {
        for (uint16_t& f : time.fields) U16(f);
    }
    void Opaque(std::vector<uint8_t>& field) {
        uint32_t length;
        std::span<const uint8_t> bytes;
        if (in.U32(length) && in.Bytes(length, bytes)) field.assign(bytes.begin(), bytes.end());
    }
    void Embedded(std::string& field) {
        vantor::Text name;
        uint32_t length;
        std::span<const uint8_t> bytes;
        if (!in.Text(name, kMaxPathUnits) || !in.U32(length) || !in.Bytes(length, bytes)) return;
        if (length == 0) return;
        // An unsafe name or a file that cannot be written: skip the bytes, no path.
        field = PlaceFile(folder, name.value_or(std::string()), bytes);
    }
};

void WriteFont(CByteWriter& out, const CLogFont& font) {
    for (int32_t v : {font.height, font.width, font.escapement, font.orientation, font.weight}) out.U32(uint32_t(v));
    for (uint8_t v : {font.italic, font.underline, font.strikeOut, font.charSet, font.outPrecision,
                      font.clipPrecision, font.quality, font.pitchAndFamily})
        out.U8(v);
    out.Name(font.faceName);
}

void WriteEmbedded(CByteWriter& out, const std::string& path) {
    std::error_code ec;
    std::filesystem::path file(std::u8string(path.begin(), path.end()));
    if (path.empty() || !std::filesystem::is_regular_file(file, ec)) {
        out.Name("");
        out.U32(0);
        return;
    }
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> content;
    char chunk[4096];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) content.insert(content.end(), chunk, chunk + in.gcount());
    out.Name(FileNamePart(path));
    out.U32(uint32_t(content.size()));
    out.Bytes(content);
}

}  // namespace

bool ReadSettings(CByteReader& in, CProjectSettings& s, const std::string& folder) {
    FieldReader r{in, folder};
    for (Text& t : s.aboutTexts) r.Text(t);

    r.U32(s.windowShape), r.U32(s.borderStyle), r.U32(s.borderIcons), r.U32(s.scaleMode);
    r.Name(s.clipShape), r.Name(s.caption);

    r.U32(s.windowSize), r.U16(s.customWidth), r.U16(s.customHeight);
    r.U32(s.pos), r.U16(s.left), r.U16(s.top), r.U32(s.bKeepRatio);

    r.U32(s.lBtnClk), r.U32(s.rBtnClk), r.U32(s.keyPress), r.U32(s.exitKeys), r.U32(s.disableFlags);
    r.U16(s.hotKeyCode), r.U16(s.hotKeyModifiers);

    r.U32(s.contextMenu), r.U32(s.behaviourFlags);

    r.Opaque(s.group6);

    r.U32(s.miscFlags), r.U32(s.backColor), r.Embedded(s.helpFile);

    r.Text(s.webCaption), r.Text(s.webAddress), r.Text(s.mailCaption), r.Text(s.mailAddress);
    r.U32(s.webColor), r.U32(s.mailColor);
    r.Font(s.webFont), r.Font(s.mailFont);
    r.U32(s.pictureFlags), r.U32(s.aboutUnused);
    r.Embedded(s.pictureFile), r.Name(s.aboutUnusedPath);

    r.U32(s.reserved1), r.Text(s.reservedText), r.U32(s.reserved2), r.Time(s.reservedTime);
    r.U32(s.reserved3), r.Name(s.reservedPath), r.U16(s.reserved4), r.U16(s.reserved5);
    return !in.Failed();
}

void WriteSettings(CByteWriter& out, const CProjectSettings& s) {
    for (const Text& t : s.aboutTexts) out.Text(t);

    for (uint32_t v : {s.windowShape, s.borderStyle, s.borderIcons, s.scaleMode}) out.U32(v);
    out.Name(s.clipShape), out.Name(s.caption);

    out.U32(s.windowSize), out.U16(s.customWidth), out.U16(s.customHeight);
    out.U32(s.pos), out.U16(s.left), out.U16(s.top), out.U32(s.bKeepRatio);

    for (uint32_t v : {s.lBtnClk, s.rBtnClk, s.keyPress, s.exitKeys, s.disableFlags}) out.U32(v);
    out.U16(s.hotKeyCode), out.U16(s.hotKeyModifiers);

    out.U32(s.contextMenu), out.U32(s.behaviourFlags);

    out.U32(uint32_t(s.group6.size())), out.Bytes(s.group6);

    out.U32(s.miscFlags), out.U32(s.backColor);
    WriteEmbedded(out, s.helpFile);

    out.Text(s.webCaption), out.Text(s.webAddress), out.Text(s.mailCaption), out.Text(s.mailAddress);
    out.U32(s.webColor), out.U32(s.mailColor);
    WriteFont(out, s.webFont), WriteFont(out, s.mailFont);
    out.U32(s.pictureFlags), out.U32(s.aboutUnused);
    WriteEmbedded(out, s.pictureFile);
    out.Name(s.aboutUnusedPath);

    out.U32(s.reserved1), out.Text(s.reservedText), out.U32(s.reserved2);
    for (uint16_t f : s.reservedTime.fields) out.U16(f);
    out.U32(s.reserved3), out.Name(s.reservedPath), out.U16(s.reserved4), out.U16(s.reserved5);
}

void FreeSettings(CProjectSettings& settings) { settings = CProjectSettings(); }

std::optional<std::vector<uint8_t>> CMemoryProfile::GetBinary(const std::string& section, const std::string& entry) {
    for (auto& [key, value] : values_)
        if (key == section + '\n' + entry) return value;
    return std::nullopt;
}

bool CMemoryProfile::WriteBinary(const std::string& section, const std::string& entry, std::span<const uint8_t> bytes) {
    ++writes;
    for (auto& [key, value] : values_)
        if (key == section + '\n' + entry) {
            value.assign(bytes.begin(), bytes.end());
            return true;
        }
    values_.emplace_back(section + '\n' + entry, std::vector<uint8_t>(bytes.begin(), bytes.end()));
    return true;
}

SettingsSource LoadProjectSettings(CProjectSettings& settings, CProfile& profile) {
    std::optional<std::vector<uint8_t>> stamp;
    try {
        stamp = ReadRawResource("CS", "VANTOR");
    } catch (const CAppException&) {
    }
    std::optional<std::vector<uint8_t>> cachedStamp = profile.GetBinary(kSection, "crc");
    bool cacheValid = stamp && cachedStamp && *stamp == *cachedStamp;
    if (!cacheValid && stamp) profile.WriteBinary(kSection, "crc", *stamp);

    if (cacheValid) {
        if (std::optional<std::vector<uint8_t>> options = profile.GetBinary(kSection, "Options")) {
            CByteReader in(*options);
            ReadSettings(in, settings, RunFolder());
            return SettingsSource::Cache;
        }
    }

    SettingsSource source = SettingsSource::Defaults;
    try {
        UnpackedBytes bytes;
        if (UnpackResource("ST", "VANTOR", bytes)) {
            CByteReader in(bytes);
            ReadSettings(in, settings, RunFolder());
            source = SettingsSource::Resource;
        }
    } catch (const CAppException&) {
    }
    SaveSettingsToCache(settings, profile);
    return source;
}

bool SaveSettingsToCache(const CProjectSettings& settings, CProfile& profile) {
    CByteWriter out;
    WriteSettings(out, settings);
    return profile.WriteBinary(kSection, "Options", out.Data());
}

}  // namespace vantor
