#pragma once
// Keeps the computer awake (no screen blanking, no suspend on idle) while a
// call is up: a laptop left alone in a long call would otherwise drop it.

#include <QString>

namespace voxlet {

class SleepInhibitor {
public:
    virtual ~SleepInhibitor() = default;
    // Asks the desktop to stay awake; `reason` is what it may show the user.
    // Asking again while held changes nothing.
    virtual void Inhibit(const QString& reason) = 0;
    // Lets the desktop sleep again; nothing happens when nothing is held.
    virtual void Uninhibit() = 0;
};

} // namespace voxlet
