#include "directory/server/redis_store.h"

#include "directory/server/text_codec.h"

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

// KEYS: none (the keys share one prefix, given as ARGV[2]).
// ARGV: mode ("register", "remove" or "settings"), prefix, deadline (ms of Redis's
//       clock, 0: none), this process's settings (keep s, max users, max
//       users per address, max listed, list share, PASS attempts, PASS
//       window s), longest PASS wait s, most PASS records; then for
//       "register": name, pass, extra, address, listed record; for
//       "remove": name.
// Returns {-1, now} past the deadline (nothing done), else {result, now,
// settings in use[, head]}: for "register" the outcome numbered as
// RegisterOutcome and, when accepted, the ListedRecord()s of the first max
// listed + 1 listed users, one after the other (the asker may be among
// them); for "remove" 1 if the name was registered; for "settings" 0. Texts are the UTF-16LE
// bytes the client sent. Keys:
//   <prefix>settings  hash: the directory's settings, stored by the first
//                     process and used by all
//   <prefix>u:<name>  hash: pass, address, extra
//   <prefix>r:<name>  the user's listed record, ready to send
//   <prefix>order     names by order of first registration (score)
//   <prefix>refresh   names by last refresh, ms of Redis's clock (score)
//   <prefix>n:<net>   a network's names by order (score)
//   <prefix>listed    names that may be listed: the first `list share` of
//                     each network (score: order)
//   <prefix>addr      hash: address -> names registered from it
//   <prefix>seq       the last order given
//   <prefix>head      the head of the list as returned, kept until a change
//                     reaches it (most refreshes change nothing listed)
//   <prefix>headN     how many records the head was built for
//   <prefix>guard     hash: "a<address>" or "n<name>" -> failed PASS
//                     attempts: "failures since until locks expiry"
//   <prefix>guardt    the same keys by expiry (score)
// Every key of a user may be missing (evicted, deleted by hand): the user
// is then taken out of every index, and registers anew with its next
// refresh. Nothing can fail after the first write but Redis itself.
constexpr const char* kScript = R"LUA(
-- Redis before 5 must be told to replicate effects, or it refuses writes after TIME.
if redis.replicate_commands then redis.replicate_commands() end
local mode, p = ARGV[1], ARGV[2]
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local deadline = tonumber(ARGV[3]) or 0
if deadline > 0 and now > deadline then return {-1, now} end

local settingNames = {'keep', 'max-users', 'max-users-per-address', 'max-list', 'list-share',
  'pass-attempts', 'pass-window'}
local settingsKey = p .. 'settings'
local stored = redis.call('HMGET', settingsKey, unpack(settingNames))
local settings = {}
for i, n in ipairs(settingNames) do
  local v = tonumber(stored[i])
  if not v or v < 1 or v ~= math.floor(v) then
    v = tonumber(ARGV[3 + i])
    redis.call('HSET', settingsKey, n, ARGV[3 + i])
  end
  settings[i] = v
end
settings[4] = math.min(settings[4], 100)
local keep, maxUsers, maxPerAddress = settings[1] * 1000, settings[2], settings[3]
local maxListed, share = settings[4], settings[5]
local attempts, window = settings[6], settings[7] * 1000
local maxWait, guardCapacity = tonumber(ARGV[11]) * 1000, tonumber(ARGV[12])
if mode == 'settings' then return {0, now, settings} end

local addrKey, orderKey, refreshKey = p .. 'addr', p .. 'order', p .. 'refresh'
local listedKey, headKey, headNKey = p .. 'listed', p .. 'head', p .. 'headN'
local guardKey, guardTimeKey = p .. 'guard', p .. 'guardt'
local cutoff = now - keep

-- A change to a user placed within the cached head makes it stale.
local headLength = math.max(maxListed, tonumber(redis.call('GET', headNKey) or '0') or 0)
local stale = false
local function inHead(n)
  local rank = redis.call('ZRANK', listedKey, n)
  return rank and rank <= headLength
end
local function show(n, order)
  if not redis.call('ZSCORE', listedKey, n) then
    redis.call('ZADD', listedKey, order, n)
    if not stale and inHead(n) then stale = true end
  end
end
local function hide(n)
  if not stale and inHead(n) then stale = true end
  redis.call('ZREM', listedKey, n)
end
local function networkOf(a)
  return string.match(a, '^(.*)%.') or a
end
-- The first `share` users of a network by order are listed; a change moves
-- at most one across that edge. Names no longer registered are dropped.
local function settle(net)
  local key = p .. 'n:' .. net
  for _ = 1, 8 do
    local members = redis.call('ZRANGE', key, 0, share, 'WITHSCORES')
    local clean = true
    for i = 1, #members, 2 do
      if not redis.call('ZSCORE', orderKey, members[i]) then
        redis.call('ZREM', key, members[i])
        clean = false
      end
    end
    if clean then
      for i = 1, #members, 2 do
        if (i + 1) / 2 <= share then show(members[i], members[i + 1]) else hide(members[i]) end
      end
      return
    end
  end
end
local function leaveAddress(a)
  if redis.call('HINCRBY', addrKey, a, -1) <= 0 then redis.call('HDEL', addrKey, a) end
end
local function fromAddress(a)
  return tonumber(redis.call('HGET', addrKey, a) or '0') or 0
end
-- A record ends with the address, ASCII in UTF-16LE, and '|'.
local function recordAddress(r)
  local chars = {}
  local i = #r - 3
  while i >= 1 do
    local c, z = string.byte(r, i, i + 1)
    if z ~= 0 or c == 124 then break end
    table.insert(chars, 1, string.char(c))
    i = i - 2
  end
  return table.concat(chars)
end
-- Takes a user out of every index, whichever of its keys are left; its
-- network is settled by settleLeft(), once for many.
local unsettled = {}
local function settleLeft()
  for net in pairs(unsettled) do settle(net) end
  unsettled = {}
end
local function forget(n)
  local a = redis.call('HGET', p .. 'u:' .. n, 'address')
  if not a then
    local r = redis.call('GET', p .. 'r:' .. n)
    if r then a = recordAddress(r) end
  end
  hide(n)
  redis.call('ZREM', orderKey, n)
  redis.call('ZREM', refreshKey, n)
  redis.call('DEL', p .. 'u:' .. n, p .. 'r:' .. n)
  if a then
    leaveAddress(a)
    redis.call('ZREM', p .. 'n:' .. networkOf(a), n)
    unsettled[networkOf(a)] = true
  end
end

-- Failed PASS attempts, by the rules of AttemptGuard.
local function guardDrop(k)
  redis.call('HDEL', guardKey, k)
  redis.call('ZREM', guardTimeKey, k)
end
local function guardRecord(k)
  local s = redis.call('HGET', guardKey, k)
  if not s then return nil end
  local f, since, untl, locks, expiry = string.match(s, '^(%d+) (%d+) (%d+) (%d+) (%d+)$')
  if not f or tonumber(expiry) <= now then return nil end
  return {tonumber(f), tonumber(since), tonumber(untl), tonumber(locks)}
end
local function locked(k)
  local r = guardRecord(k)
  return r ~= nil and r[3] > now
end
local function failed(k)
  for _, old in ipairs(redis.call('ZRANGEBYSCORE', guardTimeKey, '-inf', now, 'LIMIT', 0, 16)) do
    guardDrop(old)
  end
  local r = guardRecord(k) or {0, now, 0, 0}
  if now - r[2] >= window then r[1] = 0; r[2] = now end
  r[1] = r[1] + 1
  if r[1] >= attempts then
    r[3] = now + math.min(maxWait, window * 2 ^ math.min(r[4], 20))
    r[4] = r[4] + 1
    r[1] = 0
    r[2] = r[3]
  end
  local expiry = r[2] + window
  if r[4] > 0 then expiry = r[3] + maxWait end
  redis.call('HSET', guardKey, k, string.format('%d %d %d %d %d', r[1], r[2], r[3], r[4], expiry))
  redis.call('ZADD', guardTimeKey, expiry, k)
  local over = redis.call('ZCARD', guardTimeKey) - guardCapacity
  if over > 0 then
    for _, old in ipairs(redis.call('ZRANGE', guardTimeKey, 0, over - 1)) do guardDrop(old) end
  end
end

if mode == 'remove' then
  local name = ARGV[13]
  guardDrop('n' .. name)
  local found = redis.call('ZSCORE', orderKey, name) or redis.call('EXISTS', p .. 'u:' .. name) == 1
  forget(name)
  settleLeft()
  if stale then redis.call('DEL', headNKey) end
  return {found and 1 or 0, now, settings}
end

local name, pass, extra, address, record = ARGV[13], ARGV[14], ARGV[15], ARGV[16], ARGV[17]
local net = networkOf(address)

-- Expiry in batches, oldest first: a large backlog (after a mass outage of
-- clients) is cleared by the registrations that follow, none blocking Redis
-- for long, and until then nothing expired is counted or listed.
local batch = 50
local expired = redis.call('ZRANGEBYSCORE', refreshKey, '-inf', cutoff, 'LIMIT', 0, batch)
for _, n in ipairs(expired) do forget(n) end
settleLeft()
local backlog = #expired == batch
if backlog then stale = true end

local key = p .. 'u:' .. name
local old = redis.call('HMGET', key, 'pass', 'address')
local placed = redis.call('ZSCORE', orderKey, name)
local refreshed = redis.call('ZSCORE', refreshKey, name)
if (old[2] and not placed) or (placed and not old[2]) or (refreshed and tonumber(refreshed) <= cutoff) then
  forget(name) -- expired but not cleared yet, or some of its keys are gone: the name is free
  settleLeft()
  old = {false, false}
end

local outcome
if not old[2] then
  local users = redis.call('ZCARD', orderKey)
  if backlog then users = users - redis.call('ZCOUNT', refreshKey, '-inf', cutoff) end
  if users >= maxUsers then return {4, now, settings} end
  if fromAddress(address) >= maxPerAddress then return {5, now, settings} end
  outcome = 0
else
  if old[1] ~= '' then
    local right = old[1] == pass
    -- The owner refreshing from where it is listed is never held up by
    -- anyone else's failures; otherwise a locked PASS is not looked at.
    if not (right and old[2] == address) then
      if locked('a' .. address) or locked('n' .. name) then return {6, now, settings} end
      if not right then
        failed('a' .. address)
        failed('n' .. name)
        return {3, now, settings}
      end
    end
    outcome = 1
  elseif old[2] == address then
    outcome = 1
  else
    outcome = 2
  end
  if old[2] ~= address and fromAddress(address) >= maxPerAddress then return {5, now, settings} end
end

if outcome == 1 then
  -- The owner keeps its place in the list.
  if old[2] ~= address then
    leaveAddress(old[2])
    redis.call('HINCRBY', addrKey, address, 1)
    local oldNet = networkOf(old[2])
    if oldNet ~= net then
      hide(name)
      redis.call('ZREM', p .. 'n:' .. oldNet, name)
      settle(oldNet)
      redis.call('ZADD', p .. 'n:' .. net, placed, name)
      settle(net)
    end
  end
  if redis.call('GET', p .. 'r:' .. name) ~= record and inHead(name) then stale = true end
else
  -- A newcomer to the name goes last.
  if outcome == 2 then
    forget(name)
    settleLeft()
  end
  local order = redis.call('INCR', p .. 'seq')
  redis.call('ZADD', orderKey, order, name)
  redis.call('HINCRBY', addrKey, address, 1)
  redis.call('ZADD', p .. 'n:' .. net, order, name)
  settle(net)
end
redis.call('HSET', key, 'pass', pass, 'address', address, 'extra', extra)
redis.call('SET', p .. 'r:' .. name, record)
redis.call('ZADD', refreshKey, now, name)

local head = false
if not stale and tonumber(redis.call('GET', headNKey) or '-1') == maxListed then
  head = redis.call('GET', headKey)
end
if not head then
  -- Users whose record is gone are forgotten and the head read again.
  -- While expired users wait for their batch they are passed over (but
  -- only so many: a list may come out short until the backlog is cleared).
  local whole = false
  for _ = 1, 8 do
    local parts, gone, from, examined = {}, {}, 0, 0
    while #parts <= maxListed and examined < 300 do
      local names = redis.call('ZRANGE', listedKey, from, from + maxListed)
      if #names == 0 then break end
      local keys = {}
      for i, n in ipairs(names) do keys[i] = p .. 'r:' .. n end
      local records = redis.call('MGET', unpack(keys))
      for i, n in ipairs(names) do
        local r = records[i]
        if backlog and r then
          local refreshedAt = redis.call('ZSCORE', refreshKey, n)
          if not refreshedAt or tonumber(refreshedAt) <= cutoff then r = nil end
        elseif not r then
          gone[#gone + 1] = n
        end
        if r and #parts <= maxListed then parts[#parts + 1] = r end
      end
      examined = examined + #names
      from = from + #names
    end
    head = table.concat(parts)
    if #gone == 0 then
      whole = not backlog
      break
    end
    for _, n in ipairs(gone) do forget(n) end
    settleLeft()
  end
  if whole then
    redis.call('SET', headKey, head)
    redis.call('SET', headNKey, maxListed)
  else
    redis.call('DEL', headNKey)
  end
end
return {outcome, now, settings, head}
)LUA";

constexpr const char* kKeyPrefix = "voxlet-directory:";
constexpr int kOutcomes = static_cast<int>(RegisterOutcome::TooManyAttempts) + 1;
constexpr std::size_t kSettings = 7;
constexpr const char* kSettingOptions[kSettings] = { "--keep", "--max-users", "--max-users-per-address",
    "--max-list", "--list-share", "--pass-attempts", "--pass-window" };
constexpr std::chrono::milliseconds kMaxScriptRetry { 60000 };

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
    redisAsyncCommand(m_context, OnScriptLoaded, nullptr, "SCRIPT LOAD %s", kScript);
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
        if (pending.done)
            pending.done(RegisterOutcome::StoreUnavailable, {});
        else if (pending.removed)
            pending.removed(false, why);
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
    // Past its deadline the exchange has been refused: Redis must not carry it out.
    pending.args[2] = m_clockKnown ? std::to_string(SteadyMs(pending.deadline) + m_clockOffset) : "0";
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
        m_scriptSha.empty() ? kScript : m_scriptSha.c_str(), "0" };
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
    if (pending.done)
        pending.done(RegisterOutcome::StoreUnavailable, {});
    else if (pending.removed)
        pending.removed(false, "Redis unavailable");
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
