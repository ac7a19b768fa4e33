#pragma once
// The phone's only contact with TCP/IP: listening (IPv4 and IPv6 on one
// socket), dialling, and moving voice and UTF-16LE text messages over
// non-blocking sockets.

#include "call/app_state.h"
#include "net/call_sockets.h"
#include "net/voice_sender.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

class QEventLoop;

namespace voxlet {

class AsyncSelect;
class HappyDialer;
class MainWindowPort;
class MessageBoxPort;

struct NetOptions {
    // The own IPv4 address, the one callers are taken on; unset: the
    // machine's first. Set alone, the listener is IPv4 only, bound to it.
    std::optional<std::int32_t> localAddress;
    // The own IPv6 address callers are taken on; unset: the machine's
    // stable one (LocalIPv6Address). Set, the listener takes both families
    // even where localAddress is set.
    std::optional<QString> ownIPv6;
    // Dial from the own address (lets several phones share loopback in tests).
    bool bindOutgoing = false;
    std::uint16_t peerPort = 8002;
    std::uint16_t serverPort = 8003;
};

constexpr int kMaxTextChars = 2500;
constexpr int kTextReadBytesPerEvent = 64 * 1024;
// One read of text; even, so no character is split between two reads.
constexpr int kTextReadChunkBytes = 4998;
// Captured voice that may wait unsent before the oldest is dropped (100 ms).
constexpr int kVoiceUnsentBytes = 1600;
// ... the same of an HD call, in 20 ms frames, and what may wait in the
// kernel unsent meanwhile (five frames of 32 kbit/s are about 415 bytes).
constexpr int kVoiceUnsentFrames = 5;
constexpr int kFramedUnsentBytes = 512;
// How long a hung-up call may take to hand over the rest of its last block,
// and how long exit waits for that.
constexpr int kVoiceDrainMs = 3000;
constexpr int kExitDrainMs = 1000;
// How long the listener rests when the system has no descriptor or memory
// to spare for another connection.
constexpr int kAcceptBackoffMs = 1000;

class SocketLayer : public CallSockets {
public:
    SocketLayer(
        AppState& st, MainWindowPort& main, MessageBoxPort& boxes, AsyncSelect& async, NetOptions options);
    ~SocketLayer();

    void StartNetwork();
    // WSACleanup: closes whatever is still open, once hung-up calls have
    // handed over their last block (at most kExitDrainMs, events run meanwhile).
    void Cleanup();
    bool StartListening(); // true on failure
    void ConnectToPeer(int& socketVar, const QString& host) override;
    void ConnectToServer(const QString& host) override;
    // Captured voice, sent as it comes; what the socket cannot take yet
    // waits (a little: stale voice is dropped in whole samples).
    void SendVoiceData(int& socketVar, const char* data, int count) override;
    // The same in whole frames: stale voice is dropped in whole frames, and
    // at hang-up nothing is added after the last.
    void SendVoiceFrame(int& socketVar, const char* frame, int bytes) override;
    bool RoomForVoiceFrame(int& socketVar, int bytes) override;
    // One read into VoiceRecvBuffer, never past the current block: returns
    // the bytes read (at *received) and sets VoiceBlockReady on a whole block.
    int ReceiveVoiceData(int& socketVar, const char** received = nullptr) override;
    void SendTextMessage(int& socketVar) override;
    // RecvText := what is readable now, bytes left unhandled first. While
    // such bytes remain, a read takes only from them, at most one read's worth.
    void ReceiveTextMessage(int& socketVar) override;
    // The characters of the last text read from `fromChar` on were not
    // handled: they (and a half character after them) are read again, by
    // the next read of either kind, which is reported at once.
    void KeepUnread(int& socketVar, qsizetype fromChar) override;
    // The peer's answer was the last text: a half character held back is
    // the first byte of its voice.
    void VoiceFollowsText(int& socketVar) override;
    // We answer: what the caller sent until now is text (it talks only once
    // it has our answer), so nothing of it may be taken for voice.
    void DropUnhandledText(int& socketVar) override;

    // accept() on the listener: the new socket (or 0) and a Winsock error.
    // When the system is out of descriptors or memory the listener is not
    // reported again for a while, instead of at once and for ever.
    // An IPv6 caller's address comes back with the family AF_INET6 and no
    // IPv4 address; PeerAddressText names it.
    int Accept(int listenSocket, sockaddr_in& from, int& error) override;
    // The caller's address as the phone shows and compares it: dotted for
    // IPv4 (also over the IPv6 socket), the short form for IPv6.
    QString PeerAddressText(const sockaddr_in& from) const override;
    // closesocket alone / shutdown both ways then close; both reset the variable.
    // A call socket that carried voice first completes its current block
    // with silence and hands it over in the background, then ends its side
    // (FIN) and reads what the peer still sends until the peer closes too:
    // the far end never keeps part of a block and sees no reset.
    void CloseSocket(int& socketVar) override;
    void ShutdownAndClose(int& socketVar) override;
    void Select(int socket, int mask) override;
    // Whether the socket is one of ours still open (a dial no variable holds may be).
    bool Knows(int socket) const override;
    QString WaitingText(int socket) const override;
    // The IPv6 address callers are taken on from now (empty: none).
    void SetListenIPv6(const QString& address) { listenIPv6_ = address; }
    const QString& listenIPv6() const { return listenIPv6_; }
    // Another IPv4 address callers are taken on: the one the home router
    // forwards them to, where that is not the own one (empty: none).
    void SetMappedIPv4(const QString& address) { mappedIPv4_ = address; }

    std::int32_t OwnAddress() const;

    // Voice bytes dropped because the far end did not take them fast enough,
    // and how many times that happened (in this run, over all calls).
    std::uint64_t droppedVoiceBytes() const { return droppedBytes_; }
    std::uint64_t voiceDrops() const { return drops_; }
    // Voice bytes sent on the socket so far (0 for one that never carried voice).
    std::uint64_t sentVoiceBytes(int socket) const;
    // Hung-up calls still handing over their last block.
    int drainingSockets() const;

private:
    class VoiceDrain;

    int NewSocket(int family = AF_INET);
    void Connect(int& socketVar, const sockaddr_in& to);
    // Whether an accepted connection came in on an address this phone takes calls on.
    bool OnOwnAddress(int fd) const;
    void DialPeer(int& socketVar, const QString& host);
    void PrepareDial(int fd);
    void SendVoice(int socket, const char* data, int count, bool framed);
    void FlushLater(int socket);
    void DrainEnded();
    void Release(int socket);

    AppState& st_;
    MainWindowPort& main_;
    MessageBoxPort& boxes_;
    AsyncSelect& async_;
    NetOptions options_;
    std::unordered_map<int, VoiceSender> voice_;
    // Hung-up sockets, each owned by its drain until it is closed.
    std::vector<std::unique_ptr<VoiceDrain>> drains_;
    QEventLoop* exitWait_ = nullptr;
    // An odd byte read last time: the first half of a character.
    std::unordered_map<int, char> oddByte_;
    // Bytes read but not handled yet, from `at` on.
    struct Unread {
        QByteArray bytes;
        qsizetype at = 0;
    };
    std::unordered_map<int, Unread> unread_;
    // Bytes were taken from a socket's unread ones: the rest waits for a
    // read event of its own, or the entry goes once all is taken.
    void ConsumeUnread(std::unordered_map<int, Unread>::iterator u, qsizetype bytes);
    // The bytes behind RecvText, until the next text read.
    int lastTextSocket_ = 0;
    QByteArray lastText_;
    // Dials racing a second address family, by the descriptor they fill.
    std::unordered_map<int, std::unique_ptr<HappyDialer>> dialers_;
    QString lastIPv6Caller_;
    bool dualStack_ = false;
    QString listenIPv6_;
    QString mappedIPv4_;
    std::uint64_t droppedBytes_ = 0;
    std::uint64_t drops_ = 0;
};

// accept() found no connection after all (the caller gave up first).
bool IsTransientAcceptError(int winsockCode);
// accept() failed for want of descriptors or memory: nothing is wrong with
// the listener, and the caller waits in its queue.
bool IsAcceptResourceShortage(int winsockCode);

// UTF-16LE on the wire, two bytes per code unit; an odd last byte is dropped.
QByteArray EncodeWireText(const QString& text);
QString DecodeWireText(const char* bytes, int count);

} // namespace voxlet
