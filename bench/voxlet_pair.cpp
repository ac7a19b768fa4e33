// Two complete phones in one process, each with a real main window and its
// own sound devices, calling each other over loopback: A dials B, B answers.
// Used to show the received voice's trace on a real window and to time the
// voice path. Prints "CONNECTED" once both sides talk, "DONE ..." at the end.
//
//   voxlet_pair [--show] [--seconds N] [--net N] [--via HOST] [--blocks]
//               [--mic-a ID] [--speaker-a ID] [--mic-b ID] [--speaker-b ID]
//
// --via: A dials HOST (a relay in front of B) instead of B. --blocks: A
// sends its voice as a peer of the half-second design does, 8000-byte
// blocks every half second (and offers nothing). Between the two an HD
// call, unless VOXLET_OFFER=off says otherwise. Twenty times a second B's speaker is watched:
// "RECOVERED <ms>" after each underrun once the delay is back at its target,
// "t=..." lines once a second with its counters.

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
#include <cstdlib>
#include <memory>

using namespace voxlet;

namespace {

// Messages go to the terminal: a modal box would stop an unattended run.
class PrintedMessageBox : public MessageBoxPort {
public:
    explicit PrintedMessageBox(const char* who)
        : who_(who)
    {
    }
    void show(const QString& text, MessageIcon, const QString& title) override
    {
        std::fprintf(stderr, "%s: box \"%s\": %s\n", who_, qPrintable(title), qPrintable(text));
        ++shown;
    }
    int shown = 0;

private:
    const char* who_;
};

class NoTray : public TrayPort {
public:
    void addIcon(const QString&) override { }
    void deleteIcon() override { }
};

// The microphone, optionally gathered into 8000-byte blocks before they are
// handed on, as a peer of the half-second design sends them.
class BlockingCapture : public CaptureDevice {
public:
    explicit BlockingCapture(CaptureDevice& real)
        : real(real)
    {
    }
    bool open(const VoiceFormat& format) override { return real.open(format); }
    void start(const CallVoice& voice, PieceCallback onPiece) override
    {
        pending_.clear();
        real.start(voice, [this, onPiece = std::move(onPiece)](const char* data, int bytes) {
            if (!blocks) {
                onPiece(data, bytes);
                return;
            }
            pending_.append(data, bytes);
            if (pending_.size() >= kVoiceBlockBytes) {
                const QByteArray block = pending_.left(kVoiceBlockBytes);
                pending_.remove(0, kVoiceBlockBytes);
                onPiece(block.constData(), kVoiceBlockBytes);
            }
        });
    }
    void stop() override { real.stop(); }

    CaptureDevice& real;
    bool blocks = false;

private:
    QByteArray pending_;
};

// Counts the bytes handed to the speaker on their way to it.
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
        bytes += length;
        real.write(data, length);
    }
    int blocks() const { return int(bytes / kVoiceBlockBytes); }
    PlaybackDevice& real;
    qint64 bytes = 0;
};

struct Side {
    Side(const char* who, const QString& address, const QString& name, const QByteArray& mic,
        const QByteArray& speaker, const QString& soundsDir, bool hd, bool encrypt)
        : boxes(who)
        , sound(OnDevices(mic, speaker))
        , capture(sound.capture())
        , playback(sound.playback())
    {
        for (const char* wav : { "Ring.wav", "Anybody.wav", "Ans.wav" })
            QFile::copy(soundsDir + QLatin1Char('/') + QLatin1String(wav), dir.filePath(QLatin1String(wav)));
        files::ProfileFields f;
        f.name = name;
        f.sex = QStringLiteral("M");
        f.age = QStringLiteral("30");
        f.pass = QStringLiteral("pw");
        f.comment = QStringLiteral("bench");
        files::SaveProfile(dir.path(), f);
        PhoneOptions options;
        options.dataDir = dir.path();
        options.net.localAddress = ResolveAddress(address);
        options.net.bindOutgoing = true;
        options.hd = hd;
        options.encrypt = encrypt;
        phone = std::make_unique<Phone>(
            options, PhonePorts { form, boxes, tray, capture, playback, sound.sounds() });
        form.attach(phone.get(), &boxes);
    }

    QTemporaryDir dir;
    MainForm form;
    PrintedMessageBox boxes;
    NoTray tray;
    SoundBackend sound;
    BlockingCapture capture;
    CountingPlayback playback;
    std::unique_ptr<Phone> phone;
};

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
    cli.addOption({ QStringLiteral("show"), QStringLiteral("Show phone A's window.") });
    cli.addOption({ QStringLiteral("seconds"), QStringLiteral("How long to talk."), QStringLiteral("s"),
        QStringLiteral("10") });
    cli.addOption({ QStringLiteral("net"), QStringLiteral("Loopback 127.N.0.x to use."), QStringLiteral("N"),
        QStringLiteral("250") });
    cli.addOption({ QStringLiteral("sounds"), QStringLiteral("Folder with the ring sounds."),
        QStringLiteral("dir"), QStringLiteral(VOXLET_SOUNDS_DIR) });
    cli.addOption(
        { QStringLiteral("via"), QStringLiteral("Dial this host instead of B."), QStringLiteral("host") });
    cli.addOption(
        { QStringLiteral("blocks"), QStringLiteral("A sends 8000-byte blocks every half second.") });
    cli.addOption({ QStringLiteral("unencrypted"), QStringLiteral("Call HD in the clear.") });
    for (const char* o : { "mic-a", "speaker-a", "mic-b", "speaker-b" })
        cli.addOption({ QLatin1String(o), QStringLiteral("Sound device id."), QStringLiteral("id") });
    cli.process(app);

    const QString net = cli.value(QStringLiteral("net"));
    const QString addressA = QStringLiteral("127.%1.0.2").arg(net);
    const QString addressB = QStringLiteral("127.%1.0.3").arg(net);
    const QString sounds = cli.value(QStringLiteral("sounds"));
    const bool blocks = cli.isSet(QStringLiteral("blocks"));
    const bool encrypt = !cli.isSet(QStringLiteral("unencrypted"));
    Side a("A", addressA, QStringLiteral("Alice"), cli.value(QStringLiteral("mic-a")).toUtf8(),
        cli.value(QStringLiteral("speaker-a")).toUtf8(), sounds, OffersWanted() && !blocks, encrypt);
    Side b("B", addressB, QStringLiteral("Bob"), cli.value(QStringLiteral("mic-b")).toUtf8(),
        cli.value(QStringLiteral("speaker-b")).toUtf8(), sounds, OffersWanted(), encrypt);
    a.capture.blocks = blocks;
    // A's dial list names B (or the relay in front of it), as the settings
    // window would have saved it.
    const QString dialled = cli.isSet(QStringLiteral("via")) ? cli.value(QStringLiteral("via")) : addressB;
    files::SavePhoneBook(
        a.dir.path(), { QStringLiteral("1 Bob ") + dialled + QStringLiteral(" Ring.wav 10:00:00") });
    files::SavePhoneBook(
        b.dir.path(), { QStringLiteral("1 Alice ") + addressA + QStringLiteral(" Ring.wav 10:00:00") });

    std::fprintf(stderr, "sound backend: %s\n", SoundBackendName(a.sound.kind()));
    for (Side* s : { &a, &b }) {
        s->phone->Form_Load();
        s->phone->Form_Activate();
        s->phone->mnu_SERVER_Click();
    }
    if (cli.isSet(QStringLiteral("show")))
        a.form.show();

    // The ring loops run nested event loops inside the handlers: drive the
    // call from a timer, which fires inside them too.
    const int seconds = cli.value(QStringLiteral("seconds")).toInt();
    QElapsedTimer clock;
    clock.start();
    qint64 talkingSince = -1;
    int step = 0;
    QTimer driver;
    driver.setInterval(10);
    QObject::connect(&driver, &QTimer::timeout, [&] {
        if (step == 0) {
            step = 1;
            a.phone->CLIBTN_Click();
        } else if (step == 1 && a.phone->ringingFile() == QLatin1String("Ans.wav")
            && !b.phone->ringingFile().isEmpty()) {
            step = 2;
            b.phone->Command3_Click();
        } else if (step == 2 && a.phone->st.VoiceMode && b.phone->st.VoiceMode
            && a.phone->ringingFile().isEmpty() && b.phone->ringingFile().isEmpty()
            && a.phone->link.secrecy() != VoiceLink::Secrecy::Undecided) {
            step = 3;
            talkingSince = clock.elapsed();
            const bool encrypted = a.phone->link.secrecy() == VoiceLink::Secrecy::Encrypted;
            std::printf(
                "CONNECTED %s%s\n", a.phone->link.voice().hd() ? "hd" : "pcm", encrypted ? " encrypted" : "");
            std::fflush(stdout);
        } else if (step == 3 && clock.elapsed() - talkingSince >= seconds * 1000) {
            step = 4;
            const PlaybackStats sa = a.sound.playbackStats(), sb = b.sound.playbackStats();
            std::printf(
                "DONE blocks played: A %d, B %d; underruns: A %llu, B %llu; delay ms: A %lld, B %lld; "
                "bytes dropped by the sender: A %llu, B %llu\n",
                a.playback.blocks(), b.playback.blocks(), (unsigned long long)sa.underruns,
                (unsigned long long)sb.underruns, (long long)(sa.delayUs / 1000),
                (long long)(sb.delayUs / 1000), (unsigned long long)a.phone->net.droppedVoiceBytes(),
                (unsigned long long)b.phone->net.droppedVoiceBytes());
            // What each side sent on the wire, headers, handshake and tags included.
            const double talked = double(clock.elapsed() - talkingSince) / 1000.0;
            std::printf("WIRE bytes a second: A to B %.0f, B to A %.0f\n",
                double(a.phone->net.sentVoiceBytes(a.phone->st.CallSocket)) / talked,
                double(b.phone->net.sentVoiceBytes(b.phone->st.CallSocket)) / talked);
            const EchoPathStats ea = a.sound.echoStats();
            std::printf("ECHO A in=%d frames=%llu reported=%d extra=%d changes=%d\n", int(ea.inPath),
                (unsigned long long)ea.processedFrames, ea.reportedDelayMs, ea.extraDelayMs,
                ea.extraDelayChanges);
            std::fflush(stdout);
            // The exit buttons: the windows refuse any other way of closing.
            b.phone->Command1_Click();
            a.phone->Command1_Click();
            QCoreApplication::exit(0);
        } else if (step < 3 && clock.elapsed() > 30000) {
            std::fprintf(stderr, "the call did not come up within 30 s (step %d)\n", step);
            QCoreApplication::exit(1);
        }
    });
    driver.start();

    // B's speaker: after each underrun, how long until the delay is back at
    // its target (within 20 ms); once a second its counters.
    std::uint64_t underruns = 0;
    qint64 ranDryAt = -1;
    int ticks = 0;
    std::uint64_t sentBefore = 0, framesBefore = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (step != 3)
            return;
        const PlaybackStats s = b.sound.playbackStats();
        if (s.underruns > underruns) {
            underruns = s.underruns;
            ranDryAt = clock.elapsed();
        } else if (ranDryAt >= 0 && s.playing && std::llabs(s.delayUs - s.targetUs) <= 20000) {
            std::printf("RECOVERED %lld\n", clock.elapsed() - ranDryAt);
            ranDryAt = -1;
        }
        if (++ticks % 20 == 0) {
            // What A's side did that second: bytes it sent and 10 ms frames
            // its canceller took from the microphone, to tell a late far end
            // from a late network or speaker.
            const std::uint64_t sentA = a.phone->net.sentVoiceBytes(a.phone->st.CallSocket);
            const std::uint64_t framesA = a.sound.echoStats().processedFrames;
            std::printf("t=%llds delay=%lldms target=%lldms underruns=%llu dropped=%llu inserted=%llu "
                        "a_sent=%llu a_mic_frames=%llu a_underruns=%llu\n",
                (long long)(clock.elapsed() - talkingSince) / 1000, (long long)s.delayUs / 1000,
                (long long)s.targetUs / 1000, (unsigned long long)s.underruns,
                (unsigned long long)s.droppedSamples, (unsigned long long)s.insertedSamples,
                (unsigned long long)(sentA - sentBefore), (unsigned long long)(framesA - framesBefore),
                (unsigned long long)a.sound.playbackStats().underruns);
            sentBefore = sentA;
            framesBefore = framesA;
        }
        std::fflush(stdout);
    });
    watch.start(50);
    return app.exec();
}
