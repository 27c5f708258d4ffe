// A scratch directory under /tmp (the user's temporary directory on Windows),
// removed with everything in it at the end of the test (or benchmark).
#pragma once

#include <string>

namespace kelvara::test {

class TTempDir {
public:
    // The directory's name begins with prefix, so that one left behind by a
    // killed run tells whose it was. Throws when none can be made.
    explicit TTempDir(const std::string& prefix = "kelvara-test");
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    const std::string& Path() const { return path_; }
    // The directory with a trailing slash, as AppPath is written.
    std::string Dir() const { return path_ + "/"; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    // Writes the bytes to the named file and returns its path.
    std::string Write(const std::string& name, const std::string& bytes) const;
    static std::string Read(const std::string& path);

private:
    std::string path_;
};

// A whole file's bytes; empty when it cannot be read.
std::string ReadBytes(const std::string& path);
// Replaces the file's contents with the bytes.
void WriteBytes(const std::string& path, const std::string& bytes);

} // namespace kelvara::test
