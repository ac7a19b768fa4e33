#include "call/server_protocol.h"

#include "call/runtime_error.h"
#include "phonebook/phone_book_files.h"
#include "shell/phone.h"

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
    AppState& st = phone_.st;
    SearchWindow& search = phone_.search;
    try {
        if (text.contains(QLatin1String("SERVEROK"))) {
            phone_.main.setEnabled(Control::mnu_KILLTIMER, true);
            if (st.GlobalIpRequest) {
                st.GlobalIpRequest = false;
                st.SendText = QStringLiteral("GETGLOVALIP|END");
            } else {
                st.SendText = (st.SearchActive ? QStringLiteral("MYDATA|") : QStringLiteral("ADDITIONDATA|"))
                    + st.ProfileName + QLatin1Char('|') + st.ProfileSex + QLatin1Char('|') + st.ProfileAge
                    + QLatin1Char('|') + st.ProfileComment + QLatin1Char('|') + st.ProfilePass
                    + QLatin1Char('|') + st.ProfileExtra + QStringLiteral("|END");
            }
            phone_.net.SendTextMessage(st.ServerSocket);
        } else if (text.contains(QLatin1String("ClientData"))) {
            search.ClearList();
            search.SetCallEnabled(false);
            const QStringList pieces = text.split(QLatin1Char('|'));
            const qsizetype n = pieces.size() - 1;
            if (text.contains(QLatin1String("ZERO"))) {
                search.AddLine(kNobodyWaiting);
                phone_.net.ShutdownAndClose(st.ServerSocket);
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
            phone_.net.ShutdownAndClose(st.ServerSocket);
            st.ServerInfoText = Piece(pieces, n - 1);
            search.SetText1(st.ServerInfoText);
        } else if (text.contains(QLatin1String("YOURGLOVALIP"))) {
            st.ServerInfoText = Piece(text.split(QLatin1Char('|')), 1);
            search.SetText1(st.ServerInfoText);
            phone_.net.ShutdownAndClose(st.ServerSocket);
        } else if (text.contains(QLatin1String("DISCONNECT"))) {
            phone_.net.ShutdownAndClose(st.ServerSocket);
        }
    } catch (const RuntimeError& e) {
        phone_.boxes.show(e.description(), MessageIcon::None, kAppTitle);
    }
}

void ServerProtocol::LoadProfile(const QString& fileName)
{
    AppState& st = phone_.st;
    const files::ProfileFields f = files::LoadProfile(phone_.dataDir(), fileName);
    st.ProfileName = f.name;
    st.ProfileSex = f.sex;
    st.ProfileAge = f.age;
    st.ProfilePass = f.pass;
    st.ProfileComment = f.comment;
}

QString ServerProtocol::ReadServerAddress()
{
    const files::ServerAddressResult r = files::ReadServerAddress(phone_.dataDir());
    if (r.failure)
        phone_.boxes.show(QString::number(r.failure->number), MessageIcon::None, kAppTitle);
    return r.address;
}

void ServerProtocol::ConnectAndRegister()
{
    phone_.net.ConnectToServer(ReadServerAddress());
    LoadProfile(QStringLiteral("name.txt"));
}

} // namespace voxlet
