#pragma once
// The capture half of a call's voice, as every sound server backend shares
// it: what the server records, cleaned of the speaker's echo by the phone's
// canceller, goes through a lock-free ring from the sound server's thread to
// the main thread, which hands it to the call in pieces of 20 ms at the
// call's rate. While the stream is away, silent pieces come by the clock
// instead, so the call keeps sending at its pace. A backend opens and drops
// its stream; everything else is here.

#include "audio/audio_devices.h"
#include "audio/spsc_ring.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <cstddef>
#include <cstdint>

class QSocketNotifier;

namespace voxlet {

class EchoPath;

class CapturePath : public QObject {
public:
    explicit CapturePath(QObject* parent = nullptr);
    ~CapturePath() override;

    // ---- main thread ----

    // A call's capture begins: pieces of the call's length go to onPiece on
    // this thread from now on. The backend opens its stream after this, at
    // voice().rate, and calls deliverWaiting() once it has.
    void begin(const CallVoice& voice, CaptureDevice::PieceCallback onPiece);
    // Nothing is delivered any more; what waits is dropped. The backend has
    // closed its stream first.
    void end();
    // Hands over the whole pieces that wait (also what an eventfd wake-up runs).
    void deliverWaiting();

    const CallVoice& voice() const { return voice_; }
    bool streaming() const { return up_.load(); }
    std::uint64_t silentBytes() const { return silentBytes_; }
    std::uint64_t overflowBytes() const { return overflow_.load(); }

    // ---- the sound server's thread (and the main thread with the backend's lock) ----

    // The phone's echo canceller cleans what is recorded (null: none).
    void setEcho(EchoPath* echo) { echo_ = echo; }
    EchoPath* echo() const { return echo_; }
    // The stream is recording / has gone.
    void streamUp();
    void streamDown();
    // Recorded bytes (null data: a hole in the recording, silence of that
    // length) and how long they took to reach us (-1: not known).
    void recorded(const void* data, std::size_t bytes, int latencyMs);
    // After a callback's recorded() calls: wakes the main thread once a
    // whole piece waits.
    void recordedAll();

private:
    std::size_t put(const void* data, std::size_t bytes, int latencyMs);
    void wake();
    void onSilenceTick();
    void deliver(const char* piece);

    CaptureDevice::PieceCallback onPiece_;
    CallVoice voice_;
    std::atomic<int> pieceBytes_ { kPlainVoice.pieceBytes() };
    SpscRing ring_ { 64 * 1024 };
    int eventFd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    QTimer silence_;
    QElapsedTimer silenceClock_;
    std::uint64_t silenceDue_ = 0; // bytes delivered since silence began
    std::uint64_t silentBytes_ = 0;
    std::atomic<bool> up_ { false };
    std::atomic<std::uint64_t> overflow_ { 0 };
    EchoPath* echo_ = nullptr;
};

} // namespace voxlet
