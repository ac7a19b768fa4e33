#include "audio/pipewire/pipewire_context.h"

#include "call/ports.h"

#include <pipewire/pipewire.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <pthread.h>

namespace voxlet::pipewire {

namespace {

const char* Lookup(const spa_dict* props, const char* key)
{
    const char* v = props ? spa_dict_lookup(props, key) : nullptr;
    return v ? v : "";
}

std::uint32_t LookupId(const spa_dict* props, const char* key)
{
    return std::uint32_t(std::strtoul(Lookup(props, key), nullptr, 10));
}

// PipeWire groups its canceller's nodes as "echo-cancel-...".
bool CancellerNode(const spa_dict* props)
{
    for (const char* key : { "node.group", "node.link-group" })
        if (std::strncmp(Lookup(props, key), "echo-cancel", 11) == 0)
            return true;
    return false;
}

void ArmTimer(pw_loop* loop, spa_source* source, int ms)
{
    // A zero time would disarm it.
    timespec value { ms / 1000, std::max(1L, long(ms % 1000) * 1000000L) };
    timespec interval { 0, 0 };
    pw_loop_update_timer(loop, source, &value, &interval, false);
}

} // namespace

struct PipeWireContext::Hooks {
    spa_hook core {};
    spa_hook registry {};
    pw_core_events coreEvents {};
    pw_registry_events registryEvents {};
    pw_node_events nodeEvents {};
};

struct PipeWireContext::BoundNode {
    PipeWireContext* owner;
    std::uint32_t id;
    pw_proxy* proxy;
    spa_hook hook {};
};

PipeWireContext::PipeWireContext()
    : hooks_(new Hooks)
{
    pw_init(nullptr, nullptr);
    hooks_->coreEvents.version = PW_VERSION_CORE_EVENTS;
    hooks_->coreEvents.done = &PipeWireContext::onCoreDone;
    hooks_->coreEvents.error = &PipeWireContext::onCoreError;
    hooks_->registryEvents.version = PW_VERSION_REGISTRY_EVENTS;
    hooks_->registryEvents.global = &PipeWireContext::onGlobal;
    hooks_->registryEvents.global_remove = &PipeWireContext::onGlobalRemove;
    hooks_->nodeEvents.version = PW_VERSION_NODE_EVENTS;
    hooks_->nodeEvents.info = &PipeWireContext::onNodeInfo;

    loop_ = pw_thread_loop_new("voxlet-sound", nullptr);
    if (!loop_) {
        state_.failed();
        return;
    }
    // The real-time client configuration gives the data thread a real-time
    // priority (directly or through RealtimeKit), as the server's own has.
    pw_properties* props = pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr);
    SetAppProperties(props);
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), props, 0);
    if (!context_ || pw_thread_loop_start(loop_) < 0) {
        if (context_)
            pw_context_destroy(context_);
        context_ = nullptr;
        pw_thread_loop_destroy(loop_);
        loop_ = nullptr;
        state_.failed();
        return;
    }
    // The data thread is the sound thread too, named as libpulse's is.
    onDataThread([] { pthread_setname_np(pthread_self(), "voxlet-sound"); });
    Lock lock(*this);
    retry_ = pw_loop_add_timer(
        loop(),
        [](void* self, std::uint64_t) {
            auto* me = static_cast<PipeWireContext*>(self);
            // A copy: the action may schedule the next one.
            const std::function<void()> action = me->retryAction_;
            if (action)
                action();
        },
        this);
    connect();
}

PipeWireContext::~PipeWireContext()
{
    if (loop_) {
        {
            Lock lock(*this);
            clients_.clear();
            if (retry_)
                pw_loop_destroy_source(loop(), retry_);
            retry_ = nullptr;
            disconnect();
        }
        pw_thread_loop_stop(loop_);
        pw_context_destroy(context_);
        pw_thread_loop_destroy(loop_);
    }
    delete hooks_;
}

PipeWireContext::Lock::Lock(PipeWireContext& c)
    : loop_(c.loop_)
{
    if (loop_)
        pw_thread_loop_lock(loop_);
}

PipeWireContext::Lock::~Lock()
{
    if (loop_)
        pw_thread_loop_unlock(loop_);
}

pw_loop* PipeWireContext::loop() const
{
    return loop_ ? pw_thread_loop_get_loop(loop_) : nullptr;
}

void PipeWireContext::addClient(Client* client)
{
    if (!loop_ || !client)
        return;
    Lock lock(*this);
    clients_.push_back(client);
    if (state_.ready())
        client->coreReady(core_);
}

void PipeWireContext::removeClient(Client* client)
{
    if (!loop_)
        return;
    Lock lock(*this);
    clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
}

bool PipeWireContext::hasDevice(bool source, const char* name)
{
    if (!loop_)
        return false;
    Lock lock(*this);
    if (!state_.ready())
        return false;
    std::string wanted = name ? name : "";
    bool monitor = false;
    if (source && wanted.size() > 8 && wanted.compare(wanted.size() - 8, 8, ".monitor") == 0) {
        wanted.resize(wanted.size() - 8);
        monitor = true;
    }
    const std::string kind = source && !monitor ? "Audio/Source" : "Audio/Sink";
    return std::any_of(nodes_.begin(), nodes_.end(), [&](const NodeInfo& n) {
        return n.mediaClass.compare(0, kind.size(), kind) == 0 && (wanted.empty() || n.name == wanted);
    });
}

void PipeWireContext::onDataThread(const std::function<void()>& fn)
{
    pw_data_loop* data = context_ ? pw_context_get_data_loop(context_) : nullptr;
    if (!data) {
        fn();
        return;
    }
    pw_loop_invoke(
        pw_data_loop_get_loop(data),
        [](spa_loop*, bool, std::uint32_t, const void*, size_t, void* fn) {
            (*static_cast<const std::function<void()>*>(fn))();
            return 0;
        },
        0, nullptr, 0, true, const_cast<std::function<void()>*>(&fn));
}

const NodeInfo* PipeWireContext::sourceOf(std::uint32_t node) const
{
    for (const LinkInfo& l : links_)
        if (l.inputNode == node)
            for (const NodeInfo& n : nodes_)
                if (n.id == l.outputNode)
                    return &n;
    return nullptr;
}

void PipeWireContext::connect()
{
    core_ = pw_context_connect(context_, nullptr, 0);
    if (!core_) {
        state_.failed();
        scheduleRetry(failures_++ < 10 ? 500 : 2000);
        return;
    }
    pw_core_add_listener(core_, &hooks_->core, &hooks_->coreEvents, this);
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    if (registry_)
        pw_registry_add_listener(registry_, &hooks_->registry, &hooks_->registryEvents, this);
    // Ready once the server has told us what it has.
    syncSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
}

void PipeWireContext::disconnect()
{
    while (!bound_.empty())
        unbind(bound_.back()->id);
    if (registry_) {
        spa_hook_remove(&hooks_->registry);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
        registry_ = nullptr;
    }
    if (core_) {
        spa_hook_remove(&hooks_->core);
        pw_core_disconnect(core_);
        core_ = nullptr;
    }
    nodes_.clear();
    links_.clear();
}

void PipeWireContext::scheduleRetry(int ms)
{
    retryAction_ = [this] {
        disconnect();
        connect();
    };
    ArmTimer(loop(), retry_, ms);
}

void PipeWireContext::onCoreDone(void* self, std::uint32_t id, int seq)
{
    auto* me = static_cast<PipeWireContext*>(self);
    if (id != PW_ID_CORE || seq != me->syncSeq_ || me->state_.ready())
        return;
    me->failures_ = 0;
    me->state_.connected();
    const auto clients = me->clients_;
    for (Client* client : clients)
        client->coreReady(me->core_);
}

void PipeWireContext::onCoreError(void* self, std::uint32_t id, int, int res, const char*)
{
    // Errors of a stream's node reach the stream too; only a broken
    // connection is ours.
    if (id == PW_ID_CORE && res == -EPIPE)
        static_cast<PipeWireContext*>(self)->lost();
}

void PipeWireContext::lost()
{
    const bool wasReady = state_.lost();
    // Not torn down inside the connection's own callback: the timer does it.
    retryAction_ = [this, wasReady] {
        if (wasReady) {
            const auto clients = clients_;
            for (Client* client : clients)
                client->coreLost();
        }
        disconnect();
        // Quick at first (a server restart takes a moment), then gently.
        scheduleRetry(500);
    };
    ArmTimer(loop(), retry_, 0);
}

void PipeWireContext::changed()
{
    if (!state_.ready())
        return;
    const auto clients = clients_;
    for (Client* client : clients)
        client->graphChanged();
}

void PipeWireContext::onGlobal(
    void* self, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t, const spa_dict* props)
{
    auto* me = static_cast<PipeWireContext*>(self);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        me->nodes_.push_back(
            { id, Lookup(props, PW_KEY_NODE_NAME), Lookup(props, PW_KEY_MEDIA_CLASS), false });
        void* proxy = std::strncmp(me->nodes_.back().mediaClass.c_str(), "Audio/Source", 12) == 0
            ? pw_registry_bind(me->registry_, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0)
            : nullptr;
        if (proxy) {
            me->bound_.push_back(
                std::make_unique<BoundNode>(BoundNode { me, id, static_cast<pw_proxy*>(proxy) }));
            pw_node_add_listener(static_cast<pw_node*>(proxy), &me->bound_.back()->hook,
                &me->hooks_->nodeEvents, me->bound_.back().get());
        }
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
        me->links_.push_back(
            { id, LookupId(props, PW_KEY_LINK_OUTPUT_NODE), LookupId(props, PW_KEY_LINK_INPUT_NODE) });
    } else {
        return;
    }
    me->changed();
}

void PipeWireContext::onNodeInfo(void* bound, const pw_node_info* info)
{
    const auto* b = static_cast<BoundNode*>(bound);
    if (!info || !(info->change_mask & PW_NODE_CHANGE_MASK_PROPS))
        return;
    for (NodeInfo& n : b->owner->nodes_)
        if (n.id == b->id)
            n.cancelsEcho = CancellerNode(info->props);
    b->owner->changed();
}

void PipeWireContext::unbind(std::uint32_t id)
{
    const auto at = std::find_if(bound_.begin(), bound_.end(), [id](const auto& b) { return b->id == id; });
    if (at == bound_.end())
        return;
    spa_hook_remove(&(*at)->hook);
    pw_proxy_destroy((*at)->proxy);
    bound_.erase(at);
}

void PipeWireContext::onGlobalRemove(void* self, std::uint32_t id)
{
    auto* me = static_cast<PipeWireContext*>(self);
    me->unbind(id);
    const auto before = me->nodes_.size() + me->links_.size();
    std::erase_if(me->nodes_, [id](const NodeInfo& n) { return n.id == id; });
    std::erase_if(me->links_, [id](const LinkInfo& l) { return l.id == id; });
    if (me->nodes_.size() + me->links_.size() != before)
        me->changed();
}

LoopTimer::~LoopTimer()
{
    if (source_) {
        PipeWireContext::Lock lock(context_);
        pw_loop_destroy_source(context_.loop(), source_);
    }
}

void LoopTimer::start(int ms, std::function<void()> fire)
{
    pw_loop* loop = context_.loop();
    if (!loop)
        return;
    fire_ = std::move(fire);
    if (!source_)
        source_ = pw_loop_add_timer(loop, &LoopTimer::onTime, this);
    if (source_)
        ArmTimer(loop, source_, ms);
}

void LoopTimer::stop()
{
    if (!source_)
        return;
    timespec zero { 0, 0 };
    pw_loop_update_timer(context_.loop(), source_, &zero, &zero, false);
}

void LoopTimer::onTime(void* self, std::uint64_t)
{
    auto* me = static_cast<LoopTimer*>(self);
    // A copy: firing may start the timer again.
    const std::function<void()> fire = me->fire_;
    if (fire)
        fire();
}

void SetAppProperties(pw_properties* props)
{
    pw_properties_set(props, PW_KEY_APP_NAME, kAppName);
    pw_properties_set(props, PW_KEY_APP_ICON_NAME, "voxlet");
    pw_properties_set(props, PW_KEY_APP_ID, "io.github.voxlet.Voxlet");
}

QByteArray DeviceOrDefault(QByteArray named, bool source)
{
    if (named.isEmpty())
        named = qgetenv(source ? "PULSE_SOURCE" : "PULSE_SINK");
    return named;
}

} // namespace voxlet::pipewire
