#include "audio/connection_state.h"

#include <chrono>

namespace voxlet {

bool ConnectionState::waitUntilReady(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return ready_.load(); });
}

bool ConnectionState::waitForFirstAttempt(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return settled_.load(); });
    return ready_.load();
}

void ConnectionState::connected()
{
    ++connections_;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ready_ = true;
        settled_ = true;
    }
    changed_.notify_all();
}

bool ConnectionState::lost()
{
    bool was;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        was = ready_.exchange(false);
        settled_ = true;
    }
    changed_.notify_all();
    return was;
}

void ConnectionState::failed()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        settled_ = true;
    }
    changed_.notify_all();
}

} // namespace voxlet
