#include "base/Text.h"

#include "base/Errors.h"
#include "base/FileIo.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <locale.h>
#include <locale>
#include <unistd.h>

#ifdef _WIN32
#include "base/Win32Text.h"

#include <windows.h>
#else
#include <langinfo.h>
#endif

namespace kelvara {

namespace {

#ifdef _WIN32

// Windows names locales "de-DE"; a POSIX name ("de_DE.UTF-8", "de_DE@euro")
// is taken in that form. "C" and "POSIX" name no Windows locale.
std::wstring WindowsLocaleName(const std::string& name)
{
    std::string base = name.substr(0, name.find_first_of(".@"));
    for (char& c : base)
        if (c == '_') c = '-';
    return WidenUtf8(base);
}

bool LocaleExists(const std::string& name)
{
    const std::wstring wide = WindowsLocaleName(name);
    return !wide.empty() && IsValidLocaleName(wide.c_str());
}

std::string RadixOf(const wchar_t* locale)
{
    wchar_t radix[8] = {};
    if (GetLocaleInfoEx(locale, LOCALE_SDECIMAL, radix, 8) <= 1) return ".";
    return NarrowUtf16(radix);
}

// Nothing in the programs calls setlocale, so the C library's own locale, the
// one strtold reads its radix from, stays "C".
long double ParseCNumber(const std::string& text)
{
    return std::strtold(text.c_str(), nullptr);
}

#else

// The "C" locale for strtold_l, so number parsing never depends on the
// process-wide locale.
locale_t CLocale()
{
    static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

std::string RadixOf(const char* name)
{
    locale_t loc = newlocale(LC_NUMERIC_MASK, name, static_cast<locale_t>(nullptr));
    if (loc == static_cast<locale_t>(nullptr)) return ".";
    std::string radix = nl_langinfo_l(RADIXCHAR, loc);
    freelocale(loc);
    return radix.empty() ? "." : radix;
}

bool LocaleExists(const char* name)
{
    locale_t loc = newlocale(LC_ALL_MASK, name, static_cast<locale_t>(nullptr));
    if (loc == static_cast<locale_t>(nullptr)) return false;
    freelocale(loc);
    return true;
}

std::string EnvLocale(const char* category)
{
    for (const char* var : {"LC_ALL", category, "LANG"}) {
        const char* v = std::getenv(var);
        if (v && *v) return v;
    }
    return "C";
}

long double ParseCNumber(const std::string& text)
{
    return strtold_l(text.c_str(), nullptr, CLocale());
}

#endif

void AppendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at bytes[i]; advances i. Invalid sequences
// (overlong, surrogates, beyond U+10FFFF, truncated) give U+FFFD for their
// first byte.
char32_t DecodeUtf8(std::string_view bytes, size_t& i)
{
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        ++i;
        return kReplacement;
    }
    if (i + len > bytes.size()) {
        ++i;
        return kReplacement;
    }
    for (int k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(bytes[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return kReplacement;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return kReplacement;
    }
    i += len;
    return cp;
}

std::string DecodeUtf16(std::string_view bytes, bool bigEndian)
{
    std::string out;
    out.reserve(bytes.size());
    auto unit = [&](size_t k) -> char32_t {
        const auto a = static_cast<unsigned char>(bytes[k]);
        const auto b = static_cast<unsigned char>(bytes[k + 1]);
        return bigEndian ? (a << 8 | b) : (b << 8 | a);
    };
    size_t k = 0;
    while (k + 1 < bytes.size()) {
        char32_t u = unit(k);
        k += 2;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (k + 1 < bytes.size()) {
                const char32_t lo = unit(k);
                if (lo >= 0xDC00 && lo <= 0xDFFF) {
                    k += 2;
                    AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                    continue;
                }
            }
            u = kReplacement;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            u = kReplacement;
        }
        AppendUtf8(out, u);
    }
    if (k < bytes.size()) AppendUtf8(out, kReplacement); // odd trailing byte
    return out;
}

bool IsHexDigit(char c, int& value)
{
    if (c >= '0' && c <= '9') {
        value = c - '0';
        return true;
    }
    if (c >= 'A' && c <= 'F') {
        value = c - 'A' + 10;
        return true;
    }
    if (c >= 'a' && c <= 'f') {
        value = c - 'a' + 10;
        return true;
    }
    return false;
}

bool IsDelimiterBlank(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u >= 1 && u <= 32;
}

} // namespace

#ifdef _WIN32

TLocaleSettings TLocaleSettings::Capture()
{
    // The user's regional settings, with the decimal separator as the user
    // may have changed it from the locale's own.
    TLocaleSettings s;
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
    if (GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH) > 0) s.LocaleName = NarrowUtf16(name);
    s.DecimalSeparator = RadixOf(LOCALE_NAME_USER_DEFAULT);
    return s;
}

TLocaleSettings TLocaleSettings::Named(const std::string& name)
{
    TLocaleSettings s;
    if (LocaleExists(name)) {
        s.DecimalSeparator = RadixOf(WindowsLocaleName(name).c_str());
        s.LocaleName = name;
    }
    return s;
}

std::string TLocaleSettings::LowerCase(std::string_view utf8) const
{
    const std::wstring text = WidenUtf8(utf8);
    if (text.empty()) return std::string();
    // The invariant locale's rules for "C", which still lower-case ASCII.
    const std::wstring locale = LocaleExists(LocaleName) ? WindowsLocaleName(LocaleName) : std::wstring();
    const DWORD flags = LCMAP_LOWERCASE | (locale.empty() ? 0 : LCMAP_LINGUISTIC_CASING);
    const int n = LCMapStringEx(locale.c_str(), flags, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr, 0);
    if (n <= 0) return SanitizeUtf8(utf8);
    std::wstring lower(size_t(n), L'\0');
    LCMapStringEx(locale.c_str(), flags, text.data(), int(text.size()), lower.data(), n, nullptr, nullptr, 0);
    return NarrowUtf16(lower);
}

#else

TLocaleSettings TLocaleSettings::Capture()
{
    TLocaleSettings s;
    const std::string numeric = EnvLocale("LC_NUMERIC");
    const std::string ctype = EnvLocale("LC_CTYPE");
    s.DecimalSeparator = RadixOf(numeric.c_str());
    s.LocaleName = LocaleExists(ctype.c_str()) ? ctype : "C";
    return s;
}

TLocaleSettings TLocaleSettings::Named(const std::string& name)
{
    TLocaleSettings s;
    if (LocaleExists(name.c_str())) {
        s.DecimalSeparator = RadixOf(name.c_str());
        s.LocaleName = name;
    }
    return s;
}

std::string TLocaleSettings::LowerCase(std::string_view utf8) const
{
    std::locale loc = std::locale::classic();
    try {
        loc = std::locale(LocaleName);
    } catch (const std::runtime_error&) {
        // Unknown to the C++ library: the classic rules still lower-case ASCII.
    }
    const auto& ct = std::use_facet<std::ctype<wchar_t>>(loc);
    std::string out;
    out.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        const char32_t cp = DecodeUtf8(utf8, i);
        AppendUtf8(out, static_cast<char32_t>(ct.tolower(static_cast<wchar_t>(cp))));
    }
    return out;
}

#endif

TStringList SplitCommaText(std::string_view text)
{
    TStringList fields;
    size_t p = 0;
    const size_t n = text.size();
    auto at = [&](size_t k) { return k < n ? text[k] : '\0'; };
    while (IsDelimiterBlank(at(p))) ++p;
    while (p < n && at(p) != '\0') {
        std::string field;
        if (at(p) == '"') {
            ++p;
            while (p < n && at(p) != '\0') {
                if (at(p) == '"') {
                    if (at(p + 1) == '"') {
                        field += '"';
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                field += at(p++);
            }
        } else {
            const size_t start = p;
            while (static_cast<unsigned char>(at(p)) > 32 && at(p) != ',') ++p;
            field.assign(text.substr(start, p - start));
        }
        fields.push_back(std::move(field));
        while (IsDelimiterBlank(at(p))) ++p;
        if (at(p) == ',') {
            if (at(p + 1) == '\0') fields.emplace_back();
            do {
                ++p;
            } while (IsDelimiterBlank(at(p)));
        }
    }
    return fields;
}

std::string JoinCommaText(const TStringList& items)
{
    if (items.size() == 1 && items[0].empty()) return "\"\"";
    std::string out;
    for (size_t k = 0; k < items.size(); ++k) {
        if (k) out += ',';
        const std::string& s = items[k];
        bool quote = false;
        for (char c : s)
            if (static_cast<unsigned char>(c) <= 32 || c == ',' || c == '"') quote = true;
        if (!quote) {
            out += s;
            continue;
        }
        out += '"';
        for (char c : s) {
            if (c == '"') out += '"';
            out += c;
        }
        out += '"';
    }
    return out;
}

bool TryStrToInt(std::string_view text, int32_t& value)
{
    size_t p = 0;
    while (p < text.size() && text[p] == ' ') ++p;
    bool negative = false;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
    bool hex = false;
    if (p < text.size() && (text[p] == '$' || text[p] == 'x' || text[p] == 'X')) {
        hex = true;
        ++p;
    } else if (p + 1 < text.size() && text[p] == '0' && (text[p + 1] == 'x' || text[p + 1] == 'X')) {
        hex = true;
        p += 2;
    }
    if (p >= text.size()) return false;
    uint64_t magnitude = 0;
    for (; p < text.size(); ++p) {
        int digit = 0;
        if (hex) {
            if (!IsHexDigit(text[p], digit)) return false;
            magnitude = magnitude * 16 + digit;
            if (magnitude > 0xFFFFFFFFull) return false;
        } else {
            if (text[p] < '0' || text[p] > '9') return false;
            magnitude = magnitude * 10 + (text[p] - '0');
            if (magnitude > 0x80000000ull) return false;
        }
    }
    int64_t v = 0;
    if (hex) {
        // Hexadecimal text names a 32-bit pattern: FFFFFFFF is -1.
        v = static_cast<int32_t>(static_cast<uint32_t>(magnitude));
    } else {
        v = static_cast<int64_t>(magnitude);
        if (!negative && v > INT32_MAX) return false;
    }
    value = static_cast<int32_t>(negative ? -v : v);
    return true;
}

int32_t StrToInt(std::string_view text)
{
    int32_t v = 0;
    if (!TryStrToInt(text, v)) throw EConvertError::NotInteger(std::string(text));
    return v;
}

float StrToFloat32(std::string_view text, const TLocaleSettings& locale)
{
    const std::string& sep = locale.DecimalSeparator;
    size_t p = 0;
    const size_t n = text.size();
    std::string normal;
    while (p < n && text[p] == ' ') ++p;
    if (p < n && (text[p] == '+' || text[p] == '-')) normal += text[p++];
    bool anyDigit = false;
    bool anySep = false;
    std::string intDigits;
    std::string fracDigits;
    while (p < n && text[p] >= '0' && text[p] <= '9') intDigits += text[p++];
    if (!sep.empty() && text.substr(p, sep.size()) == sep) {
        anySep = true;
        p += sep.size();
        while (p < n && text[p] >= '0' && text[p] <= '9') fracDigits += text[p++];
    }
    anyDigit = !intDigits.empty() || !fracDigits.empty();
    if (!anyDigit && !anySep) throw EConvertError::NotFloat(std::string(text));
    normal += intDigits.empty() ? "0" : intDigits;
    normal += '.';
    normal += fracDigits.empty() ? "0" : fracDigits;
    if (p < n && (text[p] == 'E' || text[p] == 'e')) {
        ++p;
        std::string exp = "e";
        if (p < n && (text[p] == '+' || text[p] == '-')) exp += text[p++];
        const size_t digitsAt = p;
        while (p < n && text[p] >= '0' && text[p] <= '9') exp += text[p++];
        if (p == digitsAt) throw EConvertError::NotFloat(std::string(text));
        normal += exp;
    }
    while (p < n && text[p] == ' ') ++p;
    if (p != n) throw EConvertError::NotFloat(std::string(text));

    errno = 0;
    const long double wide = ParseCNumber(normal);
    if (errno == ERANGE && std::fabs(wide) > 1.0L) throw EOverflow();
    const float narrow = static_cast<float>(wide);
    if (std::isinf(narrow)) throw EOverflow();
    return narrow;
}

std::string FormatReading(float value, const TLocaleSettings& locale)
{
    if (std::isnan(value)) return kNanText;
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    // The exact decimal expansion of the float: every float is a dyadic
    // fraction, and 160 decimals hold all its digits down to two decimals and
    // far beyond, so the rounding below works on the true value.
    char exact[512];
    std::snprintf(exact, sizeof exact, "%.160f", std::fabs(static_cast<double>(value)));
    std::string s(exact);
    // The process locale may print its own radix character here; whatever it
    // is, it is the first thing in the expansion that is not a digit.
    const size_t point = s.find_first_not_of("0123456789");
    std::string digits = s.substr(0, point) + s.substr(s.find_first_of("0123456789", point));
    long intLen = static_cast<long>(point);
    const size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return "0" + locale.DecimalSeparator + "00";
    // Keep two decimals, or seven significant digits where that is fewer.
    const long lastKept = std::min<long>(intLen + 1, static_cast<long>(first) + 6);
    std::string kept;
    if (lastKept >= 0) {
        kept = digits.substr(0, lastKept + 1);
        const size_t next = static_cast<size_t>(lastKept + 1);
        if (next < digits.size() && digits[next] >= '5') {
            long k = lastKept;
            while (k >= 0 && kept[k] == '9') kept[k--] = '0';
            if (k >= 0) {
                ++kept[k];
            } else {
                kept.insert(kept.begin(), '1');
                ++intLen;
            }
        }
    }
    // Pad with zeros back to two decimals.
    while (static_cast<long>(kept.size()) < intLen + 2) kept += '0';
    std::string intPart = kept.substr(0, intLen);
    const std::string frac = kept.substr(intLen, 2);
    const size_t nz = intPart.find_first_not_of('0');
    intPart = nz == std::string::npos ? "0" : intPart.substr(nz);
    const bool zero = intPart == "0" && frac == "00";
    return (value < 0 && !zero ? "-" : "") + intPart + locale.DecimalSeparator + frac;
}

std::string SanitizeUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        // Runs of ASCII, nearly all of a log, are copied as they are.
        size_t run = i;
        while (run < bytes.size() && static_cast<unsigned char>(bytes[run]) < 0x80) ++run;
        out.append(bytes.substr(i, run - i));
        i = run;
        if (i < bytes.size()) AppendUtf8(out, DecodeUtf8(bytes, i));
    }
    return out;
}

bool IsValidUtf8(std::string_view bytes)
{
    size_t i = 0;
    while (i < bytes.size()) {
        // Eight ASCII bytes at a time: nearly all of a log.
        while (i + 8 <= bytes.size()) {
            uint64_t word;
            std::memcpy(&word, bytes.data() + i, sizeof word);
            if (word & 0x8080808080808080ull) break;
            i += 8;
        }
        if (i >= bytes.size()) break;
        if (static_cast<unsigned char>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        const size_t start = i;
        const char32_t cp = DecodeUtf8(bytes, i);
        // A replacement character that was not written as one stands for
        // bytes that were not valid.
        if (cp == kReplacement && bytes.substr(start, 3) != "\xEF\xBF\xBD") return false;
    }
    return true;
}

TStringList SplitTextLines(std::string_view bytes)
{
    std::string text;
    auto starts = [&](std::initializer_list<unsigned char> bom) {
        if (bytes.size() < bom.size()) return false;
        size_t k = 0;
        for (unsigned char b : bom)
            if (static_cast<unsigned char>(bytes[k++]) != b) return false;
        return true;
    };
    if (starts({0xEF, 0xBB, 0xBF}))
        text = SanitizeUtf8(bytes.substr(3));
    else if (starts({0xFF, 0xFE}))
        text = DecodeUtf16(bytes.substr(2), false);
    else if (starts({0xFE, 0xFF}))
        text = DecodeUtf16(bytes.substr(2), true);
    else
        text = SanitizeUtf8(bytes);

    TStringList lines;
    size_t start = 0;
    size_t p = 0;
    while (p < text.size()) {
        if (text[p] == '\r' || text[p] == '\n') {
            lines.push_back(text.substr(start, p - start));
            if (text[p] == '\r' && p + 1 < text.size() && text[p + 1] == '\n') ++p;
            start = ++p;
        } else {
            ++p;
        }
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

TStringList LoadTextFile(const std::string& path)
{
    const int fd = OpenFile(path, O_RDONLY);
    if (fd < 0) throw EFOpenError(path, SysErrorMessage(errno));
    std::string bytes;
    if (!ReadWholeFile(fd, bytes)) {
        const int err = errno;
        ::close(fd);
        throw EFOpenError(path, SysErrorMessage(err));
    }
    ::close(fd);
    return SplitTextLines(bytes);
}

TStringList LoadFirstTextFile(const TStringList& paths)
{
    std::string missing;
    for (const std::string& path : paths) {
        const int fd = OpenFile(path, O_RDONLY);
        if (fd < 0 && errno == ENOENT) {
            if (!missing.empty()) missing += '\n';
            missing += EFOpenError(path, SysErrorMessage(ENOENT)).what();
            continue;
        }
        if (fd >= 0) ::close(fd);
        return LoadTextFile(path);
    }
    throw EFOpenError(missing);
}

} // namespace kelvara
