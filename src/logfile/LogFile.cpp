#include "logfile/LogFile.h"

#include "base/FileIo.h"

#include "base/Text.h"

#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvara {

namespace {

constexpr std::string_view CrLf = "\r\n";


} // namespace

std::string ToCrLf(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 16 + 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r') {
            out.append(CrLf);
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else if (c == '\n') {
            out.append(CrLf);
        } else {
            out += c;
        }
    }
    return out;
}

void SaveLogFile(const std::string& path, const std::string& headerLine,
                 const std::string& paneText)
{
    // Built in full first, so that nothing is written when building fails.
    std::string content = ToCrLf(SanitizeUtf8(headerLine));
    content.append(CrLf);
    content.append(ToCrLf(SanitizeUtf8(paneText)));

    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        throw EFCreateError(path, SysErrorMessage(errno));
    bool ok = WriteAll(fd, content);
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok)
        throw EFWriteError(path, SysErrorMessage(err));
}

TLogFileWriter::TLogFileWriter(const std::string& path, const std::string& headerLine)
    : FPath(path)
{
    FHandle = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (FHandle < 0)
        throw EFCreateError(path, SysErrorMessage(errno));
    struct stat st {};
    if (::fstat(FHandle, &st) != 0) {
        int err = errno;
        ::close(FHandle);
        throw EFCreateError(path, SysErrorMessage(err));
    }
    FSize = st.st_size;
    FMode = st.st_mode;
    // A FIFO or terminal reports size 0 every time: it gets the header once,
    // as a new file does.
    if (st.st_size == 0) {
        try {
            WriteLine(headerLine);
        } catch (...) {
            ::close(FHandle);
            throw;
        }
    }
}

TLogFileWriter::~TLogFileWriter()
{
    if (FHandle >= 0)
        ::close(FHandle);
}

void TLogFileWriter::WriteLine(const std::string& line)
{
    std::string record = line;
    record.append(CrLf);
    if (!WriteAll(FHandle, record)) {
        const int err = errno;
        // Part of the line may have gone in before the disk filled up: the
        // file goes back to its last whole line, so that whatever reads it
        // later never meets a torn one.
        if (S_ISREG(FMode))
            (void)::ftruncate(FHandle, FSize);
        throw EFWriteError(FPath, SysErrorMessage(err));
    }
    FSize += static_cast<off_t>(record.size());
}

} // namespace kelvara
