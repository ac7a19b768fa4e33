#include "shell/qt/qt_message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace voxlet {

namespace {
QWidget* BoxParent()
{
    QWidget* parent = QApplication::activeWindow();
    return parent && parent->isVisible() ? parent : nullptr;
}
} // namespace

int QtMessageBox::Run(QMessageBox& box)
{
    box.setObjectName(QStringLiteral("MessageBox"));
    open_.append(&box);
    const int answer = box.exec();
    open_.removeAll(&box);
    return answer;
}

void QtMessageBox::show(const QString& text, MessageIcon icon, const QString& title)
{
    QMessageBox::Icon qtIcon = QMessageBox::NoIcon;
    if (icon == MessageIcon::Critical)
        qtIcon = QMessageBox::Critical;
    else if (icon == MessageIcon::Exclamation)
        qtIcon = QMessageBox::Warning;
    QMessageBox box(qtIcon, title, text, QMessageBox::Ok, BoxParent());
    Run(box);
}

bool QtMessageBox::ask(const QString& text, const QString& title)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, BoxParent());
    box.button(QMessageBox::Yes)->setText(QStringLiteral("はい"));
    box.button(QMessageBox::No)->setText(QStringLiteral("いいえ"));
    box.setDefaultButton(QMessageBox::No);
    // closeAll() and the close box are a no.
    return Run(box) == QMessageBox::Yes;
}

void QtMessageBox::closeAll()
{
    for (const QPointer<QMessageBox>& box : open_)
        if (box)
            box->done(QMessageBox::Ok);
}

} // namespace voxlet
