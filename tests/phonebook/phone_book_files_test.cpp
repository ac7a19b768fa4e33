#include "call/runtime_error.h"
#include "phonebook/phone_book_files.h"
#include "phonebook/state_files.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include <memory>

using namespace voxlet;
using namespace voxlet::files;
using voxlet::test::ReadBytes;
using voxlet::test::WriteBytes;

namespace {

int NumberOf(const std::optional<FileFailure>& failure)
{
    return failure ? failure->number : 0;
}

// Bytes of a file as Windows would write it: code page 932, CR LF.
QByteArray WindowsFile(const QStringList& lines)
{
    QByteArray out;
    for (const QString& line : lines)
        out += EncodeCp932(line) + "\r\n";
    return out;
}

QString Entry(int n)
{
    return QStringLiteral("%1 Name%1 10.0.0.%1 ring%1.wav 10:00:%2")
        .arg(n)
        .arg(n % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

class PhoneBookFilesTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_; // fresh for every test
    QString telPath() const { return DataPath(dir_->path(), kPhoneBookFile); }
    QString namePath() const { return DataPath(dir_->path(), kProfileFile); }
    void writeTel(const QByteArray& bytes) const { WriteBytes(telPath(), bytes); }
    void writeName(const QByteArray& bytes) const { WriteBytes(namePath(), bytes); }

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
    }

    void codePage932MatchesWindows_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("表　示") << QStringLiteral("表　示") << QByteArray("\x95\x5C\x81\x40\x8E\xA6");
        QTest::newRow("full-width hyphen") << QStringLiteral("－") << QByteArray("\x81\x7C");
        QTest::newRow("full-width tilde") << QStringLiteral("～") << QByteArray("\x81\x60");
        QTest::newRow("kana and ascii")
            << QStringLiteral("Taroたろｱ") << QByteArray("Taro\x82\xBD\x82\xEB\xB1");
        QTest::newRow("circled digit") << QStringLiteral("①") << QByteArray("\x87\x40");
    }
    void codePage932MatchesWindows()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QCOMPARE(EncodeCp932(text), bytes);
        QCOMPARE(DecodeCp932(bytes), text);
    }

    void codePage932NeverFails()
    {
        // What the table cannot hold becomes one "?" per character.
        QCOMPARE(EncodeCp932(QStringLiteral("aéb")), QByteArray("a?b"));
        QCOMPARE(EncodeCp932(QStringLiteral("x\U0001F600y")), QByteArray("x?y"));
        QCOMPARE(EncodeCp932(QString(QChar(0xD800)) + u'z'), QByteArray("?z"));
        QCOMPARE(EncodeCp932(QString(QChar(u'\0')) + u'a'), QByteArray("\0a", 2));
        // One way only, as Windows writes them: 0x5C and 0x7E read back as
        // ASCII.
        QCOMPARE(EncodeCp932(QStringLiteral("¥‾")), QByteArray("\x5C\x7E"));
        QString mixed;
        QByteArray mixedBytes;
        for (int i = 0; i < 3000; ++i) {
            mixed += i % 3 ? QStringLiteral("é") : QStringLiteral("あ\U0001F600");
            mixedBytes += i % 3 ? QByteArray("?") : QByteArray("\x82\xA0?");
        }
        QCOMPARE(EncodeCp932(mixed), mixedBytes);

        // Broken sequences give U+FFFD and decoding goes on.
        const QChar bad(QChar::ReplacementCharacter);
        QCOMPARE(DecodeCp932(QByteArray("A\x81\r\nB")), QString(u'A') + bad + QStringLiteral("\r\nB"));
        QCOMPARE(DecodeCp932(QByteArray("A\x81")), QString(u'A') + bad);
        QCOMPARE(DecodeCp932(QByteArray("\xFF\xFF"
                                        "C")),
            QString(bad) + bad + u'C');
        QCOMPARE(DecodeCp932(QByteArray("\0x", 2)), QString(QChar(u'\0')) + u'x');

        QByteArray all;
        for (int i = 0; i < 256 * 4; ++i)
            all += char(i * 7 % 256);
        const QString decoded = DecodeCp932(all);
        QVERIFY(!decoded.isEmpty());
        QVERIFY(decoded.size() <= all.size());
    }

    void savesExactBytes()
    {
        const QStringList lines { QStringLiteral("7 表　示 192.168.0.12 Ring.wav 21:07:45"),
            QStringLiteral("2 Ｔａｒｏ－～ host.example 音.wav 08:00:00") };
        QCOMPARE(SavePhoneBook(dir_->path(), lines), std::nullopt);
        QCOMPARE(ReadBytes(telPath()),
            QByteArray(
                "7 \x95\x5C\x81\x40\x8E\xA6 192.168.0.12 Ring.wav 21:07:45\r\n"
                "2 \x82\x73\x82\x81\x82\x92\x82\x8F\x81\x7C\x81\x60 host.example \x89\xB9.wav 08:00:00\r\n"));

        // A shorter list replaces the file entirely; an empty one leaves no line.
        QCOMPARE(SavePhoneBook(dir_->path(), { QStringLiteral("1 A 1.2.3.4 Ring.wav 1:00") }), std::nullopt);
        QCOMPARE(ReadBytes(telPath()), QByteArray("1 A 1.2.3.4 Ring.wav 1:00\r\n"));
        QCOMPARE(SavePhoneBook(dir_->path(), {}), std::nullopt);
        QVERIFY(QFile::exists(telPath()));
        QCOMPARE(ReadBytes(telPath()), QByteArray());

        const ProfileFields profile { QStringLiteral("表　示"), QStringLiteral("男"), QStringLiteral("20"),
            QStringLiteral("pw"), QStringLiteral("よろしく－～"), QStringLiteral("server.example") };
        QCOMPARE(SaveProfile(dir_->path(), profile), std::nullopt);
        QCOMPARE(ReadBytes(namePath()),
            QByteArray(
                "\x95\x5C\x81\x40\x8E\xA6,\x92\x6A,20,pw,\x82\xE6\x82\xEB\x82\xB5\x82\xAD\x81\x7C\x81\x60\r\n"
                "server.example\r\n"));
        QCOMPARE(SaveProfile(dir_->path(), { QStringLiteral("A"), {}, {}, {}, {}, {} }), std::nullopt);
        QCOMPARE(ReadBytes(namePath()), QByteArray("A,,,,\r\n\r\n"));

        // Nothing but the two files is left behind.
        QCOMPARE(QDir(dir_->path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList({ kProfileFile, kPhoneBookFile }));
    }

    void readsWhatWasWritten()
    {
        const QStringList lines { QStringLiteral("7 表　示 192.168.0.12 Ring.wav 21:07:45"),
            QStringLiteral("9 花子－～ host.example 音.wav 08:00:00") };
        writeTel(WindowsFile(lines));
        LinesResult book = LoadPhoneBook(dir_->path());
        QCOMPARE(book.lines,
            QStringList({ QStringLiteral("1 表　示 192.168.0.12 Ring.wav 21:07:45"),
                QStringLiteral("2 花子－～ host.example 音.wav 08:00:00") }));
        QCOMPARE(NumberOf(book.failure), 0);
        LinesResult dial = LoadDialList(dir_->path());
        QCOMPARE(dial.lines,
            QStringList(
                { QStringLiteral("1 表　示 192.168.0.12"), QStringLiteral("2 花子－～ host.example") }));
        QCOMPARE(NumberOf(dial.failure), 0);

        // What the program saves, it reads back unchanged once renumbered.
        QCOMPARE(SavePhoneBook(dir_->path(), book.lines), std::nullopt);
        QCOMPARE(LoadPhoneBook(dir_->path()).lines, book.lines);

        const ProfileFields profile { QStringLiteral("表　示"), QStringLiteral("女"), QStringLiteral("33"),
            QStringLiteral("secret"), QStringLiteral("一言－～"), QStringLiteral("10.1.2.3") };
        QCOMPARE(SaveProfile(dir_->path(), profile), std::nullopt);
        QCOMPARE(ReadOwnName(dir_->path(), kProfileFile), profile.name);
        const ServerAddressResult server = ReadServerAddress(dir_->path());
        QCOMPARE(server.address, profile.server);
        QCOMPARE(NumberOf(server.failure), 0);
        const ProfileFieldsResult all = LoadProfileFields(dir_->path());
        QCOMPARE(all.fieldsRead, 6);
        QCOMPARE(NumberOf(all.failure), 0);
        QCOMPARE(all.fields.comment, profile.comment);
        QCOMPARE(all.fields.pass, profile.pass);
        const ProfileFields five = LoadProfile(dir_->path(), kProfileFile);
        QCOMPARE(QStringList({ five.name, five.sex, five.age, five.pass, five.comment, five.server }),
            QStringList(
                { profile.name, profile.sex, profile.age, profile.pass, profile.comment, QString() }));
    }

    void stateFilesAreTheOwnersAlone()
    {
        const QString state = dir_->path() + QStringLiteral("/state");
        QVERIFY(ReadStateFile(state, QStringLiteral("keys"), 100).missing);
        QVERIFY(QDir().mkpath(state));
        WriteBytes(DataPath(state, QStringLiteral("keys")), "old");
        QVERIFY(QFile::setPermissions(DataPath(state, QStringLiteral("keys")),
            QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        QCOMPARE(WriteStateFile(state, QStringLiteral("keys"), "new"), std::nullopt);
        struct stat st { };
        QCOMPARE(::stat(QFile::encodeName(DataPath(state, QStringLiteral("keys"))).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
        QCOMPARE(::stat(QFile::encodeName(state).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0700u);
        const StateFile back = ReadStateFile(state, QStringLiteral("keys"), 100);
        QCOMPARE(back.bytes, QByteArray("new"));
        QVERIFY(!back.failure && !back.missing);
        // Larger than its reader allows, or no file at all: told, not read.
        QVERIFY(ReadStateFile(state, QStringLiteral("keys"), 2).failure);
        QVERIFY(QDir(state).mkdir(QStringLiteral("dir")));
        QVERIFY(ReadStateFile(state, QStringLiteral("dir"), 100).failure);
    }

    void phoneBookRecordRule_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("book");
        QTest::addColumn<int>("bookFailure");
        QTest::addColumn<QStringList>("dial");
        QTest::addColumn<int>("dialFailure");
        QTest::addColumn<int>("lineNotHeld"); // by the settings window's list

        QTest::newRow("renumbered") << QByteArray(
            "7 Taro 192.168.0.12 Ring.wav 21:07:45\r\n3 Hana 10.0.0.2 H.wav 08:00:00\r\n")
                                    << QStringList { "1 Taro 192.168.0.12 Ring.wav 21:07:45",
                                           "2 Hana 10.0.0.2 H.wav 08:00:00" }
                                    << 0 << QStringList { "1 Taro 192.168.0.12", "2 Hana 10.0.0.2" } << 0
                                    << 0;
        QTest::newRow("extra tokens dropped")
            << QByteArray("1 A 1.2.3.4 R.wav 10:00 x y\r\n") << QStringList { "1 A 1.2.3.4 R.wav 10:00" } << 0
            << QStringList { "1 A 1.2.3.4" } << 0 << 0;
        QTest::newRow("name with a space shifts fields")
            << QByteArray("1 Taro Y 192.168.0.12 Ring.wav 21:07:45\r\n")
            << QStringList { "1 Taro Y 192.168.0.12 Ring.wav" } << 0 << QStringList { "1 Taro Y" } << 0 << 0;
        QTest::newRow("double space is an empty field")
            << QByteArray("1 Taro  1.2.3.4 R.wav\r\n") << QStringList { "1 Taro  1.2.3.4 R.wav" } << 0
            << QStringList { "1 Taro " } << 0 << 0;
        QTest::newRow("comma starts the next record")
            << QByteArray("1 A 1.1.1.1 a.wav 1:00,5 B 2.2.2.2 b.wav 2:00\r\n")
            << QStringList { "1 A 1.1.1.1 a.wav 1:00", "2 B 2.2.2.2 b.wav 2:00" } << 0
            << QStringList { "1 A 1.1.1.1", "2 B 2.2.2.2" } << 0 << 0;
        QTest::newRow("comma cuts a record short")
            << QByteArray("1 A,B 1.1.1.1 a.wav 1:00\r\n") << QStringList {} << err::SubscriptOutOfRange
            << QStringList {} << err::SubscriptOutOfRange << 1;
        QTest::newRow("short record stops loading")
            << QByteArray("1 A 1.1.1.1 a.wav 1:00\r\n2 B 2.2.2.2\r\n3 C 3.3.3.3 c.wav 3:00\r\n")
            << QStringList { "1 A 1.1.1.1 a.wav 1:00" } << err::SubscriptOutOfRange
            << QStringList { "1 A 1.1.1.1", "2 B 2.2.2.2", "3 C 3.3.3.3" } << 0 << 2;
        QTest::newRow("name only") << QByteArray("1 Taro\r\n") << QStringList {} << err::SubscriptOutOfRange
                                   << QStringList {} << err::SubscriptOutOfRange << 1;
        QTest::newRow("data ends inside a record")
            << QByteArray("1 A 1.1.1.1 a.wav 1:00\r\n2") << QStringList { "1 A 1.1.1.1 a.wav 1:00" } << 0
            << QStringList { "1 A 1.1.1.1" } << 0 << 0;
        QTest::newRow("data ends after the number")
            << QByteArray("1 A 1.1.1.1 a.wav 1:00\r\n2   ") << QStringList { "1 A 1.1.1.1 a.wav 1:00" } << 0
            << QStringList { "1 A 1.1.1.1" } << 0 << 0;
        QTest::newRow("last line without line end")
            << QByteArray("1 A 1.1.1.1 a.wav 1:00\r\n2 B 2.2.2.2 b.wav 2:00")
            << QStringList { "1 A 1.1.1.1 a.wav 1:00", "2 B 2.2.2.2 b.wav 2:00" } << 0
            << QStringList { "1 A 1.1.1.1", "2 B 2.2.2.2" } << 0 << 0;
        QTest::newRow("bare LF and leading spaces")
            << QByteArray("  1   A 1.1.1.1 a.wav 1:00\n2 B 2.2.2.2 b.wav 2:00\n")
            << QStringList { "1 A 1.1.1.1 a.wav 1:00", "2 B 2.2.2.2 b.wav 2:00" } << 0
            << QStringList { "1 A 1.1.1.1", "2 B 2.2.2.2" } << 0 << 0;
        QTest::newRow("empty file") << QByteArray() << QStringList {} << 0 << QStringList {} << 0 << 0;
        QTest::newRow("only an empty line")
            << QByteArray("\r\n") << QStringList {} << 0 << QStringList {} << 0 << 0;
        QTest::newRow("trailing empty line")
            << QByteArray("1 A 1.1.1.1 a.wav 1:00\r\n\r\n") << QStringList { "1 A 1.1.1.1 a.wav 1:00" } << 0
            << QStringList { "1 A 1.1.1.1" } << 0 << 0;
        QTest::newRow("number alone takes the next line as its fields")
            << QByteArray("1 A 1.1.1.1 a.wav 1:00\r\n2\r\n3 C 3.3.3.3 c.wav 3:00\r\n")
            << QStringList { "1 A 1.1.1.1 a.wav 1:00", "2 3 C 3.3.3.3 c.wav" } << 0
            << QStringList { "1 A 1.1.1.1", "2 3 C" } << 0 << 2;
    }
    void phoneBookRecordRule()
    {
        QFETCH(QByteArray, file);
        writeTel(file);
        const LinesResult book = LoadPhoneBook(dir_->path());
        const LinesResult dial = LoadDialList(dir_->path());
        QTEST(book.lines, "book");
        QTEST(NumberOf(book.failure), "bookFailure");
        QTEST(dial.lines, "dial");
        QTEST(NumberOf(dial.failure), "dialFailure");
        QTEST(book.lineNotHeld, "lineNotHeld");
        if (book.failure)
            QCOMPARE(book.failure->description, RuntimeErrorDescription(book.failure->number));
    }

    void missingOrUnreadablePhoneBook()
    {
        std::array<PhoneBookEntry, kPhoneBookSlots> table {};
        for (const LinesResult& r : { LoadPhoneBook(dir_->path()), LoadDialList(dir_->path()) }) {
            QVERIFY(r.lines.isEmpty());
            QCOMPARE(NumberOf(r.failure), err::FileNotFound);
            QCOMPARE(r.failure->description, QStringLiteral("ファイルが見つかりません。"));
            QCOMPARE(r.lineNotHeld, 0); // nothing there to lose
        }
        LookupResult lookup = LookupRingFile(dir_->path(), "A", "1.1.1.1", table);
        QCOMPARE(lookup.ringFile, QString());
        QCOMPARE(NumberOf(lookup.failure), err::FileNotFound);

        // A folder where the file should be is a failure too, not a crash or a hang.
        QVERIFY(QDir(dir_->path()).mkdir(kPhoneBookFile));
        QVERIFY(NumberOf(LoadPhoneBook(dir_->path()).failure) != 0);
        QCOMPARE(LoadPhoneBook(dir_->path()).lineNotHeld, 1);
        lookup = LookupRingFile(dir_->path(), "A", "1.1.1.1", table);
        QVERIFY(lookup.failure);
        QCOMPARE(lookup.ringFile, QString());
        QVERIFY(QDir(dir_->path()).rmdir(kPhoneBookFile));
    }

    void lookupRingFile()
    {
        QStringList lines;
        for (int n = 1; n <= 60; ++n)
            lines << Entry(n);
        writeTel(WindowsFile(lines));
        QCOMPARE(LoadPhoneBook(dir_->path()).lines.size(), 60);

        std::array<PhoneBookEntry, kPhoneBookSlots> table {};
        table[0].Name = table[50].Name = QStringLiteral("stale");

        LookupResult r = LookupRingFile(dir_->path(), "Name3", "10.0.0.3", table);
        QCOMPARE(r.ringFile, QStringLiteral("ring3.wav"));
        QCOMPARE(NumberOf(r.failure), 0);
        QCOMPARE(table[3].Stamp, QStringLiteral("10:00:03"));
        QCOMPARE(table[1].Address, QStringLiteral("10.0.0.1"));
        QVERIFY(table[0].Name.isEmpty());
        QVERIFY(table[4].Name.isEmpty()); // stopped at the match
        QVERIFY(table[50].Name.isEmpty());

        QCOMPARE(LookupRingFile(dir_->path(), "Name50", "10.0.0.50", table).ringFile,
            QStringLiteral("ring50.wav"));
        r = LookupRingFile(dir_->path(), "Name55", "10.0.0.55", table);
        QCOMPARE(r.ringFile, kDefaultRingFile);
        QCOMPARE(NumberOf(r.failure), 0);
        QCOMPARE(table[50].Name, QStringLiteral("Name50"));

        // Both name and address must match exactly.
        QCOMPARE(LookupRingFile(dir_->path(), "Name3", "10.0.0.4", table).ringFile, kDefaultRingFile);
        QCOMPARE(LookupRingFile(dir_->path(), "Name4", "10.0.0.3", table).ringFile, kDefaultRingFile);
        QCOMPARE(LookupRingFile(dir_->path(), "name3", "10.0.0.3", table).ringFile, kDefaultRingFile);

        // Data ending inside a record is silent; a short record before a match fails.
        writeTel("1 A 1.1.1.1 a.wav 1:00\r\n2 ");
        r = LookupRingFile(dir_->path(), "B", "2.2.2.2", table);
        QCOMPARE(r.ringFile, kDefaultRingFile);
        QCOMPARE(NumberOf(r.failure), 0);
        writeTel("1 A 1.1.1.1 a.wav 1:00\r\n2 B 2.2.2.2\r\n3 C 3.3.3.3 c.wav 3:00\r\n");
        QCOMPARE(LookupRingFile(dir_->path(), "A", "1.1.1.1", table).ringFile, QStringLiteral("a.wav"));
        r = LookupRingFile(dir_->path(), "C", "3.3.3.3", table);
        QCOMPARE(r.ringFile, QString());
        QCOMPARE(NumberOf(r.failure), err::SubscriptOutOfRange);
        QCOMPARE(r.failure->description, RuntimeErrorDescription(err::SubscriptOutOfRange));
    }

    void profileFieldRule()
    {
        // A comma in the comment makes the rest of line 1 the server address.
        writeName("Taro,M,20,pw,a,b\r\nserver.example\r\n");
        QCOMPARE(ReadServerAddress(dir_->path()).address, QStringLiteral("b"));
        ProfileFieldsResult all = LoadProfileFields(dir_->path());
        QCOMPARE(all.fields.comment, QStringLiteral("a"));
        QCOMPARE(all.fields.server, QStringLiteral("b"));

        // Leading spaces are skipped, bare LF accepted, an empty second line is an empty address.
        writeName("  Taro, M,20,  pw,hello there\n\n");
        all = LoadProfileFields(dir_->path());
        QCOMPARE(all.fieldsRead, 6);
        QCOMPARE(NumberOf(all.failure), 0);
        QCOMPARE(QStringList({ all.fields.name, all.fields.sex, all.fields.pass, all.fields.comment }),
            QStringList({ "Taro", "M", "pw", "hello there" }));
        ServerAddressResult server = ReadServerAddress(dir_->path());
        QCOMPARE(server.address, QString());
        QCOMPARE(NumberOf(server.failure), 0);

        // Only line 1: everything but the address, without a failure.
        writeName("Taro,M,20,pw,hi\r\n");
        all = LoadProfileFields(dir_->path());
        QCOMPARE(all.fieldsRead, 5);
        QCOMPARE(NumberOf(all.failure), 0);
        server = ReadServerAddress(dir_->path());
        QCOMPARE(server.address, QString());
        QCOMPARE(NumberOf(server.failure), 0);

        // Short profile: the fields that are there, the rest empty.
        writeName("Hana,F");
        const ProfileFields five = LoadProfile(dir_->path(), kProfileFile);
        QCOMPARE(QStringList({ five.name, five.sex, five.age, five.pass, five.comment }),
            QStringList({ "Hana", "F", "", "", "" }));
        QCOMPARE(LoadProfileFields(dir_->path()).fieldsRead, 2);
        QCOMPARE(ReadOwnName(dir_->path(), kProfileFile), QStringLiteral("Hana"));

        // Empty file: nothing to read, and no failure number either.
        writeName("");
        QCOMPARE(ReadOwnName(dir_->path(), kProfileFile), kOwnNameUnreadable);
        all = LoadProfileFields(dir_->path());
        QCOMPARE(all.fieldsRead, 0);
        QCOMPARE(NumberOf(all.failure), 0);

        // Missing file.
        QVERIFY(QFile::remove(namePath()));
        QCOMPARE(ReadOwnName(dir_->path(), kProfileFile), kOwnNameUnreadable);
        server = ReadServerAddress(dir_->path());
        QCOMPARE(server.address, QString());
        QCOMPARE(NumberOf(server.failure), err::FileNotFound);
        all = LoadProfileFields(dir_->path());
        QCOMPARE(NumberOf(all.failure), err::FileNotFound);
        QCOMPARE(all.fieldsRead, 0);
        const ProfileFields none = LoadProfile(dir_->path(), kProfileFile);
        QVERIFY(none.name.isEmpty() && none.sex.isEmpty() && none.age.isEmpty() && none.pass.isEmpty()
            && none.comment.isEmpty());
    }

    void failedSaveKeepsOldFile()
    {
        const QByteArray oldBook("1 Old 1.1.1.1 Ring.wav 1:00\r\n");
        const QByteArray oldProfile("Old,M,1,p,c\r\nsrv\r\n");
        writeTel(oldBook);
        writeName(oldProfile);

        // The staging file cannot be created: a folder stands in its way.
        QVERIFY(QDir().mkpath(SaveTempPath(dir_->path(), kPhoneBookFile)));
        QVERIFY(QDir().mkpath(SaveTempPath(dir_->path(), kProfileFile)));
        std::optional<QString> reason
            = SavePhoneBook(dir_->path(), { QStringLiteral("1 New 2.2.2.2 Ring.wav 2:00") });
        QVERIFY(reason);
        QVERIFY(reason->startsWith(QStringLiteral("Tel.txt を保存できませんでした。")));
        QCOMPARE(ReadBytes(telPath()), oldBook);
        reason = SaveProfile(dir_->path(), { "New", "F", "2", "q", "d", "srv2" });
        QVERIFY(reason);
        QVERIFY(reason->startsWith(QStringLiteral("name.txt を保存できませんでした。")));
        QCOMPARE(ReadBytes(namePath()), oldProfile);
        QVERIFY(QDir().rmdir(SaveTempPath(dir_->path(), kPhoneBookFile)));
        QVERIFY(QDir().rmdir(SaveTempPath(dir_->path(), kProfileFile)));

        // A stale staging file from an earlier crash does not get in the way.
        WriteBytes(
            SaveTempPath(dir_->path(), kPhoneBookFile), "junk that is longer than the new content\r\n");
        QCOMPARE(
            SavePhoneBook(dir_->path(), { QStringLiteral("1 New 2.2.2.2 Ring.wav 2:00") }), std::nullopt);
        QCOMPARE(ReadBytes(telPath()), QByteArray("1 New 2.2.2.2 Ring.wav 2:00\r\n"));
        QVERIFY(!QFile::exists(SaveTempPath(dir_->path(), kPhoneBookFile)));

        // The rename fails (a non-empty folder holds the name): the staged file is cleaned up.
        QVERIFY(QFile::remove(telPath()));
        QVERIFY(QDir(dir_->path()).mkpath(kPhoneBookFile + QStringLiteral("/keep")));
        QVERIFY(SavePhoneBook(dir_->path(), { QStringLiteral("1 X 3.3.3.3 Ring.wav 3:00") }));
        QVERIFY(!QFile::exists(SaveTempPath(dir_->path(), kPhoneBookFile)));
        QVERIFY(QFileInfo(telPath() + QStringLiteral("/keep")).isDir());
        QVERIFY(QDir(telPath()).removeRecursively());

        // The folder itself is gone.
        const QString gone = dir_->filePath(QStringLiteral("gone"));
        reason = SaveProfile(gone, { "A", "", "", "", "", "" });
        QVERIFY(reason);
        QVERIFY(reason->contains(RuntimeErrorDescription(err::FileNotFound)));
        QVERIFY(!QFileInfo::exists(gone));
    }

    // A user who keeps the files elsewhere links to them; a save must update
    // the file behind the link, not put a plain file in the link's place.
    void savesKeepSymbolicLinks()
    {
        const QString elsewhere = dir_->filePath(QStringLiteral("elsewhere"));
        QVERIFY(QDir().mkpath(elsewhere + QStringLiteral("/sub")));
        const QString book = elsewhere + QStringLiteral("/sub/book.txt");
        const QString profile = elsewhere + QStringLiteral("/profile.txt");
        WriteBytes(book, "1 Old 1.1.1.1 Ring.wav 1:00\r\n");
        WriteBytes(profile, "Old,M,1,p,c\r\nsrv\r\n");
        QVERIFY(QFile::setPermissions(book, QFile::ReadOwner | QFile::WriteOwner));
        const QFile::Permissions bookPermissions = QFile::permissions(book);
        // One absolute link, and a relative link to a relative link.
        QVERIFY(QFile::link(book, telPath()));
        QVERIFY(QFile::link(QStringLiteral("profile.txt"), elsewhere + QStringLiteral("/p2.txt")));
        QVERIFY(QFile::link(QStringLiteral("elsewhere/p2.txt"), namePath()));

        QCOMPARE(
            SavePhoneBook(dir_->path(), { QStringLiteral("1 New 2.2.2.2 Ring.wav 2:00") }), std::nullopt);
        QCOMPARE(SaveProfile(dir_->path(), { "New", "F", "2", "q", "d", "srv2" }), std::nullopt);
        QCOMPARE(QFileInfo(telPath()).symLinkTarget(), book);
        QVERIFY(QFileInfo(namePath()).isSymLink());
        QVERIFY(QFileInfo(elsewhere + QStringLiteral("/p2.txt")).isSymLink());
        QCOMPARE(ReadBytes(book), QByteArray("1 New 2.2.2.2 Ring.wav 2:00\r\n"));
        QCOMPARE(ReadBytes(profile), QByteArray("New,F,2,q,d\r\nsrv2\r\n"));
        QCOMPARE(QFile::permissions(book), bookPermissions);
        QCOMPARE(QDir(dir_->path()).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 2);
        QCOMPARE(QDir(elsewhere).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 2);

        // A plain file stays a plain file.
        QVERIFY(QFile::remove(telPath()));
        WriteBytes(telPath(), "1 Old 1.1.1.1 Ring.wav 1:00\r\n");
        QCOMPARE(
            SavePhoneBook(dir_->path(), { QStringLiteral("1 Plain 3.3.3.3 Ring.wav 3:00") }), std::nullopt);
        QVERIFY(!QFileInfo(telPath()).isSymLink());
        QCOMPARE(ReadBytes(telPath()), QByteArray("1 Plain 3.3.3.3 Ring.wav 3:00\r\n"));
        QCOMPARE(ReadBytes(book), QByteArray("1 New 2.2.2.2 Ring.wav 2:00\r\n"));

        // A link that loops is refused, and nothing is written.
        QVERIFY(QFile::remove(telPath()));
        QVERIFY(QFile::link(QStringLiteral("Tel.txt"), telPath()));
        QVERIFY(SavePhoneBook(dir_->path(), { QStringLiteral("1 X 4.4.4.4 Ring.wav 4:00") }));
        QVERIFY(QFileInfo(telPath()).isSymLink());
    }

    void garbageInputIsHandled_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QByteArray everyByte;
        for (int i = 0; i < 4096; ++i)
            everyByte += char(i % 256);
        QByteArray random(300 * 1024, Qt::Uninitialized);
        QRandomGenerator gen(20240611);
        for (char& c : random)
            c = char(gen.bounded(256));
        QTest::newRow("every byte") << everyByte;
        QTest::newRow("random") << random;
        QTest::newRow("NULs, no line end") << QByteArray(200 * 1024, '\0');
        QTest::newRow("one huge line") << QByteArray(kMaxDataFileBytes, 'x');
        QTest::newRow("commas") << QByteArray(100 * 1024, ',');
        QTest::newRow("spaces") << QByteArray(100 * 1024, ' ');
        QTest::newRow("bare CRs") << QByteArray(100 * 1024, '\r');
        QTest::newRow("lead bytes") << QByteArray(100 * 1024, '\x81');
        QTest::newRow("numbers only") << QByteArray("1 \r\n2,3 4\r\n5 \r\n");
    }
    void garbageInputIsHandled()
    {
        QFETCH(QByteArray, bytes);
        writeTel(bytes);
        writeName(bytes);
        const qsizetype delimiters = bytes.count(',') + bytes.count('\n') + bytes.count('\r') + 1;

        for (const LinesResult& r : { LoadPhoneBook(dir_->path()), LoadDialList(dir_->path()) }) {
            QVERIFY(r.lines.size() <= delimiters);
            for (qsizetype i = 0; i < r.lines.size(); ++i)
                QVERIFY(r.lines[i].startsWith(QString::number(i + 1) + u' '));
            if (r.failure)
                QCOMPARE(r.failure->description, RuntimeErrorDescription(r.failure->number));
        }
        std::array<PhoneBookEntry, kPhoneBookSlots> table {};
        const LookupResult lookup = LookupRingFile(dir_->path(), "\x01nobody", "0.0.0.0", table);
        QVERIFY(lookup.failure.has_value() != (lookup.ringFile == kDefaultRingFile));

        const ProfileFieldsResult profile = LoadProfileFields(dir_->path());
        QVERIFY(profile.fieldsRead >= 0 && profile.fieldsRead <= 6);
        QVERIFY(!ReadOwnName(dir_->path(), kProfileFile).isNull());
        const ServerAddressResult server = ReadServerAddress(dir_->path());
        QVERIFY(!server.failure || server.address.isEmpty());
        LoadProfile(dir_->path(), kProfileFile);
    }

    void oversizedFilesAreRefused()
    {
        QByteArray big;
        while (big.size() <= kMaxDataFileBytes)
            big += "1 A 1.1.1.1 a.wav 1:00\r\n";
        writeTel(big);
        writeName(big);

        const LinesResult book = LoadPhoneBook(dir_->path());
        QVERIFY(book.lines.isEmpty());
        QCOMPARE(NumberOf(book.failure), err::Overflow);
        QCOMPARE(book.lineNotHeld, 1);
        std::array<PhoneBookEntry, kPhoneBookSlots> table {};
        const LookupResult lookup = LookupRingFile(dir_->path(), "A", "1.1.1.1", table);
        QCOMPARE(lookup.ringFile, QString());
        QCOMPARE(NumberOf(lookup.failure), err::Overflow);

        QCOMPARE(ReadOwnName(dir_->path(), kProfileFile), kOwnNameUnreadable);
        QCOMPARE(NumberOf(ReadServerAddress(dir_->path()).failure), err::Overflow);
        QCOMPARE(LoadProfile(dir_->path(), kProfileFile).name, QString());
    }
};

QTEST_GUILESS_MAIN(PhoneBookFilesTest)
#include "phone_book_files_test.moc"
