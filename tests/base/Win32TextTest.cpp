#include "base/Win32Text.h"

#include <gtest/gtest.h>

using namespace kelvara;

TEST(Win32Text, Utf8AndUtf16BothWays)
{
    struct Case {
        std::string Utf8;
        std::wstring Utf16;
        std::string Back; // what narrowing Utf16 gives
    } cases[] = {
        {"", L"", ""},
        {"COM3", L"COM3", "COM3"},
        {"Gr\xC3\xBC\xC3\x9F"
         "e",
         L"Gr\u00FC\u00DFe",
         "Gr\xC3\xBC\xC3\x9F"
         "e"},
        {"\xF0\x9F\x8C\xA1", L"\U0001F321", "\xF0\x9F\x8C\xA1"}, // beyond the BMP: a surrogate pair
        {"a\xFF"
         "b",
         L"a\uFFFDb",
         "a\xEF\xBF\xBD"
         "b"}, // invalid UTF-8 is replaced, not dropped
        {std::string("a\0b", 3), std::wstring(L"a\0b", 3), std::string("a\0b", 3)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Back);
        EXPECT_EQ(WidenUtf8(c.Utf8), c.Utf16);
        EXPECT_EQ(NarrowUtf16(c.Utf16), c.Back);
    }
    EXPECT_EQ(NarrowUtf16(std::wstring(1, wchar_t(0xD800))), "\xEF\xBF\xBD") << "a lone surrogate";
}

TEST(Win32Text, MessagesFromTheSystemTable)
{
    // ERROR_FILE_NOT_FOUND and ERROR_ACCESS_DENIED have texts; the wording
    // is the system's (and its language's), but never ends in a line break.
    for (unsigned long code : {2ul, 5ul}) {
        SCOPED_TRACE(code);
        const std::string text = Win32ErrorMessage(code);
        ASSERT_FALSE(text.empty());
        EXPECT_NE(text, "System error " + std::to_string(code));
        EXPECT_NE(text.back(), '\n');
        EXPECT_NE(text.back(), '\r');
        EXPECT_NE(text.back(), ' ');
    }
    EXPECT_NE(Win32ErrorMessage(2), Win32ErrorMessage(5));
    EXPECT_EQ(Win32ErrorMessage(0x2FFFFFFF), "System error 805306367") << "a code without a text";
}
