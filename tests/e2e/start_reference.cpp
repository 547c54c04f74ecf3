// The yardstick of the start benchmark: a program that loads the DLLs Kalvaren.exe
// loads, creates a window of 40 standard controls and shows it. Nothing else.
#include <windows.h>

#include <commctrl.h>

#include "UScoped.h"

namespace {

// What Kalvaren.exe imports besides kernel32 and msvcrt, which every program loads
// (x86_64-w64-mingw32-objdump -p Kalvaren.exe).
constexpr const char* kLibraries[] = {
    "advapi32.dll", "comctl32.dll", "comdlg32.dll", "crypt32.dll", "gdi32.dll",   "ole32.dll",
    "oleaut32.dll", "secur32.dll",  "shell32.dll",  "user32.dll",  "version.dll", "ws2_32.dll",
};

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    for (const char* name : kLibraries)
        LoadLibraryA(name);
    OleInitialize(nullptr);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES | ICC_DATE_CLASSES |
                                                       ICC_TAB_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    wc.lpszClassName = "KalvarenStartReference";
    RegisterClassExA(&wc);
    HWND window =
        CreateWindowExA(0, wc.lpszClassName, "Reference", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                        CW_USEDEFAULT, 740, 520, nullptr, nullptr, instance, nullptr);
    const kal::unique_hfont font(CreateFontA(
        -11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
        CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, "Tahoma"));
    // As many controls as the main window has, of the kinds it has.
    constexpr const char* kKinds[] = {"BUTTON", "EDIT", "STATIC", "LISTBOX", "BUTTON"};
    constexpr DWORD kStyles[] = {BS_PUSHBUTTON, WS_BORDER, 0, LBS_NOTIFY | WS_VSCROLL,
                                 BS_AUTOCHECKBOX};
    for (int i = 0; i < 40; ++i) {
        HWND control = CreateWindowExA(
            0, kKinds[i % 5], "Control", WS_CHILD | WS_VISIBLE | kStyles[i % 5], 10 + (i % 5) * 140,
            10 + (i / 5) * 60, 130, 50, window, nullptr, instance, nullptr);
        SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), FALSE);
    }
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    OleUninitialize();
    return 0;
}
