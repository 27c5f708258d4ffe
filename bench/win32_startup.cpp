// The Win32 window's start-up, under Wine, for information beside the Qt
// window's (window_bench startup): shows the window as kelvara.exe does and,
// once it and its controls have been drawn, prints the wall-clock time, how
// long the process had run, and its memory; then exits. Run by
// scripts/bench-win32.sh in fresh processes.
//
//   win32_startup_bench DIR    DIR holds offset.txt and Cousine-Regular.ttf;
//                              the window's settings and journals go there
//
// Prints: ok <Unix time ms> <ms since the process was created> <working set KiB> <private KiB>
#include "win32/Form1.h"

#include <psapi.h>

#include <cstdio>
#include <string>

namespace {

// A FILETIME in milliseconds since 1970.
double UnixMs(const FILETIME& t)
{
    const unsigned long long ticks = (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    return double(ticks - 116444736000000000ULL) / 10000.0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: win32_startup_bench DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    TFormOptions options;
    options.ExecutablePath = dir + "\\kelvara.exe";
    options.JournalDir = dir + "\\runs";
    options.ShowMessage = [](const std::string& text) { std::fprintf(stderr, "message: %s\n", text.c_str()); };
    TForm1 form(kelvara::TLocaleSettings::Capture(), options);
    ShowWindow(form.Handle(), SW_SHOWNORMAL);
    UpdateWindow(form.Handle());
    // What the start posted, and the controls' own first paints.
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    GdiFlush();
    FILETIME now, created, exited, kernel, user;
    GetSystemTimePreciseAsFileTime(&now);
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
    std::printf("ok %.1f %.1f %zu %zu\n", UnixMs(now), UnixMs(now) - UnixMs(created), memory.WorkingSetSize / 1024,
                memory.PrivateUsage / 1024);
    return 0;
}
