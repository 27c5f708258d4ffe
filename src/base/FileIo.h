// Whole-buffer reads and writes on a file descriptor, going on after
// interrupted and short transfers, and the few file-system calls the core
// makes, alike on every platform: paths are UTF-8, and failures leave errno.
#pragma once

#include <string>
#include <string_view>

namespace kelvara {

// Reads to the end of the file into out; false with errno set on failure.
bool ReadWholeFile(int fd, std::string& out);
// Writes every byte of data; false with errno set on failure.
bool WriteAll(int fd, std::string_view data);

// open(2) with flags and mode. The descriptor is never inherited by a child
// process, and on Windows it is in binary mode, so bytes pass unchanged
// (no CR LF translation, no end at Ctrl-Z). -1 with errno set on failure.
int OpenFile(const std::string& path, int flags, int mode = 0);
// Forces the file's data and size to the disk (fdatasync; the whole file on
// Windows). False with errno set on failure.
bool SyncFileData(int fd);
// Forces the whole file, its data and its metadata, to the disk (fsync).
bool SyncFile(int fd);
// Takes an exclusive lock on the whole file without waiting; false when
// another open file holds one. The lock goes with the descriptor's close.
bool TryLockFile(int fd);
// Renames from to to, replacing a file that to names. 0, or -1 with errno.
int RenameFile(const std::string& from, const std::string& to);
// True when something exists at path.
bool PathExists(const std::string& path);
// Removes a file. 0, or -1 with errno.
int RemoveFile(const std::string& path);

} // namespace kelvara
