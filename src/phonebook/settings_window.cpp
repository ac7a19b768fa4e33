#include "phonebook/settings_window.h"

#include "call/app_state.h"
#include "call/runtime_error.h"

namespace voxlet {

namespace {

const QString kFallbackTimeFormat = QStringLiteral("H:mm:ss");
constexpr int kNameBoxLimit = 10;
const QString kNeedNameAndAddress = QStringLiteral("名前とIPは、必ず入力してください。");

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

} // namespace

QString SettingsWindow::TimeOfDayText(const QLocale& locale, const QTime& time)
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

SettingsWindow::SettingsWindow(const QString& dataDir, MessageBoxPort& boxes)
    : dataDir_(dataDir)
    , boxes_(boxes)
{
}

void SettingsWindow::Form_Load()
{
    loaded_ = true;
    bookRefusal_.clear();
    list1_.clear();
    selected_ = -1;
    text1_.clear();
    text2_.clear();
    text3_.clear();
    for (QString& text : text4_)
        text.clear();
    text4Limits_ = kText4Limits;
    text5_.clear();
    label4_.clear();
    emit changed();
}

void SettingsWindow::Form_Activate()
{
    if (!loaded_)
        return; // closed before its activation came round
    LoadList();

    const files::ProfileFieldsResult profile = files::LoadProfileFields(dataDir_);
    if (profile.failure) {
        ShowBox(QString::number(profile.failure->number));
        return;
    }
    const files::ProfileFields& f = profile.fields;
    // Line 1 alone is a whole profile (an editor may drop an empty last line);
    // the server box then stays empty.
    if (profile.fieldsRead < 6 && profile.fieldsOnFirstLine < 5) {
        if (!f.name.isEmpty())
            SetLoadedText4(0, f.name);
        emit changed();
        return;
    }
    SetLoadedText4(0, f.name);
    SetLoadedText4(1, f.sex);
    SetLoadedText4(2, f.age);
    SetLoadedText4(3, f.comment);
    SetLoadedText4(4, f.pass);
    if (profile.fieldsRead == 6)
        text5_ = f.server;
    emit changed();
}

void SettingsWindow::Form_Unload()
{
    loaded_ = false;
    emit closeRequested();
}

void SettingsWindow::RefuseClose()
{
    ShowBox(QStringLiteral("終了ボタンから終了してください。"), MessageIcon::Exclamation);
}

// Shows a value from the file whole: the boxes' limits are for typing, and a
// cut value would be written back cut by the next "保存".
void SettingsWindow::SetLoadedText4(int index, const QString& text)
{
    const auto i = std::size_t(index);
    if (text.size() > text4Limits_[i])
        text4Limits_[i] = int(text.size());
    text4_[i] = text;
}

void SettingsWindow::Text4_Change(int index, const QString& text)
{
    const auto i = std::size_t(index);
    text4_[i] = text;
    // A longer loaded text keeps its box open until the user has brought it
    // within the limit.
    if (text.size() <= kText4Limits[i] && text4Limits_[i] != kText4Limits[i]) {
        text4Limits_[i] = kText4Limits[i];
        emit changed();
    }
}

void SettingsWindow::SetText1(const QString& text)
{
    if (text.size() <= kNameBoxLimit) {
        text1_ = text;
        return;
    }
    QString tail = text.right(kNameBoxLimit);
    if (tail.front().isLowSurrogate())
        tail.remove(0, 1);
    text1_ = tail;
}

void SettingsWindow::Text1_Change(const QString& text)
{
    SetText1(text);
    if (text1_ != text)
        emit changed();
}

void SettingsWindow::Text1_DblClick()
{
    text1_.clear();
    emit changed();
}

void SettingsWindow::Text2_DblClick()
{
    text2_.clear();
    emit changed();
}

void SettingsWindow::Text3_DblClick()
{
    text3_.clear();
    emit changed();
}

void SettingsWindow::List1_Click(int row)
{
    selected_ = row >= 0 && row < list1_.size() ? row : -1;
    if (selected_ >= 0) {
        const QStringList fields = list1_[selected_].split(u' ');
        auto field = [&fields](int n) { return n <= fields.size() ? fields[n - 1] : QString(); };
        SetText1(field(2));
        text2_ = field(3);
        text3_ = field(4);
        label4_ = QStringLiteral("No=") + field(1);
    }
    emit changed();
}

// Appends the phone book as the file now holds it.
void SettingsWindow::LoadList()
{
    const files::LinesResult book = files::LoadPhoneBook(dataDir_);
    list1_ << book.lines;
    NoteBookLoad(book);
    if (book.failure)
        ShowBox(book.failure->description);
}

void SettingsWindow::NoteBookLoad(const files::LinesResult& book)
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

// Add, replace and delete rewrite Tel.txt from the list; a list that lacks
// part of the file would drop that part.
bool SettingsWindow::BookWritable()
{
    if (bookRefusal_.isEmpty())
        return true;
    ShowBox(bookRefusal_);
    return false;
}

bool SettingsWindow::SaveList()
{
    if (const std::optional<QString> failure = files::SavePhoneBook(dataDir_, list1_)) {
        ShowBox(*failure);
        return false;
    }
    return true;
}

bool SettingsWindow::EntryTextsStorable()
{
    for (const QString& text : { text1_, text2_, text3_ }) {
        if (!StorableText(text, false)) {
            ShowBox(
                QStringLiteral("名前、IP、WAVには空白、カンマ、「|」、Shift-JISにない文字は使えません。"));
            return false;
        }
    }
    return true;
}

QString SettingsWindow::EntryLine(int number) const
{
    return QStringList { QString::number(number), text1_, text2_, text3_,
        TimeOfDayText(QLocale::system(), QTime::currentTime()) }
        .join(u' ');
}

void SettingsWindow::Command1_Click()
{
    const int count = int(list1_.size());
    // ">=": a longer book written by other means must not grow further.
    if (count >= kPhoneBookLimit) {
        ShowBox(QStringLiteral("これ以上追加できません."));
        return;
    }
    if (text1_.isEmpty() || text2_.isEmpty()) {
        ShowBox(kNeedNameAndAddress);
        return;
    }
    if (!EntryTextsStorable() || !BookWritable())
        return;
    if (text3_.isEmpty())
        text3_ = files::kDefaultRingFile;

    const int selected = selected_;
    int number = count + 1;
    int at = count;
    if (selected >= 0 && selected < count - 1) {
        number = selected;
        at = selected;
        ++selected_; // the selection stays on its line, now one further down
    }
    list1_.insert(at, EntryLine(number));
    // Keep the list equal to the file when the file could not be written.
    if (!SaveList()) {
        list1_.removeAt(at);
        selected_ = selected;
    }
    emit changed();
}

void SettingsWindow::Command2_Click()
{
    if (text1_.isEmpty() || text2_.isEmpty()) {
        ShowBox(kNeedNameAndAddress);
        return;
    }
    if (!EntryTextsStorable())
        return;
    if (text3_.isEmpty())
        text3_ = files::kDefaultRingFile;
    if (selected_ < 0) {
        ShowBox(QStringLiteral("置換先を選んでください。"));
        return;
    }
    if (!BookWritable())
        return;
    const QString previous = list1_[selected_];
    list1_[selected_] = EntryLine(selected_ + 1);
    if (!SaveList())
        list1_[selected_] = previous;
    emit changed();
}

void SettingsWindow::Command3_Click()
{
    if (selected_ < 0) {
        ShowBox(QStringLiteral("削除するリストを選択してください。"));
        return;
    }
    if (!BookWritable())
        return;
    // The boxes keep the deleted entry.
    list1_.removeAt(selected_);
    selected_ = -1;
    SaveList();
    // Shows the file as it now is: renumbered, or unchanged if the save failed.
    list1_.clear();
    LoadList();
    emit changed();
}

void SettingsWindow::Command4_Click()
{
    Form_Unload();
}

void SettingsWindow::Command5_Click()
{
    text1_.clear();
    text2_.clear();
    text3_.clear();
    selected_ = -1;
    emit changed();
}

void SettingsWindow::Command6_Click()
{
    files::ProfileFields fields;
    fields.name = text4_[0];
    fields.sex = text4_[1];
    fields.age = text4_[2];
    fields.comment = text4_[3];
    fields.pass = text4_[4];
    fields.server = text5_;
    for (const QString& field :
        { fields.name, fields.sex, fields.age, fields.pass, fields.comment, fields.server }) {
        // A comma would shift every later field, the server address included.
        if (!StorableText(field, true)) {
            ShowBox(
                QStringLiteral("自分の情報とアドレスには、カンマ、「|」、Shift-JISにない文字は使えません。"));
            return;
        }
    }
    if (const std::optional<QString> failure = files::SaveProfile(dataDir_, fields))
        ShowBox(*failure);
}

// A box is modal: the view shows the contents as they are behind it.
void SettingsWindow::ShowBox(const QString& text, MessageIcon icon)
{
    emit changed();
    boxes_.show(text, icon, kAppTitle);
}

} // namespace voxlet
