#include "logfile/Journal.h"

#include "base/Clock.h"
#include "base/Errors.h"
#include "base/FileIo.h"
#include "logfile/LogFormat.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

#ifdef _WIN32
#include "base/Win32Text.h"

#include <filesystem>
#else
#include <dirent.h>
#endif

namespace kelvara {

namespace {

constexpr const char* kPart = ".part";
constexpr const char* kDone = ".csv";

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Slash(std::string dir)
{
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir;
}

void MakeDirectories(const std::string& dir)
{
#ifdef _WIN32
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(WidenUtf8(dir)), ignored);
#else
    for (size_t pos = dir.find('/', 1);; pos = dir.find('/', pos + 1)) {
        const std::string part = dir.substr(0, pos);
        if (!part.empty()) ::mkdir(part.c_str(), 0700);
        if (pos == std::string::npos || pos + 1 >= dir.size()) return;
    }
#endif
}

// "2026-12-09T120301Z": the start time a journal's name begins with.
constexpr size_t kStampSize = 18;

bool AllDigits(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int Number(std::string_view digits)
{
    int n = 0;
    for (char c : digits) n = n * 10 + (c - '0');
    return n;
}

// A journal's name without its extension, "2026-12-09T120301Z" or, for a
// later run of that second, "2026-12-09T120301Z-1", to milliseconds since
// the epoch; -1 when it is not such a name.
int64_t StartOf(std::string_view stem)
{
    constexpr std::string_view kShape = "dddd-dd-ddTddddddZ";
    static_assert(kShape.size() == kStampSize);
    if (stem.size() < kShape.size()) return -1;
    for (size_t i = 0; i < kShape.size(); ++i)
        if (kShape[i] == 'd' ? !AllDigits(stem.substr(i, 1)) : stem[i] != kShape[i]) return -1;
    const std::string_view later = stem.substr(kShape.size());
    if (!later.empty() && (later[0] != '-' || !AllDigits(later.substr(1)))) return -1;
    tm t{};
    t.tm_year = Number(stem.substr(0, 4)) - 1900;
    t.tm_mon = Number(stem.substr(5, 2)) - 1;
    t.tm_mday = Number(stem.substr(8, 2));
    t.tm_hour = Number(stem.substr(11, 2));
    t.tm_min = Number(stem.substr(13, 2));
    t.tm_sec = Number(stem.substr(15, 2));
#ifdef _WIN32
    return static_cast<int64_t>(_mkgmtime(&t)) * 1000;
#else
    return static_cast<int64_t>(timegm(&t)) * 1000;
#endif
}

std::string Stem(const std::string& name)
{
    return name.substr(0, name.rfind('.'));
}

// Sorts a journal's name by the run it is of, any other name after the
// journals. The number of a later run of a second is compared as digits,
// shorter first: a name is not trusted to hold one that fits an int.
std::tuple<bool, std::string_view, size_t, std::string_view, std::string_view> RunOrder(std::string_view name)
{
    const std::string_view stem = name.substr(0, name.rfind('.'));
    if (StartOf(stem) < 0) return {true, name, 0, {}, {}};
    const std::string_view later = stem.substr(std::min(stem.size(), kStampSize + 1));
    return {false, stem.substr(0, kStampSize), later.size(), later, name};
}

// The names in dir that end in tail, in the order the runs began: by the
// start time in the name, then by the number a later run of the same second
// carries ("...Z.csv", "...Z-1.csv", ..., "...Z-10.csv"), which plain
// string order would put first and out of order.
std::vector<std::string> Names(const std::string& dir, const std::string& tail)
{
    std::vector<std::string> names;
#ifdef _WIN32
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(WidenUtf8(dir)), ec)) {
        const std::string name = NarrowUtf16(e.path().filename().wstring());
        if (name.size() > tail.size() && EndsWith(name, tail)) names.push_back(name);
    }
#else
    DIR* d = ::opendir(dir.c_str());
    if (!d) return names;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() > tail.size() && EndsWith(name, tail)) names.push_back(name);
    }
    ::closedir(d);
#endif
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return RunOrder(a) < RunOrder(b); });
    return names;
}

std::string Counted(size_t n, const char* one, const char* many)
{
    return std::to_string(n) + (n == 1 ? one : many);
}

// What a journal's bytes hold for a program that logs under header.
struct TJournalText {
    // Its header is this log's, or it holds log lines under its own: a
    // journal of this program's, not another program's file.
    bool Ours = false;
    TStringList Lines; // the whole log lines under this log's header
    std::vector<std::string> Problems;
};

TJournalText ReadJournalText(std::string_view bytes, const std::string& header)
{
    TJournalText text;
    // Lines end in CR LF as written; a lone LF ends one too. Whatever follows
    // the last break is a line the run did not finish writing.
    const auto nextLine = [&bytes](size_t& pos, std::string_view& line) {
        const size_t lf = bytes.find('\n', pos);
        if (lf == std::string_view::npos) return false;
        line = bytes.substr(pos, lf - pos);
        if (line.ends_with('\r')) line.remove_suffix(1);
        pos = lf + 1;
        return true;
    };
    size_t pos = 0;
    std::string_view first;
    if (!nextLine(pos, first)) return text;
    const bool ourHeader = first == header;
    size_t notLogLines = 0, underAnotherHeader = 0;
    std::string_view line;
    while (nextLine(pos, line)) {
        if (!IsLogLine(line, first))
            ++notLogLines;
        else if (ourHeader)
            text.Lines.emplace_back(line);
        else
            ++underAnotherHeader;
    }
    text.Ours = ourHeader || underAnotherHeader > 0;
    if (underAnotherHeader)
        text.Problems.push_back(Counted(underAnotherHeader, " log line", " log lines") + " under another header");
    if (notLogLines)
        text.Problems.push_back(Counted(notLogLines, " line that is not a log line", " lines that are not log lines"));
    if (pos < bytes.size()) text.Problems.push_back("a last line that is cut short");
    return text;
}

std::string LiveRunText(const std::string& path)
{
    return "The journal \"" + path + "\" belongs to a run that is still going on.";
}

// A journal opened to be read or renamed, with its lock taken where it can
// be. Read-write where the file allows it: where the lock is a byte-range
// lock (NFS, SMB), an exclusive one wants a descriptor open for writing.
class TLeftFile {
public:
    explicit TLeftFile(const std::string& path)
    {
        fd_ = OpenFile(path, O_RDWR);
        if (fd_ < 0) fd_ = OpenFile(path, O_RDONLY);
        if (fd_ < 0) return;
        // Only a lock refused because another holder has it means a live
        // run. One that cannot be had at all tells nothing, and no run
        // writes to a journal whose lock it could not take.
        live_ = !TryLockFile(fd_) && errno == EWOULDBLOCK;
    }
    ~TLeftFile()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    TLeftFile(const TLeftFile&) = delete;
    TLeftFile& operator=(const TLeftFile&) = delete;

    // -1, with errno set, when the file cannot be opened.
    int Handle() const { return fd_; }
    bool Live() const { return live_; }

private:
    int fd_ = -1;
    bool live_ = false;
};

} // namespace

TJournal::TJournal(const std::string& dir, int64_t startMs, const std::string& headerLine) : dir_(Slash(dir))
{
    MakeDirectories(dir_);
    const std::string stamp = FileTimeStamp(startMs);
    int fd = -1;
    for (int k = 0; fd < 0; ++k) {
        std::string name = dir_ + stamp;
        if (k) name.append("-").append(std::to_string(k));
        path_ = name + kPart;
        // Made exclusively: two runs started within one second (two windows)
        // get names of their own, and a name that is there in any form is
        // never opened.
        fd = OpenFile(path_, O_WRONLY | O_APPEND | O_CREAT | O_EXCL, 0644);
        if (fd < 0) {
            if (errno != EEXIST || k >= kMaxNamesASecond) throw EFCreateError(path_, SysErrorMessage(errno));
            continue;
        }
        // Held for the whole run and taken before the first byte: a journal
        // whose lock can be taken is one that no live run writes to. A new
        // file's lock is held elsewhere only by a program probing it for a
        // left journal; the next name is as good. A run of this name that
        // ended already keeps its ".csv": this run's must not replace it.
        const bool locked = TryLockFile(fd);
        const int err = errno;
        if (!locked || PathExists(name + kDone)) {
            ::close(fd);
            fd = -1;
            RemoveFile(path_);
            if (!locked && err != EWOULDBLOCK) throw EFCreateError(path_, SysErrorMessage(err));
            if (k >= kMaxNamesASecond) throw EFCreateError(path_, SysErrorMessage(EEXIST));
        }
    }
    file_ = std::make_unique<TLogFileWriter>(fd, path_, headerLine);
    Sync();
    // The new name itself must outlive a power cut, or the journal would not.
    // A directory that cannot be synced (some file systems refuse) leaves it
    // to the system's next sync.
    SyncDirectory(dir_);
    lastSyncMs_ = MonotonicMs();
}

TJournal::~TJournal() = default;

void TJournal::AppendLine(const std::string& line, int64_t nowMs)
{
    file_->WriteLine(line);
    ++lines_;
    if (nowMs - lastSyncMs_ >= kSyncEveryMs) {
        Sync();
        lastSyncMs_ = nowMs;
    }
}

void TJournal::Sync()
{
    if (file_ && !SyncFileData(file_->Handle())) throw EFWriteError(path_, SysErrorMessage(errno));
}

void TJournal::Finish()
{
    if (!file_) return;
    Sync();
    // Renamed while the lock is still held: closed first, the journal would
    // be free for another program to take for one left behind.
    const std::string done = path_.substr(0, path_.size() - 5) + kDone;
    if (RenameFile(path_, done) != 0) throw EFCreateError(done, SysErrorMessage(errno));
    path_ = done;
    SyncDirectory(dir_);
    file_.reset();
}

std::vector<TJournalInfo> LeftJournals(const std::string& dir, const std::string& header)
{
    std::vector<TJournalInfo> left;
    const std::string base = Slash(dir);
    for (const std::string& name : Names(base, kPart)) {
        const int64_t start = StartOf(Stem(name));
        if (start < 0) continue;
        const std::string path = base + name;
        const TLeftFile file(path);
        std::string bytes;
        // Read through the descriptor that holds the lock: on Windows a lock
        // keeps out every other descriptor, this process's too.
        if (file.Handle() < 0 || file.Live() || !ReadWholeFile(file.Handle(), bytes)) continue;
        TJournalText text = ReadJournalText(bytes, header);
        if (!text.Ours) continue;
        TJournalInfo info;
        info.Path = path;
        info.Start = Stem(name);
        info.StartMs = start;
        info.Lines = text.Lines.size();
        info.Problems = std::move(text.Problems);
        left.push_back(std::move(info));
    }
    return left;
}

TStringList JournalLines(const std::string& path, const std::string& header)
{
    // Read under the journal's lock, so that a live run's is never restored.
    const TLeftFile file(path);
    std::string bytes;
    if (file.Handle() < 0 || (!file.Live() && !ReadWholeFile(file.Handle(), bytes)))
        throw EFOpenError(path, SysErrorMessage(errno));
    if (file.Live()) throw EError(LiveRunText(path));
    return ReadJournalText(bytes, header).Lines;
}

std::string CloseLeftJournal(const std::string& path)
{
    if (!EndsWith(path, kPart)) return path;
    const std::string done = path.substr(0, path.size() - 5) + kDone;
    // Renamed under the journal's lock, so that a live run's never is.
    const TLeftFile file(path);
    if (file.Handle() < 0) throw EFCreateError(done, SysErrorMessage(errno));
    if (file.Live()) throw EError(LiveRunText(path));
    if (RenameFile(path, done) != 0) throw EFCreateError(done, SysErrorMessage(errno));
    SyncDirectory(path.substr(0, path.rfind('/') + 1));
    return done;
}

std::string JournalOfferText(const TJournalInfo& journal)
{
    // "2026-12-09T13:03:01.000+01:00" read as the operator reads a clock.
    std::string start = FormatClock(journal.StartMs, false).substr(0, 19);
    start[10] = ' ';
    std::string text = "A run that started at " + start + " did not end normally. Its journal holds " +
                       Counted(journal.Lines, " line.", " lines.");
    const std::vector<std::string>& left = journal.Problems;
    for (size_t k = 0; k < left.size(); ++k)
        text += (k == 0 ? " Left out: " : k + 1 < left.size() ? ", " : " and ") + left[k];
    if (!left.empty()) text += ".";
    return text + "\n\nRestore them into the log below what it shows now?";
}

int PruneJournals(const std::string& dir, int64_t nowMs, size_t maxRuns, int64_t maxAgeMs, size_t keepNewest)
{
    const std::string base = Slash(dir);
    // Only names that are a journal's: other files are not ours to remove.
    std::vector<std::string> done = Names(base, kDone);
    std::erase_if(done, [](const std::string& name) { return StartOf(Stem(name)) < 0; });
    int removed = 0;
    for (size_t k = 0; k < done.size(); ++k) {
        const size_t newer = done.size() - 1 - k;
        if (newer < keepNewest) break;
        const std::string path = base + done[k];
        // The name tells when the run started by the clock of that day, the
        // file when it was last written by the clock of that day; a clock
        // set wrongly (then or now) fools one of them, seldom both.
        const int64_t written = FileModifiedMs(path);
        const bool old = nowMs - StartOf(Stem(done[k])) > maxAgeMs && written >= 0 && nowMs - written > maxAgeMs;
        if ((newer >= maxRuns || old) && RemoveFile(path) == 0) ++removed;
    }
    return removed;
}

} // namespace kelvara
