// A projector stand-in for the packing test under Wine: packed by vantor-pack, it reads every
// resource of the title back through the module's own resource directory, and the appended
// archive through GetAdditionalFile. Prints each failed check; exit code 0 when all pass.
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/archive.h"
#include "app/movie_header.h"
#include "app/movie_list.h"
#include "app/resources.h"
#include "app/settings.h"
#include "app/title_files.h"
#include "app/win/title_win.h"

using namespace vantor;

namespace {

int g_failures = 0;

#define CHECK(cond)                                                        \
    do {                                                                   \
        if (!(cond)) {                                                     \
            std::printf("FAILED line %d: %s\n", __LINE__, #cond);          \
            ++g_failures;                                                  \
        }                                                                  \
    } while (0)

std::vector<uint8_t> Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

DWORD ResourceSize(const char* name, const char* type) {
    HRSRC info = FindResourceA(nullptr, name, type);
    return info ? SizeofResource(nullptr, info) : 0;
}

}  // namespace

int main() {
    HINSTANCE self = GetModuleHandleA(nullptr);
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    SetExecutablePath(exe);
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string run = std::string(temp) + "vantor-pack-probe-" + std::to_string(GetCurrentProcessId()) + "\\";
    CreateDirectoryA(run.c_str(), nullptr);
    SetRunFolder(run);

    // The stub's own resources survived the packing.
    CHECK(LoadIconA(self, MAKEINTRESOURCEA(1)) != nullptr);
    HMENU menu = LoadMenuA(self, MAKEINTRESOURCEA(130));
    CHECK(menu != nullptr);
    if (menu) CHECK(GetMenuItemCount(GetSubMenu(menu, 0)) == 2);
    CHECK(FindResourceA(nullptr, MAKEINTRESOURCEA(100), MAKEINTRESOURCEA(5)) != nullptr);
    CHECK(LoadAcceleratorsA(self, MAKEINTRESOURCEA(128)) != nullptr);
    char title[64] = {};
    LoadStringA(self, 57344, title, sizeof title);
    CHECK(std::string(title) == "Vantor Player");

    // Every title resource, found by name and type as the projector asks for them.
    for (const char* name : {"ST", "ML", "RG", "BK", "ID", "CS"}) CHECK(ResourceSize(name, "VANTOR") > 0);
    CHECK(ResourceSize("INITIALIZE", "Nerva") > 0);
    CHECK(ResourceSize("$1", "SUPPORT") > 0);
    CHECK(ResourceSize("CS", "VANTOR") == 16);

    std::vector<uint8_t> id = ReadRawResource("ID", "VANTOR");
    CHECK(id.size() > 32);
    std::string key;
    for (size_t i = 0; i + 1 < id.size() && id[i]; i += 2) key += char(id[i]);
    CHECK(key == "Vantor Tests/Packed Title");

    // Settings through the registry cache: the first load reads ST, the second the cache.
    std::string profileName = "Probe " + std::to_string(GetTickCount()) + "-" + std::to_string(GetCurrentProcessId());
    {
        CRegistryProfile profile("Vantor Pack Tests", profileName);
        CProjectSettings first, second;
        CHECK(LoadProjectSettings(first, profile) == SettingsSource::Resource);
        CHECK(LoadProjectSettings(second, profile) == SettingsSource::Cache);
        for (const CProjectSettings* s : {&first, &second}) {
            CHECK(s->caption == "Packed Title");
            CHECK(s->aboutTexts[0] == std::optional<std::string>("Packed Title"));
            CHECK(s->windowShape == 2 && s->clipShape == "round");
            CHECK(s->borderStyle == (BorderNone | BorderHideTaskbarButton));
            CHECK(s->windowSize == 4 && s->customHeight == 75 && s->pos == 4 && s->bKeepRatio == 1);
            CHECK(s->hotKeyCode == 'Q' && s->hotKeyModifiers == 0x6);
            CHECK(s->backColor == 0x00302010);
            CHECK(s->helpFile == run + "title.chm");
            CHECK(s->pictureFile == run + "about.bmp");
        }
        CHECK(Slurp(run + "title.chm").size() == 24);
        CHECK(Slurp(run + "about.bmp").size() == 198);
        RegDeleteTreeA(HKEY_CURRENT_USER, ("Software\\Vantor Pack Tests\\" + profileName).c_str());
    }

    // Movies and attachments, extracted into the run folder.
    CMovieListBlock block;
    ReadMovieList(block);
    CHECK(block.flags == ListEmbedded);
    CHECK(block.list.entries.size() == 3);
    if (block.list.entries.size() == 3) {
        CHECK(block.list.entries[0].path == run + "intro.swf");
        CHECK(block.list.entries[1].path == run + "scenes\\second.swf");
        CHECK(block.list.entries[2].path == run + "Plug_Ins\\pictures\\about.bmp");
        CHECK(block.list.entries[2].kind == KindAttachment);
        CHECK(ChooseFirstMovie(block) == run + "intro.swf");
        auto header = ReadMovieHeader(block.list.entries[1].path);
        CHECK(header && header->Width() == 320 && header->Height() == 240 && header->background == 0x1020F0);
        CHECK(header && header->version == 7);
        DeleteExtractedMovies(block);
        CHECK(GetFileAttributesA((run + "intro.swf").c_str()) == INVALID_FILE_ATTRIBUTES);
    }

    // Clip shape: the mask file makes a region of the picture's shape.
    std::optional<std::vector<std::string>> shapes;
    ReadClipShapes(shapes);
    CHECK(shapes && shapes->size() == 1 && (*shapes)[0] == "round");
    std::vector<uint8_t> mask = Slurp(run + "round.msk");
    CHECK(mask.size() > 4 + 32);
    if (mask.size() > 4 + 32) {
        DWORD n = DWORD(mask[0] | (mask[1] << 8) | (mask[2] << 16) | (mask[3] << 24));
        CHECK(n + 4 == mask.size());
        HRGN region = ExtCreateRegion(nullptr, n - 32, reinterpret_cast<const RGNDATA*>(&mask[4]));
        CHECK(region != nullptr);
        RECT box{};
        if (region) GetRgnBox(region, &box);
        CHECK(box.left == 0 && box.top == 0 && box.right == 8 && box.bottom == 6);
        CHECK(region && PtInRegion(region, 3, 0) && !PtInRegion(region, 0, 0) && PtInRegion(region, 0, 3));
        if (region) DeleteObject(region);
    }

    // The about bitmap and the packed script and support library.
    HBITMAP bitmap = ExtractBitmap("BK", "VANTOR");
    CHECK(bitmap != nullptr);
    BITMAP info{};
    if (bitmap) GetObjectA(bitmap, sizeof info, &info);
    CHECK(info.bmWidth == 8 && info.bmHeight == 6);
    UnpackedBytes script;
    CHECK(UnpackResource("INITIALIZE", "Nerva", script) && script.size() == 64 && script[0] == 'N' && script[63] == 59);
    UnpackedBytes support;
    CHECK(UnpackResource("$1", "SUPPORT", support) && support.size() == 560);

    // The appended archive.
    CHECK(GetAttachmentsFolder() == run + "_extra\\");
    std::string readme = GetAdditionalFile("docs/readme.txt");
    CHECK(readme == run + "_extra\\docs\\readme.txt");
    std::vector<uint8_t> text = Slurp(readme);
    CHECK(std::string(text.begin(), text.end()) == "Read me first.\n");
    std::vector<uint8_t> tones = Slurp(GetAdditionalFile("MEDIA\\tones.bin"));
    bool tonesOk = tones.size() == 40000;
    for (size_t i = 0; tonesOk && i < tones.size(); ++i) tonesOk = tones[i] == (i * 7919) % 251;
    CHECK(tonesOk);
    CHECK(GetAdditionalFile("media/none.bin").empty());

    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(run), ec);
    std::printf(g_failures ? "%d checks failed\n" : "all checks passed\n", g_failures);
    return g_failures ? 1 : 0;
}
