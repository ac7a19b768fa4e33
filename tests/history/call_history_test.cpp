// The calls the phone keeps: each way a call ends, as it ends, and the
// file they live in.

#include "history/history_window.h"
#include "support/call_bench.h"
#include "support/test_phone.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>

using namespace voxlet;
using namespace voxlet::history;
using namespace voxlet::test;

class CallHistoryTest : public QObject {
    Q_OBJECT
private slots:
    void callsAreRecordedAsTheyEnd();
    void thePhonesOwnEndingsAreRecorded();
    void aFloodKeepsTheRealCalls();
    void theFileKeepsWhatANameHoldsAndSurvivesDamage();
    void theWindowCallsBackAndClearsAfterAsking();
};

namespace {
// The lines of the file, but for their times.
QStringList Lines(const CallHistory& h)
{
    QStringList lines = QString::fromUtf8(FormatHistory(h.calls())).split(u'\n', Qt::SkipEmptyParts).mid(1);
    for (QString& line : lines)
        line = line.section(u'\t', 1).replace(u'\t', u' ');
    return lines;
}

CallRecord Missed(const QDateTime& at, const QString& address, const QString& name = {})
{
    return { at, Direction::Incoming, Outcome::Unanswered, 0, Protection::Plain, 1, name, address };
}
} // namespace

void CallHistoryTest::callsAreRecordedAsTheyEnd()
{
    CallBench b;
    // A caller who hangs up while it rings; one who never said a word is no call.
    b.closed(b.accept(QStringLiteral("192.0.2.6")));
    int s = b.accept(QStringLiteral("192.0.2.7"));
    b.read(s, QStringLiteral("VOICEMSG:OK|Bob|END"));
    b.now = b.now.addSecs(20);
    b.closed(s);
    // Our dial answered, 65 s of talk; a second caller meanwhile is turned away.
    b.dial(QStringLiteral("192.0.2.9"));
    s = b.st.CallSocket;
    b.connected(s);
    b.read(s, QStringLiteral("VOICEMSG:OK"));
    b.read(s, QStringLiteral("CallAnswer|END"));
    b.now = b.now.addSecs(5);
    b.accept(QStringLiteral("192.0.2.8"));
    b.now = b.now.addSecs(60);
    b.closed(s);
    // A dial overtaken by a caller ends unanswered.
    b.dial(QStringLiteral("192.0.2.10"));
    b.closed(b.accept(QStringLiteral("192.0.2.11")));
    QCOMPARE(Lines(b.history),
        (QStringList { "in unanswered 0 plain 1 Bob 192.0.2.7", "out answered 65 plain 1  192.0.2.9",
            "in busy 0 plain 1  192.0.2.8", "out unanswered 0 plain 1  192.0.2.10" }));
    QCOMPARE(b.history.calls().at(1).at, b.now.addSecs(-65));
}

void CallHistoryTest::thePhonesOwnEndingsAreRecorded()
{
    TestPhone a(LoopbackAddress(61), QStringLiteral("Alice"), Start::Listening);
    const QString nobody = LoopbackAddress(62);
    a.writePhoneBook({ QStringLiteral("1 Bob %1 Ring.wav 10:00:00").arg(nobody) });
    // Not found by the connect time-out; then hung up by the exit.
    QVERIFY(a.phone->CallBack(nobody));
    a.phone->Timer2_Timer();
    a.phone->Timer2_Timer();
    // The search window's own hang-up.
    a.phone->st.WaitingUsers[1] = { QStringLiteral("Dora"), nobody, {}, {} };
    a.phone->search.SelectedUser = 1;
    a.phone->search.mnu_CALL_Click();
    a.phone->search.mnu_CLOSE_Click();
    QVERIFY(a.phone->CallBack(nobody));
    a.phone->ThisExit();
    const QString line = QStringLiteral("out unanswered 0 plain 1 %1 ") + nobody;
    QCOMPARE(Lines(a.phone->history), (QStringList { line.arg("Bob"), line.arg("Dora"), line.arg("Bob") }));
}

void CallHistoryTest::aFloodKeepsTheRealCalls()
{
    QDateTime now = QDateTime::currentDateTimeUtc();
    CallHistory h(QString(), [&] { return now; });
    // One line per caller a minute, an IPv6 home by its /64, however often it calls.
    for (const char* from : { "192.0.2.1", "2001:db8:1:2::1", "192.0.2.1", "2001:db8:1:2:ff::9" })
        h.Add(Missed(now, QLatin1String(from)));
    h.Add(Missed(now.addSecs(61), QStringLiteral("192.0.2.1")));
    QCOMPARE(Lines(h),
        (QStringList { "in unanswered 0 plain 2  192.0.2.1", "in unanswered 0 plain 2  2001:db8:1:2::1",
            "in unanswered 0 plain 1  192.0.2.1" }));
    // Refusals from a thousand addresses leave room for the rest; the oldest go first.
    for (int i = 0; i < 600; ++i)
        h.Add({ now.addSecs(100 + i), Direction::Outgoing, Outcome::Answered, i, Protection::Plain, 1, {},
            {} });
    for (int i = 0; i < 1000; ++i)
        h.Add({ now.addSecs(700), Direction::Incoming, Outcome::TooOften, 0, Protection::Plain, 1, {},
            QStringLiteral("10.0.%1.%2").arg(i / 250).arg(i % 250) });
    QCOMPARE(h.calls().first().seconds, 600 - (CallHistory::kMaxCalls - CallHistory::kMaxRefused));
    QCOMPARE(h.calls().last().address, QStringLiteral("10.0.3.249"));
}

void CallHistoryTest::theFileKeepsWhatANameHoldsAndSurvivesDamage()
{
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/history");
    CallRecord odd
        = Missed(QDateTime::fromSecsSinceEpoch(1714558953, QTimeZone::utc()), "fd00::2", "太郎\t%41\n\r\\");
    odd.protection = Protection::Confirmed;
    CallHistory(dir.path()).Add(odd);
    QCOMPARE(CallHistory(dir.path()).calls(), QList<CallRecord> { odd });
    // Damaged: an empty history, said once; the damage is kept beside it.
    const QByteArray damaged = ReadBytes(path).replace("\tin\t", "\tsideways\t");
    WriteBytes(path, damaged);
    CallHistory h(dir.path());
    QVERIFY(h.calls().isEmpty());
    QVERIFY(h.problem().contains(QStringLiteral("壊れている")));
    h.Add(odd);
    QCOMPARE(ReadBytes(path + QStringLiteral(".damaged")), damaged);
    QCOMPARE(CallHistory(dir.path()).calls().size(), 1);
    // Unreadable (too large to be ours): nothing written over it.
    const QByteArray huge(4 * 1024 * 1024 + 1, 'x');
    WriteBytes(path, huge);
    CallHistory(dir.path()).Add(odd);
    QCOMPARE(ReadBytes(path), huge);
}

void CallHistoryTest::theWindowCallsBackAndClearsAfterAsking()
{
    CallHistory h { QString() };
    RecordingMessageBox boxes;
    HistoryWindow w(h, boxes);
    const QDateTime at = QDateTime::currentDateTimeUtc();
    const CallRecord bob = Missed(at, QStringLiteral("192.0.2.1"), QStringLiteral("Bob"));
    h.Add(bob);
    h.Add({ at.addSecs(60), Direction::Outgoing, Outcome::Answered, 3725, Protection::Encrypted, 1, "Carol",
        "fd00::3" });
    QCOMPARE(w.rows().first().mid(1), (QStringList { "発信", "Carol", "fd00::3", "1:02:05", "暗号化" }));
    QCOMPARE(
        w.rows().last().mid(1), (QStringList { "不在着信", "Bob", "192.0.2.1", "応答なし", "暗号化なし" }));
    // The chosen row is dialled, and the window closes; not while the line is taken.
    QStringList dialled;
    bool lineFree = false;
    w.onCall = [&](const QString& address) {
        dialled << address;
        return lineFree;
    };
    QSignalSpy closing(&w, &HistoryWindow::closeRequested);
    w.Choose(1);
    w.CallChosen();
    QCOMPARE(w.status(), QStringLiteral("通話中はかけられません。"));
    lineFree = true;
    w.CallChosen();
    QCOMPARE(dialled, (QStringList { "192.0.2.1", "192.0.2.1" }));
    QCOMPARE(closing.size(), 1);
    // A new call moves the rows under the choice: nothing stays chosen.
    h.Add(bob);
    QVERIFY(!w.callEnabled());
    // "消去" only once the user said yes.
    w.ClearAll();
    QCOMPARE(h.calls().size(), 2);
    boxes.yes = true;
    w.ClearAll();
    QCOMPARE(boxes.questions.size(), 2);
    QVERIFY(h.calls().isEmpty());
}

QTEST_GUILESS_MAIN(CallHistoryTest)
#include "call_history_test.moc"
