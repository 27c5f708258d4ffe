#include "alarm/AlarmRules.h"

#include "base/Errors.h"
#include "base/FileIo.h"
#include "base/Text.h"
#include "config/IniFile.h"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

#ifdef _WIN32
#include <io.h>
#endif

namespace kelvara {

namespace {

constexpr std::string_view kKeyNames[kAlarmKeys] = {"low", "high", "hysteresis", "delay", "silent_scans"};
constexpr std::string_view kPortLostKey = "port_lost";
constexpr std::string_view kNone = "none";

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// Where a problem is: the file and the line, or, for texts not from a file,
// the section and the key.
struct TPlace {
    const std::string& File;
    int Line;
    std::string Section;
    std::string_view Key;

    [[noreturn]] void Fail(const std::string& problem) const
    {
        const std::string what = Key.empty() ? problem : std::string(Key) + ": " + problem;
        if (Line > 0) throw EError("Bad alarm rules: \"" + File + "\", line " + std::to_string(Line) + ": " + what);
        throw EError("Bad alarm rules: [" + Section + "] " + what);
    }
};

std::string Quoted(const std::string& text)
{
    return "'" + text + "'";
}

// A limit or a hysteresis in °C, or none.
std::optional<float> Degrees(const std::string& text, const TPlace& at)
{
    if (SameName(text, kNone)) return std::nullopt;
    float value = NAN;
    try {
        value = StrToFloat32(text, TLocaleSettings{});
    } catch (const EError&) {
        at.Fail(Quoted(text) + " is not a number");
    }
    if (!std::isfinite(value)) at.Fail(Quoted(text) + " is not a number");
    return value;
}

uint32_t Whole(const std::string& text, const TPlace& at, const char* unit)
{
    if (SameName(text, kNone)) return 0;
    int32_t value = 0;
    if (!TryStrToInt(text, value) || value < 0)
        at.Fail(Quoted(text) + " is not a whole number of " + unit + ", 0 or more");
    return uint32_t(value);
}

// The text a channel has for a key, its own or that of [all], and where it
// was written.
struct TGiven {
    std::string Text;
    int Line = 0;
    bool FromAll = false;
};

TGiven GivenFor(const TAlarmSection& own, const TAlarmSection& all, TAlarmKey key)
{
    const size_t k = size_t(key);
    if (!own.Values[k].empty()) return {own.Values[k], own.Lines[k], false};
    return {all.Values[k], all.Lines[k], true};
}

TChannelAlarmRule ChannelRule(const TAlarmSection& own, const TAlarmSection& all, const std::string& section,
                              const std::string& file)
{
    TChannelAlarmRule rule;
    auto each = [&](TAlarmKey key, auto apply) {
        const TGiven given = GivenFor(own, all, key);
        const std::string where = given.FromAll ? std::string(kAllSection) : section;
        if (!given.Text.empty()) apply(given.Text, TPlace{file, given.Line, where, AlarmKeyName(key)});
    };
    each(TAlarmKey::Low, [&](const std::string& t, const TPlace& at) { rule.Low = Degrees(t, at).value_or(NAN); });
    each(TAlarmKey::High, [&](const std::string& t, const TPlace& at) { rule.High = Degrees(t, at).value_or(NAN); });
    each(TAlarmKey::Hysteresis, [&](const std::string& t, const TPlace& at) {
        rule.Hysteresis = Degrees(t, at).value_or(0);
        if (rule.Hysteresis < 0) at.Fail(Quoted(t) + " is below 0");
    });
    each(TAlarmKey::Delay, [&](const std::string& t, const TPlace& at) { rule.Delay = Whole(t, at, "seconds"); });
    each(TAlarmKey::SilentScans,
         [&](const std::string& t, const TPlace& at) { rule.SilentScans = Whole(t, at, "scans"); });
    if (rule.Low > rule.High) {
        // The later of the two lines is where the contradiction became one.
        const TGiven low = GivenFor(own, all, TAlarmKey::Low);
        const TGiven high = GivenFor(own, all, TAlarmKey::High);
        const TPlace at{file, std::max(low.Line, high.Line), section, "low"};
        at.Fail(low.Text + " is above high " + high.Text + " for " + section);
    }
    return rule;
}

} // namespace

std::string_view AlarmKeyName(TAlarmKey key)
{
    return kKeyNames[size_t(key)];
}

bool TAlarmRules::Any() const
{
    if (PortLost) return true;
    for (const TChannelAlarmRule& c : Channels)
        if (!std::isnan(c.Low) || !std::isnan(c.High) || c.SilentScans > 0) return true;
    return false;
}

TAlarmTexts ParseAlarmTexts(std::string_view text, const std::string& fileName, const std::vector<std::string>& names)
{
    TAlarmTexts texts;
    texts.Channels.resize(names.size());
    TAlarmSection* section = nullptr;
    std::vector<bool> seen(names.size() + 1, false); // the channels', then [all]
    for (const TIniLine& line : ParseIniLines(text)) {
        const TPlace at{fileName, line.Number, {}, {}};
        if (line.Text.empty() || line.Text[0] == ';' || line.Text[0] == '#') continue;
        if (line.Kind == TIniLine::Section) {
            size_t index = names.size();
            if (!SameName(line.Name, kAllSection)) {
                index = 0;
                while (index < names.size() && !SameName(line.Name, names[index])) ++index;
                if (index == names.size()) {
                    std::string known = "[" + std::string(kAllSection) + "]";
                    for (const std::string& name : names) known += ", [" + name + "]";
                    at.Fail("unknown section [" + line.Name + "]; the sections are " + known);
                }
            }
            if (seen[index]) at.Fail("[" + line.Name + "] again");
            seen[index] = true;
            section = index == names.size() ? &texts.All : &texts.Channels[index];
            continue;
        }
        if (line.Kind != TIniLine::Key) at.Fail("not a [section], a key=value line or a comment");
        if (!section) at.Fail(line.Name + " before any [section]");
        if (SameName(line.Name, kPortLostKey)) {
            if (section != &texts.All) at.Fail(line.Name + " belongs in [" + std::string(kAllSection) + "]");
            if (texts.PortLostLine > 0) at.Fail(line.Name + " again");
            texts.PortLost = line.Value;
            texts.PortLostLine = line.Number;
            continue;
        }
        int k = 0;
        while (k < kAlarmKeys && !SameName(line.Name, kKeyNames[k])) ++k;
        if (k == kAlarmKeys)
            at.Fail("unknown key " + Quoted(line.Name) +
                    "; the keys are low, high, hysteresis, delay, silent_scans and, in [all], port_lost");
        if (section->Lines[k] > 0) at.Fail(line.Name + " again");
        section->Values[k] = line.Value;
        section->Lines[k] = line.Number;
    }
    return texts;
}

TAlarmRules RulesOf(const TAlarmTexts& texts, const std::vector<std::string>& names, const std::string& fileName)
{
    TAlarmRules rules;
    for (size_t i = 0; i < names.size(); ++i) {
        const TAlarmSection own = i < texts.Channels.size() ? texts.Channels[i] : TAlarmSection{};
        rules.Channels.push_back(ChannelRule(own, texts.All, names[i], fileName));
    }
    if (!texts.PortLost.empty() && !SameName(texts.PortLost, "yes") && !SameName(texts.PortLost, "no"))
        TPlace{fileName, texts.PortLostLine, std::string(kAllSection), kPortLostKey}.Fail(Quoted(texts.PortLost) +
                                                                                          " is neither yes nor no");
    rules.PortLost = SameName(texts.PortLost, "yes");
    return rules;
}

TAlarmRules ReadAlarmRules(const std::string& path, const std::vector<std::string>& names)
{
    const int fd = OpenFile(path, O_RDONLY);
    if (fd < 0) throw EFOpenError(path, SysErrorMessage(errno));
    std::string text;
    const bool ok = ReadWholeFile(fd, text);
    const int error = errno;
    ::close(fd);
    if (!ok) throw EFOpenError(path, SysErrorMessage(error));
    return RulesOf(ParseAlarmTexts(text, path, names), names, path);
}

TAlarmTexts LoadAlarmTexts(const std::string& path, const std::vector<std::string>& names)
{
    if (!PathExists(path)) {
        TAlarmTexts none;
        none.Channels.resize(names.size());
        return none;
    }
    const int fd = OpenFile(path, O_RDONLY);
    std::string text;
    const bool ok = fd >= 0 && ReadWholeFile(fd, text);
    const int error = errno;
    if (fd >= 0) ::close(fd);
    if (!ok) throw EFOpenError(path, SysErrorMessage(error));
    return ParseAlarmTexts(text, path, names);
}

std::string AlarmFileText(const TAlarmTexts& texts, const std::vector<std::string>& names)
{
    std::string text = "; Kelvara alarm rules: low and high in degrees C as logged, hysteresis in degrees C,\n"
                       "; delay in seconds, silent_scans in scans; [all] holds what every channel has.\n";
    auto section = [&text](std::string_view name, const TAlarmSection& s, const std::string& portLost) {
        bool any = !portLost.empty();
        for (const std::string& v : s.Values) any = any || !v.empty();
        if (!any) return;
        text += "\n[" + std::string(name) + "]\n";
        for (int k = 0; k < kAlarmKeys; ++k)
            if (!s.Values[k].empty()) text += std::string(kKeyNames[k]) + "=" + s.Values[k] + "\n";
        if (!portLost.empty()) text += std::string(kPortLostKey) + "=" + portLost + "\n";
    };
    section(kAllSection, texts.All, texts.PortLost);
    for (size_t i = 0; i < names.size() && i < texts.Channels.size(); ++i) section(names[i], texts.Channels[i], "");
    return text;
}

void SaveAlarmTexts(const std::string& path, const TAlarmTexts& texts, const std::vector<std::string>& names)
{
    RulesOf(texts, names);
    const std::string temp = path + ".tmp";
    const int fd = OpenFile(temp, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) throw EFCreateError(path, SysErrorMessage(errno));
    bool ok = WriteAll(fd, AlarmFileText(texts, names)) && SyncFile(fd);
    int error = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok && RenameFile(temp, path) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        RemoveFile(temp);
        throw EFCreateError(path, SysErrorMessage(error));
    }
}

} // namespace kelvara
