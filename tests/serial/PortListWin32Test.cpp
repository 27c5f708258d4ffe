#include "base/Errors.h"
#include "base/Win32Text.h"
#include "serial/PortList.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <random>

using namespace kelvara;

namespace {

// A key of the current user's own, removed with its values afterwards.
class TScratchKey {
public:
    TScratchKey()
    {
        Path = L"Software\\KelvaraTest\\" + std::to_wstring(std::random_device()()) + L"\\SERIALCOMM";
        if (RegCreateKeyExW(HKEY_CURRENT_USER, Path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &Key, nullptr) !=
            ERROR_SUCCESS)
            throw EError("cannot make a scratch registry key");
    }
    ~TScratchKey()
    {
        RegCloseKey(Key);
        RegDeleteTreeW(HKEY_CURRENT_USER, Path.substr(0, Path.rfind(L'\\')).c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, Path.substr(0, Path.rfind(L'\\')).c_str());
    }
    void SetString(const wchar_t* name, const std::wstring& data)
    {
        RegSetValueExW(Key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                       DWORD((data.size() + 1) * sizeof(wchar_t)));
    }
    void SetNumber(const wchar_t* name, DWORD value)
    {
        RegSetValueExW(Key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    }

    std::wstring Path;
    HKEY Key = nullptr;
};

std::vector<std::string> Names(const std::vector<TPortInfo>& ports)
{
    std::vector<std::string> names;
    for (const TPortInfo& p : ports) names.push_back(p.Name + " " + p.DevicePath + " [" + p.StableName + "]");
    return names;
}

} // namespace

TEST(PortListWin32, EachStringValueIsAPortInTheRegistrysOrder)
{
    TScratchKey key;
    key.SetString(L"\\Device\\Serial0", L"COM1");
    key.SetString(L"\\Device\\VCP0", L"COM12");
    key.SetString(L"\\Device\\Serial1", L"COM2");
    key.SetString(L"\\Device\\Empty", L"");
    // The order the registry enumerates in, whatever it is, is kept.
    std::vector<std::string> expected;
    for (DWORD index = 0;; ++index) {
        wchar_t name[64];
        DWORD length = 64;
        wchar_t data[64] = {};
        DWORD bytes = sizeof data - sizeof(wchar_t);
        if (RegEnumValueW(key.Key, index, name, &length, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &bytes) !=
            ERROR_SUCCESS)
            break;
        const std::string port = NarrowUtf16(data);
        expected.push_back(port + " \\\\.\\" + port + " []");
    }
    ASSERT_EQ(expected.size(), 4u);
    EXPECT_EQ(Names(SerialPortsOfKey(HKEY_CURRENT_USER, key.Path)), expected);
}

TEST(PortListWin32, NoKeyNoPortsAndDataThatIsNotTextRaises)
{
    EXPECT_TRUE(SerialPortsOfKey(HKEY_CURRENT_USER, L"Software\\KelvaraTest\\no-such-key").empty());

    TScratchKey key;
    key.SetString(L"\\Device\\Serial0", L"COM1");
    key.SetNumber(L"\\Device\\Odd", 3);
    try {
        SerialPortsOfKey(HKEY_CURRENT_USER, key.Path);
        ADD_FAILURE() << "no exception";
    } catch (const EError& e) {
        EXPECT_STREQ(e.what(), "Invalid data type for '\\Device\\Odd'");
    }
}

TEST(PortListWin32, PortNamesBecomeDevicePaths)
{
    const std::pair<std::string, std::string> ports[] = {
        {"COM3", "\\\\.\\COM3"},          {"COM12", "\\\\.\\COM12"},
        {"\\\\.\\COM12", "\\\\.\\COM12"}, {"\\\\?\\GLOBALROOT\\Device\\VCP0", "\\\\?\\GLOBALROOT\\Device\\VCP0"},
        {"CNCA0", "\\\\.\\CNCA0"}, // another driver's port name
    };
    for (const auto& [name, path] : ports) EXPECT_EQ(DevicePathOf(name), path) << name;
}

// A port that only the device namespace knows, as some drivers and Wine
// leave it: COM and a number, in the order of the numbers; no other device.
TEST(PortListWin32, TheDeviceNamespacesComNamesInTheirNumbersOrder)
{
    const std::wstring_view list(L"CON\0COM10\0COM2\0COMX\0LPT1\0com3\0COM\0COM2X\0\0", 41);
    std::vector<std::string> ports;
    for (const TPortInfo& p : ComPortsOfDosNames(list)) ports.push_back(p.Name + " " + p.DevicePath);
    EXPECT_EQ(ports, (std::vector<std::string>{"COM2 \\\\.\\COM2", "com3 \\\\.\\com3", "COM10 \\\\.\\COM10"}));
}
