#include "phonebook/phone_book_files.h"

#include "call/runtime_error.h"
#include "phonebook/file_io.h"

#include <QStringView>

#include <algorithm>

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

FileText ReadDataFile(const QString& path)
{
    FileBytes file = ReadDataBytes(path, kMaxDataFileBytes);
    if (file.errorNumber != 0)
        return { {}, Failure(file.errorNumber) };
    return { DecodeCp932(file.bytes), std::nullopt };
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

} // namespace

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
    return WriteAtomically(dataDir, kPhoneBookFile, bytes, KeepMode::AsBefore);
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
    return WriteAtomically(dataDir, kProfileFile, bytes, KeepMode::AsBefore);
}

} // namespace voxlet::files
