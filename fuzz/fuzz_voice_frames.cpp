// What an HD call's peer sends after the answer, in reads of any size
// (fuzz_support.h's pieces), through the frame reader and, for its Opus
// packets, the playback half that decodes and conceals. A frame is never
// longer than the bound, its header is its length and type, and after a
// fault nothing more comes out.
//
// The first byte's low bit makes it an encrypted call: the phone's side
// (CallCipher) is the called one, the dialling side an honest peer that
// sends message 2 and then seals each piece's bytes as a packet, unless
// the piece's first byte says otherwise: 0x80 the rest goes as it is (an
// attacker's bytes), 0x40 the frame goes twice, 0x20 one of its bits is
// flipped. Only what the honest side sealed is played, in its order, each
// once; after a fault nothing is.

#include "audio/playback_path.h"
#include "call/call_cipher.h"
#include "call/voice_frames.h"
#include "fuzz_support.h"

#include <deque>

using namespace voxlet;
using voxlet::fuzz::SplitInput;

namespace {

secure::KeyPair Fixed(std::uint8_t seed)
{
    std::uint8_t secret[32];
    std::fill(std::begin(secret), std::end(secret), seed);
    return secure::KeyPairFromSecret(secure::SecretKey(secret));
}

struct Receiver {
    frames::FrameReader reader;
    PlaybackPath playback;
    std::int64_t now = 0;
    CallCipher* cipher = nullptr; // an encrypted call
    std::deque<QByteArray> expected; // ... what its honest peer sealed, not played yet
    QByteArray reply; // ... and what it sends back

    Receiver()
    {
        playback.begin(kHdVoice);
        playback.streamUp();
    }
    void Play(QByteArrayView packet)
    {
        std::int16_t out[320];
        if (packet.size() <= frames::kMaxOpusPayload)
            playback.write(packet.data(), int(packet.size()), now);
        playback.render(out, 320, now += 20'000, -1);
    }
    void Read(QByteArrayView read)
    {
        reader.push(read.data(), int(read.size()));
        frames::Frame f;
        while (reader.next(f)) {
            FUZZ_CHECK(f.payload.size() + 1 <= frames::kMaxLength);
            const auto* h = reinterpret_cast<const unsigned char*>(f.header.data());
            FUZZ_CHECK((h[0] << 8 | h[1]) == f.payload.size() + 1 && h[2] == f.type);
            if (!cipher) {
                if (f.type == frames::kOpusPacket)
                    Play(f.payload);
                continue;
            }
            const bool failedBefore = cipher->failed();
            CallCipher::Taken taken = cipher->Take(f);
            FUZZ_CHECK(taken.ok != cipher->failed() && !(failedBefore && taken.ok));
            if (taken.packet) {
                FUZZ_CHECK(!expected.empty() && *taken.packet == expected.front());
                expected.pop_front();
                Play(*taken.packet);
            }
            reply += taken.reply;
        }
        if (reader.fault() != frames::FrameFault::None)
            FUZZ_CHECK(!reader.next(f));
    }
};

void EncryptedCall(Receiver& receiver, std::uint8_t flags, const std::vector<std::string_view>& pieces)
{
    const QString greeting = QStringLiteral("VOICEMSG:OK");
    const QString request = QStringLiteral("VOICEMSG:OK|Taro|vx1;codec=opus16;c=x|END");
    secure::CallHandshake dialling = secure::CallHandshake::Dialling(Fixed(1), Fixed(2));
    CallCipher called;
    const QString key = called.Called(Fixed(3), dialling.commitmentField());
    const QString answer = QStringLiteral("CallAnswer|vx1;codec=opus16;e=") + key + QStringLiteral("|END");
    FUZZ_CHECK(called.Answering(greeting, request, answer));
    receiver.cipher = &called;
    // Message 2 first, unless the attacker speaks first (flag 2).
    QByteArray message2;
    frames::AppendFrame(
        message2, frames::kMessage2, dialling.TakeAnswer(greeting, request, answer, key).value());
    if (!(flags & 2))
        receiver.Read(message2);
    std::unique_ptr<secure::SecureSession> session;
    for (std::string_view piece : pieces) {
        if (!session && !receiver.reply.isEmpty()) {
            FUZZ_CHECK(dialling.TakeMessage3(QByteArrayView(receiver.reply).sliced(frames::kHeaderBytes)));
            FUZZ_CHECK(dialling.shortCode() == called.shortCode());
            session = dialling.TakeSession();
        }
        const std::uint8_t op = piece.empty() ? 0 : std::uint8_t(piece[0]);
        const QByteArrayView rest = piece.empty()
            ? QByteArrayView()
            : QByteArrayView(piece.data() + 1, qsizetype(piece.size() - 1));
        if ((op & 0x80) || !session) {
            receiver.Read(rest);
            continue;
        }
        const QByteArray header = frames::FrameHeader(frames::kSealed, rest.size() + secure::kTagLen);
        QByteArray frame = header + session->Seal(header, rest).value_or(QByteArray());
        if (op & 0x20)
            frame[(op & 0x1f) % frame.size()] = char(frame[(op & 0x1f) % frame.size()] ^ 1);
        else if (header.size() + rest.size() + secure::kTagLen <= 2 + frames::kMaxLength)
            receiver.expected.push_back(rest.toByteArray()); // once, even when it goes twice
        receiver.Read(op & 0x40 ? frame + frame : frame);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0 || !secure::SodiumReady())
        return 0;
    const std::vector<std::string_view> pieces = SplitInput(data + 1, size - 1, 64);
    Receiver receiver;
    if (!(data[0] & 1)) {
        for (std::string_view read : pieces)
            receiver.Read(QByteArrayView(read.data(), qsizetype(read.size())));
        return 0;
    }
    EncryptedCall(receiver, data[0], pieces);
    return 0;
}
