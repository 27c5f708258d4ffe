// Program entry of the Win32 window: the main window and its message loop.
// With --demo the window logs from the simulated bus.
#include "win32/Form1.h"

#include <commctrl.h>

#include <string_view>

int main(int argc, char* argv[])
{
    bool demo = false;
    for (int i = 1; i < argc; ++i) demo = demo || std::string_view(argv[i]) == "--demo";
    // The common controls of version 6, which the manifest asks for, draw
    // in the system's visual style.
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);

    TFormOptions options;
    options.Demo = demo;
    TForm1 form(kelvara::TLocaleSettings::Capture(), options);
    ShowWindow(form.Handle(), SW_SHOWDEFAULT);
    UpdateWindow(form.Handle());
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (form.PreTranslate(msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
