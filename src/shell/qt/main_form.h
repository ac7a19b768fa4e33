#pragma once
// The main window: status line, dial box, call, answer and exit buttons, the
// menu bar and the waveform surface. A thin view: every command goes to the Phone.

#include "call/ports.h"

#include <QImage>
#include <QMainWindow>
#include <QMap>
#include <QPointer>

#include <functional>

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QDialog;

namespace voxlet {

class Phone;

class MainForm : public QMainWindow, public MainWindowPort {
    Q_OBJECT
public:
    explicit MainForm(QWidget* parent = nullptr);
    ~MainForm() override;

    void attach(Phone* phone, MessageBoxPort* boxes);

    // MainWindowPort
    void setText1(const QString& text) override;
    QString text1() const override;
    void setProtection(const QString& text) override;
    QString protection() const override;
    void setEnabled(Control c, bool enabled) override;
    bool isEnabled(Control c) const override;
    void setChecked(Control c, bool checked) override;
    bool isChecked(Control c) const override;
    void clearCombo() override;
    void addComboItem(const QString& item) override;
    QStringList comboItems() const override;
    void setComboText(const QString& text) override;
    QString comboText() const override;
    void setWindowVisible(bool visible) override;
    bool isWindowVisible() const override;
    void popupTrayMenu(const QPoint& at) override;
    QRect windowRect() const override;
    void setupSurface() override;
    void clearSurface() override;
    void drawPolyline(const QVector<QPoint>& points) override;
    void showSettingsWindow() override;
    void showSearchWindow() override;
    void showHistoryWindow() override;
    void unload() override;

    QAction* action(Control c) const { return actions_.value(c); }
    QMenu* trayMenu() const { return trayMenu_; }
    const QImage& surface() const { return surface_; }

    // Whether a tray host is there to take the icon, asked at each hiding;
    // without one the window is minimized instead and the tray menu's
    // commands move into the menu bar. Tests replace the question.
    void setTrayAvailability(std::function<bool()> available) { trayAvailable_ = std::move(available); }

    // The session ends or the program is told to stop: the settings and
    // search windows close, and the program ends as the tray menu's "終了"
    // ends it. Nothing happens once the program has ended.
    void endSession();

signals:
    void unloaded();

protected:
    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void showEvent(QShowEvent* e) override;

private:
    void Activate();
    void ActivateAfterModal();
    void standInForTray(bool on);
    // The widget of a control that is one (null: a menu entry).
    QWidget* controlWidget(Control c) const;

    class Surface;
    Phone* phone_ = nullptr;
    MessageBoxPort* boxes_ = nullptr;
    Surface* central_ = nullptr;
    QLineEdit* text1_ = nullptr;
    QPushButton* command3_ = nullptr;
    QPushButton* clibtn_ = nullptr;
    QComboBox* combo1_ = nullptr;
    QPushButton* command1_ = nullptr;
    QLabel* protection_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    QMap<Control, QAction*> actions_;
    QImage surface_;
    QColor foreground_ = Qt::green;
    bool closingByProgram_ = false;
    bool activatedOnce_ = false;
    bool activatePending_ = false;
    std::function<bool()> trayAvailable_;
    bool standingInForTray_ = false;
    QPointer<QDialog> modal_; // the settings, search or history window while it is open
};

} // namespace voxlet
