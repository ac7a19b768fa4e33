// Voxlet: a two-party voice telephone over TCP/IPv4.

#include "audio/backend/sound_backend.h"
#include "net/reach/reachability.h"
#include "phonebook/qt/japanese_fonts.h"
#include "phonebook/state_files.h"
#include "shell/phone.h"
#include "shell/qt/desktop_inhibitor.h"
#include "shell/qt/desktop_notifier.h"
#include "shell/qt/main_form.h"
#include "shell/qt/qt_message_box.h"
#include "shell/qt/qt_tray.h"
#include "shell/qt/session_end.h"

#include <QApplication>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Qt picks the default platform only when neither the environment nor the
// command line names one.
bool PlatformNamed(int argc, char** argv)
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return true;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    return false;
}

void SayHowToRun(const char* missing)
{
    std::fprintf(stderr,
        "voxlet: %s: start it in a desktop session, or try it on a virtual display: xvfb-run %s\n", missing,
        program_invocation_name);
}

QtMessageHandler previousHandler = nullptr;

// While the platform starts, a fatal error means no display could be used:
// say so and end, rather than abort with a core dump.
void StartUpMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    previousHandler(type, context, message);
    if (type == QtFatalMsg) {
        SayHowToRun("no usable display");
        std::_Exit(EXIT_FAILURE);
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    if (!PlatformNamed(argc, argv) && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        SayHowToRun("no graphical session (DISPLAY and WAYLAND_DISPLAY are not set)");
        return EXIT_FAILURE;
    }
    // Before QApplication starts any thread: they all inherit the mask.
    voxlet::SessionEnd::BlockTerminationSignals();
    // A Wayland session gets a Wayland client (X11 through XWayland if the
    // plugin is missing); the user's own choice stands.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland"))
        qputenv("QT_QPA_PLATFORM", "wayland;xcb");
    previousHandler = qInstallMessageHandler(StartUpMessage);
    QApplication app(argc, argv);
    qInstallMessageHandler(previousHandler);
    // From here the blocked signals are read (by the first event processing,
    // which the start-up boxes do too).
    voxlet::SessionEnd sessionEnd;
    QApplication::setApplicationName(voxlet::kAppTitle);
    // The compositor and the notification service know us by the desktop file.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.voxlet.Voxlet"));
    QApplication::setQuitOnLastWindowClosed(false); // hidden to the tray is still running
    voxlet::InstallFontSubstitutions();

    voxlet::MainForm form;
    voxlet::QtMessageBox boxes;
    voxlet::QtTray tray;
    // One connection to the sound server for the voice and the ring sounds,
    // native on PipeWire (VOXLET_SOUND_BACKEND=pulse|pipewire chooses), with
    // the voice's echo canceller (VOXLET_ECHO_CANCEL=off turns it off).
    voxlet::SoundBackend sound;
    voxlet::DesktopNotifier notifier;
    voxlet::DesktopInhibitor inhibitor;
    // Outlives the phone: at the end it waits a moment for the router to
    // drop the mapping.
    voxlet::reach::ReachOptions reachOptions;
    reachOptions.mapping = qEnvironmentVariable("VOXLET_PORT_MAPPING") != QLatin1String("off");
    voxlet::reach::Reachability reach(reachOptions);

    voxlet::PhoneOptions options;
    options.dataDir = QCoreApplication::applicationDirPath();
    options.stateDir = voxlet::files::DefaultStateDir();
    options.screen.phoneBookOnly = qEnvironmentVariable("VOXLET_CALLERS") == QLatin1String("phonebook");
    voxlet::Phone phone(options,
        { form, boxes, tray, sound.capture(), sound.playback(), sound.sounds(), &notifier, &inhibitor,
            &reach });
    form.attach(&phone, &boxes);
    tray.attach(&phone);
    QObject::connect(&form, &voxlet::MainForm::unloaded, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    // A box still open at the end (a start-up box) closes with the program.
    QObject::connect(&form, &voxlet::MainForm::unloaded, [&boxes] { boxes.closeAll(); });
    QObject::connect(&sessionEnd, &voxlet::SessionEnd::endRequested, &form, &voxlet::MainForm::endSession);

    phone.Form_Load();
    if (phone.exited()) // ended during start-up: the event loop would never be told
        return EXIT_SUCCESS;
    form.show();
    return app.exec();
}
