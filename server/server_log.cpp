#include "server/server_log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace voxlet::directory_server {

namespace {

// Writes of whole lines up to PIPE_BUF are atomic on a pipe, so lines of
// several processes sharing one stderr never interleave.
constexpr std::size_t kWriteChunk = 4096;
constexpr std::size_t kMaxLineBytes = 1024;
constexpr std::chrono::seconds kNoticeEvery { 1 };
constexpr int kLastFlushMs = 200;

std::string_view CutUtf8(std::string_view text, std::size_t max)
{
    if (text.size() <= max)
        return text;
    std::size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

} // namespace

ServerLog::ServerLog(LogOptions options)
    : m_options(std::move(options))
    , m_tokens(static_cast<double>(m_options.linesPerSecond))
    , m_refilled(Steady::now())
{
}

ServerLog::~ServerLog()
{
    const auto until = Steady::now() + std::chrono::milliseconds(kLastFlushMs);
    flush();
    while (m_fd >= 0 && m_written < m_buffer.size()) {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(until - Steady::now()).count();
        pollfd p { m_fd, POLLOUT, 0 };
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        flush();
    }
    closeOwn();
}

void ServerLog::closeOwn()
{
    if (m_ownFd && m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_ownFd = false;
}

bool ServerLog::open(std::string& error)
{
    if (!m_options.path.empty())
        return reopen(error);
    struct stat info { };
    if (::fstat(STDERR_FILENO, &info) != 0)
        return true; // no stderr: nowhere to log, nothing to stop for
    m_fd = STDERR_FILENO;
    if (S_ISSOCK(info.st_mode)) {
        m_writer = Writer::Send; // the journal's stream: MSG_DONTWAIT per call
    } else if (!S_ISREG(info.st_mode)) {
        // A pipe or terminal: a description of our own, so that making it
        // non-blocking does not change the one the parent shares.
        const int own = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (own >= 0) {
            m_fd = own;
            m_ownFd = true;
        } else {
            ::fcntl(STDERR_FILENO, F_SETFL, ::fcntl(STDERR_FILENO, F_GETFL) | O_NONBLOCK);
        }
    }
    return true;
}

bool ServerLog::reopen(std::string& error)
{
    if (m_options.path.empty())
        return true;
    const int fd = ::open(
        m_options.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0640);
    if (fd < 0) {
        error = "cannot open the log " + m_options.path + ": " + std::strerror(errno);
        return false;
    }
    flush(); // what the old file can still take goes there
    closeOwn();
    m_fd = fd;
    m_ownFd = true;
    m_writer = Writer::Write;
    m_blocked = false;
    return true;
}

bool ServerLog::admit(Steady::time_point now)
{
    if (m_options.linesPerSecond == 0)
        return true;
    const double rate = static_cast<double>(m_options.linesPerSecond);
    m_tokens = std::min(rate, m_tokens + std::chrono::duration<double>(now - m_refilled).count() * rate);
    m_refilled = now;
    if (m_tokens < 1)
        return false;
    m_tokens -= 1;
    return true;
}

void ServerLog::add(std::string_view text, bool limited)
{
    if (m_fd < 0)
        return;
    if (limited && !admit(Steady::now())) {
        ++m_droppedRate;
        ++m_droppedTotal;
        return;
    }
    if (m_droppedRate || m_droppedFull)
        appendNotice(Steady::now());
    text = CutUtf8(text, kMaxLineBytes);
    if (m_buffer.size() - m_written + text.size() + 32 > m_options.maxBufferedBytes) {
        ++m_droppedFull;
        ++m_droppedTotal;
        return;
    }
    appendLine(text);
    if (m_buffer.size() - m_written >= kWriteChunk)
        flush();
}

void ServerLog::appendNotice(Steady::time_point now)
{
    if ((!m_droppedRate && !m_droppedFull) || now - m_lastNotice < kNoticeEvery)
        return;
    std::string notice = "log: dropped";
    if (m_droppedFull)
        notice += " " + std::to_string(m_droppedFull) + " lines that found the log full";
    if (m_droppedRate)
        notice += std::string(m_droppedFull ? " and" : "") + " " + std::to_string(m_droppedRate)
            + " client lines over " + std::to_string(m_options.linesPerSecond) + " a second";
    if (m_buffer.size() - m_written + notice.size() + 32 > m_options.maxBufferedBytes)
        return;
    m_droppedRate = m_droppedFull = 0;
    m_lastNotice = now;
    appendLine(notice);
}

void ServerLog::appendLine(std::string_view text)
{
    const std::time_t now = std::time(nullptr);
    if (now != m_stampSecond) {
        char stamp[32] = "";
        std::tm local {};
        if (localtime_r(&now, &local))
            std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &local);
        m_stamp = stamp;
        m_stampSecond = now;
    }
    m_buffer += m_stamp;
    m_buffer += text;
    m_buffer += '\n';
}

void ServerLog::flush()
{
    while (m_fd >= 0 && m_written < m_buffer.size()) {
        std::size_t length = std::min(kWriteChunk, m_buffer.size() - m_written);
        if (m_written + length < m_buffer.size()) {
            const auto newline = std::string_view(m_buffer).substr(m_written, length).rfind('\n');
            if (newline != std::string_view::npos)
                length = newline + 1;
        }
        const char* from = m_buffer.data() + m_written;
        const ssize_t put = m_writer == Writer::Send ? ::send(m_fd, from, length, MSG_DONTWAIT | MSG_NOSIGNAL)
                                                     : ::write(m_fd, from, length);
        if (put > 0) {
            m_written += static_cast<std::size_t>(put);
            m_blocked = false;
            continue;
        }
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            m_blocked = true;
            break;
        }
        // A log that cannot be written (reader gone, disk full) loses what waits.
        const auto lost
            = std::count(m_buffer.begin() + static_cast<std::ptrdiff_t>(m_written), m_buffer.end(), '\n');
        m_droppedFull += static_cast<std::uint64_t>(lost);
        m_droppedTotal += static_cast<std::uint64_t>(lost);
        m_written = m_buffer.size();
    }
    if (m_written == m_buffer.size()) {
        m_buffer.clear();
        m_written = 0;
    } else if (m_written > m_options.maxBufferedBytes / 4) {
        m_buffer.erase(0, m_written);
        m_written = 0;
    }
    if ((m_droppedRate || m_droppedFull) && !m_blocked && m_fd >= 0)
        appendNotice(Steady::now()); // written on the next turn
}

int ServerLog::pollDescriptor() const
{
    return m_blocked && m_written < m_buffer.size() ? m_fd : -1;
}

} // namespace voxlet::directory_server
