// What an HD call's peer sends after the answer, in reads of any size
// (fuzz_support.h's pieces), through the frame reader and, for its Opus
// packets, the playback half that decodes and conceals. A frame is never
// longer than the bound, its header is its length and type, and after a
// fault nothing more comes out.

#include "audio/playback_path.h"
#include "call/voice_frames.h"
#include "fuzz_support.h"

using namespace voxlet;
using voxlet::fuzz::SplitInput;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    frames::FrameReader reader;
    PlaybackPath playback;
    playback.begin(kHdVoice);
    playback.streamUp();
    std::int16_t out[320];
    std::int64_t now = 0;
    for (std::string_view read : SplitInput(data, size, 64)) {
        reader.push(read.data(), int(read.size()));
        frames::Frame f;
        while (reader.next(f)) {
            FUZZ_CHECK(f.payload.size() + 1 <= frames::kMaxLength);
            const auto* h = reinterpret_cast<const unsigned char*>(f.header.data());
            FUZZ_CHECK((h[0] << 8 | h[1]) == f.payload.size() + 1 && h[2] == f.type);
            if (f.type == frames::kOpusPacket && f.payload.size() <= frames::kMaxOpusPayload)
                playback.write(f.payload.data(), int(f.payload.size()), now);
            playback.render(out, 320, now += 20'000, -1);
        }
        if (reader.fault() != frames::FrameFault::None)
            FUZZ_CHECK(!reader.next(f));
    }
    return 0;
}
