// A save killed at any moment (power cut, kill -9) leaves the old or the new
// Tel.txt and name.txt, never a truncated or mixed one, and the next save works.

#include "phonebook/phone_book_files.h"
#include "support/test_support.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

using namespace voxlet;
using namespace voxlet::test;

namespace {

QStringList Book(int entries, const QString& tag)
{
    QStringList lines;
    for (int i = 1; i <= entries; ++i)
        lines << QStringLiteral("%1 %2名前%1 192.168.%3.%1 Ring.wav 21:07:45")
                     .arg(i)
                     .arg(tag)
                     .arg(entries % 250);
    return lines;
}

files::ProfileFields Profile(const QString& tag, int commentLength)
{
    return { tag + QStringLiteral("太郎"), QStringLiteral("男"), QStringLiteral("30"), QStringLiteral("pass"),
        QString(commentLength, QChar(0x3042)), QStringLiteral("server.example") };
}

struct Version {
    QStringList book;
    files::ProfileFields profile;
    QByteArray bookBytes, profileBytes; // as a save writes them
};

Version MakeVersion(const QStringList& book, const files::ProfileFields& profile)
{
    QTemporaryDir dir;
    files::SavePhoneBook(dir.path(), book);
    files::SaveProfile(dir.path(), profile);
    return { book, profile, ReadBytes(files::DataPath(dir.path(), files::kPhoneBookFile)),
        ReadBytes(files::DataPath(dir.path(), files::kProfileFile)) };
}

} // namespace

class CrashSafeSaveTest : public QObject {
    Q_OBJECT
private slots:
    void killedSavesLeaveOldOrNewFile();
};

void CrashSafeSaveTest::killedSavesLeaveOldOrNewFile()
{
    // A short and a long version: a cut-off long file cannot pass for either.
    const Version small = MakeVersion(Book(1, QStringLiteral("A")), Profile(QStringLiteral("A"), 1));
    const Version large = MakeVersion(Book(50, QStringLiteral("B")), Profile(QStringLiteral("B"), 30));
    QVERIFY(small.bookBytes.size() < large.bookBytes.size() / 10);
    QVERIFY(!small.profileBytes.isEmpty() && small.profileBytes != large.profileBytes);

    QTemporaryDir dir;
    QVERIFY(!files::SavePhoneBook(dir.path(), small.book));
    QVERIFY(!files::SaveProfile(dir.path(), small.profile));

    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    int kills = 0, sawSmall = 0, sawLarge = 0;
    for (; kills < 150; ++kills) {
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            // Saves alternately, as fast as it can, until it is killed.
            for (;;) {
                files::SavePhoneBook(dir.path(), large.book);
                files::SaveProfile(dir.path(), large.profile);
                files::SavePhoneBook(dir.path(), small.book);
                files::SaveProfile(dir.path(), small.profile);
            }
        }
        ::usleep(useconds_t(random.bounded(200, 15000)));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        QVERIFY(WIFSIGNALED(status));

        const QByteArray book = ReadBytes(files::DataPath(dir.path(), files::kPhoneBookFile));
        const QByteArray profile = ReadBytes(files::DataPath(dir.path(), files::kProfileFile));
        QVERIFY2(book == small.bookBytes || book == large.bookBytes,
            qPrintable(QStringLiteral("Tel.txt of %1 bytes after kill %2 (seed %3)")
                           .arg(book.size())
                           .arg(kills)
                           .arg(seed)));
        QVERIFY2(profile == small.profileBytes || profile == large.profileBytes,
            qPrintable(QStringLiteral("name.txt of %1 bytes after kill %2 (seed %3)")
                           .arg(profile.size())
                           .arg(kills)
                           .arg(seed)));
        (book == small.bookBytes ? sawSmall : sawLarge) += 1;
        // The readers see a whole phone book.
        const files::LinesResult loaded = files::LoadPhoneBook(dir.path());
        QVERIFY(!loaded.failure);
        QVERIFY(loaded.lines.size() == 1 || loaded.lines.size() == 50);
    }

    // Whatever the killed saves left behind, the next save and read work.
    const QStringList strays = QDir(dir.path()).entryList({ QStringLiteral("*.tmp") }, QDir::Files);
    QVERIFY(!files::SavePhoneBook(dir.path(), Book(3, QStringLiteral("C"))));
    QVERIFY(!files::SaveProfile(dir.path(), Profile(QStringLiteral("C"), 5)));
    QCOMPARE(files::LoadPhoneBook(dir.path()).lines, Book(3, QStringLiteral("C")));
    QCOMPARE(files::ReadOwnName(dir.path(), files::kProfileFile), QStringLiteral("C太郎"));
    // ... and clear away what the killed saves left.
    QCOMPARE(QDir(dir.path()).entryList({ QStringLiteral("*.tmp") }, QDir::Files), QStringList());
    std::printf(
        "%d saves killed (seed %u): the short version %d times, the long one %d times, never a cut file; "
        "%d temporary files left by killed saves\n",
        kills, seed, sawSmall, sawLarge, int(strays.size()));
}

QTEST_GUILESS_MAIN(CrashSafeSaveTest)
#include "crash_safe_save_test.moc"
