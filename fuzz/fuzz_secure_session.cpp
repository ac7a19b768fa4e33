// An attacker's handshake fields and messages, fed to either side of an
// encrypted call (he cannot forge one that completes it); or an honest call
// whose messages and frames the attacker changes in flight. The first byte picks which (low two
// bits: 0 the called side, 1 the dialling side, 2 the honest call); the
// pieces follow (fuzz_support.h). Whatever comes, no crash; a changed byte
// always fails, an unchanged call always agrees; nothing opens once a frame
// has failed.

#include "fuzz_support.h"
#include "secure/call_handshake.h"

#include <QString>

#include <string_view>

using namespace voxlet::secure;
using voxlet::fuzz::SplitInput;

namespace {

KeyPair Fixed(std::uint8_t seed)
{
    std::uint8_t secret[32];
    std::fill(std::begin(secret), std::end(secret), seed);
    return KeyPairFromSecret(SecretKey(secret));
}

QByteArray Bytes(std::string_view piece)
{
    return QByteArray(piece.data(), qsizetype(piece.size()));
}

const QString kGreeting = QStringLiteral("VOICEMSG:OK");
const QString kRequest = QStringLiteral("VOICEMSG:OK|Taro|vx1;c=x|END");
const QString kAnswer = QStringLiteral("CallAnswer|vx1;e=x|END");

// XORs the piece into the bytes; true when it changed one.
bool Change(QByteArray& bytes, std::string_view piece, bool cut)
{
    bool changed = false;
    for (std::size_t i = 0; i < piece.size() && qsizetype(i) < bytes.size(); ++i) {
        bytes[qsizetype(i)] = char(bytes[qsizetype(i)] ^ piece[i]);
        changed = changed || piece[i] != 0;
    }
    if (cut && !bytes.isEmpty()) {
        bytes.chop(1);
        changed = true;
    }
    return changed;
}

void HonestCall(std::uint8_t flags, const std::vector<std::string_view>& pieces)
{
    // The first two pieces are XORed into messages 2 and 3 (flags 4 and 8 cut their last byte).
    const auto edit = [&](std::size_t i) { return i < pieces.size() ? pieces[i] : std::string_view(); };
    CallHandshake dialling = CallHandshake::Dialling(Fixed(1), Fixed(2));
    CallHandshake called = CallHandshake::Called(Fixed(3), dialling.commitmentField(), Fixed(4));
    called.Start(kGreeting, kRequest, kAnswer);
    QByteArray message2 = dialling.TakeAnswer(kGreeting, kRequest, kAnswer, called.ephemeralField()).value();
    const bool changed2 = Change(message2, edit(0), flags & 4);
    const std::optional<QByteArray> reply = called.TakeMessage2(message2);
    FUZZ_CHECK(reply.has_value() != changed2);
    if (!reply)
        return;
    QByteArray message3 = *reply;
    const bool changed3 = Change(message3, edit(1), flags & 8);
    FUZZ_CHECK(dialling.TakeMessage3(message3) != changed3);
    if (changed3)
        return;
    FUZZ_CHECK(dialling.shortCode() == called.shortCode());
    // Each frame's piece: an operation byte (0x40: flip the bit at its low
    // bits, 0x80: cut the last byte, 0x20: send the previous frame again),
    // then the plain payload.
    auto sender = dialling.TakeSession(), receiver = called.TakeSession();
    const QByteArray header("\x00\x10\x02", 3);
    QByteArray previous;
    bool failed = false;
    for (std::size_t i = 2; i < pieces.size(); ++i) {
        const QByteArray piece = Bytes(pieces[i]);
        const std::uint8_t op = piece.isEmpty() ? 0 : std::uint8_t(piece[0]);
        QByteArray frame = header + sender->Seal(header, piece.mid(1)).value();
        if (op & 0x40)
            frame[(op & 0x3f) % frame.size()] = char(frame[(op & 0x3f) % frame.size()] ^ 1);
        if (op & 0x80)
            frame.chop(1);
        if ((op & 0x20) && !previous.isEmpty())
            frame = previous;
        const bool changed = (op & 0xc0) || ((op & 0x20) && !previous.isEmpty());
        previous = frame;
        const bool opened = receiver->Open(frame.left(3), frame.mid(3)).has_value();
        FUZZ_CHECK(opened == (!failed && !changed));
        failed = failed || !opened;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0 || !SodiumReady())
        return 0;
    const std::uint8_t flags = data[0];
    const std::vector<std::string_view> pieces = SplitInput(data + 1, size - 1, 12);
    const QString field = QString::fromLatin1(pieces[0].data(), qsizetype(pieces[0].size()));
    const QByteArray message = pieces.size() > 1 ? Bytes(pieces[1]) : QByteArray();
    switch (flags & 3) {
    case 0: {
        CallHandshake called = CallHandshake::Called(Fixed(3), field, Fixed(4));
        called.Start(kGreeting, kRequest, kAnswer);
        (void)called.TakeMessage2(message);
        FUZZ_CHECK(called.done() == (called.fault() == SecureFault::None));
        break;
    }
    case 1: {
        CallHandshake dialling = CallHandshake::Dialling(Fixed(1), Fixed(2));
        if (flags & 4)
            (void)dialling.TakeMessage3(message); // out of turn
        (void)dialling.TakeAnswer(kGreeting, kRequest, kAnswer, field);
        (void)dialling.TakeMessage3(message);
        FUZZ_CHECK(!(flags & 4) || dialling.fault() == SecureFault::OutOfTurn);
        break;
    }
    default:
        HonestCall(flags, pieces);
    }
    return 0;
}
