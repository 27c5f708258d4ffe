#include "win32/FormSession.h"

using namespace kelvara;

namespace {

class TCoreSession final : public TFormSession {
public:
    explicit TCoreSession(const TSessionConfig& config) : s_(config) {}

    void CreateCmd() override { s_.CreateCmd(); }
    const TChannelTable& Table() const override { return s_.Table(); }
    void ReleaseStartLists() override { s_.ReleaseStartLists(); }
    void SetWakeup(std::function<void()> wakeup) override { s_.SetWakeup(std::move(wakeup)); }
    bool Deliver(TSessionListener& listener) override { return s_.Deliver(listener); }
    std::vector<std::string> PortBoxItems() const override { return s_.PortBoxItems(); }
    uint64_t Connect(const TPortTexts& texts) override { return s_.Connect(texts); }
    void Disconnect() override { s_.Disconnect(); }
    uint64_t Start(const std::string& periodText) override { return s_.Start(periodText); }
    void Stop() override { s_.Stop(); }
    void SetOffsetCorrection(bool on) override { s_.SetOffsetCorrection(on); }
    void SaveLog(const std::string& path, std::string_view paneText) const override { s_.SaveLog(path, paneText); }
    std::vector<TJournalInfo> LeftJournals() const override { return s_.LeftJournals(); }
    TStringList RestoreJournal(const TJournalInfo& journal) const override { return s_.RestoreJournal(journal); }
    void FinishLeftJournal(const TJournalInfo& journal) const override { s_.FinishLeftJournal(journal); }

private:
    TSession s_;
};

} // namespace

std::unique_ptr<TFormSession> MakeCoreSession(const TSessionConfig& config)
{
    return std::make_unique<TCoreSession>(config);
}
