#pragma once

#include "call/ports.h"

#include <QObject>
#include <QSystemTrayIcon>

namespace voxlet {

class Phone;

// The notification-area icon; its mouse events go to the phone.
class QtTray : public QObject, public TrayPort {
    Q_OBJECT
public:
    explicit QtTray(QObject* parent = nullptr);
    void attach(Phone* phone) { phone_ = phone; }
    void addIcon(const QString& tooltip) override;
    void deleteIcon() override;
    void setStatus(const QString& line) override;
    QSystemTrayIcon& icon() { return icon_; }

private:
    QSystemTrayIcon icon_;
    QString tooltip_;
    QString status_;
    Phone* phone_ = nullptr;
};

} // namespace voxlet
