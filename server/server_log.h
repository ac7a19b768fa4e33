#pragma once
// The server's log: one line per event, written without ever blocking the
// poll loop. Lines wait in a bounded buffer while the reader (a terminal, a
// pipe, the journal) is slow; what does not fit, and per-connection lines
// beyond a rate, are dropped and counted, and the count is written as soon
// as there is room again.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace voxlet::directory_server {

struct LogOptions {
    std::string path; // empty: stderr
    std::size_t linesPerSecond = 100; // per-connection lines; 0: no limit
    std::size_t maxBufferedBytes = 256 * 1024;
};

class ServerLog {
public:
    using Steady = std::chrono::steady_clock;

    explicit ServerLog(LogOptions options);
    ~ServerLog(); // writes what it can within a moment, then gives up
    ServerLog(const ServerLog&) = delete;
    ServerLog& operator=(const ServerLog&) = delete;

    // Opens the file, or a non-blocking way to stderr; false with a reason.
    bool open(std::string& error);
    // After log rotation (SIGHUP): the file anew; false with a reason, the old one kept.
    bool reopen(std::string& error);

    // A line about the server itself: never rate-limited.
    void line(std::string_view text) { add(text, false); }
    // A line a client caused: rate-limited.
    void clientLine(std::string_view text) { add(text, true); }

    // Writes what the reader takes now; call once per turn of the loop.
    void flush();
    // The descriptor to poll for POLLOUT while lines wait, else -1.
    int pollDescriptor() const;

    std::uint64_t dropped() const { return m_droppedTotal; }

private:
    enum class Writer { Write, Send };

    void add(std::string_view text, bool limited);
    bool admit(Steady::time_point now);
    void appendNotice(Steady::time_point now);
    void appendLine(std::string_view text);
    void closeOwn();

    LogOptions m_options;
    int m_fd = -1;
    bool m_ownFd = false;
    Writer m_writer = Writer::Write;
    std::string m_buffer;
    std::size_t m_written = 0; // of m_buffer
    bool m_blocked = false; // the last write would have blocked
    double m_tokens = 0;
    Steady::time_point m_refilled {};
    std::uint64_t m_droppedRate = 0; // since the last notice
    std::uint64_t m_droppedFull = 0;
    std::uint64_t m_droppedTotal = 0;
    Steady::time_point m_lastNotice {};
    std::time_t m_stampSecond = -1;
    std::string m_stamp;
};

} // namespace voxlet::directory_server
