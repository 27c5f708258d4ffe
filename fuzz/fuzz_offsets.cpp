// The offsets file: arbitrary file bytes split into lines, each line read as
// a decimal number under the "C" rules and under a comma-decimal locale, and
// every value read written back the way the log writes readings.
#include "FuzzCheck.h"

#include "base/Errors.h"
#include "base/Text.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace kelvara;

namespace {

const TLocaleSettings& CLocale()
{
    static const TLocaleSettings c = TLocaleSettings::Named("C");
    return c;
}

const TLocaleSettings& CommaLocale()
{
    static const TLocaleSettings de = [] {
        TLocaleSettings s = TLocaleSettings::Named("de_DE.UTF-8");
        // Without the system locale the comma rules are still what is under test.
        s.DecimalSeparator = ",";
        return s;
    }();
    return de;
}

bool ValidUtf8(const std::string& s)
{
    return SanitizeUtf8(s) == s;
}

// Parses; returns false for the refusals the contract allows.
bool Read(const std::string& line, const TLocaleSettings& locale, float& value)
{
    try {
        value = StrToFloat32(line, locale);
        return true;
    } catch (const EConvertError&) {
        return false;
    } catch (const EOverflow&) {
        return false;
    }
}

// Two decimals, the locale's separator, an optional minus, digits: never
// "-0.00", and read back it lies within rounding of the value.
void CheckFormat(float value, const TLocaleSettings& locale)
{
    const std::string text = FormatReading(value, locale);
    if (std::isnan(value)) {
        FUZZ_CHECK(text == "NAN");
        return;
    }
    FUZZ_CHECK(std::isfinite(value));
    const std::string& sep = locale.DecimalSeparator;
    FUZZ_CHECK(text.size() >= 3 + sep.size());
    FUZZ_CHECK(text.compare(text.size() - 2 - sep.size(), sep.size(), sep) == 0);
    size_t p = text[0] == '-' ? 1 : 0;
    const size_t intEnd = text.size() - 2 - sep.size();
    FUZZ_CHECK(intEnd > p);
    for (size_t k = p; k < intEnd; ++k) FUZZ_CHECK(text[k] >= '0' && text[k] <= '9');
    FUZZ_CHECK(intEnd - p == 1 || text[p] != '0'); // no leading zeros
    for (size_t k = text.size() - 2; k < text.size(); ++k) FUZZ_CHECK(text[k] >= '0' && text[k] <= '9');
    FUZZ_CHECK(text != "-0" + sep + "00");
    if (value == 0.0f) FUZZ_CHECK(text == "0" + sep + "00");

    float back = 0;
    FUZZ_CHECK(Read(text, locale, back) || std::fabs(value) > 3.4e38f);
    if (std::fabs(value) <= 3.4e38f) {
        const double err = std::fabs(static_cast<double>(back) - static_cast<double>(value));
        // Two decimals, or seven significant digits on large values, plus the
        // float's own spacing where it is coarser than either.
        const double allowed = std::max(0.0051, std::fabs(static_cast<double>(value)) * 1.0e-6);
        FUZZ_CHECK(err <= allowed);
        if (value < 0 && text[0] != '-') FUZZ_CHECK(std::fabs(static_cast<double>(value)) < 0.005);
        if (value > 0) FUZZ_CHECK(text[0] != '-');
    }
}

// Within one float step of the correctly rounded value of the same text.
bool NearlySame(float a, float b)
{
    if (a == b) return true;
    return std::nextafter(a, b) == b;
}

void CheckLine(const std::string& line)
{
    float inC = 0, inComma = 0;
    const bool okC = Read(line, CLocale(), inC);
    const bool okComma = Read(line, CommaLocale(), inComma);
    if (okC) FUZZ_CHECK(std::isfinite(inC));
    if (okComma) FUZZ_CHECK(std::isfinite(inComma));

    const bool hasDot = line.find('.') != std::string::npos;
    const bool hasComma = line.find(',') != std::string::npos;
    // Text without either separator means the same in both locales.
    if (!hasDot && !hasComma) {
        FUZZ_CHECK(okC == okComma);
        if (okC) FUZZ_CHECK(std::memcmp(&inC, &inComma, sizeof inC) == 0);
    }
    // The comma locale takes no point and the "C" rules no comma.
    if (hasDot && !hasComma) FUZZ_CHECK(!okComma);
    if (hasComma && !hasDot) FUZZ_CHECK(!okC);
    // The same number written with the other separator reads the same.
    if (okC && hasDot && !hasComma) {
        std::string swapped = line;
        for (char& c : swapped)
            if (c == '.') c = ',';
        float v = 0;
        FUZZ_CHECK(Read(swapped, CommaLocale(), v));
        FUZZ_CHECK(std::memcmp(&v, &inC, sizeof v) == 0);
    }
    // What is accepted is a plain decimal number: the C library reads it alike
    // (the C library wants a digit in the mantissa; a lone separator is left
    // to the unit tests).
    const size_t firstDigit = line.find_first_of("0123456789");
    const size_t firstExp = line.find_first_of("eE");
    if (okC && firstDigit != std::string::npos && (firstExp == std::string::npos || firstDigit < firstExp)) {
        std::string trimmed = line;
        while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
        char* end = nullptr;
        const float lib = std::strtof(trimmed.c_str(), &end);
        FUZZ_CHECK(end != nullptr && *end == '\0');
        FUZZ_CHECK(NearlySame(lib, inC));
    }

    if (okC) {
        CheckFormat(inC, CLocale());
        CheckFormat(inC, CommaLocale());
        CheckFormat(-inC, CLocale());
    }
    if (okComma) CheckFormat(inComma, CommaLocale());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const TStringList lines = SplitTextLines(bytes);
    size_t total = 0;
    for (const std::string& line : lines) {
        FUZZ_CHECK(line.find('\r') == std::string::npos && line.find('\n') == std::string::npos);
        FUZZ_CHECK(ValidUtf8(line));
        total += line.size();
    }
    // Lines never outnumber the line breaks plus one.
    size_t breaks = 0;
    for (char c : bytes)
        if (c == '\n' || c == '\r') ++breaks;
    // UTF-16 text has its breaks in two bytes, UTF-8 in one: either way a
    // line needs a break byte or the end of the text.
    FUZZ_CHECK(lines.size() <= breaks + 1);
    (void)total;
    for (const std::string& line : lines) CheckLine(line);

    // The raw bytes as one number too, when they hold no line break: the
    // reader may meet any bytes, valid UTF-8 or not.
    if (breaks == 0 && size <= 64) CheckLine(bytes);

    // The input's first four bytes as a float: every reading the scan can
    // produce goes through FormatReading.
    if (size >= 4) {
        float f;
        std::memcpy(&f, data, sizeof f);
        if (std::isfinite(f) || std::isnan(f)) {
            CheckFormat(f, CLocale());
            CheckFormat(f, CommaLocale());
        }
    }
    return 0;
}
