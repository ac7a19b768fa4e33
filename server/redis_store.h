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

#include "server/connect_back.h"
#include "server/directory_store.h"
#include "server/registry.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

struct redisAsyncContext;

namespace voxlet::directory_server {

struct RedisLocation {
    std::string host; // empty: a Unix socket at `path`
    std::uint16_t port = 6379;
    std::string path;
    std::string user; // an ACL user, or empty for the default user
    std::string password; // sent with AUTH when not empty; never logged
    std::string text() const;
};

// The first line of a password file, which only its owner and group may
// read; false with a reason otherwise.
bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error);

struct RedisStoreOptions {
    RedisLocation location;
    // The host's address, looked up once before serving: hiredis would look
    // the name up again, blocking, on every reconnection. Empty: use host.
    std::string hostAddress;
    // Read again after Redis refuses the password (it may have changed).
    std::string passwordFile;
    // This process's settings: stored in Redis by the first process, and
    // replaced there by the stored ones.
    RegistryLimits limits;
    std::size_t maxListed = 100;
    std::chrono::milliseconds timeout { 2000 }; // longest an exchange waits for Redis
    std::size_t maxQueued = 1000; // requests waiting for Redis; more are refused at once
    std::chrono::milliseconds minRetry { 50 };
    std::chrono::milliseconds maxRetry { 2000 };
};

// It also counts the connect-back probes, so that their limit holds for
// every process of the directory.
class RedisStore : public DirectoryStore, public ProbeCounter {
public:
    using Logger = std::function<void(const std::string& line)>;

    RedisStore(RedisStoreOptions options, Logger log);
    ~RedisStore() override;
    RedisStore(const RedisStore&) = delete;
    RedisStore& operator=(const RedisStore&) = delete;

    std::uint64_t registerAndList(
        const Profile& profile, const std::string& address, std::size_t maxListed, Done done) override;

    void cancel(std::uint64_t ticket) override { m_pending.erase(ticket); }
    std::uint64_t countProbe(const std::string& address, std::size_t perAddress, std::chrono::seconds window,
        Counted done) override;
    void cancelCount(std::uint64_t ticket) override { m_pending.erase(ticket); }
    void remove(const std::u16string& name, Removed done) override;
    int pollDescriptor(short& events) const override;
    void onPollEvents(short revents) override;
    TimePoint nextTick() const override;
    void onTick(TimePoint now) override;
    std::string trouble() const override { return m_trouble; }

private:
    struct Pending {
        Done done; // a registration's,
        Removed removed; // a removal's,
        Counted counted; // or a probe count's
        TimePoint deadline;
        std::string askerPrefix; // "name|" as sent: the asker's own record starts so
        std::vector<std::string> args; // the script's, kept to send it again
    };

    std::uint64_t request(Pending pending, std::vector<std::string> modeArgs);
    bool send(std::uint64_t id, const Pending& pending);
    void connect();
    void scheduleRetry(const std::string& why);
    void markDown(const std::string& why);
    void markUp();
    void authFailed(const std::string& error);
    void loadScript();
    static void Unanswered(Pending& pending, const std::string& why);
    void fail(std::uint64_t id);
    void noteAnswer();
    void noteClock(long long redisMs);
    void noteSettings(const void* reply);
    void onScriptLoaded(void* reply);
    void onTime(void* reply);
    void onReply(std::uint64_t id, void* reply);

    static void OnConnect(const redisAsyncContext* context, int status);
    static void OnDisconnect(const redisAsyncContext* context, int status);
    static void OnAuthenticated(redisAsyncContext* context, void* reply, void* privdata);
    static void OnScriptLoaded(redisAsyncContext* context, void* reply, void* privdata);
    static void OnTime(redisAsyncContext* context, void* reply, void* privdata);
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
    bool m_scriptLoading = false;
    bool m_scriptFailed = false; // logged
    std::chrono::milliseconds m_scriptRetryDelay { 1000 };
    TimePoint m_scriptRetryAt = TimePoint::max();
    bool m_down = false; // an outage has been logged
    bool m_everUp = false;
    std::string m_trouble = "not connected yet";
    bool m_authFailed = false; // logged; read the password file before the next attempt
    bool m_passwordFileProblem = false; // logged
    bool m_queueFull = false; // logged
    std::string m_settingsLogged; // the stored settings last reported
    std::size_t m_listedCap; // max listed in effect (the stored one)
    // Redis's clock (ms) minus ours, at most: a deadline sent in Redis's
    // time can only be early. Unknown until Redis first tells its time.
    long long m_clockOffset = 0;
    bool m_clockKnown = false;
    std::chrono::milliseconds m_retryDelay;
    std::minstd_rand m_random;
    TimePoint m_retryAt = TimePoint::max();
    TimePoint m_lastAnswer {}; // anything Redis answered, lately
    bool m_stuck = false; // no answer at all: the connection goes once its requests have expired
    std::uint64_t m_nextId = 1;
    std::map<std::uint64_t, Pending> m_pending; // in the order sent, so the first times out first
};

} // namespace voxlet::directory_server
