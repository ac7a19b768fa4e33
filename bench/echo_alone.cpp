// The echo canceller on its own, fed as a call feeds it: every 20 ms a
// piece of the far end's voice, and 10 ms later a piece of the microphone's,
// each in a wake-up of its own, with the call benchmark's tones. Prints the
// thread's CPU in the canceller as a share of a core, woken so and with the
// same frames back to back: the floor the phone's figure stands on. At the
// rate of an old-style call (8000 samples/s) or of an HD one (16000).
//
//   echo_alone [seconds] [rate]
#include "audio/echo_canceller.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

double ThreadSeconds()
{
    timespec t {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void SleepUntil(timespec& at, long addNs)
{
    at.tv_nsec += addNs;
    while (at.tv_nsec >= 1000000000L) {
        at.tv_nsec -= 1000000000L;
        ++at.tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
}

std::vector<std::int16_t> Tone(double hz, std::size_t samples, int rate)
{
    std::vector<std::int16_t> t(samples);
    for (std::size_t i = 0; i < samples; ++i)
        t[i] = std::int16_t(12000 * std::sin(2 * M_PI * hz * double(i) / rate));
    return t;
}

// Share of a core the canceller took over `seconds` of voice.
double Run(int seconds, int rate, bool paced)
{
    const std::size_t piece = std::size_t(rate / 50); // 20 ms
    const std::size_t pieces = std::size_t(seconds) * 50;
    const std::vector<std::int16_t> far = Tone(660, pieces * piece, rate);
    const std::vector<std::int16_t> mic = Tone(440, pieces * piece, rate);
    voxlet::EchoCanceller canceller(rate);
    canceller.setDelayMs(60);
    std::vector<std::int16_t> out;
    timespec at {};
    clock_gettime(CLOCK_MONOTONIC, &at);
    double busy = 0;
    for (std::size_t k = 0; k < pieces; ++k) {
        if (paced)
            SleepUntil(at, 10000000L);
        double t0 = ThreadSeconds();
        canceller.render(far.data() + k * piece, piece);
        busy += ThreadSeconds() - t0;
        if (paced)
            SleepUntil(at, 10000000L);
        out.clear();
        t0 = ThreadSeconds();
        canceller.capture(mic.data() + k * piece, piece, out);
        busy += ThreadSeconds() - t0;
    }
    return 100 * busy / seconds;
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const int rate = argc > 2 ? std::atoi(argv[2]) : 8000;
    if (!voxlet::EchoCanceller(rate).ok()) {
        std::fprintf(stderr, "the echo canceller could not start\n");
        return 1;
    }
    const double paced = Run(seconds, rate, true);
    const double tight = Run(seconds, rate, false);
    std::printf("ECHO_ALONE paced=%.3f tight=%.3f\n", paced, tight);
    return 0;
}
