#pragma once
// The Lua script that the Redis store runs for every request: one round
// trip, carried out atomically for all processes sharing the store.

namespace voxlet::directory_server {

extern const char* const kDirectoryScript;

} // namespace voxlet::directory_server
