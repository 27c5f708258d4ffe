// The log as a file: the window's "Save as" of the log pane, and the headless
// logger's running output file. Both write UTF-8 without a byte-order mark,
// the header line first, every line ending in CR LF.
#pragma once

#include "base/Errors.h"

#include <string>
#include <string_view>
#include <sys/types.h>

namespace kelvara {

// Saves the log pane: writes headerLine, CR LF, then the pane's whole text
// with its line breaks as CR LF. The pane's text is taken as it is: the
// scan's lines each carry their break, so a log made of scan lines ends with
// CR LF, and an empty pane gives the header and one CR LF; text the operator
// typed is saved too. Invalid UTF-8 in the pane is saved as U+FFFD.
// The text goes to a new file beside path that then replaces it (see
// TFileReplacement): a failed save leaves an existing file as it was.
// A file that cannot be created raises EFCreateError(path, system reason) and
// nothing is written; a failing write raises EFWriteError.
void SaveLogFile(const std::string& path, std::string_view headerLine, std::string_view paneText);

// The headless logger's output file, kept open for appending. A new or empty
// file first gets the header line; a file that has lines already is appended
// to only when its first line is the same header. Each line goes to the file
// with one write() of the line and its CR LF, with no buffering in the
// process, so a line that WriteLine returned from survives the process being
// killed.
class TLogFileWriter {
public:
    // Raises EFCreateError(path, system reason) when the file cannot be
    // opened or created, EFOpenError when its first line cannot be read back,
    // EError naming the path and both headers when the file begins with
    // another header, and EFWriteError when the header cannot be written.
    TLogFileWriter(const std::string& path, const std::string& headerLine);
    // Writes to handle, a file just made empty at path and open for
    // appending, which it owns from the call on (and closes when this
    // raises); the header goes in first. Raises EFWriteError.
    TLogFileWriter(int handle, const std::string& path, const std::string& headerLine);
    ~TLogFileWriter();
    TLogFileWriter(const TLogFileWriter&) = delete;
    TLogFileWriter& operator=(const TLogFileWriter&) = delete;

    // line is one log line without its line break. Raises EFWriteError when
    // the line cannot be written whole; a regular file is then cut back to
    // the size it had just before the write.
    void WriteLine(const std::string& line);

    const std::string& Path() const { return path_; }
    int Handle() const { return handle_; }

private:
    std::string path_;
    int handle_ = -1;
    mode_t mode_ = 0;
};

} // namespace kelvara
