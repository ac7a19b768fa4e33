// Bytes a peer sends on a call socket, read by the real hub as read events,
// mixed with what else moves a call along: the user's answer, the peer
// hanging up and the next caller taking the line, our microphone, exit. The
// first byte chooses the phone's side of the call; the rest is split into
// steps. A step that starts with 0xFE and an action byte is that action;
// any other step is one read. Steps after the first arrive from inside the
// ring loops, as they would from a real peer, so long runs of requests reach
// whatever nesting the loops allow.

#define VOXLET_FUZZ_PHONE
#include "fuzz_support.h"

#include <QTimer>

#include <algorithm>

using namespace voxlet;
using namespace voxlet::fuzz;

namespace {

enum Flags : std::uint8_t {
    kExternal = 1, // we dialled a search call: the peer talks on ExternalSocket
    kOutgoing = 2, // we dialled a direct call
    kInTray = 4, // the window is hidden in the tray
    kSearchOpen = 8, // the search window is open
    kSendVoice = 16, // our microphone produces blocks once talking
    kNoWaveform = 32,
};

enum Action : std::uint8_t {
    kAnswer, // the user presses 応答 (when it is enabled)
    kNextCaller, // the peer hangs up and another caller takes the line
    kExit, // the user exits
    kHangUpSearchCall, // the search window's hang-up
    kMicrophone, // our microphone fills a block
    kActions
};

constexpr std::size_t kMaxSteps = 512;
// However the steps come, the stack stays about as deep as one ring loop.
constexpr std::ptrdiff_t kMaxStackBytes = 512 * 1024;

class Harness {
public:
    Harness(std::uint8_t flags, std::vector<std::string_view> reads)
        : flags_(flags)
        , reads_(std::move(reads))
    {
        const char here = 0;
        stackBase_ = &here;
        AppState& st = fp_.phone->st;
        const bool external = flags & kExternal;
        (external ? st.ExternalSocket : st.CallSocket) = pair_->near;
        st.Connected = true;
        st.OutgoingCall = !external && (flags & kOutgoing);
        st.CallerAccepted = !external && !st.OutgoingCall;
        st.PeerAddress = QStringLiteral("127.0.0.2");
        st.ShowWaveform = !(flags & kNoWaveform);
        st.ProfileName = QStringLiteral("Jiro");
        if (flags & kInTray) {
            st.InTray = true;
            fp_.phone->HideToTray();
        }
        if (flags & kSearchOpen)
            fp_.phone->search.Form_Load();
        // Reads arrive from the event loop, so those after a ring has begun
        // are handled inside the ring loop, as a real peer's would be.
    }

    void Run()
    {
        while (next_ < reads_.size() && (PhoneHoldsSocket() || exited_))
            Tick();
        FUZZ_CHECK(fp_.phone->ringingFile().isEmpty());
        CheckSane();
        if (exited_)
            return;
        // The peer goes away: whatever state the call is in, the phone is idle again.
        HangUp();
        AppState& st = fp_.phone->st;
        FUZZ_CHECK(!st.VoiceMode && !st.Connected);
        FUZZ_CHECK(st.CallSocket == 0 && st.ExternalSocket == 0);
        FUZZ_CHECK(fp_.phone->ringingFile().isEmpty());
        FUZZ_CHECK(fp_.main.isEnabled(Control::CLIBTN));
    }

private:
    bool PhoneHoldsSocket() const
    {
        const AppState& st = fp_.phone->st;
        return st.CallSocket == pair_->near || st.ExternalSocket == pair_->near;
    }

    void Notify(int event) { fp_.phone->SendWindowMessage(WM_SOCKET_NOTIFY, pair_->near, event); }

    void Tick()
    {
        // A fresh timer each time: a timer whose handler is still running
        // (inside a ring loop) would not fire again. One at a time: ticks
        // piled up while nothing ran would all come in one pass of a loop.
        if (!tickPending_) {
            tickPending_ = true;
            QTimer::singleShot(0, &ticks_, [this] {
                tickPending_ = false;
                Tick();
            });
        }
        // A hung-up call hands over its last block and waits for the peer
        // to close in turn, as peers do.
        if (pair_->far >= 0 && !PhoneHoldsSocket() && pair_->drain())
            pair_->closeFar();
        if (exited_) {
            // Exit ends every loop at its next poll; nothing is read any more.
            next_ = reads_.size();
            if (!fp_.phone->ringingFile().isEmpty())
                FUZZ_CHECK(++ticksAfterExit_ < 100);
            return;
        }
        if (next_ < reads_.size() && PhoneHoldsSocket()) {
            DeliverNext();
            return;
        }
        // Nothing more to say, and the phone still rings: the peer hangs up
        // (a ring loop waits for the answer or the close, however long).
        if (!fp_.phone->ringingFile().isEmpty()) {
            FUZZ_CHECK(++hangUpsWhileRinging_ < 1000);
            HangUp();
        }
    }

    void HangUp()
    {
        const bool held = PhoneHoldsSocket();
        if (pair_->far >= 0)
            pair_->closeFar();
        if (held)
            Notify(FD_CLOSE);
        else
            fp_.phone->st.RingStop = true; // the phone dropped the socket itself
    }

    void DeliverNext()
    {
        if (next_ >= reads_.size() || !PhoneHoldsSocket())
            return;
        const std::string_view step = reads_[next_++];
        if (step.size() >= 2 && std::uint8_t(step[0]) == 0xFE) {
            Act(Action(std::uint8_t(step[1]) % kActions));
        } else {
            pair_->send(step);
            Notify(FD_READ);
        }
        AppState& st = fp_.phone->st;
        if ((flags_ & kSendVoice) && st.VoiceMode && st.Connected)
            fp_.capture.produce(QByteArray(kVoiceBlockBytes, '\x11'));
        if (pair_->far >= 0)
            pair_->drain();
        CheckSane();
    }

    void Act(Action action)
    {
        AppState& st = fp_.phone->st;
        switch (action) {
        case kAnswer:
            if (fp_.main.isEnabled(Control::Command3))
                fp_.phone->Command3_Click();
            break;
        case kNextCaller:
            if (flags_ & kExternal)
                break;
            // The line is free again, and a new caller is accepted on it, as
            // the hub does: a new socket, greeted, counted as a new call.
            HangUp();
            pair_ = std::make_unique<SocketPair>();
            st.CallSocket = pair_->near;
            st.Connected = true;
            st.CallerAccepted = true;
            st.RingStop = false;
            st.OutgoingCall = false;
            fp_.phone->CallChanged();
            break;
        case kExit:
            fp_.phone->Command1_Click();
            exited_ = true;
            break;
        case kHangUpSearchCall:
            if (flags_ & kExternal) {
                fp_.phone->search.CallPlaced = true;
                fp_.phone->search.mnu_CLOSE_Click();
            }
            break;
        case kMicrophone:
            fp_.capture.produce(QByteArray(kVoiceBlockBytes, '\x22'));
            break;
        case kActions:
            break;
        }
    }

    void CheckSane() const
    {
        const char here = 0;
        FUZZ_CHECK(stackBase_ - &here < kMaxStackBytes);
        const AppState& st = fp_.phone->st;
        FUZZ_CHECK(st.VoiceRecvCount >= 0 && st.VoiceRecvCount < kVoiceBlockBytes);
        FUZZ_CHECK(!st.VoiceBlockReady);
        // Every read event took at most the bounded amount of text.
        FUZZ_CHECK(st.RecvText.size() <= kTextReadBytesPerEvent / 2);
        FUZZ_CHECK(fp_.playback.written.size() <= next_ * (kTextReadBytesPerEvent / kVoiceBlockBytes + 1));
        for (const QByteArray& block : fp_.playback.written)
            FUZZ_CHECK(block.size() == kVoiceBlockBytes);
    }

    std::uint8_t flags_;
    std::vector<std::string_view> reads_;
    std::size_t next_ = 0;
    int hangUpsWhileRinging_ = 0;
    int ticksAfterExit_ = 0;
    bool tickPending_ = false;
    bool exited_ = false;
    const char* stackBase_ = nullptr;
    FuzzPhone fp_;
    std::unique_ptr<SocketPair> pair_ = std::make_unique<SocketPair>();
    QObject ticks_; // owns the pending ticks: gone with the harness
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    InitQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    Harness h(data[0], SplitInput(data + 1, size - 1, kMaxSteps));
    h.Run();
    return 0;
}
