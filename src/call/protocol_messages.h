#pragma once
// The texts two phones and a phone and its connection server exchange:
// built here, and recognised here by the keywords the receiving side looks
// for, in the order it looks. Pure functions, nothing else.

#include <QString>
#include <QStringList>

namespace voxlet::protocol {

// ---- between two phones ----

QString Greeting(); // "VOICEMSG:OK"
QString DirectCallRequest(const QString& name); // "VOICEMSG:OK|" name "|END"
QString SearchCallRequest(const QString& name); // "ANYBODYMSG:OK|" name "|END"
QString CallerProfile(const QString& name, const QString& sex, const QString& age, const QString& comment);
QString Answer(); // "CallAnswer|END"

// What a text read on the socket of a direct call (or the called side of a
// search call) is taken for: the first keyword found, in this order.
enum class PeerText { Nothing, Request, Answer, SearchRequest, Profile };
PeerText RecognisePeerText(const QString& text);

// The same for the socket of a search call we dialled.
enum class ExternalText { Nothing, Greeting, Answer };
ExternalText RecogniseExternalText(const QString& text);

// The length of the first message of a read that holds several: it ends
// after "|END" or the greeting where another message's keyword begins, and
// always after the answer (the voice follows it). Otherwise the whole text:
// a message cut by the network, or one whose fields hold "END", stays whole.
qsizetype FirstMessageLength(const QString& text);

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
