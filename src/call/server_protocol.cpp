#include "call/server_protocol.h"

#include "call/protocol_messages.h"
#include "call/runtime_error.h"
#include "net/socket_layer.h"
#include "phonebook/phone_book_files.h"

namespace voxlet {

namespace {
QString Piece(const QStringList& pieces, qsizetype i)
{
    if (i < 0 || i >= pieces.size())
        throw RuntimeError(err::SubscriptOutOfRange);
    return pieces.at(i);
}
const QString kNobodyWaiting = QStringLiteral("待機者は誰もいません。");
} // namespace

void ServerProtocol::ServerMessageHandler(const QString& text)
{
    AppState& st = ctx_.st;
    SearchWindowPort& search = ctx_.search;
    try {
        switch (protocol::RecogniseServerText(text)) {
        case protocol::ServerText::Hello:
            ctx_.main.setEnabled(Control::mnu_KILLTIMER, true);
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
                search.AddLine(kNobodyWaiting);
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
    } catch (const RuntimeError& e) {
        ctx_.boxes.show(e.description(), MessageIcon::None, kAppTitle);
    }
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
    return r.address;
}

void ServerProtocol::ConnectAndRegister()
{
    ctx_.net.ConnectToServer(ReadServerAddress());
    LoadProfile(QStringLiteral("name.txt"));
}

} // namespace voxlet
