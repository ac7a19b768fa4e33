#pragma once
// Follows each call from its dial or its ring to its end, as the call logic
// tells, and hands the finished call to the history. A connection that
// never rang is no call; a caller turned away is one at once.

#include "call/call_context.h"
#include "history/call_history.h"

#include <functional>
#include <optional>

namespace voxlet::history {

class CallRecorder : public CallLog {
public:
    explicit CallRecorder(CallHistory& history)
        : history_(history)
    {
    }

    // The protection of the call that ends; plain when unset.
    std::function<Protection(bool external)> protection;

    void Dialled(bool external, const QString& name, const QString& address) override;
    void Rings(const QString& name, const QString& address) override;
    void Answered(bool external) override;
    void Ended(bool external) override;
    void TurnedAway(const QString& address, bool busy) override;

private:
    struct Call {
        CallRecord record;
        std::optional<QDateTime> answered;
    };
    std::optional<Call>& line(bool external) { return lines_[external ? 1 : 0]; }

    CallHistory& history_;
    std::optional<Call> lines_[2]; // CallSocket's, ExternalSocket's
};

} // namespace voxlet::history
