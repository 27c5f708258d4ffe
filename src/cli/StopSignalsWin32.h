// The console control handler that TStopSignals installs on Windows, for the
// tests: a test cannot close its console, log off or shut down, so it calls
// the handler as the system would, on a thread of its own.
#pragma once

#include <windows.h>

namespace kelvara {

BOOL WINAPI ConsoleControl(DWORD event);

} // namespace kelvara
