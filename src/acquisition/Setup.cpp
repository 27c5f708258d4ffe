#include "acquisition/Setup.h"

#include "config/AppPaths.h"

namespace kelvara {

TAppFiles TAppFiles::Of(const std::string& exePath, bool demo, const std::string& journals)
{
    const std::string exe = exePath.empty() ? ExecutablePath() : exePath;
    TAppFiles files;
    files.appPath_ = ResolveAppPath(exe);
    files.iniName_ = IniNameOf(files.appPath_);
    files.offsetsPaths_ = OffsetsSearchPath(exe, files.appPath_);
    files.journalDir_ = journals.empty() ? JournalDirOf() : journals;
    // A demo's runs are not the lab's: they keep their own journals, and
    // their number never pushes a real run's journal out.
    if (demo && !files.journalDir_.empty()) {
        const char last = files.journalDir_.back();
        if (last != '/' && last != '\\') files.journalDir_ += '/';
        files.journalDir_ += "demo/";
    }
    return files;
}

TSettings TAppFiles::LoadSettings() const
{
    return kelvara::LoadSettings(iniName_);
}

void TAppFiles::SaveSettings(const TSettings& settings) const
{
    kelvara::SaveSettings(iniName_, settings);
}

TSessionConfig TAppFiles::SessionConfig(TLocaleSettings locale) const
{
    TSessionConfig config;
    config.Locale = std::move(locale);
    config.OffsetsPaths = offsetsPaths_;
    config.JournalDir = journalDir_;
    config.AlarmsFile = AlarmsName();
    config.AlarmsOptional = true;
    return config;
}

std::vector<TPortInfo> SystemPorts()
{
    return ListSerialPorts();
}

} // namespace kelvara
