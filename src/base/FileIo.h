// Whole-buffer reads and writes on a file descriptor, going on after
// interrupted and short transfers, and the few file-system calls the core
// makes, alike on every platform: paths are UTF-8, and failures leave errno.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvara {

// Reads to the end of the file into out; false with errno set on failure.
bool ReadWholeFile(int fd, std::string& out);
// Writes every byte of data; false with errno set on failure.
bool WriteAll(int fd, std::string_view data);

// open(2) with flags and mode. The descriptor is never inherited by a child
// process, and on Windows it is in binary mode, so bytes pass unchanged
// (no CR LF translation, no end at Ctrl-Z), and the file may be renamed or
// removed while it is open, as on POSIX. -1 with errno set on failure.
int OpenFile(const std::string& path, int flags, int mode = 0);
// Forces the file's data and size to the disk (fdatasync; the whole file on
// Windows). False with errno set on failure.
bool SyncFileData(int fd);
// Forces the whole file, its data and its metadata, to the disk (fsync).
bool SyncFile(int fd);
// Takes an exclusive lock on the whole file without waiting. It belongs to
// the open file (the descriptor and its duplicates), not to the process, and
// goes with its close. False with errno EWOULDBLOCK when another open file
// holds one; any other errno means the lock cannot be had here at all (on
// Linux it is the byte-range lock that NFS and SMB servers know, which wants
// a descriptor open for writing: EBADF on a read-only one), which says
// nothing about other holders.
bool TryLockFile(int fd);
// Renames from to to, replacing a file that to names. 0, or -1 with errno.
int RenameFile(const std::string& from, const std::string& to);
// True when something exists at path.
bool PathExists(const std::string& path);
// Removes a file. 0, or -1 with errno.
int RemoveFile(const std::string& path);
// When the file was last written, in milliseconds since the epoch; -1 with
// errno set when it cannot be told.
int64_t FileModifiedMs(const std::string& path);
// Forces dir's entries (a file made, renamed or removed in it) to the disk.
// False with errno set; some file systems refuse, and Windows writes them
// through on its own.
bool SyncDirectory(const std::string& dir);

// A file's new content, written to a file of its own beside it and renamed
// over it: a failure at any step leaves the old file as it was and no
// temporary file behind, and a crash leaves the old content or the new,
// never a mix or an empty file. When path is a symbolic link, the file it
// points to is replaced and the link stays. A replaced file keeps its
// permission bits and, where the process may give it away, its owner; a new
// one gets mode 0666 less the umask. A path that is there but not a regular
// file (a device, a pipe, a directory) is opened and emptied in place, as
// there is nothing on it a rename could keep.
class TFileReplacement {
public:
    TFileReplacement() = default;
    // Abandons a replacement that was begun and not committed.
    ~TFileReplacement();
    TFileReplacement(const TFileReplacement&) = delete;
    TFileReplacement& operator=(const TFileReplacement&) = delete;

    // Creates the new file beside path. False with errno set.
    bool Begin(const std::string& path);
    // Where the new content goes.
    int Handle() const { return handle_; }
    // Forces the new content to the disk and renames it over the file. False
    // with errno set; the old file is then untouched.
    bool Commit();

private:
    void Abandon();

    std::string target_;
    std::string temp_; // empty when the target is written in place
    int handle_ = -1;
};

} // namespace kelvara
