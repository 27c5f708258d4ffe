// One run of the logger as both front ends host it. The session owns, in this
// order of construction (and the reverse for teardown), the simulated bus
// when there is one, the serial channel, the channel table, the reader and
// the scan cycle, and it holds the rules around them once: how a port name
// becomes a device path, what connecting comes to, the period's range, the
// simulated bus of --simulate and --demo, a port that goes away during a
// run and comes back, and the journal of each run.
#pragma once

#include "acquisition/ChannelTable.h"
#include "acquisition/Scan.h"
#include "acquisition/Transaction.h"
#include "base/Text.h"
#include "trend/TrendStore.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kelvara {

class TSerialChannel;
namespace sim {
class TSimBus;
}

// What connecting came to.
struct TConnectResult {
    enum TKind {
        Opened,         // open, and configured when that was asked for
        SettingRefused, // open, but the device refused a line setting
        NotOpened,      // the device could not be opened
    };
    TKind Kind = NotOpened;
    std::string Device;
    int Code = 0;                     // the system's code, 0 when opened
    std::string Reason;               // the system's text for Code
    std::vector<std::string> Refused; // the settings refused, in words
    // For a permission refused: the group that owns the device, when this
    // process is not in it (the usual fix on Linux is to join "dialout").
    std::string MissingGroup;

    // The text an operator is told, empty for Opened.
    std::string Message() const;
};

class TJournal;

// The session is the scan's host: it passes everything on to the front end's
// host, and writes each appended line to the run's journal too.
class TSession : private TScanHost {
public:
    // The simulated bus moves like an oven heating and cooling, and runs
    // without parity, which a pseudo-terminal cannot carry.
    static constexpr const char* kSimulatedProfile = "oven";
    static constexpr const char* kSimulatedParity = "no";

    TSession(TLocaleSettings locale, TScanHost& host);
    ~TSession();
    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;

    // A port name as the port box and --port take it: a bare name is a
    // device under /dev ("ttyUSB0", "pts/3", "serial/by-id/usb-..."), a path
    // that starts with "/" or "." is taken as it is. On Windows a bare name
    // is a device in the device namespace ("COM3" is \\.\COM3), a path that
    // starts with two backslashes is taken as it is.
    static std::string DevicePathOf(const std::string& portName);
    // The scan period from its text: a whole number of seconds, 0 to 65535.
    // Raises EConvertError for text that is not an integer, ERangeError
    // outside the range.
    static uint16_t PeriodOf(const std::string& text);

    // Builds the channel table from the first offsets file of the search
    // path that exists, and the definition lines. Raises what building
    // raises, leaving what was built before the failure.
    void CreateCmd(const TStringList& offsetsPaths, const std::string& definitions);

    // Closes whatever port is open; a port lost during a run is no longer
    // looked for.
    void Close();
    // Opens a device path (Opened or NotOpened); the previous port must have
    // been closed.
    TConnectResult Open(const std::string& devicePath);
    // Configures the open line: baud, 8 data bits, the parity code ('o', 'e',
    // 'n', ... as the channel takes it), one stop bit, no flow control.
    // Opened or SettingRefused; the port stays open either way.
    TConnectResult Configure(int baud, char parity);
    // Close, Open and, when that succeeded, Configure.
    TConnectResult Connect(const std::string& devicePath, int baud, char parity);

    // Run start and stop; a stop lets a scan in progress complete.
    void StartRun(uint16_t period);
    void StopRun();

    // Where each run keeps its journal (TJournal); empty, the default, keeps
    // none. A run writes every line the scan appends to its journal after
    // the host has it, forces it to the disk at most kSyncEveryMs apart and
    // when the run stops, and finishes it (".csv") when the run stops or the
    // session ends. A journal that cannot be written is told to the host
    // once, and the run goes on without it.
    void SetJournalDir(const std::string& dir) { journalDir_ = dir; }
    // The running journal, or none.
    const TJournal* Journal() const { return journal_.get(); }
    // The readings of the run, for its trend: one sample a scan, from the
    // run's start.
    const TTrendStore& Trend() const { return trend_; }
    // One tick of the one-second clock. Raises what a due scan raises.
    //
    // A device that goes away (a read or write fails with EIO, or the line
    // is hung up) is closed after the scan that met it, so that its name is
    // free for the device when it comes back, and the host is told. While it
    // is lost, every tick tries to open the same path again and configure
    // it as before; the run goes on, and each due scan appends its line with
    // NAN in every reading, without a request going out. The tick that
    // finds the device back tells the host before its scan reads normally.
    void Tick();
    bool Scanning() const { return scan_->Scanning(); }
    // Events are being handed out inside a wait for a slave's reply. What
    // would close, change or stop the port must wait until the exchange has
    // ended (the next hand-out between two channels).
    bool InsideExchange() const { return pumpingInWait_; }
    // The longest a wait for a reply goes without handing out events, for a
    // host that hands them out.
    static constexpr int kWaitSliceMs = 10;
    // The port was lost during a run and has not come back yet.
    bool PortLost() const { return link_ == TLink::Lost; }

    // Starts a simulated bus of seven slaves in this process and returns the
    // device path a channel opens to reach it. Raises EError when the system
    // gives no pseudo-terminal, or "no simulated bus on this platform" in a
    // build without one (Windows).
    std::string StartSimulatedBus(int baud);

    TSerialChannel& Ser() { return *ser_; }
    TChannelTable& Table() { return *table_; }
    const TChannelTable& Table() const { return *table_; }
    TScanCycle& Scan() { return *scan_; }
    const TScanCycle& Scan() const { return *scan_; }

private:
    enum class TLink { Closed, Open, Lost };
    void CheckLost();
    void TryReconnect(uint32_t second);
    void FinishJournal();
    void JournalFailure(const std::string& text);

    // TScanHost, passed on to the front end's host.
    void ShowTime(const std::string& caption) override { host_.ShowTime(caption); }
    void SetListLine(int index, const std::string& text) override { host_.SetListLine(index, text); }
    void AppendLogLine(const std::string& line) override;
    bool OffsetCorrection() override { return host_.OffsetCorrection(); }
    bool HandsOutEvents() override { return host_.HandsOutEvents(); }
    void ProcessMessages() override { host_.ProcessMessages(); }
    void Sleep(int ms) override { host_.Sleep(ms); }
    void Notice(const std::string& text) override { host_.Notice(text); }

    TScanHost& host_;
    std::string journalDir_;
    std::unique_ptr<TJournal> journal_;
    TTrendStore trend_;
    bool finishAfterScan_ = false;
    bool pumpingInWait_ = false;
    TLink link_ = TLink::Closed;
    std::string devicePath_; // what the operator chose, reopened as it is
    bool configured_ = false;
    int baud_ = 0;
    char parity_ = 0;

    std::unique_ptr<sim::TSimBus> bus_;
    std::unique_ptr<TSerialChannel> ser_;
    std::unique_ptr<TChannelTable> table_;
    std::unique_ptr<TChannelReader> reader_;
    std::unique_ptr<TScanCycle> scan_;
};

// The group that owns path when this process is not a member of it, else
// empty: what a refused permission on a serial device is usually about.
std::string MissingDeviceGroup(const std::string& path);

} // namespace kelvara
