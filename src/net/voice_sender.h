#pragma once
// What the phone has captured but the socket has not yet taken. Pieces of
// about 20 ms go out as they come; when the network stalls, only a little
// old speech may wait, and what is dropped is dropped in whole samples so the
// far end never loses its byte alignment. At hang-up the current voice block
// is completed with silence: the far end assembles blocks of 8000 bytes and
// must never be left holding part of one. An HD call's voice goes in frames
// instead: each capture() is one, what is dropped is whole frames, and the
// call ends after its last whole frame.

#include <cstdint>
#include <vector>

namespace voxlet {

class VoiceSender {
public:
    // maxUnsentBytes: what may wait unsent (rounded up to whole samples).
    explicit VoiceSender(int maxUnsentBytes = 1600, int blockBytes = 8000);
    // Frames, at most maxUnsentFrames of them waiting unsent.
    static VoiceSender Framed(int maxUnsentFrames);

    // Captured bytes, in order (framed: one whole frame); ignored after finish().
    void capture(const char* data, int count);
    // The bytes to offer the socket next, and how many it took.
    const char* unsent() const { return buffer_.data() + offset_; }
    int unsentBytes() const { return int(buffer_.size() - offset_); }
    void sent(int count);

    // Hang-up: completes the current block with silence; nothing is dropped
    // afterwards. done() once all of it has been sent.
    void finish();
    bool finished() const { return finished_; }
    bool done() const { return finished_ && unsentBytes() == 0; }

    std::uint64_t sentBytes() const { return sent_; }
    std::uint64_t droppedBytes() const { return dropped_; }
    std::uint64_t drops() const { return drops_; } // times stale audio was dropped
    bool framed() const { return framed_; }
    // Framed: one more frame would have the oldest that waits dropped.
    bool full() const { return framed_ && int(frames_.size()) - (headSent_ > 0 ? 1 : 0) >= maxFrames_; }

private:
    void captureFrame(const char* data, int count);
    void compact();

    bool framed_ = false;
    int maxFrames_ = 0;
    std::vector<int> frames_; // framed: the sizes of the frames not wholly sent, oldest first
    int headSent_ = 0; // ... and how much of the oldest is out already

    int maxUnsent_;
    int blockBytes_;
    std::vector<char> buffer_;
    std::size_t offset_ = 0;
    bool hasCarry_ = false;
    char carry_ = 0;
    bool finished_ = false;
    std::uint64_t sent_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t drops_ = 0;
};

} // namespace voxlet
