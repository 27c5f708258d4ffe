// What the Win32 window asks of its session: the core's TSession in the
// program, a recording stand-in in the window's own tests, which check what
// the window sends and shows without a bus and a clock behind it.
#pragma once

#include "acquisition/Session.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TFormSession {
public:
    virtual ~TFormSession() = default;

    virtual void CreateCmd() = 0;
    virtual const kelvara::TChannelTable& Table() const = 0;
    virtual void ReleaseStartLists() = 0;

    virtual void SetWakeup(std::function<void()> wakeup) = 0;
    virtual bool Deliver(kelvara::TSessionListener& listener) = 0;

    virtual std::vector<std::string> PortBoxItems() const = 0;
    virtual uint64_t Connect(const kelvara::TPortTexts& texts) = 0;
    virtual void Disconnect() = 0;
    virtual uint64_t Start(const std::string& periodText) = 0;
    virtual void Stop() = 0;
    virtual void SetOffsetCorrection(bool on) = 0;
    virtual void SaveLog(const std::string& path, std::string_view paneText) const = 0;

    virtual std::vector<kelvara::TJournalInfo> LeftJournals() const = 0;
    virtual kelvara::TStringList RestoreJournal(const kelvara::TJournalInfo& journal) const = 0;
    virtual void FinishLeftJournal(const kelvara::TJournalInfo& journal) const = 0;
};

// The core's session with config.
std::unique_ptr<TFormSession> MakeCoreSession(const kelvara::TSessionConfig& config);
