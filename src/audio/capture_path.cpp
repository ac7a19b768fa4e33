#include "audio/capture_path.h"

#include "audio/echo_path.h"

#include <QSocketNotifier>

#include <algorithm>

#include <sys/eventfd.h>
#include <unistd.h>

namespace voxlet {

namespace {
constexpr std::size_t kMaxPieceBytes = 2 * 48000 / 50;
const char kZeros[kMaxPieceBytes] = {};
} // namespace

CapturePath::CapturePath(QObject* parent)
    : QObject(parent)
{
    eventFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (eventFd_ >= 0) {
        notifier_ = new QSocketNotifier(eventFd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] { deliverWaiting(); });
    }
    silence_.setInterval(20);
    silence_.setTimerType(Qt::PreciseTimer);
    connect(&silence_, &QTimer::timeout, this, [this] { onSilenceTick(); });
}

CapturePath::~CapturePath()
{
    delete notifier_;
    if (eventFd_ >= 0)
        ::close(eventFd_);
}

void CapturePath::begin(const CallVoice& voice, CaptureDevice::PieceCallback onPiece)
{
    voice_ = voice;
    pieceBytes_ = std::min(voice.pieceBytes(), int(kMaxPieceBytes));
    onPiece_ = std::move(onPiece);
}

void CapturePath::end()
{
    silence_.stop();
    ring_.discard(ring_.readable());
    onPiece_ = nullptr;
}

void CapturePath::streamUp()
{
    up_ = true;
    wake();
}

void CapturePath::streamDown()
{
    if (up_.exchange(false))
        wake();
}

void CapturePath::recorded(const void* data, std::size_t bytes, int latencyMs)
{
    std::size_t written;
    if (data) {
        written = put(data, bytes, latencyMs);
    } else {
        written = 0;
        for (std::size_t left = bytes; left > 0;) {
            const std::size_t n = std::min(left, sizeof kZeros);
            const std::size_t w = put(kZeros, n, latencyMs);
            written += w;
            left -= n;
            if (w < n)
                break;
        }
    }
    if (written < bytes)
        overflow_ += bytes - written;
}

void CapturePath::recordedAll()
{
    // The server may hand over 5 ms at a time; the main thread wakes only
    // when it has a whole piece to deliver.
    if (ring_.readable() >= std::size_t(pieceBytes_.load()))
        wake();
}

std::size_t CapturePath::put(const void* data, std::size_t bytes, int latencyMs)
{
    return echo_ ? echo_->captured(data, bytes, latencyMs, ring_) : ring_.write(data, bytes);
}

void CapturePath::wake()
{
    const std::uint64_t one = 1;
    if (eventFd_ >= 0 && ::write(eventFd_, &one, sizeof one) < 0) {
        // Only fails when the counter is saturated: the main thread is awake anyway.
    }
}

void CapturePath::deliverWaiting()
{
    std::uint64_t count = 0;
    if (eventFd_ >= 0 && ::read(eventFd_, &count, sizeof count) < 0) {
        // Nothing pending: a direct call, not a wake-up.
    }
    if (!onPiece_)
        return;
    const std::size_t pieceBytes = std::size_t(pieceBytes_.load());
    char piece[kMaxPieceBytes];
    while (onPiece_ && ring_.readable() >= pieceBytes) {
        ring_.read(piece, pieceBytes);
        deliver(piece);
    }
    if (!onPiece_)
        return; // stopped from inside the callback
    if (up_) {
        silence_.stop();
    } else if (!silence_.isActive()) {
        silenceClock_.start();
        silenceDue_ = 0;
        silence_.start();
    }
}

void CapturePath::onSilenceTick()
{
    if (up_ || !onPiece_) {
        silence_.stop();
        return;
    }
    // By the clock, not by ticks: a late timer still gives the right amount.
    const std::uint64_t pieceBytes = std::uint64_t(pieceBytes_.load());
    const std::uint64_t due = std::uint64_t(silenceClock_.elapsed()) * std::uint64_t(voice_.rate) * 2 / 1000;
    while (silenceDue_ + pieceBytes <= due && onPiece_ && !up_) {
        silenceDue_ += pieceBytes;
        silentBytes_ += pieceBytes;
        deliver(kZeros);
    }
}

void CapturePath::deliver(const char* piece)
{
    // A copy: the callback may stop capture, which forgets onPiece_.
    const CaptureDevice::PieceCallback onPiece = onPiece_;
    onPiece(piece, pieceBytes_.load());
}

} // namespace voxlet
