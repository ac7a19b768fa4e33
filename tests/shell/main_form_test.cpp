// The real main window, offscreen: its start state, the close box, the
// version box, the waveform menu, activation and exit.

#include "phonebook/phone_book_files.h"
#include "phonebook/qt/japanese_fonts.h"
#include "shell/phone.h"
#include "shell/qt/main_form.h"
#include "shell/qt/session_end.h"
#include "support/fake_devices.h"
#include "support/fake_windows.h"
#include "support/test_support.h"

#include <QAccessible>
#include <QAction>
#include <QComboBox>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <QTimer>

#include <csignal>
#include <memory>

using namespace voxlet;
using namespace voxlet::test;

namespace {
struct Fixture {
    QTemporaryDir dir;
    MainForm form;
    RecordingMessageBox boxes;
    FakeTray tray;
    FakeCaptureDevice capture;
    FakePlaybackDevice playback;
    FakeSoundPlayerFactory sounds;
    std::unique_ptr<Phone> phone;

    explicit Fixture(const QStringList& phoneBook = {}, bool start = true)
    {
        files::SavePhoneBook(dir.path(), phoneBook);
        PhoneOptions options;
        options.dataDir = dir.path();
        phone = std::make_unique<Phone>(options, PhonePorts { form, boxes, tray, capture, playback, sounds });
        form.attach(phone.get(), &boxes);
        if (!start)
            return;
        phone->Form_Load();
        form.show();
        if (!QTest::qWaitForWindowExposed(&form))
            qWarning("main window not exposed");
        QCoreApplication::processEvents();
    }
    template <typename T> T* child(const char* name) { return form.findChild<T*>(QLatin1String(name)); }
};
} // namespace

class MainFormTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { InstallFontSubstitutions(); }
    void startStateMatchesTheLayout();
    void menuBarHoldsEveryEntryButTheTrayMenu();
    void japaneseFacesAreMappedOntoMincho();
    void closeBoxIsRefusedAndCtrlMMutesDuringACall();
    void versionBox();
    void waveformMenuTogglesCheckAndFlag();
    void activationRecordsRectAndLoadsDialList();
    void waveformIsDrawnGreenOnBlack();
    void exitButtonRunsShutDownAndUnloads();
    void terminationEndsLikeTheTrayExit();
    void terminationDuringStartUpStopsIt();
};

void MainFormTest::startStateMatchesTheLayout()
{
    Fixture f;
    QCOMPARE(f.form.windowTitle(), QStringLiteral("Voxlet "));
    QVERIFY(!f.form.windowIcon().isNull());

    const std::pair<const char*, QString> buttons[] = { { "Command3", QStringLiteral("応答") },
        { "CLIBTN", QStringLiteral("電話する") }, { "Command1", QStringLiteral("終了") } };
    for (const auto& [name, caption] : buttons) {
        auto b = f.child<QPushButton>(name);
        QVERIFY2(b, name);
        QCOMPARE(b->text(), caption);
    }
    // Tab order: Text1, Command1, CLIBTN, Command3, Combo1.
    QWidget* w = f.child<QWidget>("Text1");
    QStringList order;
    for (int i = 0; i < 5; ++i, w = w->nextInFocusChain()) {
        while (w->objectName().isEmpty() || w->objectName() == QLatin1String("qt_spinbox_lineedit"))
            w = w->nextInFocusChain();
        order << w->objectName();
    }
    QCOMPARE(order, (QStringList { "Text1", "Command1", "CLIBTN", "Command3", "Combo1" }));

    QVERIFY(!f.child<QPushButton>("Command3")->isEnabled());
    QVERIFY(f.child<QPushButton>("CLIBTN")->isEnabled());
    QVERIFY(!f.form.action(Control::mnu_Tray)->isEnabled());
    QVERIFY(!f.form.action(Control::mnu_KILLTIMER)->isEnabled());
    QVERIFY(f.form.action(Control::mnu_SERVER)->isEnabled());
    QVERIFY(f.form.action(Control::mnu_Hyouji)->isChecked());
    QVERIFY(f.phone->st.ShowWaveform);
    QVERIFY(f.child<QLineEdit>("Text1")->text().isEmpty());
    QCOMPARE(f.phone->Timer1.interval(), 0);
    QCOMPARE(f.phone->Timer2.interval(), 0);
    QCOMPARE(f.phone->st.ListenSocket, 0); // nobody can call before "SERVER"
    QVERIFY(f.phone->st.MainWindowHandle != 0);
    QVERIFY(f.boxes.boxes.isEmpty());
}

void MainFormTest::menuBarHoldsEveryEntryButTheTrayMenu()
{
    Fixture f;
    QStringList bar;
    for (QAction* a : f.form.menuBar()->actions())
        bar << a->text();
    QCOMPARE(bar,
        (QStringList {
            "SERVER", "トレイ", "設定", "波形", "検索SERVER", "バ－ジョン", "TIMEROFF", "通話", "履歴" }));
    QCOMPARE(f.form.action(Control::mnu_W)->menu()->actions().first()->text(), QStringLiteral("波形表示"));
    QStringList popup;
    for (QAction* a : f.form.trayMenu()->actions())
        popup << (a->isSeparator() ? QStringLiteral("-") : a->text());
    QCOMPARE(popup, (QStringList { "ミュート", "-", "表　示", "-", "終了" }));
    QStringList call;
    for (QAction* a : f.form.menuBar()->actions().at(7)->menu()->actions())
        call << a->text() + (a->isEnabled() ? "" : " (disabled)");
    QCOMPARE(call,
        (QStringList { "ミュート (disabled)", "確認済みにする (disabled)", "このまま話す (disabled)" }));
    QCOMPARE(f.form.trayMenu()->title(), QStringLiteral("メニュ－"));
}

void MainFormTest::japaneseFacesAreMappedOntoMincho()
{
    Fixture f;
    const QFontInfo info(f.child<QLineEdit>("Text1")->font());
    QVERIFY2(info.family().contains(QLatin1String("Mincho")), qPrintable(info.family()));
    QCOMPARE(f.child<QLineEdit>("Text1")->font().pointSize(), 9);
    QCOMPARE(QFontInfo(f.child<QComboBox>("Combo1")->font()).family(), info.family());
}

void MainFormTest::closeBoxIsRefusedAndCtrlMMutesDuringACall()
{
    Fixture f;
    QAction* mute = f.form.action(Control::mnu_Mute);
    QVERIFY(!mute->isEnabled());
    QVERIFY(!f.form.close());
    QVERIFY(f.form.isVisible());
    QCOMPARE(f.boxes.boxes.size(), 1);
    QCOMPARE(f.boxes.boxes[0].text, QStringLiteral("終了ボタンから終了してください。"));
    QCOMPARE(f.boxes.boxes[0].icon, MessageIcon::Exclamation);
    QCOMPARE(f.boxes.boxes[0].title, QStringLiteral("Voxlet"));

    QVERIFY(QTest::qWaitForWindowActive(&f.form));
    f.phone->st.Connected = f.phone->st.VoiceMode = true;
    f.phone->st.ExternalSocket = 1 << 20; // the flags only: no socket is behind them
    f.phone->CallChanged();
    QVERIFY(!f.form.close());
    QVERIFY(f.form.isVisible());
    QCOMPARE(f.boxes.boxes.size(), 2);
    QTest::keyClick(&f.form, Qt::Key_M, Qt::ControlModifier);
    QVERIFY(mute->isChecked() && f.phone->inCall.muted());
    // The call turns out plain: a screen reader hears it under the label's name.
    f.phone->link.Start(f.phone->st.ExternalSocket);
    f.phone->CallChanged();
    QAccessibleInterface* protection = QAccessible::queryAccessibleInterface(f.child<QLabel>("Protection"));
    QCOMPARE(protection->text(QAccessible::Name), QStringLiteral("通話の保護"));
    QCOMPARE(protection->text(QAccessible::Description), QStringLiteral("暗号化なし"));
    f.phone->st.Connected = f.phone->st.VoiceMode = false;
    f.phone->st.ExternalSocket = 0;
    f.phone->CallChanged();
}

void MainFormTest::versionBox()
{
    Fixture f;
    f.form.action(Control::mnu_Ver)->trigger();
    QCOMPARE(f.boxes.boxes.size(), 1);
    QCOMPARE(f.boxes.boxes[0].text, QStringLiteral("Voxlet Ver 1.20"));
    QCOMPARE(f.boxes.boxes[0].icon, MessageIcon::None);
    QCOMPARE(f.boxes.boxes[0].title, QStringLiteral("Voxlet"));
}

void MainFormTest::waveformMenuTogglesCheckAndFlag()
{
    Fixture f;
    QAction* hyouji = f.form.action(Control::mnu_Hyouji);
    for (int i = 1; i <= 3; ++i) {
        hyouji->trigger();
        const bool on = i % 2 == 0;
        QCOMPARE(hyouji->isChecked(), on);
        QCOMPARE(f.phone->st.ShowWaveform, on);
    }
}

void MainFormTest::activationRecordsRectAndLoadsDialList()
{
    Fixture f({ QStringLiteral("7 Taro 192.168.0.12 Ring.wav 21:07:45"),
        QStringLiteral("8 Hanako host.example Bell.wav 9:15:00") });
    QVERIFY(WaitFor([&] { return f.phone->MainWindowRect.isValid(); }));
    QCOMPARE(f.phone->MainWindowRect, f.form.frameGeometry());
    auto combo = f.child<QComboBox>("Combo1");
    QCOMPARE(combo->count(), 2);
    QCOMPARE(combo->itemText(0), QStringLiteral("1 Taro 192.168.0.12"));
    QCOMPARE(combo->itemText(1), QStringLiteral("2 Hanako host.example"));
    QCOMPARE(combo->currentText(), QStringLiteral("1 Taro 192.168.0.12"));

    // Typed text is replaced by the first entry at the next activation.
    combo->setEditText(QStringLiteral("10.0.0.9"));
    f.phone->Form_Activate();
    QCOMPARE(combo->currentText(), QStringLiteral("1 Taro 192.168.0.12"));
}

void MainFormTest::waveformIsDrawnGreenOnBlack()
{
    Fixture f;
    f.phone->MainWindowRect = QRect(0, 0, 400, 300);
    f.phone->st.VoiceRecvBuffer.fill(0); // silence: a line at y 96
    f.phone->DrawWaveform();
    const QImage& img = f.form.surface();
    QCOMPARE(img.pixelColor(100, 96), QColor(0, 255, 0));
    QCOMPARE(img.pixelColor(100, 150), QColor(Qt::black));
    QCOMPARE(img.pixelColor(500, 96), QColor(Qt::black)); // x stops at Wp = 390
}

void MainFormTest::exitButtonRunsShutDownAndUnloads()
{
    Fixture f;
    QSignalSpy unloaded(&f.form, &MainForm::unloaded);
    QTest::mouseClick(f.child<QPushButton>("Command1"), Qt::LeftButton);
    QCOMPARE(unloaded.count(), 1);
    QVERIFY(!f.form.isVisible());
    QCOMPARE(f.phone->st.MainWindowHandle, 0u);
    QVERIFY(f.phone->st.RingStop);
    QVERIFY(f.boxes.boxes.isEmpty());
}

// SIGTERM (as the end of the session) while the settings window is open and
// the window is in the tray: the windows close, and the program ends as the
// tray menu's "終了" ends it, instead of dying half-way.
void MainFormTest::terminationEndsLikeTheTrayExit()
{
    SessionEnd::BlockTerminationSignals();
    SessionEnd end;
    QVERIFY(end.watchingSignals());
    Fixture f;
    QObject::connect(&end, &SessionEnd::endRequested, &f.form, &MainForm::endSession);
    f.form.setTrayAvailability([] { return true; });
    f.phone->mnu_Tray_Click();
    QVERIFY(f.tray.shown);
    f.phone->search.Form_Load(); // loaded by the hub, never shown
    QSignalSpy unloaded(&f.form, &MainForm::unloaded);

    QTimer::singleShot(0, [] { ::raise(SIGTERM); });
    f.phone->mnu_SET_Click(); // returns when the settings window has closed
    QCOMPARE(unloaded.count(), 1);
    QVERIFY(f.phone->exited());
    QVERIFY(!f.tray.shown);
    QCOMPARE(f.phone->st.MainWindowHandle, 0u);
    QVERIFY(f.phone->st.RingStop);
    QVERIFY(!f.phone->search.loaded());
    QVERIFY(!f.phone->st.SearchOpen);

    // Only once.
    f.form.endSession();
    QCOMPARE(unloaded.count(), 1);
}

// SIGTERM waiting when start-up processes its events: the program ends there,
// and the missing microphone's box does not come after the exit.
void MainFormTest::terminationDuringStartUpStopsIt()
{
    SessionEnd::BlockTerminationSignals();
    SessionEnd end;
    Fixture f({}, false);
    QObject::connect(&end, &SessionEnd::endRequested, &f.form, &MainForm::endSession);
    f.capture.failOpen = true;
    ::raise(SIGTERM);
    f.phone->Form_Load();
    QVERIFY(f.phone->exited());
    QCOMPARE(f.boxes.texts(), QStringList());
}

QTEST_MAIN(MainFormTest)
#include "main_form_test.moc"
