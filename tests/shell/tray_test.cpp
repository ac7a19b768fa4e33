// The tray: hiding the window, the icon and its pop-up, and how incoming
// calls bring the window back and send it away again. Calls are real, between
// two phones on loopback; the main window is a recording fake or the real one
// offscreen with the real QSystemTrayIcon adapter.

#include "net/address.h"
#include "phonebook/phone_book_files.h"
#include "shell/qt/main_form.h"
#include "shell/qt/qt_tray.h"
#include "support/test_phone.h"

#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

using namespace voxlet;
using namespace voxlet::test;

namespace {

const QString kTip = QStringLiteral("Sonavi1.00-0");

void Dial(TestPhone& from, const QString& to)
{
    from.main.setComboText(QStringLiteral("1 Friend ") + to);
    from.phone->CLIBTN_Click();
}

bool CallerHearsRingBack(const TestPhone& caller)
{
    return caller.phone->ringingFile() == QLatin1String("Ans.wav");
}

// The three states of the window with respect to the tray.
enum class TrayState { Shown, InTray, ShownForCall, Other };

TrayState StateOf(const TestPhone& p)
{
    const bool icon = p.phone->st.TrayIconShown, inTray = p.phone->st.InTray;
    const bool visible = p.main.isWindowVisible();
    if (!icon && !inTray && visible && !p.tray.shown)
        return TrayState::Shown;
    if (icon && inTray && !visible && p.tray.shown)
        return TrayState::InTray;
    if (!icon && inTray && visible && !p.tray.shown)
        return TrayState::ShownForCall;
    return TrayState::Other;
}

// A phone on the real main window and the real tray adapter (offscreen).
struct RealWindowPhone {
    QTemporaryDir dir;
    MainForm form;
    RecordingMessageBox boxes;
    QtTray tray;
    FakeCaptureDevice capture;
    FakePlaybackDevice playback;
    FakeSoundPlayerFactory sounds;
    std::unique_ptr<Phone> phone;
    QString address;
    bool exposed = false;

    explicit RealWindowPhone(const QString& addr)
        : address(addr)
    {
        files::SavePhoneBook(dir.path(), {});
        const PhoneOptions options = LoopbackPhoneOptions(dir.path(), addr, 5);
        phone = std::make_unique<Phone>(options, PhonePorts { form, boxes, tray, capture, playback, sounds });
        form.attach(phone.get(), &boxes);
        // As on a desktop with a tray host; offscreen has none.
        form.setTrayAvailability([] { return true; });
        tray.attach(phone.get());
        phone->Form_Load();
        form.show();
        exposed = QTest::qWaitForWindowExposed(&form);
    }
    ~RealWindowPhone()
    {
        form.trayMenu()->hide();
        if (!phone->exited())
            phone->ThisExit();
    }
    void trigger(Control c) { form.action(c)->trigger(); }
    void click(QSystemTrayIcon::ActivationReason reason) { emit tray.icon().activated(reason); }
};

} // namespace

class TrayTest : public QObject {
    Q_OBJECT
private slots:
    void trayMenuNeedsListening();
    void hideShowAndPopUpOnlyOnLeftButton();
    void unansweredCallSendsWindowBackToTray();
    void answeredCallKeepsWindowShown();
    void hidingDuringACallKeepsTheCall();
    void exitFromPopUpDeletesIconAndEnds();
    void exitButtonLeavesTrayAlone();

    void realWindowHidesAndShowsIcon();
    void realIconPopsUpOnlyOnLeftClick();
    void realPopUpExitRemovesIconBeforeUnload();
    void realWindowComesBackForACall();
};

void TrayTest::trayMenuNeedsListening()
{
    TestPhone a(LoopbackAddress(2));
    a.phone->Form_Load();
    a.phone->Form_Activate();
    QVERIFY(!a.main.isEnabled(Control::mnu_Tray));
    a.phone->mnu_SERVER_Click();
    QVERIFY(a.main.isEnabled(Control::mnu_Tray));
    QCOMPARE(StateOf(a), TrayState::Shown);
    QCOMPARE(a.tray.adds, 0); // start-up creates no icon
}

void TrayTest::hideShowAndPopUpOnlyOnLeftButton()
{
    TestPhone a(LoopbackAddress(3));
    a.startAndListen();
    const QPoint at(1000, 750);

    // Shown: a mouse event while there is no icon does nothing.
    a.phone->TrayMouseEvent(true, at);
    QCOMPARE(a.main.popups, 0);

    a.phone->mnu_Tray_Click();
    QCOMPARE(StateOf(a), TrayState::InTray);
    QCOMPARE(a.tray.tooltip, kTip);
    QCOMPARE(a.tray.adds, 1);
    QVERIFY(a.phone->st.ListenSocket != 0); // still listening while hidden

    a.phone->TrayMouseEvent(false, at); // right button, double click, ...
    QCOMPARE(a.main.popups, 0);
    a.phone->TrayMouseEvent(true, at);
    QCOMPARE(a.main.popups, 1);

    a.phone->mnu_Disp_Click();
    QCOMPARE(StateOf(a), TrayState::Shown);
    QCOMPARE(a.tray.deletes, 1);
    a.phone->TrayMouseEvent(true, at);
    QCOMPARE(a.main.popups, 1);

    // And back again: the cycle repeats.
    a.phone->mnu_Tray_Click();
    QCOMPARE(StateOf(a), TrayState::InTray);
    QCOMPARE(a.tray.adds, 2);
}

void TrayTest::unansweredCallSendsWindowBackToTray()
{
    TestPhone a(LoopbackAddress(4), QStringLiteral("Alice"), Start::Listening);
    TestPhone b(LoopbackAddress(5), QStringLiteral("Bob"), Start::Listening);
    a.phone->mnu_Tray_Click();
    QCOMPARE(StateOf(a), TrayState::InTray);

    TrayState whileRinging = TrayState::Other;
    bool noticed = false;
    Script s;
    s.then([&] { Dial(b, a.address); })
        .when([&] { return CallerHearsRingBack(b) && !a.phone->ringingFile().isEmpty(); },
            [&] {
                whileRinging = StateOf(a);
                QCOMPARE(a.main.text1(), QStringLiteral("Bobさんからの電話です。"));
                // The desktop notice adds to the ring: the way to the call without a window.
                noticed = a.notifier.shown && a.notifier.incoming == a.main.text1();
                b.phone->Command1_Click(); // the caller gives up
            });
    QVERIFY(WaitFor([&] { return s.done(); }));
    QCOMPARE(whileRinging, TrayState::ShownForCall);
    QVERIFY(noticed);
    QVERIFY(WaitFor([&] { return a.main.text1() == QStringLiteral("次の接続を待機します。"); }));
    QVERIFY(WaitFor([&] { return !a.notifier.shown; }));
    QCOMPARE(a.notifier.missed.size(), 1);
    QVERIFY(a.notifier.missed.first().startsWith(QStringLiteral("Bob ")));
    QCOMPARE(StateOf(a), TrayState::InTray);
    QCOMPARE(a.tray.adds, 2);
    QCOMPARE(a.tray.deletes, 1);
    QCOMPARE(a.tray.tooltip, kTip);
    QVERIFY(a.boxes.boxes.isEmpty());
}

void TrayTest::answeredCallKeepsWindowShown()
{
    TestPhone a(LoopbackAddress(6), QStringLiteral("Alice"), Start::Listening);
    TestPhone b(LoopbackAddress(7), QStringLiteral("Bob"), Start::Listening);
    a.phone->mnu_Tray_Click();

    TrayState whileRinging = TrayState::Other, whileTalking = TrayState::Other;
    Script s;
    s.then([&] { Dial(b, a.address); })
        .when([&] { return CallerHearsRingBack(b) && !a.phone->ringingFile().isEmpty(); },
            [&] {
                whileRinging = StateOf(a);
                QVERIFY(a.notifier.shown);
                a.notifier.onAnswer(); // "応答" on the desktop notice
            })
        .when([&] { return a.phone->st.VoiceMode && b.phone->st.VoiceMode; },
            [&] {
                whileTalking = StateOf(a);
                b.phone->Command1_Click();
            });
    QVERIFY(WaitFor([&] { return s.done(); }));
    QCOMPARE(whileRinging, TrayState::ShownForCall);
    QCOMPARE(whileTalking, TrayState::Shown);
    QVERIFY(!a.notifier.shown);
    QVERIFY(a.notifier.missed.isEmpty());
    QVERIFY(WaitFor([&] { return a.main.text1() == QStringLiteral("次の接続を待機します。"); }));
    QCOMPARE(StateOf(a), TrayState::Shown);
    QCOMPARE(a.tray.adds, 1);
}

void TrayTest::hidingDuringACallKeepsTheCall()
{
    TestPhone a(LoopbackAddress(8), QStringLiteral("Alice"), Start::Listening);
    TestPhone b(LoopbackAddress(9), QStringLiteral("Bob"), Start::Listening);
    QVERIFY(EstablishCall(*b.phone, b.main, *a.phone, a.address));

    a.phone->mnu_Tray_Click();
    QCOMPARE(StateOf(a), TrayState::InTray);
    QByteArray block(kVoiceBlockBytes, 0);
    for (int i = 0; i < block.size(); ++i)
        block[i] = char(i % 11);
    QVERIFY(b.capture.produce(block));
    QVERIFY(a.capture.produce(block));
    QVERIFY(WaitFor([&] { return a.playback.written.size() == 1 && b.playback.written.size() == 1; }));
    QCOMPARE(a.playback.written[0], block);
    QCOMPARE(b.playback.written[0], block);

    // The caller hangs up: the hidden window stays in the tray with its icon.
    b.phone->Command1_Click();
    QVERIFY(WaitFor([&] { return a.main.text1() == QStringLiteral("次の接続を待機します。"); }));
    QCOMPARE(StateOf(a), TrayState::InTray);
    QVERIFY(a.tray.shown);
}

void TrayTest::exitFromPopUpDeletesIconAndEnds()
{
    TestPhone a(LoopbackAddress(10));
    a.startAndListen();
    a.phone->mnu_Tray_Click();
    a.phone->TrayMouseEvent(true, QPoint(5, 5));
    QCOMPARE(a.main.popups, 1);
    a.phone->mnu_END_Click();
    QVERIFY(!a.tray.shown);
    QCOMPARE(a.tray.deletes, 1);
    QVERIFY(a.main.unloaded);
    QVERIFY(a.phone->exited());
    QCOMPARE(a.phone->st.ListenSocket, 0);
    QCOMPARE(a.phone->st.MainWindowHandle, 0u);
}

void TrayTest::exitButtonLeavesTrayAlone()
{
    TestPhone a(LoopbackAddress(11));
    a.startAndListen();
    a.phone->Command1_Click();
    QVERIFY(a.main.unloaded);
    QCOMPARE(a.tray.adds + a.tray.deletes, 0);
}

void TrayTest::realWindowHidesAndShowsIcon()
{
    RealWindowPhone p(LoopbackAddress(12));
    QVERIFY(p.exposed);
    QVERIFY(!p.form.action(Control::mnu_Tray)->isEnabled());
    QVERIFY(!p.tray.icon().isVisible());
    p.trigger(Control::mnu_SERVER);
    QVERIFY(p.form.action(Control::mnu_Tray)->isEnabled());

    p.trigger(Control::mnu_Tray);
    QVERIFY(!p.form.isVisible());
    QVERIFY(p.tray.icon().isVisible());
    QCOMPARE(p.tray.icon().toolTip(), kTip);
    QVERIFY(!p.tray.icon().icon().isNull());

    p.trigger(Control::mnu_Disp);
    QVERIFY(p.form.isVisible());
    QVERIFY(!p.tray.icon().isVisible());
    QVERIFY(!p.phone->st.InTray && !p.phone->st.TrayIconShown);
}

void TrayTest::realIconPopsUpOnlyOnLeftClick()
{
    RealWindowPhone p(LoopbackAddress(13));
    QMenu* menu = p.form.trayMenu();

    // Shown, no icon: even a left click does nothing.
    p.click(QSystemTrayIcon::Trigger);
    QVERIFY(!menu->isVisible());

    p.trigger(Control::mnu_SERVER);
    p.trigger(Control::mnu_Tray);
    for (auto reason :
        { QSystemTrayIcon::Context, QSystemTrayIcon::DoubleClick, QSystemTrayIcon::MiddleClick }) {
        p.click(reason);
        QVERIFY(!menu->isVisible());
    }
    p.click(QSystemTrayIcon::Trigger);
    QVERIFY(WaitFor([&] { return menu->isVisible(); }));

    // "表　示" from the pop-up brings the window back.
    menu->hide();
    p.form.action(Control::mnu_Disp)->trigger();
    QVERIFY(p.form.isVisible());
    QVERIFY(!p.tray.icon().isVisible());
    QVERIFY(!p.phone->st.InTray);
}

void TrayTest::realPopUpExitRemovesIconBeforeUnload()
{
    RealWindowPhone p(LoopbackAddress(14));
    p.trigger(Control::mnu_SERVER);
    p.trigger(Control::mnu_Tray);
    p.click(QSystemTrayIcon::Trigger);
    QVERIFY(WaitFor([&] { return p.form.trayMenu()->isVisible(); }));

    bool iconAtUnload = true;
    QObject::connect(
        &p.form, &MainForm::unloaded, &p.form, [&] { iconAtUnload = p.tray.icon().isVisible(); });
    QSignalSpy unloaded(&p.form, &MainForm::unloaded);
    p.form.trayMenu()->hide();
    p.form.action(Control::mnu_END)->trigger();
    QCOMPARE(unloaded.count(), 1);
    QVERIFY(!iconAtUnload);
    QVERIFY(p.phone->exited());
    QCOMPARE(p.phone->st.ListenSocket, 0);
    QVERIFY(p.boxes.boxes.isEmpty());
}

void TrayTest::realWindowComesBackForACall()
{
    // Offscreen the icon cannot be seen; the window is hidden all the same,
    // and a call is what brings it back.
    RealWindowPhone a(LoopbackAddress(15));
    TestPhone b(LoopbackAddress(16), QStringLiteral("Bob"), Start::Listening);
    a.trigger(Control::mnu_SERVER);
    a.trigger(Control::mnu_Tray);

    bool shownWhileRinging = false, iconWhileRinging = true;
    Script s;
    s.then([&] { Dial(b, a.address); })
        .when([&] { return CallerHearsRingBack(b) && !a.phone->ringingFile().isEmpty(); },
            [&] {
                shownWhileRinging = a.form.isVisible();
                iconWhileRinging = a.tray.icon().isVisible();
                b.phone->Command1_Click();
            });
    QVERIFY(WaitFor([&] { return s.done(); }));
    QVERIFY(shownWhileRinging);
    QVERIFY(!iconWhileRinging);
    QVERIFY(WaitFor([&] { return a.form.text1() == QStringLiteral("次の接続を待機します。"); }));
    QVERIFY(!a.form.isVisible());
    QVERIFY(a.tray.icon().isVisible());
    QCOMPARE(a.tray.icon().toolTip(), kTip);
}

QTEST_MAIN(TrayTest)
#include "tray_test.moc"
