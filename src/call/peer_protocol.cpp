#include "call/peer_protocol.h"

#include "call/runtime_error.h"
#include "phonebook/phone_book_files.h"
#include "shell/phone.h"

namespace voxlet {

namespace {
QString Piece(const QStringList& pieces, int i)
{
    if (i < 0 || i >= pieces.size())
        throw RuntimeError(err::SubscriptOutOfRange);
    return pieces.at(i);
}
}  // namespace

QString FirstField(const QString& text)
{
    return Piece(text.split(QLatin1Char('|')), 1);
}

void PeerProtocol::TextMessageHandler()
{
    AppState& st = phone_.st;
    MainWindowPort& main = phone_.main;
    try {
        const QString text = st.RecvText;
        if (text.contains(QLatin1String("VOICEMSG"))) {
            if (st.OutgoingCall) {
                phone_.PlayRingBack();
                return;
            }
            main.setEnabled(Control::Command3, true);
            main.setEnabled(Control::CLIBTN, false);
            main.setEnabled(Control::mnu_Searh, false);
            st.CallerName = FirstField(text);
            main.setText1(st.CallerName + QStringLiteral("さんからの電話です。"));
            if (st.TrayIconShown)
                phone_.RestoreFromTray();
            phone_.PlayRing(LookupRingFile());
        } else if (text.contains(QLatin1String("CallAnswer"))) {
            // Only our own dial waits for an answer: on the called side only
            // the user's 応答 may open the microphone.
            if (!st.OutgoingCall || !st.Connected)
                return;
            st.VoiceMode = true;
            st.VoiceRecvCount = 0;
            phone_.voice.StartCapture();
            main.setText1(QStringLiteral("つながりました。お話ください。"));
        } else if (text.contains(QLatin1String("ANYBODYMSG"))) {
            main.setEnabled(Control::Command3, true);
            main.setEnabled(Control::CLIBTN, false);
            main.setEnabled(Control::mnu_Searh, false);
            st.CallerName = FirstField(text);
            main.setText1(st.CallerName + QStringLiteral("さんからの外部接続電話です。"));
            if (st.SearchOpen)
                phone_.search.Unload();
            if (st.TrayIconShown)
                phone_.RestoreFromTray();
            phone_.PlayRing(QStringLiteral("Anybody.wav"));
        } else if (text.contains(QLatin1String("AnybadyConnect"))) {
            const QStringList pieces = text.split(QLatin1Char('|'));
            CallerProfile p;
            p.name = Piece(pieces, 1);
            p.sex = Piece(pieces, 2);
            p.age = Piece(pieces, 3);
            p.comment = Piece(pieces, 4);
            profile_ = p;
        }
    } catch (const RuntimeError& e) {
        phone_.boxes.show(e.description(), MessageIcon::None, kAppTitle);
    }
}

void PeerProtocol::ExternalMessageHandler()
{
    AppState& st = phone_.st;
    try {
        const QString text = st.RecvText;
        if (text.contains(QLatin1String("VOICEMSG"))) {
            st.SendText = QStringLiteral("AnybadyConnect|") + st.ProfileName + QLatin1Char('|') + st.ProfileSex
                + QLatin1Char('|') + st.ProfileAge + QLatin1Char('|') + st.ProfileComment + QStringLiteral("|END");
            phone_.net.SendTextMessage(st.ExternalSocket);
            st.RingStop = false;
            phone_.PlayRingBack();
        } else if (text.contains(QLatin1String("CallAnswer"))) {
            if (!st.Connected)
                return;
            st.VoiceMode = true;
            st.VoiceRecvCount = 0;
            phone_.voice.StartCapture();
            phone_.main.setText1(QStringLiteral("つながりました。お話ください。"));
            phone_.search.SetCloseCaption(QStringLiteral("電話を切る"));
        }
    } catch (const RuntimeError& e) {
        phone_.boxes.show(e.description(), MessageIcon::None, kAppTitle);
    }
}

QString PeerProtocol::LookupRingFile()
{
    AppState& st = phone_.st;
    const files::LookupResult r
        = files::LookupRingFile(phone_.dataDir(), st.CallerName, st.PeerAddress, st.PhoneBook);
    if (!r.failure)
        return r.ringFile;
    // A phone with no phone book yet is normal: it just rings plainly. Any
    // other failure is told, but the call still rings audibly.
    if (r.failure->number != err::FileNotFound)
        phone_.boxes.show(r.failure->description, MessageIcon::None, kAppTitle);
    return files::kDefaultRingFile;
}

QString PeerProtocol::ReadOwnName(const QString& fileName)
{
    return files::ReadOwnName(phone_.dataDir(), fileName);
}

}  // namespace voxlet
