#include "history/history_window.h"

namespace voxlet::history {

namespace {

QString Length(const CallRecord& call)
{
    QString text;
    switch (call.outcome) {
    case Outcome::Answered: {
        const QTime t = QTime(0, 0).addSecs(call.seconds);
        text = call.seconds >= 3600
            ? QStringLiteral("%1:%2").arg(call.seconds / 3600).arg(t.toString(u"mm:ss"))
            : t.toString(u"m:ss");
        break;
    }
    case Outcome::Unanswered:
        text = QStringLiteral("応答なし");
        break;
    case Outcome::Busy:
        text = QStringLiteral("話し中のため拒否");
        break;
    case Outcome::TooOften:
        text = QStringLiteral("回数制限で拒否");
        break;
    }
    return call.times > 1 ? text + QStringLiteral(" %1回").arg(call.times) : text;
}

QString ProtectionText(Protection p)
{
    switch (p) {
    case Protection::Plain:
        break;
    case Protection::Encrypted:
        return QStringLiteral("暗号化");
    case Protection::Confirmed:
        return QStringLiteral("暗号化・確認済み");
    }
    return QStringLiteral("暗号化なし");
}

} // namespace

QStringList RowTexts(const CallRecord& call)
{
    const QString direction = call.direction == Direction::Outgoing ? QStringLiteral("発信")
        : call.outcome == Outcome::Answered                         ? QStringLiteral("着信")
                                                                    : QStringLiteral("不在着信");
    return { call.at.toLocalTime().toString(u"yyyy/MM/dd HH:mm"), direction, call.name, call.address,
        Length(call), ProtectionText(call.protection) };
}

HistoryWindow::HistoryWindow(CallHistory& history, MessageBoxPort& boxes)
    : history_(history)
    , boxes_(boxes)
{
    // A new call moves every row: what was chosen is no longer what the user saw.
    connect(&history_, &CallHistory::changed, this, [this] {
        chosen_ = -1;
        refusal_.clear();
        emit changed();
    });
}

QList<QStringList> HistoryWindow::rows() const
{
    QList<QStringList> out;
    const QList<CallRecord>& calls = history_.calls();
    for (auto it = calls.rbegin(); it != calls.rend(); ++it)
        out << RowTexts(*it);
    return out;
}

QString HistoryWindow::status() const
{
    if (!refusal_.isEmpty())
        return refusal_;
    if (!history_.problem().isEmpty())
        return history_.problem();
    return history_.calls().isEmpty() ? QStringLiteral("通話の記録はありません。")
                                      : QStringLiteral("%1 件の通話").arg(history_.calls().size());
}

const CallRecord* HistoryWindow::chosenCall() const
{
    const QList<CallRecord>& calls = history_.calls();
    return chosen_ >= 0 && chosen_ < calls.size() ? &calls.at(calls.size() - 1 - chosen_) : nullptr;
}

void HistoryWindow::Choose(int row)
{
    chosen_ = row >= 0 && row < history_.calls().size() ? row : -1;
    refusal_.clear();
    emit changed();
}

void HistoryWindow::CallChosen()
{
    const CallRecord* call = chosenCall();
    if (!call || !onCall)
        return;
    if (!onCall(call->address)) {
        refusal_ = QStringLiteral("通話中はかけられません。");
        emit changed();
        return;
    }
    emit closeRequested();
}

void HistoryWindow::ClearAll()
{
    if (history_.calls().isEmpty()
        || !boxes_.ask(QStringLiteral("通話の履歴をすべて消去しますか？"), kAppTitle))
        return;
    history_.Clear();
}

} // namespace voxlet::history
