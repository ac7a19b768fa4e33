#pragma once
// Registrations kept in Redis, so that several voxlet-directory processes
// serve one directory. One Lua script registers and lists in a single round
// trip, atomically across processes; expiry is a sorted set by refresh time
// in Redis itself, so no process has to sweep.
//
// hiredis's asynchronous API runs on the server's own poll loop: the store
// tells the loop which events its socket waits for and handles them, and
// answers every request as unavailable while Redis cannot be reached or
// does not answer in time.

#include "directory/server/directory_store.h"
#include "directory/server/registry.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

struct redisAsyncContext;

namespace voxlet::directory_server {

struct RedisLocation {
    std::string host; // empty: a Unix socket at `path`
    std::uint16_t port = 6379;
    std::string path;
    std::string password; // sent with AUTH when not empty; never logged
    std::string text() const;
};

struct RedisStoreOptions {
    RedisLocation location;
    // The host's address, looked up once before serving: hiredis would look
    // the name up again, blocking, on every reconnection. Empty: use host.
    std::string hostAddress;
    RegistryLimits limits;
    std::chrono::milliseconds timeout { 2000 }; // longest an exchange waits for Redis
    std::chrono::milliseconds minRetry { 50 };
    std::chrono::milliseconds maxRetry { 2000 };
};

class RedisStore : public DirectoryStore {
public:
    using Logger = std::function<void(const std::string& line)>;

    RedisStore(RedisStoreOptions options, Logger log);
    ~RedisStore() override;
    RedisStore(const RedisStore&) = delete;
    RedisStore& operator=(const RedisStore&) = delete;

    std::uint64_t registerAndList(
        const Profile& profile, const std::string& address, std::size_t maxListed, Done done) override;

    void cancel(std::uint64_t ticket) override { m_pending.erase(ticket); }
    int pollDescriptor(short& events) const override;
    void onPollEvents(short revents) override;
    TimePoint nextTick() const override;
    void onTick(TimePoint now) override;
    std::string trouble() const override { return m_trouble; }

private:
    struct Pending {
        Done done;
        TimePoint deadline;
        std::string askerPrefix; // "name|" as sent: the asker's own record starts so
        std::size_t maxListed = 0;
    };

    void connect();
    void scheduleRetry(const std::string& why);
    void markDown(const std::string& why);
    void markUp();
    void answer(std::uint64_t id, RegisterOutcome outcome, const std::vector<std::string_view>& users);
    void onScriptLoaded(void* reply);
    void onReply(std::uint64_t id, void* reply);

    static void OnConnect(const redisAsyncContext* context, int status);
    static void OnDisconnect(const redisAsyncContext* context, int status);
    static void OnAuthenticated(redisAsyncContext* context, void* reply, void* privdata);
    static void OnScriptLoaded(redisAsyncContext* context, void* reply, void* privdata);
    static void OnReply(redisAsyncContext* context, void* reply, void* privdata);
    static void AddRead(void* privdata);
    static void DelRead(void* privdata);
    static void AddWrite(void* privdata);
    static void DelWrite(void* privdata);
    static void Cleanup(void* privdata);

    RedisStoreOptions m_options;
    Logger m_log;
    redisAsyncContext* m_context = nullptr;
    bool m_wantRead = false;
    bool m_wantWrite = false;
    std::string m_scriptSha; // empty until loaded on this connection: send the script itself
    bool m_down = false; // an outage has been logged
    bool m_everUp = false;
    std::string m_trouble = "not connected yet";
    std::chrono::milliseconds m_retryDelay;
    TimePoint m_retryAt = TimePoint::max();
    TimePoint m_lastAnswer {}; // anything Redis answered, lately
    std::uint64_t m_nextId = 1;
    std::map<std::uint64_t, Pending> m_pending; // in the order sent, so the first times out first
};

} // namespace voxlet::directory_server
