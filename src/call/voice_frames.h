#pragma once
// What two Voxlets send after an answer with a field (an HD call), both
// ways: frames of [length: 2 bytes, big-endian, of type and payload]
// [type: 1 byte][payload]. Pure code on bytes: the encrypted call seals a
// frame's payload with its three header bytes as associated data and
// carries its handshake in frames of its own types.
//
//   0x01        one Opus packet of 20 ms
//   0x02        one Opus packet sealed (the encrypted call's audio)
//   0x10        the encrypted call's handshake message 2 (from the dialling side)
//   0x11        ... its message 3 (from the called side)
//   0x12-0x1f   reserved for the handshake's later versions
//
// Any other type is unknown to this version.

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>

namespace voxlet::frames {

constexpr std::uint8_t kOpusPacket = 0x01;
constexpr std::uint8_t kSealed = 0x02;
constexpr std::uint8_t kMessage2 = 0x10;
constexpr std::uint8_t kMessage3 = 0x11;

constexpr int kHeaderBytes = 3;
// Opus's largest packet (RFC 6716), and room for a sealed frame's tag.
constexpr int kMaxOpusPayload = 1275;
constexpr int kTagBytes = 16;
// The length field's largest value any frame of this version has.
constexpr int kMaxLength = 1 + kMaxOpusPayload + kTagBytes;

// A frame's three header bytes, for a payload of this length.
QByteArray FrameHeader(std::uint8_t type, qsizetype payloadBytes);
// A frame's bytes, header first: appended to out.
void AppendFrame(QByteArray& out, std::uint8_t type, QByteArrayView payload);

enum class FrameFault {
    None,
    Empty, // a length of 0: not even a type
    TooLong, // longer than any frame may be
};

struct Frame {
    std::uint8_t type = 0;
    QByteArrayView header; // the three bytes as they came
    QByteArrayView payload;
};

// Cuts the stream into frames as its bytes come, in reads of any size.
// The first fault stops it for good: after it nothing more is trustworthy.
class FrameReader {
public:
    void push(const char* data, int bytes);
    // The next whole frame, valid until the next push(); false
    // when none is whole yet, or once a fault stopped the reader.
    bool next(Frame& frame);
    FrameFault fault() const { return fault_; }
    void reset();

private:
    QByteArray buffer_;
    qsizetype at_ = 0; // where the next frame starts in buffer_
    FrameFault fault_ = FrameFault::None;
};

} // namespace voxlet::frames
