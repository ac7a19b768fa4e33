// Voxlet: a two-party voice telephone over TCP/IPv4.

#include "audio/pulse/pulse_context.h"
#include "audio/pulse/pulse_echo.h"
#include "audio/pulse/pulse_sound_player.h"
#include "audio/pulse/pulse_voice.h"
#include "shell/phone.h"
#include "shell/qt/desktop_notifier.h"
#include "shell/qt/fonts.h"
#include "shell/qt/main_form.h"
#include "shell/qt/qt_message_box.h"
#include "shell/qt/qt_tray.h"
#include "shell/qt/session_end.h"

#include <QApplication>

#include <csignal>

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    // Before QApplication starts any thread: they all inherit the mask.
    voxlet::SessionEnd::BlockTerminationSignals();
    // A Wayland session gets a Wayland client (X11 through XWayland if the
    // plugin is missing); the user's own choice stands.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland"))
        qputenv("QT_QPA_PLATFORM", "wayland;xcb");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Voxlet"));
    // The compositor and the notification service know us by the desktop file.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.voxlet.Voxlet"));
    QApplication::setQuitOnLastWindowClosed(false); // hidden to the tray is still running
    voxlet::InstallFontSubstitutions();

    voxlet::MainForm form;
    voxlet::QtMessageBox boxes;
    voxlet::QtTray tray;
    // One connection to the sound server for the voice and the ring sounds.
    voxlet::pulse::PulseContext sound;
    voxlet::pulse::PulseCapture capture(sound);
    voxlet::pulse::PulsePlayback playback(sound);
    // Between the two: the voice's echo canceller (VOXLET_ECHO_CANCEL=off turns it off).
    voxlet::pulse::PulseEchoCanceller echo(sound, capture, playback);
    voxlet::pulse::PulseSoundPlayerFactory sounds(sound);
    voxlet::DesktopNotifier notifier;

    voxlet::PhoneOptions options;
    options.dataDir = QCoreApplication::applicationDirPath();
    voxlet::Phone phone(options, { form, boxes, tray, capture, playback, sounds, &notifier });
    form.attach(&phone, &boxes);
    tray.attach(&phone);
    QObject::connect(&form, &voxlet::MainForm::unloaded, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    voxlet::SessionEnd sessionEnd;
    QObject::connect(&sessionEnd, &voxlet::SessionEnd::endRequested, &form, &voxlet::MainForm::endSession);

    phone.Form_Load();
    form.show();
    return app.exec();
}
