// Ring files are whatever the user put beside the program: ParseWav on any bytes.

#include "fuzz_support.h"

#include "audio/wav_file.h"

using namespace voxlet;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QString error;
    const std::optional<WavSound> sound = ParseWav(bytes, &error);
    if (!sound) {
        FUZZ_CHECK(!error.isEmpty());
        return 0;
    }
    FUZZ_CHECK(sound->Channels == 1 || sound->Channels == 2);
    FUZZ_CHECK(sound->BitsPerSample == 8 || sound->BitsPerSample == 16);
    FUZZ_CHECK(sound->SampleRate > 0);
    FUZZ_CHECK(sound->Samples.size() % sound->bytesPerFrame() == 0);
    FUZZ_CHECK(sound->Samples.size() <= bytes.size());
    return 0;
}
