#include "base/Errors.h"

#include <cstring>

namespace kelvara {

EConvertError EConvertError::NotInteger(const std::string& text)
{
    return EConvertError("'" + text + "' is not a valid integer value");
}

EConvertError EConvertError::NotFloat(const std::string& text)
{
    return EConvertError("'" + text + "' is not a valid floating point value");
}

EStringListError::EStringListError(long index) : EError("List index out of bounds (" + std::to_string(index) + ")") {}

EFOpenError::EFOpenError(const std::string& path, const std::string& reason)
    : EError("Cannot open file \"" + path + "\". " + reason)
{
}

EFCreateError::EFCreateError(const std::string& path, const std::string& reason)
    : EError("Cannot create file \"" + path + "\". " + reason)
{
}

EFWriteError::EFWriteError(const std::string& path, const std::string& reason)
    : EError("Cannot write file \"" + path + "\". " + reason)
{
}

EIniFileError::EIniFileError(const std::string& path) : EError("Unable to write to " + path) {}

std::string SysErrorMessage(int code)
{
    char buf[256] = {};
#ifdef _WIN32
    const char* text = strerror_s(buf, sizeof buf, code) == 0 ? buf : nullptr;
#else
    // strerror_r in its GNU form may return a static string instead of filling buf.
    const char* text = strerror_r(code, buf, sizeof buf);
#endif
    return text ? std::string(text) : std::string("Unknown error ") + std::to_string(code);
}

} // namespace kelvara
