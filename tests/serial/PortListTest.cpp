// Which tty devices are serial ports, their order and by-id names; and the list
// udev gives on this machine against sysfs read directly (listing opens nothing).
#include "serial/PortList.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

namespace kelvara {
namespace {

namespace fs = std::filesystem;

// Each pair in port-box order; the order must also be strict and transitive
// over all names, or std::sort misbehaves.
TEST(PortList, NaturalOrderTable)
{
    const std::pair<std::string, std::string> ordered[] = {
        {"ttyS2", "ttyS10"},
        {"ttyS0", "ttyUSB0"},
        {"ttyACM1", "ttyS0"},
        {"ttyS", "ttyS0"},
        {"ttyS0", "ttyS0a"},
        {"", "tty"},
        {"ttyS01", "ttyS1"},                                       // equal by value: byte order decides
        {"ttyS9", "ttyS010"},                                      // "010" is ten
        {"ttyS9y", "ttyS10x"},                                     // the number before the suffix
        {"ttyS99999999999999999999", "ttyS100000000000000000000"}, // beyond 64 bits
        {"ttyXR1.2", "ttyXR1.10"},
        {"tty0", "ttyS0"}, // a digit against a letter by code
    };
    std::vector<std::string> names;
    for (const auto& [a, b] : ordered) {
        EXPECT_TRUE(PortNameLess(a, b)) << a << " < " << b;
        EXPECT_FALSE(PortNameLess(b, a)) << b << " < " << a;
        names.insert(names.end(), {a, b});
    }
    for (const std::string& a : names) {
        EXPECT_FALSE(PortNameLess(a, a)) << a;
        for (const std::string& b : names) {
            for (const std::string& c : names) {
                const bool chain = PortNameLess(a, b) && PortNameLess(b, c);
                EXPECT_TRUE(!chain || PortNameLess(a, c)) << a << " < " << b << " < " << c;
            }
        }
    }
}

TTtyFacts Tty(const std::string& name, const std::string& driver, const std::string& type = "", bool hasParent = true)
{
    return {name, "tty", "/dev/" + name, hasParent, driver, type, {}};
}

TEST(PortList, SerialPortDeviceTable)
{
    TTtyFacts noNode = Tty("ttyUSB3", "ftdi_sio");
    noNode.DevicePath.clear();
    TTtyFacts otherClass = Tty("ttyS0", "port", "4");
    otherClass.Subsystem = "misc";
    const std::pair<TTtyFacts, bool> cases[] = {
        {Tty("ttyS0", "port", "4"), true},        // 16550A under a serial-core port device
        {Tty("ttyS1", "serial", "4"), true},      // 16550A under its PNP device
        {Tty("ttyS5", "serial8250", "0"), false}, // 8250 slot without a UART
        {Tty("ttyS7", "port", "?"), true},        // only a type of 0 says no UART
        {Tty("ttyUSB0", "ftdi_sio"), true},
        {Tty("ttyUSB2", ""), false}, // parent without a driver
        {noNode, false},
        {otherClass, false},
        {Tty("tty1", "", "", false), false},
        {Tty("console", "", "", false), false},
        {Tty("ptmx", "", "", false), false}, // pty slaves are not in the class
    };
    for (const auto& [facts, port] : cases) {
        EXPECT_EQ(IsSerialPortDevice(facts), port) << facts.Name << " " << facts.ParentDriver;
    }
}

TEST(PortList, ByIdLinkTable)
{
    const std::string byPath = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, ""},
        {{byPath}, ""},
        {{byPath, "/dev/serial/by-id/usb-FTDI_A"}, "/dev/serial/by-id/usb-FTDI_A"},
        {{"/dev/serial/by-id/usb-b", "/dev/serial/by-id/usb-a"}, "/dev/serial/by-id/usb-a"},
        {{"/dev/serial/by-id/", "/dev/serial/by-idx/usb-a", "/dev/by-id/usb-a"}, ""},
    };
    for (const auto& [links, expected] : cases) EXPECT_EQ(ByIdLink(links), expected);
}

TEST(PortList, PortNamesBecomeDevicePaths)
{
    const std::pair<std::string, std::string> ports[] = {
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"pts/3", "/dev/pts/3"},
        {"serial/by-id/usb-FTDI_X-if00-port0", "/dev/serial/by-id/usb-FTDI_X-if00-port0"},
        {"/tmp/bus", "/tmp/bus"},
        {"./bus", "./bus"},
        {"Com22", "/dev/Com22"},
    };
    for (const auto& [name, path] : ports) EXPECT_EQ(DevicePathOf(name), path) << name;
}

// Scratch files stand for the device nodes, with links as udev makes them.
TEST(PortList, StableNameLeadsToTheSameDevice)
{
    test::TTempDir dir;
    const std::string byId = dir.File("by-id");
    fs::create_directories(byId);
    for (const char* node : {"ttyUSB0", "ttyUSB1", "ttyUSB2"}) dir.Write(node, "");
    fs::create_symlink("../ttyUSB0", byId + "/usb-A");
    fs::create_symlink(dir.File("ttyUSB1"), byId + "/usb-C");
    fs::create_symlink("../ttyUSB1", byId + "/usb-B");
    fs::create_symlink("ttyUSB0", dir.File("alias"));
    // The first link of two; a by-id name is its own, also while its adapter is away.
    const std::pair<std::string, std::string> cases[] = {{"ttyUSB0", byId + "/usb-A"},
                                                         {"alias", byId + "/usb-A"},
                                                         {"ttyUSB1", byId + "/usb-B"},
                                                         {"ttyUSB2", ""},
                                                         {"ttyUSB9", ""},
                                                         {"by-id/usb-Gone", byId + "/usb-Gone"}};
    for (const auto& [device, stable] : cases) EXPECT_EQ(StableNameOf(dir.File(device), byId + "/"), stable) << device;
    EXPECT_EQ(StableNameOf(dir.File("ttyUSB0"), dir.File("no-by-id")), "");
}

TEST(PortList, SelectKeepsPortsInNaturalOrder)
{
    TTtyFacts usb = Tty("ttyUSB0", "ftdi_sio");
    usb.DevLinks = {"/dev/serial/by-id/usb-FTDI_A"};
    const std::vector<TPortInfo> ports =
        SelectSerialPorts({Tty("ttyS10", "port", "4"), Tty("tty2", "", "", false), usb, Tty("ttyS2", "port", "4"),
                           Tty("ttyS3", "port", "0"), Tty("ttyACM0", "cdc_acm")});
    std::vector<std::string> seen;
    for (const TPortInfo& p : ports) seen.push_back(p.Name + " " + p.DevicePath + " " + p.StableName);
    EXPECT_EQ(seen, (std::vector<std::string>{"ttyACM0 /dev/ttyACM0 ", "ttyS2 /dev/ttyS2 ", "ttyS10 /dev/ttyS10 ",
                                              "ttyUSB0 /dev/ttyUSB0 /dev/serial/by-id/usb-FTDI_A"}));
}

TEST(PortList, MatchesSysfsOnThisMachine)
{
    std::error_code error;
    if (!fs::is_directory("/sys/class/tty", error)) GTEST_SKIP() << "no /sys/class/tty";
    std::map<std::string, std::string> expected; // name -> device node from the uevent
    for (const fs::directory_entry& entry : fs::directory_iterator("/sys/class/tty")) {
        const fs::path tty = entry.path();
        std::string type, line, node;
        std::ifstream(tty / "type") >> type;
        if (!fs::exists(tty / "device" / "driver", error) || type == "0") continue;
        for (std::ifstream uevent(tty / "uevent"); std::getline(uevent, line);) {
            if (line.starts_with("DEVNAME=")) node = "/dev/" + line.substr(8);
        }
        if (!node.empty()) expected[tty.filename().string()] = node;
    }

    const std::vector<TPortInfo> ports = ListSerialPorts();
    std::map<std::string, std::string> listed;
    for (const TPortInfo& port : ports) listed[port.Name] = port.DevicePath;
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(listed.size(), ports.size()) << "a name listed twice";
    EXPECT_TRUE(std::is_sorted(ports.begin(), ports.end(),
                               [](const auto& a, const auto& b) { return PortNameLess(a.Name, b.Name); }));
    // udev's links come from its database; without udevd there is none.
    for (const TPortInfo& port : ports) {
        if (port.StableName.empty()) continue;
        EXPECT_TRUE(fs::is_directory("/run/udev/data", error)) << port.StableName;
        EXPECT_EQ(fs::canonical(port.StableName, error), fs::canonical(port.DevicePath, error));
    }
}

} // namespace
} // namespace kelvara
