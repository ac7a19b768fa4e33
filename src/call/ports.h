#pragma once
// The narrow interfaces through which the call logic reaches windows, message
// boxes and the tray. Real widgets implement them in the program; tests use
// recording fakes or the real widgets offscreen.

#include <QPoint>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QVector>

namespace voxlet {

// The program's name: its message boxes' title, and how it names itself
// to the desktop, the sound server and the router.
inline constexpr char kAppName[] = "Voxlet";
inline const QString kAppTitle = QLatin1String(kAppName);

// Controls and menu entries of the main window, by the names the UI gives them.
enum class Control {
    Text1,
    Command3,
    CLIBTN,
    Combo1,
    Command1,
    mnu_SERVER,
    mnu_Tray,
    mnu_SET,
    mnu_W,
    mnu_Hyouji,
    mnu_Searh,
    mnu_Ver,
    mnu_KILLTIMER,
    mun_MENU,
    mnu_Disp,
    nmu_BAR,
    mnu_END,
    mnu_Mute,
    mnu_History,
    mnu_Confirm, // 確認済みにする
    mnu_Accept, // このまま話す
};

QString ControlName(Control c);

class MainWindowPort {
public:
    virtual ~MainWindowPort() = default;

    virtual void setText1(const QString& text) = 0;
    virtual QString text1() const = 0;
    // "通話の保護": the call's protection during a call, empty between
    // calls; a screen reader hears every change.
    virtual void setProtection(const QString& text) = 0;
    virtual QString protection() const = 0;

    virtual void setEnabled(Control c, bool enabled) = 0;
    virtual bool isEnabled(Control c) const = 0;
    virtual void setChecked(Control c, bool checked) = 0;
    virtual bool isChecked(Control c) const = 0;

    virtual void clearCombo() = 0;
    virtual void addComboItem(const QString& item) = 0;
    virtual QStringList comboItems() const = 0;
    virtual void setComboText(const QString& text) = 0;
    virtual QString comboText() const = 0;

    virtual void setWindowVisible(bool visible) = 0;
    virtual bool isWindowVisible() const = 0;
    virtual void popupTrayMenu(const QPoint& at) = 0;

    // The outer rectangle of the window (GetWindowRect).
    virtual QRect windowRect() const = 0;

    // The persistent drawing surface above the row of controls.
    virtual void setupSurface() = 0;
    virtual void clearSurface() = 0;
    virtual void drawPolyline(const QVector<QPoint>& points) = 0;

    // Modal windows opened from the menu; they return when closed.
    virtual void showSettingsWindow() = 0;
    virtual void showSearchWindow() = 0;
    virtual void showHistoryWindow() = 0;

    // Unload the window by program: ends the program's event loop.
    virtual void unload() = 0;
};

enum class MessageIcon { None, Critical, Exclamation };

class MessageBoxPort {
public:
    virtual ~MessageBoxPort() = default;
    // Shows a box with an OK button; returns when the user has closed it.
    virtual void show(const QString& text, MessageIcon icon, const QString& title) = 0;
    // A question with "はい" and "いいえ"; true for yes. A box that cannot ask says no.
    virtual bool ask(const QString&, const QString&) { return false; }
};

class TrayPort {
public:
    virtual ~TrayPort() = default;
    virtual void addIcon(const QString& tooltip) = 0;
    virtual void deleteIcon() = 0;
    // A line shown under the tooltip: whether callers from outside reach the phone.
    virtual void setStatus(const QString&) { }
};

} // namespace voxlet
