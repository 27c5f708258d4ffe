// The settings file: ReadString on arbitrary file bytes, and WriteString,
// which must change one key and leave every other line of the file intact.
#include "FuzzCheck.h"

#include "base/Errors.h"
#include "config/IniFile.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace kelvara;

namespace {

const char* const kSections[] = {"Serial", "Timings", "serial", "TIMINGS", " Serial ", "x y", "[odd", "a]b", ""};
const char* const kKeys[] = {"baudrate", "parity", "port", "scan_period", "PORT", " port ", "a=b", "", "[k]"};

// A scratch directory of this process, on a memory file system where there
// is one: WriteString syncs every file it writes.
const std::string& Dir()
{
    static const std::string* dir = [] {
        std::string d = "/dev/shm";
        struct stat st {};
        if (::stat(d.c_str(), &st) != 0) d = "/tmp";
        d += "/kelvara-fuzz-ini-" + std::to_string(::getpid());
        ::mkdir(d.c_str(), 0700);
        auto* kept = new std::string(d); // lives until after the exit handler
        std::atexit([] {
            ::unlink((Dir() + "/settings.ini").c_str());
            ::rmdir(Dir().c_str());
        });
        return kept;
    }();
    return *dir;
}

std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void Put(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

bool SameName(const std::string& a, const std::string& b)
{
    const std::string x = Trim(a), y = Trim(b);
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(x[i])) != std::tolower(static_cast<unsigned char>(y[i])))
            return false;
    return true;
}

size_t CodePoints(const std::string& s)
{
    size_t n = 0;
    for (char c : s)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
    return n;
}

bool HasBreakOrNul(const std::string& s)
{
    return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

size_t Count(const std::string& s, size_t from, size_t to, char c)
{
    size_t n = 0;
    for (size_t i = from; i < to; ++i)
        if (s[i] == c) ++n;
    return n;
}

const std::string kDefault = "\x01"
                             "default";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3 || size > 8192) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    // [section choice][key choice][value length][value][file bytes]
    size_t p = 3;
    const size_t valueLength = std::min<size_t>(data[2], size - p);
    const std::string value = bytes.substr(p, valueLength);
    p += valueLength;
    const std::string file = bytes.substr(p);
    const std::string section = kSections[data[0] % std::size(kSections)];
    const std::string key = kKeys[data[1] % std::size(kKeys)];

    const std::string path = Dir() + "/settings.ini";
    Put(path, file);
    TIniFile ini(path);

    // Every name the probe knows, read before the write.
    std::vector<std::string> before;
    for (const char* s : kSections)
        for (const char* k : kKeys) {
            const std::string got = ini.ReadString(s, k, kDefault);
            FUZZ_CHECK(got.find('\n') == std::string::npos);
            FUZZ_CHECK(CodePoints(got) <= TIniFile::kMaxValueLength);
            // What is read is the file's text: a blank never starts or ends it.
            if (got != kDefault && !got.empty()) FUZZ_CHECK(file.find(got) != std::string::npos);
            before.push_back(got);
        }

    const std::string trimmedSection = Trim(section);
    const std::string trimmedKey = Trim(key);
    const bool refuse = trimmedSection.find(']') != std::string::npos || trimmedKey.empty() ||
                        trimmedKey.find('=') != std::string::npos || HasBreakOrNul(section) || HasBreakOrNul(key) ||
                        HasBreakOrNul(value);
    try {
        ini.WriteString(section, key, value);
        FUZZ_CHECK(!refuse);
    } catch (const EIniFileError&) {
        FUZZ_CHECK(refuse);
        FUZZ_CHECK(Slurp(path) == file); // a refused write leaves the file as it was
        return 0;
    }

    const std::string after = Slurp(path);
    // One changed stretch: old bytes P X S became P Y S, with X inside one
    // line (the replaced key line) and Y at most a new section header and the
    // key line with their line breaks.
    size_t prefix = 0;
    while (prefix < file.size() && prefix < after.size() && file[prefix] == after[prefix]) ++prefix;
    size_t suffix = 0;
    while (suffix < file.size() - prefix && suffix < after.size() - prefix &&
           file[file.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        ++suffix;
    FUZZ_CHECK(Count(file, prefix, file.size() - suffix, '\n') == 0);
    FUZZ_CHECK(Count(after, prefix, after.size() - suffix, '\n') <= 3);

    // The key reads back as written, when the value is one that reading keeps
    // as it is (no surrounding blanks, no enclosing quotes, not over length)
    // and the key can be told from a section header.
    const bool plainValue =
        value == Trim(value) &&
        !(value.size() >= 2 && value.front() == value.back() && (value.front() == '"' || value.front() == '\'')) &&
        CodePoints(value) <= TIniFile::kMaxValueLength;
    const bool keyLikeHeader = trimmedKey.front() == '[' && trimmedKey.find(']') != std::string::npos;
    if (plainValue && !keyLikeHeader) FUZZ_CHECK(ini.ReadString(section, key, kDefault) == value);

    // Every other name reads as before.
    size_t n = 0;
    for (const char* s : kSections)
        for (const char* k : kKeys) {
            const std::string& was = before[n++];
            if (SameName(s, section) && SameName(k, key)) continue;
            if (keyLikeHeader) continue;
            FUZZ_CHECK(ini.ReadString(s, k, kDefault) == was);
        }
    return 0;
}
