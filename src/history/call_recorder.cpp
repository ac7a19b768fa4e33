#include "history/call_recorder.h"

namespace voxlet::history {

void CallRecorder::Dialled(bool external, const QString& name, const QString& address)
{
    Ended(external);
    CallRecord r;
    r.at = history_.now();
    r.direction = Direction::Outgoing;
    r.name = name;
    r.address = address;
    line(external) = Call { r, std::nullopt };
}

void CallRecorder::Rings(const QString& name, const QString& address)
{
    std::optional<Call>& call = line(false);
    if (call && call->record.direction == Direction::Incoming && call->record.address == address) {
        call->record.name = name;
        return;
    }
    Ended(false);
    CallRecord r;
    r.at = history_.now();
    r.name = name;
    r.address = address;
    call = Call { r, std::nullopt };
}

void CallRecorder::Answered(bool external)
{
    std::optional<Call>& call = line(external);
    if (call && !call->answered)
        call->answered = history_.now();
}

void CallRecorder::Ended(bool external)
{
    std::optional<Call> call = std::exchange(line(external), std::nullopt);
    if (!call)
        return;
    CallRecord& r = call->record;
    if (call->answered) {
        r.outcome = Outcome::Answered;
        r.seconds = int(std::max<qint64>(0, call->answered->secsTo(history_.now())));
    }
    r.protection = protection ? protection(external) : Protection::Plain;
    history_.Add(r);
}

void CallRecorder::TurnedAway(const QString& address, bool busy)
{
    CallRecord r;
    r.at = history_.now();
    r.outcome = busy ? Outcome::Busy : Outcome::TooOften;
    r.address = address;
    history_.Add(r);
}

} // namespace voxlet::history
