#pragma once

#include "call/ports.h"

#include <QList>
#include <QPointer>

class QMessageBox;

namespace voxlet {

// Real message boxes: modal, with an OK button, or "はい" and "いいえ".
class QtMessageBox : public MessageBoxPort {
public:
    void show(const QString& text, MessageIcon icon, const QString& title) override;
    bool ask(const QString& text, const QString& title) override;

    // Closes the boxes that are open, as OK would: their show() returns.
    void closeAll();

private:
    int Run(QMessageBox& box);

    QList<QPointer<QMessageBox>> open_; // innermost last
};

} // namespace voxlet
