#pragma once
// A private, headless sound server for tests that use the real sound
// devices, with virtual speakers (null sinks) and microphones (a null sink
// feeding a remapped source), plus tone helpers to feed and measure what
// they carry. The server is the one scripts/services.sh sets up for the
// scripts and benchmarks (PulseAudio, or PipeWire with pipewire-pulse when
// VOXLET_SOUND_SERVER=pipewire), run here under this process so that a test
// can stop and restart it.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace voxlet::test {

// 16-bit little-endian mono PCM of a sine tone.
QByteArray TonePcm(double hz, double seconds, int rate, int amplitude = 12000);
// 16-bit mono PCM at 8000 samples/s that a voice canceller and a noise
// suppressor treat as speech: voiced syllables of 120-370 ms (a glottal
// pulse train at 100-220 Hz through two formants) with pauses of 50-300 ms,
// at the given RMS over the whole, the same for the same seed.
QByteArray SpeechLikePcm(double seconds, unsigned seed, double rms = 3000);
// A canonical PCM WAV file around 16-bit PCM.
QByteArray WavOf(const QByteArray& pcm, int rate, int channels = 1);

double Rms(const char* pcm, int bytes);
// The strongest frequency between lo and hi Hz (Goertzel, in steps of step Hz):
// robust against short gaps, unlike counting zero crossings.
double DominantFrequency(
    const char* pcm, int bytes, int rate, double lo = 50, double hi = 3500, double step = 5);
// The level of one frequency in dB (of 16-bit units; a full-scale sine is
// about 84 dB): what a tone of that frequency brings.
double ToneLevelDb(const char* pcm, int bytes, int rate, double hz);
// Only the loud part of a recording (a sink's monitor runs silent around it).
QByteArray LoudPart(const QByteArray& pcm, int threshold = 3000);

struct ToneWindows {
    int loud = 0; // windows louder than the threshold
    int matching = 0; // of those, the ones whose dominant frequency is near the target
};
// Cuts a recording into windows of windowBytes and checks the loud ones for the tone.
ToneWindows CountToneWindows(const QByteArray& pcm, int rate, double hz, double tolerance,
    int windowBytes = 2000, double rmsThreshold = 3000);

// Helper processes end with the test process, even if it crashes.
void TieToThisProcess(QProcess& p);
void StopProcess(QProcess& p);

// parec on a source (e.g. "speaker.monitor"), collected as 8000 Hz mono s16le.
class PulseRecorder {
public:
    explicit PulseRecorder(const QString& source, int rate = 8000, int channels = 1);
    ~PulseRecorder();
    bool started() const { return started_; }
    // Runs events until the first bytes come: a monitor delivers only once
    // its idle null sink runs at the recorder's latency (about 2 s), and a
    // voice stream started before that gets nothing asked of it either.
    bool waitFlowing(int timeoutMs = 10000);
    // Whatever has arrived so far (reads pending output first).
    const QByteArray& data();
    void stop();

private:
    QProcess process_;
    QByteArray data_;
    bool started_ = false;
};

// "pulseaudio" or "pipewire", as VOXLET_SOUND_SERVER chooses.
QString SoundServerKind();

class PulseServer {
public:
    // devices: as scripts/services.sh names them, e.g. { "speaker", "mic" }.
    explicit PulseServer(QStringList devices);
    ~PulseServer();

    // Starts the server and points this process and its children at it (call
    // before the first connection to a sound server). False, with the reason, when
    // the server is missing or does not come up.
    bool start(QString* whyNot);
    void stop();

    // Keeps one reader on a remapped source: a new reader otherwise gets no
    // data for a second or two.
    void keepReading(const QString& source);
    // Feeds a WAV file into a sink in real time.
    bool play(const QString& sink, const QString& wavPath);
    // Runs a pulseaudio utility to its end (bounded); true on success.
    bool runTool(const QStringList& args, QByteArray* out = nullptr);

    QString filePath(const QString& name) const { return dir_.filePath(name); }

private:
    QTemporaryDir dir_;
    QStringList devices_;
    QString script_;
    QProcess server_;
    std::vector<std::unique_ptr<QProcess>> helpers_;
};

} // namespace voxlet::test
