#include "directory/search_window.h"

#include "call/hang_up.h"
#include "call/peer_protocol.h"
#include "call/server_protocol.h"
#include "call/voice_link.h"
#include "net/socket_layer.h"
#include "phonebook/phone_book_files.h"

namespace voxlet {

namespace {
const QString kNobodyWaiting = QStringLiteral("待機者は誰もいません。");
}

SearchWindow::SearchWindow(CallContext& call, PeerProtocol& peer, ServerProtocol& server)
    : call_(call)
    , peer_(peer)
    , server_(server)
{
}

void SearchWindow::Form_Load()
{
    // A fresh load starts from the window's first state.
    loaded_ = true;
    list1_.clear();
    nobodyWaiting_ = false;
    text1_.clear();
    closeCaption_ = kCloseCaption;
    connectEnabled_ = true;
    callEnabled_ = false;
    call_.st.SearchOpen = true;
    if (!call_.st.Listening)
        connectEnabled_ = false;
    emit changed();
}

void SearchWindow::Form_Activate()
{
    call_.st.SearchActive = true;
}

void SearchWindow::Form_Unload()
{
    call_.st.SearchOpen = false;
    loaded_ = false;
    shown_ = false;
    emit closeRequested();
}

void SearchWindow::mnu_Connect_Click()
{
    call_.shell.SetTimer1(60000);
    server_.ConnectAndRegister();
}

void SearchWindow::mnu_GlovalIP_Click()
{
    call_.st.GlobalIpRequest = true;
    call_.net.ConnectToServer(server_.ReadServerAddress());
}

// A second dial would take ExternalSocket over while the first call still
// holds it, leaving that call silent and never closed.
bool SearchWindow::CallUp() const
{
    return call_.st.ExternalSocket != 0 || call_.st.CallSocket != 0;
}

void SearchWindow::List1_Click(int row)
{
    if (list1_.isEmpty() || nobodyWaiting_ || row < 0)
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
    AppState& st = call_.st;
    st.CallerName = peer_.ReadOwnName(files::kProfileFile);
    const PhoneBookEntry& user = st.WaitingUsers[size_t(SelectedUser)];
    call_.link.Dialling(user.Address);
    call_.net.ConnectToPeer(st.ExternalSocket, user.Address);
    if (call_.log)
        call_.log->Dialled(true, user.Name, user.Address);
    CallPlaced = true;
    call_.shell.SetTimer2(1000);
}

void SearchWindow::mnu_CLOSE_Click()
{
    AppState& st = call_.st;
    if (CallPlaced) {
        // Our own hang-up: the capture stops at its next piece.
        HangUp(call_, st.ExternalSocket, { .stopVoice = false });
        call_.main.setText1(QStringLiteral("外部接続を切断しました。"));
    }
    st.SearchActive = false;
    Unload();
}

void SearchWindow::RefuseClose()
{
    call_.boxes.show(
        QStringLiteral("閉じるメニュ－から終了してください。"), MessageIcon::Exclamation, kAppTitle);
}

void SearchWindow::ClearList()
{
    if (!loaded_)
        return; // an unloaded window starts empty at its next load anyway
    list1_.clear();
    nobodyWaiting_ = false;
    emit changed();
}

void SearchWindow::ShowNobodyWaiting()
{
    if (!loaded_)
        return;
    // As a first line it makes the list empty; further down it is only text.
    nobodyWaiting_ = nobodyWaiting_ || list1_.isEmpty();
    list1_ << kNobodyWaiting;
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
