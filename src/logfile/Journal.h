// The journal of a run: every line the scan appends, on disk as it comes, so
// that a crash or a power cut does not take the run with it. A journal is
// itself a saved log (header line, then the lines, CR LF, UTF-8).
//
// A run's journal is "<dir>/<start>.part" while the run goes on, the start
// being the run's start in UTC ("2026-12-09T120301Z"), and is renamed to
// ".csv" when the run ends normally. A ".part" journal that no live run holds
// is one a run left behind when it did not end normally.
#pragma once

#include "base/Text.h"
#include "logfile/LogFile.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kelvara {

class TJournal {
public:
    // How long a line may stay in the system's cache before it is forced to
    // the disk: what a power cut can take at most.
    static constexpr int64_t kSyncEveryMs = 10000;

    // Creates the run's journal in dir (made when missing) with the header
    // line, and holds its lock for the run. Raises EFCreateError (also when
    // the lock cannot be had: such a journal is not written to) or
    // EFWriteError.
    TJournal(const std::string& dir, int64_t startMs, const std::string& headerLine);
    // Without Finish (a run that did not end normally) the journal stays a
    // ".part" journal.
    ~TJournal();
    TJournal(const TJournal&) = delete;
    TJournal& operator=(const TJournal&) = delete;

    // Hands the line to the system at once, and forces what it holds to the
    // disk when the last time is kSyncEveryMs ago (nowMs on the monotonic
    // clock). Raises EFWriteError; the file then keeps only whole lines.
    void AppendLine(const std::string& line, int64_t nowMs);
    // Forces everything written to the disk.
    void Sync();
    // The run ended normally: synced, renamed to ".csv", then closed.
    void Finish();

    const std::string& Path() const { return path_; }
    uint64_t Lines() const { return lines_; }

private:
    // Runs started in one second, the first included.
    static constexpr int kMaxNamesASecond = 1000;

    std::string dir_;
    std::string path_;
    std::unique_ptr<TLogFileWriter> file_;
    int64_t lastSyncMs_ = 0;
    uint64_t lines_ = 0;
};

// A journal that a run left behind.
struct TJournalInfo {
    std::string Path;
    std::string Start;  // the run's start in UTC, as the name gives it
    uint64_t Lines = 0; // log lines, the header not counted
};

// The ".part" journals in dir that no live run holds, oldest first.
std::vector<TJournalInfo> LeftJournals(const std::string& dir);
// The log lines of a journal, without its header. Raises EFOpenError when it
// cannot be read, and EError when a live run holds it.
TStringList JournalLines(const std::string& path);
// Renames a ".part" journal to ".csv" while holding its lock; raises EError
// when a live run holds it and EFCreateError when it cannot be renamed.
std::string CloseLeftJournal(const std::string& path);
// Removes complete (".csv") journals beyond the newest maxRuns, and those
// older than maxAgeMs at nowMs both by the start in their names and by their
// files' own time, oldest first; the newest keepNewest stay whatever the
// clock says. ".part" journals are never removed. Returns how many were
// removed.
int PruneJournals(const std::string& dir, int64_t nowMs, size_t maxRuns = 200,
                  int64_t maxAgeMs = 30LL * 24 * 3600 * 1000, size_t keepNewest = 20);

} // namespace kelvara
