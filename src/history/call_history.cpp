#include "history/call_history.h"

#include "call/caller_screen.h"
#include "phonebook/file_io.h"
#include "phonebook/state_files.h"

#include <QDebug>
#include <QTimeZone>

#include <algorithm>
#include <cstdlib>

namespace voxlet::history {

namespace {

const QByteArray kHeader("voxlet call history 1");
constexpr qint64 kMaxFileBytes = 4 * 1024 * 1024;
constexpr qint64 kFloodSeconds = 60;

const QByteArray kDirections[] = { "out", "in" };
const QByteArray kOutcomes[] = { "answered", "unanswered", "busy", "limit" };
const QByteArray kProtections[] = { "plain", "encrypted", "confirmed" };

template <class Enum, std::size_t N>
std::optional<Enum> Token(const QByteArray (&names)[N], const QByteArray& field)
{
    const auto at = std::find(std::begin(names), std::end(names), field);
    return at == std::end(names) ? std::nullopt : std::optional<Enum>(Enum(at - std::begin(names)));
}

QByteArray EncodeText(const QString& text)
{
    // Everything but '%', the controls and DEL stays as it is, so that names read as names.
    static const QByteArray kKept = [] {
        QByteArray kept;
        for (int c = 0x20; c <= 0xFF; ++c)
            if (c != '%' && c != 0x7F)
                kept += char(c);
        return kept;
    }();
    return text.toUtf8().toPercentEncoding(kKept);
}

// Only the spelling EncodeText writes: anything else is damage.
std::optional<QString> DecodeText(const QByteArray& field)
{
    const QString text = QString::fromUtf8(QByteArray::fromPercentEncoding(field));
    if (EncodeText(text) != field)
        return std::nullopt;
    return text;
}

std::optional<int> Number(const QByteArray& field, int least)
{
    bool ok = false;
    const int n = field.toInt(&ok);
    if (!ok || n < least || QByteArray::number(n) != field)
        return std::nullopt;
    return n;
}

std::optional<CallRecord> ParseLine(const QByteArray& line)
{
    const QList<QByteArray> f = line.split('\t');
    if (f.size() != 8)
        return std::nullopt;
    CallRecord call;
    call.at = QDateTime::fromString(QString::fromLatin1(f[0]), Qt::ISODate);
    const auto direction = Token<Direction>(kDirections, f[1]);
    const auto outcome = Token<Outcome>(kOutcomes, f[2]);
    const auto seconds = Number(f[3], 0);
    const auto protection = Token<Protection>(kProtections, f[4]);
    const auto times = Number(f[5], 1);
    const auto name = DecodeText(f[6]);
    const auto address = DecodeText(f[7]);
    // Only the spelling FormatHistory writes, to the second, in UTC.
    if (!call.at.isValid() || call.at.toUTC().toString(Qt::ISODate).toLatin1() != f[0] || !direction
        || !outcome || !seconds || !protection || !times || !name || !address)
        return std::nullopt;
    call.direction = *direction;
    call.outcome = *outcome;
    call.seconds = *seconds;
    call.protection = *protection;
    call.times = *times;
    call.name = *name;
    call.address = *address;
    return call;
}

bool Refused(const CallRecord& call)
{
    return call.outcome == Outcome::Busy || call.outcome == Outcome::TooOften;
}

bool Unanswered(const CallRecord& call)
{
    return call.direction == Direction::Incoming && call.outcome != Outcome::Answered;
}

} // namespace

QByteArray FormatHistory(const QList<CallRecord>& calls)
{
    QByteArray out = kHeader + '\n';
    for (const CallRecord& c : calls) {
        const QList<QByteArray> fields { c.at.toUTC().toString(Qt::ISODate).toLatin1(),
            kDirections[int(c.direction)], kOutcomes[int(c.outcome)], QByteArray::number(c.seconds),
            kProtections[int(c.protection)], QByteArray::number(c.times), EncodeText(c.name),
            EncodeText(c.address) };
        out += fields.join('\t') + '\n';
    }
    return out;
}

std::optional<QList<CallRecord>> ParseHistory(const QByteArray& text)
{
    QList<QByteArray> lines = text.split('\n');
    if (lines.size() < 2 || lines.first() != kHeader || !lines.last().isEmpty())
        return std::nullopt;
    QList<CallRecord> calls;
    for (qsizetype i = 1; i + 1 < lines.size(); ++i) {
        std::optional<CallRecord> call = ParseLine(lines.at(i));
        if (!call)
            return std::nullopt;
        calls << *call;
    }
    return calls;
}

CallHistory::CallHistory(QString stateDir, Clock clock)
    : stateDir_(std::move(stateDir))
    , clock_(clock ? std::move(clock) : [] { return QDateTime::currentDateTimeUtc(); })
{
    if (stateDir_.isEmpty())
        return;
    files::StateFile file = files::ReadStateFile(stateDir_, kHistoryFile, kMaxFileBytes);
    if (file.failure) {
        problem_ = QStringLiteral("通話履歴を読めません (%1)。この間の通話はファイルに残りません。")
                       .arg(*file.failure);
        unreadable_ = true;
    } else if (!file.missing) {
        if (std::optional<QList<CallRecord>> calls = ParseHistory(file.bytes)) {
            calls_ = std::move(*calls);
            std::stable_sort(calls_.begin(), calls_.end(),
                [](const CallRecord& a, const CallRecord& b) { return a.at < b.at; });
            if (calls_.size() > kMaxCalls)
                calls_.remove(0, calls_.size() - kMaxCalls);
        } else {
            problem_ = QStringLiteral(
                "通話履歴 %1 が壊れているため、空の履歴で始めます (元の内容は %2 に残します)。")
                           .arg(files::DataPath(stateDir_, kHistoryFile), kDamagedHistoryFile);
            damaged_ = std::move(file.bytes);
        }
    }
    if (!problem_.isEmpty())
        qWarning().noquote() << problem_;
}

void CallHistory::Add(CallRecord call)
{
    // As the file keeps it: a second's precision, at most so much text.
    call.at = QDateTime::fromSecsSinceEpoch(call.at.toSecsSinceEpoch(), QTimeZone::utc());
    call.name.truncate(kMaxTextChars);
    call.address.truncate(kMaxTextChars);
    if (Unanswered(call)) {
        const QString caller = CallerKey(call.address);
        for (qsizetype i = calls_.size() - 1; i >= 0 && calls_.at(i).at.secsTo(call.at) < kFloodSeconds;
             --i) {
            CallRecord& line = calls_[i];
            if (Unanswered(line) && std::abs(line.at.secsTo(call.at)) < kFloodSeconds
                && CallerKey(line.address) == caller) {
                ++line.times;
                Save();
                emit changed();
                return;
            }
        }
    }
    qsizetype at = calls_.size();
    while (at > 0 && calls_.at(at - 1).at > call.at)
        --at;
    calls_.insert(at, call);
    if (Refused(call) && std::count_if(calls_.begin(), calls_.end(), Refused) > kMaxRefused)
        calls_.erase(std::find_if(calls_.begin(), calls_.end(), Refused));
    if (calls_.size() > kMaxCalls)
        calls_.removeFirst();
    Save();
    emit changed();
}

void CallHistory::Clear()
{
    calls_.clear();
    Save();
    emit changed();
}

void CallHistory::Save()
{
    if (stateDir_.isEmpty() || unreadable_)
        return;
    std::optional<QString> failure;
    if (!damaged_.isEmpty()) {
        failure = files::WriteStateFile(stateDir_, kDamagedHistoryFile, damaged_);
        if (!failure)
            damaged_.clear();
    }
    if (!failure)
        failure = files::WriteStateFile(stateDir_, kHistoryFile, FormatHistory(calls_));
    if (failure) {
        problem_ = failure->replace(QLatin1Char('\n'), QLatin1Char(' '));
        qWarning().noquote() << problem_;
    }
}

} // namespace voxlet::history
