#include "logfile/LogFile.h"

#include "base/FileIo.h"

#include "base/Text.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvara {

namespace {

constexpr std::string_view kCrLf = "\r\n";

// The first line of the file at path without its break, read no further
// than a header can be long. False with errno set when it cannot be read.
bool ReadFirstLine(const std::string& path, std::string& line)
{
    constexpr size_t kLongest = 64 * 1024;
    const int fd = OpenFile(path, O_RDONLY);
    if (fd < 0) return false;
    line.clear();
    char buf[4096];
    bool ok = true;
    while (line.find('\n') == std::string::npos && line.size() < kLongest) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        line.append(buf, static_cast<size_t>(n));
    }
    const int err = errno;
    ::close(fd);
    errno = err;
    line.resize(std::min(line.find('\n'), line.size()));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return ok;
}

} // namespace

namespace {

// Writes text with its line breaks as CR LF, a slice at a time, so that a
// large log is never held twice in memory.
class TCrLfWriter {
public:
    explicit TCrLfWriter(int fd) : fd_(fd) { buffer_.reserve(kSlice + 1024); }

    bool Write(std::string_view text)
    {
        // The pane's text has LF breaks only; a CR (from a file pasted in)
        // takes the careful path.
        const bool lfOnly = text.find('\r') == std::string_view::npos;
        size_t i = 0;
        while (i < text.size()) {
            const size_t brk = lfOnly ? text.find('\n', i) : text.find_first_of("\r\n", i);
            const size_t end = brk == std::string_view::npos ? text.size() : brk;
            buffer_.append(text.substr(i, end - i));
            if (brk == std::string_view::npos) break;
            buffer_.append(kCrLf);
            i = brk + 1;
            if (text[brk] == '\r' && i < text.size() && text[i] == '\n') ++i;
            if (buffer_.size() >= kSlice && !Flush()) return false;
        }
        return true;
    }
    bool Flush()
    {
        const bool ok = WriteAll(fd_, buffer_);
        buffer_.clear();
        return ok;
    }

private:
    static constexpr size_t kSlice = 1 << 20;
    int fd_;
    std::string buffer_;
};

} // namespace

void SaveLogFile(const std::string& path, std::string_view headerLine, std::string_view paneText)
{
    // Checked first, so that nothing is written when the text cannot be
    // taken; text that is not UTF-8 is saved with U+FFFD in its place.
    std::string sanitizedHeader, sanitizedPane;
    if (!IsValidUtf8(headerLine)) headerLine = sanitizedHeader = SanitizeUtf8(headerLine);
    if (!IsValidUtf8(paneText)) paneText = sanitizedPane = SanitizeUtf8(paneText);

    // Written beside the file and renamed over it: a save that fails leaves
    // the file the operator chose as it was.
    TFileReplacement file;
    if (!file.Begin(path)) throw EFCreateError(path, SysErrorMessage(errno));
    TCrLfWriter out(file.Handle());
    if (!out.Write(headerLine) || !out.Write("\n") || !out.Write(paneText) || !out.Flush() || !file.Commit())
        throw EFWriteError(path, SysErrorMessage(errno));
}

TLogFileWriter::TLogFileWriter(const std::string& path, const std::string& headerLine) : path_(path)
{
    handle_ = OpenFile(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (handle_ < 0) throw EFCreateError(path, SysErrorMessage(errno));
    struct stat st {};
    if (::fstat(handle_, &st) != 0) {
        int err = errno;
        ::close(handle_);
        throw EFCreateError(path, SysErrorMessage(err));
    }
    mode_ = st.st_mode;
    // Lines under another header would not be the columns the file names
    // (a file begun with a clock column, appended to without one).
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        std::string fileHeader;
        const bool read = ReadFirstLine(path, fileHeader);
        const int err = errno;
        if (!read || fileHeader != headerLine) ::close(handle_);
        if (!read) throw EFOpenError(path, SysErrorMessage(err));
        if (fileHeader != headerLine)
            throw EError("Cannot append to \"" + path + "\": its header is \"" + SanitizeUtf8(fileHeader) +
                         "\", this run's header is \"" + headerLine + "\".");
    }
    // A FIFO or terminal reports size 0 every time: it gets the header once,
    // as a new file does.
    if (st.st_size == 0) {
        try {
            WriteLine(headerLine);
        } catch (...) {
            ::close(handle_);
            throw;
        }
    }
}

TLogFileWriter::TLogFileWriter(int handle, const std::string& path, const std::string& headerLine)
    : path_(path), handle_(handle)
{
    struct stat st {};
    if (::fstat(handle_, &st) == 0) mode_ = st.st_mode;
    try {
        WriteLine(headerLine);
    } catch (...) {
        ::close(handle_);
        throw;
    }
}

TLogFileWriter::~TLogFileWriter()
{
    if (handle_ >= 0) ::close(handle_);
}

void TLogFileWriter::WriteLine(const std::string& line)
{
    std::string record = line;
    record.append(kCrLf);
    // Where the file's last whole line ends is asked of the file each time:
    // another program may have cut it since (log rotation by copytruncate),
    // and cutting back to a size it no longer has would pad it with NULs.
    struct stat st {};
    const bool cutBack = S_ISREG(mode_) && ::fstat(handle_, &st) == 0;
    if (!WriteAll(handle_, record)) {
        const int err = errno;
        // Part of the line may have gone in before the disk filled up: the
        // file goes back to its last whole line, so that whatever reads it
        // later never meets a torn one.
        // A truncation that fails too changes nothing the caller is told:
        // the write's reason is the one that matters.
        if (cutBack && ::ftruncate(handle_, st.st_size) != 0) errno = err;
        throw EFWriteError(path_, SysErrorMessage(err));
    }
}

} // namespace kelvara
