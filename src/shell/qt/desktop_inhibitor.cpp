#include "shell/qt/desktop_inhibitor.h"

#include "call/ports.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace voxlet {

namespace {
const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kPortalInhibit = QStringLiteral("org.freedesktop.portal.Inhibit");
const QString kPortalRequest = QStringLiteral("org.freedesktop.portal.Request");
constexpr uint kSuspend = 4;
constexpr uint kIdle = 8;
const QString kScreenSaver = QStringLiteral("org.freedesktop.ScreenSaver");
const QString kScreenSaverPath = QStringLiteral("/org/freedesktop/ScreenSaver");
} // namespace

DesktopInhibitor::DesktopInhibitor(QDBusConnection bus, QObject* parent)
    : QObject(parent)
    , bus_(std::move(bus))
{
}

DesktopInhibitor::~DesktopInhibitor()
{
    Uninhibit();
}

void DesktopInhibitor::Inhibit(const QString& reason)
{
    wanted_ = true;
    reason_ = reason;
    // Held already, or a reply still to come that will be kept.
    if (asking_ || !request_.isEmpty() || screenSaverHeld_ || !bus_.isConnected())
        return;
    AskPortal();
}

void DesktopInhibitor::Uninhibit()
{
    wanted_ = false;
    Release();
}

void DesktopInhibitor::AskPortal()
{
    QDBusMessage m
        = QDBusMessage::createMethodCall(kPortal, kPortalPath, kPortalInhibit, QStringLiteral("Inhibit"));
    const QVariantMap options { { QStringLiteral("reason"), reason_ },
        { QStringLiteral("handle_token"), QStringLiteral("voxlet%1").arg(++tokens_) } };
    m << QString() << (kSuspend | kIdle) << options;
    asking_ = true;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(m), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<QDBusObjectPath> reply = *w;
        w->deleteLater();
        if (!reply.isValid()) {
            // No portal, or one without this interface: the screen saver may do.
            if (wanted_)
                AskScreenSaver();
            else
                asking_ = false;
            return;
        }
        asking_ = false;
        request_ = reply.value().path();
        // The call ended before the desktop answered.
        if (!wanted_)
            Release();
    });
}

void DesktopInhibitor::AskScreenSaver()
{
    QDBusMessage m = QDBusMessage::createMethodCall(
        kScreenSaver, kScreenSaverPath, kScreenSaver, QStringLiteral("Inhibit"));
    m << kAppTitle << reason_;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(m), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<uint> reply = *w;
        w->deleteLater();
        asking_ = false;
        if (!reply.isValid())
            return;
        cookie_ = reply.value();
        screenSaverHeld_ = true;
        if (!wanted_)
            Release();
    });
}

void DesktopInhibitor::Release()
{
    if (!request_.isEmpty()) {
        bus_.asyncCall(
            QDBusMessage::createMethodCall(kPortal, request_, kPortalRequest, QStringLiteral("Close")));
        request_.clear();
    }
    if (screenSaverHeld_) {
        QDBusMessage m = QDBusMessage::createMethodCall(
            kScreenSaver, kScreenSaverPath, kScreenSaver, QStringLiteral("UnInhibit"));
        m << cookie_;
        bus_.asyncCall(m);
        screenSaverHeld_ = false;
    }
}

} // namespace voxlet
