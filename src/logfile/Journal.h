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

// A journal that a run left behind. What it holds is untrusted (a torn
// write, a full disk, another program's file): only whole log lines after
// the header of the log that restores it count.
struct TJournalInfo {
    std::string Path;
    std::string Start;   // the run's start in UTC, as the name gives it
    int64_t StartMs = 0; // the same, in milliseconds since the epoch
    uint64_t Lines = 0;  // whole log lines under this log's header: what a restore takes
    // What it holds besides, left out of a restore, a phrase each ("2 lines
    // that are not log lines", "a last line that is cut short").
    std::vector<std::string> Problems;
};

// The ".part" journals in dir that no live run holds, oldest first, read for
// a program that logs under header. A journal with that header and no log
// line comes with Lines 0. One whose first line is another header and that
// holds no log line under it, or whose name is not a journal's, is another
// program's file and is left out.
std::vector<TJournalInfo> LeftJournals(const std::string& dir, const std::string& header);
// What a restore takes: the whole log lines of a journal when its first
// line is header, none otherwise. Raises EFOpenError when it cannot be read,
// and EError when a live run holds it.
TStringList JournalLines(const std::string& path, const std::string& header);
// Renames a ".part" journal to ".csv" while holding its lock; raises EError
// when a live run holds it and EFCreateError when it cannot be renamed.
std::string CloseLeftJournal(const std::string& path);
// Removes complete (".csv") journals beyond the newest maxRuns, and those
// older than maxAgeMs at nowMs both by the start in their names and by their
// files' own time, oldest first; the newest keepNewest stay whatever the
// clock says. ".part" journals are never removed. Returns how many were
// removed.
// The question a window asks before restoring a left journal: when its run
// started (in the local time), how many lines it holds, and what a restore
// leaves out. Nothing of the journal's own text goes into it.
std::string JournalOfferText(const TJournalInfo& journal);

int PruneJournals(const std::string& dir, int64_t nowMs, size_t maxRuns = 200,
                  int64_t maxAgeMs = 30LL * 24 * 3600 * 1000, size_t keepNewest = 20);

} // namespace kelvara
