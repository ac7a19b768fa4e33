#pragma once
// A client of the connection that keeps one pw_stream on the named device
// (empty: the server's default) while it is wanted: opened whenever the
// connection is ready, dropped when it is lost, opened again a while after
// the server refused it. Everything here is under the loop lock, except
// process() of a real-time stream, which runs on the data thread.

#include "audio/pipewire/pipewire_context.h"

#include <pipewire/stream.h>

#include <QByteArray>

namespace voxlet::pipewire {

// How long a stream the server refused (no such device) waits before it
// tries again.
constexpr int kReopenMs = 1000;

struct StreamSpec {
    const char* name = "Voice";
    bool capture = false;
    int rate = 8000;
    int channels = 1;
    bool u8 = false; // 8-bit unsigned samples instead of 16-bit signed
    // The graph's cycle this stream asks for, in frames at rate (0: the server's choice).
    int latencyFrames = 0;
    // process() on the data thread, inside the graph's cycle: no locks, no
    // allocation there. Otherwise on the loop's thread, loop locked.
    bool realtime = false;
};

class StreamClient : public PipeWireContext::Client {
protected:
    StreamClient(PipeWireContext& context, QByteArray device, bool source);
    ~StreamClient() override;

    const QByteArray& device() const { return device_; }
    // Opens the stream when it is wanted, not open, and the connection is up.
    void openIfReady();
    // Builds and connects stream_ as spec says; false when it cannot.
    bool connectStream(pw_core* core, const StreamSpec& spec);
    // Destroys stream_ (null already or not): no callback of it runs after this.
    void dropStream();
    // The stream failed (its device is gone): dropped, and tried again in a while.
    void streamFailed();

    PipeWireContext& context_;
    bool wanted_ = false;
    pw_stream* stream_ = nullptr;
    LoopTimer reopen_ { context_ };

private:
    void coreReady(pw_core* core) override;
    void coreLost() override { closeStream(); }
    // Sets up stream_ on the ready connection; streamFailed() when it cannot.
    virtual void openStream(pw_core* core) = 0;
    // Drops stream_ and all that depends on it.
    virtual void closeStream() = 0;
    virtual void process() = 0;
    virtual void stateChanged(pw_stream_state state) { (void)state; }
    virtual void drained() { }

    static void onState(void* self, pw_stream_state old, pw_stream_state state, const char* error);
    static void onProcess(void* self);
    static void onDrained(void* self);

    QByteArray device_;
    spa_hook hook_ {};
    pw_stream_events events_ {};
};

// How long a sample takes from the stream to the speaker (playback) or took
// from the microphone to the stream (capture), as the server reports it; -1
// when not known yet. Safe in process().
int StreamLatencyMs(pw_stream* stream, int rate);

} // namespace voxlet::pipewire
