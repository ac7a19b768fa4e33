#pragma once
// "Tel.txt" (the phone book) and "name.txt" (the own profile and the
// connection server's address), in code page 932 with CR LF line ends.
// Every call opens, reads or writes, and closes its file; nothing is cached.

#include "call/app_state.h"
#include "phonebook/file_io.h"

#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace voxlet::files {

inline const QString kPhoneBookFile = QStringLiteral("Tel.txt");
inline const QString kProfileFile = QStringLiteral("name.txt");
inline const QString kDefaultRingFile = QStringLiteral("Ring.wav");
inline const QString kOwnNameUnreadable = QStringLiteral("ERROR");

// Either file is a few kilobytes when the program writes it; anything larger
// than this is refused by the readers (failure err::Overflow) instead of read.
constexpr qint64 kMaxDataFileBytes = 1024 * 1024;

// A failure of a reader: the error number and its Japanese description.
struct FileFailure {
    int number = 0;
    QString description;
};

struct LinesResult {
    QStringList lines; // what was read before any failure
    std::optional<FileFailure> failure; // set for a message box; silent ends leave it empty
    // The first line of the file (from 1) that `lines` do not hold as it is
    // written there, so that writing `lines` back would lose or change it;
    // 0 when they hold the whole file or there is no file at all.
    int lineNotHeld = 0;
};

// Entries renumbered 1, 2, 3 ...: "n Name Address RingFile Stamp".
LinesResult LoadPhoneBook(const QString& dataDir);
// Entries renumbered 1, 2, 3 ...: "n Name Address".
LinesResult LoadDialList(const QString& dataDir);

struct LookupResult {
    QString ringFile; // empty on a failure
    std::optional<FileFailure> failure;
};
// Fills table slots 1..50 (after emptying all 51) up to the first entry whose
// Name and Address equal the given ones; "Ring.wav" when none matched.
LookupResult LookupRingFile(const QString& dataDir, const QString& callerName, const QString& peerAddress,
    std::array<PhoneBookEntry, kPhoneBookSlots>& table);

// Writes the lines exactly as given, each followed by CR LF, atomically:
// on failure the old file stays as it was and the reason is returned.
// A symbolic link stays a link: the file it points to is replaced.
std::optional<QString> SavePhoneBook(const QString& dataDir, const QStringList& lines);

struct ProfileFields {
    QString name, sex, age, pass, comment, server;
};

struct ProfileFieldsResult {
    ProfileFields fields;
    int fieldsRead = 0; // how many of the six were there
    int fieldsOnFirstLine = 0; // how many of them came from line 1
    std::optional<FileFailure> failure; // shown as its number (53 when missing)
};
ProfileFieldsResult LoadProfileFields(const QString& dataDir);

// The first field of the given file, or "ERROR" when it cannot be read.
QString ReadOwnName(const QString& dataDir, const QString& fileName);

struct ServerAddressResult {
    QString address; // empty when missing or short
    std::optional<FileFailure> failure;
};
ServerAddressResult ReadServerAddress(const QString& dataDir);

// The five profile fields in file order; fields that cannot be read are empty.
ProfileFields LoadProfile(const QString& dataDir, const QString& fileName);

// Atomic like SavePhoneBook.
std::optional<QString> SaveProfile(const QString& dataDir, const ProfileFields& fields);

// Code page 932 as Windows writes it. Characters it cannot hold become "?";
// invalid byte sequences decode to U+FFFD and decoding goes on.
QByteArray EncodeCp932(const QString& text);
QString DecodeCp932(const QByteArray& bytes);

} // namespace voxlet::files
