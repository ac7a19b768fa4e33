#include "shell/qt/qt_tray.h"

#include "shell/phone.h"

#include <QCursor>
#include <QIcon>

namespace voxlet {

QtTray::QtTray(QObject* parent)
    : QObject(parent)
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/voxlet-32.png"));
    icon.addFile(QStringLiteral(":/icons/voxlet-16.png"));
    icon_.setIcon(icon);
    connect(&icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (phone_)
            phone_->TrayMouseEvent(reason == QSystemTrayIcon::Trigger, QCursor::pos());
    });
}

void QtTray::addIcon(const QString& tooltip)
{
    icon_.setToolTip(tooltip);
    icon_.show();
}

void QtTray::deleteIcon()
{
    icon_.hide();
}

} // namespace voxlet
