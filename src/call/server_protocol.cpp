#include "call/server_protocol.h"

#include "call/protocol_messages.h"
#include "call/runtime_error.h"
#include "net/socket_layer.h"
#include "phonebook/phone_book_files.h"

#include <utility>

namespace voxlet {

namespace {
using protocol::Piece;
// More than the longest list the phone can show (100 users of long fields).
constexpr qsizetype kServerReplyChars = 128 * 1024;
} // namespace

void ServerProtocol::ServerMessageHandler(const QString& text)
{
    AppState& st = ctx_.st;
    SearchWindowPort& search = ctx_.search;
    TrapRuntimeErrors(ctx_, [&] {
        switch (protocol::RecogniseServerText(text)) {
        case protocol::ServerText::Hello:
            ctx_.main.setEnabled(Control::mnu_KILLTIMER, true);
            ctx_.shell.DirectoryDialsBack(host_, protocol::OffersDialBack(text));
            if (st.GlobalIpRequest) {
                st.GlobalIpRequest = false;
                st.SendText = protocol::AddressRequest();
            } else {
                st.SendText = protocol::RegistrationText({ st.SearchActive, st.ProfileName, st.ProfileSex,
                    st.ProfileAge, st.ProfileComment, st.ProfilePass, st.ProfileExtra });
            }
            ctx_.net.SendTextMessage(st.ServerSocket);
            break;
        case protocol::ServerText::List: {
            search.ClearList();
            search.SetCallEnabled(false);
            const QStringList pieces = protocol::Pieces(text);
            const qsizetype n = pieces.size() - 1;
            if (protocol::IsEmptyList(text)) {
                search.ShowNobodyWaiting();
                ctx_.net.ShutdownAndClose(st.ServerSocket);
                st.ServerInfoText = Piece(pieces, 2);
                search.SetText1(st.ServerInfoText);
                return;
            }
            for (qsizetype i = 1; i <= n - 3; i += 6) {
                search.AddLine(Piece(pieces, i) + QLatin1Char(' ') + Piece(pieces, i + 1) + QLatin1Char(' ')
                    + Piece(pieces, i + 2) + QLatin1Char(' ') + Piece(pieces, i + 3) + QStringLiteral(" [")
                    + Piece(pieces, i + 4) + QLatin1Char(']'));
                const qsizetype k = i / 6 + 1;
                if (k >= kWaitingUserSlots)
                    throw RuntimeError(err::SubscriptOutOfRange);
                st.WaitingUsers[size_t(k)].Name = Piece(pieces, i + 1);
                st.WaitingUsers[size_t(k)].Address = Piece(pieces, i + 5);
            }
            ctx_.net.ShutdownAndClose(st.ServerSocket);
            st.ServerInfoText = Piece(pieces, n - 1);
            search.SetText1(st.ServerInfoText);
            break;
        }
        case protocol::ServerText::Address:
            st.ServerInfoText = Piece(protocol::Pieces(text), 1);
            search.SetText1(st.ServerInfoText);
            ctx_.net.ShutdownAndClose(st.ServerSocket);
            break;
        case protocol::ServerText::End:
            ctx_.net.ShutdownAndClose(st.ServerSocket);
            break;
        case protocol::ServerText::Nothing:
            break;
        }
    });
}

void ServerProtocol::Connected()
{
    AppState& st = ctx_.st;
    reply_.clear();
    ctx_.net.Select(st.ServerSocket, FD_READ | FD_CLOSE);
    st.SendText = protocol::Hello();
    ctx_.net.SendTextMessage(st.ServerSocket);
}

void ServerProtocol::ReplyReceived(const QString& piece)
{
    reply_ += piece;
    if (reply_.endsWith(QLatin1String("END")) || reply_.size() >= kServerReplyChars)
        HandReply();
}

void ServerProtocol::Closed()
{
    AppState& st = ctx_.st;
    const int closed = st.ServerSocket;
    if (!reply_.isEmpty())
        HandReply();
    // The reply's handler may have closed it already.
    if (st.ServerSocket != 0 && st.ServerSocket == closed)
        ctx_.net.ShutdownAndClose(st.ServerSocket);
}

void ServerProtocol::HandReply()
{
    // Cleared first: the handler's own events may start the next exchange.
    const QString reply = std::exchange(reply_, QString());
    ServerMessageHandler(reply);
}

void ServerProtocol::LoadProfile(const QString& fileName)
{
    AppState& st = ctx_.st;
    const files::ProfileFields f = files::LoadProfile(ctx_.dataDir, fileName);
    st.ProfileName = f.name;
    st.ProfileSex = f.sex;
    st.ProfileAge = f.age;
    st.ProfilePass = f.pass;
    st.ProfileComment = f.comment;
}

QString ServerProtocol::ReadServerAddress()
{
    const files::ServerAddressResult r = files::ReadServerAddress(ctx_.dataDir);
    if (r.failure)
        ctx_.boxes.show(QString::number(r.failure->number), MessageIcon::None, kAppTitle);
    host_ = r.address;
    return r.address;
}

void ServerProtocol::ConnectAndRegister()
{
    ctx_.net.ConnectToServer(ReadServerAddress());
    LoadProfile(files::kProfileFile);
}

} // namespace voxlet
