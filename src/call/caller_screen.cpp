#include "call/caller_screen.h"

namespace voxlet {

namespace {
constexpr std::chrono::seconds kWindow { 60 };
} // namespace

CallerScreen::CallerScreen(ScreenOptions options, Clock clock)
    : options_(options)
    , clock_(clock ? std::move(clock) : [] { return std::chrono::steady_clock::now(); })
{
}

bool CallerScreen::Admit(const QString& address, const std::function<bool(const QString&)>& inPhoneBook)
{
    if (options_.phoneBookOnly && !(inPhoneBook && inPhoneBook(address)))
        return false;
    if (options_.ringsPerMinute <= 0)
        return true;
    const auto now = clock_();
    // Forget what is older than the window, everywhere: a flood from many
    // addresses must not grow the table without end.
    for (auto it = recent_.begin(); it != recent_.end();) {
        while (!it->empty() && now - it->front() >= kWindow)
            it->pop_front();
        it = it->empty() ? recent_.erase(it) : std::next(it);
    }
    auto& times = recent_[address];
    if (int(times.size()) >= options_.ringsPerMinute)
        return false;
    times.push_back(now);
    return true;
}

} // namespace voxlet
