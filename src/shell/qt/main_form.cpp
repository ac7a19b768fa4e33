#include "shell/qt/main_form.h"

#include "directory/qt/search_form.h"
#include "history/qt/history_form.h"
#include "phonebook/qt/japanese_fonts.h"
#include "phonebook/qt/set_form.h"
#include "shell/phone.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>

namespace voxlet {

// The client area; paints the persistent waveform image under the controls.
class MainForm::Surface : public QWidget {
public:
    Surface(MainForm* form)
        : QWidget(form)
        , form_(form)
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        if (form_->surface_.isNull())
            p.fillRect(rect(), Qt::black);
        else
            p.drawImage(0, 0, form_->surface_);
    }

private:
    MainForm* form_;
};

namespace {
QFont MinchoFont()
{
    QFont f(kMincho);
    f.setPointSize(9);
    return f;
}
} // namespace

MainForm::MainForm(QWidget* parent)
    : QMainWindow(parent)
    , trayAvailable_([] { return QSystemTrayIcon::isSystemTrayAvailable(); })
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Voxlet "));
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/voxlet-32.png"));
    icon.addFile(QStringLiteral(":/icons/voxlet-16.png"));
    setWindowIcon(icon);

    central_ = new Surface(this);
    central_->setObjectName(QStringLiteral("Surface"));
    central_->setAccessibleName(QStringLiteral("波形"));
    central_->setFixedSize(735, 248);
    // The call's protection goes under the old controls, which stay where they were.
    auto* client = new QWidget(this);
    auto* column = new QVBoxLayout(client);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    column->addWidget(central_);
    protection_ = new QLabel(client);
    protection_->setObjectName(QStringLiteral("Protection"));
    protection_->setAccessibleName(QStringLiteral("通話の保護"));
    protection_->setFont(MinchoFont());
    protection_->setContentsMargins(8, 0, 8, 2);
    column->addWidget(protection_);
    setCentralWidget(client);

    text1_ = new QLineEdit(central_);
    text1_->setObjectName(QStringLiteral("Text1"));
    // Screen readers hear what a sighted user reads: the status and the
    // entries (buttons are named by their captions).
    text1_->setAccessibleName(QStringLiteral("状態"));
    text1_->setReadOnly(true);
    text1_->setFont(MinchoFont());
    text1_->setGeometry(8, 216, 297, 25);

    command3_ = new QPushButton(QStringLiteral("応答"), central_);
    command3_->setObjectName(QStringLiteral("Command3"));
    command3_->setGeometry(312, 216, 57, 25);

    clibtn_ = new QPushButton(QStringLiteral("電話する"), central_);
    clibtn_->setObjectName(QStringLiteral("CLIBTN"));
    clibtn_->setGeometry(376, 216, 81, 25);

    combo1_ = new QComboBox(central_);
    combo1_->setObjectName(QStringLiteral("Combo1"));
    combo1_->setAccessibleName(QStringLiteral("相手先"));
    combo1_->setEditable(true);
    combo1_->lineEdit()->setAccessibleName(combo1_->accessibleName());
    combo1_->view()->setAccessibleName(combo1_->accessibleName());
    combo1_->setInsertPolicy(QComboBox::NoInsert);
    combo1_->setFont(MinchoFont());
    combo1_->setGeometry(464, 216, 201, 20);

    command1_ = new QPushButton(QStringLiteral("終了"), central_);
    command1_->setObjectName(QStringLiteral("Command1"));
    command1_->setGeometry(672, 216, 49, 25);

    setTabOrder(text1_, command1_);
    setTabOrder(command1_, clibtn_);
    setTabOrder(clibtn_, command3_);
    setTabOrder(command3_, combo1_);

    auto bar = menuBar();
    bar->setAccessibleName(QStringLiteral("メニュー"));
    auto add = [this](Control c, QAction* a) {
        a->setObjectName(ControlName(c));
        actions_.insert(c, a);
        return a;
    };
    add(Control::mnu_SERVER, bar->addAction(QStringLiteral("SERVER")));
    add(Control::mnu_Tray, bar->addAction(QStringLiteral("トレイ")));
    add(Control::mnu_SET, bar->addAction(QStringLiteral("設定")));
    QMenu* wave = bar->addMenu(QStringLiteral("波形"));
    wave->setAccessibleName(wave->title());
    add(Control::mnu_W, wave->menuAction());
    QAction* hyouji = add(Control::mnu_Hyouji, wave->addAction(QStringLiteral("波形表示")));
    hyouji->setCheckable(true);
    hyouji->setChecked(true);
    add(Control::mnu_Searh, bar->addAction(QStringLiteral("検索SERVER")));
    add(Control::mnu_Ver, bar->addAction(QStringLiteral("バ－ジョン")));
    add(Control::mnu_KILLTIMER, bar->addAction(QStringLiteral("TIMEROFF")));
    // A menu of its own: only a menu shows the check mark that tells the
    // user the other side hears nothing.
    QMenu* call = bar->addMenu(QStringLiteral("通話"));
    call->setAccessibleName(call->title());
    QAction* mute = add(Control::mnu_Mute, call->addAction(QStringLiteral("ミュート")));
    mute->setCheckable(true);
    mute->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    mute->setEnabled(false);
    add(Control::mnu_Confirm, call->addAction(secure::kConfirmAction))->setEnabled(false);
    add(Control::mnu_Accept, call->addAction(secure::kAcceptAction))->setEnabled(false);
    add(Control::mnu_History, bar->addAction(QStringLiteral("履歴")));

    // Never in the bar: the tray icon's pop-up.
    trayMenu_ = new QMenu(QStringLiteral("メニュ－"), this);
    trayMenu_->setObjectName(QStringLiteral("mun_MENU"));
    trayMenu_->setAccessibleName(trayMenu_->title());
    add(Control::mun_MENU, trayMenu_->menuAction());
    // The same action: one check mark, whichever menu it is chosen from.
    trayMenu_->addAction(mute);
    trayMenu_->addSeparator();
    add(Control::mnu_Disp, trayMenu_->addAction(QStringLiteral("表　示")));
    add(Control::nmu_BAR, trayMenu_->addSeparator());
    add(Control::mnu_END, trayMenu_->addAction(QStringLiteral("終了")));

    setupSurface();
}

MainForm::~MainForm() = default;

void MainForm::attach(Phone* phone, MessageBoxPort* boxes)
{
    phone_ = phone;
    boxes_ = boxes;
    connect(clibtn_, &QPushButton::clicked, this, [this] { phone_->CLIBTN_Click(); });
    connect(command3_, &QPushButton::clicked, this, [this] { phone_->Command3_Click(); });
    connect(command1_, &QPushButton::clicked, this, [this] { phone_->Command1_Click(); });
    auto on = [this](Control c, void (Phone::*slot)()) {
        Phone* target = phone_; // copied: this closure is gone when the action fires
        connect(actions_.value(c), &QAction::triggered, this, [target, slot] { (target->*slot)(); });
    };
    on(Control::mnu_SERVER, &Phone::mnu_SERVER_Click);
    on(Control::mnu_Tray, &Phone::mnu_Tray_Click);
    on(Control::mnu_SET, &Phone::mnu_SET_Click);
    on(Control::mnu_Searh, &Phone::mnu_Searh_Click);
    on(Control::mnu_Ver, &Phone::mnu_Ver_Click);
    on(Control::mnu_History, &Phone::mnu_History_Click);
    on(Control::mnu_Confirm, &Phone::mnu_Confirm_Click);
    on(Control::mnu_Accept, &Phone::mnu_Accept_Click);
    on(Control::mnu_KILLTIMER, &Phone::mnu_KILLTIMER_Click);
    on(Control::mnu_Disp, &Phone::mnu_Disp_Click);
    on(Control::mnu_END, &Phone::mnu_END_Click);
    // The check mark is the phone's to set: undo Qt's own toggle first.
    QAction* hyouji = actions_.value(Control::mnu_Hyouji);
    connect(hyouji, &QAction::triggered, this, [this, hyouji](bool checked) {
        hyouji->setChecked(!checked);
        phone_->mnu_Hyouji_Click();
    });
    QAction* mute = actions_.value(Control::mnu_Mute);
    connect(mute, &QAction::triggered, this, [this, mute](bool checked) {
        mute->setChecked(!checked);
        phone_->mnu_Mute_Click();
    });
}

// ---- MainWindowPort ----

void MainForm::setText1(const QString& text)
{
    text1_->setText(text);
    // Announced as it changes, also while the focus is elsewhere.
    text1_->setAccessibleDescription(text);
}
QString MainForm::text1() const
{
    return text1_->text();
}

void MainForm::setProtection(const QString& text)
{
    protection_->setText(text);
    // The name stays "通話の保護"; what it says now is announced as Text1's is.
    protection_->setAccessibleDescription(text);
}
QString MainForm::protection() const
{
    return protection_->text();
}

QWidget* MainForm::controlWidget(Control c) const
{
    switch (c) {
    case Control::Text1:
        return text1_;
    case Control::Command3:
        return command3_;
    case Control::CLIBTN:
        return clibtn_;
    case Control::Combo1:
        return combo1_;
    case Control::Command1:
        return command1_;
    default:
        return nullptr;
    }
}

void MainForm::setEnabled(Control c, bool enabled)
{
    if (QWidget* w = controlWidget(c))
        w->setEnabled(enabled);
    else if (QAction* a = actions_.value(c))
        a->setEnabled(enabled);
}

bool MainForm::isEnabled(Control c) const
{
    if (QWidget* w = controlWidget(c))
        return w->isEnabled();
    QAction* a = actions_.value(c);
    return a && a->isEnabled();
}

void MainForm::setChecked(Control c, bool checked)
{
    if (QAction* a = actions_.value(c))
        a->setChecked(checked);
}

bool MainForm::isChecked(Control c) const
{
    QAction* a = actions_.value(c);
    return a && a->isChecked();
}

void MainForm::clearCombo()
{
    combo1_->clear();
}
void MainForm::addComboItem(const QString& item)
{
    combo1_->addItem(item);
}

QStringList MainForm::comboItems() const
{
    QStringList out;
    for (int i = 0; i < combo1_->count(); ++i)
        out << combo1_->itemText(i);
    return out;
}

void MainForm::setComboText(const QString& text)
{
    combo1_->setEditText(text);
}
QString MainForm::comboText() const
{
    return combo1_->currentText();
}

void MainForm::setWindowVisible(bool visible)
{
    if (!visible && !trayAvailable_()) {
        // Hidden without a tray host there would be no way back: minimize.
        standInForTray(true);
        return;
    }
    if (standingInForTray_) {
        standInForTray(false);
        if (!visible) {
            hide();
            return;
        }
    }
    if (visible && !isVisible())
        activatePending_ = true;
    setVisible(visible);
    if (visible) {
        // A call brings the window back: in front, not behind other windows.
        raise();
        activateWindow();
    }
}

bool MainForm::isWindowVisible() const
{
    return isVisible();
}

void MainForm::popupTrayMenu(const QPoint& at)
{
    trayMenu_->popup(at);
}

QRect MainForm::windowRect() const
{
    return frameGeometry();
}

void MainForm::setupSurface()
{
    surface_ = QImage(central_->size(), QImage::Format_RGB32);
    surface_.fill(Qt::black);
    foreground_ = QColor(0, 255, 0);
    central_->update();
}

void MainForm::clearSurface()
{
    surface_.fill(Qt::black);
    central_->update();
}

void MainForm::drawPolyline(const QVector<QPoint>& points)
{
    QPainter p(&surface_);
    p.setPen(foreground_);
    p.drawPolyline(points.constData(), int(points.size()));
    central_->update();
}

void MainForm::standInForTray(bool on)
{
    QAction* menu = trayMenu_->menuAction();
    if (on == standingInForTray_) {
        if (on)
            showMinimized();
        return;
    }
    standingInForTray_ = on;
    if (on) {
        menuBar()->addAction(menu);
        showMinimized();
    } else {
        menuBar()->removeAction(menu);
        showNormal();
    }
}

void MainForm::showSettingsWindow()
{
    SetFORM dialog(phone_->dataDir(), *boxes_, this);
    modal_ = &dialog;
    dialog.exec();
    ActivateAfterModal();
}

void MainForm::showSearchWindow()
{
    SearchForm dialog(phone_->search, this);
    modal_ = &dialog;
    dialog.exec();
    ActivateAfterModal();
}

void MainForm::showHistoryWindow()
{
    history::HistoryForm dialog(phone_->historyWindow, this);
    modal_ = &dialog;
    dialog.exec();
    ActivateAfterModal();
}

void MainForm::endSession()
{
    if (!phone_ || phone_->exited())
        return;
    if (auto* settings = qobject_cast<SetFORM*>(modal_.data()))
        settings->closeByProgram();
    else if (auto* calls = qobject_cast<history::HistoryForm*>(modal_.data()))
        calls->reject();
    // Loaded but not shown counts too: no window of the program stays behind.
    phone_->search.Unload();
    phone_->mnu_END_Click();
}

void MainForm::unload()
{
    closingByProgram_ = true;
    close();
    emit unloaded();
}

// ---- activation and the close box ----

void MainForm::Activate()
{
    activatedOnce_ = true;
    activatePending_ = false;
    if (phone_ && !phone_->exited())
        phone_->Form_Activate();
}

void MainForm::ActivateAfterModal()
{
    // The window is activated again when a modal window closes; some
    // platforms send no activation then, so make sure it happens once.
    activatePending_ = true;
    QTimer::singleShot(0, this, [this] {
        if (activatePending_)
            Activate();
    });
}

bool MainForm::event(QEvent* e)
{
    // Switching to another program and back is not an activation of ours.
    if (e->type() == QEvent::WindowActivate && (!activatedOnce_ || activatePending_))
        Activate();
    return QMainWindow::event(e);
}

void MainForm::showEvent(QShowEvent* e)
{
    QMainWindow::showEvent(e);
    // Without a window manager no activation may come: the first showing counts.
    if (!activatedOnce_ || activatePending_)
        QTimer::singleShot(0, this, [this] {
            if (!activatedOnce_ || activatePending_)
                Activate();
        });
}

void MainForm::closeEvent(QCloseEvent* e)
{
    if (closingByProgram_ || !phone_ || !phone_->Form_QueryUnload(true)) {
        e->accept();
        return;
    }
    e->ignore();
}

} // namespace voxlet
