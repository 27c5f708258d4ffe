// The system's error vocabulary. Every failure the logger reports to its
// operator is one of these; what() is the exact text shown in the message box.
#pragma once

#include <stdexcept>
#include <string>

namespace kelvara {

// Base of every failure that leaves a handler: the window shows what() and
// carries on.
class EError : public std::runtime_error {
public:
    explicit EError(const std::string& message) : std::runtime_error(message) {}
};

// An index outside a fixed array, or a value outside its field.
class ERangeError : public EError {
public:
    ERangeError() : EError("Range check error") {}
};

// Text that is not the number it should be.
class EConvertError : public EError {
public:
    using EError::EError;
    static EConvertError NotInteger(const std::string& text);
    static EConvertError NotFloat(const std::string& text);
};

// A list line that does not exist.
class EStringListError : public EError {
public:
    explicit EStringListError(long index);
};

// A file that cannot be opened for reading; reason is the system's text.
class EFOpenError : public EError {
public:
    EFOpenError(const std::string& path, const std::string& reason);
    // A message already in this form (several paths tried, a line each).
    explicit EFOpenError(const std::string& message) : EError(message) {}
};

// A file that cannot be created or emptied for writing.
class EFCreateError : public EError {
public:
    EFCreateError(const std::string& path, const std::string& reason);
};

// A file that was created but whose bytes could not all be written (a full
// disk, an I/O error).
class EFWriteError : public EError {
public:
    EFWriteError(const std::string& path, const std::string& reason);
};

// A settings value that could not be written; path is the settings file.
class EIniFileError : public EError {
public:
    explicit EIniFileError(const std::string& path);
};

// A result beyond the range of its floating-point type.
class EOverflow : public EError {
public:
    EOverflow() : EError("Floating point overflow") {}
};

// The text the C library gives for an errno value.
std::string SysErrorMessage(int code);

} // namespace kelvara
