#include "base/FileIo.h"

#ifdef _WIN32
#include "base/Win32Text.h"
#endif

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/file.h>
#endif

namespace kelvara {

bool ReadWholeFile(int fd, std::string& out)
{
    out.clear();
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

bool WriteAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            // No progress and no error: treat as an I/O failure rather than loop.
            errno = EIO;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

#ifndef _WIN32

int OpenFile(const std::string& path, int flags, int mode)
{
    return ::open(path.c_str(), flags | O_CLOEXEC, mode);
}

bool SyncFileData(int fd)
{
    return ::fdatasync(fd) == 0;
}

bool SyncFile(int fd)
{
    return ::fsync(fd) == 0;
}

bool TryLockFile(int fd)
{
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

int RenameFile(const std::string& from, const std::string& to)
{
    return ::rename(from.c_str(), to.c_str());
}

bool PathExists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

int RemoveFile(const std::string& path)
{
    return ::unlink(path.c_str());
}

#else

namespace {

// The errno value for the Win32 codes a file operation here can end with.
int ErrnoOf(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_INVALID_NAME: return EINVAL;
    default: return EIO;
    }
}

} // namespace

int OpenFile(const std::string& path, int flags, int mode)
{
    // The C runtime knows only the owner's read and write permission.
    return ::_wopen(WidenUtf8(path).c_str(), flags | O_BINARY | O_NOINHERIT, mode & (_S_IREAD | _S_IWRITE));
}

bool SyncFileData(int fd)
{
    return ::_commit(fd) == 0;
}

bool SyncFile(int fd)
{
    return ::_commit(fd) == 0;
}

bool TryLockFile(int fd)
{
    const HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE) return false;
    OVERLAPPED at{};
    return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &at) != 0;
}

int RenameFile(const std::string& from, const std::string& to)
{
    // rename() of the C runtime refuses to replace an existing file.
    if (MoveFileExW(WidenUtf8(from).c_str(), WidenUtf8(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    errno = ErrnoOf(GetLastError());
    return -1;
}

bool PathExists(const std::string& path)
{
    return GetFileAttributesW(WidenUtf8(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

int RemoveFile(const std::string& path)
{
    return ::_wunlink(WidenUtf8(path).c_str());
}

#endif

} // namespace kelvara
