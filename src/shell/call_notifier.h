#pragma once
// A desktop notification for an incoming call: the way to the call where the
// program may not raise its own window (Wayland) or has no tray to come back
// from. It adds to the ring, never replaces it.

#include <QString>
#include <QTime>

#include <functional>

namespace voxlet {

class CallNotifier {
public:
    virtual ~CallNotifier() = default;
    // Shows (or updates) the notice of the call that rings; it stays until withdrawn.
    virtual void ShowIncoming(const QString& text) = 0;
    virtual void WithdrawIncoming() = 0;
    // The caller at `address` hung up before the answer.
    virtual void ShowMissed(const QString& caller, const QString& address, const QTime& at) = 0;
    // A caller from this address was closed unheard: it called too often.
    virtual void ShowRefused(const QString&, const QTime&) { }
    // Once listening has begun: whether callers from outside reach the phone.
    virtual void ShowReachability(const QString&) { }

    // The user's choices: "応答" and "表示" on the incoming call's notice,
    // "かけ直す" on a missed call's.
    std::function<void()> onAnswer;
    std::function<void()> onShow;
    std::function<void(const QString& address)> onCallBack;
};

} // namespace voxlet
