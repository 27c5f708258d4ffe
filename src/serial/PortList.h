// The serial ports the system offers, as udev reports them on Linux and the
// registry on Windows. The port box lists these names; connecting opens
// DevicePath.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
struct HKEY__; // a registry key, as <windows.h> declares it
#endif

namespace kelvara {

struct TPortInfo {
    std::string Name;       // as the port box shows it: "ttyUSB0", "ttyS0"; "COM3" on Windows
    std::string DevicePath; // the device node: "/dev/ttyUSB0"; "\\.\COM3" on Windows
    std::string StableName; // "/dev/serial/by-id/usb-FTDI_..." where udev made one, else empty
};

// What udev tells about one device of the tty class, gathered before choosing.
struct TTtyFacts {
    std::string Name;         // sysname: "ttyS0", "tty12", "console"
    std::string Subsystem;    // "tty"
    std::string DevicePath;   // device node; empty when the device has none
    bool HasParent = false;   // virtual terminals and the console hang off no device
    std::string ParentDriver; // driver bound to the nearest parent device; empty when unbound
    std::string PortType;     // serial-core "type" attribute ("4" for a 16550A); empty when absent
    // udev's symlinks to the node; none when udevd is not running.
    std::vector<std::string> DevLinks;
};

// A serial port is a tty-class device with a node whose parent device has a
// driver bound: that keeps UARTs, USB serial adapters and modems, and drops the
// virtual consoles, /dev/tty, /dev/console and /dev/ptmx (pseudo-terminal
// slaves are not in the tty class at all). A serial-core port whose type is 0
// (PORT_UNKNOWN) has no UART behind it: the 8250 driver registers ttyS0 to
// ttyS31 whether or not the hardware exists, and such a port fails to open.
bool IsSerialPortDevice(const TTtyFacts& facts);

// The link among devlinks that lies under /dev/serial/by-id/, which names the
// adapter rather than the order it was plugged in; the first in byte order when
// there are several; empty when there is none.
std::string ByIdLink(const std::vector<std::string>& devlinks);

// The link in byIdDir (udev's /dev/serial/by-id/) that leads to the same
// device as devicePath, both followed to their real paths: the adapter's own
// name, which finds it again when it comes back under another kernel name,
// and never finds another adapter that took its old one. devicePath itself
// when it already is a link of byIdDir; the first in byte order when several
// lead there; empty when none does, or the device is not there. Always empty
// on Windows, whose port names stay with their adapters.
std::string StableNameOf(const std::string& devicePath, const std::string& byIdDir = "/dev/serial/by-id");

// The device path of a port name as the port box and --port take it: a bare
// name is a device under /dev ("ttyUSB0", "pts/3", "serial/by-id/usb-..."),
// a path that starts with "/" or "." is taken as it is. On Windows a bare
// name is a device in the device namespace ("COM3" is \\.\COM3), a path that
// starts with two backslashes is taken as it is.
std::string DevicePathOf(const std::string& portName);

// The serial ports among the facts, in the port box's order (PortNameLess).
std::vector<TPortInfo> SelectSerialPorts(const std::vector<TTtyFacts>& devices);

// The serial ports the system reports, in the port box's order. Empty when
// udev cannot be reached, as when no port exists. On Windows: the ports
// named in the registry key HARDWARE\DEVICEMAP\SERIALCOMM of the local
// machine, in the order the registry gives them; when it names none, those
// of DosDevicePorts.
std::vector<TPortInfo> ListSerialPorts();

#ifdef _WIN32
// The ports named by the string values of the key subKey under root, in the
// registry's order, as ListSerialPorts reads its key (root is an HKEY). A
// value whose data is not a string raises EError "Invalid data type for
// '<value name>'".
std::vector<TPortInfo> SerialPortsOfKey(::HKEY__* root, const std::wstring& subKey);
// The ports among the system's DOS device names (QueryDosDevice).
std::vector<TPortInfo> DosDevicePorts();
// The names "COM" and a number in a list of DOS device names, each ended by
// a NUL as QueryDosDevice gives them, in the order of their numbers.
std::vector<TPortInfo> ComPortsOfDosNames(std::wstring_view list);
#endif

// The natural order of port names: "ttyS2" before "ttyS10". Runs of digits
// compare by value, other bytes by code; names equal that way ("ttyS01",
// "ttyS1") fall back to plain byte order, so the order is total.
bool PortNameLess(const std::string& a, const std::string& b);

} // namespace kelvara
