// The settings window against a temporary data folder: its rules through the
// logic alone, with no widget; then the dialog, offscreen: its layout, and
// that it shows the logic's contents and forwards what the user does.

#include "phonebook/phone_book_files.h"
#include "phonebook/qt/set_form.h"
#include "support/test_support.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace voxlet;
using voxlet::test::ReadBytes;
using voxlet::test::RecordingMessageBox;
using voxlet::test::WriteBytes;

namespace {

QByteArray CrLfLines(const QStringList& lines)
{
    QByteArray out;
    for (const QString& line : lines)
        out += files::EncodeCp932(line) + "\r\n";
    return out;
}

QStringList NumbersOf(const QStringList& lines)
{
    QStringList numbers;
    for (const QString& line : lines)
        numbers << line.section(u' ', 0, 0);
    return numbers;
}

QStringList FileLines(const QString& path)
{
    QStringList lines = files::DecodeCp932(ReadBytes(path)).split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace

class SetFormTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;
    RecordingMessageBox boxes_;
    std::unique_ptr<SettingsWindow> w_;
    std::unique_ptr<SetFORM> form_;

    QString telPath() const { return dir_->filePath(QStringLiteral("Tel.txt")); }
    QString namePath() const { return dir_->filePath(QStringLiteral("name.txt")); }

    // A fresh opening of the window on the folder, activated.
    SettingsWindow& open(const QString& dataDir = {})
    {
        w_ = std::make_unique<SettingsWindow>(dataDir.isEmpty() ? dir_->path() : dataDir, boxes_);
        w_->Form_Load();
        w_->Form_Activate();
        return *w_;
    }

    void typeEntry(const QString& name, const QString& address, const QString& wav = {})
    {
        w_->Text1_Change(name);
        w_->Text2_Change(address);
        w_->Text3_Change(wav);
    }

    // Text1 to Text3 and Label4.
    QStringList entry() const { return { w_->text1(), w_->text2(), w_->text3(), w_->label4() }; }
    // Text4 elements 0 to 4, then Text5.
    QStringList profile() const
    {
        return { w_->text4(0), w_->text4(1), w_->text4(2), w_->text4(3), w_->text4(4), w_->text5() };
    }

    // Shows a fresh dialog on the folder and lets its first activation run.
    SetFORM* openForm()
    {
        form_ = std::make_unique<SetFORM>(dir_->path(), boxes_);
        form_->show();
        QCoreApplication::processEvents();
        return form_.get();
    }

    template <class T> T* child(const char* name)
    {
        T* w = form_->findChild<T*>(QString::fromLatin1(name));
        if (!w)
            qFatal("no control %s", name);
        return w;
    }
    QListWidget* list() { return child<QListWidget>("List1"); }
    QLineEdit* box(const char* name) { return child<QLineEdit>(name); }
    QPushButton* button(const char* name) { return child<QPushButton>(name); }

    QStringList listLines()
    {
        QStringList lines;
        for (int i = 0; i < list()->count(); ++i)
            lines << list()->item(i)->text();
        return lines;
    }

    void clickRow(int row)
    {
        QListWidget* l = list();
        const QRect rect = l->visualItemRect(l->item(row));
        QTest::mouseClick(l->viewport(), Qt::LeftButton, {}, rect.center());
    }

    void writeThreeEntries()
    {
        WriteBytes(telPath(),
            CrLfLines({ QStringLiteral("1 A 10.0.0.1 Ring.wav 1:00:00"),
                QStringLiteral("2 B 10.0.0.2 b.wav 2:00:00"),
                QStringLiteral("3 C 10.0.0.3 c.wav 3:00:00") }));
    }

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        boxes_.clear();
        WriteBytes(namePath(), "me,M,30,pw,hello\r\nserver.example\r\n");
    }
    void cleanup() { form_.reset(); }

    void openingLoadsBookAndMappedProfile()
    {
        WriteBytes(telPath(),
            CrLfLines({ QStringLiteral("7 Taro 192.168.0.12 Ring.wav 21:07:45"),
                QStringLiteral("8 花子 host.example hanako.wav 9:00:00 extra") }));
        WriteBytes(
            namePath(), files::EncodeCp932(QStringLiteral("表示,F,20,secret,一言です\r\n10.1.2.3\r\n")));
        SettingsWindow& w = open();
        QCOMPARE(w.lines(),
            (QStringList { QStringLiteral("1 Taro 192.168.0.12 Ring.wav 21:07:45"),
                QStringLiteral("2 花子 host.example hanako.wav 9:00:00") }));
        QCOMPARE(profile(), (QStringList { "表示", "F", "20", "一言です", "secret", "10.1.2.3" }));
        QVERIFY(boxes_.boxes.isEmpty());
        QVERIFY(w.text1().isEmpty());
        QVERIFY(w.label4().isEmpty());
    }

    void shortOrMissingProfile()
    {
        WriteBytes(telPath(), "");
        WriteBytes(namePath(), "Solo,M,30\r\n");
        SettingsWindow* w = &open();
        QCOMPARE(profile(), (QStringList { "Solo", "", "", "", "", "" }));
        QVERIFY(boxes_.boxes.isEmpty());

        // Without its server line (an editor dropped the empty last line) the
        // profile is whole: "保存" must not empty the four other fields.
        WriteBytes(namePath(), "Solo,M,30,pw,hi\r\n");
        w = &open();
        QCOMPARE(profile(), (QStringList { "Solo", "M", "30", "hi", "pw", "" }));
        w->Command6_Click();
        QCOMPARE(ReadBytes(namePath()), QByteArray("Solo,M,30,pw,hi\r\n\r\n"));
        QVERIFY(boxes_.boxes.isEmpty());

        QFile::remove(namePath());
        w = &open();
        QCOMPARE(boxes_.texts(), QStringList { QStringLiteral("53") });
        QCOMPARE(boxes_.boxes[0].title, QStringLiteral("Voxlet"));
        QVERIFY(w->text4(0).isEmpty());
    }

    // The boxes' limits are for typing: a longer profile written by other
    // means is shown whole and saved back unchanged.
    void longProfileFieldsAreNotCut()
    {
        WriteBytes(telPath(), "");
        const QByteArray written("NameOfTwelve,sex,1234,PasswordOfFourteen,"
                                 "a comment that is longer than thirty characters\r\nsrv\r\n");
        WriteBytes(namePath(), written);
        SettingsWindow& w = open();
        QCOMPARE(profile(),
            (QStringList { "NameOfTwelve", "sex", "1234", "a comment that is longer than thirty characters",
                "PasswordOfFourteen", "srv" }));
        QCOMPARE(w.text4MaxLength(4), 18);
        w.Command6_Click();
        QCOMPARE(ReadBytes(namePath()), written);

        // Typing stops at the limit again once the text is within it.
        w.Text4_Change(4, QStringLiteral("abcdefghij"));
        QCOMPARE(w.text4MaxLength(4), 10);
        w.Text4_Change(1, QStringLiteral("sex"));
        QCOMPARE(w.text4MaxLength(1), 3);
    }

    void openingWithoutPhoneBookThenFirstAdd()
    {
        SettingsWindow& w = open();
        QCOMPARE(boxes_.boxes.size(), 1);
        QVERIFY(!boxes_.boxes[0].text.isEmpty());
        QCOMPARE(boxes_.boxes[0].icon, MessageIcon::None);
        QCOMPARE(boxes_.boxes[0].title, QStringLiteral("Voxlet"));
        QVERIFY(w.lines().isEmpty());
        QVERIFY(!QFile::exists(telPath()));

        typeEntry(QStringLiteral("Taro"), QStringLiteral("10.0.0.5"));
        w.Command1_Click();
        QCOMPARE(boxes_.boxes.size(), 1);
        const QStringList lines = FileLines(telPath());
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines, w.lines());
        QVERIFY(lines[0].startsWith(QStringLiteral("1 Taro 10.0.0.5 Ring.wav ")));
        QCOMPARE(lines[0].split(u' ').size(), 5);
        QVERIFY(QRegularExpression(QStringLiteral("^\\S+$")).match(lines[0].section(u' ', 4)).hasMatch());
        QVERIFY(ReadBytes(telPath()).endsWith("\r\n"));
        QCOMPARE(w.text3(), QStringLiteral("Ring.wav"));
    }

    void insertBeforeSelectionOrAppend()
    {
        writeThreeEntries();
        SettingsWindow* w = &open();
        w->List1_Click(2);
        typeEntry(QStringLiteral("D"), QStringLiteral("10.0.0.4"));
        w->Command1_Click();
        QStringList lines = FileLines(telPath());
        QCOMPARE(NumbersOf(lines), (QStringList { "1", "2", "3", "4" }));
        QVERIFY(lines[3].startsWith(QStringLiteral("4 D 10.0.0.4 Ring.wav ")));
        w->Command5_Click();
        QCOMPARE(w->selectedRow(), -1);
        typeEntry(QStringLiteral("E"), QStringLiteral("10.0.0.5"));
        w->Command1_Click();
        lines = FileLines(telPath());
        QCOMPARE(lines.size(), 5);
        QVERIFY(lines[4].startsWith(QStringLiteral("5 E 10.0.0.5 ")));

        // Inserted before any other selected line, numbered as it.
        writeThreeEntries();
        w = &open();
        w->List1_Click(1);
        typeEntry(QStringLiteral("New"), QStringLiteral("10.0.0.9"), QStringLiteral("n.wav"));
        w->Command1_Click();
        QVERIFY(boxes_.boxes.isEmpty());
        QCOMPARE(w->selectedRow(), 2); // the selection stays on its line
        lines = FileLines(telPath());
        QCOMPARE(NumbersOf(lines), (QStringList { "1", "1", "2", "3" }));
        QVERIFY(lines[1].startsWith(QStringLiteral("1 New 10.0.0.9 n.wav ")));
        QCOMPARE(lines, w->lines());

        SettingsWindow& again = open();
        QCOMPARE(NumbersOf(again.lines()), (QStringList { "1", "2", "3", "4" }));
        QVERIFY(again.lines()[1].startsWith(QStringLiteral("2 New ")));
    }

    void fiftyEntriesRefuseAddButReplaceAndDeleteWork()
    {
        QStringList fifty;
        for (int i = 1; i <= 50; ++i)
            fifty << QStringLiteral("%1 N%1 10.0.0.%1 Ring.wav 1:00:00").arg(i);
        WriteBytes(telPath(), CrLfLines(fifty));
        const QByteArray before = ReadBytes(telPath());
        SettingsWindow& w = open();
        QCOMPARE(w.lines().size(), 50);

        typeEntry(QStringLiteral("More"), QStringLiteral("10.9.9.9"));
        w.Command1_Click();
        QCOMPARE(boxes_.texts(), QStringList { QStringLiteral("これ以上追加できません.") });
        QCOMPARE(boxes_.boxes[0].icon, MessageIcon::None);
        QCOMPARE(ReadBytes(telPath()), before);
        QCOMPARE(w.lines().size(), 50);
        QVERIFY(w.text3().isEmpty());

        w.List1_Click(49);
        typeEntry(QStringLiteral("Last"), QStringLiteral("10.8.8.8"));
        w.Command2_Click();
        QVERIFY(FileLines(telPath())[49].startsWith(QStringLiteral("50 Last 10.8.8.8 Ring.wav ")));

        w.List1_Click(0);
        w.Command3_Click();
        QCOMPARE(FileLines(telPath()).size(), 49);
        QCOMPARE(boxes_.boxes.size(), 1);
    }

    void replaceSelectedOrRefuse()
    {
        writeThreeEntries();
        const QByteArray before = ReadBytes(telPath());
        SettingsWindow& w = open();
        // Adding and replacing need a name and an address.
        for (auto command : { &SettingsWindow::Command1_Click, &SettingsWindow::Command2_Click }) {
            for (const auto& [name, address] : { std::pair { "", "10.0.0.1" }, std::pair { "X", "" } }) {
                boxes_.clear();
                typeEntry(QString::fromLatin1(name), QString::fromLatin1(address));
                (w.*command)();
                QCOMPARE(
                    boxes_.texts(), QStringList { QStringLiteral("名前とIPは、必ず入力してください。") });
            }
        }
        QCOMPARE(ReadBytes(telPath()), before);

        boxes_.clear();
        typeEntry(QStringLiteral("Z"), QStringLiteral("10.0.0.26"));
        w.Command2_Click();
        QCOMPARE(boxes_.texts(), QStringList { QStringLiteral("置換先を選んでください。") });
        // The default is filled in even though nothing was replaced.
        QCOMPARE(w.text3(), QStringLiteral("Ring.wav"));
        QCOMPARE(ReadBytes(telPath()), before);

        boxes_.clear();
        w.List1_Click(1);
        typeEntry(QStringLiteral("Z"), QStringLiteral("10.0.0.26"), QStringLiteral("z.wav"));
        w.Command2_Click();
        QVERIFY(boxes_.boxes.isEmpty());
        const QStringList lines = FileLines(telPath());
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[0], QStringLiteral("1 A 10.0.0.1 Ring.wav 1:00:00"));
        QVERIFY(lines[1].startsWith(QStringLiteral("2 Z 10.0.0.26 z.wav ")));
        QCOMPARE(lines[2], QStringLiteral("3 C 10.0.0.3 c.wav 3:00:00"));
        QCOMPARE(lines, w.lines());
    }

    void deleteSavesThenReloads()
    {
        writeThreeEntries();
        SettingsWindow& w = open();
        w.Command3_Click();
        QCOMPARE(boxes_.texts(), QStringList { QStringLiteral("削除するリストを選択してください。") });
        QCOMPARE(FileLines(telPath()).size(), 3);

        boxes_.clear();
        w.List1_Click(1);
        w.Command3_Click();
        QVERIFY(boxes_.boxes.isEmpty());
        QCOMPARE(NumbersOf(FileLines(telPath())), (QStringList { "1", "3" }));
        QCOMPARE(w.lines(),
            (QStringList { QStringLiteral("1 A 10.0.0.1 Ring.wav 1:00:00"),
                QStringLiteral("2 C 10.0.0.3 c.wav 3:00:00") }));
        // The boxes still show the deleted entry.
        QCOMPARE(entry(), (QStringList { "B", "10.0.0.2", "b.wav", "No=2" }));
        QCOMPARE(w.selectedRow(), -1);
    }

    void selectingFillsTheBoxes()
    {
        WriteBytes(telPath(),
            CrLfLines({ QStringLiteral("1 A 10.0.0.1 Ring.wav 1:00:00"),
                QStringLiteral("2 B 10.0.0.2 b.wav 2:00:00"), QStringLiteral("3 C 10.0.0.3 c.wav 3:00:00"),
                QStringLiteral("4 Taro 10.0.0.5 Bell.wav 9:15:00") }));
        SettingsWindow& w = open();
        w.List1_Click(3);
        QCOMPARE(entry(), (QStringList { "Taro", "10.0.0.5", "Bell.wav", "No=4" }));

        // A second click on the same line undoes edits in the boxes.
        w.Text1_Change(QStringLiteral("edited"));
        w.List1_Click(3);
        QCOMPARE(w.text1(), QStringLiteral("Taro"));

        w.Command5_Click();
        QCOMPARE(entry(), (QStringList { "", "", "", "No=4" }));
        QCOMPARE(w.selectedRow(), -1);

        // A double click empties one of the three entry boxes.
        w.List1_Click(0);
        w.Text2_DblClick();
        QCOMPARE(entry(), (QStringList { "A", "", "Ring.wav", "No=1" }));
        w.Text1_DblClick();
        w.Text3_DblClick();
        QCOMPARE(entry(), (QStringList { "", "", "", "No=1" }));

        // The name box keeps the last ten characters, typed or pasted.
        w.Text1_Change(QStringLiteral("abcdefghijk"));
        QCOMPARE(w.text1(), QStringLiteral("bcdefghijk"));
        w.Text1_Change(QStringLiteral("0123456789あい"));
        QCOMPARE(w.text1(), QStringLiteral("23456789あい"));
        w.Text1_Change(QStringLiteral("123456789XYZ"));
        QCOMPARE(w.text1(), QStringLiteral("3456789XYZ"));
    }

    void saveWritesProfileInFileOrder()
    {
        WriteBytes(telPath(), "");
        SettingsWindow& w = open();
        w.Text4_Change(0, QStringLiteral("表示"));
        w.Text4_Change(1, QStringLiteral("M"));
        w.Text4_Change(2, QStringLiteral("20"));
        w.Text4_Change(3, QStringLiteral("表　示"));
        w.Text4_Change(4, QStringLiteral("pw1"));
        w.Text5_Change(QStringLiteral("srv.example"));
        w.Command6_Click();
        QVERIFY(boxes_.boxes.isEmpty());
        QCOMPARE(ReadBytes(namePath()),
            QByteArray("\x95\x5C\x8E\xA6,M,20,pw1,\x95\x5C\x81\x40\x8E\xA6\r\n"
                       "srv.example\r\n"));

        w.Text5_Change({});
        w.Command6_Click();
        QCOMPARE(
            ReadBytes(namePath()), QByteArray("\x95\x5C\x8E\xA6,M,20,pw1,\x95\x5C\x81\x40\x8E\xA6\r\n\r\n"));
    }

    // A separator inside a field would shift or cut the fields on the next
    // read; "¥" would be written as 0x5C and read back as a backslash.
    void separatorsInFieldsAreRefused()
    {
        writeThreeEntries();
        const QByteArray book = ReadBytes(telPath());
        const QByteArray profile = ReadBytes(namePath());
        SettingsWindow& w = open();
        for (const QString& name : { QStringLiteral("Taro Y"), QStringLiteral("Ta,ro"),
                 QStringLiteral("Ta|ro"), QStringLiteral("😀"), QStringLiteral("Ta¥ro") }) {
            boxes_.clear();
            typeEntry(name, QStringLiteral("10.0.0.7"));
            w.Command1_Click();
            QCOMPARE(boxes_.boxes.size(), 1);
            QCOMPARE(ReadBytes(telPath()), book);
            QCOMPARE(w.lines().size(), 3);
        }
        boxes_.clear();
        w.List1_Click(0);
        typeEntry(QStringLiteral("A"), QStringLiteral("10.0.0.1"), QStringLiteral("my ring.wav"));
        w.Command2_Click();
        QCOMPARE(boxes_.boxes.size(), 1);
        QCOMPARE(ReadBytes(telPath()), book);

        boxes_.clear();
        w.Text4_Change(3, QStringLiteral("a,b"));
        w.Command6_Click();
        QCOMPARE(boxes_.boxes.size(), 1);
        QCOMPARE(ReadBytes(namePath()), profile);
        // "|" would shift the fields of the log-on message.
        for (int index : { 0, 3, 4 }) {
            boxes_.clear();
            const QString before = w.text4(index);
            w.Text4_Change(index, QStringLiteral("a|b"));
            w.Command6_Click();
            QCOMPARE(boxes_.boxes.size(), 1);
            QVERIFY(boxes_.boxes[0].text.contains(u'|'));
            QCOMPARE(ReadBytes(namePath()), profile);
            w.Text4_Change(index, before);
        }
        w.Text4_Change(3, QStringLiteral("a b"));
        w.Command6_Click();
        QCOMPARE(boxes_.boxes.size(), 1);
        QVERIFY(ReadBytes(namePath()).startsWith("me,M,30,pw,a b\r\n"));
    }

    void failedSaveIsReportedAndListMatchesFile()
    {
        const QString missing = dir_->filePath(QStringLiteral("no/such/folder"));
        SettingsWindow* w = &open(missing);
        boxes_.clear();
        typeEntry(QStringLiteral("Taro"), QStringLiteral("10.0.0.5"));
        w->Command1_Click();
        QCOMPARE(boxes_.boxes.size(), 1);
        QVERIFY(!boxes_.boxes[0].text.isEmpty());
        QCOMPARE(boxes_.boxes[0].title, QStringLiteral("Voxlet"));
        QVERIFY(w->lines().isEmpty());

        boxes_.clear();
        w->Text4_Change(0, QStringLiteral("me"));
        w->Command6_Click();
        QCOMPARE(boxes_.boxes.size(), 1);
        QVERIFY(!QFile::exists(missing));

        // A phone book too large to read is not replaced by the empty list.
        const QByteArray huge(files::kMaxDataFileBytes + 1, 'x');
        WriteBytes(telPath(), huge);
        w = &open();
        boxes_.clear();
        typeEntry(QStringLiteral("Taro"), QStringLiteral("10.0.0.5"));
        w->Command1_Click();
        QCOMPARE(boxes_.texts(),
            QStringList {
                QStringLiteral("Tel.txt を読み込めませんでした。電話帳の内容が失われないよう、Tel.txt "
                               "は変更していません。") });
        QCOMPARE(ReadBytes(telPath()), huge);
    }

    void stampIsOneTokenInTheLocaleFormat()
    {
        // "9:07:45 PM" would add a token; Arabic digits the file cannot hold.
        for (QLocale::Language language :
            { QLocale::Japanese, QLocale::German, QLocale::English, QLocale::Arabic })
            QCOMPARE(SettingsWindow::TimeOfDayText(QLocale(language), QTime(21, 7, 45)),
                QStringLiteral("21:07:45"));
        QCOMPARE(SettingsWindow::TimeOfDayText(QLocale(QLocale::German), QTime(9, 5, 0)),
            QStringLiteral("09:05:00"));
    }

    // The dialog.
    void formShowsItsControls()
    {
        SetFORM* f = openForm();
        QCOMPARE(f->windowTitle(), QStringLiteral("設定"));
        QCOMPARE(button("Command4")->text(), QStringLiteral("終　了"));
        QCOMPARE(button("Command4")->accessibleName(), QStringLiteral("終　了"));
        // Screen readers hear the label beside a box, and what Label4 shows.
        QCOMPARE(box("Text2")->accessibleName(), QStringLiteral("IP"));
        QCOMPARE(box("Text4_4")->accessibleName(), QStringLiteral("PASS"));
        QCOMPARE(child<QLabel>("Label4")->accessibleName(), QStringLiteral("No="));
        writeThreeEntries();
        f = openForm();
        clickRow(1);
        QCOMPARE(child<QLabel>("Label4")->accessibleName(), QStringLiteral("No=2"));
        QCOMPARE(box("Text4_0")->parentWidget()->objectName(), QStringLiteral("Frame1"));
        QCOMPARE(box("Text5")->parentWidget()->objectName(), QStringLiteral("Frame2"));
        QCOMPARE(child<QGroupBox>("Frame2")->title(), QStringLiteral("コネクションサ－バ－アドレス"));
        QCOMPARE(box("Text1")->font().family(), QStringLiteral("ＭＳ 明朝"));

        const QList<int> limits { 10, 2, 2, 30, 10 };
        for (int i = 0; i < 5; ++i)
            QCOMPARE(box(QStringLiteral("Text4_%1").arg(i).toLatin1().constData())->maxLength(), limits[i]);
        for (const char* name : { "Text2", "Text4_4", "Text5" })
            QVERIFY(!box(name)->testAttribute(Qt::WA_InputMethodEnabled));
        QVERIFY(box("Text1")->testAttribute(Qt::WA_InputMethodEnabled));
    }

    // The dialog shows what the logic holds and hands every click and edit on.
    void showsTheLogicAndForwards()
    {
        writeThreeEntries();
        WriteBytes(namePath(), "me,M,30,PasswordOfFourteen,hello\r\nsrv\r\n");
        openForm();
        QCOMPARE(listLines(), form_->logic().lines());
        QCOMPARE(box("Text4_4")->text(), QStringLiteral("PasswordOfFourteen"));
        clickRow(1);
        QCOMPARE(box("Text1")->text(), QStringLiteral("B"));

        // A typed name is cut by the logic and shown cut; typing stops at the
        // limit once the loaded text is within it.
        QTest::keyClicks(box("Text1"), QStringLiteral("abcdefghijk"));
        QCOMPARE(box("Text1")->text(), QStringLiteral("bcdefghijk"));
        box("Text4_4")->selectAll();
        QTest::keyClicks(box("Text4_4"), QStringLiteral("abcdefghijkl"));
        QCOMPARE(box("Text4_4")->text(), QStringLiteral("abcdefghij"));
        // Typing elsewhere than at the end stays where the cursor is.
        box("Text4_3")->setCursorPosition(0);
        QTest::keyClicks(box("Text4_3"), QStringLiteral("XY"));

        QTest::mouseDClick(box("Text2"), Qt::LeftButton);
        QVERIFY(box("Text2")->text().isEmpty());
        QTest::mouseDClick(box("Text4_0"), Qt::LeftButton);
        QCOMPARE(box("Text4_0")->text(), QStringLiteral("me"));

        QTest::keyClicks(box("Text2"), QStringLiteral("10.0.0.9"));
        button("Command1")->click();
        QCOMPARE(NumbersOf(listLines()), (QStringList { "1", "1", "2", "3" }));
        QCOMPARE(list()->selectedItems(), QList { list()->item(2) });
        button("Command5")->click();
        QVERIFY(list()->selectedItems().isEmpty());
        QVERIFY(box("Text1")->text().isEmpty());
        button("Command6")->click();
        QVERIFY(ReadBytes(namePath()).startsWith("me,M,30,abcdefghij,XYhello\r\n"));
    }

    void onlyTheCloseButtonCloses()
    {
        writeThreeEntries();
        SetFORM* f = openForm();
        QVERIFY(!f->close());
        QVERIFY(f->isVisible());
        QCOMPARE(boxes_.texts(), QStringList { QStringLiteral("終了ボタンから終了してください。") });
        QCOMPARE(boxes_.boxes[0].icon, MessageIcon::Exclamation);
        QCOMPARE(boxes_.boxes[0].title, QStringLiteral("Voxlet"));

        QTest::keyClick(f, Qt::Key_Escape);
        QVERIFY(f->isVisible());

        QCloseEvent byWindowSystem;
        QApplication::sendEvent(f, &byWindowSystem);
        QVERIFY(!byWindowSystem.isAccepted());
        QVERIFY(f->isVisible());

        boxes_.clear();
        button("Command4")->click();
        QVERIFY(!f->isVisible());
        QVERIFY(boxes_.boxes.isEmpty());

        // Shown again, it loads afresh rather than adding to the old list.
        f->show();
        QCoreApplication::processEvents();
        QCOMPARE(list()->count(), 3);
    }
};

QTEST_MAIN(SetFormTest)
#include "set_form_test.moc"
