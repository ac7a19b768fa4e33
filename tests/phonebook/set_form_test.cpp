// The settings window driven through its real widgets, offscreen, against a
// temporary data folder.

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
    QString text = files::DecodeCp932(ReadBytes(path));
    QStringList lines = text.split(QStringLiteral("\r\n"));
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
    std::unique_ptr<SetFORM> form_;

    QString telPath() const { return dir_->filePath(QStringLiteral("Tel.txt")); }
    QString namePath() const { return dir_->filePath(QStringLiteral("name.txt")); }

    // Shows a fresh window on the folder and lets its first activation run.
    SetFORM* open(const QString& dataDir = {})
    {
        form_ = std::make_unique<SetFORM>(dataDir.isEmpty() ? dir_->path() : dataDir, boxes_);
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

    void typeEntry(const QString& name, const QString& address, const QString& wav = {})
    {
        box("Text1")->setText(name);
        box("Text2")->clear();
        QTest::keyClicks(box("Text2"), address);
        box("Text3")->setText(wav);
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

    void layoutFollowsTheForm()
    {
        SetFORM* f = open();
        QCOMPARE(f->windowTitle(), QStringLiteral("設定"));
        QCOMPARE(f->size(), QSize(344, 470));
        QCOMPARE(f->palette().color(QPalette::Window), QColor(0x80, 0x80, 0xFF));
        QCOMPARE(list()->geometry(), QRect(0, 0, 345, 148));
        QCOMPARE(button("Command3")->geometry(), QRect(160, 160, 73, 25));
        QCOMPARE(button("Command4")->text(), QStringLiteral("終　了"));
        QCOMPARE(button("Command4")->accessibleName(), QStringLiteral("終　了"));
        QCOMPARE(box("Text2")->geometry(), QRect(48, 224, 137, 25));
        // Screen readers hear the label beside a box, and what Label4 shows.
        QCOMPARE(box("Text2")->accessibleName(), QStringLiteral("IP"));
        QCOMPARE(box("Text4_4")->accessibleName(), QStringLiteral("PASS"));
        QCOMPARE(child<QLabel>("Label4")->accessibleName(), QStringLiteral("No="));
        writeThreeEntries();
        f = open();
        clickRow(1);
        QCOMPARE(child<QLabel>("Label4")->accessibleName(), QStringLiteral("No=2"));
        // Inside a frame, positions are the frame's own.
        QCOMPARE(box("Text4_0")->parentWidget()->objectName(), QStringLiteral("Frame1"));
        QCOMPARE(box("Text4_0")->geometry(), QRect(40, 24, 161, 26));
        QCOMPARE(box("Text4_3")->geometry(), QRect(40, 88, 281, 25));
        QCOMPARE(box("Text4_4")->geometry(), QRect(120, 56, 201, 25));
        QCOMPARE(box("Text5")->parentWidget()->objectName(), QStringLiteral("Frame2"));
        QCOMPARE(child<QGroupBox>("Frame2")->title(), QStringLiteral("コネクションサ－バ－アドレス"));
        QCOMPARE(child<QGroupBox>("Frame1")->font().pointSizeF(), 14.25);
        QVERIFY(child<QGroupBox>("Frame1")->font().bold());
        QCOMPARE(child<QLabel>("Label7")->palette().color(QPalette::Window), QColor(0xFF, 0xFF, 0x80));
        QCOMPARE(box("Text1")->font().family(), QStringLiteral("ＭＳ 明朝"));
        QCOMPARE(box("Text1")->font().pointSizeF(), 9.0);
        QCOMPARE(button("Command6")->font().bold(), false);

        const QList<int> limits { 10, 2, 2, 30, 10 };
        for (int i = 0; i < 5; ++i)
            QCOMPARE(box(QStringLiteral("Text4_%1").arg(i).toLatin1().constData())->maxLength(), limits[i]);
        for (const char* name : { "Text2", "Text4_4", "Text5" })
            QVERIFY(!box(name)->testAttribute(Qt::WA_InputMethodEnabled));
        QVERIFY(box("Text1")->testAttribute(Qt::WA_InputMethodEnabled));
    }

    void openingLoadsBookAndMappedProfile()
    {
        WriteBytes(telPath(),
            CrLfLines({ QStringLiteral("7 Taro 192.168.0.12 Ring.wav 21:07:45"),
                QStringLiteral("8 花子 host.example hanako.wav 9:00:00 extra") }));
        WriteBytes(
            namePath(), files::EncodeCp932(QStringLiteral("表示,F,20,secret,一言です\r\n10.1.2.3\r\n")));
        open();
        QCOMPARE(listLines(),
            (QStringList { QStringLiteral("1 Taro 192.168.0.12 Ring.wav 21:07:45"),
                QStringLiteral("2 花子 host.example hanako.wav 9:00:00") }));
        QCOMPARE(box("Text4_0")->text(), QStringLiteral("表示"));
        QCOMPARE(box("Text4_1")->text(), QStringLiteral("F"));
        QCOMPARE(box("Text4_2")->text(), QStringLiteral("20"));
        QCOMPARE(box("Text4_3")->text(), QStringLiteral("一言です"));
        QCOMPARE(box("Text4_4")->text(), QStringLiteral("secret"));
        QCOMPARE(box("Text5")->text(), QStringLiteral("10.1.2.3"));
        QVERIFY(boxes_.boxes.isEmpty());
        QVERIFY(box("Text1")->text().isEmpty());
        QVERIFY(child<QLabel>("Label4")->text().isEmpty());
    }

    void shortOrMissingProfile()
    {
        WriteBytes(telPath(), "");
        WriteBytes(namePath(), "Solo,M,30\r\n");
        open();
        QCOMPARE(box("Text4_0")->text(), QStringLiteral("Solo"));
        QVERIFY(box("Text4_1")->text().isEmpty());
        QVERIFY(box("Text4_2")->text().isEmpty());
        QVERIFY(box("Text5")->text().isEmpty());
        QVERIFY(boxes_.boxes.isEmpty());

        // Without its server line (an editor dropped the empty last line) the
        // profile is whole: "保存" must not empty the four other fields.
        WriteBytes(namePath(), "Solo,M,30,pw,hi\r\n");
        open();
        QCOMPARE(box("Text4_0")->text(), QStringLiteral("Solo"));
        QCOMPARE(box("Text4_1")->text(), QStringLiteral("M"));
        QCOMPARE(box("Text4_2")->text(), QStringLiteral("30"));
        QCOMPARE(box("Text4_3")->text(), QStringLiteral("hi"));
        QCOMPARE(box("Text4_4")->text(), QStringLiteral("pw"));
        QVERIFY(box("Text5")->text().isEmpty());
        button("Command6")->click();
        QCOMPARE(ReadBytes(namePath()), QByteArray("Solo,M,30,pw,hi\r\n\r\n"));
        QVERIFY(boxes_.boxes.isEmpty());

        QFile::remove(namePath());
        open();
        QCOMPARE(boxes_.texts(), QStringList { QStringLiteral("53") });
        QCOMPARE(boxes_.boxes[0].title, QStringLiteral("Voxlet"));
        QVERIFY(box("Text4_0")->text().isEmpty());
    }

    // The boxes' limits are for typing: a longer profile written by other
    // means is shown whole and saved back unchanged.
    void longProfileFieldsAreNotCut()
    {
        WriteBytes(telPath(), "");
        const QByteArray profile("NameOfTwelve,sex,1234,PasswordOfFourteen,"
                                 "a comment that is longer than thirty characters\r\nsrv\r\n");
        WriteBytes(namePath(), profile);
        open();
        QCOMPARE(box("Text4_0")->text(), QStringLiteral("NameOfTwelve"));
        QCOMPARE(box("Text4_4")->text(), QStringLiteral("PasswordOfFourteen"));
        QCOMPARE(box("Text4_3")->text(), QStringLiteral("a comment that is longer than thirty characters"));
        button("Command6")->click();
        QCOMPARE(ReadBytes(namePath()), profile);

        // Typing still stops at the limit once the text is within it.
        QLineEdit* pass = box("Text4_4");
        pass->setFocus();
        pass->selectAll();
        QTest::keyClicks(pass, QStringLiteral("abcdefghijkl"));
        QCOMPARE(pass->text(), QStringLiteral("abcdefghij"));
        QTest::keyClicks(box("Text4_1"), QStringLiteral("x"));
        QCOMPARE(box("Text4_1")->text(), QStringLiteral("sex"));
    }

    void openingWithoutPhoneBookThenFirstAdd()
    {
        open();
        QCOMPARE(boxes_.boxes.size(), 1);
        QVERIFY(!boxes_.boxes[0].text.isEmpty());
        QCOMPARE(boxes_.boxes[0].icon, MessageIcon::None);
        QCOMPARE(boxes_.boxes[0].title, QStringLiteral("Voxlet"));
        QCOMPARE(list()->count(), 0);
        QVERIFY(!QFile::exists(telPath()));

        typeEntry(QStringLiteral("Taro"), QStringLiteral("10.0.0.5"));
        button("Command1")->click();
        QCOMPARE(boxes_.boxes.size(), 1);
        const QStringList lines = FileLines(telPath());
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines, listLines());
        QVERIFY(lines[0].startsWith(QStringLiteral("1 Taro 10.0.0.5 Ring.wav ")));
        QCOMPARE(lines[0].split(u' ').size(), 5);
        QVERIFY(QRegularExpression(QStringLiteral("^\\S+$")).match(lines[0].section(u' ', 4)).hasMatch());
        QVERIFY(ReadBytes(telPath()).endsWith("\r\n"));
        QCOMPARE(box("Text3")->text(), QStringLiteral("Ring.wav"));
    }

    void insertBeforeSelectionAndRenumberOnNextOpening()
    {
        writeThreeEntries();
        open();
        clickRow(1);
        typeEntry(QStringLiteral("New"), QStringLiteral("10.0.0.9"), QStringLiteral("n.wav"));
        button("Command1")->click();
        QVERIFY(boxes_.boxes.isEmpty());

        const QStringList lines = FileLines(telPath());
        QCOMPARE(NumbersOf(lines), (QStringList { "1", "1", "2", "3" }));
        QVERIFY(lines[1].startsWith(QStringLiteral("1 New 10.0.0.9 n.wav ")));
        QCOMPARE(lines, listLines());

        open();
        QCOMPARE(NumbersOf(listLines()), (QStringList { "1", "2", "3", "4" }));
        QVERIFY(listLines()[1].startsWith(QStringLiteral("2 New ")));
    }

    void appendWhenLastOrNothingSelected()
    {
        writeThreeEntries();
        open();
        clickRow(2);
        typeEntry(QStringLiteral("D"), QStringLiteral("10.0.0.4"));
        button("Command1")->click();
        QStringList lines = FileLines(telPath());
        QCOMPARE(NumbersOf(lines), (QStringList { "1", "2", "3", "4" }));
        QVERIFY(lines[3].startsWith(QStringLiteral("4 D 10.0.0.4 Ring.wav ")));

        button("Command5")->click();
        QVERIFY(list()->selectedItems().isEmpty());
        typeEntry(QStringLiteral("E"), QStringLiteral("10.0.0.5"));
        button("Command1")->click();
        lines = FileLines(telPath());
        QCOMPARE(lines.size(), 5);
        QVERIFY(lines[4].startsWith(QStringLiteral("5 E 10.0.0.5 ")));
    }

    void fiftyEntriesRefuseAddButReplaceAndDeleteWork()
    {
        QStringList fifty;
        for (int i = 1; i <= 50; ++i)
            fifty << QStringLiteral("%1 N%1 10.0.0.%1 Ring.wav 1:00:00").arg(i);
        WriteBytes(telPath(), CrLfLines(fifty));
        const QByteArray before = ReadBytes(telPath());
        open();
        QCOMPARE(list()->count(), 50);

        typeEntry(QStringLiteral("More"), QStringLiteral("10.9.9.9"));
        button("Command1")->click();
        QCOMPARE(boxes_.texts(), QStringList { QStringLiteral("これ以上追加できません.") });
        QCOMPARE(boxes_.boxes[0].icon, MessageIcon::None);
        QCOMPARE(ReadBytes(telPath()), before);
        QCOMPARE(list()->count(), 50);
        QVERIFY(box("Text3")->text().isEmpty());

        clickRow(49);
        typeEntry(QStringLiteral("Last"), QStringLiteral("10.8.8.8"));
        button("Command2")->click();
        QVERIFY(FileLines(telPath())[49].startsWith(QStringLiteral("50 Last 10.8.8.8 Ring.wav ")));

        clickRow(0);
        button("Command3")->click();
        QCOMPARE(FileLines(telPath()).size(), 49);
        QCOMPARE(boxes_.boxes.size(), 1);
    }

    void addAndReplaceNeedNameAndAddress()
    {
        writeThreeEntries();
        const QByteArray before = ReadBytes(telPath());
        open();
        for (const char* command : { "Command1", "Command2" }) {
            for (const auto& [name, address] : { std::pair { "", "10.0.0.1" }, std::pair { "X", "" } }) {
                boxes_.clear();
                typeEntry(QString::fromLatin1(name), QString::fromLatin1(address));
                button(command)->click();
                QCOMPARE(
                    boxes_.texts(), QStringList { QStringLiteral("名前とIPは、必ず入力してください。") });
            }
        }
        QCOMPARE(ReadBytes(telPath()), before);
    }

    void replaceSelectedOrRefuse()
    {
        writeThreeEntries();
        const QByteArray before = ReadBytes(telPath());
        open();
        typeEntry(QStringLiteral("Z"), QStringLiteral("10.0.0.26"));
        button("Command2")->click();
        QCOMPARE(boxes_.texts(), QStringList { QStringLiteral("置換先を選んでください。") });
        // The default is filled in even though nothing was replaced.
        QCOMPARE(box("Text3")->text(), QStringLiteral("Ring.wav"));
        QCOMPARE(ReadBytes(telPath()), before);

        boxes_.clear();
        clickRow(1);
        typeEntry(QStringLiteral("Z"), QStringLiteral("10.0.0.26"), QStringLiteral("z.wav"));
        button("Command2")->click();
        QVERIFY(boxes_.boxes.isEmpty());
        const QStringList lines = FileLines(telPath());
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[0], QStringLiteral("1 A 10.0.0.1 Ring.wav 1:00:00"));
        QVERIFY(lines[1].startsWith(QStringLiteral("2 Z 10.0.0.26 z.wav ")));
        QCOMPARE(lines[2], QStringLiteral("3 C 10.0.0.3 c.wav 3:00:00"));
        QCOMPARE(lines, listLines());
    }

    void deleteSavesThenReloads()
    {
        writeThreeEntries();
        open();
        button("Command3")->click();
        QCOMPARE(boxes_.texts(), QStringList { QStringLiteral("削除するリストを選択してください。") });
        QCOMPARE(FileLines(telPath()).size(), 3);

        boxes_.clear();
        clickRow(1);
        button("Command3")->click();
        QVERIFY(boxes_.boxes.isEmpty());
        QCOMPARE(NumbersOf(FileLines(telPath())), (QStringList { "1", "3" }));
        QCOMPARE(listLines(),
            (QStringList { QStringLiteral("1 A 10.0.0.1 Ring.wav 1:00:00"),
                QStringLiteral("2 C 10.0.0.3 c.wav 3:00:00") }));
        // The boxes still show the deleted entry.
        QCOMPARE(box("Text1")->text(), QStringLiteral("B"));
        QCOMPARE(child<QLabel>("Label4")->text(), QStringLiteral("No=2"));
    }

    void selectingFillsTheBoxes()
    {
        WriteBytes(telPath(),
            CrLfLines({ QStringLiteral("1 A 10.0.0.1 Ring.wav 1:00:00"),
                QStringLiteral("2 B 10.0.0.2 b.wav 2:00:00"), QStringLiteral("3 C 10.0.0.3 c.wav 3:00:00"),
                QStringLiteral("4 Taro 10.0.0.5 Bell.wav 9:15:00") }));
        open();
        clickRow(3);
        QCOMPARE(box("Text1")->text(), QStringLiteral("Taro"));
        QCOMPARE(box("Text2")->text(), QStringLiteral("10.0.0.5"));
        QCOMPARE(box("Text3")->text(), QStringLiteral("Bell.wav"));
        QCOMPARE(child<QLabel>("Label4")->text(), QStringLiteral("No=4"));

        // A second click on the same line undoes edits in the boxes.
        box("Text1")->setText(QStringLiteral("edited"));
        clickRow(3);
        QCOMPARE(box("Text1")->text(), QStringLiteral("Taro"));

        button("Command5")->click();
        QVERIFY(box("Text1")->text().isEmpty());
        QVERIFY(box("Text2")->text().isEmpty());
        QVERIFY(box("Text3")->text().isEmpty());
        QVERIFY(list()->selectedItems().isEmpty());
        QCOMPARE(child<QLabel>("Label4")->text(), QStringLiteral("No=4"));
    }

    void nameBoxKeepsTheLastTenCharacters()
    {
        open();
        QLineEdit* name = box("Text1");
        QTest::keyClicks(name, QStringLiteral("abcdefghijk"));
        QCOMPARE(name->text(), QStringLiteral("bcdefghijk"));
        name->setText(QStringLiteral("0123456789あい"));
        QCOMPARE(name->text(), QStringLiteral("23456789あい"));
        name->clear();
        name->insert(QStringLiteral("123456789"));
        name->insert(QStringLiteral("XYZ")); // what a paste does
        QCOMPARE(name->text(), QStringLiteral("3456789XYZ"));
    }

    void doubleClickEmptiesEntryBoxes()
    {
        writeThreeEntries();
        open();
        clickRow(0);
        for (const char* name : { "Text1", "Text2", "Text3" }) {
            QVERIFY(!box(name)->text().isEmpty());
            QTest::mouseDClick(box(name), Qt::LeftButton);
            QVERIFY2(box(name)->text().isEmpty(), name);
        }
        box("Text4_0")->setText(QStringLiteral("keep"));
        QTest::mouseDClick(box("Text4_0"), Qt::LeftButton);
        QCOMPARE(box("Text4_0")->text(), QStringLiteral("keep"));
    }

    void saveWritesProfileInFileOrder()
    {
        WriteBytes(telPath(), "");
        open();
        box("Text4_0")->setText(QStringLiteral("表示"));
        box("Text4_1")->setText(QStringLiteral("M"));
        box("Text4_2")->setText(QStringLiteral("20"));
        box("Text4_3")->setText(QStringLiteral("表　示"));
        box("Text4_4")->setText(QStringLiteral("pw1"));
        box("Text5")->setText(QStringLiteral("srv.example"));
        button("Command6")->click();
        QVERIFY(boxes_.boxes.isEmpty());
        QCOMPARE(ReadBytes(namePath()),
            QByteArray("\x95\x5C\x8E\xA6,M,20,pw1,\x95\x5C\x81\x40\x8E\xA6\r\n"
                       "srv.example\r\n"));

        box("Text5")->clear();
        button("Command6")->click();
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
        open();
        for (const QString& name : { QStringLiteral("Taro Y"), QStringLiteral("Ta,ro"),
                 QStringLiteral("Ta|ro"), QStringLiteral("😀"), QStringLiteral("Ta¥ro") }) {
            boxes_.clear();
            typeEntry(name, QStringLiteral("10.0.0.7"));
            button("Command1")->click();
            QCOMPARE(boxes_.boxes.size(), 1);
            QCOMPARE(ReadBytes(telPath()), book);
            QCOMPARE(list()->count(), 3);
        }
        boxes_.clear();
        clickRow(0);
        typeEntry(QStringLiteral("A"), QStringLiteral("10.0.0.1"), QStringLiteral("my ring.wav"));
        button("Command2")->click();
        QCOMPARE(boxes_.boxes.size(), 1);
        QCOMPARE(ReadBytes(telPath()), book);

        boxes_.clear();
        box("Text4_3")->setText(QStringLiteral("a,b"));
        button("Command6")->click();
        QCOMPARE(boxes_.boxes.size(), 1);
        QCOMPARE(ReadBytes(namePath()), profile);
        // "|" would shift the fields of the log-on message.
        for (const char* name : { "Text4_0", "Text4_3", "Text4_4" }) {
            boxes_.clear();
            const QString before = box(name)->text();
            box(name)->setText(QStringLiteral("a|b"));
            button("Command6")->click();
            QCOMPARE(boxes_.boxes.size(), 1);
            QVERIFY(boxes_.boxes[0].text.contains(u'|'));
            QCOMPARE(ReadBytes(namePath()), profile);
            box(name)->setText(before);
        }
        box("Text4_3")->setText(QStringLiteral("a b"));
        button("Command6")->click();
        QCOMPARE(boxes_.boxes.size(), 1);
        QVERIFY(ReadBytes(namePath()).startsWith("me,M,30,pw,a b\r\n"));
    }

    void failedSaveIsReportedAndListMatchesFile()
    {
        const QString missing = dir_->filePath(QStringLiteral("no/such/folder"));
        open(missing);
        boxes_.clear();
        typeEntry(QStringLiteral("Taro"), QStringLiteral("10.0.0.5"));
        button("Command1")->click();
        QCOMPARE(boxes_.boxes.size(), 1);
        QVERIFY(!boxes_.boxes[0].text.isEmpty());
        QCOMPARE(boxes_.boxes[0].title, QStringLiteral("Voxlet"));
        QCOMPARE(list()->count(), 0);

        boxes_.clear();
        box("Text4_0")->setText(QStringLiteral("me"));
        button("Command6")->click();
        QCOMPARE(boxes_.boxes.size(), 1);
        QVERIFY(!QFile::exists(missing));

        // A phone book too large to read is not replaced by the empty list.
        const QByteArray huge(files::kMaxDataFileBytes + 1, 'x');
        WriteBytes(telPath(), huge);
        open();
        boxes_.clear();
        typeEntry(QStringLiteral("Taro"), QStringLiteral("10.0.0.5"));
        button("Command1")->click();
        QCOMPARE(boxes_.texts(),
            QStringList {
                QStringLiteral("Tel.txt を読み込めませんでした。電話帳の内容が失われないよう、Tel.txt "
                               "は変更していません。") });
        QCOMPARE(ReadBytes(telPath()), huge);
    }

    void onlyTheCloseButtonCloses()
    {
        writeThreeEntries();
        SetFORM* f = open();
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

    void stampIsOneTokenInTheLocaleFormat()
    {
        const QTime t(21, 7, 45);
        QCOMPARE(SetFORM::TimeOfDayText(QLocale(QLocale::Japanese, QLocale::Japan), t),
            QStringLiteral("21:07:45"));
        QCOMPARE(SetFORM::TimeOfDayText(QLocale(QLocale::German, QLocale::Germany), t),
            QStringLiteral("21:07:45"));
        // "9:07:45 PM" would add a token.
        QCOMPARE(SetFORM::TimeOfDayText(QLocale(QLocale::English, QLocale::UnitedStates), t),
            QStringLiteral("21:07:45"));
        // Digits the file cannot hold.
        QCOMPARE(
            SetFORM::TimeOfDayText(QLocale(QLocale::Arabic, QLocale::Egypt), t), QStringLiteral("21:07:45"));
        QCOMPARE(SetFORM::TimeOfDayText(QLocale(QLocale::German, QLocale::Germany), QTime(9, 5, 0)),
            QStringLiteral("09:05:00"));
    }
};

QTEST_MAIN(SetFormTest)
#include "set_form_test.moc"
