// The phone facing the world: reachability from outside, started when
// "SERVER" listens and stopped when listening ends (the outcome goes to a
// notice once and under the tray tooltip), and which callers may ring.

#include "net/address.h"
#include "phonebook/phone_book_files.h"
#include "shell/phone.h"

namespace voxlet {

void Phone::StartReach()
{
    if (!reach_ || reachRunning_)
        return;
    reachRunning_ = true;
    ReachRequest request;
    request.listenAddress = FormatAddress(net.OwnAddress());
    request.port = options_.net.peerPort;
    // Read without a box: the user asked for none of this.
    request.directory = files::ReadServerAddress(options_.dataDir).address.trimmed();
    request.directoryPort = options_.net.serverPort;
    reach_->Start(request);
}

void Phone::StopReach()
{
    if (!reach_ || !reachRunning_)
        return;
    reachRunning_ = false;
    reach_->Stop();
}

bool Phone::TakeOwnProbe(const sockaddr_in& from)
{
    return reach_ && reach_->TakeOwnProbe(from);
}

bool Phone::AdmitCaller(const QString& address)
{
    return screen_.Admit(address, [this](const QString& a) {
        // The address field of each entry ("n Name Address"), read afresh.
        for (const QString& line : files::LoadDialList(options_.dataDir).lines)
            if (line.section(QLatin1Char(' '), 2, 2) == a)
                return true;
        return false;
    });
}

void Phone::ShowReach(const ReachOutcome& outcome, bool first)
{
    if (exited_)
        return;
    tray.setStatus(outcome.status);
    if (first && notifier_)
        notifier_->ShowReachability(outcome.notice);
}

} // namespace voxlet
