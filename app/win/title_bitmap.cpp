// The about-box bitmap as a bitmap handle.
#include <windows.h>

#include "app/movie_list.h"
#include "app/win/title_win.h"

namespace vantor {

HBITMAP ExtractBitmap(const std::string& name, const std::string& type) {
    std::string path = ExtractBitmapFile(name, type);
    if (path.empty()) return nullptr;
    return static_cast<HBITMAP>(LoadImageA(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
}

}  // namespace vantor
