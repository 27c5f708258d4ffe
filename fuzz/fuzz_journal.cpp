// A journal left behind, as untrusted bytes: LeftJournals and JournalLines
// must take only whole log lines after the restoring log's header, count
// them alike, and never let the journal's own text into the offer.
#include "FuzzCheck.h"

#include "base/Text.h"
#include "logfile/Journal.h"
#include "logfile/LogFormat.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace kelvara;

namespace {

const char* const kHeaders[] = {
    "time\tTC_1\tTC_2\tTC_3\tTC_4\tTC_5\tTC_6\tT__A",
    "time\tTC_1\tTC_2\tTC_3\tTC_4\tTC_5\tTC_6\tT__A\tclock",
    "time",
    "time\tclock",
    "time\tK\xC3\xBChlung",
};

const char* const kName = "/2026-12-09T120301Z.part";
// 2026-12-09 12:03:01 UTC, the start that kName gives.
constexpr int64_t kStartMs = 1796817781000;

// A scratch directory of this process, on a memory file system where there
// is one.
const std::string& Dir()
{
    static const std::string* dir = [] {
        std::string d = "/dev/shm";
        struct stat st {};
        if (::stat(d.c_str(), &st) != 0) d = "/tmp";
        d += "/kelvara-fuzz-journal-" + std::to_string(::getpid());
        ::mkdir(d.c_str(), 0700);
        auto* kept = new std::string(d); // lives until after the exit handler
        std::atexit([] {
            ::unlink((Dir() + kName).c_str());
            ::rmdir(Dir().c_str());
        });
        return kept;
    }();
    return *dir;
}

bool IsWholeLineOf(const std::string& bytes, const std::string& line)
{
    for (const char* end : {"\n", "\r\n"}) {
        const std::string whole = "\n" + line + end;
        if (bytes.find(whole) != std::string::npos) return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 8192) return 0;
    const std::string header = kHeaders[data[0] % std::size(kHeaders)];
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string path = Dir() + kName;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;

    const std::vector<TJournalInfo> left = LeftJournals(Dir(), header);
    const TStringList lines = JournalLines(path, header);
    FUZZ_CHECK(left.size() <= 1);

    const bool ourHeader = bytes.starts_with(header + "\n") || bytes.starts_with(header + "\r\n");
    if (ourHeader) FUZZ_CHECK(left.size() == 1);
    if (!ourHeader) FUZZ_CHECK(lines.empty());
    for (const std::string& line : lines) {
        FUZZ_CHECK(IsLogLine(line, header));
        FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
        FUZZ_CHECK(IsWholeLineOf(bytes, line));
    }
    if (left.empty()) return 0;

    const TJournalInfo& journal = left[0];
    FUZZ_CHECK(journal.Path == path);
    FUZZ_CHECK(journal.StartMs == kStartMs);
    FUZZ_CHECK(journal.Lines == lines.size());
    // Nothing left out: every line after the header was restored, and the
    // file ends at a line break.
    if (journal.Problems.empty()) {
        FUZZ_CHECK(ourHeader);
        FUZZ_CHECK(static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n')) == lines.size() + 1);
        FUZZ_CHECK(bytes.ends_with('\n'));
    }
    // The offer is the program's own words and numbers: plain ASCII text,
    // whatever bytes the journal holds.
    const std::string offer = JournalOfferText(journal);
    for (char c : offer) FUZZ_CHECK(c == '\n' || (c >= ' ' && c <= '~'));
    return 0;
}
