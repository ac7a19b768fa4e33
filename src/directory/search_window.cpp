#include "directory/search_window.h"

#include "shell/phone.h"

namespace voxlet {

namespace {
const QString kNobodyWaiting = QStringLiteral("待機者は誰もいません。");
}

SearchWindow::SearchWindow(Phone& phone)
    : phone_(phone)
{
}

void SearchWindow::Form_Load()
{
    // A fresh load starts from the window's first state.
    loaded_ = true;
    list1_.clear();
    text1_.clear();
    closeCaption_ = QStringLiteral("閉じる");
    connectEnabled_ = true;
    callEnabled_ = false;
    phone_.st.SearchOpen = true;
    if (!phone_.st.Listening)
        connectEnabled_ = false;
    emit changed();
}

void SearchWindow::Form_Activate()
{
    phone_.st.SearchActive = true;
}

void SearchWindow::Form_Unload()
{
    phone_.st.SearchOpen = false;
    loaded_ = false;
    shown_ = false;
    emit closeRequested();
}

void SearchWindow::EnsureLoaded()
{
    if (!loaded_)
        Form_Load();
}

void SearchWindow::mnu_Connect_Click()
{
    phone_.Timer1.setInterval(60000);
    phone_.server.ConnectAndRegister();
}

void SearchWindow::mnu_GlovalIP_Click()
{
    phone_.st.GlobalIpRequest = true;
    phone_.net.ConnectToServer(phone_.server.ReadServerAddress());
}

// A second dial would take ExternalSocket over while the first call still
// holds it, leaving that call silent and never closed.
bool SearchWindow::CallUp() const
{
    return phone_.st.ExternalSocket != 0 || phone_.st.CallSocket != 0;
}

void SearchWindow::List1_Click(int row)
{
    if (list1_.isEmpty() || list1_.first() == kNobodyWaiting || row < 0)
        return;
    callEnabled_ = !CallUp();
    SelectedUser = row + 1;
    emit changed();
}

void SearchWindow::mnu_CALL_Click()
{
    // A line beyond the table (the 101st) has no address: dial nothing.
    if (SelectedUser < 0 || SelectedUser >= kWaitingUserSlots || CallUp())
        return;
    callEnabled_ = false;
    connectEnabled_ = false;
    emit changed();
    AppState& st = phone_.st;
    st.CallerName = phone_.peer.ReadOwnName(QStringLiteral("name.txt"));
    phone_.net.ConnectToPeer(st.ExternalSocket, st.WaitingUsers[size_t(SelectedUser)].Address);
    CallPlaced = true;
    phone_.Timer2.setInterval(1000);
}

void SearchWindow::mnu_CLOSE_Click()
{
    AppState& st = phone_.st;
    if (CallPlaced) {
        if (st.ExternalSocket != 0)
            phone_.net.ShutdownAndClose(st.ExternalSocket);
        st.RingStop = true;
        st.VoiceMode = false;
        st.Connected = false;
        phone_.main.setText1(QStringLiteral("外部接続を切断しました。"));
    }
    st.SearchActive = false;
    Unload();
}

void SearchWindow::RefuseClose()
{
    phone_.boxes.show(
        QStringLiteral("閉じるメニュ－から終了してください。"), MessageIcon::Exclamation, kAppTitle);
}

void SearchWindow::ClearList()
{
    if (!loaded_)
        return; // an unloaded window starts empty at its next load anyway
    list1_.clear();
    emit changed();
}

void SearchWindow::AddLine(const QString& line)
{
    if (!loaded_)
        return;
    list1_ << line;
    emit changed();
}

void SearchWindow::SetCallEnabled(bool enabled)
{
    if (!loaded_)
        return;
    callEnabled_ = enabled;
    emit changed();
}

void SearchWindow::SetText1(const QString& text)
{
    if (!loaded_)
        return;
    text1_ = text;
    emit changed();
}

void SearchWindow::SetCloseCaption(const QString& caption)
{
    if (!loaded_)
        return;
    closeCaption_ = caption;
    emit changed();
}

void SearchWindow::Unload()
{
    if (loaded_)
        Form_Unload();
}

} // namespace voxlet
