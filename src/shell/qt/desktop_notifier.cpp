#include "shell/qt/desktop_notifier.h"

#include "call/ports.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <algorithm>

namespace voxlet {

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kAppId = QStringLiteral("io.github.voxlet.Voxlet"); // icon and desktop file
const QString kAnswer = QStringLiteral("answer");
const QString kShow = QStringLiteral("show");
const QString kCallBack = QStringLiteral("call-back");
// The notices of missed calls that can still call back: the newest few.
constexpr int kMissedKept = 20;
} // namespace

DesktopNotifier::DesktopNotifier(QDBusConnection bus, QObject* parent)
    : QObject(parent)
    , bus_(std::move(bus))
{
    if (!bus_.isConnected())
        return;
    bus_.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
        SLOT(OnActionInvoked(uint, QString)));
    bus_.connect(
        kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this, SLOT(OnClosed(uint, uint)));
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(QDBusMessage::createMethodCall(kService, kPath,
                                                    kInterface, QStringLiteral("GetCapabilities"))),
        this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<QStringList> reply = *w;
        actions_ = reply.isValid() && reply.value().contains(QStringLiteral("actions"));
        markup_ = !reply.isValid() || reply.value().contains(QStringLiteral("body-markup"));
        w->deleteLater();
    });
}

void DesktopNotifier::Notify(uint replaces, const QString& summary, const QString& body,
    const QStringList& actions, const QVariantMap& hints, int timeoutMs, std::function<void(uint id)> named)
{
    if (!bus_.isConnected())
        return;
    QDBusMessage m = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    // A caller's name, or what a router said, is text, never a link or a picture.
    m << kAppTitle << replaces << kAppId << summary << (markup_ ? body.toHtmlEscaped() : body) << actions
      << hints << timeoutMs;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(m), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
        [named = std::move(named)](QDBusPendingCallWatcher* w) {
            const QDBusPendingReply<uint> reply = *w;
            w->deleteLater();
            if (named)
                named(reply.isValid() ? reply.value() : 0);
        });
}

void DesktopNotifier::Close(uint id)
{
    if (!bus_.isConnected() || id == 0)
        return;
    QDBusMessage m
        = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("CloseNotification"));
    m << id;
    bus_.asyncCall(m);
}

void DesktopNotifier::ShowIncoming(const QString& text)
{
    incomingWanted_ = true;
    QStringList actions;
    if (actions_)
        actions << kAnswer << QStringLiteral("応答") << kShow << QStringLiteral("表示");
    const QVariantMap hints { { QStringLiteral("urgency"), QVariant::fromValue(uchar(2)) },
        { QStringLiteral("category"), QStringLiteral("call.incoming") }, { QStringLiteral("resident"), true },
        { QStringLiteral("desktop-entry"), kAppId } };
    if (bus_.isConnected())
        ++pendingIncoming_;
    // Never expires: it goes when the ringing ends.
    Notify(incoming_, kAppTitle, text, actions, hints, 0, [this](uint id) {
        --pendingIncoming_;
        if (id == 0)
            return;
        incoming_ = id;
        // Withdrawn before the service answered: take it away now.
        if (!incomingWanted_ && pendingIncoming_ == 0) {
            Close(incoming_);
            incoming_ = 0;
        }
    });
}

void DesktopNotifier::WithdrawIncoming()
{
    incomingWanted_ = false;
    Close(incoming_);
    incoming_ = 0;
}

void DesktopNotifier::ShowMissed(const QString& caller, const QString& address, const QTime& at)
{
    const QVariantMap hints { { QStringLiteral("category"), QStringLiteral("call.unanswered") },
        { QStringLiteral("desktop-entry"), kAppId } };
    QStringList actions;
    if (actions_)
        actions << kCallBack << QStringLiteral("かけ直す");
    Notify(0, QStringLiteral("不在着信"),
        caller + QStringLiteral("さんからの電話 (") + at.toString(QStringLiteral("HH:mm")) + QLatin1Char(')'),
        actions, hints, -1, [this, address](uint id) {
            if (id == 0)
                return;
            missed_.insert(id, address);
            if (missed_.size() > kMissedKept)
                missed_.remove(*std::min_element(missed_.keyBegin(), missed_.keyEnd()));
        });
}

void DesktopNotifier::ShowRefused(const QString& address, const QTime& at)
{
    const QVariantMap hints { { QStringLiteral("category"), QStringLiteral("call.unanswered") },
        { QStringLiteral("desktop-entry"), kAppId } };
    Notify(0, QStringLiteral("断った着信"),
        address + QStringLiteral(" からの電話を断りました (") + at.toString(QStringLiteral("HH:mm"))
            + QStringLiteral(")。短い間に何度もかかってきたためです。"),
        {}, hints, -1);
}

void DesktopNotifier::ShowReachability(const QString& text)
{
    const QVariantMap hints { { QStringLiteral("category"), QStringLiteral("network") },
        { QStringLiteral("desktop-entry"), kAppId } };
    Notify(0, kAppTitle, text, {}, hints, -1);
}

void DesktopNotifier::OnActionInvoked(uint id, const QString& action)
{
    if (action == kCallBack && missed_.contains(id)) {
        const QString address = missed_.take(id);
        if (onCallBack)
            onCallBack(address);
        return;
    }
    if (id == 0 || id != incoming_)
        return;
    if (action == kAnswer && onAnswer)
        onAnswer();
    else if ((action == kShow || action == QStringLiteral("default")) && onShow)
        onShow();
}

void DesktopNotifier::OnClosed(uint id, uint)
{
    // Dismissed by the user: the call goes on ringing, only the notice is gone.
    if (id != 0 && id == incoming_)
        incoming_ = 0;
    missed_.remove(id);
}

} // namespace voxlet
