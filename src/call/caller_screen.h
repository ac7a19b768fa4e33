#pragma once
// Which callers may ring, for a phone the whole Internet can reach: no
// address rings more than a few times a minute (the rest are closed at once,
// as a busy phone closes them), and, where the user chose so, only
// addresses in the phone book ring at all (the others are closed without a
// word).

#include <QHash>
#include <QString>

#include <chrono>
#include <deque>
#include <functional>

namespace voxlet {

struct ScreenOptions {
    int ringsPerMinute = 3; // 0: no limit
    bool phoneBookOnly = false;
};

class CallerScreen {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    explicit CallerScreen(ScreenOptions options, Clock clock = {});

    // One more caller from `address`; true when it may ring. `inPhoneBook`
    // is asked only when the phone book decides.
    bool Admit(const QString& address, const std::function<bool(const QString&)>& inPhoneBook);

    const ScreenOptions& options() const { return options_; }

private:
    ScreenOptions options_;
    Clock clock_;
    QHash<QString, std::deque<std::chrono::steady_clock::time_point>> recent_;
};

} // namespace voxlet
