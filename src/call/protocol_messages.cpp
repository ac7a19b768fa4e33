#include "call/protocol_messages.h"

#include "call/runtime_error.h"

#include <algorithm>
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

// "|" field, or nothing for no field.
QString WithField(const QString& field)
{
    return field.isEmpty() ? QString() : QLatin1Char('|') + field;
}

bool IsFieldChar(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'0' && u <= u'9') || u == u';' || u == u'=' || u == u'.'
        || u == u',' || u == u':' || u == u'_' || u == u'-';
}

// What may be a Voxlet field at all: "vx" and the field's characters.
bool LooksLikeField(QStringView text)
{
    return text.size() >= 2 && text.size() <= kMaxVoxletField && text.startsWith(u"vx")
        && std::all_of(text.begin(), text.end(), IsFieldChar);
}

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

QString DirectCallRequest(const QString& name, const QString& offer)
{
    return QStringLiteral("VOICEMSG:OK|") + name + WithField(offer) + QStringLiteral("|END");
}

QString SearchCallRequest(const QString& name, const QString& offer)
{
    return QStringLiteral("ANYBODYMSG:OK|") + name + WithField(offer) + QStringLiteral("|END");
}

QString CallerProfile(const QString& name, const QString& sex, const QString& age, const QString& comment)
{
    return QStringLiteral("AnybadyConnect|") + name + QLatin1Char('|') + sex + QLatin1Char('|') + age
        + QLatin1Char('|') + comment + QStringLiteral("|END");
}

QString Answer(const QString& answer)
{
    return QStringLiteral("CallAnswer") + WithField(answer) + QStringLiteral("|END");
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
        if (before.endsWith(u"|END")) {
            // "CallAnswer|" field "|END": the field has no "|" of its own.
            const qsizetype bar = before.lastIndexOf(u'|', before.size() - 5);
            if (bar >= 0 && before.left(bar).endsWith(kAnswerKeyword)
                && LooksLikeField(before.mid(bar + 1, before.size() - 4 - bar - 1)))
                return p;
        }
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

QString VoxletField::value(const QString& key) const
{
    for (const auto& [k, v] : items)
        if (k == key)
            return v;
    return {};
}

QString VoxletFieldText(const VoxletField& field)
{
    QString text = QStringLiteral("vx1");
    for (const auto& [key, value] : field.items)
        text += QLatin1Char(';') + key + QLatin1Char('=') + value;
    return text;
}

std::optional<VoxletField> ParseVoxletField(QStringView text)
{
    if (!LooksLikeField(text))
        return std::nullopt;
    const QList<QStringView> parts = text.split(u';');
    if (parts.front() != u"vx1")
        return std::nullopt; // another version: nothing this phone understands
    VoxletField field;
    for (qsizetype i = 1; i < parts.size(); ++i) {
        const QStringView part = parts.at(i);
        const qsizetype eq = part.indexOf(u'=');
        const QStringView key = part.left(eq), value = part.mid(eq + 1);
        // One "=", a key, and each key once: anything else is garbage.
        const bool seen = std::any_of(
            field.items.begin(), field.items.end(), [&](const auto& item) { return item.first == key; });
        if (eq <= 0 || value.contains(u'=') || seen)
            return std::nullopt;
        field.items.append({ key.toString(), value.toString() });
    }
    return field;
}

QString RequestOffer(const QString& request)
{
    const QStringList pieces = Pieces(request);
    // Keyword, name, offer, "END": the offer is never taken for the name.
    if (pieces.size() < 4 || pieces.back() != QLatin1String("END"))
        return {};
    const QString& offer = pieces.at(pieces.size() - 2);
    return LooksLikeField(offer) ? offer : QString();
}

ReadAnswer ParseAnswer(const QString& answer)
{
    const qsizetype at = answer.indexOf(kAnswerKeyword);
    if (at < 0)
        return { AnswerKind::Garbage, {} };
    const QStringView rest = QStringView(answer).mid(at + kAnswerKeyword.size());
    const QStringView end(u"|END");
    // The network may have cut it: what came so far could still become one.
    const auto cutShortOf = [](QStringView text, QStringView whole) {
        return text.size() < whole.size() && whole.startsWith(text);
    };
    if (rest.startsWith(end))
        return { AnswerKind::Plain, {} };
    if (cutShortOf(rest, end))
        return { AnswerKind::Incomplete, {} };
    qsizetype n = 1;
    while (n < rest.size() && n <= kMaxVoxletField && IsFieldChar(rest[n]))
        ++n;
    const QStringView field = rest.mid(1, n - 1), after = rest.mid(n);
    if (n > kMaxVoxletField)
        return { AnswerKind::Garbage, {} };
    if (after.startsWith(end) && LooksLikeField(field))
        return { AnswerKind::WithField, field.toString() };
    if ((after.isEmpty() && field == u"v") || (cutShortOf(after, end) && LooksLikeField(field)))
        return { AnswerKind::Incomplete, {} };
    return { AnswerKind::Garbage, {} };
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
