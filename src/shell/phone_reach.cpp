// The phone facing the world: reachability from outside, started when
// "SERVER" listens and stopped when listening ends (the outcome goes to a
// notice once and under the tray tooltip), and which callers may ring.

#include "net/address.h"
#include "phonebook/phone_book_files.h"
#include "phonebook/state_files.h"
#include "shell/phone.h"

#include <QDebug>
#include <QTime>

namespace voxlet {

namespace {
// What the phone remembers of directories: those that said they dial back.
const QString kDirectoriesFile = QStringLiteral("directories");
constexpr qint64 kDirectoriesBytes = 64 * 1024;
constexpr int kDirectoriesKept = 100;
const QString kDialsBack = QStringLiteral("dialback ");
// A flood of refused callers tells the user once a minute, not once a call.
constexpr std::chrono::seconds kRefusedNoticeEvery { 60 };

QStringList DirectoriesThatDialBack(const QString& stateDir)
{
    QStringList hosts;
    const files::StateFile file = files::ReadStateFile(stateDir, kDirectoriesFile, kDirectoriesBytes);
    for (const QString& line : QString::fromUtf8(file.bytes).split(QLatin1Char('\n')))
        if (line.startsWith(kDialsBack))
            hosts << line.mid(kDialsBack.size());
    return hosts;
}
} // namespace

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
    request.directoryDialsBack = !request.directory.isEmpty()
        && DirectoriesThatDialBack(options_.stateDir).contains(request.directory);
    reachDirectory_ = request.directory;
    reachAsksDirectory_ = request.directoryDialsBack;
    reach_->Start(request);
}

void Phone::StopReach()
{
    if (!reach_ || !reachRunning_)
        return;
    reachRunning_ = false;
    reach_->Stop();
}

void Phone::DirectoryDialsBack(const QString& host, bool can)
{
    const QString name = host.trimmed();
    if (name.isEmpty())
        return;
    QStringList hosts = DirectoriesThatDialBack(options_.stateDir);
    if (hosts.contains(name) != can) {
        hosts.removeAll(name);
        if (can)
            hosts.prepend(name);
        QByteArray bytes;
        for (const QString& h : hosts.mid(0, kDirectoriesKept))
            bytes += (kDialsBack + h + QLatin1Char('\n')).toUtf8();
        if (const auto failure = files::WriteStateFile(options_.stateDir, kDirectoriesFile, bytes))
            qWarning().noquote() << *failure;
    }
    if (can && reachRunning_ && !reachAsksDirectory_ && name == reachDirectory_) {
        reachAsksDirectory_ = true;
        reach_->DirectoryDialsBack();
    }
}

bool Phone::ProbeExpected()
{
    return reach_ && reachRunning_ && reach_->ProbeExpected();
}

bool Phone::TakeOwnProbe(const QString& firstWords)
{
    return reach_ && reach_->TakeOwnProbe(firstWords);
}

Screened Phone::AdmitCaller(const QString& address)
{
    return screen_.Admit(address, [this](const QString& a) { return PhoneBookName(a).has_value(); });
}

void Phone::CallerRefused(const QString& address)
{
    const auto now = std::chrono::steady_clock::now();
    if (!notifier_ || (refusedNoticeAt_ && now - *refusedNoticeAt_ < kRefusedNoticeEvery))
        return;
    refusedNoticeAt_ = now;
    notifier_->ShowRefused(address, QTime::currentTime());
}

void Phone::ShowReach(const ReachOutcome& outcome, bool first)
{
    if (exited_)
        return;
    // Calls come where the phone is announced and the router forwards them.
    net.SetListenIPv6(outcome.ipv6Address);
    net.SetMappedIPv4(outcome.mappedAddress);
    tray.setStatus(outcome.status);
    if (first && notifier_)
        notifier_->ShowReachability(outcome.notice);
}

} // namespace voxlet
