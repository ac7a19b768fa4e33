#include "audio/pulse/pulse_context.h"

#include "call/ports.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop-api.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>
#include <pulse/timeval.h>

#include <algorithm>

#include <sys/time.h>

namespace voxlet::pulse {

namespace {

struct DeviceQuery {
    pa_threaded_mainloop* loop;
    bool done = false;
    bool found = false;
    QByteArray name;
};

// Waits (loop locked) until the query's answer is in or the connection is lost.
bool Await(DeviceQuery& q, pa_operation* op)
{
    if (!op)
        return false;
    // A lost connection cancels the query and wakes us through onState.
    while (!q.done && pa_operation_get_state(op) == PA_OPERATION_RUNNING)
        pa_threaded_mainloop_wait(q.loop);
    pa_operation_unref(op);
    return q.done;
}

// eol < 0: no such device; eol > 0: the end of the answer.
void Answer(DeviceQuery* q, bool info, int eol)
{
    if (eol != 0)
        q->done = true;
    else if (info)
        q->found = true;
    pa_threaded_mainloop_signal(q->loop, 0);
}

} // namespace

PulseContext::PulseContext()
{
    loop_ = pa_threaded_mainloop_new();
    if (!loop_)
        return;
    pa_threaded_mainloop_set_name(loop_, "voxlet-sound");
    if (pa_threaded_mainloop_start(loop_) < 0) {
        pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
        return;
    }
    Lock lock(*this);
    connect();
}

PulseContext::~PulseContext()
{
    if (!loop_)
        return;
    {
        Lock lock(*this);
        clients_.clear();
        if (retry_) {
            api()->time_free(retry_);
            retry_ = nullptr;
        }
        dropContext();
    }
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

PulseContext::Lock::Lock(PulseContext& c)
    : loop_(c.loop_)
{
    if (loop_)
        pa_threaded_mainloop_lock(loop_);
}

PulseContext::Lock::~Lock()
{
    if (loop_)
        pa_threaded_mainloop_unlock(loop_);
}

pa_mainloop_api* PulseContext::api() const
{
    return loop_ ? pa_threaded_mainloop_get_api(loop_) : nullptr;
}

bool PulseContext::inLoopThread() const
{
    return loop_ && pa_threaded_mainloop_in_thread(loop_);
}

void PulseContext::addClient(Client* client)
{
    if (!loop_ || !client)
        return;
    Lock lock(*this);
    clients_.push_back(client);
    if (context_ && pa_context_get_state(context_) == PA_CONTEXT_READY)
        client->contextReady(context_);
}

void PulseContext::removeClient(Client* client)
{
    if (!loop_)
        return;
    Lock lock(*this);
    clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
}

bool PulseContext::waitForFirstAttempt(int timeoutMs)
{
    return loop_ && state_.waitForFirstAttempt(timeoutMs);
}

bool PulseContext::hasDevice(bool source, const char* name)
{
    if (!loop_ || inLoopThread())
        return false;
    DeviceQuery q { loop_, false, false, {} };
    Lock lock(*this);
    if (!context_ || pa_context_get_state(context_) != PA_CONTEXT_READY)
        return false;
    pa_operation* op = source ? pa_context_get_source_info_by_name(
                           context_, name ? name : "@DEFAULT_SOURCE@",
                           [](pa_context*, const pa_source_info* i, int eol, void* q) {
                               Answer(static_cast<DeviceQuery*>(q), i != nullptr, eol);
                           },
                           &q)
                              : pa_context_get_sink_info_by_name(
                                  context_, name ? name : "@DEFAULT_SINK@",
                                  [](pa_context*, const pa_sink_info* i, int eol, void* q) {
                                      Answer(static_cast<DeviceQuery*>(q), i != nullptr, eol);
                                  },
                                  &q);
    Await(q, op);
    return q.found;
}

QByteArray PulseContext::serverName()
{
    if (!loop_ || inLoopThread())
        return {};
    DeviceQuery q { loop_, false, false, {} };
    Lock lock(*this);
    if (!context_ || pa_context_get_state(context_) != PA_CONTEXT_READY)
        return {};
    Await(q,
        pa_context_get_server_info(
            context_,
            [](pa_context*, const pa_server_info* i, void* p) {
                auto* q = static_cast<DeviceQuery*>(p);
                if (i && i->server_name)
                    q->name = i->server_name;
                q->done = true;
                pa_threaded_mainloop_signal(q->loop, 0);
            },
            &q));
    return q.name;
}

void PulseContext::connect()
{
    pa_proplist* props = pa_proplist_new();
    // What desktop sound settings show, and how they remember our devices.
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, kAppName);
    pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, "voxlet");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "io.github.voxlet.Voxlet");
    context_ = pa_context_new_with_proplist(api(), kAppName, props);
    pa_proplist_free(props);
    if (!context_) {
        state_.failed();
        scheduleRetry();
        return;
    }
    pa_context_set_state_callback(context_, &PulseContext::onState, this);
    // Never start a server of our own: the desktop owns it.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        state_.failed();
        dropContext();
        scheduleRetry();
    }
}

void PulseContext::dropContext()
{
    if (!context_)
        return;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
}

void PulseContext::onState(pa_context* c, void* self)
{
    auto* me = static_cast<PulseContext*>(self);
    pa_threaded_mainloop_signal(me->loop_, 0); // anyone waiting on a query
    switch (pa_context_get_state(c)) {
    case PA_CONTEXT_READY: {
        me->failures_ = 0;
        me->state_.connected();
        const auto clients = me->clients_;
        for (Client* client : clients)
            client->contextReady(c);
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED: {
        if (me->state_.lost()) {
            const auto clients = me->clients_;
            for (Client* client : clients)
                client->contextLost();
        }
        // Not freed inside its own callback: the retry does it.
        me->scheduleRetry();
        break;
    }
    default:
        break;
    }
}

void PulseContext::scheduleRetry()
{
    if (retry_)
        return;
    // Quick at first (a server restart takes a moment), then gently.
    const pa_usec_t wait = (failures_++ < 10 ? 500 : 2000) * PA_USEC_PER_MSEC;
    timeval tv;
    pa_gettimeofday(&tv);
    pa_timeval_add(&tv, wait);
    retry_ = api()->time_new(api(), &tv, &PulseContext::onRetry, this);
}

void PulseContext::onRetry(pa_mainloop_api* api, pa_time_event* e, const struct timeval*, void* self)
{
    auto* me = static_cast<PulseContext*>(self);
    api->time_free(e);
    me->retry_ = nullptr;
    me->dropContext();
    me->connect();
}

RetryTimer::~RetryTimer()
{
    if (event_) {
        PulseContext::Lock lock(context_);
        stop();
    }
}

void RetryTimer::start(int ms, std::function<void()> fire)
{
    stop();
    pa_mainloop_api* api = context_.api();
    if (!api)
        return;
    fire_ = std::move(fire);
    timeval tv;
    pa_gettimeofday(&tv);
    pa_timeval_add(&tv, pa_usec_t(ms) * PA_USEC_PER_MSEC);
    event_ = api->time_new(api, &tv, &RetryTimer::onTime, this);
}

void RetryTimer::stop()
{
    if (event_)
        context_.api()->time_free(event_);
    event_ = nullptr;
}

void RetryTimer::onTime(pa_mainloop_api* api, pa_time_event* e, const struct timeval*, void* self)
{
    auto* me = static_cast<RetryTimer*>(self);
    api->time_free(e);
    me->event_ = nullptr;
    // A copy: firing may start the timer again.
    const std::function<void()> fire = me->fire_;
    if (fire)
        fire();
}

void StreamClient::contextReady(pa_context* context)
{
    if (wanted_ && !stream_)
        openNow(context);
}

void StreamClient::openIfReady()
{
    pa_context* context = context_.context();
    if (wanted_ && !stream_ && context && pa_context_get_state(context) == PA_CONTEXT_READY)
        openNow(context);
}

void StreamClient::openNow(pa_context* context)
{
    reopen_.stop();
    openStream(context);
}

void StreamClient::streamFailed()
{
    closeStream();
    if (wanted_)
        reopen_.start(kReopenMs, [this] { openIfReady(); });
}

void StreamClient::dropStream()
{
    if (!stream_)
        return;
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_moved_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
}

} // namespace voxlet::pulse
