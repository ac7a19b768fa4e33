#pragma once
// The settings window's logic and contents: the phone book and the own
// profile as the window shows them. Every change to the phone book is written
// at once; the profile when "保存" is pressed. A view shows the contents and
// forwards the user's clicks and edits.

#include "call/ports.h"
#include "phonebook/phone_book_files.h"

#include <QLocale>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTime>

#include <array>

namespace voxlet {

class SettingsWindow : public QObject {
    Q_OBJECT
public:
    SettingsWindow(const QString& dataDir, MessageBoxPort& boxes);

    // The stamp of a new or replaced entry: the locale's time format with
    // seconds (21:07:45), or "H:mm:ss" where the locale's would put a space
    // or a comma into the record.
    static QString TimeOfDayText(const QLocale& locale, const QTime& time);

    // Typing limits of the profile boxes, by Text4 index.
    static constexpr std::array<int, 5> kText4Limits { 10, 2, 2, 30, 10 };

    // Opening and closing. Every opening starts from the first state and
    // loads the files at its activation.
    void Form_Load();
    void Form_Activate();
    void Form_Unload();
    // The close box or the system menu: refused with a warning.
    void RefuseClose();

    // Commands of the window.
    void List1_Click(int row); // the line now selected, -1 for none
    void Command1_Click(); // 追　加
    void Command2_Click(); // 置　換
    void Command3_Click(); // 削　除
    void Command4_Click(); // 終　了
    void Command5_Click(); // クリア
    void Command6_Click(); // 保存

    // The user's edits.
    void Text1_Change(const QString& text);
    void Text2_Change(const QString& text) { text2_ = text; }
    void Text3_Change(const QString& text) { text3_ = text; }
    void Text4_Change(int index, const QString& text);
    void Text5_Change(const QString& text) { text5_ = text; }
    void Text1_DblClick();
    void Text2_DblClick();
    void Text3_DblClick();

    // Contents.
    bool loaded() const { return loaded_; }
    const QStringList& lines() const { return list1_; }
    int selectedRow() const { return selected_; }
    QString text1() const { return text1_; }
    QString text2() const { return text2_; }
    QString text3() const { return text3_; }
    QString text4(int index) const { return text4_.at(std::size_t(index)); }
    int text4MaxLength(int index) const { return text4Limits_.at(std::size_t(index)); }
    QString text5() const { return text5_; }
    QString label4() const { return label4_; }

signals:
    // Contents changed: a shown view repaints from the getters.
    void changed();
    // The window is to disappear (by "終　了" or as the program ends).
    void closeRequested();

private:
    void SetText1(const QString& text);
    void SetLoadedText4(int index, const QString& text);
    void LoadList();
    void NoteBookLoad(const files::LinesResult& book);
    bool SaveList();
    bool BookWritable();
    bool EntryTextsStorable();
    QString EntryLine(int number) const;
    void ShowBox(const QString& text, MessageIcon icon = MessageIcon::None);

    QString dataDir_;
    MessageBoxPort& boxes_;
    bool loaded_ = false;
    QString bookRefusal_; // why Tel.txt must not be written; empty when the list holds it all

    QStringList list1_;
    int selected_ = -1;
    QString text1_, text2_, text3_;
    std::array<QString, 5> text4_;
    std::array<int, 5> text4Limits_ = kText4Limits;
    QString text5_;
    QString label4_;
};

} // namespace voxlet
