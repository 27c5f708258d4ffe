#include "base/FileIo.h"

#ifdef _WIN32
#include "base/Win32Text.h"
#endif

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
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
    // A network file system turns flock() into this lock anyway; taking it
    // here too makes a local disk answer as a network home does.
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &whole) == 0) return true;
    if (errno == EINVAL && ::flock(fd, LOCK_EX | LOCK_NB) == 0) return true; // a kernel before 3.15
    // POSIX lets a refused byte-range lock answer EACCES as well.
    if (errno == EAGAIN || errno == EACCES) errno = EWOULDBLOCK;
    return false;
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

int64_t FileModifiedMs(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

bool SyncDirectory(const std::string& dir)
{
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    const int err = errno;
    ::close(fd);
    errno = err;
    return ok;
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
    DWORD access = GENERIC_READ;
    if ((flags & (O_WRONLY | O_RDWR)) == O_WRONLY) access = GENERIC_WRITE;
    if ((flags & (O_WRONLY | O_RDWR)) == O_RDWR) access = GENERIC_READ | GENERIC_WRITE;
    DWORD disposition = (flags & O_TRUNC) ? TRUNCATE_EXISTING : OPEN_EXISTING;
    if (flags & O_CREAT) disposition = (flags & O_EXCL) ? CREATE_NEW : (flags & O_TRUNC) ? CREATE_ALWAYS : OPEN_ALWAYS;
    // Of a mode, Windows knows only the owner's write permission.
    const DWORD attributes = (flags & O_CREAT) && !(mode & _S_IWRITE) ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
    // Others may read, write, rename and remove the file while it is open,
    // as on POSIX: a journal is renamed while its run still holds it. The
    // handle is not inherited.
    const HANDLE h =
        CreateFileW(WidenUtf8(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    disposition, attributes, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = ErrnoOf(GetLastError());
        return -1;
    }
    // Binary mode, so bytes pass unchanged.
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), (flags & O_APPEND) | O_BINARY);
    if (fd < 0) {
        const int err = errno;
        CloseHandle(h);
        errno = err;
    }
    return fd;
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
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &at)) return true;
    const DWORD code = GetLastError();
    errno = code == ERROR_LOCK_VIOLATION ? EWOULDBLOCK : ErrnoOf(code);
    return false;
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

int64_t FileModifiedMs(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(WidenUtf8(path).c_str(), GetFileExInfoStandard, &data)) {
        errno = ErrnoOf(GetLastError());
        return -1;
    }
    // Hundreds of nanoseconds since 1601-01-01 UTC.
    constexpr int64_t kUnixEpoch = 116444736000000000LL;
    const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                               data.ftLastWriteTime.dwLowDateTime);
    return (ticks - kUnixEpoch) / 10000;
}

bool SyncDirectory(const std::string&)
{
    return true;
}

#endif

namespace {

std::atomic<unsigned> TempCounter{0};

#ifdef _WIN32
constexpr const char* kSeparators = "/\\";
#else
constexpr const char* kSeparators = "/";
#endif

// The file that a replacement really replaces: the target of a symbolic
// link, otherwise the path itself.
std::string ReplacedFile(const std::string& path)
{
#ifndef _WIN32
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            std::string result(real);
            std::free(real);
            return result;
        }
    }
#endif
    return path;
}

} // namespace

TFileReplacement::~TFileReplacement()
{
    Abandon();
}

void TFileReplacement::Abandon()
{
    const int err = errno;
    if (handle_ >= 0) ::close(handle_);
    handle_ = -1;
    if (!temp_.empty()) RemoveFile(temp_);
    temp_.clear();
    errno = err;
}

bool TFileReplacement::Begin(const std::string& path)
{
    Abandon();
    target_ = ReplacedFile(path);
    bool regular = true;
#ifdef _WIN32
    const DWORD attributes = GetFileAttributesW(WidenUtf8(target_).c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) regular = false;
#else
    struct stat st {};
    const bool exists = ::stat(target_.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) regular = false;
#endif
    if (!regular) {
        handle_ = OpenFile(target_, O_WRONLY | O_TRUNC);
        return handle_ >= 0;
    }

    const size_t slash = target_.find_last_of(kSeparators);
    const std::string dir = slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    // Mode 0666, so that the umask (and a default ACL) apply to a new file as
    // to any file the user makes.
    for (int attempt = 0; attempt < 100 && handle_ < 0; ++attempt) {
        temp_ = dir + "." + base + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(TempCounter++);
        handle_ = OpenFile(temp_, O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (handle_ < 0 && errno != EEXIST) break;
    }
    if (handle_ < 0) {
        temp_.clear();
        return false;
    }
#ifndef _WIN32
    if (exists) {
        // Owner first: changing it may clear set-id bits that fchmod restores.
        if (::fchown(handle_, st.st_uid, st.st_gid) != 0) {
            // Only a privileged process may give a file away; keeping our
            // own ownership is the best the others can do.
        }
        if (::fchmod(handle_, st.st_mode & 07777) != 0) {
            Abandon();
            return false;
        }
    }
#endif
    return true;
}

bool TFileReplacement::Commit()
{
    if (handle_ < 0) {
        errno = EBADF;
        return false;
    }
    if (temp_.empty()) {
        const int fd = handle_;
        handle_ = -1;
        return ::close(fd) == 0;
    }
    // The content reaches the disk before the name does: a crash after the
    // rename must not find an empty file under it.
    if (!SyncFile(handle_)) {
        Abandon();
        return false;
    }
    const int fd = handle_;
    handle_ = -1;
    if (::close(fd) != 0 || RenameFile(temp_, target_) != 0) {
        Abandon();
        return false;
    }
    temp_.clear();
    // The rename itself must reach the disk too; a directory that cannot be
    // synced (some file systems refuse) leaves it to the next sync.
    const size_t slash = target_.find_last_of(kSeparators);
    SyncDirectory(slash == std::string::npos ? std::string() : target_.substr(0, slash + 1));
    return true;
}

} // namespace kelvara
