// A window of one known colour at a known place, for checking screenshots of the virtual
// display: prints READY once painted, then stays until closed or 20 seconds have passed.
#include <windows.h>

#include <cstdio>

namespace {

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
        FillRect(dc, &paint.rcPaint, red);
        DeleteObject(red);
        EndPaint(window, &paint);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

int main() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "HarnessPaint";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(WS_EX_TOPMOST, "HarnessPaint", "harness", WS_POPUP | WS_VISIBLE, 50, 60, 120, 80,
                                  nullptr, nullptr, windowClass.hInstance, nullptr);
    if (!window) return 1;
    UpdateWindow(window);
    SetTimer(window, 1, 20000, nullptr);

    DWORD readyAt = GetTickCount() + 500;
    bool ready = false;
    MSG message;
    while (true) {
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) return 0;
            if (message.message == WM_TIMER) DestroyWindow(window);
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (!ready && GetTickCount() >= readyAt) {
            std::printf("READY\n");
            ready = true;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
}
