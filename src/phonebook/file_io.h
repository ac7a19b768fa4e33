#pragma once
// Reading and writing the program's files safely: bounded reads that refuse
// what is not a regular file, and atomic writes (a temporary file renamed
// over the old one), so that a crash or a full disk never leaves a
// truncated file.

#include <QByteArray>
#include <QString>

#include <optional>

namespace voxlet::files {

QString DataPath(const QString& dataDir, const QString& fileName);

// Where a save of fileName stages the new content before renaming it over
// the old file (in the same folder, so the rename stays on one file system),
// when fileName is not a symbolic link.
QString SaveTempPath(const QString& dataDir, const QString& fileName);

struct FileBytes {
    QByteArray bytes;
    int errorNumber = 0; // the run-time error number of a failure (53: missing)
};
// The whole file, unless it is not a regular file or is larger than maxBytes.
FileBytes ReadDataBytes(const QString& path, qint64 maxBytes);

enum class KeepMode {
    AsBefore, // the permissions a user gave the old file
    OwnerOnly, // 0600, whatever the old file had
};
// On failure the old file stays as it was and the reason is returned. A
// symbolic link stays a link: the file it points to is replaced.
std::optional<QString> WriteAtomically(
    const QString& dataDir, const QString& fileName, const QByteArray& bytes, KeepMode mode);

} // namespace voxlet::files
