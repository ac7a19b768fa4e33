#pragma once
// The call logic on recording fakes: the hub, the two protocols and the
// voice path as the phone wires them, with a socket layer that delivers
// exactly the pieces a test names and records what was sent and closed.
// No socket, no event loop, no timing: one event in, what it did out.

#include "audio/voice_io.h"
#include "call/event_hub.h"
#include "call/peer_protocol.h"
#include "call/server_protocol.h"
#include "call/voice_link.h"
#include "history/call_recorder.h"
#include "support/fake_devices.h"
#include "support/fake_windows.h"
#include "support/test_support.h"

#include <QTemporaryDir>
#include <QTimeZone>

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace voxlet::test {

class FakeSockets : public CallSockets {
public:
    explicit FakeSockets(AppState& st)
        : st_(st)
    {
    }

    // Who the next Accept takes off the queue (none: nobody, as after a
    // caller gave up).
    struct Arrival {
        int socket;
        QString address;
        int error = 0;
    };
    std::deque<Arrival> arrivals;
    // Bytes the far end sent, not read yet, by socket.
    std::map<int, QByteArray> incoming;
    // Every text sent, by socket, in order.
    std::map<int, QStringList> sent;
    std::map<int, QByteArray> voiceSent;
    QList<int> closed;
    std::set<int> open;
    // The hub left text unread: the socket layer would report it again at once.
    bool readAgain = false;
    int nextSocket = 100;

    void ConnectToPeer(int& socketVar, const QString&) override { open.insert(socketVar = nextSocket++); }
    void ConnectToServer(const QString&) override { open.insert(st_.ServerSocket = nextSocket++); }
    void SendVoiceData(int& socketVar, const char* data, int count) override
    {
        voiceSent[socketVar].append(data, count);
    }
    void SendVoiceFrame(int& socketVar, const char* frame, int bytes) override
    {
        voiceSent[socketVar].append(frame, bytes);
    }
    bool RoomForVoiceFrame(int&, int) override { return true; }
    int ReceiveVoiceData(int& socketVar, const char** received) override;
    void SendTextMessage(int& socketVar) override { sent[socketVar] << st_.SendText; }
    void ReceiveTextMessage(int& socketVar) override;
    void KeepUnread(int& socketVar, qsizetype fromChar) override;
    void VoiceFollowsText(int&) override { }
    void DropUnhandledText(int& socketVar) override { incoming.erase(socketVar); }
    int Accept(int listenSocket, sockaddr_in& from, int& error) override;
    QString PeerAddressText(const sockaddr_in& from) const override;
    void CloseSocket(int& socketVar) override;
    void ShutdownAndClose(int& socketVar) override { CloseSocket(socketVar); }
    void Select(int, int) override { }
    bool Knows(int socket) const override { return open.count(socket) > 0; }
    QString WaitingText(int socket) const override;

private:
    AppState& st_;
    int lastTextSocket_ = 0;
    QByteArray lastText_;
};

class CallBench : public CallShell, public SearchWindowPort {
public:
    // hd: the phone offers HD when it dials and takes it when offered.
    explicit CallBench(bool hd = false);

    // The listener reports a caller from `from`; returns its socket.
    int accept(const QString& from = QStringLiteral("192.0.2.7"), int error = 0);
    // The far end's bytes arrive in one read (read again while the hub
    // leaves some unread, as the socket layer does).
    void read(int socket, const QByteArray& bytes);
    void read(int socket, const QString& text) { read(socket, Utf16(text)); }
    void closed(int socket);
    void connected(int socket, int error = 0);
    // What the dial command starts with: a connect under way to `host`.
    void dial(const QString& host);

    QStringList texts(int socket) const;

    // CallShell: the ring loops return at once.
    void PlayRing(const QString& file) override { rings << file; }
    void PlayRingBack() override { rings << QStringLiteral("ring-back"); }
    void DrawWaveform() override { }
    void HideToTray() override { }
    void RestoreFromTray() override { }
    void StopConnectTimer() override { }
    void SetTimer1(int) override { }
    void SetTimer2(int) override { }
    void CallChanged() override { ++callChanges; }
    void EventHandled() override { }
    void Later(int ms, std::function<void()> task) override { later.push_back({ ms, std::move(task) }); }
    bool ProbeExpected() override { return probeExpected; }
    bool TakeOwnProbe(const QString& words) override { return probeWords && words == *probeWords; }

    // SearchWindowPort: the window stays closed.
    void ClearList() override { }
    void AddLine(const QString&) override { }
    void ShowNobodyWaiting() override { }
    void SetCallEnabled(bool) override { }
    void SetText1(const QString&) override { }
    void SetCloseCaption(const QString&) override { }
    void Unload() override { }

    QStringList rings;
    int callChanges = 0;
    // What the shell was asked to run later, in order; a test runs them.
    std::vector<std::pair<int, std::function<void()>>> later;
    bool probeExpected = false;
    std::optional<QString> probeWords;

    const bool hd;
    QTemporaryDir dir;
    AppState st;
    FakeMainWindow main;
    RecordingMessageBox boxes;
    FakeSockets net { st };
    FakeCaptureDevice capture;
    FakePlaybackDevice playback;
    VoiceIO voice { st, boxes, capture, playback };
    // The calls as they end, in memory, on a clock the test moves.
    QDateTime now { QDate(2024, 5, 1), QTime(10, 0), QTimeZone::utc() };
    history::CallHistory history { QString(), [this] { return now; } };
    history::CallRecorder recorder { history };
    VoiceLink link { net, voice, hd };
    CallContext ctx { st, main, boxes, net, voice, link, *this, *this, dir.path(), &recorder };
    PeerProtocol peer { ctx };
    ServerProtocol server { ctx };
    EventHub hub { ctx, peer, server };

private:
    void notify(int socket, int event, int error = 0);
};

} // namespace voxlet::test
