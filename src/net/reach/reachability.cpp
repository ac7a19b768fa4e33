#include "net/reach/reachability.h"

#include "net/log_quoted.h"
#include "net/peer_address.h"
#include "net/reach/directory_check.h"
#include "net/reach/natpmp_router.h"
#include "net/reach/port_mapping.h"
#include "net/reach/reach_verdict.h"
#include "net/reach/upnp_router.h"

#include <QLoggingCategory>
#include <QRandomGenerator>

#include <condition_variable>
#include <mutex>
#include <utility>

#include <sys/eventfd.h>
#include <unistd.h>

namespace voxlet::reach {

namespace {
Q_LOGGING_CATEGORY(lcReach, "voxlet.reach", QtInfoMsg)
// A late dial-back (the directory gave up, the listener had not taken it
// yet) is still the phone's own for this long after the answer.
constexpr std::chrono::seconds kProbeWindowAfter { 5 };
using Clock = std::chrono::steady_clock;
} // namespace

struct Reachability::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;
    bool done = false;
    bool orphaned = false; // the owner is gone: post nothing
    Clock::time_point stopAt {};
    int wakeFd = -1;
    Reachability* owner = nullptr;
    ~Shared()
    {
        if (wakeFd >= 0)
            ::close(wakeFd);
    }

    // The directory's dial-back: its words carry the token of our request.
    bool expecting = false;
    QString probeWords;
    Clock::time_point probeUntil = Clock::time_point::max();
    bool probeSeen = false;
    bool askDirectory = false; // a hello reply said it dials back after all

    void Post(const ReachOutcome& outcome, bool first)
    {
        std::lock_guard lock(mutex);
        if (orphaned || !owner)
            return;
        Reachability* o = owner;
        QMetaObject::invokeMethod(
            o,
            [o, outcome, first] {
                if (o->onOutcome)
                    o->onOutcome(outcome, first);
            },
            Qt::QueuedConnection);
    }

    bool Stopping()
    {
        std::lock_guard lock(mutex);
        return stopping;
    }

    bool Orphaned()
    {
        std::lock_guard lock(mutex);
        return orphaned;
    }

    // Nothing once the owner is gone: the program may be ending, and the
    // log with it.
    void Log(const QString& line)
    {
        std::lock_guard lock(mutex);
        if (!orphaned)
            qCInfo(lcReach).noquote() << line;
    }
};

namespace {

std::vector<std::unique_ptr<RouterProtocol>> DefaultRouters()
{
    std::vector<std::unique_ptr<RouterProtocol>> r;
    r.push_back(std::make_unique<NatPmpRouter>());
    r.push_back(std::make_unique<UpnpRouter>());
    return r;
}

QString Describe(const MappingState& m)
{
    switch (m.status) {
    case MappingState::Status::Off:
        return QStringLiteral("port mapping switched off");
    case MappingState::Status::NoRouter:
        return QStringLiteral("no router answered NAT-PMP or UPnP");
    case MappingState::Status::Mapped:
        return QStringLiteral("%1 mapped to %2, outside address %3, %4%5")
            .arg(m.method, m.client, m.externalAddress,
                m.permanent ? QStringLiteral("permanent") : QStringLiteral("lease %1 s").arg(m.leaseSeconds),
                m.pinhole.isEmpty() ? QString() : QStringLiteral(", IPv6 pinhole ") + LogQuoted(m.pinhole));
    case MappingState::Status::Conflict:
        return QStringLiteral("%1: the port is held by %2 %3").arg(m.method, m.holder, LogQuoted(m.detail));
    case MappingState::Status::Failed:
        return QStringLiteral("%1 refused: %2").arg(m.method, LogQuoted(m.detail));
    }
    return {};
}

QString NewToken()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex();
}

// Asks the directory to dial back and waits for its answer and the dial-back.
DirectoryCheck AskDirectory(Reachability::Shared& shared, const ReachRequest& request)
{
    sockaddr_in server {};
    DirectoryCheck check;
    if (!ResolveDirectory(request.directory, request.directoryPort, server)) {
        check.answer = DirectoryCheck::Answer::NoAnswer;
        return check;
    }
    const QString token = NewToken();
    check = CheckWithDirectory(
        server, request.listenAddress, token, shared.wakeFd,
        [&] {
            std::lock_guard lock(shared.mutex);
            shared.expecting = true;
            shared.probeSeen = false;
            shared.probeWords = DialBackWords(token);
            shared.probeUntil = Clock::time_point::max();
        },
        [&](std::chrono::milliseconds wait) {
            std::unique_lock lock(shared.mutex);
            shared.changed.wait_for(lock, wait, [&] { return shared.probeSeen || shared.stopping; });
            shared.probeUntil = Clock::now() + kProbeWindowAfter;
            return shared.probeSeen;
        });
    if (check.answer == DirectoryCheck::Answer::Reached && !check.probeSeen) {
        // Through, but not seen yet: the main thread may be late (a blocking
        // lookup), and the probe is ours until the window closes.
        std::unique_lock lock(shared.mutex);
        shared.changed.wait_until(
            lock, shared.probeUntil, [&] { return shared.probeSeen || shared.stopping; });
        check.probeSeen = shared.probeSeen;
    }
    shared.Log(QStringLiteral("directory %1 answered %2, sees %3, probe seen: %4")
                   .arg(LogQuoted(request.directory))
                   .arg(int(check.answer))
                   .arg(check.observed, check.probeSeen ? QStringLiteral("yes") : QStringLiteral("no")));
    return check;
}

void Work(std::shared_ptr<Reachability::Shared> shared, ReachRequest request, ReachOptions options)
{
    auto routers = options.routers ? options.routers() : DefaultRouters();
    std::vector<RouterProtocol*> order;
    for (auto& r : routers)
        order.push_back(r.get());
    ReachFacts facts { {}, {}, request.listenAddress, request.port, LocalIPv6Address() };
    PortMapping mapping(
        order, request.port, request.listenAddress, facts.ipv6Address, [&] { return shared->Stopping(); });
    facts.mapping.status = MappingState::Status::Off;
    if (options.mapping && !shared->Stopping())
        facts.mapping = mapping.Establish();
    shared->Log(Describe(facts.mapping));

    if (request.directory.isEmpty())
        facts.check.answer = DirectoryCheck::Answer::NotAsked;
    else if (!request.directoryDialsBack)
        facts.check.answer = DirectoryCheck::Answer::CannotTell; // never asked: it could not tell
    else if (!shared->Stopping())
        facts.check = AskDirectory(*shared, request);
    ReachOutcome outcome = Judge(facts);
    if (!shared->Stopping())
        shared->Post(outcome, true);

    for (;;) {
        bool ask = false;
        {
            std::unique_lock lock(shared->mutex);
            if (shared->changed.wait_for(
                    lock, mapping.NextRenewal(), [&] { return shared->stopping || shared->askDirectory; })
                && shared->stopping)
                break;
            ask = std::exchange(shared->askDirectory, false);
        }
        if (ask) {
            request.directoryDialsBack = true;
            facts.check = AskDirectory(*shared, request);
            outcome = Judge(facts);
            if (!shared->Stopping())
                shared->Post(outcome, true);
            continue;
        }
        // Chosen again: the stable address may have changed, or the network.
        facts.ipv6Address = LocalIPv6Address();
        mapping.SetIPv6Client(facts.ipv6Address);
        if (options.mapping) {
            const MappingState renewed = mapping.Renew();
            if (renewed != facts.mapping)
                shared->Log(QStringLiteral("renewal: ") + Describe(renewed));
            facts.mapping = renewed;
        }
        const ReachOutcome now = Judge(facts);
        if ((now.status != outcome.status || now.ipv6Address != outcome.ipv6Address) && !shared->Stopping())
            shared->Post(now, false);
        outcome = now;
    }
    if (options.mapping) {
        mapping.Remove([&] { return shared->Orphaned(); });
        shared->Log(QStringLiteral("mapping removed"));
    }
    std::lock_guard lock(shared->mutex);
    shared->done = true;
    shared->changed.notify_all();
}

} // namespace

Reachability::Reachability(ReachOptions options, QObject* parent)
    : QObject(parent)
    , options_(std::move(options))
    , shared_(std::make_shared<Shared>())
{
    shared_->owner = this;
    shared_->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Reachability::~Reachability()
{
    Stop();
    const auto waited = WaitStopped(kRemoveBudget);
    {
        std::lock_guard lock(shared_->mutex);
        shared_->orphaned = true;
    }
    if (worker_.joinable()) {
        // A router that does not answer in time keeps the worker; it holds
        // its own share of the state and, orphaned, neither logs nor asks
        // the router anything more while the program ends around it.
        if (waited)
            worker_.join();
        else
            worker_.detach();
    }
}

void Reachability::Start(const ReachRequest& request)
{
    if (worker_.joinable())
        return;
    worker_ = std::thread(Work, shared_, request, options_);
}

void Reachability::Stop()
{
    std::lock_guard lock(shared_->mutex);
    if (shared_->stopping)
        return;
    shared_->stopping = true;
    shared_->stopAt = Clock::now();
    if (shared_->wakeFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto ignored = ::write(shared_->wakeFd, &one, sizeof one);
    }
    shared_->changed.notify_all();
}

bool Reachability::WaitStopped(std::chrono::milliseconds atMost)
{
    if (!worker_.joinable())
        return true;
    std::unique_lock lock(shared_->mutex);
    const auto until = (shared_->stopping ? shared_->stopAt : Clock::now()) + atMost;
    return shared_->changed.wait_until(lock, until, [&] { return shared_->done; });
}

void Reachability::DirectoryDialsBack()
{
    std::lock_guard lock(shared_->mutex);
    if (shared_->stopping || shared_->expecting)
        return; // asked already (or too late)
    shared_->askDirectory = true;
    shared_->changed.notify_all();
}

bool Reachability::ProbeExpected() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->expecting && Clock::now() <= shared_->probeUntil;
}

bool Reachability::TakeOwnProbe(const QString& firstWords)
{
    std::lock_guard lock(shared_->mutex);
    if (!shared_->expecting || shared_->probeWords.isEmpty() || !firstWords.startsWith(shared_->probeWords))
        return false;
    shared_->probeSeen = true;
    shared_->changed.notify_all();
    return true;
}

} // namespace voxlet::reach
