#include "base/Text.h"
#include "base/Errors.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

using namespace kelvara;

namespace {

const TLocaleSettings kPoint = TLocaleSettings::Named("C");

TLocaleSettings Comma()
{
    return TLocaleSettings::Named("de_DE.UTF-8");
}

// Windows takes the locale from the user's regional settings, not from the
// environment.
#ifndef _WIN32
// An environment variable set for one scope. On every way out, a skip or a
// failed assertion included, it gets back the value it had, or is unset again
// if it had none, so that later tests see the environment they started with.
class TScopedEnv {
public:
    TScopedEnv(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name)) old_ = old;
        Set(value);
    }
    ~TScopedEnv() { Set(old_ ? old_->c_str() : nullptr); }
    TScopedEnv(const TScopedEnv&) = delete;
    TScopedEnv& operator=(const TScopedEnv&) = delete;

    // nullptr unsets it.
    void Set(const char* value)
    {
        if (value)
            setenv(name_.c_str(), value, 1);
        else
            unsetenv(name_.c_str());
    }

private:
    std::string name_;
    std::optional<std::string> old_;
};
#endif

} // namespace

TEST(CommaText, SplitsLikeTheDefinitionReader)
{
    struct Case {
        std::string text;
        TStringList fields;
    } cases[] = {
        {"01,04,0x004,FLOAT_BE,TC_1", {"01", "04", "0x004", "FLOAT_BE", "TC_1"}},
        {"a b", {"a", "b"}},
        {"  a ,\tb", {"a", "b"}},
        {"a,,b", {"a", "", "b"}},
        {"a,", {"a", ""}},
        {"", {}},
        {"   ", {}},
        {"\"x, y\",z", {"x, y", "z"}},
        {"\"say \"\"hi\"\"\",2", {"say \"hi\"", "2"}},
        {"\"open", {"open"}},
        {",a", {"", "a"}},
    };
    for (const Case& c : cases) EXPECT_EQ(SplitCommaText(c.text), c.fields) << "[" << c.text << "]";
}

TEST(CommaText, JoinQuotesWhatSplittingWouldBreakAndRoundTrips)
{
    EXPECT_EQ(JoinCommaText({"None", "ttyS0", "pts/3"}), "None,ttyS0,pts/3");
    EXPECT_EQ(JoinCommaText({""}), "\"\"");
    EXPECT_EQ(JoinCommaText({"a b", "c,d", "e\"f"}), "\"a b\",\"c,d\",\"e\"\"f\"");
    const TStringList odd = {"a b", "c,d", "e\"f", "plain"};
    EXPECT_EQ(SplitCommaText(JoinCommaText(odd)), odd);
    // No port reported: "None," splits into "None" and one empty item.
    EXPECT_EQ(SplitCommaText("None," + JoinCommaText({})), (TStringList{"None", ""}));
}

TEST(IntegerText, AcceptsDecimalAndHexPrefixesOnly)
{
    struct Case {
        const char* text;
        bool ok;
        int32_t value;
    } cases[] = {
        {"04", true, 4},
        {"010", true, 10},
        {"0x004", true, 4},
        {"$4", true, 4},
        {"x4", true, 4},
        {"X1f", true, 31},
        {"0XFF", true, 255},
        {" 4", true, 4},
        {"-7", true, -7},
        {"+7", true, 7},
        {"300", true, 300},
        {"2147483647", true, INT32_MAX},
        {"-2147483648", true, INT32_MIN},
        {"$FFFFFFFF", true, -1},
        {"2147483648", false, 0},
        {"$100000000", false, 0},
        {"4 ", false, 0},
        {"", false, 0},
        {" ", false, 0},
        {"0x", false, 0},
        {"$", false, 0},
        {"1e3", false, 0},
        {"\t4", false, 0},
        {"0b1", false, 0},
        {"4a", false, 0},
        {"--4", false, 0},
    };
    for (const Case& c : cases) {
        int32_t v = 0;
        EXPECT_EQ(TryStrToInt(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
    try {
        StrToInt("0x00G");
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'0x00G' is not a valid integer value");
    }
}

TEST(DecimalText, FollowsTheCapturedSeparator)
{
    struct Case {
        const char* text;
        bool comma; // read under the comma locale
        bool ok;
        float value;
    } cases[] = {
        {"0.5", false, true, 0.5f},      {" -1.25 ", false, true, -1.25f}, {"2E-1", false, true, 0.2f},
        {"1e3", false, true, 1000.0f},   {".5", false, true, 0.5f},        {"5.", false, true, 5.0f},
        {".", false, true, 0.0f},        {"+3", false, true, 3.0f},        {"0,5", false, false, 0},
        {"\t1", false, false, 0},        {"1\t", false, false, 0},         {"", false, false, 0},
        {"-", false, false, 0},          {"1e", false, false, 0},          {"1,000.5", false, false, 0},
        {"abc", false, false, 0},        {"1.5x", false, false, 0},        {"0,5", true, true, 0.5f},
        {" -1,25 ", true, true, -1.25f}, {"0.5", true, false, 0},          {"1e-50", false, true, 0.0f},
    };
    // A case whose locale is missing is left out and named; the others run.
    std::string skipped;
    for (const Case& c : cases) {
        const TLocaleSettings loc = c.comma ? Comma() : kPoint;
        if (c.comma && loc.DecimalSeparator != ",") {
            skipped += std::string("\n  [") + c.text + "] (de_DE.UTF-8 is not installed)";
            continue;
        }
        if (c.ok) {
            EXPECT_EQ(StrToFloat32(c.text, loc), c.value) << c.text;
        } else {
            try {
                StrToFloat32(c.text, loc);
                ADD_FAILURE() << "accepted [" << c.text << "]";
            } catch (const EConvertError& e) {
                EXPECT_EQ(std::string(e.what()), "'" + std::string(c.text) + "' is not a valid floating point value");
            }
        }
    }
    if (!skipped.empty()) GTEST_SKIP() << "cases not run:" << skipped;
}

TEST(DecimalText, RoundsToTheNearestFloatAndOverflowsBeyondIt)
{
    // 0.1 is not a float; the stored value is the nearest one.
    EXPECT_EQ(StrToFloat32("0.1", kPoint), 0.1f);
    EXPECT_EQ(StrToFloat32("3.4028234e38", kPoint), std::numeric_limits<float>::max());
    EXPECT_THROW(StrToFloat32("3.5e38", kPoint), EOverflow);
    EXPECT_THROW(StrToFloat32("-1e39", kPoint), EOverflow);
    EXPECT_THROW(StrToFloat32("1e99999", kPoint), EOverflow);
    try {
        StrToFloat32("1e40", kPoint);
        FAIL();
    } catch (const EOverflow& e) {
        EXPECT_STREQ(e.what(), "Floating point overflow");
    }
}

TEST(ReadingFormat, TwoDecimalsHalfAwayFromZeroNoNegativeZero)
{
    struct Case {
        float value;
        const char* text;
    } cases[] = {
        {25.0f, "25.00"},         {21.8f, "21.80"},          {-273.15f, "-273.15"},      {0.0f, "0.00"},
        {-0.0f, "0.00"},          {-0.004f, "0.00"},         {-0.0051f, "-0.01"},        {21.125f, "21.13"},
        {-21.125f, "-21.13"},     {0.125f, "0.13"},          {1368.0f, "1368.00"},       {99.995f, "100.00"},
        {12345.678f, "12345.68"}, {123456.78f, "123456.80"}, {1234567.8f, "1234568.00"}, {999999.94f, "999999.90"},
    };
    // 99.995f is 99.99500274..., above the half: it rounds up. 123456.78f
    // keeps seven significant digits, so its second decimal is a padding zero.
    for (const Case& c : cases) EXPECT_EQ(FormatReading(c.value, kPoint), c.text) << c.value;
    EXPECT_EQ(FormatReading(std::numeric_limits<float>::quiet_NaN(), kPoint), "NAN");
    EXPECT_EQ(FormatReading(-std::numeric_limits<float>::quiet_NaN(), kPoint), "NAN");
}

TEST(ReadingFormat, UsesTheCommaOfAGermanLocaleWithoutGrouping)
{
    const TLocaleSettings de = Comma();
    if (de.DecimalSeparator != ",") GTEST_SKIP() << "de_DE.UTF-8 is not installed";
    EXPECT_EQ(FormatReading(21.8f, de), "21,80");
    EXPECT_EQ(FormatReading(1234.5f, de), "1234,50");
    EXPECT_EQ(FormatReading(-273.15f, de), "-273,15");
}

TEST(ReadingFormat, IgnoresTheProcessLocale)
{
    // A toolkit may switch the process locale after start-up; the captured
    // settings alone decide the separator.
    const std::string before = setlocale(LC_NUMERIC, nullptr);
    if (!setlocale(LC_NUMERIC, "de_DE.UTF-8")) GTEST_SKIP() << "de_DE.UTF-8 is not installed";
    const std::string point = FormatReading(1234.5f, kPoint);
    const std::string comma = FormatReading(1234.5f, Comma());
    const float parsed = StrToFloat32("0.25", kPoint);
    setlocale(LC_NUMERIC, before.c_str());
    EXPECT_EQ(point, "1234.50");
    EXPECT_EQ(comma, "1234,50");
    EXPECT_EQ(parsed, 0.25f);
}

TEST(TextFile, EncodingsAndLineBreaks)
{
    struct Case {
        std::string bytes;
        TStringList lines;
    } cases[] = {
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\nb", {"a", "b"}},
        {"a\rb\r", {"a", "b"}},
        {"a\r\n\r\n", {"a", ""}},
        {"\n", {""}},
        {"", {}},
        {"\xEF\xBB\xBF"
         "0.5\n1",
         {"0.5", "1"}},
        {std::string("\xFF\xFE"
                     "1\0\r\0\n\0"
                     "2\0",
                     10),
         {"1", "2"}},
        {std::string("\xFE\xFF\0"
                     "1\0\n\0"
                     "\xE9",
                     8),
         {"1", "\xC3\xA9"}},
        {"ok\xFF\n", {"ok\xEF\xBF\xBD"}},
        {"\xC3\xA9t\xC3\xA9", {"\xC3\xA9t\xC3\xA9"}},
    };
    for (const Case& c : cases) EXPECT_EQ(SplitTextLines(c.bytes), c.lines);
}

TEST(TextFile, MissingFileNamesPathAndReason)
{
    try {
        LoadTextFile("/nonexistent-dir/offset.txt");
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_STREQ(e.what(), "Cannot open file \"/nonexistent-dir/offset.txt\". No such file or directory");
    }
}

#ifdef _WIN32
TEST(Locale, WindowsLocalesByTheirPosixOrWindowsNames)
{
    struct Case {
        const char* Name;
        const char* Separator;
        const char* LocaleName;
    } cases[] = {
        {"de_DE.UTF-8", ",", "de_DE.UTF-8"}, {"de-DE", ",", "de-DE"},
        {"en_US.UTF-8", ".", "en_US.UTF-8"}, {"C", ".", "C"},
        {"xx_YY.UTF-8", ".", "C"}, // no such locale: the C rules
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const TLocaleSettings named = TLocaleSettings::Named(c.Name);
        EXPECT_EQ(named.DecimalSeparator, c.Separator);
        EXPECT_EQ(named.LocaleName, c.LocaleName);
        EXPECT_EQ(named.LowerCase("FLOAT_BE"), "float_be");
    }
    EXPECT_EQ(Comma().LowerCase("\xC3\x84RGER"), "\xC3\xA4rger");
    const TLocaleSettings captured = TLocaleSettings::Capture();
    EXPECT_FALSE(captured.DecimalSeparator.empty());
    EXPECT_EQ(TLocaleSettings::Named(captured.LocaleName).LocaleName, captured.LocaleName);
}
#else
TEST(Locale, CapturedOnceFromTheEnvironment)
{
    TScopedEnv lcAll("LC_ALL", "de_DE.UTF-8");
    const TLocaleSettings captured = TLocaleSettings::Capture();
    lcAll.Set("C");
    if (captured.LocaleName == "C") GTEST_SKIP() << "de_DE.UTF-8 is not installed";
    EXPECT_EQ(captured.DecimalSeparator, ",");
    // Changing the environment afterwards changes nothing already captured.
    EXPECT_EQ(FormatReading(1.5f, captured), "1,50");
    EXPECT_EQ(TLocaleSettings::Capture().DecimalSeparator, ".");
    lcAll.Set(nullptr);
    EXPECT_EQ(captured.LowerCase("FLOAT_BE"), "float_be");
    EXPECT_EQ(captured.LowerCase("\xC3\x84RGER"), "\xC3\xA4rger");
}
#endif
