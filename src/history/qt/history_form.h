#pragma once
// The history window's widgets: a view of HistoryWindow.

#include <QDialog>

class QAction;
class QLineEdit;
class QListWidget;

namespace voxlet::history {

class HistoryWindow;

class HistoryForm : public QDialog {
    Q_OBJECT
public:
    HistoryForm(HistoryWindow& logic, QWidget* parent = nullptr);
    ~HistoryForm() override;

private:
    void Refresh();

    HistoryWindow& logic_;
    QListWidget* list_ = nullptr;
    QLineEdit* status_ = nullptr;
    QAction* call_ = nullptr;
    QAction* clear_ = nullptr;
};

} // namespace voxlet::history
