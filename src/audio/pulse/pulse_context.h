#pragma once
// One connection to the sound server (PulseAudio, or PipeWire through
// pipewire-pulse) on libpulse's threaded main loop. It connects in the
// background and, whenever the server goes away, keeps trying until it is
// back; the streams built on it are told when the connection is ready and
// when it is lost, and rebuild themselves. Nothing here shows anything.

#include "audio/connection_state.h"

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <vector>

struct pa_context;
struct pa_stream;
struct pa_threaded_mainloop;
struct pa_time_event;
struct pa_mainloop_api;

namespace voxlet::pulse {

class PulseContext {
public:
    // Called on the sound server's thread with the loop locked.
    class Client {
    public:
        virtual ~Client() = default;
        virtual void contextReady(pa_context* context) = 0;
        // The connection and every stream on it are gone.
        virtual void contextLost() = 0;
    };

    PulseContext();
    ~PulseContext();
    PulseContext(const PulseContext&) = delete;
    PulseContext& operator=(const PulseContext&) = delete;

    // A client hears contextReady at once when the connection is up.
    void addClient(Client* client);
    void removeClient(Client* client);

    bool ready() const { return state_.ready(); }
    std::uint64_t connections() const { return state_.connections(); }
    // Never on the loop's thread (ConnectionState).
    bool waitUntilReady(int timeoutMs) { return state_.waitUntilReady(timeoutMs); }
    bool waitForFirstAttempt(int timeoutMs);
    // Whether the server has this source (or sink), the default one when
    // name is null: what start-up asks before it reports a missing device.
    // False without a connection. Waits for the server's answer.
    bool hasDevice(bool source, const char* name);
    // The server's name as it gives it ("PulseAudio", or "PulseAudio (on
    // PipeWire 0.3.65)" from pipewire-pulse); empty without a connection.
    QByteArray serverName();

    // Locks the loop: for the main thread while it touches streams.
    class Lock {
    public:
        explicit Lock(PulseContext& c);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* loop_;
    };

    pa_mainloop_api* api() const;
    // The live context, or null; only with the loop locked.
    pa_context* context() const { return context_; }
    // True on the loop's own thread (callbacks), where locking would deadlock.
    bool inLoopThread() const;

private:
    static void onState(pa_context* c, void* self);
    static void onRetry(pa_mainloop_api* api, pa_time_event* e, const struct timeval* tv, void* self);
    void connect();
    void scheduleRetry();
    void dropContext();

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_time_event* retry_ = nullptr;
    int failures_ = 0;
    std::vector<Client*> clients_;
    ConnectionState state_;
};

// A one-shot timer on the loop's thread: a stream that failed while the
// server stayed tries again with it. start() and stop() with the loop locked.
class RetryTimer {
public:
    explicit RetryTimer(PulseContext& context)
        : context_(context)
    {
    }
    ~RetryTimer();
    RetryTimer(const RetryTimer&) = delete;
    RetryTimer& operator=(const RetryTimer&) = delete;

    // Replaces one already pending.
    void start(int ms, std::function<void()> fire);
    void stop();

private:
    static void onTime(pa_mainloop_api* api, pa_time_event* e, const struct timeval* tv, void* self);

    PulseContext& context_;
    pa_time_event* event_ = nullptr;
    std::function<void()> fire_;
};

// How long a stream that failed while the server stayed (its device went
// away) waits before it tries again.
constexpr int kReopenMs = 1000;

// A client that keeps one stream on the named device (empty: the server's
// default) while it is wanted: opened whenever the connection is ready,
// dropped when it is lost. Everything here is under the loop lock.
class StreamClient : public PulseContext::Client {
protected:
    StreamClient(PulseContext& context, QByteArray device)
        : context_(context)
        , device_(std::move(device))
    {
    }

    const char* device() const { return device_.isEmpty() ? nullptr : device_.constData(); }
    // Opens the stream when it is wanted, not open, and the connection is up.
    void openIfReady();
    // The stream failed while the server stayed (its device went away):
    // dropped, and tried again in a while.
    void streamFailed();
    // Forgets the stream's callbacks and lets it go.
    void dropStream();

    PulseContext& context_;
    QByteArray device_;
    bool wanted_ = false;
    pa_stream* stream_ = nullptr;
    RetryTimer reopen_ { context_ };

private:
    void contextReady(pa_context* context) override;
    void contextLost() override { closeStream(); }
    void openNow(pa_context* context);
    // Sets up stream_ on the ready connection; streamFailed() when it cannot.
    virtual void openStream(pa_context* context) = 0;
    // Drops stream_ (null already or not) and all that depends on it.
    virtual void closeStream() = 0;
};

} // namespace voxlet::pulse
