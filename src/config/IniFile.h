// Access to a settings file in INI form, with the behaviour of the Windows
// profile-string functions that the window's settings rely on.
//
// Reading: section and key names match without regard to ASCII case; blanks
// (space, tab) around names and values are dropped, then one pair of matching
// enclosing quotes (both ' or both ") is dropped; a key present with an empty
// value reads empty; a missing file, section or key gives the default. Values
// come back at most kMaxValueLength characters (code points) long. Only the
// first section of a name and its first line of a key count, both for reading
// and for writing. A UTF-8 byte-order mark at the start of the file is
// skipped when reading and kept when writing. Lines end at LF or CR LF.
//
// Writing changes one line and leaves every other byte of the file as it was:
// the first key line of the first matching section is replaced by
// "key=value" (the key keeps its spelling in the file); a missing key is
// added after the last non-blank line of its section; a missing section is
// added at the end of the file; a missing file is created. New lines end in
// LF. The new content goes to a temporary file in the same directory, which
// is flushed to disk and then renamed over the settings file, so a crash
// leaves either the old or the new file, never a torn one; the settings
// file's permission bits (and, where allowed, owner) are kept. When the path
// is a symbolic link, the file it points to is the one rewritten.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kelvara {

class TIniFile {
public:
    // Longest value ReadString returns, in characters.
    static constexpr std::size_t kMaxValueLength = 2047;

    explicit TIniFile(std::string fileName);
    virtual ~TIniFile() = default;

    const std::string& FileName() const { return fileName_; }

    // Never fails: an unreadable file reads like a missing one.
    virtual std::string ReadString(const std::string& section, const std::string& key,
                                   const std::string& defaultValue) const;

    // Raises EIniFileError(FileName()) when the value cannot be stored: the
    // file or its directory cannot be written, the existing file cannot be
    // read back (its other lines would be lost), or a name or the value holds
    // a line break or NUL (which would corrupt or forge other lines). On
    // failure the file is left as it was.
    virtual void WriteString(const std::string& section, const std::string& key, const std::string& value);

private:
    std::string fileName_;
};

// One line of INI text as the reading rules above see it, for a reader that
// must name the line of a problem.
struct TIniLine {
    enum TKind { Other, Section, Key };
    TKind Kind = Other;
    int Number = 0;    // counted from 1
    std::string Text;  // the line without its break, blanks dropped
    std::string Name;  // a section's name or a key, blanks dropped
    std::string Value; // a key's value as ReadString gives it
};

// Every line of text, a UTF-8 byte-order mark skipped.
std::vector<TIniLine> ParseIniLines(std::string_view text);

} // namespace kelvara
