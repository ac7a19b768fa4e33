#pragma once
// The texts two phones and a phone and its connection server exchange:
// built here, and recognised here by the keywords the receiving side looks
// for, in the order it looks. Pure functions, nothing else.

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

namespace voxlet::protocol {

// ---- between two phones ----

QString Greeting(); // "VOICEMSG:OK"
// "VOICEMSG:OK|" name "|END"; with an offer (from a Voxlet): "VOICEMSG:OK|" name "|" offer "|END"
QString DirectCallRequest(const QString& name, const QString& offer = {});
// "ANYBODYMSG:OK|" name "|END", or with an offer as above
QString SearchCallRequest(const QString& name, const QString& offer = {});
QString CallerProfile(const QString& name, const QString& sex, const QString& age, const QString& comment);
// "CallAnswer|END"; to an offer a Voxlet understood: "CallAnswer|" answer "|END"
QString Answer(const QString& answer = {});

// What a text read on the socket of a direct call (or the called side of a
// search call) is taken for: the first keyword found, in this order.
enum class PeerText { Nothing, Request, Answer, SearchRequest, Profile };
PeerText RecognisePeerText(const QString& text);

// The same for the socket of a search call we dialled.
enum class ExternalText { Nothing, Greeting, Answer };
ExternalText RecogniseExternalText(const QString& text);

// The length of the first message of a read that holds several: it ends
// after "|END" or the greeting where another message's keyword begins, and
// always after the answer, plain or with its field (the voice follows it).
// Otherwise the whole text: a message cut by the network, or one whose
// fields hold "END", stays whole.
qsizetype FirstMessageLength(const QString& text);

// ---- what two Voxlets add: the offer and the answer ----
//
// A field "vx" version, then ";key=value" items, in lowercase ASCII
// letters, digits and ; = . , : _ - only: no keyword any peer looks for can
// be among them. Version 1 knows "codec" (a list in the offerer's order;
// the answer names the one chosen); unknown keys are ignored, so that
// later additions ride along. An unknown version, or any other text, is no
// offer at all: a plain call.
struct VoxletField {
    QList<std::pair<QString, QString>> items; // in order, without "vx1"
    QString value(const QString& key) const;
};
constexpr qsizetype kMaxVoxletField = 512;
QString VoxletFieldText(const VoxletField& field); // "vx1;key=value..."
// Nothing for an absent field, garbage, or a version this phone does not speak.
std::optional<VoxletField> ParseVoxletField(QStringView text);
// The offer a call request carries: the field before the final "END" when
// a name precedes it (read from the end, as a name may hold "|"); empty
// when there is none, as from an old-style peer.
QString RequestOffer(const QString& request);
// What an answer is: the plain "CallAnswer|END", "CallAnswer|" field
// "|END", the start of either (the network cut it), or neither.
enum class AnswerKind { Plain, WithField, Incomplete, Garbage };
struct ReadAnswer {
    AnswerKind kind;
    QString field; // WithField: the field as it came
};
ReadAnswer ParseAnswer(const QString& answer);

// ---- between a phone and the connection server ----

// The directory's dial-back says "CONNECTBACK|" + the phone's token (32
// lowercase hex digits) + "|END" when it reaches the listener. True while
// the text is still only the beginning of such words (or empty).
bool CouldStartDialBack(const QString& text);
// A hello reply with the field "dialback": this directory can dial back.
bool OffersDialBack(const QString& helloReply);

QString Hello(); // "SERVEROK|END"
QString AddressRequest(); // "GETGLOVALIP|END"
struct Registration {
    bool searchActive = false; // "MYDATA|" while the search window is active, else "ADDITIONDATA|"
    QString name, sex, age, comment, pass, extra;
};
QString RegistrationText(const Registration& r);

enum class ServerText { Nothing, Hello, List, Address, End };
ServerText RecogniseServerText(const QString& text);
// A list that holds "ZERO" anywhere is the empty list.
bool IsEmptyList(const QString& text);

// ---- both ----

// The text's pieces, split at every "|", numbered from 0.
QStringList Pieces(const QString& text);
// Piece i; one beyond the last is the run-time error "subscript out of range".
QString Piece(const QStringList& pieces, qsizetype i);

} // namespace voxlet::protocol
