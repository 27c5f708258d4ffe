// Programs for alarms on Windows: CreateProcess, no command interpreter.
#include "alarm/AlarmProgram.h"

#include "base/Errors.h"
#include "base/Win32Text.h"

#include <windows.h>

#include <cwchar>

namespace kelvara {

namespace {

// The environment block: this process's variables less those replaced, then
// the alarm's, each ending in NUL, and one more NUL at the end.
std::wstring EnvironmentBlock(const std::vector<std::string>& variables)
{
    std::vector<std::wstring> added;
    for (const std::string& v : variables) added.push_back(WidenUtf8(v));
    std::wstring block;
    if (wchar_t* own = GetEnvironmentStringsW()) {
        for (const wchar_t* e = own; *e; e += std::wcslen(e) + 1) {
            bool replaced = false;
            for (const std::wstring& a : added) replaced = replaced || _wcsnicmp(e, a.c_str(), a.find(L'=') + 1) == 0;
            if (!replaced) block.append(e).push_back(L'\0');
        }
        FreeEnvironmentStringsW(own);
    }
    for (const std::wstring& a : added) block.append(a).push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

} // namespace

TSpawned SpawnProgram(const std::string& program, const std::vector<std::string>& variables)
{
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE input =
        CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    HANDLE output = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(), &output, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = output;
    std::wstring command = L"\"" + WidenUtf8(program) + L"\"";
    std::wstring environment = EnvironmentBlock(variables);
    PROCESS_INFORMATION info{};
    const BOOL ok =
        CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT,
                       environment.data(), nullptr, &startup, &info);
    const DWORD error = GetLastError();
    if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
    if (output) CloseHandle(output);
    if (!ok) throw EError(Win32ErrorMessage(error));
    CloseHandle(info.hThread);
    return {intptr_t(info.hProcess)};
}

std::optional<std::string> ProgramEnded(TSpawned& spawned)
{
    const HANDLE process = HANDLE(spawned.Handle);
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code == 0 ? "" : "exited with code " + std::to_string(code);
}

void KillProgram(TSpawned& spawned)
{
    const HANDLE process = HANDLE(spawned.Handle);
    TerminateProcess(process, 1);
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
}

} // namespace kelvara
