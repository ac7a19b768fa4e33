#pragma once
// A recording main window and tray: what the call logic did to them.

#include "call/ports.h"
#include "shell/call_notifier.h"
#include "shell/sleep_inhibitor.h"

#include <QMap>

namespace voxlet::test {

class FakeMainWindow : public MainWindowPort {
public:
    FakeMainWindow();

    void setText1(const QString& text) override
    {
        text1_ = text;
        texts << text;
    }
    QString text1() const override { return text1_; }
    void setProtection(const QString& text) override { protection_ = text; }
    QString protection() const override { return protection_; }
    void setEnabled(Control c, bool enabled) override { enabled_[c] = enabled; }
    bool isEnabled(Control c) const override { return enabled_.value(c, true); }
    void setChecked(Control c, bool checked) override { checked_[c] = checked; }
    bool isChecked(Control c) const override { return checked_.value(c, false); }
    void clearCombo() override { combo_.clear(); }
    void addComboItem(const QString& item) override { combo_ << item; }
    QStringList comboItems() const override { return combo_; }
    void setComboText(const QString& text) override { comboText_ = text; }
    QString comboText() const override { return comboText_; }
    void setWindowVisible(bool visible) override { visible_ = visible; }
    bool isWindowVisible() const override { return visible_; }
    void popupTrayMenu(const QPoint&) override { ++popups; }
    QRect windowRect() const override { return rect; }
    void setupSurface() override { ++surfaceSetups; }
    void clearSurface() override { ++clears; }
    void drawPolyline(const QVector<QPoint>& points) override
    {
        lastPolyline = points;
        ++draws;
    }
    void showSettingsWindow() override { ++settingsShown; }
    void showSearchWindow() override { ++searchShown; }
    void showHistoryWindow() override { ++historyShown; }
    void unload() override { unloaded = true; }

    QStringList texts; // every status text, in order
    int popups = 0, surfaceSetups = 0, clears = 0, draws = 0, settingsShown = 0, searchShown = 0,
        historyShown = 0;
    bool unloaded = false;
    QRect rect { 0, 0, 745, 306 };
    QVector<QPoint> lastPolyline;

private:
    QString text1_;
    QString protection_;
    QMap<Control, bool> enabled_;
    QMap<Control, bool> checked_;
    QStringList combo_;
    QString comboText_;
    bool visible_ = true;
};

class FakeTray : public TrayPort {
public:
    void addIcon(const QString& tooltip) override
    {
        shown = true;
        this->tooltip = tooltip;
        ++adds;
    }
    void deleteIcon() override
    {
        shown = false;
        ++deletes;
    }
    void setStatus(const QString& line) override { status = line; }
    bool shown = false;
    QString tooltip;
    QString status;
    int adds = 0, deletes = 0;
};

// Records the desktop notices; a test plays the user's clicks on them.
class FakeNotifier : public CallNotifier {
public:
    void ShowIncoming(const QString& text) override
    {
        incoming = text;
        shown = true;
        ++shows;
    }
    void WithdrawIncoming() override { shown = false; }
    void ShowMissed(const QString& caller, const QString&, const QTime& at) override
    {
        missed << caller + at.toString(QStringLiteral(" HH:mm"));
    }
    void ShowReachability(const QString& text) override { reachability << text; }
    void ShowRefused(const QString& address, const QTime&) override { refused << address; }

    bool shown = false;
    QStringList refused;
    int shows = 0;
    QString incoming;
    QStringList missed;
    QStringList reachability;
};

// Records whether the desktop is kept awake.
class FakeInhibitor : public SleepInhibitor {
public:
    void Inhibit(const QString&) override { held = true; }
    void Uninhibit() override { held = false; }
    bool held = false;
};

} // namespace voxlet::test
