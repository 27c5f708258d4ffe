// The serial ports of Windows: each driver that creates a port names it in
// HARDWARE\DEVICEMAP\SERIALCOMM, one value per port (the value's name is the
// driver's device, its data the port name). Some drivers do not, and Wine may
// leave the key empty; the names the system's device namespace knows are
// the ports then.
#include "base/Errors.h"
#include "base/Win32Text.h"
#include "serial/PortList.h"

#include <windows.h>

#include <algorithm>
#include <vector>

namespace kelvara {

std::vector<TPortInfo> SerialPortsOfKey(HKEY root, const std::wstring& subKey)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
    struct TClose {
        HKEY Key;
        ~TClose() { RegCloseKey(Key); }
    } close{key};

    DWORD values = 0;
    DWORD longestName = 0;
    DWORD longestData = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, &longestName, &longestData,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return {};

    std::vector<TPortInfo> ports;
    std::vector<wchar_t> name(longestName + 1);
    // Data in bytes, with room for a terminator the registry may not store.
    std::vector<wchar_t> data(longestData / sizeof(wchar_t) + 2);
    for (DWORD index = 0; index < values; ++index) {
        DWORD nameLength = DWORD(name.size());
        DWORD dataBytes = DWORD((data.size() - 1) * sizeof(wchar_t));
        DWORD type = 0;
        const LONG status = RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type,
                                          reinterpret_cast<BYTE*>(data.data()), &dataBytes);
        // A value that went away since the count was taken ends the list.
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) continue;
        const std::string valueName = NarrowUtf16(std::wstring_view(name.data(), nameLength));
        if (type != REG_SZ && type != REG_EXPAND_SZ) throw EError("Invalid data type for '" + valueName + "'");
        std::wstring_view port(data.data(), dataBytes / sizeof(wchar_t));
        while (!port.empty() && port.back() == L'\0') port.remove_suffix(1);
        const std::string portName = NarrowUtf16(port);
        ports.push_back({portName, "\\\\.\\" + portName, ""});
    }
    return ports;
}

std::string StableNameOf(const std::string&, const std::string&)
{
    return std::string();
}

std::string DevicePathOf(const std::string& portName)
{
    // The port box's name behind the device namespace, as the system opens
    // a chosen port ("COM3" becomes "\\.\COM3").
    const bool path = portName.starts_with("\\\\");
    return path ? portName : "\\\\.\\" + portName;
}

std::vector<TPortInfo> ComPortsOfDosNames(std::wstring_view list)
{
    std::vector<std::string> com;
    for (size_t at = 0; at < list.size() && list[at] != L'\0';) {
        const std::wstring_view name = list.substr(at, list.find(L'\0', at) - at);
        at += name.size() + 1;
        const bool isCom = name.size() > 3 && _wcsnicmp(name.data(), L"COM", 3) == 0 &&
                           name.find_first_not_of(L"0123456789", 3) == std::wstring_view::npos;
        if (isCom) com.push_back(NarrowUtf16(name));
    }
    // By number: COM2 before COM10.
    const auto number = [](const std::string& name) { return std::stoull(name.substr(3, 18)); };
    std::sort(com.begin(), com.end(), [&number](const std::string& a, const std::string& b) {
        return number(a) != number(b) ? number(a) < number(b) : a < b;
    });
    std::vector<TPortInfo> ports;
    for (const std::string& name : com) ports.push_back({name, DevicePathOf(name), ""});
    return ports;
}

std::vector<TPortInfo> DosDevicePorts()
{
    // A buffer too small is told, and the list may grow meanwhile.
    std::vector<wchar_t> names(16384);
    DWORD length = 0;
    while ((length = QueryDosDeviceW(nullptr, names.data(), DWORD(names.size()))) == 0) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() > (1u << 24)) return {};
        names.resize(names.size() * 2);
    }
    return ComPortsOfDosNames(std::wstring_view(names.data(), length));
}

std::vector<TPortInfo> ListSerialPorts()
{
    std::vector<TPortInfo> ports = SerialPortsOfKey(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM");
    return ports.empty() ? DosDevicePorts() : ports;
}

} // namespace kelvara
