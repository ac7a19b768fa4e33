#include "call/voice_frames.h"

namespace voxlet::frames {

QByteArray FrameHeader(std::uint8_t type, qsizetype payloadBytes)
{
    const qsizetype length = 1 + payloadBytes;
    const char header[kHeaderBytes] = { char(length >> 8 & 0xff), char(length & 0xff), char(type) };
    return QByteArray(header, kHeaderBytes);
}

void AppendFrame(QByteArray& out, std::uint8_t type, QByteArrayView payload)
{
    out += FrameHeader(type, payload.size());
    out.append(payload.data(), payload.size());
}

void FrameReader::push(const char* data, int bytes)
{
    if (fault_ != FrameFault::None || bytes <= 0)
        return;
    // What was handed out last is no longer needed: keep only the rest.
    if (at_ > 0) {
        buffer_.remove(0, at_);
        at_ = 0;
    }
    buffer_.append(data, bytes);
}

bool FrameReader::next(Frame& frame)
{
    if (fault_ != FrameFault::None || buffer_.size() - at_ < 2)
        return false;
    const auto* p = reinterpret_cast<const unsigned char*>(buffer_.constData() + at_);
    const int length = p[0] << 8 | p[1];
    if (length == 0 || length > kMaxLength) {
        fault_ = length == 0 ? FrameFault::Empty : FrameFault::TooLong;
        buffer_.clear();
        at_ = 0;
        return false;
    }
    if (buffer_.size() - at_ < 2 + length)
        return false;
    frame.type = p[2];
    frame.header = QByteArrayView(buffer_.constData() + at_, kHeaderBytes);
    frame.payload = QByteArrayView(buffer_.constData() + at_ + kHeaderBytes, length - 1);
    at_ += 2 + length;
    return true;
}

void FrameReader::reset()
{
    buffer_.clear();
    at_ = 0;
    fault_ = FrameFault::None;
}

} // namespace voxlet::frames
