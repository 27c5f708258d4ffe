// A run of the logger from its settings to its records, on a thread of its
// own. The session owns the serial channel, the channel table, the reader,
// the scan cycle, the one-second clock, the reconnection of a port that went
// away, the journal of each run and the run's trend. A front end (the
// window, the headless logger) sends it commands, which return at once, and
// is told what happened through events that it takes on its own thread. No
// front-end code runs inside a serial wait, and no event loop runs inside a
// scan: a command that arrives during a scan waits until the scan's record
// has gone out.
#pragma once

#include "acquisition/ChannelTable.h"
#include "acquisition/ScanRecord.h"
#include "acquisition/Snapshot.h"
#include "alarm/AlarmMachine.h"
#include "base/Text.h"
#include "logfile/Journal.h"
#include "logfile/LogFile.h"
#include "logfile/LogFormat.h"
#include "logfile/RotatingLog.h"
#include "trend/TrendStore.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kelvara {

class TSerialChannel;
class TChannelReader;
class TScanCycle;
namespace sim {
class TSimPlatform;
}

// What connecting came to.
struct TConnectResult {
    enum TKind {
        Opened,         // open, and configured
        SettingRefused, // open, but the device refused a line setting
        NotOpened,      // the device could not be opened; a run in progress ended
        NotConfigured,  // open, but the baud text is not a number: the line is as it was
        Abandoned,      // a placeholder text ("Baudrate", "Parity") stopped the connect
    };
    TKind Kind = NotOpened;
    uint64_t Id = 0; // the number Connect gave
    std::string Device;
    int Code = 0;                     // the system's code, 0 when opened
    std::string Reason;               // the system's text for Code, or the error's
    std::vector<std::string> Refused; // the settings refused, in words
    // For a permission refused: the group that owns the device, when this
    // process is not in it (the usual fix on Linux is to join "dialout").
    std::string MissingGroup;

    // The text an operator is told, empty for Opened and Abandoned.
    std::string Message() const;
};

// The texts a connect is made from, as the port box and the line settings
// hold them.
struct TPortTexts {
    std::string Port;
    std::string Baud;
    std::string Parity;
};

// What a front end is told. TSession::Deliver calls these on the front end's
// thread, in the order things happened; a handler must not call Deliver.
class TSessionListener {
public:
    virtual ~TSessionListener() = default;
    // A run started: the reading list is emptied and gets listLines empty
    // lines, and the seconds label shows "0".
    virtual void RunStarted(uint64_t /*run*/, size_t /*listLines*/) {}
    // A run ended: by Stop, by a disconnect, by a port that could not be
    // opened, or because Start found no port to run on.
    virtual void RunStopped(uint64_t /*run*/) {}
    // The seconds label after a tick.
    virtual void TimeShown(const std::string& /*caption*/) {}
    virtual void ScanDone(const TScanRecord& /*record*/) {}
    virtual void Connected(const TConnectResult& /*result*/) {}
    // The port went away during a run, and came back; text says so.
    virtual void PortLost(const std::string& /*text*/) {}
    virtual void PortBack(const std::string& /*text*/) {}
    // A failure to show the operator: a scan that raised, a journal that
    // cannot be written. The run goes on.
    virtual void Failed(const std::string& /*text*/) {}
    // A channel went out of, or back into, its conversion table.
    virtual void Noticed(const std::string& /*text*/) {}
    // The output file could not take a line (OpenOutput): no more lines go
    // there. The line itself was told through ScanDone before.
    virtual void OutputFailed(const std::string& /*text*/) {}
    // An alarm raised, cleared or acknowledged; event.Text says so. The
    // alarms' states after it are the session's Alarms().
    virtual void AlarmChanged(const TAlarmEvent& /*event*/) {}
};

struct TSessionConfig {
    TLocaleSettings Locale;
    // Where the offsets file is looked for, in order.
    TStringList OffsetsPaths;
    std::string Definitions = kChannelDefinitions;
    // Where each run keeps its journal; empty keeps none.
    std::string JournalDir;
    // The log's ninth field, the wall-clock time of each scan.
    TClockField Clock = TClockField::None;
    // The clock's tick: one second for every user; the soak runs it faster.
    int TickMs = 1000;
    // Whether the front end shows the seconds label. Without it the session
    // sleeps from one due scan to the next.
    bool TimeEvents = true;
    // Offers the simulated bus as the port kSimulatedPort (demo, --simulate).
    bool Simulated = false;
    // Where the system keeps its stable names of serial adapters.
    std::string ByIdDir = "/dev/serial/by-id";
    // The alarm rules, read at each start; empty for none. A file that
    // does not exist means no alarms when it is optional (the window's own
    // file), and is told as a failure otherwise.
    std::string AlarmsFile;
    bool AlarmsOptional = false;
};

class TSession {
public:
    // The simulated bus moves like an oven heating and cooling.
    static constexpr const char* kSimulatedProfile = "oven";
    // The port name of the simulated bus.
    static constexpr const char* kSimulatedPort = "simulated";

    explicit TSession(TSessionConfig config);
    // Ends the session: a scan in progress completes and goes to the journal,
    // the run's journal is finished, the port closed, the thread ended.
    // Events not yet delivered are dropped.
    ~TSession();
    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;

    // The scan period from its text: a whole number of seconds, 0 to 65535.
    // Raises EConvertError for text that is not an integer, ERangeError
    // outside the range.
    static uint16_t PeriodOf(const std::string& text);
    // The port box's entries that disconnect: "None" (exactly) and the empty one.
    static bool IsDisconnectText(const std::string& portText);

    // Builds the channel table from the first offsets file of the search path
    // and the definitions. Raises what building raises, leaving what was
    // built before the failure. Call it before the first command.
    void CreateCmd();
    const TChannelTable& Table() const { return *table_; }
    // The log's header: the table's header line, and the clock column.
    std::string Header() const;
    // The definition and offsets lines served only the start.
    void ReleaseStartLists();
    // Appends every scan's line to path as well, in the saved-log format,
    // header first in a new file, each line whole on disk when its
    // ScanDone is told. Raises when the file cannot be opened, or when it
    // holds a log with another header. Call it before the first command.
    void OpenOutput(const std::string& path);
    // Appends every scan's line to a file in dir instead, a new one each UTC
    // day of the scans and, with a size limit, on reaching it (see
    // TRotatingLogWriter). A file that cannot be opened or written does not
    // end the run, as it does for OpenOutput: it is told through Failed
    // (once, until a line goes into a file again), the line goes only to
    // the front end, and the next line tries again. For a logger that runs
    // unattended, a day's file missing some lines is better than no file
    // after it. Call it before the first command.
    void OpenOutputDir(const std::string& dir, TRotation rotation);

    // Commands. Each returns at once; the session carries them out on its
    // thread in the order given, between two ticks.
    //
    // Connect from the port box's, baud and parity texts: closes whatever
    // port is open, then opens the port (the simulated bus when the session
    // offers it and the text names it) and configures it: the baud text as
    // an integer, 8 data bits, the parity text's first letter, one stop
    // bit, no flow control. Told through Connected, with the number this
    // returns: a front end shows only the result of its latest choice.
    uint64_t Connect(const TPortTexts& texts);
    // Ends a run in progress and closes the port. A connect still waiting
    // is carried out before it.
    void Disconnect();
    // Starts a run with the period from its text, ending one in progress
    // first. Raises at once for a period text that is not one, and nothing
    // starts. Returns the number the run will have.
    uint64_t Start(const std::string& periodText);
    // Ends the run; a scan in progress completes and its line is the run's.
    void Stop();
    // The "offset corr" switch, read by each scan as it converts.
    void SetOffsetCorrection(bool on) { offsetCorrection_ = on; }
    // The operator has seen an alarm of the run (a run that has ended
    // too, until the next start); other runs' alarms are left alone.
    void Acknowledge(uint64_t run, const TAlarmId& id);

    // Events. wakeup is called on the session's thread when events wait
    // for a Deliver and none waited before: a window posts itself a call
    // to Deliver. Set it before the first command.
    void SetWakeup(std::function<void()> wakeup);
    // Hands the waiting events to listener, on the caller's thread. True
    // when there were any.
    bool Deliver(TSessionListener& listener);
    // Waits until events wait, Interrupt is called or timeoutMs passes,
    // then delivers. For a front end without an event loop.
    bool WaitAndDeliver(TSessionListener& listener, int timeoutMs);
    // Ends a WaitAndDeliver early (a stop signal arrived).
    void Interrupt();

    // The port box's entries: "None", the simulated bus when offered, then
    // the ports the system reports.
    std::vector<std::string> PortBoxItems() const;
    // The run's trend, read under the session's lock: f(const TTrendStore&).
    void ReadTrend(const std::function<void(const TTrendStore&)>& f) const;
    // A copy of what the run looks like from outside, taken under the
    // session's lock: any thread may call it, and it never waits for a scan.
    TSessionSnapshot Snapshot() const;
    // The latest run's alarm rules and the state of each of its alarms.
    TAlarmSnapshot Alarms() const;

    // The log pane saved: the header, then the pane's text, every line
    // ending in CR LF. An existing file is replaced only once the new one
    // is whole.
    void SaveLog(const std::string& path, std::string_view paneText) const;

    // Journals that runs left behind, to offer the operator: those with at
    // least one log line. Those without one are finished here.
    std::vector<TJournalInfo> LeftJournals() const;
    // The whole log lines of a journal left behind.
    TStringList RestoreJournal(const TJournalInfo& journal) const;
    // The journal was offered: it becomes a complete one.
    void FinishLeftJournal(const TJournalInfo& journal) const;

private:
    struct TCommand;
    struct TEvent;
    enum class TLink { Closed, Open, Lost };

    void ThreadMain();
    void Guarded(const std::function<void()>& work);
    void Execute(const TCommand& command);
    void DoConnect(uint64_t id, const TPortTexts& texts);
    void DoStart(uint64_t run, uint16_t period);
    void EndRun();
    void CloseLink();
    void DoTick();
    // The scan's record to the journal, the trend and the front end; the
    // alarms it raised or cleared are returned, to be posted.
    std::vector<TAlarmEvent> AfterScan(TScanRecord record);
    // Reads the rules for a new run: the failure's text, or empty.
    std::string LoadAlarms(uint64_t run);
    void PostAlarms(std::vector<TAlarmEvent> events);
    // The record's line into the output file or folder; the text of a
    // failure that ends the output file, else empty.
    std::string WriteOutput(const TScanRecord& record);
    void SetLink(TLink link);
    void CheckLost();
    void TryReconnect(uint32_t second);
    void FinishJournal();
    void JournalFailure(const std::string& text);
    int64_t NextWakeMs() const;
    void Post(TEvent event);
    void Enqueue(TCommand command);

    const TSessionConfig config_;
    std::atomic<bool> offsetCorrection_{false};

    // Shared between the threads, under lock_.
    mutable std::mutex lock_;
    std::condition_variable commandsReady_;
    std::condition_variable eventsReady_;
    std::deque<TCommand> commands_;
    std::deque<TEvent> events_;
    std::function<void()> wakeup_;
    bool quit_ = false;
    bool interrupted_ = false;
    uint64_t lastRun_ = 0;     // the number Start gave last
    uint64_t lastConnect_ = 0; // the number Connect gave last
    TTrendStore trend_;
    TSessionSnapshot snapshot_;
    TAlarmSnapshot alarmSnapshot_;

    // The session thread's own; the front end's thread touches them only
    // before the thread starts (CreateCmd) or after it ended.
    // The simulated bus in front of the system's ports, when offered; the
    // channel reaches every port through it.
    std::unique_ptr<sim::TSimPlatform> platform_;
    std::unique_ptr<TSerialChannel> ser_;
    std::unique_ptr<TChannelTable> table_;
    std::unique_ptr<TChannelReader> reader_;
    std::unique_ptr<TScanCycle> scan_;
    std::unique_ptr<TJournal> journal_;
    std::unique_ptr<TLogFileWriter> output_;
    std::unique_ptr<TRotatingLogWriter> outputDir_;
    bool outputDirFailing_ = false;         // told, and no line went into a file since
    std::unique_ptr<TAlarmMachine> alarms_; // the latest run's
    uint32_t alarmSecond_ = 0;              // its last scan's second
    TLink link_ = TLink::Closed;
    bool running_ = false;
    uint64_t run_ = 0;
    int64_t nextTickMs_ = 0;
    // The port as chosen, and its stable name (/dev/serial/by-id/...), which
    // a reconnect opens when there is one: the kernel's name may go to
    // another adapter.
    std::string devicePath_;
    std::string stableName_;
    bool configured_ = false;
    int baud_ = 0;
    std::string baudText_;   // Com.Baud: at most 8 characters
    std::string parityText_; // Com.Parity: at most 8 characters
    std::thread thread_;
};

// The group that owns path when this process is not a member of it, else
// empty: what a refused permission on a serial device is usually about.
std::string MissingDeviceGroup(const std::string& path);

// What the operator is told of a port that went away during a run, and of
// its return, in both front ends.
std::string PortLostText(const std::string& device, uint32_t second, const std::string& reason);
std::string PortBackText(const std::string& device, uint32_t second, const std::string& reopened);

} // namespace kelvara
