#include "phonebook/qt/set_form.h"

#include "phonebook/qt/japanese_fonts.h"

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

const QString kNoPrefix = QStringLiteral("No=");

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

// A text box and the label before it, which names it.
QLineEdit* MakeLabelledBox(QWidget* parent, const QString& labelName, const QString& caption,
    const QRect& labelAt, const QString& boxName, const QRect& boxAt, const QColor& background)
{
    return MakeTextBox(parent, boxName, boxAt, MakeLabel(parent, labelName, caption, labelAt, background));
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

SetFORM::SetFORM(const QString& dataDir, MessageBoxPort& boxes, QWidget* parent)
    : QDialog(parent)
    , logic_(dataDir, boxes)
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

    text1_ = MakeLabelledBox(this, QStringLiteral("Label1"), QStringLiteral("名前"), { 16, 200, 24, 12 },
        QStringLiteral("Text1"), { 48, 192, 137, 25 }, kFormColour);
    label4_ = MakeLabel(this, QStringLiteral("Label4"), QString(), { 200, 192, 41, 17 }, kFormColour);
    label4_->setAccessibleName(kNoPrefix);
    text2_ = MakeLabelledBox(this, QStringLiteral("Label2"), QStringLiteral("IP"), { 24, 232, 12, 12 },
        QStringLiteral("Text2"), { 48, 224, 137, 25 }, kFormColour);
    DisableInputMethod(text2_);
    text3_ = MakeLabelledBox(this, QStringLiteral("Label3"), QStringLiteral("WAV"), { 16, 264, 18, 12 },
        QStringLiteral("Text3"), { 48, 256, 137, 25 }, kFormColour);
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
    // In the order a user tabs through them.
    const struct {
        const char* label;
        const char* caption;
        QRect labelAt;
        std::size_t index;
        QRect boxAt;
    } profileFields[] = {
        { "Label5", "名前", { 8, 32, 24, 12 }, 0, { 40, 24, 161, 26 } },
        { "Label6", "性別", { 208, 32, 24, 12 }, 1, { 240, 24, 33, 25 } },
        { "Label7", "年齢", { 8, 64, 24, 12 }, 2, { 40, 56, 33, 25 } },
        { "Label9", "PASS", { 80, 64, 24, 12 }, 4, { 120, 56, 201, 25 } },
        { "Label8", "一言", { 8, 96, 24, 12 }, 3, { 40, 88, 281, 25 } },
    };
    for (const auto& f : profileFields)
        text4_[f.index] = MakeLabelledBox(frame1_, QString::fromUtf8(f.label), QString::fromUtf8(f.caption),
            f.labelAt, QStringLiteral("Text4_%1").arg(f.index), f.boxAt, kFrameLabelColour);
    DisableInputMethod(text4_[4]);
    command6_ = MakeButton(
        frame1_, QStringLiteral("Command6"), QStringLiteral("保存"), { 280, 24, 41, 25 }, buttonFont);
    for (std::size_t i = 0; i < text4_.size(); ++i)
        text4_[i]->setMaxLength(SettingsWindow::kText4Limits[i]);

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

    // Forwarded in the logic's context: its connections end before the
    // widgets are destroyed.
    SettingsWindow* logic = &logic_;
    // A change of selection, by mouse or keys; a click on the line that is
    // already selected fills the boxes again.
    connect(list1_, &QListWidget::itemSelectionChanged, logic, [this] { logic_.List1_Click(selectedRow()); });
    connect(list1_, &QListWidget::itemClicked, logic, [this] { logic_.List1_Click(selectedRow()); });
    connect(command1_, &QPushButton::clicked, logic, &SettingsWindow::Command1_Click);
    connect(command2_, &QPushButton::clicked, logic, &SettingsWindow::Command2_Click);
    connect(command3_, &QPushButton::clicked, logic, &SettingsWindow::Command3_Click);
    connect(command4_, &QPushButton::clicked, logic, &SettingsWindow::Command4_Click);
    connect(command5_, &QPushButton::clicked, logic, &SettingsWindow::Command5_Click);
    connect(command6_, &QPushButton::clicked, logic, &SettingsWindow::Command6_Click);
    // Every change of a box's text, typed, pasted or set through the
    // accessibility bus; Refresh sets them with signals blocked.
    connect(text1_, &QLineEdit::textChanged, logic, &SettingsWindow::Text1_Change);
    connect(text2_, &QLineEdit::textChanged, logic, &SettingsWindow::Text2_Change);
    connect(text3_, &QLineEdit::textChanged, logic, &SettingsWindow::Text3_Change);
    for (std::size_t i = 0; i < text4_.size(); ++i)
        connect(text4_[i], &QLineEdit::textChanged, logic,
            [this, i](const QString& text) { logic_.Text4_Change(int(i), text); });
    connect(text5_, &QLineEdit::textChanged, logic, &SettingsWindow::Text5_Change);

    connect(logic, &SettingsWindow::changed, this, &SetFORM::Refresh);
    connect(logic, &SettingsWindow::closeRequested, this, [this] {
        closing_ = true;
        accept();
        closing_ = false;
    });
}

void SetFORM::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (logic_.loaded())
        return;
    logic_.Form_Load();
    // Load once the window is up, so that a loader's box appears above it.
    QMetaObject::invokeMethod(
        this, [this] { logic_.Form_Activate(); }, Qt::QueuedConnection);
}

void SetFORM::closeEvent(QCloseEvent* event)
{
    if (closing_) {
        event->accept();
        return;
    }
    event->ignore();
    logic_.RefuseClose();
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
    if (closing_)
        QDialog::reject();
}

bool SetFORM::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonDblClick) {
        if (watched == text1_)
            logic_.Text1_DblClick();
        else if (watched == text2_)
            logic_.Text2_DblClick();
        else if (watched == text3_)
            logic_.Text3_DblClick();
        else
            return QDialog::eventFilter(watched, event);
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

int SetFORM::selectedRow() const
{
    const QList<QListWidgetItem*> selected = list1_->selectedItems();
    return selected.isEmpty() ? -1 : list1_->row(selected.front());
}

namespace {

// Emptying a box stays undoable with Ctrl+Z, as the box's own clear is.
void ShowText(QLineEdit* box, const QString& text)
{
    if (box->text() == text)
        return;
    if (text.isEmpty())
        box->clear();
    else
        box->setText(text);
}

} // namespace

// Changes only what differs: a box keeps its cursor, the list its scroll
// position.
void SetFORM::Refresh()
{
    const QStringList& lines = logic_.lines();
    {
        const QSignalBlocker quiet(list1_);
        for (int i = 0; i < lines.size(); ++i) {
            if (i == list1_->count())
                list1_->addItem(lines[i]);
            else if (list1_->item(i)->text() != lines[i])
                list1_->item(i)->setText(lines[i]);
        }
        while (list1_->count() > lines.size())
            delete list1_->takeItem(list1_->count() - 1);
        const int selected = logic_.selectedRow();
        if (selected != selectedRow()) {
            if (selected < 0)
                list1_->clearSelection();
            else
                list1_->setCurrentRow(selected);
        }
    }
    const QSignalBlocker quiet1(text1_), quiet2(text2_), quiet3(text3_), quiet5(text5_);
    ShowText(text1_, logic_.text1());
    ShowText(text2_, logic_.text2());
    ShowText(text3_, logic_.text3());
    for (std::size_t i = 0; i < text4_.size(); ++i) {
        const QSignalBlocker quiet(text4_[i]);
        // The limit first, as a box cuts a text longer than its limit; and
        // only when it changes, as setting it moves the cursor to the end.
        if (text4_[i]->maxLength() != logic_.text4MaxLength(int(i)))
            text4_[i]->setMaxLength(logic_.text4MaxLength(int(i)));
        ShowText(text4_[i], logic_.text4(int(i)));
    }
    ShowText(text5_, logic_.text5());
    setLabel4(logic_.label4());
}

// A screen reader hears what the label shows, and hears it change; an empty
// label is still named for what it will show.
void SetFORM::setLabel4(const QString& text)
{
    if (label4_->text() == text)
        return;
    label4_->setText(text);
    label4_->setAccessibleName(text.isEmpty() ? kNoPrefix : text);
}

} // namespace voxlet
