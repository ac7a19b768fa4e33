// One complete phone per process, for measuring what one phone costs: the
// real MainForm and Phone on the sound server devices chosen by id, listening
// as after the menu "SERVER". It can dial a peer or answer a ring, and prints
// its counters when a call ends.
//
//   voxlet_bench_phone --address A [--mic ID] [--speaker ID] [--show]
//                      [--dial B] [--answer] [--answer-after MS] [--seconds N]
//                      [--quit-after N] [--linger N] [--unencrypted]
//   voxlet_bench_phone --write-data DIR    (a data folder for the real program)
//
// Lines on stdout: "LISTENING"; with --dial or --answer also "RINGING",
// "CONNECTED", then
// "STATS captured=.. sent=.. received=.. send_dropped=.. play_dropped=.."
// when the call ends (after --seconds of talk, or when the peer hangs up),
// and "ENDED" when it then stays --linger seconds after the peer hung up.
// --answer answers as a person would, a while after the ringing began
// (--answer-after, 1000 ms): the caller hears its ring-back first.

#include "audio/backend/sound_backend.h"
#include "net/address.h"
#include "phonebook/phone_book_files.h"
#include "phonebook/qt/japanese_fonts.h"
#include "shell/phone.h"
#include "shell/qt/main_form.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>

using namespace voxlet;

namespace {

// A modal box would stop an unattended run: messages go to stderr.
class PrintedMessageBox : public MessageBoxPort {
public:
    void show(const QString& text, MessageIcon, const QString& title) override
    {
        std::fprintf(stderr, "box \"%s\": %s\n", qPrintable(title), qPrintable(text));
    }
};

class NoTray : public TrayPort {
public:
    void addIcon(const QString&) override { }
    void deleteIcon() override { }
};

// Counts captured voice (in blocks of 8000 bytes) that goes out while a call is on.
class CountingCapture : public CaptureDevice {
public:
    explicit CountingCapture(CaptureDevice& real)
        : real(real)
    {
    }
    bool open(const VoiceFormat& format) override { return real.open(format); }
    void start(const CallVoice& voice, PieceCallback onPiece) override
    {
        real.start(voice, [this, onPiece = std::move(onPiece)](const char* data, int bytes) {
            captured += bytes;
            if (phone && phone->st.VoiceMode && phone->st.Connected)
                sent += bytes;
            onPiece(data, bytes);
        });
    }
    void stop() override { real.stop(); }

    CaptureDevice& real;
    Phone* phone = nullptr;
    long captured = 0; // bytes
    long sent = 0;
};

// Counts the bytes handed to the speaker.
class CountingPlayback : public PlaybackDevice {
public:
    explicit CountingPlayback(PlaybackDevice& real)
        : real(real)
    {
    }
    bool open(const VoiceFormat& format) override { return real.open(format); }
    void start(const CallVoice& voice) override { real.start(voice); }
    void stop() override { real.stop(); }
    void write(const char* data, int length) override
    {
        received += length;
        real.write(data, length);
    }
    PlaybackDevice& real;
    long received = 0; // bytes
};

void Say(const char* line)
{
    std::printf("%s\n", line);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Voxlet"));
    QApplication::setQuitOnLastWindowClosed(false);
    InstallFontSubstitutions();

    QCommandLineParser cli;
    cli.addHelpOption();
    const auto opt
        = [&](const char* name, const char* help, const char* value = nullptr, const char* def = nullptr) {
              if (value)
                  cli.addOption({ QLatin1String(name), QLatin1String(help), QLatin1String(value),
                      def ? QLatin1String(def) : QString() });
              else
                  cli.addOption({ QLatin1String(name), QLatin1String(help) });
          };
    opt("address", "Own loopback address.", "a", "127.251.0.2");
    opt("mic", "Capture device id (default: the server's).", "id");
    opt("speaker", "Playback device id (default: the server's).", "id");
    opt("show", "Show the main window.");
    opt("dial", "Call this address once listening.", "a");
    opt("answer", "Answer an incoming call.");
    opt("answer-after", "Answer this long after the ringing began.", "ms", "1000");
    opt("seconds", "Hang up after this long in a call.", "s", "30");
    opt("quit-after", "Quit after this many seconds whatever happens.", "s", "120");
    opt("ring-poll-ms", "How often a ring loop asks whether its sound ended (default: the program's).", "ms");
    opt("linger", "Stay this many seconds after a call has ended (prints ENDED).", "s", "0");
    opt("sounds", "Folder with Ring.wav, Anybody.wav and Ans.wav.", "dir", VOXLET_SOUNDS_DIR);
    opt("write-data", "Only write a data folder (sounds, profile, phone book) here.", "dir");
    opt("unencrypted", "Call HD in the clear, to measure what the encryption costs.");
    cli.process(app);

    QTemporaryDir temp;
    const QString dataDir
        = cli.isSet(QStringLiteral("write-data")) ? cli.value(QStringLiteral("write-data")) : temp.path();
    QDir dir(dataDir);
    const QString sounds = cli.value(QStringLiteral("sounds"));
    for (const char* wav : { "Ring.wav", "Anybody.wav", "Ans.wav" })
        QFile::copy(sounds + QLatin1Char('/') + QLatin1String(wav), dir.filePath(QLatin1String(wav)));
    files::ProfileFields profile;
    profile.name = QStringLiteral("Bench");
    profile.sex = QStringLiteral("M");
    profile.age = QStringLiteral("30");
    profile.pass = QStringLiteral("pw");
    profile.comment = QStringLiteral("bench");
    files::SaveProfile(dataDir, profile);
    const QString dial = cli.value(QStringLiteral("dial"));
    files::SavePhoneBook(dataDir,
        { QStringLiteral("1 Peer ") + (dial.isEmpty() ? QStringLiteral("127.0.0.1") : dial)
            + QStringLiteral(" Ring.wav 10:00:00") });
    if (cli.isSet(QStringLiteral("write-data")))
        return 0;

    MainForm form;
    PrintedMessageBox boxes;
    NoTray tray;
    // The backend the program would choose (VOXLET_SOUND_BACKEND overrides).
    SoundBackend sound(
        OnDevices(cli.value(QStringLiteral("mic")).toUtf8(), cli.value(QStringLiteral("speaker")).toUtf8()));
    std::fprintf(stderr, "sound backend: %s\n", SoundBackendName(sound.kind()));
    CountingCapture capture(sound.capture());
    CountingPlayback playback(sound.playback());
    PhoneOptions options;
    options.dataDir = dataDir;
    options.net.localAddress = ResolveAddress(cli.value(QStringLiteral("address")));
    options.net.bindOutgoing = true;
    options.encrypt = !cli.isSet(QStringLiteral("unencrypted"));
    if (cli.isSet(QStringLiteral("ring-poll-ms")))
        options.ringPollMs = cli.value(QStringLiteral("ring-poll-ms")).toInt();
    Phone phone(options, PhonePorts { form, boxes, tray, capture, playback, sound.sounds() });
    capture.phone = &phone;
    form.attach(&phone, &boxes);

    phone.Form_Load();
    if (cli.isSet(QStringLiteral("show")))
        form.show();
    else
        phone.Form_Activate();
    phone.mnu_SERVER_Click();
    Say("LISTENING");

    // The ring loops spin nested event loops inside the handlers; a timer
    // fires inside them too, so the call is driven from one.
    const qint64 talkMs = cli.value(QStringLiteral("seconds")).toLongLong() * 1000;
    const qint64 quitMs = cli.value(QStringLiteral("quit-after")).toLongLong() * 1000;
    const bool answer = cli.isSet(QStringLiteral("answer"));
    const qint64 answerAfterMs = cli.value(QStringLiteral("answer-after")).toLongLong();
    qint64 ringingSince = -1;
    QElapsedTimer clock;
    clock.start();
    qint64 talkingSince = -1;
    bool dialled = false, rang = false, finished = false;
    const qint64 lingerMs = cli.value(QStringLiteral("linger")).toLongLong() * 1000;
    QTimer driver;
    const auto finish = [&](int code) {
        if (finished)
            return;
        finished = true;
        driver.stop();
        if (talkingSince >= 0)
            std::printf(
                "STATS captured=%ld sent=%ld received=%ld send_dropped=%llu underruns=%llu talk_ms=%lld\n",
                capture.captured / kVoiceBlockBytes, capture.sent / kVoiceBlockBytes,
                playback.received / kVoiceBlockBytes,
                static_cast<unsigned long long>(phone.net.droppedVoiceBytes()),
                static_cast<unsigned long long>(sound.playbackStats().underruns),
                static_cast<long long>(clock.elapsed() - talkingSince));
        std::fflush(stdout);
        const auto quit = [&phone, code] {
            phone.ThisExit();
            QCoreApplication::exit(code);
        };
        if (talkingSince >= 0 && lingerMs > 0 && !phone.st.VoiceMode) {
            // The peer hung up: wait like a phone between calls.
            Say("ENDED");
            QTimer::singleShot(lingerMs, &app, quit);
        } else {
            quit();
        }
    };
    driver.setInterval(20);
    QObject::connect(&driver, &QTimer::timeout, [&] {
        if (finished)
            return;
        if (clock.elapsed() > quitMs)
            return finish(talkingSince >= 0 ? 0 : 2);
        const bool ringing = !phone.ringingFile().isEmpty();
        if (ringing && !rang && !phone.st.OutgoingCall) {
            rang = true;
            ringingSince = clock.elapsed();
            Say("RINGING");
        }
        if (!dial.isEmpty() && !dialled) {
            dialled = true;
            form.setComboText(dial);
            phone.CLIBTN_Click();
        } else if (answer && ringing && !phone.st.VoiceMode && !phone.st.OutgoingCall
            && clock.elapsed() - ringingSince >= answerAfterMs) {
            phone.Command3_Click();
        } else if (talkingSince < 0 && phone.st.VoiceMode && phone.st.Connected && !ringing) {
            talkingSince = clock.elapsed();
            Say("CONNECTED");
            // Only the end is left to watch: a slow poll keeps our own
            // wake-ups out of the call's CPU figure.
            driver.setInterval(500);
        } else if (talkingSince >= 0 && (!phone.st.VoiceMode || clock.elapsed() - talkingSince >= talkMs)) {
            finish(0);
        }
    });
    // A passive phone gets no polling timer of ours: its idle cost is the program's own.
    if (!dial.isEmpty() || answer)
        driver.start();
    else
        QTimer::singleShot(quitMs, &app, [&] { finish(0); });
    return app.exec();
}
