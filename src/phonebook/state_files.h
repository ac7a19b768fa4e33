#pragma once
// What the program learns as it runs (remembered keys, the call history, what
// a directory can do) lives apart from Tel.txt and name.txt, which stay as
// they are: in $XDG_DATA_HOME/voxlet/ (by default ~/.local/share/voxlet/),
// readable by the user alone.

#include <QByteArray>
#include <QString>

#include <optional>

namespace voxlet::files {

// $XDG_DATA_HOME/voxlet, or ~/.local/share/voxlet when it is unset or not absolute.
QString DefaultStateDir();

struct StateFile {
    QByteArray bytes;
    bool missing = false; // nothing was ever written: not a failure
    std::optional<QString> failure; // unreadable or too large: a line to tell
};
StateFile ReadStateFile(const QString& stateDir, const QString& fileName, qint64 maxBytes);

// Atomically, the folder made owner-only (0700) and the file 0600.
std::optional<QString> WriteStateFile(
    const QString& stateDir, const QString& fileName, const QByteArray& bytes);

} // namespace voxlet::files
