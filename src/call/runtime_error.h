#pragma once
// Errors raised inside a routine and caught at its boundary, numbered and
// described as the program's users know them from the Windows original
// (53 for a missing file, 9 for an index out of range, ...).

#include <QString>

#include <exception>

namespace voxlet {

namespace err {
constexpr int InvalidCall = 5;
constexpr int Overflow = 6;
constexpr int SubscriptOutOfRange = 9;
constexpr int TypeMismatch = 13;
constexpr int BadFileNameOrNumber = 52;
constexpr int FileNotFound = 53;
constexpr int DeviceIoError = 57;
constexpr int DiskFull = 61;
constexpr int InputPastEndOfFile = 62;
constexpr int PermissionDenied = 70;
constexpr int PathFileAccessError = 75;
constexpr int PathNotFound = 76;
} // namespace err

// The Japanese description of an error number ("ファイルが見つかりません。" for 53).
QString RuntimeErrorDescription(int number);

class RuntimeError : public std::exception {
public:
    explicit RuntimeError(int number)
        : number_(number)
    {
    }
    int number() const { return number_; }
    QString description() const { return RuntimeErrorDescription(number_); }
    const char* what() const noexcept override { return "voxlet runtime error"; }

private:
    int number_;
};

// The error number for a failed open/read/write, from errno.
int RuntimeErrorFromErrno(int errnoValue);

} // namespace voxlet
