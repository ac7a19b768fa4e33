#pragma once
// The history window's logic and contents: the calls newest first, the one
// chosen, and its two commands, "電話する" (through the main window's
// dial) and "消去" (after a question). HistoryForm shows it.

#include "call/ports.h"
#include "history/call_history.h"

#include <QObject>
#include <QStringList>

#include <functional>

namespace voxlet::history {

class HistoryWindow : public QObject {
    Q_OBJECT
public:
    HistoryWindow(CallHistory& history, MessageBoxPort& boxes);

    // Each row's texts: time, direction, name, address, length, protection.
    QList<QStringList> rows() const;
    QString status() const;
    int chosen() const { return chosen_; }
    bool callEnabled() const { return chosen_ >= 0; }
    bool clearEnabled() const { return !history_.calls().isEmpty(); }

    // A row chosen by the user: -1 for none.
    void Choose(int row);
    // Calls the chosen row's address back; the window closes once the dial began.
    void CallChosen();
    void ClearAll();

    // Dials the address as the main window's "電話する" would; false when the line is taken.
    std::function<bool(const QString& address)> onCall;

signals:
    // Contents changed: a shown view repaints from the getters.
    void changed();
    void closeRequested();

private:
    const CallRecord* chosenCall() const;

    CallHistory& history_;
    MessageBoxPort& boxes_;
    int chosen_ = -1;
    QString refusal_; // why the last "電話する" dialled nothing
};

// The texts of one call as the window shows them.
QStringList RowTexts(const CallRecord& call);

} // namespace voxlet::history
