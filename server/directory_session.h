#pragma once
// One client connection of the directory, without the socket: received bytes
// go in, bytes to send come out, and the session says when the connection is
// to be closed. The poll loop and the fuzzer drive it the same way.

#include "server/connect_back.h"
#include "server/directory_store.h"
#include "server/text_codec.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace voxlet::directory_server {

// The client has 100 list slots.
inline constexpr std::size_t kMaxListedUsers = 100;
inline constexpr std::size_t kDefaultMaxRequestBytes = 4096;
// The client's settings window allows at most 30 characters; leave room for
// hand-edited profiles but keep the list reply small.
inline constexpr std::size_t kMaxFieldUnits = 64;

struct SessionLimits {
    std::size_t maxRequestBytes = kDefaultMaxRequestBytes; // everything one connection may send
    std::size_t maxListedUsers = kMaxListedUsers;
};

class DirectorySession {
public:
    using Logger = std::function<void(const std::string& line)>;
    // Called when a reply the store gave later is ready for takeOutput().
    // Only a notice: the session must not be destroyed from inside it.
    using ReplyReady = std::function<void()>;

    DirectorySession(DirectoryStore& store, std::string peerAddress, SessionLimits limits = {},
        Logger log = {}, ReplyReady ready = {});
    ~DirectorySession();
    DirectorySession(const DirectorySession&) = delete;
    DirectorySession& operator=(const DirectorySession&) = delete;

    // Feeds bytes received from the client; returns the bytes to send now.
    // While waiting for the store and once finished, input is ignored.
    std::string receive(std::string_view bytes);

    // Where a connect-back request is probed; none: refused as unknown.
    void setConnectBack(ConnectBack* connectBack) { m_connectBack = connectBack; }

    // The reply that arrived after receive() returned.
    std::string takeOutput() { return std::exchange(m_late, {}); }

    // The request is complete and its answer is with the store.
    bool waiting() const { return m_state == State::Waiting; }

    // The reply has been produced: send it, then close.
    bool finished() const { return m_state == State::Finished; }

    // Whole messages handled so far; the loop restarts its idle clock on each.
    std::size_t completedMessages() const { return m_completed; }

    // Why the session finished, for the log ("" while open).
    const std::string& outcome() const { return m_outcome; }

private:
    enum class State { AwaitingHello, AwaitingRequest, Waiting, Finished };

    std::string process();
    std::size_t countBars();
    std::string refuse(std::string reason);
    std::string handleRegistration(std::u16string_view body, bool searching);
    void onStored(const std::string& who, bool searching, RegisterOutcome outcome,
        const std::vector<std::string_view>& users);
    std::string handleConnectBack(const std::string& token);
    std::string finish(std::u16string_view reply, std::string outcome);
    std::string finishEncoded(std::string replyBytes, std::string outcome);
    void log(const std::string& line) const;

    DirectoryStore& m_store;
    std::string m_peerAddress;
    SessionLimits m_limits;
    Logger m_log;
    ReplyReady m_ready;
    std::string m_late; // a reply produced by the store's answer
    bool m_inReceive = false;
    std::uint64_t m_ticket = 0; // the store's, while waiting for it
    ConnectBack* m_connectBack = nullptr;
    std::uint64_t m_probeTicket = 0; // while a connect-back probe runs
    Utf16LeDecoder m_decoder;
    std::u16string m_text;
    std::size_t m_scanned = 0; // how much of m_text countBars has seen
    std::size_t m_bars = 0;
    std::size_t m_received = 0;
    std::size_t m_completed = 0;
    State m_state = State::AwaitingHello;
    std::string m_outcome;
};

} // namespace voxlet::directory_server
