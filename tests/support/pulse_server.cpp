#include "support/pulse_server.h"

#include "support/test_support.h"

#include <QFile>
#include <QStandardPaths>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <signal.h>
#include <sys/prctl.h>

namespace voxlet::test {

QByteArray TonePcm(double hz, double seconds, int rate, int amplitude)
{
    const int n = int(seconds * rate);
    QByteArray pcm(2 * n, 0);
    for (int i = 0; i < n; ++i)
        qToLittleEndian<qint16>(qint16(amplitude * std::sin(2 * M_PI * hz * i / rate)), pcm.data() + 2 * i);
    return pcm;
}

QByteArray SpeechLikePcm(double seconds, unsigned seed, double rms)
{
    constexpr int rate = 8000;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> uniform(0, 1);
    std::normal_distribution<double> breath(0, 0.02);
    const int n = int(seconds * rate);
    std::vector<double> x(std::size_t(n), 0.0);
    double phase = 0, state1[2] = {}, state2[2] = {};
    for (int i = 0; i < n;) {
        const int on = int((0.12 + 0.25 * uniform(rng)) * rate);
        const int off = int((0.05 + 0.25 * uniform(rng)) * rate);
        const double level = 0.5 + uniform(rng);
        const double pitch = 100 + 120 * uniform(rng), glide = (uniform(rng) - 0.5) * 40;
        const double formant[2] = { 300 + 500 * uniform(rng), 900 + 1300 * uniform(rng) };
        double a1[2], a2[2];
        for (int k = 0; k < 2; ++k) {
            const double r = 0.96, w = 2 * M_PI * formant[k] / rate;
            a1[k] = 2 * r * std::cos(w);
            a2[k] = -r * r;
        }
        for (int k = 0; k < on && i < n; ++k, ++i) {
            phase += (pitch + glide * k / on) / rate;
            double y = breath(rng);
            if (phase >= 1) {
                phase -= 1;
                y += 1;
            }
            for (int f = 0; f < 2; ++f) {
                const double z = y + a1[f] * state1[f] + a2[f] * state2[f];
                state2[f] = state1[f];
                state1[f] = z;
                y = z;
            }
            const double envelope = std::min(1.0, std::min(k, on - k) / 240.0);
            x[std::size_t(i)] = y * envelope * level;
        }
        i += off;
    }
    double sum = 0;
    for (double v : x)
        sum += v * v;
    const double scale = sum > 0 ? rms / std::sqrt(sum / n) : 0;
    QByteArray pcm(2 * n, 0);
    for (int i = 0; i < n; ++i)
        qToLittleEndian<qint16>(
            qint16(std::clamp(x[std::size_t(i)] * scale, -32767.0, 32767.0)), pcm.data() + 2 * i);
    return pcm;
}

QByteArray WavOf(const QByteArray& pcm, int rate, int channels)
{
    QByteArray h("RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\0\0\0\0\0\0\0\0\x02\0\x10\0data\0\0\0\0", 44);
    qToLittleEndian<quint32>(quint32(36 + pcm.size()), h.data() + 4);
    qToLittleEndian<quint16>(quint16(channels), h.data() + 22);
    qToLittleEndian<quint32>(quint32(rate), h.data() + 24);
    qToLittleEndian<quint32>(quint32(2 * channels * rate), h.data() + 28);
    qToLittleEndian<quint16>(quint16(2 * channels), h.data() + 32);
    qToLittleEndian<quint32>(quint32(pcm.size()), h.data() + 40);
    return h + pcm;
}

double Rms(const char* pcm, int bytes)
{
    const int n = bytes / 2;
    if (n <= 0)
        return 0;
    double sum = 0;
    for (int i = 0; i < n; ++i) {
        const double s = qFromLittleEndian<qint16>(pcm + 2 * i);
        sum += s * s;
    }
    return std::sqrt(sum / n);
}

namespace {
std::vector<double> Samples(const char* pcm, int bytes)
{
    std::vector<double> x(static_cast<size_t>(std::max(bytes / 2, 0)));
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = qFromLittleEndian<qint16>(pcm + 2 * i);
    return x;
}

// Goertzel: the power of one frequency in x.
double PowerAt(const std::vector<double>& x, int rate, double f)
{
    const double coeff = 2 * std::cos(2 * M_PI * f / rate);
    double s1 = 0, s2 = 0;
    for (double v : x) {
        const double s0 = v + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - coeff * s1 * s2;
}
} // namespace

double ToneLevelDb(const char* pcm, int bytes, int rate, double hz)
{
    const std::vector<double> x = Samples(pcm, bytes);
    return x.empty() ? -200 : 10 * std::log10(PowerAt(x, rate, hz) / double(x.size() * x.size()) + 1e-20);
}

double DominantFrequency(const char* pcm, int bytes, int rate, double lo, double hi, double step)
{
    const std::vector<double> x = Samples(pcm, bytes);
    if (x.empty())
        return 0;
    double best = 0, bestPower = -1;
    for (double f = lo; f <= hi; f += step) {
        const double power = PowerAt(x, rate, f);
        if (power > bestPower) {
            bestPower = power;
            best = f;
        }
    }
    return best;
}

QByteArray LoudPart(const QByteArray& pcm, int threshold)
{
    int first = -1, last = -1;
    for (int i = 0; i + 1 < pcm.size(); i += 2) {
        if (std::abs(qFromLittleEndian<qint16>(pcm.constData() + i)) > threshold) {
            if (first < 0)
                first = i;
            last = i;
        }
    }
    return first < 0 ? QByteArray() : pcm.mid(first, last - first + 2);
}

ToneWindows CountToneWindows(
    const QByteArray& pcm, int rate, double hz, double tolerance, int windowBytes, double rmsThreshold)
{
    ToneWindows w;
    for (int at = 0; at + windowBytes <= pcm.size(); at += windowBytes) {
        if (Rms(pcm.constData() + at, windowBytes) < rmsThreshold)
            continue;
        ++w.loud;
        const double f = DominantFrequency(pcm.constData() + at, windowBytes, rate, hz - 400, hz + 400, 2);
        if (std::abs(f - hz) <= tolerance)
            ++w.matching;
    }
    return w;
}

void TieToThisProcess(QProcess& p)
{
    p.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

void StopProcess(QProcess& p)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(3000)) {
        p.kill();
        p.waitForFinished(3000);
    }
}

// ---- recorder ----

PulseRecorder::PulseRecorder(const QString& source, int rate, int channels)
{
    TieToThisProcess(process_);
    process_.start(QStringLiteral("parec"),
        { QStringLiteral("--latency-msec=20"), QStringLiteral("-d"), source,
            QStringLiteral("--rate=%1").arg(rate), QStringLiteral("--channels=%1").arg(channels),
            QStringLiteral("--format=s16le"), QStringLiteral("--raw") });
    started_ = process_.waitForStarted(5000);
    QObject::connect(&process_, &QProcess::readyReadStandardOutput, &process_,
        [this] { data_ += process_.readAllStandardOutput(); });
}

PulseRecorder::~PulseRecorder()
{
    stop();
}

const QByteArray& PulseRecorder::data()
{
    data_ += process_.readAllStandardOutput();
    return data_;
}

bool PulseRecorder::waitFlowing(int timeoutMs)
{
    return WaitFor([this] { return !data().isEmpty(); }, timeoutMs);
}

void PulseRecorder::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    data_ += process_.readAllStandardOutput();
    StopProcess(process_);
    data_ += process_.readAllStandardOutput();
}

// ---- server ----

QString SoundServerKind()
{
    return qEnvironmentVariable("VOXLET_SOUND_SERVER") == QLatin1String("pipewire")
        ? QStringLiteral("pipewire")
        : QStringLiteral("pulseaudio");
}

PulseServer::PulseServer(QStringList devices)
    : devices_(std::move(devices))
    , script_(SourceDir() + QStringLiteral("/scripts/services.sh"))
{
}

PulseServer::~PulseServer()
{
    stop();
}

bool PulseServer::start(QString* whyNot)
{
    auto fail = [&](const QString& reason) {
        if (whyNot)
            *whyNot = reason;
        stop();
        return false;
    };
    QStringList tools { "paplay", "parec", "pactl", "bash" };
    tools += SoundServerKind() == QLatin1String("pipewire")
        ? QStringList { "pipewire", "wireplumber", "pipewire-pulse", "dbus-daemon" }
        : QStringList { "pulseaudio" };
    for (const QString& tool : tools)
        if (QStandardPaths::findExecutable(tool).isEmpty())
            return fail(QStringLiteral("%1 is not installed").arg(tool));
    if (!QFile::exists(script_))
        return fail(script_ + QStringLiteral(" is missing"));
    if (!dir_.isValid())
        return fail(QStringLiteral("no temporary folder"));

    // Everything of this process and its children talks to the private server.
    QByteArray env;
    if (!runTool({ QStringLiteral("bash"), script_, QStringLiteral("sound-env"), dir_.path() }, &env))
        return fail(QStringLiteral("services.sh sound-env failed"));
    for (const QByteArray& line : env.split('\n')) {
        const qsizetype eq = line.indexOf('=');
        // Set once: on a restart, the clients' own threads may be reading them.
        if (eq > 0 && qgetenv(line.left(eq).constData()) != line.mid(eq + 1))
            qputenv(line.left(eq).constData(), line.mid(eq + 1));
    }

    TieToThisProcess(server_);
    server_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server_.start(QStringLiteral("bash"),
        QStringList { script_, QStringLiteral("sound-server"), dir_.path() } + devices_);
    if (!server_.waitForStarted(5000))
        return fail(SoundServerKind() + QStringLiteral(" did not start"));
    for (int i = 0; i < 100 && server_.state() == QProcess::Running; ++i) {
        Pump(100);
        if (runTool({ QStringLiteral("bash"), script_, QStringLiteral("sound-ready"), dir_.path() }))
            return true;
    }
    // Its own log says why, when a test cannot.
    QFile log(dir_.filePath(SoundServerKind() == QLatin1String("pipewire") ? QStringLiteral("pw.log")
                                                                           : QStringLiteral("pa.log")));
    const QByteArray tail = log.open(QIODevice::ReadOnly) ? log.readAll().right(600) : QByteArray();
    return fail(SoundServerKind()
        + (server_.state() == QProcess::Running ? QStringLiteral(" did not become ready: ")
                                                : QStringLiteral(" ended while starting: "))
        + QString::fromUtf8(tail));
}

void PulseServer::stop()
{
    for (auto& p : helpers_)
        StopProcess(*p);
    helpers_.clear();
    StopProcess(server_);
}

void PulseServer::keepReading(const QString& source)
{
    auto p = std::make_unique<QProcess>();
    TieToThisProcess(*p);
    p->start(QStringLiteral("bash"), { script_, QStringLiteral("keep-reading"), source });
    p->waitForStarted(5000);
    helpers_.push_back(std::move(p));
}

bool PulseServer::play(const QString& sink, const QString& wavPath)
{
    auto p = std::make_unique<QProcess>();
    TieToThisProcess(*p);
    // A second ahead, so a starved player leaves no gaps of silence.
    p->start(QStringLiteral("paplay"),
        { QStringLiteral("--latency-msec=1000"), QStringLiteral("-d"), sink, wavPath });
    const bool ok = p->waitForStarted(5000);
    helpers_.push_back(std::move(p));
    return ok;
}

bool PulseServer::runTool(const QStringList& args, QByteArray* out)
{
    QProcess p;
    TieToThisProcess(p);
    p.start(args.first(), args.mid(1));
    if (!p.waitForFinished(5000)) {
        StopProcess(p);
        return false;
    }
    if (out)
        *out = p.readAllStandardOutput();
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

} // namespace voxlet::test
