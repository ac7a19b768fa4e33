#include "call/protocol_messages.h"

#include "call/runtime_error.h"

#include <initializer_list>
#include <utility>

namespace voxlet::protocol {

namespace {
const QLatin1String kCallKeyword("VOICEMSG");
const QLatin1String kAnswerKeyword("CallAnswer");
const QLatin1String kSearchCallKeyword("ANYBODYMSG");
const QLatin1String kProfileKeyword("AnybadyConnect");
const QLatin1String kHelloKeyword("SERVEROK");
const QLatin1String kListKeyword("ClientData");
const QLatin1String kAddressKeyword("YOURGLOVALIP");
const QLatin1String kEndKeyword("DISCONNECT");
const QLatin1String kEmptyListKeyword("ZERO");

// The kind of the first keyword in the list that the text contains: the
// list's order is the order of precedence.
template <class Kind>
Kind FirstKeyword(const QString& text, std::initializer_list<std::pair<QLatin1String, Kind>> keywords)
{
    for (const auto& [keyword, kind] : keywords)
        if (text.contains(keyword))
            return kind;
    return Kind::Nothing;
}
} // namespace

QString Greeting()
{
    return QStringLiteral("VOICEMSG:OK");
}

QString DirectCallRequest(const QString& name)
{
    return QStringLiteral("VOICEMSG:OK|") + name + QStringLiteral("|END");
}

QString SearchCallRequest(const QString& name)
{
    return QStringLiteral("ANYBODYMSG:OK|") + name + QStringLiteral("|END");
}

QString CallerProfile(const QString& name, const QString& sex, const QString& age, const QString& comment)
{
    return QStringLiteral("AnybadyConnect|") + name + QLatin1Char('|') + sex + QLatin1Char('|') + age
        + QLatin1Char('|') + comment + QStringLiteral("|END");
}

QString Answer()
{
    return QStringLiteral("CallAnswer|END");
}

PeerText RecognisePeerText(const QString& text)
{
    return FirstKeyword<PeerText>(text,
        { { kCallKeyword, PeerText::Request }, { kAnswerKeyword, PeerText::Answer },
            { kSearchCallKeyword, PeerText::SearchRequest }, { kProfileKeyword, PeerText::Profile } });
}

ExternalText RecogniseExternalText(const QString& text)
{
    return FirstKeyword<ExternalText>(
        text, { { kCallKeyword, ExternalText::Greeting }, { kAnswerKeyword, ExternalText::Answer } });
}

qsizetype FirstMessageLength(const QString& text)
{
    const QStringView t(text);
    const auto keywordAt = [&](qsizetype p) {
        const QStringView rest = t.mid(p);
        return rest.startsWith(kCallKeyword) || rest.startsWith(kAnswerKeyword)
            || rest.startsWith(kSearchCallKeyword) || rest.startsWith(kProfileKeyword);
    };
    for (qsizetype p = 1; p < t.size(); ++p) {
        const QChar last = t[p - 1];
        if (last != QLatin1Char('D') && last != QLatin1Char('K'))
            continue;
        const QStringView before = t.left(p);
        if (before.endsWith(u"CallAnswer|END"))
            return p;
        if ((before.endsWith(u"|END") || before.endsWith(u"VOICEMSG:OK")) && keywordAt(p))
            return p;
    }
    return t.size();
}

bool CouldStartDialBack(const QString& text)
{
    static const QString kHead = QStringLiteral("CONNECTBACK|");
    constexpr qsizetype kTokenChars = 32;
    static const qsizetype whole = kHead.size() + kTokenChars + 4;
    if (text.size() >= whole)
        return false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const bool fits = i < kHead.size()   ? c == kHead[i]
            : i < kHead.size() + kTokenChars ? (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f')
                                             : c == QStringLiteral("|END")[i - kHead.size() - kTokenChars];
        if (!fits)
            return false;
    }
    return true;
}

bool OffersDialBack(const QString& helloReply)
{
    return Pieces(helloReply).contains(QLatin1String("dialback"));
}

QString Hello()
{
    return QStringLiteral("SERVEROK|END");
}

QString AddressRequest()
{
    return QStringLiteral("GETGLOVALIP|END");
}

QString RegistrationText(const Registration& r)
{
    return (r.searchActive ? QStringLiteral("MYDATA|") : QStringLiteral("ADDITIONDATA|")) + r.name
        + QLatin1Char('|') + r.sex + QLatin1Char('|') + r.age + QLatin1Char('|') + r.comment
        + QLatin1Char('|') + r.pass + QLatin1Char('|') + r.extra + QStringLiteral("|END");
}

ServerText RecogniseServerText(const QString& text)
{
    return FirstKeyword<ServerText>(text,
        { { kHelloKeyword, ServerText::Hello }, { kListKeyword, ServerText::List },
            { kAddressKeyword, ServerText::Address }, { kEndKeyword, ServerText::End } });
}

bool IsEmptyList(const QString& text)
{
    return text.contains(kEmptyListKeyword);
}

QStringList Pieces(const QString& text)
{
    return text.split(QLatin1Char('|'));
}

QString Piece(const QStringList& pieces, qsizetype i)
{
    if (i < 0 || i >= pieces.size())
        throw RuntimeError(err::SubscriptOutOfRange);
    return pieces.at(i);
}

} // namespace voxlet::protocol
