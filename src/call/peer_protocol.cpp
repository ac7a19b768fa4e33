#include "call/peer_protocol.h"

#include "audio/voice_io.h"
#include "call/hang_up.h"
#include "call/protocol_messages.h"
#include "call/runtime_error.h"
#include "call/voice_link.h"
#include "net/socket_layer.h"
#include "phonebook/phone_book_files.h"

namespace voxlet {

using protocol::Piece;

namespace {
const QString kTalkNow = QStringLiteral("つながりました。お話ください。");

// The dialled side answered: talk, wait for the rest of a cut answer, or
// end a call whose answer makes no sense.
void Answered(CallContext& ctx, int& socketVar, const QString& text)
{
    const AnswerOutcome outcome = ctx.link.Answered(text, socketVar);
    if (outcome.kind == AnswerOutcome::Wait)
        return;
    if (outcome.kind == AnswerOutcome::Refuse) {
        EndCall(ctx, socketVar, outcome.why);
        return;
    }
    ctx.st.VoiceMode = true;
    ctx.st.VoiceRecvCount = 0;
    StartTalk(ctx, socketVar);
    ctx.main.setText1(kTalkNow);
    if (ctx.log)
        ctx.log->Answered(&socketVar == &ctx.st.ExternalSocket);
}

// A call rings: only 応答 is offered, and Text1 says who calls.
void ShowCaller(CallContext& ctx, const QString& text, const QString& says)
{
    ctx.main.setEnabled(Control::Command3, true);
    ctx.main.setEnabled(Control::CLIBTN, false);
    ctx.main.setEnabled(Control::mnu_Searh, false);
    ctx.st.CallerName = FirstField(text);
    ctx.main.setText1(ctx.st.CallerName + says);
    if (ctx.log)
        ctx.log->Rings(ctx.st.CallerName, ctx.st.PeerAddress);
}
} // namespace

QString FirstField(const QString& text)
{
    return Piece(protocol::Pieces(text), 1);
}

void PeerProtocol::TextMessageHandler()
{
    AppState& st = ctx_.st;
    TrapRuntimeErrors(ctx_, [&] {
        const QString text = st.RecvText;
        switch (protocol::RecognisePeerText(text)) {
        case protocol::PeerText::Request:
            if (st.OutgoingCall) {
                ctx_.link.Greeted(text);
                ctx_.shell.PlayRingBack();
                return;
            }
            ctx_.link.Requested(text);
            ShowCaller(ctx_, text, QStringLiteral("さんからの電話です。"));
            if (st.TrayIconShown)
                ctx_.shell.RestoreFromTray();
            ctx_.shell.PlayRing(LookupRingFile());
            break;
        case protocol::PeerText::Answer:
            // Only our own dial waits for an answer: on the called side only
            // the user's 応答 may open the microphone.
            if (!st.OutgoingCall || !st.Connected)
                return;
            Answered(ctx_, st.CallSocket, text);
            break;
        case protocol::PeerText::SearchRequest:
            ctx_.link.Requested(text);
            ShowCaller(ctx_, text, QStringLiteral("さんからの外部接続電話です。"));
            if (st.SearchOpen)
                ctx_.search.Unload();
            if (st.TrayIconShown)
                ctx_.shell.RestoreFromTray();
            ctx_.shell.PlayRing(QStringLiteral("Anybody.wav"));
            break;
        case protocol::PeerText::Profile: {
            const QStringList pieces = protocol::Pieces(text);
            CallerProfile p;
            p.name = Piece(pieces, 1);
            p.sex = Piece(pieces, 2);
            p.age = Piece(pieces, 3);
            p.comment = Piece(pieces, 4);
            profile_ = p;
            break;
        }
        case protocol::PeerText::Nothing:
            break;
        }
    });
}

void PeerProtocol::ExternalMessageHandler()
{
    AppState& st = ctx_.st;
    TrapRuntimeErrors(ctx_, [&] {
        switch (protocol::RecogniseExternalText(st.RecvText)) {
        case protocol::ExternalText::Greeting:
            ctx_.link.Greeted(st.RecvText);
            st.SendText
                = protocol::CallerProfile(st.ProfileName, st.ProfileSex, st.ProfileAge, st.ProfileComment);
            ctx_.net.SendTextMessage(st.ExternalSocket);
            st.RingStop = false;
            ctx_.shell.PlayRingBack();
            break;
        case protocol::ExternalText::Answer:
            if (!st.Connected)
                return;
            Answered(ctx_, st.ExternalSocket, st.RecvText);
            if (st.VoiceMode)
                ctx_.search.SetCloseCaption(QStringLiteral("電話を切る"));
            break;
        case protocol::ExternalText::Nothing:
            break;
        }
    });
}

QString PeerProtocol::LookupRingFile()
{
    AppState& st = ctx_.st;
    const files::LookupResult r
        = files::LookupRingFile(ctx_.dataDir, st.CallerName, st.PeerAddress, st.PhoneBook);
    if (!r.failure)
        return r.ringFile;
    // A phone with no phone book yet is normal: it just rings plainly. Any
    // other failure is told, but the call still rings audibly.
    if (r.failure->number != err::FileNotFound)
        ctx_.boxes.show(r.failure->description, MessageIcon::None, kAppTitle);
    return files::kDefaultRingFile;
}

QString PeerProtocol::ReadOwnName(const QString& fileName)
{
    return files::ReadOwnName(ctx_.dataDir, fileName);
}

} // namespace voxlet
