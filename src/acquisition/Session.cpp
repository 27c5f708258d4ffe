#include "acquisition/Session.h"

#include "base/Clock.h"
#include "base/Errors.h"
#include "logfile/Journal.h"
#include "serial/LineRefusal.h"
#include "serial/PortList.h"
#include "serial/SerialChannel.h"

#include <cerrno>

#ifdef KELVARA_HAVE_SIM
#include "sim/SimBus.h"
#endif

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kelvara {

#ifndef KELVARA_HAVE_SIM
// A build without the simulated bus: the session never holds one.
namespace sim {
class TSimBus {};
} // namespace sim
#endif

std::string TConnectResult::Message() const
{
    switch (Kind) {
    case Opened: return "";
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

TSession::TSession(TLocaleSettings locale, TScanHost& host)
    : host_(host), ser_(std::make_unique<TSerialChannel>()), table_(std::make_unique<TChannelTable>(std::move(locale))),
      reader_(std::make_unique<TChannelReader>(*ser_)),
      scan_(std::make_unique<TScanCycle>(*table_, *reader_, static_cast<TScanHost&>(*this)))
{
    if (host_.HandsOutEvents())
        ser_->SetIdleHook(
            [this] {
                pumpingInWait_ = true;
                struct TEnd {
                    bool& flag;
                    ~TEnd() { flag = false; }
                } end{pumpingInWait_};
                host_.ProcessMessages();
            },
            kWaitSliceMs);
}

TSession::~TSession()
{
    // The window closed: the run ended normally.
    try {
        FinishJournal();
    } catch (const EError&) {
        // A journal that cannot be renamed stays a ".part" journal, which the
        // next start offers; nothing is lost.
    }
    // The scan refers to the table and the reader, the reader to the channel;
    // the channel closes its port while the simulated bus still serves it.
    scan_.reset();
    reader_.reset();
    table_.reset();
    ser_.reset();
    bus_.reset();
}

std::string TSession::DevicePathOf(const std::string& portName)
{
    return kelvara::DevicePathOf(portName);
}

uint16_t TSession::PeriodOf(const std::string& text)
{
    const int32_t value = StrToInt(text);
    if (value < 0 || value > 65535) throw ERangeError();
    return static_cast<uint16_t>(value);
}

void TSession::CreateCmd(const TStringList& offsetsPaths, const std::string& definitions)
{
    table_->CreateCmdFromFiles(offsetsPaths, definitions);
}

void TSession::Close()
{
    ser_->CloseSocket();
    link_ = TLink::Closed;
    configured_ = false;
}

TConnectResult TSession::Open(const std::string& devicePath)
{
    TConnectResult result;
    result.Device = devicePath;
    ser_->Connect(devicePath);
    if (ser_->LastError() == 0 && ser_->InstanceActive()) {
        result.Kind = TConnectResult::Opened;
        link_ = TLink::Open;
        devicePath_ = devicePath;
        configured_ = false;
        return result;
    }
    result.Kind = TConnectResult::NotOpened;
    result.Code = ser_->LastError();
    result.Reason = ser_->LastErrorDesc();
    if (result.Code == EACCES) result.MissingGroup = MissingDeviceGroup(devicePath);
    return result;
}

TConnectResult TSession::Configure(int baud, char parity)
{
    TConnectResult result;
    result.Device = ser_->Device();
    result.Kind = TConnectResult::Opened;
    configured_ = true;
    baud_ = baud;
    parity_ = parity;
    ser_->Config(baud, 8, parity, 0, false, false);
    if (ser_->LastError() == 0) return result;
    result.Kind = TConnectResult::SettingRefused;
    result.Code = ser_->LastError();
    result.Reason = ser_->LastErrorDesc();
    result.Refused = RefusedLineSettings(*ser_);
    return result;
}

TConnectResult TSession::Connect(const std::string& devicePath, int baud, char parity)
{
    Close();
    TConnectResult result = Open(devicePath);
    if (result.Kind != TConnectResult::Opened) return result;
    return Configure(baud, parity);
}

void TSession::StartRun(uint16_t period)
{
    FinishJournal();
    trend_.Clear();
    scan_->StartRun(period);
    if (journalDir_.empty()) return;
    try {
        journal_ = std::make_unique<TJournal>(journalDir_, SystemTimeMs(), table_->headerLine);
    } catch (const EError& e) {
        JournalFailure(e.what());
    }
}

void TSession::StopRun()
{
    scan_->StopRun();
    // The scan in progress completes and its line goes to the journal too.
    if (scan_->Scanning())
        finishAfterScan_ = true;
    else
        FinishJournal();
}

void TSession::FinishJournal()
{
    finishAfterScan_ = false;
    if (!journal_) return;
    std::unique_ptr<TJournal> journal = std::move(journal_);
    try {
        journal->Finish();
    } catch (const EError& e) {
        JournalFailure(e.what());
    }
}

void TSession::JournalFailure(const std::string& text)
{
    journal_.reset();
    host_.JournalFailed("The run's journal cannot be written: " + text + ". The run goes on without it.");
}

void TSession::AppendLogLine(const std::string& line)
{
    // The host first: a crash between the two loses from the journal at most
    // the one line the host already shows.
    host_.AppendLogLine(line);
    trend_.Add(scan_->scanTimeMs, scan_->sec_count, scan_->temperatures, scan_->outOfRange);
    if (!journal_) return;
    try {
        journal_->AppendLine(line, MonotonicMs());
    } catch (const EError& e) {
        JournalFailure(e.what());
    }
}

void TSession::Tick()
{
    // The second this tick will count, for what the host is told.
    const uint32_t second = scan_->sec_count + 1;
    if (link_ == TLink::Lost) TryReconnect(second);
    struct TAfterScan {
        TSession& session;
        ~TAfterScan()
        {
            session.CheckLost();
            if (session.finishAfterScan_ && !session.Scanning()) session.FinishJournal();
        }
    } afterScan{*this};
    scan_->Timer1Timer();
}

void TSession::CheckLost()
{
    if (link_ != TLink::Open || ser_->DeviceLost() == 0) return;
    const std::string reason = TSerialChannel::GetErrorDesc(ser_->DeviceLost());
    // Held open, the old device node would stay busy, and the adapter would
    // come back under a new name.
    ser_->CloseSocket();
    link_ = TLink::Lost;
    host_.PortLost(scan_->sec_count, reason);
}

void TSession::TryReconnect(uint32_t second)
{
    ser_->Connect(devicePath_);
    if (!ser_->InstanceActive()) return;
    if (configured_) ser_->Config(baud_, 8, parity_, 0, false, false);
    link_ = TLink::Open;
    host_.PortBack(second);
}

std::string TSession::StartSimulatedBus(int baud)
{
#ifndef KELVARA_HAVE_SIM
    (void)baud;
    throw EError("no simulated bus on this platform");
#else
    sim::TSimOptions options;
    options.Baud = baud;
    options.Profile = kSimulatedProfile;
    auto bus = std::make_unique<sim::TSimBus>(options);
    bus->Start();
    bus_ = std::move(bus);
    return bus_->DevicePath();
#endif
}

} // namespace kelvara
