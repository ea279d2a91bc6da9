// The project settings record: every option the author chose for a title. It travels packed
// in the resource ST and, after the first run, in the registry cache under "Settings".
//
// Serialized form: the groups in declaration order, little-endian, no padding, no header.
//   u32/u16      4 or 2 bytes
//   text         u32 count of UTF-16 units with the terminator (0 = absent), then the units
//   path, name   as text, always present (empty = count 1 and one zero unit)
//   font         five u32, eight bytes, then the face name as a text
//   embedded     file name (text), u32 length, the file's bytes
//   group 6      u32 length, then that many opaque bytes (our own representation)
//   SYSTEMTIME   eight u16
// In memory, texts are UTF-8; paths and names keep at most 259 UTF-16 units, face names 31.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/byte_stream.h"

namespace vantor {

inline constexpr size_t kMaxPathUnits = 259;
inline constexpr size_t kMaxFaceNameUnits = 31;

// Bits of the settings fields; scripts see the same values as "$..." constants.
enum BorderStyleBits : uint32_t {
    BorderNone = 0x1, BorderSingle = 0x10, BorderResizable = 0x100, BorderSmallCaption = 0x1000,
    BorderHideTaskbarButton = 0x10000,
};
enum BorderIconBits : uint32_t { IconMaximize = 0x1, IconMinimize = 0x10, IconSystemMenu = 0x100, IconHelp = 0x1000 };
enum ScaleModeValues : uint32_t { ScaleShowAll = 0x1, ScaleNoBorder = 0x2, ScaleNoScale = 0x10, ScaleExactFit = 0x100 };
enum KeyPressBits : uint32_t { KeySend = 0x1, KeyIgnore = 0x10, KeyDisableWinKeys = 0x100 };
enum ExitKeyBits : uint32_t { ExitOnEsc = 0x1, ExitOnHotKey = 0x10 };
enum DisableBits : uint32_t { DisableAltTab = 0x1, DisableHideCursor = 0x10, DisableScreenSaver = 0x100 };
enum ContextMenuBits : uint32_t {
    MenuConfigure = 0x1, MenuNoScriptItems = 0x2, MenuFlashPlayer = 0x10, MenuAbout = 0x100, MenuHelp = 0x1000,
};
enum BehaviourBits : uint32_t {
    BehaveAutoPlay = 0x1, BehaveAppIconInTray = 0x2, BehaveStartMinimized = 0x10, BehaveAlwaysOnTop = 0x100,
    BehaveShowInTray = 0x1000,
};
enum MiscBits : uint32_t { MiscUseBackColor = 0x1, MiscAboutAsSplash = 0x10, MiscMute = 0x100, MiscUseHelpFile = 0x1000 };
enum PictureBits : uint32_t { PictureCurrentMovie = 0x10, PictureFile = 0x100 };

struct CLogFont {
    int32_t height = 0, width = 0, escapement = 0, orientation = 0, weight = 0;
    uint8_t italic = 0, underline = 0, strikeOut = 0, charSet = 0;
    uint8_t outPrecision = 0, clipPrecision = 0, quality = 0, pitchAndFamily = 0;
    std::string faceName;

    bool operator==(const CLogFont&) const = default;
};

struct CSystemTime {
    std::array<uint16_t, 8> fields{};
    bool operator==(const CSystemTime&) const = default;
};

using Text = std::optional<std::string>;

struct CProjectSettings {
    // 1. About texts: 0 product name, 3 legal notice, 6 version; the others are carried.
    std::array<Text, 7> aboutTexts;

    // 2. Appearance.
    uint32_t windowShape = 0;  // 0 rectangle, 1 transparent background, 2 clip shape
    uint32_t borderStyle = 0;
    uint32_t borderIcons = 0;
    uint32_t scaleMode = 0;
    std::string clipShape;
    std::string caption;

    // 3. Size and position.
    uint32_t windowSize = 0;  // 0 movie, 1 full screen, 2 maximized, 3 custom, 4 percent
    uint16_t customWidth = 0;
    uint16_t customHeight = 0;  // the percentage in mode 4
    uint32_t pos = 0;           // 0..8 screen places, 9 pixels, 10 percent
    uint16_t left = 0;
    uint16_t top = 0;
    uint32_t bKeepRatio = 0;

    // 4. Interaction.
    uint32_t lBtnClk = 0;
    uint32_t rBtnClk = 0;
    uint32_t keyPress = 0;
    uint32_t exitKeys = 0;
    uint32_t disableFlags = 0;
    uint16_t hotKeyCode = 0;
    uint16_t hotKeyModifiers = 0;  // 0x1 Shift, 0x2 Ctrl, 0x4 Alt, 0x8 extended

    // 5. Behaviour.
    uint32_t contextMenu = 0;
    uint32_t behaviourFlags = 0;

    // 6. Opaque block, kept byte for byte.
    std::vector<uint8_t> group6;

    // 7. Miscellaneous.
    uint32_t miscFlags = 0;
    uint32_t backColor = 0;  // COLORREF 0x00BBGGRR
    std::string helpFile;    // path of the extracted file

    // 8. About box.
    Text webCaption, webAddress, mailCaption, mailAddress;
    uint32_t webColor = 0, mailColor = 0;
    CLogFont webFont, mailFont;
    uint32_t pictureFlags = 0;
    uint32_t aboutUnused = 0;
    std::string pictureFile;  // path of the extracted file
    std::string aboutUnusedPath;

    // 9. Reserved group, carried.
    uint32_t reserved1 = 0;
    Text reservedText;
    uint32_t reserved2 = 0;
    CSystemTime reservedTime;
    uint32_t reserved3 = 0;
    std::string reservedPath;
    uint16_t reserved4 = 0;
    uint16_t reserved5 = 0;

    // 10. Clip shape names from RG; not serialized. Absent when RG has none.
    std::optional<std::vector<std::string>> clipShapes;

    bool operator==(const CProjectSettings&) const = default;
};

// Fills the record from its serialized form. Embedded files with a length above zero are
// written into `folder` under their stored name and the field receives the full path; an
// unsafe name or a file that cannot be written skips the bytes and leaves the path empty.
// Reading stops at the first field that does not fit; later fields keep their values.
// Returns true when the whole record was read.
bool ReadSettings(CByteReader& in, CProjectSettings& settings, const std::string& folder);

// The serialized form. An embedded file is written with its content when a file exists at the
// path in the field, otherwise as an empty name and length 0.
void WriteSettings(CByteWriter& out, const CProjectSettings& settings);

// Releases the texts and file references (at exit).
void FreeSettings(CProjectSettings& settings);

// Where the registry cache lives and how it is reached: the application's profile functions
// on Windows, a table in tests and tools.
class CProfile {
public:
    virtual ~CProfile() = default;
    virtual std::optional<std::vector<uint8_t>> GetBinary(const std::string& section, const std::string& entry) = 0;
    virtual bool WriteBinary(const std::string& section, const std::string& entry, std::span<const uint8_t> bytes) = 0;
};

class CMemoryProfile : public CProfile {
public:
    std::optional<std::vector<uint8_t>> GetBinary(const std::string& section, const std::string& entry) override;
    bool WriteBinary(const std::string& section, const std::string& entry, std::span<const uint8_t> bytes) override;

    size_t writes = 0;

private:
    std::vector<std::pair<std::string, std::vector<uint8_t>>> values_;
};

enum class SettingsSource { Cache, Resource, Defaults };

// Start-up loading order: the cache is used when the CS stamp equals "Settings"/"crc" and
// "Settings"/"Options" exists; otherwise ST is unpacked and read (zeros when it is missing or
// broken) and the record is written to the cache. Files go to the run folder.
SettingsSource LoadProjectSettings(CProjectSettings& settings, CProfile& profile);

// Stores the record in the cache (after the options dialog).
bool SaveSettingsToCache(const CProjectSettings& settings, CProfile& profile);

}  // namespace vantor
