#include "phonebook/file_io.h"

#include "call/runtime_error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringView>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace voxlet::files {

namespace {

QString SaveFailureText(const QString& fileName, int errnoValue)
{
    return fileName + QStringLiteral(" を保存できませんでした。\n")
        + RuntimeErrorDescription(RuntimeErrorFromErrno(errnoValue));
}

bool WriteAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += n;
    }
    return true;
}

// A save killed half-way leaves its temporary file behind; remove those of
// processes that no longer run (never another running copy's).
void RemoveStaleTemporaries(const QString& dataDir, const QString& fileName)
{
    const QString prefix = fileName + QLatin1Char('.');
    const QStringList names
        = QDir(dataDir).entryList({ prefix + QStringLiteral("*.tmp") }, QDir::Files | QDir::Hidden);
    for (const QString& name : names) {
        bool isNumber = false;
        const qint64 pid
            = QStringView(name).mid(prefix.size(), name.size() - prefix.size() - 4).toLongLong(&isNumber);
        if (!isNumber || pid <= 0 || pid == ::getpid())
            continue;
        if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            QFile::remove(QDir(dataDir).filePath(name));
    }
}

// The file a save must replace: the path itself, or, for a symbolic link
// (a user who keeps the file elsewhere), the file the link points to, so that
// the rename replaces that file and the link stays. Chains of links are
// followed like the kernel does, up to its limit.
std::optional<QString> SaveTarget(const QString& path, int* errnoValue)
{
    QString current = path;
    for (int hops = 0; hops < 40; ++hops) {
        const QByteArray native = QFile::encodeName(current);
        struct stat st { };
        if (::lstat(native.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current; // missing files are created where the path says
        QByteArray link(PATH_MAX, '\0');
        const ssize_t n = ::readlink(native.constData(), link.data(), size_t(link.size()));
        if (n < 0 || n >= link.size()) {
            *errnoValue = n < 0 ? errno : ENAMETOOLONG;
            return std::nullopt;
        }
        link.truncate(n);
        const QString next = QFile::decodeName(link);
        current = QDir::isAbsolutePath(next) ? next : QFileInfo(current).dir().filePath(next);
    }
    *errnoValue = ELOOP;
    return std::nullopt;
}

} // namespace

// Reads the whole file, refusing anything that is not a regular file or is
// larger than any file the program writes, so a stray device, FIFO or huge
// file cannot block or exhaust the program.
FileBytes ReadDataBytes(const QString& path, qint64 maxBytes)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return { {}, RuntimeErrorFromErrno(errno) };

    FileBytes out;
    struct stat st { };
    if (::fstat(fd, &st) != 0) {
        out.errorNumber = (RuntimeErrorFromErrno(errno));
    } else if (S_ISDIR(st.st_mode)) {
        out.errorNumber = (RuntimeErrorFromErrno(EISDIR));
    } else if (!S_ISREG(st.st_mode)) {
        out.errorNumber = (err::DeviceIoError);
    } else if (st.st_size > maxBytes) {
        out.errorNumber = (err::Overflow);
    } else {
        // Sized for the file as it is now; grown only if it grows meanwhile.
        QByteArray bytes;
        bytes.resize(qsizetype(std::min<qint64>(st.st_size, maxBytes)) + 1);
        qint64 filled = 0;
        for (;;) {
            if (filled == bytes.size()) {
                if (bytes.size() > maxBytes)
                    break;
                bytes.resize(qsizetype(std::min<qint64>(2 * bytes.size(), maxBytes + 1)));
            }
            const ssize_t n = ::read(fd, bytes.data() + filled, size_t(bytes.size() - filled));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                out.errorNumber = (RuntimeErrorFromErrno(errno));
                break;
            }
            if (n == 0)
                break;
            filled += n;
        }
        // The file may have grown since fstat.
        if (out.errorNumber == 0 && filled > maxBytes)
            out.errorNumber = (err::Overflow);
        if (out.errorNumber == 0) {
            bytes.truncate(filled);
            out.bytes = std::move(bytes);
        }
    }
    ::close(fd);
    return out;
}

// Stages the new content in a temporary file beside the file it replaces and
// renames it over that file, so that a failed save never leaves a truncated file.
std::optional<QString> WriteAtomically(
    const QString& dataDir, const QString& fileName, const QByteArray& bytes, KeepMode mode)
{
    int linkErrno = 0;
    const std::optional<QString> targetPath = SaveTarget(DataPath(dataDir, fileName), &linkErrno);
    if (!targetPath)
        return SaveFailureText(fileName, linkErrno);
    const QFileInfo targetInfo(*targetPath);
    const QString targetDir = targetInfo.path();
    const QString targetName = targetInfo.fileName();
    const QByteArray target = QFile::encodeName(*targetPath);
    const QByteArray temp = QFile::encodeName(SaveTempPath(targetDir, targetName));

    const bool ownerOnly = mode == KeepMode::OwnerOnly;
    const int fd = ::open(
        temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, ownerOnly ? 0600 : 0666);
    if (fd < 0)
        return SaveFailureText(fileName, errno);

    // Keep the permissions a user gave the old file; what only its owner
    // may read stays so whatever the old file had.
    struct stat old { };
    if (ownerOnly)
        (void)::fchmod(fd, 0600);
    else if (::stat(target.constData(), &old) == 0 && S_ISREG(old.st_mode))
        (void)::fchmod(fd, old.st_mode & 07777);

    bool ok = WriteAll(fd, bytes) && ::fsync(fd) == 0;
    int savedErrno = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        savedErrno = errno;
    }
    if (ok && ::rename(temp.constData(), target.constData()) != 0) {
        ok = false;
        savedErrno = errno;
    }
    if (!ok) {
        ::unlink(temp.constData());
        return SaveFailureText(fileName, savedErrno);
    }
    RemoveStaleTemporaries(targetDir, targetName);

    // Make the rename itself durable; the new file is in place either way.
    const QByteArray dir = QFile::encodeName(targetDir.isEmpty() ? QStringLiteral(".") : targetDir);
    const int dirFd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        (void)::fsync(dirFd);
        ::close(dirFd);
    }
    return std::nullopt;
}

QString DataPath(const QString& dataDir, const QString& fileName)
{
    return QDir(dataDir).filePath(fileName);
}

QString SaveTempPath(const QString& dataDir, const QString& fileName)
{
    // The process id keeps two copies of the program sharing a folder apart.
    return DataPath(
        dataDir, fileName + QLatin1Char('.') + QString::number(::getpid()) + QStringLiteral(".tmp"));
}

} // namespace voxlet::files
