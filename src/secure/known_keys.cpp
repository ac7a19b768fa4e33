#include "secure/known_keys.h"

#include "phonebook/state_files.h"
#include "secure/call_handshake.h"

#include <QStringDecoder>
#include <QStringList>

#include <algorithm>

namespace voxlet::secure {

namespace {

const QByteArray kHeader("voxlet known keys 1");
constexpr qint64 kMaxFileBytes = 4 * 1024 * 1024;

bool Escaped(QChar c)
{
    return c == QLatin1Char('%') || c == QLatin1Char('#') || c.unicode() <= 0x20 || c.unicode() == 0x7f
        || c.isSurrogate() || c.category() == QChar::Separator_Line
        || c.category() == QChar::Separator_Paragraph;
}

QString EncodeField(const QString& text)
{
    if (text.isEmpty())
        return QStringLiteral("%");
    if (text.size() > KnownKeys::kMaxFieldChars) {
        QByteArray units(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
        return QLatin1Char('#') + ToHexField(Blake2b({ units }, 32));
    }
    QString out;
    for (QChar c : text) {
        if (Escaped(c))
            out += QStringLiteral("%%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

// A field as EncodeField writes it, and no other spelling of the same text,
// so that entries compare as their fields do.
bool ValidField(QStringView field)
{
    if (field == u"%")
        return true;
    if (field.startsWith(u'#'))
        return FromHexField(field.sliced(1), 32).has_value();
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] != u'%') {
            if (Escaped(field[i]))
                return false;
            continue;
        }
        const std::optional<QByteArray> unit
            = FromHexField(field.sliced(i + 1).first(std::min<qsizetype>(4, field.size() - i - 1)), 2);
        if (!unit || !Escaped(QChar(char16_t(uchar(unit->at(0)) << 8 | uchar(unit->at(1))))))
            return false;
        i += 4;
    }
    return !field.isEmpty();
}

QString PeerField(const PeerId& peer)
{
    if (!peer.received)
        return QStringLiteral("dial ") + EncodeField(peer.address);
    return QStringLiteral("call ") + EncodeField(peer.address) + QLatin1Char(' ') + EncodeField(peer.name);
}

} // namespace

KnownKeys KnownKeys::Load(const QString& stateDir)
{
    KnownKeys store;
    store.stateDir_ = stateDir;
    if (stateDir.isEmpty())
        return store;
    files::StateFile file = files::ReadStateFile(stateDir, kKnownKeysFile, kMaxFileBytes);
    if (file.failure) {
        store.problem_ = *file.failure + QStringLiteral("; the remembered keys are not used");
        store.unreadable_ = true;
    } else if (!file.missing) {
        if (std::optional<std::vector<Entry>> entries = Parse(file.bytes)) {
            store.entries_ = std::move(*entries);
        } else {
            store.problem_ = stateDir + QLatin1Char('/') + kKnownKeysFile
                + QStringLiteral(": damaged; the remembered keys are not used, and it is kept as ")
                + kDamagedKnownKeysFile;
            store.damaged_ = std::move(file.bytes);
        }
    }
    return store;
}

std::optional<KnownKey> KnownKeys::find(const PeerId& peer) const
{
    const QString field = PeerField(peer);
    const auto it
        = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.peer == field; });
    if (it == entries_.end())
        return std::nullopt;
    return it->key;
}

void KnownKeys::Remember(const PeerId& peer, const KnownKey& entry)
{
    const QString field = PeerField(peer);
    std::erase_if(entries_, [&](const Entry& e) { return e.peer == field; });
    entries_.insert(entries_.begin(), Entry { field, entry });
    if (entries_.size() > std::size_t(kMaxEntries))
        entries_.resize(std::size_t(kMaxEntries));
}

std::optional<QString> KnownKeys::Save()
{
    if (stateDir_.isEmpty())
        return std::nullopt;
    if (unreadable_)
        return problem_;
    if (!damaged_.isEmpty()) {
        if (std::optional<QString> failure
            = files::WriteStateFile(stateDir_, kDamagedKnownKeysFile, damaged_))
            return failure;
        damaged_.clear();
    }
    return files::WriteStateFile(stateDir_, kKnownKeysFile, text());
}

QByteArray KnownKeys::text() const
{
    QByteArray out = kHeader + '\n';
    for (const Entry& e : entries_) {
        out += e.peer.toUtf8() + ' ' + AsBytes(e.key.key).toHex()
            + (e.key.confirmed ? " confirmed\n" : " unconfirmed\n");
    }
    return out;
}

std::optional<std::vector<KnownKeys::Entry>> KnownKeys::Parse(const QByteArray& bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(bytes);
    if (utf8.hasError())
        return std::nullopt;
    QStringList lines = text.split(QLatin1Char('\n'));
    if (lines.size() < 2 || lines.takeFirst() != QLatin1String(kHeader) || !lines.takeLast().isEmpty()
        || lines.size() > kMaxEntries)
        return std::nullopt;
    std::vector<Entry> entries;
    for (const QString& line : lines) {
        const QStringList f = line.split(QLatin1Char(' '));
        const qsizetype fields = f.value(0) == u"dial" ? 2 : f.value(0) == u"call" ? 3 : 0;
        if (fields == 0 || f.size() != fields + 2
            || !std::all_of(f.begin() + 1, f.begin() + fields, ValidField))
            return std::nullopt;
        const std::optional<QByteArray> key = FromHexField(f[fields], kDhLen);
        const QString& mark = f[fields + 1];
        if (!key || (mark != u"confirmed" && mark != u"unconfirmed"))
            return std::nullopt;
        Entry entry { QStringList(f.mid(0, fields)).join(QLatin1Char(' ')), {} };
        std::copy_n(key->begin(), kDhLen, entry.key.key.begin());
        entry.key.confirmed = mark == u"confirmed";
        if (std::any_of(entries.begin(), entries.end(), [&](const Entry& e) { return e.peer == entry.peer; }))
            return std::nullopt;
        entries.push_back(std::move(entry));
    }
    return entries;
}

} // namespace voxlet::secure
