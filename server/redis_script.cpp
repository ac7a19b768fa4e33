#include "server/redis_script.h"

namespace voxlet::directory_server {

// KEYS: none (the keys share one prefix, given as ARGV[2]).
// ARGV: mode ("register", "remove", "probe" or "settings"), prefix, deadline (ms of Redis's
//       clock, 0: none), this process's settings (keep s, max users, max
//       users per address, max listed, list share, PASS attempts, PASS
//       window s), longest PASS wait s, most PASS records; then for
//       "register": name, pass, extra, address, listed record; for
//       "remove": name; for "probe": address, most probes, window s.
// Returns {-1, now} past the deadline (nothing done), else {result, now,
// settings in use[, head]}: for "register" the outcome numbered as
// RegisterOutcome and, when accepted, the ListedRecord()s of the first max
// listed + 1 listed users, one after the other (the asker may be among
// them); for "remove" 1 if the name was registered; for "probe" 1 if the
// address may be probed (then counted), else 0; for "settings" 0. Texts are
// the UTF-16LE bytes the client sent. Keys:
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
//   <prefix>p:<addr>  connect-back probes of an address by time (score),
//                     expiring a window after the last
// Every key of a user may be missing (evicted, deleted by hand): the user
// is then taken out of every index, and registers anew with its next
// refresh. Nothing can fail after the first write but Redis itself.
const char* const kDirectoryScript = R"LUA(
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
if mode == 'probe' then
  local key, most, span = p .. 'p:' .. ARGV[13], tonumber(ARGV[14]), tonumber(ARGV[15]) * 1000
  redis.call('ZREMRANGEBYSCORE', key, '-inf', now - span)
  local made = redis.call('ZCARD', key)
  if made >= most then return {0, now, settings} end
  redis.call('ZADD', key, now, now .. ':' .. made)
  redis.call('PEXPIRE', key, span)
  return {1, now, settings}
end

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

} // namespace voxlet::directory_server
