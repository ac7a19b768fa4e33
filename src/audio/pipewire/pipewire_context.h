#pragma once
// One connection to PipeWire on a thread loop of its own ("voxlet-sound").
// It connects in the background and, whenever the server goes away, keeps
// trying until it is back; the streams built on it are told when the
// connection is ready and when it is lost, and rebuild themselves. It keeps
// the server's nodes and links: the devices start-up asks about, and the
// source a capture stream records from. Nothing here shows anything.
//
// Two threads: the loop's, where every event and the ring sounds run, and
// the context's data thread, where the voice streams' process callbacks run
// inside the graph's cycle.

#include "audio/connection_state.h"

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct pw_context;
struct pw_core;
struct pw_loop;
struct pw_node_info;
struct pw_properties;
struct pw_registry;
struct pw_thread_loop;
struct spa_dict;
struct spa_source;

namespace voxlet::pipewire {

struct NodeInfo {
    std::uint32_t id = 0;
    std::string name;
    std::string mediaClass;
    bool cancelsEcho = false; // a canceller's node (module-echo-cancel's group)
};

struct LinkInfo {
    std::uint32_t id = 0;
    std::uint32_t outputNode = 0;
    std::uint32_t inputNode = 0;
};

class PipeWireContext {
public:
    // Called on the loop's thread with the loop locked.
    class Client {
    public:
        virtual ~Client() = default;
        virtual void coreReady(pw_core* core) = 0;
        // The connection and every stream on it are gone.
        virtual void coreLost() = 0;
        // A node or a link came or went.
        virtual void graphChanged() { }
    };

    PipeWireContext();
    ~PipeWireContext();
    PipeWireContext(const PipeWireContext&) = delete;
    PipeWireContext& operator=(const PipeWireContext&) = delete;

    // A client hears coreReady at once when the connection is up.
    void addClient(Client* client);
    void removeClient(Client* client);

    bool ready() const { return state_.ready(); }
    std::uint64_t connections() const { return state_.connections(); }
    // Never on the loop's thread (ConnectionState); ready once the server's
    // nodes are known.
    bool waitUntilReady(int timeoutMs) { return state_.waitUntilReady(timeoutMs); }
    bool waitForFirstAttempt(int timeoutMs) { return state_.waitForFirstAttempt(timeoutMs); }
    // Whether the server has this source (a node "X.monitor": sink X's
    // monitor) or sink, any when name is null. False without a connection.
    bool hasDevice(bool source, const char* name);

    // Locks the loop (recursively: callbacks may lock it again).
    class Lock {
    public:
        explicit Lock(PipeWireContext& c);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pw_thread_loop* loop_;
    };

    // ---- with the loop locked ----

    pw_loop* loop() const;
    pw_core* core() const { return state_.ready() ? core_ : nullptr; }
    // Runs fn on the data thread between two of its cycles and waits for
    // it: what the process callbacks share with the loop changes there.
    void onDataThread(const std::function<void()>& fn);
    // The node a node records from (the other end of its input link), or null.
    const NodeInfo* sourceOf(std::uint32_t node) const;

private:
    void connect();
    void scheduleRetry(int ms);
    void disconnect();
    void lost();
    void changed();
    static void onCoreDone(void* self, std::uint32_t id, int seq);
    static void onCoreError(void* self, std::uint32_t id, int seq, int res, const char* message);
    static void onGlobal(void* self, std::uint32_t id, std::uint32_t permissions, const char* type,
        std::uint32_t version, const spa_dict* props);
    static void onGlobalRemove(void* self, std::uint32_t id);
    static void onNodeInfo(void* bound, const pw_node_info* info);
    void unbind(std::uint32_t id);

    struct Hooks;
    // A source's node, bound for its whole properties (the registry gives few).
    struct BoundNode;
    std::vector<std::unique_ptr<BoundNode>> bound_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_registry* registry_ = nullptr;
    Hooks* hooks_ = nullptr;
    spa_source* retry_ = nullptr;
    std::function<void()> retryAction_;
    int syncSeq_ = -1;
    int failures_ = 0;
    std::vector<Client*> clients_;
    std::vector<NodeInfo> nodes_;
    std::vector<LinkInfo> links_;
    ConnectionState state_;
};

// A one-shot timer on the loop's thread. start() and stop() with the loop locked.
class LoopTimer {
public:
    explicit LoopTimer(PipeWireContext& context)
        : context_(context)
    {
    }
    ~LoopTimer();
    LoopTimer(const LoopTimer&) = delete;
    LoopTimer& operator=(const LoopTimer&) = delete;

    // Replaces one already pending.
    void start(int ms, std::function<void()> fire);
    void stop();

private:
    static void onTime(void* self, std::uint64_t expirations);

    PipeWireContext& context_;
    spa_source* source_ = nullptr;
    std::function<void()> fire_;
};

// What desktop sound settings show of the phone, and how they remember its
// devices: on the connection and on each stream's node.
void SetAppProperties(pw_properties* props);

// The device a stream without a named one goes to: what PULSE_SOURCE or
// PULSE_SINK names, as libpulse does, or the server's default (empty).
QByteArray DeviceOrDefault(QByteArray named, bool source);

} // namespace voxlet::pipewire
