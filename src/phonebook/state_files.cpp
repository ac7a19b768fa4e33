#include "phonebook/state_files.h"

#include "call/runtime_error.h"
#include "phonebook/file_io.h"

#include <QDir>

#include <sys/stat.h>

namespace voxlet::files {

QString DefaultStateDir()
{
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    const QString base = QDir::isAbsolutePath(xdg) ? xdg : QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/voxlet");
}

StateFile ReadStateFile(const QString& stateDir, const QString& fileName, qint64 maxBytes)
{
    StateFile out;
    FileBytes file = ReadDataBytes(DataPath(stateDir, fileName), maxBytes);
    if (file.errorNumber == err::FileNotFound)
        out.missing = true;
    else if (file.errorNumber != 0)
        out.failure
            = DataPath(stateDir, fileName) + QStringLiteral(": ") + RuntimeErrorDescription(file.errorNumber);
    else
        out.bytes = std::move(file.bytes);
    return out;
}

std::optional<QString> WriteStateFile(
    const QString& stateDir, const QString& fileName, const QByteArray& bytes)
{
    if (!QDir().mkpath(stateDir))
        return stateDir + QStringLiteral(": ") + RuntimeErrorDescription(err::PathNotFound);
    // Others have no business in it, even where the folder was made by hand.
    (void)::chmod(QFile::encodeName(stateDir).constData(), 0700);
    return WriteAtomically(stateDir, fileName, bytes, KeepMode::OwnerOnly);
}

} // namespace voxlet::files
