// Whole-buffer reads and writes on a file descriptor, going on after
// interrupted and short transfers.
#pragma once

#include <string>
#include <string_view>

namespace kelvara {

// Reads to the end of the file into out; false with errno set on failure.
bool ReadWholeFile(int fd, std::string& out);
// Writes every byte of data; false with errno set on failure.
bool WriteAll(int fd, std::string_view data);

} // namespace kelvara
