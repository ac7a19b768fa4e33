#include "phonebook/qt/set_form.h"

#include "call/app_state.h"
#include "call/runtime_error.h"
#include "phonebook/phone_book_files.h"

#include <QCloseEvent>
#include <QFont>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QShowEvent>
#include <QSignalBlocker>

namespace voxlet {

namespace {

const QString kBoxTitle = QStringLiteral("Voxlet");
const QString kMincho = QStringLiteral("ＭＳ 明朝");
const QString kGothic = QStringLiteral("ＭＳ ゴシック");
const QString kRingDefault = QStringLiteral("Ring.wav");
const QString kFallbackTimeFormat = QStringLiteral("H:mm:ss");
constexpr int kNameBoxLimit = 10;
const QString kNoPrefix = QStringLiteral("No=");
// Typing limits of the profile boxes, by Text4 index.
constexpr std::array<int, 5> kProfileLimits { 10, 2, 2, 30, 10 };

const QColor kFormColour(0x80, 0x80, 0xFF);
const QColor kFrameLabelColour(0xFF, 0xFF, 0x80);

QFont MinchoFont()
{
    QFont f(kMincho);
    f.setPointSizeF(9);
    return f;
}

QFont FrameCaptionFont(qreal points)
{
    QFont f(kGothic);
    f.setPointSizeF(points);
    f.setBold(true);
    return f;
}

// The locale's short time format with seconds, as a Windows time format
// ("H:mm:ss" for Japanese) has them; empty when it has no minutes to follow.
QString TimeFormatWithSeconds(const QString& shortFormat)
{
    bool quoted = false;
    for (qsizetype i = 0; i < shortFormat.size(); ++i) {
        const QChar c = shortFormat[i];
        if (c == u'\'')
            quoted = !quoted;
        if (!quoted && c == u's')
            return shortFormat;
    }
    quoted = false;
    for (qsizetype i = 0; i < shortFormat.size(); ++i) {
        const QChar c = shortFormat[i];
        if (c == u'\'')
            quoted = !quoted;
        if (quoted || c != u'm')
            continue;
        qsizetype end = i;
        while (end < shortFormat.size() && shortFormat[end] == u'm')
            ++end;
        return QString(shortFormat).insert(end, QStringLiteral(":ss"));
    }
    return {};
}

// What the reader of the phone book could not give back as written: the token
// and record separators, line breaks, and what code page 932 cannot hold; and
// "|", which separates the fields of every message to the server and peers.
bool StorableText(const QString& text, bool spaceAllowed)
{
    for (QChar c : text) {
        if (c == u',' || c == u'|' || c.unicode() < 0x20 || (!spaceAllowed && c == u' '))
            return false;
    }
    return files::DecodeCp932(files::EncodeCp932(text)) == text;
}

QLabel* MakeLabel(QWidget* parent, const QString& name, const QString& caption, const QRect& geometry,
    const QColor& background)
{
    // A label's accessible name is its text and follows it as it changes.
    auto* label = new QLabel(caption, parent);
    label->setObjectName(name);
    label->setGeometry(geometry);
    label->setFont(MinchoFont());
    label->setAutoFillBackground(true);
    QPalette p = label->palette();
    p.setColor(QPalette::Window, background);
    p.setColor(QPalette::WindowText, Qt::black);
    label->setPalette(p);
    return label;
}

// Named, for a screen reader, by the label the user sees beside it.
QLineEdit* MakeTextBox(QWidget* parent, const QString& name, const QRect& geometry, QLabel* label)
{
    auto* box = new QLineEdit(parent);
    box->setObjectName(name);
    box->setAccessibleName(label->text());
    label->setBuddy(box);
    box->setGeometry(geometry);
    box->setFont(MinchoFont());
    QPalette p = box->palette();
    p.setColor(QPalette::Text, Qt::black);
    p.setColor(QPalette::Base, Qt::white);
    box->setPalette(p);
    return box;
}

// Addresses and passwords are typed in Latin letters; no conversion.
void DisableInputMethod(QLineEdit* box)
{
    box->setAttribute(Qt::WA_InputMethodEnabled, false);
    box->setInputMethodHints(Qt::ImhLatinOnly | Qt::ImhNoPredictiveText);
}

QPushButton* MakeButton(
    QWidget* parent, const QString& name, const QString& caption, const QRect& geometry, const QFont& font)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setAccessibleName(caption);
    button->setGeometry(geometry);
    button->setFont(font);
    button->setAutoDefault(false);
    QPalette p = button->palette();
    p.setColor(QPalette::ButtonText, Qt::black);
    button->setPalette(p);
    return button;
}

QGroupBox* MakeFrame(
    QWidget* parent, const QString& name, const QString& caption, const QRect& geometry, qreal captionPoints)
{
    auto* frame = new QGroupBox(caption, parent);
    frame->setObjectName(name);
    frame->setAccessibleName(caption);
    frame->setGeometry(geometry);
    frame->setFont(FrameCaptionFont(captionPoints));
    frame->setAutoFillBackground(true);
    QPalette p = frame->palette();
    p.setColor(QPalette::Window, Qt::black);
    p.setColor(QPalette::WindowText, Qt::white);
    frame->setPalette(p);
    return frame;
}

} // namespace

void SetFORM::InstallFontSubstitutions()
{
    // insertSubstitution appends; only add what is not there yet.
    if (!QFont::substitutes(kMincho).contains(QStringLiteral("IPAexMincho")))
        QFont::insertSubstitution(kMincho, QStringLiteral("IPAexMincho"));
    if (!QFont::substitutes(kGothic).contains(QStringLiteral("IPAGothic")))
        QFont::insertSubstitution(kGothic, QStringLiteral("IPAGothic"));
}

QString SetFORM::TimeOfDayText(const QLocale& locale, const QTime& time)
{
    const QString format = TimeFormatWithSeconds(locale.timeFormat(QLocale::ShortFormat));
    const QString text = format.isEmpty() ? QString() : locale.toString(time, format);
    // A space would add tokens to the record, a comma would cut it, and the
    // file must be able to hold the digits.
    bool usable = !text.isEmpty() && StorableText(text, false);
    for (QChar c : text)
        usable = usable && !c.isSpace();
    return usable ? text : QLocale::c().toString(time, kFallbackTimeFormat);
}

SetFORM::SetFORM(const QString& dataDir, MessageBoxPort& boxes, QWidget* parent)
    : QDialog(parent)
    , dataDir_(dataDir)
    , boxes_(boxes)
{
    InstallFontSubstitutions();
    buildLayout();
}

void SetFORM::buildLayout()
{
    setObjectName(QStringLiteral("SetFORM"));
    setWindowTitle(QStringLiteral("設定"));
    setAccessibleName(QStringLiteral("設定"));
    setFixedSize(344, 470);
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, kFormColour);
    setPalette(p);
    // Spelled out so that the button in Frame1 does not take the caption font.
    QFont buttonFont(font().family());
    buttonFont.setPointSizeF(font().pointSizeF());
    buttonFont.setBold(false);

    list1_ = new QListWidget(this);
    list1_->setObjectName(QStringLiteral("List1"));
    list1_->setAccessibleName(QStringLiteral("電話帳"));
    list1_->setGeometry(0, 0, 345, 148);
    list1_->setSelectionMode(QAbstractItemView::SingleSelection);

    command1_ = MakeButton(
        this, QStringLiteral("Command1"), QStringLiteral("追　加"), { 8, 160, 65, 25 }, buttonFont);
    command2_ = MakeButton(
        this, QStringLiteral("Command2"), QStringLiteral("置　換"), { 80, 160, 73, 25 }, buttonFont);
    command3_ = MakeButton(
        this, QStringLiteral("Command3"), QStringLiteral("削　除"), { 160, 160, 73, 25 }, buttonFont);
    command5_ = MakeButton(
        this, QStringLiteral("Command5"), QStringLiteral("クリア"), { 240, 160, 65, 25 }, buttonFont);

    QLabel* label1
        = MakeLabel(this, QStringLiteral("Label1"), QStringLiteral("名前"), { 16, 200, 24, 12 }, kFormColour);
    text1_ = MakeTextBox(this, QStringLiteral("Text1"), { 48, 192, 137, 25 }, label1);
    label4_ = MakeLabel(this, QStringLiteral("Label4"), QString(), { 200, 192, 41, 17 }, kFormColour);
    label4_->setAccessibleName(kNoPrefix);
    QLabel* label2
        = MakeLabel(this, QStringLiteral("Label2"), QStringLiteral("IP"), { 24, 232, 12, 12 }, kFormColour);
    text2_ = MakeTextBox(this, QStringLiteral("Text2"), { 48, 224, 137, 25 }, label2);
    DisableInputMethod(text2_);
    QLabel* label3
        = MakeLabel(this, QStringLiteral("Label3"), QStringLiteral("WAV"), { 16, 264, 18, 12 }, kFormColour);
    text3_ = MakeTextBox(this, QStringLiteral("Text3"), { 48, 256, 137, 25 }, label3);
    command4_ = MakeButton(
        this, QStringLiteral("Command4"), QStringLiteral("終　了"), { 280, 256, 57, 25 }, buttonFont);

    line1_ = new QFrame(this);
    line1_->setObjectName(QStringLiteral("Line1"));
    line1_->setAccessibleName(QStringLiteral("区切り線"));
    line1_->setFocusPolicy(Qt::NoFocus);
    line1_->setFrameShape(QFrame::HLine);
    line1_->setFrameShadow(QFrame::Plain);
    line1_->setLineWidth(1);
    line1_->setGeometry(8, 288, 329, 1);
    QPalette lp = line1_->palette();
    lp.setColor(QPalette::WindowText, Qt::black);
    line1_->setPalette(lp);

    frame1_ = MakeFrame(
        this, QStringLiteral("Frame1"), QStringLiteral("自分の情報"), { 8, 296, 329, 121 }, 14.25);
    QLabel* label5 = MakeLabel(
        frame1_, QStringLiteral("Label5"), QStringLiteral("名前"), { 8, 32, 24, 12 }, kFrameLabelColour);
    text4_[0] = MakeTextBox(frame1_, QStringLiteral("Text4_0"), { 40, 24, 161, 26 }, label5);
    QLabel* label6 = MakeLabel(
        frame1_, QStringLiteral("Label6"), QStringLiteral("性別"), { 208, 32, 24, 12 }, kFrameLabelColour);
    text4_[1] = MakeTextBox(frame1_, QStringLiteral("Text4_1"), { 240, 24, 33, 25 }, label6);
    QLabel* label7 = MakeLabel(
        frame1_, QStringLiteral("Label7"), QStringLiteral("年齢"), { 8, 64, 24, 12 }, kFrameLabelColour);
    text4_[2] = MakeTextBox(frame1_, QStringLiteral("Text4_2"), { 40, 56, 33, 25 }, label7);
    QLabel* label9 = MakeLabel(
        frame1_, QStringLiteral("Label9"), QStringLiteral("PASS"), { 80, 64, 24, 12 }, kFrameLabelColour);
    text4_[4] = MakeTextBox(frame1_, QStringLiteral("Text4_4"), { 120, 56, 201, 25 }, label9);
    DisableInputMethod(text4_[4]);
    QLabel* label8 = MakeLabel(
        frame1_, QStringLiteral("Label8"), QStringLiteral("一言"), { 8, 96, 24, 12 }, kFrameLabelColour);
    text4_[3] = MakeTextBox(frame1_, QStringLiteral("Text4_3"), { 40, 88, 281, 25 }, label8);
    command6_ = MakeButton(
        frame1_, QStringLiteral("Command6"), QStringLiteral("保存"), { 280, 24, 41, 25 }, buttonFont);
    for (std::size_t i = 0; i < text4_.size(); ++i) {
        QLineEdit* box = text4_[i];
        const int limit = kProfileLimits[i];
        box->setMaxLength(limit);
        // A longer text loaded from the file lifts the limit of its box until
        // the user has brought it within the limit.
        connect(box, &QLineEdit::textEdited, this, [box, limit](const QString& text) {
            if (text.size() <= limit)
                box->setMaxLength(limit);
        });
    }

    frame2_ = MakeFrame(this, QStringLiteral("Frame2"), QStringLiteral("コネクションサ－バ－アドレス"),
        { 8, 416, 329, 49 }, 12);
    text5_ = new QLineEdit(frame2_);
    text5_->setObjectName(QStringLiteral("Text5"));
    text5_->setAccessibleName(frame2_->title());
    text5_->setGeometry(16, 16, 297, 25);
    text5_->setFont(MinchoFont());
    text5_->setPalette(text4_[0]->palette());
    DisableInputMethod(text5_);

    for (QLineEdit* box : { text1_, text2_, text3_ })
        box->installEventFilter(this);

    connect(list1_, &QListWidget::itemSelectionChanged, this, &SetFORM::onSelectionMade);
    // A click on the line that is already selected fills the boxes again.
    connect(list1_, &QListWidget::itemClicked, this, &SetFORM::onSelectionMade);
    connect(command1_, &QPushButton::clicked, this, &SetFORM::onAdd);
    connect(command2_, &QPushButton::clicked, this, &SetFORM::onReplace);
    connect(command3_, &QPushButton::clicked, this, &SetFORM::onDelete);
    connect(command4_, &QPushButton::clicked, this, &SetFORM::onFinish);
    connect(command5_, &QPushButton::clicked, this, &SetFORM::onClear);
    connect(command6_, &QPushButton::clicked, this, &SetFORM::onSaveProfile);
    connect(text1_, &QLineEdit::textChanged, this, &SetFORM::onNameChanged);
}

void SetFORM::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (loaded_)
        return;
    loaded_ = true;
    // Load once the window is up, so that a loader's box appears above it.
    QMetaObject::invokeMethod(
        this, [this] { activate(); }, Qt::QueuedConnection);
}

void SetFORM::activate()
{
    const files::LinesResult book = files::LoadPhoneBook(dataDir_);
    list1_->addItems(book.lines);
    noteBookLoad(book);
    if (book.failure)
        showBox(book.failure->description);

    const files::ProfileFieldsResult profile = files::LoadProfileFields(dataDir_);
    if (profile.failure) {
        showBox(QString::number(profile.failure->number));
        return;
    }
    const files::ProfileFields& f = profile.fields;
    // Line 1 alone is a whole profile (an editor may drop an empty last line);
    // the server box then stays empty.
    if (profile.fieldsRead < 6 && profile.fieldsOnFirstLine < 5) {
        if (!f.name.isEmpty())
            setLoadedText(text4_[0], f.name);
        return;
    }
    setLoadedText(text4_[0], f.name);
    setLoadedText(text4_[1], f.sex);
    setLoadedText(text4_[2], f.age);
    setLoadedText(text4_[3], f.comment);
    setLoadedText(text4_[4], f.pass);
    if (profile.fieldsRead == 6)
        text5_->setText(f.server);
}

// Shows a value from the file whole: the boxes' limits are for typing, and a
// cut value would be written back cut by the next "保存".
void SetFORM::setLoadedText(QLineEdit* box, const QString& text)
{
    if (text.size() > box->maxLength())
        box->setMaxLength(int(text.size()));
    box->setText(text);
}

// Add, replace and delete rewrite Tel.txt from the list; a list that lacks
// part of the file would drop that part.
bool SetFORM::bookWritable()
{
    if (bookRefusal_.isEmpty())
        return true;
    showBox(bookRefusal_);
    return false;
}

void SetFORM::noteBookLoad(const files::LinesResult& book)
{
    bookRefusal_.clear();
    if (book.lineNotHeld == 0)
        return;
    const QString keptAsItIs = QStringLiteral("電話帳の内容が失われないよう、Tel.txt は変更していません。");
    // A file that could not be read at all has no line to name.
    if (book.failure && book.failure->number != err::SubscriptOutOfRange)
        bookRefusal_ = QStringLiteral("Tel.txt を読み込めませんでした。") + keptAsItIs;
    else
        bookRefusal_
            = QStringLiteral("Tel.txt の%1行目を読み込めませんでした。").arg(book.lineNotHeld) + keptAsItIs;
}

void SetFORM::closeEvent(QCloseEvent* event)
{
    if (closingByButton_) {
        event->accept();
        return;
    }
    event->ignore();
    showBox(QStringLiteral("終了ボタンから終了してください。"), MessageIcon::Exclamation);
}

void SetFORM::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void SetFORM::reject()
{
    if (closingByButton_)
        QDialog::reject();
}

bool SetFORM::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonDblClick) {
        for (QLineEdit* box : { text1_, text2_, text3_ }) {
            if (watched == box) {
                box->clear();
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void SetFORM::onNameChanged(const QString& text)
{
    if (text.size() <= kNameBoxLimit)
        return;
    QString tail = text.right(kNameBoxLimit);
    if (tail.front().isLowSurrogate())
        tail.remove(0, 1);
    text1_->setText(tail);
}

int SetFORM::selectedRow() const
{
    const QList<QListWidgetItem*> selected = list1_->selectedItems();
    return selected.isEmpty() ? -1 : list1_->row(selected.front());
}

QStringList SetFORM::listLines() const
{
    QStringList lines;
    for (int i = 0; i < list1_->count(); ++i)
        lines << list1_->item(i)->text();
    return lines;
}

void SetFORM::onSelectionMade()
{
    const int row = selectedRow();
    if (row < 0)
        return;
    const QStringList fields = list1_->item(row)->text().split(u' ');
    auto field = [&fields](int n) { return n <= fields.size() ? fields[n - 1] : QString(); };
    text1_->setText(field(2));
    text2_->setText(field(3));
    text3_->setText(field(4));
    setLabel4(QStringLiteral("No=") + field(1));
}

QString SetFORM::entryLine(int number) const
{
    return QStringList { QString::number(number), text1_->text(), text2_->text(), text3_->text(),
        TimeOfDayText(QLocale::system(), QTime::currentTime()) }
        .join(u' ');
}

bool SetFORM::entryTextsStorable()
{
    for (QLineEdit* box : { text1_, text2_, text3_ }) {
        if (!StorableText(box->text(), false)) {
            showBox(
                QStringLiteral("名前、IP、WAVには空白、カンマ、「|」、Shift-JISにない文字は使えません。"));
            return false;
        }
    }
    return true;
}

bool SetFORM::saveList()
{
    if (const std::optional<QString> failure = files::SavePhoneBook(dataDir_, listLines())) {
        showBox(*failure);
        return false;
    }
    return true;
}

void SetFORM::reloadList()
{
    const QSignalBlocker quiet(list1_);
    list1_->clear();
    const files::LinesResult book = files::LoadPhoneBook(dataDir_);
    list1_->addItems(book.lines);
    noteBookLoad(book);
    if (book.failure)
        showBox(book.failure->description);
}

void SetFORM::onAdd()
{
    const int count = list1_->count();
    // ">=": a longer book written by other means must not grow further.
    if (count >= kPhoneBookLimit) {
        showBox(QStringLiteral("これ以上追加できません."));
        return;
    }
    if (text1_->text().isEmpty() || text2_->text().isEmpty()) {
        showBox(QStringLiteral("名前とIPは、必ず入力してください。"));
        return;
    }
    if (!entryTextsStorable() || !bookWritable())
        return;
    if (text3_->text().isEmpty())
        text3_->setText(kRingDefault);

    const int selected = selectedRow();
    int number = count + 1;
    int at = count;
    if (selected >= 0 && selected < count - 1) {
        number = selected;
        at = selected;
    }
    list1_->insertItem(at, entryLine(number));
    // Keep the list equal to the file when the file could not be written.
    if (!saveList())
        delete list1_->takeItem(at);
}

void SetFORM::onReplace()
{
    if (text1_->text().isEmpty() || text2_->text().isEmpty()) {
        showBox(QStringLiteral("名前とIPは、必ず入力してください。"));
        return;
    }
    if (!entryTextsStorable())
        return;
    if (text3_->text().isEmpty())
        text3_->setText(kRingDefault);
    const int selected = selectedRow();
    if (selected < 0) {
        showBox(QStringLiteral("置換先を選んでください。"));
        return;
    }
    if (!bookWritable())
        return;
    QListWidgetItem* item = list1_->item(selected);
    const QString previous = item->text();
    item->setText(entryLine(selected + 1));
    if (!saveList())
        item->setText(previous);
}

void SetFORM::onDelete()
{
    const int selected = selectedRow();
    if (selected < 0) {
        showBox(QStringLiteral("削除するリストを選択してください。"));
        return;
    }
    if (!bookWritable())
        return;
    {
        // Removing the selected line moves the selection on; the boxes keep
        // the deleted entry.
        const QSignalBlocker quiet(list1_);
        delete list1_->takeItem(selected);
    }
    saveList();
    // Shows the file as it now is: renumbered, or unchanged if the save failed.
    reloadList();
}

void SetFORM::onClear()
{
    text1_->clear();
    text2_->clear();
    text3_->clear();
    list1_->clearSelection();
}

void SetFORM::onSaveProfile()
{
    files::ProfileFields fields;
    fields.name = text4_[0]->text();
    fields.sex = text4_[1]->text();
    fields.age = text4_[2]->text();
    fields.comment = text4_[3]->text();
    fields.pass = text4_[4]->text();
    fields.server = text5_->text();
    for (const QString& field :
        { fields.name, fields.sex, fields.age, fields.pass, fields.comment, fields.server }) {
        // A comma would shift every later field, the server address included.
        if (!StorableText(field, true)) {
            showBox(
                QStringLiteral("自分の情報とアドレスには、カンマ、「|」、Shift-JISにない文字は使えません。"));
            return;
        }
    }
    if (const std::optional<QString> failure = files::SaveProfile(dataDir_, fields))
        showBox(*failure);
}

void SetFORM::onFinish()
{
    closingByButton_ = true;
    accept();
    resetForNextOpening();
}

// The dialog may be shown again; it then starts as a fresh one would.
void SetFORM::resetForNextOpening()
{
    closingByButton_ = false;
    loaded_ = false;
    bookRefusal_.clear();
    const QSignalBlocker quiet(list1_);
    list1_->clear();
    for (QLineEdit* box :
        { text1_, text2_, text3_, text4_[0], text4_[1], text4_[2], text4_[3], text4_[4], text5_ })
        box->clear();
    for (std::size_t i = 0; i < text4_.size(); ++i)
        text4_[i]->setMaxLength(kProfileLimits[i]);
    setLabel4(QString());
}

// A screen reader hears what the label shows, and hears it change; an empty
// label is still named for what it will show.
void SetFORM::setLabel4(const QString& text)
{
    label4_->setText(text);
    label4_->setAccessibleName(text.isEmpty() ? kNoPrefix : text);
}

void SetFORM::showBox(const QString& text, MessageIcon icon)
{
    boxes_.show(text, icon, kBoxTitle);
}

} // namespace voxlet
