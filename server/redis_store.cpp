#include "server/redis_store.h"

#include "server/redis_script.h"
#include "server/text_codec.h"

#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace voxlet::directory_server {

namespace {

using Steady = std::chrono::steady_clock;

constexpr const char* kKeyPrefix = "voxlet-directory:";
constexpr int kOutcomes = static_cast<int>(RegisterOutcome::TooManyAttempts) + 1;
constexpr std::size_t kSettings = 7;
constexpr const char* kSettingOptions[kSettings] = { "--keep", "--max-users", "--max-users-per-address",
    "--max-list", "--list-share", "--pass-attempts", "--pass-window" };
constexpr std::chrono::milliseconds kMaxScriptRetry { 60000 };
// How long an answer may take from Redis's clock to the client's refusal:
// the milliseconds both clocks drop, and the travel.
constexpr std::chrono::milliseconds kAnswerTime { 50 };

// Splits the head of the list into records, each ending at its fifth '|'
// unit, leaving out the asker's; false if it does not split evenly.
bool SplitRecords(std::string_view head, std::string_view askerPrefix, std::size_t maxListed,
    std::vector<std::string_view>& out)
{
    std::size_t start = 0;
    int bars = 0;
    for (std::size_t i = 0; i + 1 < head.size(); i += 2) {
        if (head[i] != '|' || head[i + 1] != '\0' || ++bars < 5)
            continue;
        const std::string_view record = head.substr(start, i + 2 - start);
        if (record.substr(0, askerPrefix.size()) != askerPrefix && out.size() < maxListed)
            out.push_back(record);
        start = i + 2;
        bars = 0;
    }
    return start == head.size();
}

std::string ErrorText(const redisAsyncContext* context)
{
    return context && context->errstr ? context->errstr : "connection lost";
}

bool StartsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

bool IsAuthError(std::string_view error)
{
    // (Redis before 6 says "ERR invalid password" for WRONGPASS.)
    return StartsWith(error, "WRONGPASS") || StartsWith(error, "NOAUTH")
        || StartsWith(error, "ERR invalid password");
}

// The arguments every mode begins with; the deadline is filled in when sent.
std::vector<std::string> ScriptArgs(const char* mode, const RegistryLimits& limits, std::size_t maxListed)
{
    return { mode, kKeyPrefix, "", std::to_string(limits.keepFor.count()), std::to_string(limits.maxUsers),
        std::to_string(limits.maxUsersPerAddress), std::to_string(maxListed),
        std::to_string(limits.listShare), std::to_string(limits.passAttempts),
        std::to_string(limits.passWindow.count()) };
}

long long SteadyMs(TimePoint t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

} // namespace

std::string RedisLocation::text() const
{
    return host.empty() ? "unix:" + path : "redis://" + host + ":" + std::to_string(port);
}

bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat about { };
    std::string text;
    if (::fstat(fd, &about) == 0 && (about.st_mode & (S_IROTH | S_IWOTH))) {
        ::close(fd);
        error = path + " may be read or changed by anyone: give it to the server's user (chmod o-rw)";
        return false;
    }
    char buffer[4096];
    ssize_t got = 0;
    while (text.size() < 65536 && (got = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(got));
    ::close(fd);
    text = text.substr(0, text.find('\n'));
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    if (text.empty()) {
        error = path + " holds no password on its first line";
        return false;
    }
    password = text;
    return true;
}

RedisStore::RedisStore(RedisStoreOptions options, Logger log)
    : m_options(std::move(options))
    , m_log(std::move(log))
    , m_listedCap(m_options.maxListed)
    , m_retryDelay(m_options.minRetry)
    , m_random(std::random_device {}())
{
    connect();
}

RedisStore::~RedisStore()
{
    m_pending.clear(); // the sessions waiting on them are going too
    m_down = true; // nothing more to log
    if (m_context) {
        m_context->data = nullptr;
        redisAsyncFree(m_context);
    }
}

void RedisStore::connect()
{
    m_retryAt = TimePoint::max();
    m_scriptSha.clear();
    m_scriptLoading = false;
    m_scriptRetryAt = TimePoint::max();
    m_clockKnown = false;
    RedisLocation& where = m_options.location;
    if (m_authFailed && !m_options.passwordFile.empty()) {
        // The password may have changed: what the file says now.
        std::string password, error;
        if (ReadPasswordFile(m_options.passwordFile, password, error)) {
            where.password = password;
            m_passwordFileProblem = false;
        } else if (!m_passwordFileProblem && m_log) {
            m_passwordFileProblem = true;
            m_log("cannot read the Redis password again: " + error + "; trying the one read before");
        }
    }
    const std::string& host = m_options.hostAddress.empty() ? where.host : m_options.hostAddress;
    redisAsyncContext* context = where.host.empty() ? redisAsyncConnectUnix(where.path.c_str())
                                                    : redisAsyncConnect(host.c_str(), where.port);
    if (!context) {
        scheduleRetry("out of memory");
        return;
    }
    if (context->err) {
        const std::string why = ErrorText(context);
        redisAsyncFree(context);
        scheduleRetry(why);
        return;
    }
    m_context = context;
    m_wantRead = m_wantWrite = false;
    context->data = this;
    context->ev.data = this;
    context->ev.addRead = AddRead;
    context->ev.delRead = DelRead;
    context->ev.addWrite = AddWrite;
    context->ev.delWrite = DelWrite;
    context->ev.cleanup = Cleanup;
    redisAsyncSetConnectCallback(context, OnConnect);
    redisAsyncSetDisconnectCallback(context, OnDisconnect);
    // Queued until the connection is up; until its answer, requests carry the script itself.
    if (!where.password.empty() && where.user.empty())
        redisAsyncCommand(
            context, OnAuthenticated, nullptr, "AUTH %b", where.password.data(), where.password.size());
    else if (!where.password.empty())
        redisAsyncCommand(context, OnAuthenticated, nullptr, "AUTH %b %b", where.user.data(),
            where.user.size(), where.password.data(), where.password.size());
    redisAsyncCommand(context, OnTime, nullptr, "TIME");
    loadScript();
    // The stored settings, to say at once if they are not this process's.
    Pending settings;
    settings.args = ScriptArgs("settings", m_options.limits, m_options.maxListed);
    request(std::move(settings), {});
}

void RedisStore::loadScript()
{
    if (!m_context || m_scriptLoading)
        return;
    m_scriptLoading = true;
    m_scriptRetryAt = TimePoint::max();
    redisAsyncCommand(m_context, OnScriptLoaded, nullptr, "SCRIPT LOAD %s", kDirectoryScript);
}

void RedisStore::scheduleRetry(const std::string& why)
{
    markDown(why);
    // Jitter, so that processes that lost Redis together do not come back
    // in step.
    const auto low = m_retryDelay.count() / 2;
    m_retryAt = Steady::now()
        + std::chrono::milliseconds(
            std::uniform_int_distribution<long long>(low, m_retryDelay.count())(m_random));
    m_retryDelay = std::min(m_retryDelay * 2, m_options.maxRetry);
}

void RedisStore::markDown(const std::string& why)
{
    m_trouble = "Redis at " + m_options.location.text() + " unavailable: " + why;
    if (m_down)
        return;
    m_down = true;
    if (m_log)
        m_log("Redis at " + m_options.location.text() + " unavailable: " + why
            + "; answering registrations with a refusal until it is back");
}

void RedisStore::markUp()
{
    m_retryDelay = m_options.minRetry;
    m_trouble.clear();
    m_authFailed = false;
    if (!m_down && m_everUp)
        return;
    if (m_log)
        m_log(std::string(m_everUp ? "Redis at " : "using Redis at ") + m_options.location.text()
            + (m_everUp ? " is back" : ""));
    m_down = false;
    m_everUp = true;
}

void RedisStore::authFailed(const std::string& error)
{
    if (!m_authFailed && m_log)
        m_log("Redis at " + m_options.location.text() + " refused this process: " + error
            + (m_options.passwordFile.empty()
                    ? "; is --store-password-file missing?"
                    : "; reading " + m_options.passwordFile + " again before each attempt"));
    m_authFailed = true;
    markDown("not authenticated");
    // Nothing on this connection will work: start again (with the password
    // read anew) once hiredis has handed back what is pending.
    if (m_context)
        redisAsyncDisconnect(m_context);
}

std::uint64_t RedisStore::registerAndList(
    const Profile& profile, const std::string& address, std::size_t maxListed, Done done)
{
    const RegistryLimits& limits = m_options.limits;
    Pending pending;
    pending.done = std::move(done);
    pending.askerPrefix = EncodeUtf16Le(profile.name);
    AppendAsciiAsUtf16Le(pending.askerPrefix, "|");
    pending.args = ScriptArgs("register", limits, maxListed);
    return request(std::move(pending),
        { EncodeUtf16Le(profile.name), EncodeUtf16Le(profile.pass), EncodeUtf16Le(profile.extra), address,
            ListedRecord(profile, address) });
}

std::uint64_t RedisStore::countProbe(
    const std::string& address, std::size_t perAddress, std::chrono::seconds window, Counted done)
{
    Pending pending;
    pending.counted = std::move(done);
    pending.args = ScriptArgs("probe", m_options.limits, m_options.maxListed);
    return request(
        std::move(pending), { address, std::to_string(perAddress), std::to_string(window.count()) });
}

void RedisStore::remove(const std::u16string& name, Removed done)
{
    const RegistryLimits& limits = m_options.limits;
    Pending pending;
    pending.removed = std::move(done);
    pending.args = ScriptArgs("remove", limits, m_options.maxListed);
    request(std::move(pending), { EncodeUtf16Le(name) });
}

std::uint64_t RedisStore::request(Pending pending, std::vector<std::string> modeArgs)
{
    auto refuse = [&pending](const std::string& why) {
        Unanswered(pending, why);
        return std::uint64_t { 0 };
    };
    if (!m_context || m_stuck) // waiting to reconnect, or to let a stuck connection go
        return refuse("Redis unavailable");
    if (m_pending.size() >= m_options.maxQueued) {
        if (!m_queueFull && m_log)
            m_log(std::to_string(m_pending.size()) + " requests wait for Redis at "
                + m_options.location.text() + ": refusing more until they are answered");
        m_queueFull = true;
        return refuse("too many requests waiting for Redis");
    }
    m_queueFull = m_queueFull && m_pending.size() > m_options.maxQueued / 2;
    pending.deadline = Steady::now() + m_options.timeout;
    // Past its deadline the exchange has been refused: Redis must not carry
    // it out, nor just before it, when its answer would come too late.
    const auto margin = std::min(kAnswerTime, m_options.timeout / 4);
    pending.args[2]
        = m_clockKnown ? std::to_string(SteadyMs(pending.deadline - margin) + m_clockOffset) : "0";
    pending.args.push_back(
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kMaxPassWait).count()));
    pending.args.push_back(std::to_string(2 * m_options.limits.attemptRecords));
    for (std::string& arg : modeArgs)
        pending.args.push_back(std::move(arg));
    const std::uint64_t id = m_nextId++;
    if (!send(id, pending))
        return refuse("Redis unavailable");
    m_pending.emplace(id, std::move(pending));
    return id;
}

bool RedisStore::send(std::uint64_t id, const Pending& pending)
{
    std::vector<const char*> argv { m_scriptSha.empty() ? "EVAL" : "EVALSHA",
        m_scriptSha.empty() ? kDirectoryScript : m_scriptSha.c_str(), "0" };
    std::vector<std::size_t> lengths { std::strlen(argv[0]), std::strlen(argv[1]), 1 };
    for (const std::string& arg : pending.args) {
        argv.push_back(arg.data());
        lengths.push_back(arg.size());
    }
    return redisAsyncCommandArgv(m_context, OnReply, reinterpret_cast<void*>(static_cast<std::uintptr_t>(id)),
               static_cast<int>(argv.size()), argv.data(), lengths.data())
        == REDIS_OK;
}

void RedisStore::fail(std::uint64_t id)
{
    auto found = m_pending.find(id);
    if (found == m_pending.end())
        return; // already answered as timed out, or its asker has gone
    Pending pending = std::move(found->second);
    m_pending.erase(found);
    Unanswered(pending, "Redis unavailable");
}

void RedisStore::Unanswered(Pending& pending, const std::string& why)
{
    if (pending.done)
        pending.done(RegisterOutcome::StoreUnavailable, {});
    else if (pending.removed)
        pending.removed(false, why);
    else if (pending.counted)
        pending.counted(ProbeCount::Unknown);
}

void RedisStore::noteAnswer()
{
    m_lastAnswer = Steady::now();
    m_stuck = false; // whatever it answered, Redis is there
}

void RedisStore::noteClock(long long redisMs)
{
    // Redis read its clock before the answer travelled: its time now is
    // later than it said, so this offset is never too large.
    const long long sample = redisMs - SteadyMs(Steady::now());
    if (!m_clockKnown || sample > m_clockOffset || sample < m_clockOffset - 1000)
        m_clockOffset = sample; // a lower one by far: Redis's clock was set back
    m_clockKnown = true;
}

void RedisStore::noteSettings(const void* replyData)
{
    const auto* reply = static_cast<const redisReply*>(replyData);
    const RegistryLimits& own = m_options.limits;
    const long long mine[kSettings] = { static_cast<long long>(own.keepFor.count()),
        static_cast<long long>(own.maxUsers), static_cast<long long>(own.maxUsersPerAddress),
        static_cast<long long>(m_options.maxListed), static_cast<long long>(own.listShare),
        static_cast<long long>(own.passAttempts), static_cast<long long>(own.passWindow.count()) };
    std::string stored, differs;
    for (std::size_t i = 0; i < kSettings; ++i) {
        const long long value = reply->element[i]->integer;
        stored += std::string(i ? " " : "") + kSettingOptions[i] + " " + std::to_string(value);
        if (value != mine[i])
            differs += std::string(differs.empty() ? "" : ", ") + kSettingOptions[i] + " "
                + std::to_string(mine[i]);
    }
    m_listedCap = static_cast<std::size_t>(reply->element[3]->integer);
    if (differs.empty() || stored == m_settingsLogged)
        return;
    m_settingsLogged = stored;
    if (m_log)
        m_log("the directory in Redis at " + m_options.location.text() + " has the settings " + stored
            + "; using those, not this process's " + differs);
}

void RedisStore::onReply(std::uint64_t id, void* replyData)
{
    const auto* reply = static_cast<const redisReply*>(replyData);
    if (!reply) { // the connection went; OnDisconnect tells why
        fail(id);
        return;
    }
    noteAnswer();
    auto found = m_pending.find(id);
    if (reply->type == REDIS_REPLY_ERROR) {
        const std::string error(reply->str, reply->len);
        if (StartsWith(error, "NOSCRIPT") && m_context) {
            // Someone flushed the script cache: it was not run, so send it
            // whole, and load it again for the ones after.
            m_scriptSha.clear();
            m_scriptLoading = false;
            loadScript();
            if (found != m_pending.end() && send(id, found->second))
                return;
        } else if (IsAuthError(error)) {
            authFailed(error);
        } else {
            markDown("error " + error);
        }
        fail(id);
        return;
    }
    auto integerAt = [reply](std::size_t i) {
        return reply->type == REDIS_REPLY_ARRAY && reply->elements > i
            && reply->element[i]->type == REDIS_REPLY_INTEGER;
    };
    if (integerAt(0) && integerAt(1))
        noteClock(reply->element[1]->integer);
    if (integerAt(0) && reply->element[0]->integer == -1) {
        fail(id); // too late: Redis left it undone
        return;
    }
    bool wellFormed = integerAt(0) && integerAt(1) && reply->elements >= 3
        && reply->element[2]->type == REDIS_REPLY_ARRAY && reply->element[2]->elements == kSettings
        && (reply->elements == 3 || reply->element[3]->type == REDIS_REPLY_STRING);
    for (std::size_t i = 0; wellFormed && i < kSettings; ++i)
        wellFormed = reply->element[2]->element[i]->type == REDIS_REPLY_INTEGER;
    if (wellFormed)
        noteSettings(reply->element[2]);
    const long long result = wellFormed ? reply->element[0]->integer : -1;
    std::vector<std::string_view> users;
    if (found != m_pending.end() && found->second.done) {
        wellFormed = wellFormed && result >= 0 && result < kOutcomes
            && (reply->elements == 3
                || SplitRecords(std::string_view(reply->element[3]->str, reply->element[3]->len),
                    found->second.askerPrefix, m_listedCap, users));
    }
    if (!wellFormed) {
        markDown("unexpected answer to the directory's script");
        fail(id);
        return;
    }
    markUp();
    if (found == m_pending.end())
        return;
    Pending pending = std::move(found->second);
    m_pending.erase(found);
    if (pending.done)
        pending.done(static_cast<RegisterOutcome>(result), users);
    else if (pending.removed)
        pending.removed(result == 1, {});
    else if (pending.counted)
        pending.counted(result == 1 ? ProbeCount::Allowed : ProbeCount::Limited);
}

void RedisStore::onTime(void* replyData)
{
    const auto* reply = static_cast<const redisReply*>(replyData);
    if (!reply || reply->type != REDIS_REPLY_ARRAY || reply->elements != 2
        || reply->element[0]->type != REDIS_REPLY_STRING || reply->element[1]->type != REDIS_REPLY_STRING)
        return;
    noteAnswer();
    noteClock(std::atoll(reply->element[0]->str) * 1000 + std::atoll(reply->element[1]->str) / 1000);
}

void RedisStore::onScriptLoaded(void* replyData)
{
    const auto* reply = static_cast<const redisReply*>(replyData);
    m_scriptLoading = false;
    if (!reply)
        return;
    noteAnswer();
    if (reply->type == REDIS_REPLY_STRING) {
        m_scriptSha.assign(reply->str, reply->len);
        m_scriptRetryDelay = std::chrono::milliseconds(1000);
        if (m_scriptFailed && m_log)
            m_log("the directory's script is loaded in Redis at " + m_options.location.text());
        m_scriptFailed = false;
        markUp();
        return;
    }
    const std::string error
        = reply->type == REDIS_REPLY_ERROR ? std::string(reply->str, reply->len) : "unexpected answer";
    if (IsAuthError(error)) {
        authFailed(error);
        return;
    }
    // Requests carry the whole script meanwhile, which works, only slower.
    if (!m_scriptFailed && m_log)
        m_log("cannot load the directory's script in Redis at " + m_options.location.text() + ": " + error
            + "; sending it with each request, and trying again");
    m_scriptFailed = true;
    m_scriptRetryAt = Steady::now() + m_scriptRetryDelay;
    m_scriptRetryDelay = std::min(m_scriptRetryDelay * 2, kMaxScriptRetry);
}

int RedisStore::pollDescriptor(short& events) const
{
    events = 0;
    if (!m_context)
        return -1;
    if (m_wantRead)
        events |= POLLIN;
    if (m_wantWrite)
        events |= POLLOUT;
    return events ? m_context->c.fd : -1;
}

void RedisStore::onPollEvents(short revents)
{
    // hiredis reads at most 16 KB a call, a few list answers: read on while
    // more has come, rather than one piece per turn of the loop.
    for (int turn = 0; turn < 32 && m_context && m_wantRead && (revents & (POLLIN | POLLHUP | POLLERR));
         ++turn) {
        redisAsyncHandleRead(m_context);
        int waiting = 0;
        if (!m_context || ::ioctl(m_context->c.fd, FIONREAD, &waiting) != 0 || waiting <= 0)
            break;
    }
    // Reading may have ended the connection (Cleanup clears m_context).
    if (m_context && m_wantWrite && (revents & (POLLOUT | POLLHUP | POLLERR)))
        redisAsyncHandleWrite(m_context);
}

TimePoint RedisStore::nextTick() const
{
    TimePoint next = std::min(m_retryAt, m_scriptRetryAt);
    if (!m_pending.empty())
        next = std::min(next, m_pending.begin()->second.deadline);
    return next;
}

void RedisStore::onTick(TimePoint now)
{
    // Deadlines grow with the id, so the first pending one is the earliest.
    bool stuck = false;
    while (!m_pending.empty() && m_pending.begin()->second.deadline <= now) {
        markDown("no answer within " + std::to_string(m_options.timeout.count()) + " ms");
        // Nothing at all came back since it was sent: the connection is stuck
        // (or Redis is), and commands would pile up in its buffer meanwhile.
        stuck = stuck || m_lastAnswer < m_pending.begin()->second.deadline - m_options.timeout;
        fail(m_pending.begin()->first);
    }
    m_stuck = m_stuck || stuck;
    // Let go of a stuck connection only once all that was sent on it is past
    // its deadline: Redis may still read it, and must then find each request
    // too late, as its client was told. Until then nothing more is sent.
    if (m_stuck && m_context && m_pending.empty()) {
        redisAsyncFree(m_context); // Cleanup forgets the context
        if (m_retryAt == TimePoint::max())
            scheduleRetry("no answer");
    }
    if (!m_context && now >= m_retryAt)
        connect();
    if (m_context && now >= m_scriptRetryAt)
        loadScript();
    // Send what this turn queued now instead of a turn later.
    if (m_context && m_wantWrite && (m_context->c.flags & REDIS_CONNECTED))
        redisAsyncHandleWrite(m_context);
}

void RedisStore::OnConnect(const redisAsyncContext* context, int status)
{
    auto* self = static_cast<RedisStore*>(context->data);
    if (self && status != REDIS_OK)
        self->scheduleRetry(ErrorText(context)); // hiredis frees the context next
}

void RedisStore::OnDisconnect(const redisAsyncContext* context, int status)
{
    auto* self = static_cast<RedisStore*>(context->data);
    if (self)
        self->scheduleRetry(status == REDIS_OK ? "connection closed" : ErrorText(context));
}

void RedisStore::OnAuthenticated(redisAsyncContext* context, void* replyData, void*)
{
    auto* self = static_cast<RedisStore*>(context->data);
    const auto* reply = static_cast<const redisReply*>(replyData);
    if (!self || !reply || reply->type != REDIS_REPLY_ERROR)
        return;
    const std::string error(reply->str, reply->len);
    if (IsAuthError(error))
        self->authFailed(error);
    else if (self->m_log) // e.g. no password is needed: the rest works
        self->m_log("Redis at " + self->m_options.location.text() + " answered the password with: " + error);
}

void RedisStore::OnScriptLoaded(redisAsyncContext* context, void* reply, void*)
{
    if (auto* self = static_cast<RedisStore*>(context->data))
        self->onScriptLoaded(reply);
}

void RedisStore::OnTime(redisAsyncContext* context, void* reply, void*)
{
    if (auto* self = static_cast<RedisStore*>(context->data))
        self->onTime(reply);
}

void RedisStore::OnReply(redisAsyncContext* context, void* reply, void* privdata)
{
    if (auto* self = static_cast<RedisStore*>(context->data))
        self->onReply(static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(privdata)), reply);
}

void RedisStore::AddRead(void* privdata)
{
    static_cast<RedisStore*>(privdata)->m_wantRead = true;
}

void RedisStore::DelRead(void* privdata)
{
    static_cast<RedisStore*>(privdata)->m_wantRead = false;
}

void RedisStore::AddWrite(void* privdata)
{
    static_cast<RedisStore*>(privdata)->m_wantWrite = true;
}

void RedisStore::DelWrite(void* privdata)
{
    static_cast<RedisStore*>(privdata)->m_wantWrite = false;
}

void RedisStore::Cleanup(void* privdata)
{
    auto* self = static_cast<RedisStore*>(privdata);
    self->m_context = nullptr;
    self->m_stuck = false;
    self->m_wantRead = self->m_wantWrite = false;
}

} // namespace voxlet::directory_server
