#include "directory/server/redis_store.h"

#include "directory/server/text_codec.h"

#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include <algorithm>
#include <cstdint>
#include <poll.h>
#include <sys/ioctl.h>
#include <vector>

namespace voxlet::directory_server {

namespace {

using Steady = std::chrono::steady_clock;

// KEYS: none (the keys share one prefix, given as ARGV[1]).
// ARGV: prefix, name, pass, extra, address, listed record, keep ms,
//       max users, max users per address, max listed.
// Returns {outcome} or {outcome, head}: the outcome numbered as
// RegisterOutcome, and the ListedRecord()s of the first max listed + 1 users
// in list order, one after the other (the asker may be among them). Texts
// are the UTF-16LE bytes the client sent. Keys:
//   <prefix>u:<name>  hash: pass, address, extra
//   <prefix>r:<name>  the user's listed record, ready to send
//   <prefix>order     names by order of first registration (score)
//   <prefix>refresh   names by last refresh, ms of Redis's clock (score)
//   <prefix>addr      hash: address -> names registered from it
//   <prefix>seq       the last order given
//   <prefix>head      the head of the list as returned, kept until a change
//                     reaches it (most refreshes change nothing listed)
//   <prefix>headN     how many records the head was built for
constexpr const char* kScript = R"LUA(
-- Redis before 5 must be told to replicate effects, or it refuses writes after TIME.
if redis.replicate_commands then redis.replicate_commands() end
local p = ARGV[1]
local name, pass, address, record = ARGV[2], ARGV[3], ARGV[5], ARGV[6]
local keep, maxUsers = tonumber(ARGV[7]), tonumber(ARGV[8])
local maxPerAddress, maxListed = tonumber(ARGV[9]), tonumber(ARGV[10])
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local addrKey, orderKey, headKey = p .. 'addr', p .. 'order', p .. 'head'

-- A change to a user placed within the cached head makes it stale.
local headLength = math.max(maxListed, tonumber(redis.call('GET', p .. 'headN') or '0'))
local stale = false
local function inHead(n)
  local rank = redis.call('ZRANK', orderKey, n)
  return rank and rank <= headLength
end
local function leave(a)
  if redis.call('HINCRBY', addrKey, a, -1) <= 0 then redis.call('HDEL', addrKey, a) end
end
local function fromAddress(a)
  return tonumber(redis.call('HGET', addrKey, a) or '0')
end
for _, n in ipairs(redis.call('ZRANGEBYSCORE', p .. 'refresh', '-inf', now - keep)) do
  if inHead(n) then stale = true end
  local a = redis.call('HGET', p .. 'u:' .. n, 'address')
  if a then leave(a) end
  redis.call('DEL', p .. 'u:' .. n, p .. 'r:' .. n)
  redis.call('ZREM', orderKey, n)
  redis.call('ZREM', p .. 'refresh', n)
end

local key = p .. 'u:' .. name
local old = redis.call('HMGET', key, 'pass', 'address')
local outcome
if not old[2] then
  if redis.call('ZCARD', orderKey) >= maxUsers then return {4} end
  if fromAddress(address) >= maxPerAddress then return {5} end
  outcome = 0
else
  if old[1] ~= '' then
    if old[1] ~= pass then return {3} end
    outcome = 1
  elseif old[2] == address then
    outcome = 1
  else
    outcome = 2
  end
  if old[2] ~= address and fromAddress(address) >= maxPerAddress then return {5} end
end

if old[2] ~= address then
  if old[2] then leave(old[2]) end
  redis.call('HINCRBY', addrKey, address, 1)
end
if outcome == 1 then
  -- The owner keeps its place in the list.
  if redis.call('GET', p .. 'r:' .. name) ~= record and inHead(name) then stale = true end
else
  -- A newcomer to the name goes last.
  if outcome == 2 and inHead(name) then stale = true end
  redis.call('ZADD', orderKey, redis.call('INCR', p .. 'seq'), name)
  if inHead(name) then stale = true end
end
redis.call('HSET', key, 'pass', pass, 'address', address, 'extra', ARGV[4])
redis.call('SET', p .. 'r:' .. name, record)
redis.call('ZADD', p .. 'refresh', now, name)

local head = false
if not stale and tonumber(redis.call('GET', p .. 'headN') or '-1') == maxListed then
  head = redis.call('GET', headKey)
end
if not head then
  local keys = {}
  for _, n in ipairs(redis.call('ZRANGE', orderKey, 0, maxListed)) do keys[#keys + 1] = p .. 'r:' .. n end
  head = table.concat(redis.call('MGET', unpack(keys)))
  redis.call('SET', headKey, head)
  redis.call('SET', p .. 'headN', maxListed)
end
return {outcome, head}
)LUA";

constexpr const char* kKeyPrefix = "voxlet-directory:";
constexpr int kOutcomes = static_cast<int>(RegisterOutcome::AddressFull) + 1;

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

} // namespace

std::string RedisLocation::text() const
{
    return host.empty() ? "unix:" + path : "redis://" + host + ":" + std::to_string(port);
}

RedisStore::RedisStore(RedisStoreOptions options, Logger log)
    : m_options(std::move(options))
    , m_log(std::move(log))
    , m_retryDelay(m_options.minRetry)
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
    const RedisLocation& where = m_options.location;
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
    if (!where.password.empty())
        redisAsyncCommand(
            context, OnAuthenticated, nullptr, "AUTH %b", where.password.data(), where.password.size());
    redisAsyncCommand(context, OnScriptLoaded, nullptr, "SCRIPT LOAD %s", kScript);
}

void RedisStore::scheduleRetry(const std::string& why)
{
    markDown(why);
    m_retryAt = Steady::now() + m_retryDelay;
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
    if (!m_down && m_everUp)
        return;
    if (m_log)
        m_log(std::string(m_everUp ? "Redis at " : "using Redis at ") + m_options.location.text()
            + (m_everUp ? " is back" : ""));
    m_down = false;
    m_everUp = true;
}

std::uint64_t RedisStore::registerAndList(
    const Profile& profile, const std::string& address, std::size_t maxListed, Done done)
{
    if (!m_context) { // waiting to reconnect
        done(RegisterOutcome::StoreUnavailable, {});
        return 0;
    }
    const std::uint64_t id = m_nextId++;
    const RegistryLimits& limits = m_options.limits;
    const std::string args[] = { m_scriptSha.empty() ? "EVAL" : "EVALSHA",
        m_scriptSha.empty() ? kScript : m_scriptSha, "0", kKeyPrefix, EncodeUtf16Le(profile.name),
        EncodeUtf16Le(profile.pass), EncodeUtf16Le(profile.extra), address, ListedRecord(profile, address),
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(limits.keepFor).count()),
        std::to_string(limits.maxUsers), std::to_string(limits.maxUsersPerAddress),
        std::to_string(maxListed) };
    constexpr int kArgs = sizeof args / sizeof args[0];
    const char* argv[kArgs];
    std::size_t lengths[kArgs];
    for (int i = 0; i < kArgs; ++i) {
        argv[i] = args[i].data();
        lengths[i] = args[i].size();
    }
    if (redisAsyncCommandArgv(m_context, OnReply, reinterpret_cast<void*>(static_cast<std::uintptr_t>(id)),
            kArgs, argv, lengths)
        != REDIS_OK) {
        done(RegisterOutcome::StoreUnavailable, {});
        return 0;
    }
    std::string askerPrefix = EncodeUtf16Le(profile.name);
    AppendAsciiAsUtf16Le(askerPrefix, "|");
    m_pending.emplace(id,
        Pending { std::move(done), Steady::now() + m_options.timeout, std::move(askerPrefix), maxListed });
    return id;
}

void RedisStore::answer(std::uint64_t id, RegisterOutcome outcome, const std::vector<std::string_view>& users)
{
    auto found = m_pending.find(id);
    if (found == m_pending.end())
        return; // already answered as timed out, or its asker has gone
    Done done = std::move(found->second.done);
    m_pending.erase(found);
    done(outcome, users);
}

void RedisStore::onReply(std::uint64_t id, void* replyData)
{
    const auto* reply = static_cast<const redisReply*>(replyData);
    if (!reply) { // the connection went; OnDisconnect tells why
        answer(id, RegisterOutcome::StoreUnavailable, {});
        return;
    }
    m_lastAnswer = Steady::now();
    if (reply->type == REDIS_REPLY_ERROR) {
        const std::string error(reply->str, reply->len);
        if (error.rfind("NOSCRIPT", 0) == 0 && m_context) {
            // Someone flushed the script cache: load it again for the next ones.
            m_scriptSha.clear();
            redisAsyncCommand(m_context, OnScriptLoaded, nullptr, "SCRIPT LOAD %s", kScript);
        }
        markDown("error " + error);
        answer(id, RegisterOutcome::StoreUnavailable, {});
        return;
    }
    const bool wellFormed = reply->type == REDIS_REPLY_ARRAY && reply->elements >= 1
        && reply->element[0]->type == REDIS_REPLY_INTEGER && reply->element[0]->integer >= 0
        && reply->element[0]->integer < kOutcomes
        && (reply->elements == 1 || reply->element[1]->type == REDIS_REPLY_STRING);
    auto found = m_pending.find(id);
    std::vector<std::string_view> users;
    if (!wellFormed
        || (found != m_pending.end() && reply->elements > 1
            && !SplitRecords(std::string_view(reply->element[1]->str, reply->element[1]->len),
                found->second.askerPrefix, found->second.maxListed, users))) {
        markDown("unexpected answer to the registration script");
        answer(id, RegisterOutcome::StoreUnavailable, {});
        return;
    }
    markUp();
    answer(id, static_cast<RegisterOutcome>(reply->element[0]->integer), users);
}

void RedisStore::onScriptLoaded(void* replyData)
{
    const auto* reply = static_cast<const redisReply*>(replyData);
    if (!reply)
        return;
    m_lastAnswer = Steady::now();
    if (reply->type == REDIS_REPLY_STRING) {
        m_scriptSha.assign(reply->str, reply->len);
        markUp();
    } else {
        markDown("cannot load the registration script: "
            + (reply->type == REDIS_REPLY_ERROR ? std::string(reply->str, reply->len) : "unexpected answer"));
    }
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
    TimePoint next = m_retryAt;
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
        answer(m_pending.begin()->first, RegisterOutcome::StoreUnavailable, {});
    }
    if (stuck && m_context) {
        redisAsyncFree(m_context); // answers what was still pending; Cleanup forgets the context
        if (m_retryAt == TimePoint::max())
            scheduleRetry("no answer");
    }
    if (!m_context && now >= m_retryAt)
        connect();
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
    if (self && reply && reply->type == REDIS_REPLY_ERROR)
        self->markDown("password refused: " + std::string(reply->str, reply->len));
}

void RedisStore::OnScriptLoaded(redisAsyncContext* context, void* reply, void*)
{
    if (auto* self = static_cast<RedisStore*>(context->data))
        self->onScriptLoaded(reply);
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
    self->m_wantRead = self->m_wantWrite = false;
}

} // namespace voxlet::directory_server
