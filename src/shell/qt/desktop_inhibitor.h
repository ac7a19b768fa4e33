#pragma once
// Keeps the desktop awake through its portal (org.freedesktop.portal.Inhibit:
// no suspend, no idle), or, where there is no portal, through the screen
// saver's own Inhibit. Every call is asynchronous: with no service (or no
// bus) nothing happens and nothing waits.

#include "shell/sleep_inhibitor.h"

#include <QDBusConnection>
#include <QObject>

namespace voxlet {

class DesktopInhibitor : public QObject, public SleepInhibitor {
    Q_OBJECT
public:
    explicit DesktopInhibitor(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);
    ~DesktopInhibitor() override;

    void Inhibit(const QString& reason) override;
    void Uninhibit() override;

private:
    void AskPortal();
    void AskScreenSaver();
    // Gives back what the desktop granted.
    void Release();

    QDBusConnection bus_;
    QString reason_;
    bool wanted_ = false; // a call is up
    bool asking_ = false; // a request is on its way; its reply decides
    QString request_; // the portal's handle of the inhibition
    uint cookie_ = 0; // the screen saver's, while screenSaverHeld_
    bool screenSaverHeld_ = false;
    uint tokens_ = 0;
};

} // namespace voxlet
