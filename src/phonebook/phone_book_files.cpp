#include "phonebook/phone_book_files.h"

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

FileFailure Failure(int number)
{
    return FileFailure { number, RuntimeErrorDescription(number) };
}

struct FileText {
    QString text;
    std::optional<FileFailure> failure;
};

// Reads the whole file, refusing anything that is not a regular file or is
// larger than any file the program writes, so a stray device, FIFO or huge
// file cannot block or exhaust the program.
FileText ReadDataFile(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return { {}, Failure(RuntimeErrorFromErrno(errno)) };

    FileText out;
    struct stat st { };
    if (::fstat(fd, &st) != 0) {
        out.failure = Failure(RuntimeErrorFromErrno(errno));
    } else if (S_ISDIR(st.st_mode)) {
        out.failure = Failure(RuntimeErrorFromErrno(EISDIR));
    } else if (!S_ISREG(st.st_mode)) {
        out.failure = Failure(err::DeviceIoError);
    } else if (st.st_size > kMaxDataFileBytes) {
        out.failure = Failure(err::Overflow);
    } else {
        // Sized for the file as it is now; grown only if it grows meanwhile.
        QByteArray bytes;
        bytes.resize(qsizetype(std::min<qint64>(st.st_size, kMaxDataFileBytes)) + 1);
        qint64 filled = 0;
        for (;;) {
            if (filled == bytes.size()) {
                if (bytes.size() > kMaxDataFileBytes)
                    break;
                bytes.resize(qsizetype(std::min<qint64>(2 * bytes.size(), kMaxDataFileBytes + 1)));
            }
            const ssize_t n = ::read(fd, bytes.data() + filled, size_t(bytes.size() - filled));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                out.failure = Failure(RuntimeErrorFromErrno(errno));
                break;
            }
            if (n == 0)
                break;
            filled += n;
        }
        // The file may have grown since fstat.
        if (!out.failure && filled > kMaxDataFileBytes)
            out.failure = Failure(err::Overflow);
        if (!out.failure) {
            bytes.truncate(filled);
            out.text = DecodeCp932(bytes);
        }
    }
    ::close(fd);
    return out;
}

// A cursor over decoded file text that knows the delimiters of the old
// runtime's sequential input: spaces, commas and line ends (CR LF, LF or CR).
class InputCursor {
public:
    explicit InputCursor(QStringView text)
        : text_(text)
    {
    }

    bool atEnd() const { return pos_ >= text_.size(); }
    bool atLineEnd() const { return !atEnd() && (text_[pos_] == u'\r' || text_[pos_] == u'\n'); }
    bool atComma() const { return !atEnd() && text_[pos_] == u','; }
    bool atSpace() const { return !atEnd() && text_[pos_] == u' '; }

    void skipSpaces()
    {
        while (atSpace())
            ++pos_;
    }

    void skipLineEnd()
    {
        if (atEnd())
            return;
        ++line_;
        if (text_[pos_] == u'\r') {
            ++pos_;
            if (!atEnd() && text_[pos_] == u'\n')
                ++pos_;
        } else if (text_[pos_] == u'\n') {
            ++pos_;
        }
    }

    // Consumes the delimiter the cursor stands on (space, comma or line end).
    void skipDelimiter()
    {
        if (atLineEnd())
            skipLineEnd();
        else if (!atEnd())
            ++pos_;
    }

    // Text up to (not including) the next comma or line end, or to the end.
    QStringView takeUntilCommaOrLineEnd()
    {
        const qsizetype start = pos_;
        while (!atEnd() && !atComma() && !atLineEnd())
            ++pos_;
        return text_.mid(start, pos_ - start);
    }

    void skipUntilSpaceCommaOrLineEnd()
    {
        while (!atEnd() && !atSpace() && !atComma() && !atLineEnd())
            ++pos_;
    }

    // Line ends passed so far: 0 on the first line.
    int line() const { return line_; }

private:
    QStringView text_;
    qsizetype pos_ = 0;
    int line_ = 0;
};

// Where a record was found, for telling whether it stands as written.
struct RecordPlace {
    int line = 0; // of its number token, from 0
    bool spansLines = false; // the number token ended its line: the rest is the next line
};

// One phone-book record: the number token, then the rest of the record up to
// a comma or line end, split at every single space. False at the end of the
// data, also when it comes in the middle of a record.
bool NextPhoneBookRecord(InputCursor& in, QStringList& fields, RecordPlace* place = nullptr)
{
    // Blank lines between records carry nothing; this also makes an empty
    // last line end the data quietly.
    for (;;) {
        in.skipSpaces();
        if (!in.atLineEnd())
            break;
        in.skipLineEnd();
    }
    if (in.atEnd())
        return false;

    if (place)
        *place = RecordPlace { in.line(), false };
    in.skipUntilSpaceCommaOrLineEnd(); // the stored number is never used
    if (in.atEnd())
        return false;
    if (place)
        place->spansLines = in.atLineEnd();
    in.skipDelimiter();

    in.skipSpaces();
    if (in.atEnd())
        return false;
    const QStringView rest = in.takeUntilCommaOrLineEnd();
    in.skipDelimiter();

    fields.clear();
    for (const QStringView field : rest.split(u' '))
        fields.append(field.toString());
    return true;
}

enum class RecordLayout { Full, Dial };

LinesResult LoadRecords(const QString& dataDir, RecordLayout layout)
{
    LinesResult result;
    const FileText file = ReadDataFile(DataPath(dataDir, kPhoneBookFile));
    if (file.failure) {
        result.failure = file.failure;
        // A missing file holds nothing to lose.
        if (file.failure->number != err::FileNotFound)
            result.lineNotHeld = 1;
        return result;
    }
    const qsizetype needed = layout == RecordLayout::Full ? 4 : 2;
    InputCursor in(file.text);
    QStringList fields;
    RecordPlace place;
    int number = 0;
    while (NextPhoneBookRecord(in, fields, &place)) {
        // A record made of two lines misreads the second one.
        if (place.spansLines && result.lineNotHeld == 0)
            result.lineNotHeld = place.line + 1;
        if (fields.size() < needed) {
            result.failure = Failure(err::SubscriptOutOfRange);
            if (result.lineNotHeld == 0)
                result.lineNotHeld = place.line + 1;
            break;
        }
        ++number;
        QStringList tokens { QString::number(number) };
        tokens += fields.mid(0, needed);
        result.lines.append(tokens.join(u' '));
    }
    return result;
}

// One field of the profile stream: leading spaces skipped, up to a comma or
// line end. Empty when the data has ended.
std::optional<QString> NextProfileField(InputCursor& in)
{
    in.skipSpaces();
    if (in.atEnd())
        return std::nullopt;
    const QString field = in.takeUntilCommaOrLineEnd().toString();
    in.skipDelimiter();
    return field;
}

ProfileFieldsResult ReadProfile(const QString& dataDir, const QString& fileName, int wanted)
{
    ProfileFieldsResult result;
    const FileText file = ReadDataFile(DataPath(dataDir, fileName));
    if (file.failure) {
        result.failure = file.failure;
        return result;
    }
    QString* const targets[] = { &result.fields.name, &result.fields.sex, &result.fields.age,
        &result.fields.pass, &result.fields.comment, &result.fields.server };
    InputCursor in(file.text);
    for (int i = 0; i < wanted; ++i) {
        in.skipSpaces();
        const bool onFirstLine = in.line() == 0;
        std::optional<QString> field = NextProfileField(in);
        if (!field)
            break;
        *targets[i] = std::move(*field);
        result.fieldsRead = i + 1;
        if (onFirstLine)
            result.fieldsOnFirstLine = i + 1;
    }
    return result;
}

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

// Stages the new content in a temporary file beside the file it replaces and
// renames it over that file, so that a failed save never leaves a truncated file.
std::optional<QString> WriteAtomically(
    const QString& dataDir, const QString& fileName, const QByteArray& bytes)
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

    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0)
        return SaveFailureText(fileName, errno);

    // Keep the permissions a user gave the old file.
    struct stat old { };
    if (::stat(target.constData(), &old) == 0 && S_ISREG(old.st_mode))
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

} // namespace

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

LinesResult LoadPhoneBook(const QString& dataDir)
{
    return LoadRecords(dataDir, RecordLayout::Full);
}

LinesResult LoadDialList(const QString& dataDir)
{
    return LoadRecords(dataDir, RecordLayout::Dial);
}

LookupResult LookupRingFile(const QString& dataDir, const QString& callerName, const QString& peerAddress,
    std::array<PhoneBookEntry, kPhoneBookSlots>& table)
{
    table.fill(PhoneBookEntry {});
    LookupResult result;
    const FileText file = ReadDataFile(DataPath(dataDir, kPhoneBookFile));
    if (file.failure) {
        result.failure = file.failure;
        return result;
    }
    InputCursor in(file.text);
    QStringList fields;
    for (int slot = 1; slot <= kPhoneBookLimit; ++slot) {
        if (!NextPhoneBookRecord(in, fields))
            break;
        if (fields.size() < 4) {
            result.failure = Failure(err::SubscriptOutOfRange);
            return result;
        }
        PhoneBookEntry& entry = table[size_t(slot)];
        entry = PhoneBookEntry { fields[0], fields[1], fields[2], fields[3] };
        if (entry.Name == callerName && entry.Address == peerAddress) {
            result.ringFile = entry.RingFile;
            return result;
        }
    }
    result.ringFile = kDefaultRingFile;
    return result;
}

std::optional<QString> SavePhoneBook(const QString& dataDir, const QStringList& lines)
{
    QByteArray bytes;
    for (const QString& line : lines) {
        bytes += EncodeCp932(line);
        bytes += "\r\n";
    }
    return WriteAtomically(dataDir, kPhoneBookFile, bytes);
}

ProfileFieldsResult LoadProfileFields(const QString& dataDir)
{
    return ReadProfile(dataDir, kProfileFile, 6);
}

QString ReadOwnName(const QString& dataDir, const QString& fileName)
{
    const ProfileFieldsResult read = ReadProfile(dataDir, fileName, 1);
    if (read.failure || read.fieldsRead < 1)
        return kOwnNameUnreadable;
    return read.fields.name;
}

ServerAddressResult ReadServerAddress(const QString& dataDir)
{
    const ProfileFieldsResult read = ReadProfile(dataDir, kProfileFile, 6);
    ServerAddressResult result;
    result.failure = read.failure;
    if (!read.failure && read.fieldsRead == 6)
        result.address = read.fields.server;
    return result;
}

ProfileFields LoadProfile(const QString& dataDir, const QString& fileName)
{
    return ReadProfile(dataDir, fileName, 5).fields;
}

std::optional<QString> SaveProfile(const QString& dataDir, const ProfileFields& fields)
{
    const QString line1
        = QStringList { fields.name, fields.sex, fields.age, fields.pass, fields.comment }.join(u',');
    QByteArray bytes = EncodeCp932(line1);
    bytes += "\r\n";
    bytes += EncodeCp932(fields.server);
    bytes += "\r\n";
    return WriteAtomically(dataDir, kProfileFile, bytes);
}

} // namespace voxlet::files
