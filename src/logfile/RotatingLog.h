// The headless logger's output as a folder of files: one per UTC day, named
// by the date, and the day's further files numbered on, at a size limit or
// when the day's file was begun under another header (a restart with a
// clock column, say).
// Each file is a saved log as TLogFileWriter writes it (the header first,
// every line one write ending in CR LF), and a line always goes whole into
// exactly one file: a file never passes its limit by more than one line, and
// the next line starts the next file.
#pragma once

#include "logfile/LogFile.h"

#include <cstdint>
#include <memory>
#include <string>

namespace kelvara {

struct TRotation {
    // A new file also when the next line would take the day's file past
    // this many bytes; 0 for one file a day.
    uint64_t MaxBytes = 0;
};

// "daily", or a size: a whole number of bytes, or of KiB, MiB or GiB with
// the suffix k, M or G ("512k", "10M"). Raises EError for anything else.
TRotation ParseRotation(const std::string& text);

class TRotatingLogWriter {
public:
    // Opens nothing yet: the first line decides the first file.
    TRotatingLogWriter(std::string dir, std::string headerLine, TRotation rotation);
    ~TRotatingLogWriter();
    TRotatingLogWriter(const TRotatingLogWriter&) = delete;
    TRotatingLogWriter& operator=(const TRotatingLogWriter&) = delete;

    // Writes line (without its break) into the file of the UTC day in which
    // its scan began, scanMs after the epoch. A file of the day that is
    // already there (a restart) is appended to, the last of the day's files
    // when there are several. Raises what opening or writing raises; the
    // file is then let go and the next line opens it, or its successor, anew.
    void WriteLine(const std::string& line, int64_t scanMs);

    // The file the last line went to; empty before the first and after a
    // failure.
    std::string Path() const;

    // "kelvara-2026-12-10.csv" for the day of scanMs, sequence 0;
    // "kelvara-2026-12-10.1.csv" for sequence 1, and so on.
    static std::string FileName(int64_t scanMs, unsigned sequence);

private:
    void Open(int64_t scanMs, unsigned sequence);
    bool Exists(int64_t scanMs, unsigned sequence) const;

    std::string dir_;
    std::string header_;
    TRotation rotation_;
    std::unique_ptr<TLogFileWriter> file_;
    std::string day_; // the UTC date of the open file
    unsigned sequence_ = 0;
};

} // namespace kelvara
