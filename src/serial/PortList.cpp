#include "serial/PortList.h"

#include <libudev.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <memory>
#include <string_view>

namespace kelvara {

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Compares two runs of decimal digits by value, without a range limit.
int CompareDigitRuns(std::string_view x, std::string_view y)
{
    const auto significant = [](std::string_view run) {
        const size_t first = run.find_first_not_of('0');
        return first == std::string_view::npos ? std::string_view() : run.substr(first);
    };
    x = significant(x);
    y = significant(y);
    if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
    return x.compare(y);
}

// PORT_UNKNOWN of the kernel's serial core: no UART was found at the port.
bool IsUnknownPortType(const std::string& type)
{
    int value = -1;
    const char* end = type.data() + type.size();
    const auto [ptr, ec] = std::from_chars(type.data(), end, value);
    return ec == std::errc() && ptr == end && value == 0;
}

std::string Text(const char* text)
{
    return text ? text : "";
}

struct TUdevUnref {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <class T>
using TUdevPtr = std::unique_ptr<T, TUdevUnref>;

TTtyFacts FactsOf(udev_device* device)
{
    TTtyFacts facts;
    facts.Name = Text(udev_device_get_sysname(device));
    facts.Subsystem = Text(udev_device_get_subsystem(device));
    facts.DevicePath = Text(udev_device_get_devnode(device));
    // The parent belongs to the device and is released with it.
    if (udev_device* parent = udev_device_get_parent(device)) {
        facts.HasParent = true;
        facts.ParentDriver = Text(udev_device_get_driver(parent));
    }
    facts.PortType = Text(udev_device_get_sysattr_value(device, "type"));
    udev_list_entry* link;
    udev_list_entry_foreach(link, udev_device_get_devlinks_list_entry(device))
    {
        facts.DevLinks.push_back(Text(udev_list_entry_get_name(link)));
    }
    return facts;
}

} // namespace

bool IsSerialPortDevice(const TTtyFacts& facts)
{
    if (facts.Subsystem != "tty" || facts.DevicePath.empty()) return false;
    if (!facts.HasParent || facts.ParentDriver.empty()) return false;
    return !IsUnknownPortType(facts.PortType);
}

std::string ByIdLink(const std::vector<std::string>& devlinks)
{
    constexpr std::string_view kById = "/dev/serial/by-id/";
    std::string found;
    for (const std::string& link : devlinks) {
        if (link.size() <= kById.size() || !link.starts_with(kById)) continue;
        if (found.empty() || link < found) found = link;
    }
    return found;
}

std::string StableNameOf(const std::string& devicePath, const std::string& byIdDir)
{
    namespace fs = std::filesystem;
    if (devicePath.empty() || byIdDir.empty()) return std::string();
    fs::path dir = fs::path(byIdDir).lexically_normal();
    if (!dir.has_filename()) dir = dir.parent_path();
    const fs::path device = fs::path(devicePath).lexically_normal();
    if (device.has_filename() && device.parent_path() == dir) return devicePath;

    std::error_code ec;
    const fs::path real = fs::canonical(device, ec);
    if (ec) return std::string();
    std::string found;
    // udev removes a link as its adapter goes: an entry may vanish meanwhile.
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code linkError;
        const fs::path target = fs::canonical(it->path(), linkError);
        if (linkError || target != real) continue;
        const std::string link = (dir / it->path().filename()).string();
        if (found.empty() || link < found) found = link;
    }
    return found;
}

std::string DevicePathOf(const std::string& portName)
{
    const bool path = !portName.empty() && (portName[0] == '/' || portName[0] == '.');
    return path ? portName : "/dev/" + portName;
}

std::vector<TPortInfo> SelectSerialPorts(const std::vector<TTtyFacts>& devices)
{
    std::vector<TPortInfo> ports;
    for (const TTtyFacts& facts : devices) {
        if (!IsSerialPortDevice(facts)) continue;
        ports.push_back({facts.Name, facts.DevicePath, ByIdLink(facts.DevLinks)});
    }
    std::sort(ports.begin(), ports.end(),
              [](const TPortInfo& a, const TPortInfo& b) { return PortNameLess(a.Name, b.Name); });
    return ports;
}

std::vector<TPortInfo> ListSerialPorts()
{
    const TUdevPtr<udev> context(udev_new());
    if (!context) return {};
    const TUdevPtr<udev_enumerate> enumerate(udev_enumerate_new(context.get()));
    if (!enumerate) return {};
    if (udev_enumerate_add_match_subsystem(enumerate.get(), "tty") < 0) return {};
    if (udev_enumerate_scan_devices(enumerate.get()) < 0) return {};

    std::vector<TTtyFacts> devices;
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get()))
    {
        // A device that went away between the scan and this look is skipped.
        const TUdevPtr<udev_device> device(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (device) devices.push_back(FactsOf(device.get()));
    }
    return SelectSerialPorts(devices);
}

bool PortNameLess(const std::string& a, const std::string& b)
{
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            size_t ie = i;
            size_t je = j;
            while (ie < a.size() && IsDigit(a[ie])) ++ie;
            while (je < b.size() && IsDigit(b[je])) ++je;
            const int order =
                CompareDigitRuns(std::string_view(a).substr(i, ie - i), std::string_view(b).substr(j, je - j));
            if (order != 0) return order < 0;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j]) {
                return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            }
            ++i;
            ++j;
        }
    }
    // One name ran out first: the shorter one, a prefix of the other, comes first.
    if ((i < a.size()) != (j < b.size())) return i == a.size();
    return a < b;
}

} // namespace kelvara
