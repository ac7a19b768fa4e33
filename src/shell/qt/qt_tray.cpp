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
    tooltip_ = tooltip;
    setStatus(status_);
    icon_.show();
}

void QtTray::setStatus(const QString& line)
{
    // The phone's own tooltip stays first, as it is.
    status_ = line;
    icon_.setToolTip(line.isEmpty() ? tooltip_ : tooltip_ + QLatin1Char('\n') + line);
}

void QtTray::deleteIcon()
{
    icon_.hide();
}

} // namespace voxlet
