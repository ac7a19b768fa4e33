#include "call/caller_screen.h"

#include <algorithm>
#include <optional>

#include <arpa/inet.h>

namespace voxlet {

namespace {
constexpr std::chrono::seconds kWindow { 60 };
// Rings from phone-book addresses are not capped together; this bounds the
// memory whatever the options say.
constexpr int kMaxRemembered = 4096;
} // namespace

QString CallerKey(const QString& address)
{
    in6_addr a {};
    if (!address.contains(QLatin1Char(':')) || inet_pton(AF_INET6, address.toLatin1().constData(), &a) != 1)
        return address;
    // The network half only: a home is given a whole /64 and may use any of it.
    std::fill(a.s6_addr + 8, a.s6_addr + 16, std::uint8_t(0));
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(AF_INET6, &a, text, sizeof text);
    return QString::fromLatin1(text) + QStringLiteral("/64");
}

CallerScreen::CallerScreen(ScreenOptions options, Clock clock)
    : options_(options)
    , clock_(clock ? std::move(clock) : [] { return std::chrono::steady_clock::now(); })
{
}

void CallerScreen::Forget(std::chrono::steady_clock::time_point now)
{
    while (!rings_.empty() && (now - rings_.front().at >= kWindow || int(rings_.size()) > kMaxRemembered)) {
        const Ring& old = rings_.front();
        auto count = perKey_.find(old.key);
        if (count != perKey_.end() && --*count <= 0)
            perKey_.erase(count);
        strangers_ -= old.stranger ? 1 : 0;
        rings_.pop_front();
    }
}

Screened CallerScreen::Admit(const QString& address, const std::function<bool(const QString&)>& inPhoneBook)
{
    std::optional<bool> known;
    const auto isKnown = [&] {
        if (!known)
            known = inPhoneBook && inPhoneBook(address);
        return *known;
    };
    if (options_.phoneBookOnly && !isKnown())
        return Screened::NotInPhoneBook;
    const auto now = clock_();
    Forget(now);
    const QString key = CallerKey(address);
    if (options_.ringsPerMinute > 0 && perKey_.value(key) >= options_.ringsPerMinute)
        return Screened::TooOften;
    // The phone book is read only once strangers are many: until then
    // everyone counts as one.
    bool stranger = !(known && *known);
    if (options_.strangersPerMinute > 0 && strangers_ >= options_.strangersPerMinute) {
        stranger = !isKnown();
        if (stranger)
            return Screened::TooOften;
    }
    if (options_.ringsPerMinute <= 0 && options_.strangersPerMinute <= 0)
        return Screened::Rings;
    rings_.push_back({ now, key, stranger });
    ++perKey_[key];
    strangers_ += stranger ? 1 : 0;
    Forget(now);
    return Screened::Rings;
}

} // namespace voxlet
