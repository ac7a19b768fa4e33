#pragma once
// Incoming-call notices through the freedesktop notification service on the
// session bus. Every call is asynchronous: with no service (or no bus)
// nothing is shown and nothing waits.

#include "shell/call_notifier.h"

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QStringList>

#include <functional>

namespace voxlet {

class DesktopNotifier : public QObject, public CallNotifier {
    Q_OBJECT
public:
    explicit DesktopNotifier(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);

    void ShowIncoming(const QString& text) override;
    void WithdrawIncoming() override;
    void ShowMissed(const QString& caller, const QString& address, const QTime& at) override;
    void ShowRefused(const QString& address, const QTime& at) override;
    void ShowReachability(const QString& text) override;

private slots:
    void OnActionInvoked(uint id, const QString& action);
    void OnClosed(uint id, uint reason);

private:
    // Sends Notify; `named` hears the id the service gives the notice (0: none).
    void Notify(uint replaces, const QString& summary, const QString& body, const QStringList& actions,
        const QVariantMap& hints, int timeoutMs, std::function<void(uint id)> named = {});
    void Close(uint id);

    QDBusConnection bus_;
    bool actions_ = false; // the service offers buttons on notices
    // The service renders markup in bodies; until it has said, as if it did.
    bool markup_ = true;
    uint incoming_ = 0; // the notice of the ringing call, once the service named it
    bool incomingWanted_ = false;
    int pendingIncoming_ = 0; // Notify calls for it not yet answered
    QHash<uint, QString> missed_; // the caller's address of each missed call's notice, by its id
};

} // namespace voxlet
