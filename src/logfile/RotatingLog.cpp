#include "logfile/RotatingLog.h"

#include "base/Clock.h"
#include "base/FileIo.h"

#include <limits>
#include <sys/stat.h>

namespace kelvara {

namespace {

// The UTC date of a moment, as the names carry it: "2026-12-10".
std::string DayOf(int64_t ms)
{
    return FormatClock(ms, true).substr(0, 10);
}

} // namespace

TRotation ParseRotation(const std::string& text)
{
    if (text == "daily") return {};
    const EError bad("'" + text +
                     "' is neither daily nor a size (a number of bytes, or of KiB, MiB or GiB with k, M or G)");
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    uint64_t value = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const uint64_t digit = uint64_t(text[i] - '0');
        if (value > (kMax - digit) / 10) throw bad;
        value = value * 10 + digit;
    }
    uint64_t unit = 1;
    if (i + 1 == text.size()) {
        switch (text[i]) {
        case 'k':
        case 'K': unit = uint64_t(1) << 10; break;
        case 'M': unit = uint64_t(1) << 20; break;
        case 'G': unit = uint64_t(1) << 30; break;
        default: throw bad;
        }
    } else if (i != text.size()) {
        throw bad;
    }
    if (i == 0 || value == 0 || value > kMax / unit) throw bad;
    return {value * unit};
}

TRotatingLogWriter::TRotatingLogWriter(std::string dir, std::string headerLine, TRotation rotation)
    : dir_(std::move(dir)), header_(std::move(headerLine)), rotation_(rotation)
{
    if (!dir_.empty() && dir_.back() != '/') dir_ += '/';
}

TRotatingLogWriter::~TRotatingLogWriter() = default;

std::string TRotatingLogWriter::FileName(int64_t scanMs, unsigned sequence)
{
    const std::string number = sequence == 0 ? "" : "." + std::to_string(sequence);
    return "kelvara-" + DayOf(scanMs) + number + ".csv";
}

std::string TRotatingLogWriter::Path() const
{
    return file_ ? file_->Path() : "";
}

bool TRotatingLogWriter::Exists(int64_t scanMs, unsigned sequence) const
{
    return PathExists(dir_ + FileName(scanMs, sequence));
}

void TRotatingLogWriter::Open(int64_t scanMs, unsigned sequence)
{
    file_.reset();
    for (;; ++sequence) {
        try {
            file_ = std::make_unique<TLogFileWriter>(dir_ + FileName(scanMs, sequence), header_);
            break;
        } catch (const EOtherHeader&) {
            // Its lines are another log's columns: this log goes on in the
            // next file, and a number that is not taken yet ends the search.
        }
    }
    day_ = DayOf(scanMs);
    sequence_ = sequence;
}

void TRotatingLogWriter::WriteLine(const std::string& line, int64_t scanMs)
{
    try {
        if (!file_ || DayOf(scanMs) != day_) {
            // The day's last file, where a run before this one left off.
            unsigned sequence = 0;
            while (Exists(scanMs, sequence + 1)) ++sequence;
            Open(scanMs, sequence);
        }
        if (rotation_.MaxBytes > 0) {
            struct stat st {};
            const uint64_t size = ::fstat(file_->Handle(), &st) == 0 ? uint64_t(st.st_size) : 0;
            // A file holding no line yet takes one, however long.
            const bool hasLine = size > header_.size() + 2;
            if (hasLine && size + line.size() + 2 > rotation_.MaxBytes) Open(scanMs, sequence_ + 1);
        }
        file_->WriteLine(line);
    } catch (...) {
        file_.reset();
        throw;
    }
}

} // namespace kelvara
