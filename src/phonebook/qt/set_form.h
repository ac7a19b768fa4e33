#pragma once
// The settings window's widgets: a view of SettingsWindow, which it owns.

#include "phonebook/settings_window.h"

#include <QDialog>

#include <array>

class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace voxlet {

class SetFORM : public QDialog {
    Q_OBJECT

public:
    SetFORM(const QString& dataDir, MessageBoxPort& boxes, QWidget* parent = nullptr);

    SettingsWindow& logic() { return logic_; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

public:
    // Only the close button may end the dialog; Esc must not.
    void reject() override;
    // Closed by the program as it ends; unsaved profile edits are lost as at
    // any close.
    void closeByProgram() { logic_.Command4_Click(); }

private:
    void buildLayout();
    void Refresh();
    int selectedRow() const;
    void setLabel4(const QString& text);

    SettingsWindow logic_;
    bool closing_ = false;

    QListWidget* list1_ = nullptr;
    QPushButton* command1_ = nullptr;
    QPushButton* command2_ = nullptr;
    QPushButton* command3_ = nullptr;
    QPushButton* command4_ = nullptr;
    QPushButton* command5_ = nullptr;
    QPushButton* command6_ = nullptr;
    QLineEdit* text1_ = nullptr;
    QLineEdit* text2_ = nullptr;
    QLineEdit* text3_ = nullptr;
    std::array<QLineEdit*, 5> text4_ {};
    QLineEdit* text5_ = nullptr;
    QLabel* label4_ = nullptr;
    QGroupBox* frame1_ = nullptr;
    QGroupBox* frame2_ = nullptr;
    QFrame* line1_ = nullptr;
};

} // namespace voxlet
