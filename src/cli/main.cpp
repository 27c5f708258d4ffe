// kelvara-log: the headless logger. The session runs the run on its own
// thread; this program hands it the options and writes what it tells: the
// header and one line per scan on stdout, diagnostics on stderr only, so the
// output can be piped into other tools.
#include "LogListener.h"
#include "Options.h"
#include "StopSignals.h"

#include "acquisition/Setup.h"

#include <cstdio>
#include <string>

using namespace kelvara;

namespace {

int ListPorts()
{
    // One port a line: the device path, and the stable name udev gives the
    // same adapter whatever kernel name it gets, where there is one.
    try {
        for (const TPortInfo& port : SystemPorts())
            std::printf("%s%s%s\n", port.DevicePath.c_str(), port.StableName.empty() ? "" : "\t",
                        port.StableName.c_str());
    } catch (const EError& e) {
        Say(e.what());
        return 1;
    }
    return 0;
}

// The session's configuration from the options and the program's files.
TSessionConfig ConfigOf(const TLogOptions& opt, const TAppFiles& files)
{
    TSessionConfig config = files.SessionConfig(TLocaleSettings::Capture());
    config.JournalDir.clear(); // the output file is the logger's record
    if (opt.offsets) config.OffsetsPaths = {*opt.offsets};
    if (opt.clock) config.Clock = *opt.clock == "utc" ? TClockField::Utc : TClockField::Local;
    config.TimeEvents = false;
    config.Simulated = opt.simulate;
    config.AlarmsFile = opt.alarms.value_or("");
    config.AlarmsOptional = false;
    return config;
}

} // namespace

int main(int argc, char** argv)
{
    const TLogOptions opt = ParseOptions(argc, argv);
    if (opt.listPorts) return ListPorts();

    // Before any thread: the stop signals are taken on a thread of their
    // own, and a stop lets the scan in progress end and be logged.
    TStopSignals stop;
    const TAppFiles files = TAppFiles::Of();
    const TSettings settings = files.LoadSettings();
    const std::string baudText = opt.baud.value_or(settings.Baud);
    int32_t baud = 0;
    if (!TryStrToInt(baudText, baud) || baud <= 0) Usage("'" + baudText + "' is not a baud rate");
    const std::string periodText = opt.period.value_or(settings.Period);
    try {
        TSession::PeriodOf(periodText);
    } catch (const EError&) {
        Usage("the period must be 0 to 65535 seconds, not '" + periodText + "'");
    }

    TSession session(ConfigOf(opt, files));
    session.SetOffsetCorrection(opt.offsetCorr);
    TLogListener log(opt);
    stop.OnStop([&session] { session.Interrupt(); });
    try {
        session.CreateCmd();
        if (opt.output) session.OpenOutput(*opt.output);
    } catch (const EError& e) {
        Say(e.what());
        return 1;
    }
    const std::string port = opt.simulate ? TSession::kSimulatedPort : opt.port.value_or(settings.Port);
    if (TSession::IsDisconnectText(port)) {
        Say("no port to log from: give --port DEVICE, or --simulate");
        return 1;
    }
    session.Connect({port, baudText, opt.parity.value_or(settings.Parity)});
    while (!log.Connected_ && !stop.StopPending()) session.WaitAndDeliver(log, 60000);
    if (!log.Connected_) return 0;
    if (log.Connection.Kind == TConnectResult::SettingRefused)
        Say("warning: " + log.Connection.Message() + " Logging goes on.");
    else if (log.Connection.Kind != TConnectResult::Opened) {
        Say(log.Connection.Message());
        return 1;
    }
    if (opt.simulate) Say("simulated bus in this process");

    std::printf("%s\n", session.Header().c_str());
    std::fflush(stdout);
    session.Start(periodText);
    bool stopping = false;
    while (!log.Stopped && !log.OutputBroken && !(opt.scans > 0 && log.Scans >= opt.scans)) {
        if (stop.StopPending() && !stopping) {
            session.Stop();
            stopping = true;
        }
        session.WaitAndDeliver(log, 60000);
    }
    for (int i = 0; i < TChannelTable::kSlots; ++i)
        Say(session.Table().ChanNames()[i] + ": " + DescribeCounts(log.Last.Status[i]));
    stop.RunEnded();
    return log.OutputBroken ? 1 : 0;
}
