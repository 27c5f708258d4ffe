#include "config/IniFile.h"

#include "base/FileIo.h"

#include "base/Errors.h"

#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#ifdef _WIN32
#include "base/Win32Text.h"

#include <io.h>
#endif

namespace kelvara {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

// One line of the file as byte offsets: [Begin, ContentEnd) is its text
// without the line break, [ContentEnd, End) the break itself (LF, CR LF, or
// nothing for an unterminated last line).
struct TLine {
    std::size_t Begin;
    std::size_t ContentEnd;
    std::size_t End;
};

enum class TLineKind { Other, Section, Key };

struct TParsedLine {
    TLine Pos;
    TLineKind Kind = TLineKind::Other;
    std::string_view Name;  // section name or key, blanks dropped
    std::string_view Value; // key lines: the text after the first '=', blanks dropped
};

std::vector<TParsedLine> ParseLines(std::string_view text)
{
    std::vector<TParsedLine> lines;
    std::size_t pos = text.starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
    while (pos < text.size()) {
        std::size_t lf = text.find('\n', pos);
        TParsedLine line;
        line.Pos.Begin = pos;
        if (lf == std::string_view::npos) {
            line.Pos.ContentEnd = line.Pos.End = text.size();
            // A CR that ends the file is the last line's break, not its content.
            if (text.back() == '\r') --line.Pos.ContentEnd;
        } else {
            line.Pos.End = lf + 1;
            line.Pos.ContentEnd = (lf > pos && text[lf - 1] == '\r') ? lf - 1 : lf;
        }
        std::string_view content = TrimBlanks(text.substr(line.Pos.Begin, line.Pos.ContentEnd - line.Pos.Begin));
        std::size_t close = content.find(']');
        std::size_t eq = content.find('=');
        if (content.starts_with('[') && close != std::string_view::npos) {
            line.Kind = TLineKind::Section;
            line.Name = TrimBlanks(content.substr(1, close - 1));
        } else if (eq != std::string_view::npos) {
            line.Kind = TLineKind::Key;
            line.Name = TrimBlanks(content.substr(0, eq));
            line.Value = TrimBlanks(content.substr(eq + 1));
        }
        lines.push_back(line);
        pos = line.Pos.End;
    }
    return lines;
}

// Index of the first header of the section, or lines.size().
std::size_t FindSection(const std::vector<TParsedLine>& lines, std::string_view section)
{
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].Kind == TLineKind::Section && SameName(lines[i].Name, section)) return i;
    return lines.size();
}

// The section's lines are those after its header up to the next header.
std::size_t SectionEnd(const std::vector<TParsedLine>& lines, std::size_t header)
{
    std::size_t i = header + 1;
    while (i < lines.size() && lines[i].Kind != TLineKind::Section) ++i;
    return i;
}

std::size_t FindKey(const std::vector<TParsedLine>& lines, std::size_t header, std::string_view key)
{
    std::size_t end = SectionEnd(lines, header);
    for (std::size_t i = header + 1; i < end; ++i)
        if (lines[i].Kind == TLineKind::Key && SameName(lines[i].Name, key)) return i;
    return lines.size();
}

std::string Unquote(std::string_view value)
{
    if (value.size() >= 2 && value.front() == value.back() && (value.front() == '"' || value.front() == '\''))
        value = value.substr(1, value.size() - 2);
    // Cut at kMaxValueLength code points, never inside a UTF-8 sequence.
    std::size_t chars = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        bool lead = (static_cast<unsigned char>(value[i]) & 0xC0) != 0x80;
        if (lead && ++chars > TIniFile::kMaxValueLength) return std::string(value.substr(0, i));
    }
    return std::string(value);
}

bool IsWritableFile(const std::string& path)
{
#ifdef _WIN32
    // The read-only attribute; W_OK of the C runtime.
    return ::_waccess(WidenUtf8(path).c_str(), 2) == 0;
#else
    return ::access(path.c_str(), W_OK) == 0;
#endif
}

// The new content of the file after setting section/key to value.
std::string WithValue(const std::string& old, std::string_view section, std::string_view key, std::string_view value)
{
    std::vector<TParsedLine> lines = ParseLines(old);
    std::size_t header = FindSection(lines, section);
    std::string result;
    if (header == lines.size()) {
        result = old;
        std::size_t bom = old.starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
        if (result.size() > bom && result.back() != '\n') result += '\n';
        result.append("[").append(section).append("]\n");
        result.append(key).append("=").append(value).append("\n");
        return result;
    }

    std::size_t keyLine = FindKey(lines, header, key);
    if (keyLine != lines.size()) {
        const TParsedLine& line = lines[keyLine];
        result.append(old, 0, line.Pos.Begin);
        result.append(line.Name).append("=").append(value);
        result.append(old, line.Pos.ContentEnd, std::string::npos);
        return result;
    }

    // A new key goes after the section's last non-blank line, so blank lines
    // that separate it from the next section stay between them.
    std::size_t last = header;
    std::size_t end = SectionEnd(lines, header);
    for (std::size_t i = header + 1; i < end; ++i) {
        const TLine& p = lines[i].Pos;
        if (!TrimBlanks(std::string_view(old).substr(p.Begin, p.ContentEnd - p.Begin)).empty()) last = i;
    }
    const TLine& at = lines[last].Pos;
    result.append(old, 0, at.End);
    // The file's last line may end without a break, or with a lone CR: an LF
    // completes it, so the new line stands on a line of its own.
    if (at.End == 0 || old[at.End - 1] != '\n') result += '\n';
    result.append(key).append("=").append(value).append("\n");
    result.append(old, at.End, std::string::npos);
    return result;
}

bool HasLineBreakOrNul(std::string_view s)
{
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

} // namespace

std::vector<TIniLine> ParseIniLines(std::string_view text)
{
    std::vector<TIniLine> result;
    int number = 0;
    for (const TParsedLine& line : ParseLines(text)) {
        TIniLine out;
        out.Number = ++number;
        out.Text = TrimBlanks(text.substr(line.Pos.Begin, line.Pos.ContentEnd - line.Pos.Begin));
        out.Name = line.Name;
        if (line.Kind == TLineKind::Section) out.Kind = TIniLine::Section;
        if (line.Kind == TLineKind::Key) {
            out.Kind = TIniLine::Key;
            out.Value = Unquote(line.Value);
        }
        result.push_back(std::move(out));
    }
    return result;
}

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const
{
    int fd = OpenFile(fileName_, O_RDONLY);
    if (fd < 0) return defaultValue;
    std::string text;
    bool ok = ReadWholeFile(fd, text);
    ::close(fd);
    if (!ok) return defaultValue;

    std::vector<TParsedLine> lines = ParseLines(text);
    std::size_t header = FindSection(lines, TrimBlanks(section));
    if (header == lines.size()) return defaultValue;
    std::size_t keyLine = FindKey(lines, header, TrimBlanks(key));
    if (keyLine == lines.size()) return defaultValue;
    return Unquote(lines[keyLine].Value);
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value)
{
    std::string_view sectionName = TrimBlanks(section);
    std::string_view keyName = TrimBlanks(key);
    if (sectionName.find(']') != std::string_view::npos || keyName.empty() ||
        keyName.find('=') != std::string_view::npos || HasLineBreakOrNul(section) || HasLineBreakOrNul(key) ||
        HasLineBreakOrNul(value))
        throw EIniFileError(fileName_);

    // The existing file must be readable (its other lines are kept) and
    // writable: a read-only settings file is refused even where the
    // directory would let a rename replace it.
    std::string old;
    int fd = OpenFile(fileName_, O_RDONLY);
    if (fd >= 0) {
        struct stat st {};
        bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadWholeFile(fd, old);
        ::close(fd);
        if (!ok || !IsWritableFile(fileName_)) throw EIniFileError(fileName_);
    } else if (errno != ENOENT) {
        throw EIniFileError(fileName_);
    }

    const std::string content = WithValue(old, sectionName, keyName, value);
    TFileReplacement out;
    if (!out.Begin(fileName_) || !WriteAll(out.Handle(), content) || !out.Commit()) throw EIniFileError(fileName_);
}

} // namespace kelvara
