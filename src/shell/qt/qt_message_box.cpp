#include "shell/qt/qt_message_box.h"

#include <QApplication>
#include <QMessageBox>

namespace voxlet {

void QtMessageBox::show(const QString& text, MessageIcon icon, const QString& title)
{
    QMessageBox::Icon qtIcon = QMessageBox::NoIcon;
    if (icon == MessageIcon::Critical)
        qtIcon = QMessageBox::Critical;
    else if (icon == MessageIcon::Exclamation)
        qtIcon = QMessageBox::Warning;
    QWidget* parent = QApplication::activeWindow();
    QMessageBox box(qtIcon, title, text, QMessageBox::Ok, parent && parent->isVisible() ? parent : nullptr);
    box.setObjectName(QStringLiteral("MessageBox"));
    open_.append(&box);
    box.exec();
    open_.removeAll(&box);
}

void QtMessageBox::closeAll()
{
    for (const QPointer<QMessageBox>& box : open_)
        if (box)
            box->done(QMessageBox::Ok);
}

} // namespace voxlet
