#include "acquisition/Session.h"

#include "acquisition/Scan.h"
#include "acquisition/Transaction.h"
#include "base/Clock.h"
#include "base/Errors.h"
#include "base/FileIo.h"
#include "serial/LineRefusal.h"
#include "serial/PortList.h"
#include "serial/SerialChannel.h"

#include <cerrno>
#include <chrono>

#include "sim/SimPlatform.h"

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kelvara {

namespace {

// The tick's grid runs on the steady clock: a run's seconds are counted as
// the ticks come, and a suspended machine does not make up its lost ticks in
// a burst when it wakes.
int64_t SteadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Com.Baud and Com.Parity keep at most their first 8 characters.
constexpr size_t kShortText = 8;

} // namespace

struct TSession::TCommand {
    enum TKind { Connect, Disconnect, Start, Stop, Acknowledge };
    TKind Kind = Stop;
    TPortTexts Texts;
    TAlarmId Alarm;
    uint64_t Run = 0; // the run's number, or the connect's
    uint16_t Period = 0;
};

struct TSession::TEvent {
    enum TKind { RunStarted, RunStopped, Time, Scan, Connected, Lost, Back, Failed, Notice, OutputFailed, Alarm };
    TKind Kind = Failed;
    uint64_t Run = 0;
    size_t Count = 0;
    std::string Text;
    std::shared_ptr<const TScanRecord> Record;
    TConnectResult Connect;
    TAlarmEvent AlarmEvent;
};

std::string TConnectResult::Message() const
{
    switch (Kind) {
    case Opened:
    case Abandoned: return "";
    case NotConfigured: return Reason;
    case SettingRefused:
        return RefusalMessage(Device, Refused, Reason) +
               ". The port stays open; readings may fail until the line settings suit the device.";
    case NotOpened: {
        std::string text = "Cannot open port \"" + Device + "\". " + Reason;
        if (!MissingGroup.empty())
            text += ". Serial ports are for members of the group \"" + MissingGroup + "\": sudo usermod -aG " +
                    MissingGroup + " $USER, then log in again.";
        return text;
    }
    }
    return "";
}

std::string MissingDeviceGroup(const std::string& path)
{
#ifdef _WIN32
    // Access to a Windows port is not given by group.
    (void)path;
    return "";
#else
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "";
    if (getegid() == st.st_gid) return "";
    std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
    if (getgroups(static_cast<int>(groups.size()), groups.data()) >= 0)
        for (gid_t g : groups)
            if (g == st.st_gid) return "";
    const group* entry = getgrgid(st.st_gid);
    return entry ? entry->gr_name : std::to_string(st.st_gid);
#endif
}

std::string PortLostText(const std::string& device, uint32_t second, const std::string& reason)
{
    // Windows' system messages end with their own full stop; POSIX's do not.
    const char* stop = !reason.empty() && reason.back() == '.' ? "" : ".";
    return "Port \"" + device + "\" lost at second " + std::to_string(second) + ": " + reason + stop +
           " It is looked for again every second while the run goes on.";
}

std::string PortBackText(const std::string& device, uint32_t second, const std::string& refused)
{
    std::string text = "Port \"" + device + "\" back at second " + std::to_string(second);
    if (!refused.empty()) text += ", but " + refused;
    return text + ".";
}

namespace {

// The simulated bus answers inside the process; every other port name goes
// to the system's devices.
std::unique_ptr<sim::TSimPlatform> SimulatedBus(bool offered)
{
    if (!offered) return nullptr;
    sim::TSimOptions options;
    options.Profile = TSession::kSimulatedProfile;
    return std::make_unique<sim::TSimPlatform>(options);
}

} // namespace

TSession::TSession(TSessionConfig config)
    : config_(std::move(config)), platform_(SimulatedBus(config_.Simulated)),
      ser_(platform_ ? std::make_unique<TSerialChannel>(*platform_) : std::make_unique<TSerialChannel>()),
      table_(std::make_unique<TChannelTable>(config_.Locale)), reader_(std::make_unique<TChannelReader>(*ser_)),
      scan_(std::make_unique<TScanCycle>(*table_, *reader_, config_.Clock))
{
    if (!config_.JournalDir.empty()) PruneJournals(config_.JournalDir, SystemTimeMs());
    thread_ = std::thread([this] { ThreadMain(); });
}

TSession::~TSession()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        quit_ = true;
    }
    commandsReady_.notify_all();
    thread_.join();
}

uint16_t TSession::PeriodOf(const std::string& text)
{
    const int32_t value = StrToInt(text);
    if (value < 0 || value > 65535) throw ERangeError();
    return static_cast<uint16_t>(value);
}

bool TSession::IsDisconnectText(const std::string& portText)
{
    return portText == "None" || portText.empty();
}

void TSession::CreateCmd()
{
    table_->CreateCmdFromFiles(config_.OffsetsPaths, config_.Definitions);
    std::lock_guard<std::mutex> guard(lock_);
    snapshot_.SetTable(*table_);
}

std::string TSession::Header() const
{
    return LogHeader(table_->HeaderLine(), config_.Clock);
}

void TSession::OpenOutput(const std::string& path)
{
    output_ = std::make_unique<TLogFileWriter>(path, Header());
}

void TSession::OpenOutputDir(const std::string& dir, TRotation rotation)
{
    outputDir_ = std::make_unique<TRotatingLogWriter>(dir, Header(), rotation);
}

void TSession::ReleaseStartLists()
{
    // The session's thread never reads these two lists.
    table_->ReleaseStartLists();
}

// ------------------------------------------------------------------ commands

void TSession::Enqueue(TCommand command)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        commands_.push_back(std::move(command));
    }
    commandsReady_.notify_all();
}

uint64_t TSession::Connect(const TPortTexts& texts)
{
    TCommand c;
    c.Kind = TCommand::Connect;
    c.Texts = texts;
    {
        std::lock_guard<std::mutex> guard(lock_);
        c.Run = ++lastConnect_;
        commands_.push_back(c);
    }
    commandsReady_.notify_all();
    return c.Run;
}

void TSession::Disconnect()
{
    TCommand c;
    c.Kind = TCommand::Disconnect;
    Enqueue(std::move(c));
}

uint64_t TSession::Start(const std::string& periodText)
{
    TCommand c;
    c.Kind = TCommand::Start;
    c.Period = PeriodOf(periodText);
    {
        std::lock_guard<std::mutex> guard(lock_);
        c.Run = ++lastRun_;
        commands_.push_back(c);
    }
    commandsReady_.notify_all();
    return c.Run;
}

void TSession::Stop()
{
    TCommand c;
    c.Kind = TCommand::Stop;
    Enqueue(std::move(c));
}

void TSession::Acknowledge(uint64_t run, const TAlarmId& id)
{
    TCommand c;
    c.Kind = TCommand::Acknowledge;
    c.Run = run;
    c.Alarm = id;
    Enqueue(std::move(c));
}

// -------------------------------------------------------------------- events

void TSession::SetWakeup(std::function<void()> wakeup)
{
    std::lock_guard<std::mutex> guard(lock_);
    wakeup_ = std::move(wakeup);
}

void TSession::Post(TEvent event)
{
    std::function<void()> wakeup;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (events_.empty()) wakeup = wakeup_;
        events_.push_back(std::move(event));
    }
    eventsReady_.notify_all();
    if (wakeup) wakeup();
}

bool TSession::Deliver(TSessionListener& listener)
{
    std::deque<TEvent> events;
    {
        std::lock_guard<std::mutex> guard(lock_);
        events.swap(events_);
    }
    for (const TEvent& e : events) {
        switch (e.Kind) {
        case TEvent::RunStarted: listener.RunStarted(e.Run, e.Count); break;
        case TEvent::RunStopped: listener.RunStopped(e.Run); break;
        case TEvent::Time: listener.TimeShown(e.Text); break;
        case TEvent::Scan: listener.ScanDone(*e.Record); break;
        case TEvent::Connected: listener.Connected(e.Connect); break;
        case TEvent::Lost: listener.PortLost(e.Text); break;
        case TEvent::Back: listener.PortBack(e.Text); break;
        case TEvent::Failed: listener.Failed(e.Text); break;
        case TEvent::Notice: listener.Noticed(e.Text); break;
        case TEvent::OutputFailed: listener.OutputFailed(e.Text); break;
        case TEvent::Alarm: listener.AlarmChanged(e.AlarmEvent); break;
        }
    }
    return !events.empty();
}

bool TSession::WaitAndDeliver(TSessionListener& listener, int timeoutMs)
{
    {
        std::unique_lock<std::mutex> lock(lock_);
        eventsReady_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [this] { return !events_.empty() || interrupted_; });
        interrupted_ = false;
    }
    return Deliver(listener);
}

void TSession::Interrupt()
{
    // Notified under the lock: a stop signal's thread calls this, and the
    // front end may end the session as soon as it wakes; taking the lock in
    // the destructor then waits until the notification is done.
    std::lock_guard<std::mutex> guard(lock_);
    interrupted_ = true;
    eventsReady_.notify_all();
}

// ------------------------------------------------------------- shared state

std::vector<std::string> TSession::PortBoxItems() const
{
    TStringList ports;
    if (config_.Simulated) ports.push_back(kSimulatedPort);
    for (const TPortInfo& port : ListSerialPorts()) ports.push_back(port.Name);
    // The list is the comma text "None," and the ports' comma text split
    // again: a system without ports gives "None" and one empty entry.
    return SplitCommaText("None," + JoinCommaText(ports));
}

void TSession::ReadTrend(const std::function<void(const TTrendStore&)>& f) const
{
    std::lock_guard<std::mutex> guard(lock_);
    f(trend_);
}

TSessionSnapshot TSession::Snapshot() const
{
    std::lock_guard<std::mutex> guard(lock_);
    TSessionSnapshot copy = snapshot_;
    copy.Alarms = alarmSnapshot_;
    return copy;
}

TAlarmSnapshot TSession::Alarms() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return alarmSnapshot_;
}

void TSession::SaveLog(const std::string& path, std::string_view paneText) const
{
    SaveLogFile(path, table_->HeaderLine(), paneText);
}

std::vector<TJournalInfo> TSession::LeftJournals() const
{
    std::vector<TJournalInfo> offers;
    if (config_.JournalDir.empty()) return offers;
    for (TJournalInfo& journal : kelvara::LeftJournals(config_.JournalDir, Header())) {
        if (journal.Lines > 0) {
            offers.push_back(std::move(journal));
            continue;
        }
        try {
            CloseLeftJournal(journal.Path);
        } catch (const EError&) {
            // A live run's after all: it is not ours to finish.
        }
    }
    return offers;
}

TStringList TSession::RestoreJournal(const TJournalInfo& journal) const
{
    return JournalLines(journal.Path, Header());
}

void TSession::FinishLeftJournal(const TJournalInfo& journal) const
{
    CloseLeftJournal(journal.Path);
}

// ---------------------------------------------------------- the run's thread

void TSession::ThreadMain()
{
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        // Commands that came after the close are not carried out.
        if (quit_) break;
        if (!commands_.empty()) {
            const TCommand command = std::move(commands_.front());
            commands_.pop_front();
            lock.unlock();
            Guarded([&] { Execute(command); });
            lock.lock();
            continue;
        }
        if (!running_) {
            commandsReady_.wait(lock);
            continue;
        }
        const int64_t wait = NextWakeMs() - SteadyMs();
        if (wait > 0) {
            commandsReady_.wait_for(lock, std::chrono::milliseconds(wait));
            continue;
        }
        lock.unlock();
        Guarded([this] { DoTick(); });
        nextTickMs_ += config_.TickMs;
        lock.lock();
    }
    lock.unlock();
    // The window closed or the logger ended: the run ended normally.
    running_ = false;
    FinishJournal();
    CloseLink();
}

// What fails on the run's thread is told, and the thread goes on.
void TSession::Guarded(const std::function<void()>& work)
{
    try {
        work();
    } catch (const std::exception& e) {
        TEvent failed;
        failed.Kind = TEvent::Failed;
        failed.Text = e.what();
        Post(std::move(failed));
    }
}

// The next tick, or, when no one shows the seconds and nothing needs a
// tick of its own (a lost port is looked for at each), the tick of the next
// due scan: the ticks between only count.
int64_t TSession::NextWakeMs() const
{
    if (config_.TimeEvents || link_ == TLink::Lost) return nextTickMs_;
    const uint32_t count = scan_->SecCount();
    const uint32_t moment = scan_->Moment();
    const int64_t ticks = moment > count + 1 ? int64_t(moment - count - 1) : 0;
    return nextTickMs_ + ticks * config_.TickMs;
}

void TSession::Execute(const TCommand& command)
{
    switch (command.Kind) {
    case TCommand::Connect: DoConnect(command.Run, command.Texts); break;
    case TCommand::Disconnect:
        EndRun();
        CloseLink();
        break;
    case TCommand::Start: DoStart(command.Run, command.Period); break;
    case TCommand::Stop: EndRun(); break;
    case TCommand::Acknowledge:
        if (!alarms_ || command.Run != run_) break;
        if (std::optional<TAlarmEvent> seen =
                alarms_->Acknowledge(command.Alarm, running_ ? scan_->SecCount() : alarmSecond_))
            PostAlarms({std::move(*seen)});
        break;
    }
}

void TSession::SetLink(TLink link)
{
    link_ = link;
    std::lock_guard<std::mutex> guard(lock_);
    snapshot_.PortUp = link == TLink::Open;
}

void TSession::CloseLink()
{
    ser_->CloseSocket();
    SetLink(TLink::Closed);
    configured_ = false;
}

void TSession::DoConnect(uint64_t id, const TPortTexts& texts)
{
    TEvent event;
    event.Kind = TEvent::Connected;
    TConnectResult& result = event.Connect;
    result.Id = id;
    result.Kind = TConnectResult::Abandoned;
    if (IsDisconnectText(texts.Port)) {
        EndRun();
        CloseLink();
        return Post(std::move(event));
    }
    CloseLink();
    devicePath_ = texts.Port == kSimulatedPort && platform_ ? sim::kSimulatedDevice : DevicePathOf(texts.Port);
    result.Device = devicePath_;
    if (texts.Baud == "Baudrate") return Post(std::move(event));
    baudText_ = texts.Baud.substr(0, kShortText);
    if (texts.Parity == "Parity") return Post(std::move(event));
    // An empty parity text leaves the code of the previous one in place.
    if (texts.Parity.empty() && !parityText_.empty())
        parityText_.resize(1);
    else
        parityText_ = texts.Parity.substr(0, kShortText);

    ser_->Connect(devicePath_);
    if (ser_->LastError() != 0 || !ser_->InstanceActive()) {
        result.Kind = TConnectResult::NotOpened;
        result.Code = ser_->LastError();
        result.Reason = ser_->LastErrorDesc();
        if (result.Code == EACCES) result.MissingGroup = MissingDeviceGroup(devicePath_);
        CloseLink();
        EndRun();
        return Post(std::move(event));
    }
    SetLink(TLink::Open);
    stableName_ = StableNameOf(devicePath_, config_.ByIdDir);
    try {
        baud_ = StrToInt(baudText_);
    } catch (const EError& e) {
        // Opened, but not configured: the line keeps what it had.
        result.Kind = TConnectResult::NotConfigured;
        result.Reason = e.what();
        return Post(std::move(event));
    }
    configured_ = true;
    ser_->Config(baud_, 8, parityText_.empty() ? '\0' : parityText_[0], 0, false, false);
    if (ser_->LastError() == 0) {
        result.Kind = TConnectResult::Opened;
    } else {
        result.Kind = TConnectResult::SettingRefused;
        result.Code = ser_->LastError();
        result.Reason = ser_->LastErrorDesc();
        result.Refused = RefusedLineSettings(*ser_);
    }
    Post(std::move(event));
}

void TSession::DoStart(uint64_t run, uint16_t period)
{
    EndRun();
    if (link_ == TLink::Closed) {
        // No port to run on (none chosen, or the last choice failed).
        TEvent stopped;
        stopped.Kind = TEvent::RunStopped;
        stopped.Run = run;
        return Post(std::move(stopped));
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        trend_.Clear();
    }
    scan_->StartRun(period);
    run_ = run;
    running_ = true;
    alarmSecond_ = 0;
    nextTickMs_ = SteadyMs() + config_.TickMs;
    const std::string alarmFailure = LoadAlarms(run);
    TEvent started;
    started.Kind = TEvent::RunStarted;
    started.Run = run;
    started.Count = scan_->ListLines().size();
    Post(std::move(started));
    if (!alarmFailure.empty()) {
        TEvent failed;
        failed.Kind = TEvent::Failed;
        failed.Text = alarmFailure + ". The run goes on without alarms.";
        Post(std::move(failed));
    }
    if (config_.JournalDir.empty()) return;
    try {
        journal_ = std::make_unique<TJournal>(config_.JournalDir, SystemTimeMs(), Header());
    } catch (const EError& e) {
        JournalFailure(e.what());
    }
}

void TSession::EndRun()
{
    if (!running_) return;
    running_ = false;
    scan_->StopRun();
    FinishJournal();
    TEvent stopped;
    stopped.Kind = TEvent::RunStopped;
    stopped.Run = run_;
    Post(std::move(stopped));
}

void TSession::FinishJournal()
{
    if (!journal_) return;
    std::unique_ptr<TJournal> journal = std::move(journal_);
    try {
        journal->Finish();
    } catch (const EError& e) {
        // A journal that cannot be renamed stays a ".part" journal, which the
        // next start offers; nothing is lost.
        JournalFailure(e.what());
    }
}

void TSession::JournalFailure(const std::string& text)
{
    journal_.reset();
    TEvent failed;
    failed.Kind = TEvent::Failed;
    failed.Text = "The run's journal cannot be written: " + text + ". The run goes on without it.";
    Post(std::move(failed));
}

// --------------------------------------------------------------------- ticks

void TSession::DoTick()
{
    if (link_ == TLink::Lost) TryReconnect(scan_->SecCount() + 1);
    const bool due = scan_->Advance();
    if (config_.TimeEvents) {
        TEvent time;
        time.Kind = TEvent::Time;
        time.Text = std::to_string(scan_->SecCount());
        Post(std::move(time));
    }
    std::vector<TAlarmEvent> alarms;
    if (due) {
        try {
            alarms = AfterScan(scan_->ScanDue(offsetCorrection_));
        } catch (const EError& e) {
            TEvent failed;
            failed.Kind = TEvent::Failed;
            failed.Text = e.what();
            Post(std::move(failed));
        }
    }
    // A scan that met the device's loss raises the port's alarm after the
    // loss has been told.
    CheckLost();
    PostAlarms(std::move(alarms));
}

// The scan's record goes to the journal first (what a crash must not take),
// then to the trend, then to the front end.
std::vector<TAlarmEvent> TSession::AfterScan(TScanRecord record)
{
    record.Run = run_;
    if (journal_) {
        try {
            journal_->AppendLine(record.Line, MonotonicMs());
        } catch (const EError& e) {
            JournalFailure(e.what());
        }
    }
    const std::string outputFailure = WriteOutput(record);
    {
        std::lock_guard<std::mutex> guard(lock_);
        trend_.Add(record.StartMs, record.Second, record.Temperatures, record.OutOfRange);
        snapshot_.Add(record);
    }
    // A scan that found the device gone asked no slave.
    std::vector<TAlarmEvent> alarms;
    alarmSecond_ = record.Second;
    if (alarms_)
        alarms = alarms_->Scan(record.Second, record.Temperatures, link_ == TLink::Lost || ser_->DeviceLost() != 0);
    for (const std::string& text : record.Notices) {
        TEvent notice;
        notice.Kind = TEvent::Notice;
        notice.Text = text;
        Post(std::move(notice));
    }
    TEvent scanned;
    scanned.Kind = TEvent::Scan;
    scanned.Record = std::make_shared<const TScanRecord>(std::move(record));
    Post(std::move(scanned));
    if (outputFailure.empty()) return alarms;
    TEvent failed;
    failed.Kind = TEvent::OutputFailed;
    failed.Text = outputFailure;
    Post(std::move(failed));
    return alarms;
}

std::string TSession::WriteOutput(const TScanRecord& record)
{
    if (outputDir_) {
        try {
            outputDir_->WriteLine(record.Line, record.StartMs);
            outputDirFailing_ = false;
        } catch (const EError& e) {
            if (!outputDirFailing_) {
                TEvent failed;
                failed.Kind = TEvent::Failed;
                failed.Text =
                    std::string(e.what()) + ". Lines go on without their file; each next line tries it again.";
                Post(std::move(failed));
            }
            outputDirFailing_ = true;
        }
    }
    if (!output_) return "";
    try {
        output_->WriteLine(record.Line);
    } catch (const EError& e) {
        // A file with a hole in it would look complete: nothing more goes
        // there.
        output_.reset();
        return e.what();
    }
    return "";
}

// A device that goes away (a read or write fails with EIO, or the line is
// hung up) is closed after the scan that met it, so that its name is free
// for the device when it comes back. While it is lost, every tick tries to
// open it again and configure it as before; the run goes on, and each due
// scan logs NAN for every channel without a request going out.
void TSession::CheckLost()
{
    if (link_ != TLink::Open || ser_->DeviceLost() == 0) return;
    const std::string reason = TSerialChannel::GetErrorDesc(ser_->DeviceLost());
    ser_->CloseSocket();
    SetLink(TLink::Lost);
    TEvent lost;
    lost.Kind = TEvent::Lost;
    lost.Text = PortLostText(devicePath_, scan_->SecCount(), reason);
    Post(std::move(lost));
    if (alarms_ && running_) PostAlarms(alarms_->Port(scan_->SecCount(), true));
}

void TSession::TryReconnect(uint32_t second)
{
    ser_->Connect(stableName_.empty() ? devicePath_ : stableName_);
    if (!ser_->InstanceActive()) return;
    SetLink(TLink::Open);
    std::string refused;
    if (configured_) {
        ser_->Config(baud_, 8, parityText_.empty() ? '\0' : parityText_[0], 0, false, false);
        if (ser_->LastError() != 0)
            refused = RefusalMessage(ser_->Device(), RefusedLineSettings(*ser_), ser_->LastErrorDesc());
    }
    TEvent back;
    back.Kind = TEvent::Back;
    back.Text = PortBackText(devicePath_, second, refused);
    Post(std::move(back));
    if (alarms_) PostAlarms(alarms_->Port(second, false));
}

} // namespace kelvara

namespace kelvara {

// ------------------------------------------------------------------- alarms

// The rules are read at each start, so that a file edited between two runs
// counts from the next. A run whose rules cannot be read has no alarms.
std::string TSession::LoadAlarms(uint64_t run)
{
    std::vector<std::string> names(table_->ChanNames().begin(), table_->ChanNames().end());
    std::string failure;
    TAlarmRules rules;
    if (!config_.AlarmsFile.empty() && !(config_.AlarmsOptional && !PathExists(config_.AlarmsFile))) {
        try {
            rules = ReadAlarmRules(config_.AlarmsFile, names);
        } catch (const EError& e) {
            failure = e.what();
            rules = {};
        }
    }
    alarms_ = std::make_unique<TAlarmMachine>(std::move(rules), std::move(names), config_.Locale);
    TAlarmSnapshot snapshot = alarms_->Snapshot();
    snapshot.Run = run;
    std::lock_guard<std::mutex> guard(lock_);
    alarmSnapshot_ = std::move(snapshot);
    return failure;
}

// The snapshot changes before the events go out: a front end that reads it
// when told finds the state after them.
void TSession::PostAlarms(std::vector<TAlarmEvent> events)
{
    if (events.empty()) return;
    TAlarmSnapshot snapshot = alarms_->Snapshot();
    snapshot.Run = run_;
    {
        std::lock_guard<std::mutex> guard(lock_);
        alarmSnapshot_ = std::move(snapshot);
    }
    for (TAlarmEvent& e : events) {
        TEvent event;
        event.Kind = TEvent::Alarm;
        e.Run = run_;
        event.AlarmEvent = std::move(e);
        Post(std::move(event));
    }
}

} // namespace kelvara
