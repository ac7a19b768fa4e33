#include "directory/qt/search_form.h"

#include "directory/search_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace voxlet {

SearchForm::SearchForm(SearchWindow& logic, QWidget* parent)
    : QDialog(parent)
    , logic_(logic)
{
    setObjectName(QStringLiteral("SEARCH"));
    setWindowTitle(QStringLiteral("検索SERVER"));
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(0xFF, 0xE0, 0xC0));
    setPalette(pal);

    auto bar = new QMenuBar(this);
    bar->setAccessibleName(QStringLiteral("メニュー"));
    connect_ = bar->addAction(QStringLiteral("SEVER接続"));
    connect_->setObjectName(QStringLiteral("mnu_Connect"));
    call_ = bar->addAction(QStringLiteral("電話する"));
    call_->setObjectName(QStringLiteral("mnu_CALL"));
    globalIp_ = bar->addAction(QStringLiteral("グロ－バルIP"));
    globalIp_->setObjectName(QStringLiteral("mnu_GlovalIP"));
    close_ = bar->addAction(kCloseCaption);
    close_->setObjectName(QStringLiteral("mnu_CLOSE"));

    auto client = new QWidget(this);
    client->setAccessibleName(windowTitle());
    client->setFixedSize(370, 359);
    list1_ = new QListWidget(client);
    list1_->setObjectName(QStringLiteral("List1"));
    list1_->setAccessibleName(QStringLiteral("待機者"));
    list1_->setGeometry(0, 0, 369, 328);
    QPalette lp = list1_->palette();
    lp.setColor(QPalette::Base, QColor(0xFF, 0xC0, 0xC0));
    lp.setColor(QPalette::Text, QColor(0x00, 0x00, 0x80));
    list1_->setPalette(lp);
    label1_ = new QLabel(QStringLiteral("グロ－バルIP"), client);
    label1_->setObjectName(QStringLiteral("Label1"));
    label1_->setGeometry(16, 340, 72, 12);
    QFont mincho(QStringLiteral("ＭＳ 明朝"));
    mincho.setPointSize(9);
    label1_->setFont(mincho);
    text1_ = new QLineEdit(client);
    text1_->setObjectName(QStringLiteral("Text1"));
    text1_->setAccessibleName(label1_->text());
    label1_->setBuddy(text1_);
    text1_->setReadOnly(true);
    text1_->setGeometry(96, 336, 201, 18);

    auto layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setMenuBar(bar);
    layout->addWidget(client);

    connect(connect_, &QAction::triggered, this, [this] { logic_.mnu_Connect_Click(); });
    connect(call_, &QAction::triggered, this, [this] { logic_.mnu_CALL_Click(); });
    connect(globalIp_, &QAction::triggered, this, [this] { logic_.mnu_GlovalIP_Click(); });
    connect(close_, &QAction::triggered, this, [this] { logic_.mnu_CLOSE_Click(); });
    connect(list1_, &QListWidget::itemClicked, this,
        [this](QListWidgetItem* item) { logic_.List1_Click(list1_->row(item)); });
    // The line chosen with the keyboard (arrows, Home, End, focus) is the one
    // highlighted and the one called, as with a click.
    connect(list1_, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row < 0)
            return;
        list1_->item(row)->setSelected(true);
        logic_.List1_Click(row);
    });
    connect(&logic_, &SearchWindow::changed, this, &SearchForm::Refresh);
    connect(&logic_, &SearchWindow::closeRequested, this, [this] {
        closingByProgram_ = true;
        done(QDialog::Accepted);
        logic_.setShown(false);
    });
}

SearchForm::~SearchForm()
{
    // Gone without its close menu (the program is ending): the window is unloaded.
    disconnect(&logic_, nullptr, this, nullptr);
    if (logic_.loaded())
        logic_.Form_Unload();
}

void SearchForm::showEvent(QShowEvent* e)
{
    // Every opening loads the window afresh and activates it, modal or not.
    closingByProgram_ = false;
    if (!logic_.loaded())
        logic_.Form_Load();
    logic_.setShown(true);
    Refresh();
    logic_.Form_Activate();
    QDialog::showEvent(e);
}

void SearchForm::Refresh()
{
    const QStringList& lines = logic_.lines();
    bool same = list1_->count() == lines.size();
    for (int i = 0; same && i < lines.size(); ++i)
        same = list1_->item(i)->text() == lines.at(i);
    if (!same) {
        // A new list selects nothing: the call command stays as the logic set it.
        const QSignalBlocker quiet(list1_);
        list1_->clear();
        list1_->addItems(lines);
    }
    text1_->setText(logic_.text1());
    call_->setEnabled(logic_.callEnabled());
    connect_->setEnabled(logic_.connectEnabled());
    close_->setText(logic_.closeCaption());
}

void SearchForm::closeEvent(QCloseEvent* e)
{
    if (closingByProgram_) {
        e->accept();
        return;
    }
    e->ignore();
    logic_.RefuseClose();
}

void SearchForm::keyPressEvent(QKeyEvent* e)
{
    // Esc would close the dialog behind the logic's back.
    if (e->key() == Qt::Key_Escape) {
        e->accept();
        return;
    }
    QDialog::keyPressEvent(e);
}

} // namespace voxlet
