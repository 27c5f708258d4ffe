// Text at the Win32 boundary (Windows builds only): the core's strings are
// UTF-8, the system's wide functions take UTF-16, and a failed call leaves a
// GetLastError() code whose text comes from the system's message table.
#pragma once

#include <string>
#include <string_view>

namespace kelvara {

// Invalid UTF-8 becomes U+FFFD, as everywhere in the core.
std::wstring WidenUtf8(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string NarrowUtf16(std::wstring_view wide);
// The system's text for a GetLastError() code, in the user's language,
// without the line break the message table ends it with; "System error N"
// for a code the table does not have.
std::string Win32ErrorMessage(unsigned long code);

} // namespace kelvara
