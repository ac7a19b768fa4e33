// The HD call's codec on its own: 16 kHz speech-like sound (voiced
// syllables and pauses) encoded and decoded as the call does, one 20 ms
// frame at a time, at every complexity. Prints, per complexity, the share of
// a core encoding and decoding take and how far the decoded sound's spectrum
// is from what went in (a rough measure of what the extra work buys),
// so that the complexity the phone uses can be chosen by figures; then the
// same for Opus's restricted low-delay mode (CELT alone), the cheaper choice.
//
//   opus_alone [seconds]
#include "audio/opus_voice.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

namespace {

double ThreadSeconds()
{
    timespec t {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Syllables of 120-370 ms: a pulse train at 100-220 Hz through two
// resonances, with pauses of 50-300 ms between them.
std::vector<std::int16_t> Speech(std::size_t samples)
{
    std::mt19937 rng(7);
    std::vector<double> x(samples, 0.0);
    for (std::size_t at = 0; at < samples;) {
        const std::size_t len = std::min<std::size_t>(samples - at, 1920 + rng() % 4000);
        const double pitch = 100 + rng() % 120, f1 = 300 + rng() % 600, f2 = 1000 + rng() % 2200;
        double y1 = 0, y2 = 0, z1 = 0, z2 = 0;
        for (std::size_t i = 0; i < len; ++i) {
            const double pulse = std::fmod(double(i), 16000 / pitch) < 1 ? 1.0 : 0.0;
            const auto resonate = [](double in, double f, double& a, double& b) {
                const double r = 0.97, c = 2 * r * std::cos(2 * M_PI * f / 16000);
                const double out = in + c * a - r * r * b;
                b = a;
                a = out;
                return out;
            };
            const double v = resonate(pulse, f1, y1, y2) + 0.5 * resonate(pulse, f2, z1, z2);
            x[at + i] = v * std::sin(M_PI * double(i) / double(len));
        }
        at += len + std::min<std::size_t>(samples - at - len, 800 + rng() % 4000);
    }
    double peak = 1e-9;
    for (double v : x)
        peak = std::max(peak, std::abs(v));
    std::vector<std::int16_t> s(samples);
    for (std::size_t i = 0; i < samples; ++i)
        s[i] = std::int16_t(12000 * x[i] / peak);
    return s;
}

// Energies of 16 bands of 500 Hz in one frame of 320 samples, in dB.
std::vector<double> Bands(const std::int16_t* x)
{
    std::vector<double> bands(16, 0.0);
    for (int k = 1; k < 160; ++k) {
        double re = 0, im = 0;
        for (int n = 0; n < 320; ++n) {
            const double w = 0.5 - 0.5 * std::cos(2 * M_PI * n / 320); // Hann
            re += w * x[n] * std::cos(2 * M_PI * k * n / 320);
            im -= w * x[n] * std::sin(2 * M_PI * k * n / 320);
        }
        bands[std::size_t(k / 10)] += re * re + im * im;
    }
    for (double& b : bands)
        b = 10 * std::log10(b + 1);
    return bands;
}

// Spectral distortion: the mean difference in band energy (dB) between what
// went in and what came out, over the frames with speech in them, at the
// codec's own delay (its look-ahead: 6.5 ms in the speech mode).
double Distortion(const std::vector<std::int16_t>& in, const std::vector<std::int16_t>& out, int delay)
{
    double sum = 0;
    int frames = 0;
    for (std::size_t at = 0; at + 320 + std::size_t(delay) <= out.size(); at += 320 * 5) {
        const std::vector<double> a = Bands(in.data() + at), b = Bands(out.data() + at + std::size_t(delay));
        if (*std::max_element(a.begin(), a.end()) < 100)
            continue; // a pause
        for (std::size_t i = 0; i < a.size(); ++i)
            sum += std::abs(a[i] - b[i]);
        ++frames;
    }
    return frames ? sum / (16.0 * frames) : 0;
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    const std::vector<std::int16_t> speech = Speech(std::size_t(seconds) * 16000);
    std::printf("per complexity: encoding and decoding, %% of a core; spectral distortion, dB\n");
    const auto measure = [&](voxlet::OpusSettings settings) {
        voxlet::VoiceEncoder encoder(settings);
        voxlet::VoiceDecoder decoder;
        std::vector<unsigned char> packet;
        std::vector<std::int16_t> out(speech.size());
        double encoding = 0, decoding = 0;
        for (std::size_t at = 0; at + 320 <= speech.size(); at += 320) {
            const double t0 = ThreadSeconds();
            encoder.encode(speech.data() + at, packet);
            const double t1 = ThreadSeconds();
            decoder.decode(packet.data(), int(packet.size()), out.data() + at);
            encoding += t1 - t0;
            decoding += ThreadSeconds() - t1;
        }
        std::printf("OPUS_ALONE mode=%s complexity=%d encode=%.3f decode=%.3f distortion=%.2f\n",
            settings.lowDelay ? "lowdelay" : "voip", settings.complexity, 100 * encoding / seconds,
            100 * decoding / seconds, Distortion(speech, out, encoder.lookahead()));
    };
    for (int complexity = 0; complexity <= 10; ++complexity) {
        voxlet::OpusSettings settings;
        settings.complexity = complexity;
        measure(settings);
    }
    for (int complexity : { 1, 10 }) {
        voxlet::OpusSettings settings;
        settings.complexity = complexity;
        settings.lowDelay = true;
        measure(settings);
    }
    return 0;
}
