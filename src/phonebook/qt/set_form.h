#pragma once
// The settings window: edits the phone book and the own profile. Every change
// to the phone book is written at once; the profile when "保存" is pressed.

#include "call/ports.h"
#include "phonebook/phone_book_files.h"

#include <QDialog>
#include <QLocale>
#include <QString>
#include <QTime>

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

    // The stamp of a new or replaced entry: the locale's time format with
    // seconds (21:07:45), or "H:mm:ss" where the locale's would put a space
    // or a comma into the record.
    static QString TimeOfDayText(const QLocale& locale, const QTime& time);

    // "ＭＳ 明朝" and "ＭＳ ゴシック" do not exist here; map them once.
    static void InstallFontSubstitutions();

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
    void closeByProgram() { onFinish(); }

private:
    void buildLayout();
    void activate();
    void resetForNextOpening();

    void onSelectionMade();
    void onAdd();
    void onReplace();
    void onDelete();
    void onClear();
    void onSaveProfile();
    void onFinish();
    void onNameChanged(const QString& text);

    int selectedRow() const;
    QStringList listLines() const;
    void reloadList();
    bool saveList();
    bool entryTextsStorable();
    bool bookWritable();
    void noteBookLoad(const files::LinesResult& book);
    void setLoadedText(QLineEdit* box, const QString& text);
    QString entryLine(int number) const;
    void showBox(const QString& text, MessageIcon icon = MessageIcon::None);
    void setLabel4(const QString& text);

    QString dataDir_;
    MessageBoxPort& boxes_;
    bool loaded_ = false;
    bool closingByButton_ = false;
    QString bookRefusal_; // why Tel.txt must not be written; empty when the list holds it all

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
