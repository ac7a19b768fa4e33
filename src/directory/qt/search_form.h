#pragma once
// The search window's widgets: a view of SearchWindow.

#include <QDialog>

class QAction;
class QLabel;
class QLineEdit;
class QListWidget;

namespace voxlet {

class SearchWindow;

class SearchForm : public QDialog {
    Q_OBJECT
public:
    SearchForm(SearchWindow& logic, QWidget* parent = nullptr);
    ~SearchForm() override;

protected:
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    void Refresh();

    SearchWindow& logic_;
    QListWidget* list1_ = nullptr;
    QLabel* label1_ = nullptr;
    QLineEdit* text1_ = nullptr;
    QAction* connect_ = nullptr;
    QAction* call_ = nullptr;
    QAction* globalIp_ = nullptr;
    QAction* close_ = nullptr;
    bool closingByProgram_ = false;
};

} // namespace voxlet
