#pragma once
// The search window's logic and contents. The window object lives for the
// whole run (SelectedUser and CallPlaced with it); its controls start from
// their first state at every load. Writes to an unloaded window are dropped:
// a late server reply must not bring up a hidden window that nobody closes.

#include "call/call_context.h"

#include <QObject>
#include <QString>
#include <QStringList>

namespace voxlet {

class PeerProtocol;
class ServerProtocol;

class SearchWindow : public QObject, public SearchWindowPort {
    Q_OBJECT
public:
    SearchWindow(CallContext& call, PeerProtocol& peer, ServerProtocol& server);

    // Commands and events of the window.
    void Form_Load();
    void Form_Activate();
    void Form_Unload();
    void mnu_Connect_Click();
    void mnu_GlovalIP_Click();
    void mnu_CALL_Click();
    void mnu_CLOSE_Click();
    void List1_Click(int row);
    // The close box: refused with a warning.
    void RefuseClose();

    // Contents, as other parts of the phone write them.
    void ClearList() override;
    void AddLine(const QString& line) override;
    void ShowNobodyWaiting() override;
    void SetCallEnabled(bool enabled) override;
    void SetText1(const QString& text) override;
    void SetCloseCaption(const QString& caption) override;
    // Closed by program (an incoming search call): no refusal.
    void Unload() override;

    bool loaded() const { return loaded_; }
    bool shown() const { return shown_; }
    void setShown(bool shown) { shown_ = shown; }
    const QStringList& lines() const { return list1_; }
    bool callEnabled() const { return callEnabled_; }
    bool connectEnabled() const { return connectEnabled_; }
    QString text1() const { return text1_; }
    QString closeCaption() const { return closeCaption_; }

    // Kept for the whole run.
    int SelectedUser = 0;
    bool CallPlaced = false;

signals:
    // Contents changed: a shown view repaints from the getters.
    void changed();
    // The window is to disappear (unloaded by program or by its close menu).
    void closeRequested();

private:
    bool CallUp() const;

    CallContext& call_;
    PeerProtocol& peer_;
    ServerProtocol& server_;
    bool loaded_ = false;
    bool shown_ = false;
    QStringList list1_;
    bool nobodyWaiting_ = false; // list1_'s first line is the empty list's
    bool callEnabled_ = true;
    bool connectEnabled_ = true;
    QString text1_;
    QString closeCaption_ = kCloseCaption;
};

} // namespace voxlet
