#pragma once
// The phone's reachability from outside, worked out on a thread of its own:
// the port mapping on the home router (NAT-PMP first, then UPnP-IGD), kept
// while the phone listens and removed when it stops; the directory's
// connect-back; and the verdict, posted to the main thread.

#include "net/reach/router_protocol.h"
#include "net/reachability_port.h"

#include <QObject>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace voxlet::reach {

// How long the end of the program waits for the router to drop the mapping.
constexpr std::chrono::milliseconds kRemoveBudget { 1900 };

struct ReachOptions {
    bool mapping = true; // off: the router is not asked (VOXLET_PORT_MAPPING=off)
    // The protocols to try, in order (made on the worker); none: NAT-PMP, then UPnP.
    std::function<std::vector<std::unique_ptr<RouterProtocol>>()> routers;
};

class Reachability : public QObject, public ReachabilityPort {
    Q_OBJECT
public:
    explicit Reachability(ReachOptions options = {}, QObject* parent = nullptr);
    // Stops, and waits for the mapping's removal at most kRemoveBudget
    // after Stop(); a router that does not answer by then is left behind.
    ~Reachability() override;

    void Start(const ReachRequest& request) override;
    void Stop() override;
    void DirectoryDialsBack() override;
    bool ProbeExpected() const override;
    bool TakeOwnProbe(const QString& firstWords) override;

    // After Stop(): true once the mapping is gone (or there was none).
    bool WaitStopped(std::chrono::milliseconds atMost);

    struct Shared;

private:
    ReachOptions options_;
    std::shared_ptr<Shared> shared_;
    std::thread worker_;
};

} // namespace voxlet::reach
