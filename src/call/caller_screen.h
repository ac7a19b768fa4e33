#pragma once
// Which callers may ring, for a phone the whole Internet can reach: no
// address rings more than a few times a minute, strangers together no more
// than a few dozen (the rest are closed at once, as a busy phone closes
// them), and, where the user chose so, only addresses in the phone book ring
// at all. An IPv6 caller counts by its /64: that is what one home holds.

#include <QHash>
#include <QString>

#include <chrono>
#include <deque>
#include <functional>

namespace voxlet {

struct ScreenOptions {
    int ringsPerMinute = 5; // from one address (one /64); 0: no limit
    int strangersPerMinute = 30; // from all addresses not in the phone book; 0: no limit
    bool phoneBookOnly = false;
};

enum class Screened {
    Rings,
    TooOften, // over a limit: the user is told, now and then
    NotInPhoneBook, // the user asked for these to be closed without a word
};

class CallerScreen {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    explicit CallerScreen(ScreenOptions options, Clock clock = {});

    // One more caller from `address` (dotted IPv4 or IPv6 as the phone
    // shows it). `inPhoneBook` is asked only when the answer matters.
    Screened Admit(const QString& address, const std::function<bool(const QString&)>& inPhoneBook);

    const ScreenOptions& options() const { return options_; }
    // Rings remembered for the last minute (bounded whatever the callers do).
    int remembered() const { return int(rings_.size()); }

private:
    struct Ring {
        std::chrono::steady_clock::time_point at;
        QString key;
        bool stranger;
    };
    void Forget(std::chrono::steady_clock::time_point now);

    ScreenOptions options_;
    Clock clock_;
    std::deque<Ring> rings_; // in the order they rang: the oldest go first
    QHash<QString, int> perKey_;
    int strangers_ = 0;
};

// What one caller counts as: the IPv4 address, or the /64 of an IPv6 one.
QString CallerKey(const QString& address);

} // namespace voxlet
