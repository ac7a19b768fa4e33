#include "support/call_bench.h"

#include "net/socket_layer.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace voxlet::test {

int FakeSockets::ReceiveVoiceData(int& socketVar, const char** received)
{
    if (st_.VoiceRecvCount < 0 || st_.VoiceRecvCount >= kVoiceBlockBytes)
        st_.VoiceRecvCount = 0;
    QByteArray& waiting = incoming[socketVar];
    const int got = int(std::min<qsizetype>(waiting.size(), kVoiceBlockBytes - st_.VoiceRecvCount));
    char* at = st_.VoiceRecvBuffer.data() + st_.VoiceRecvCount;
    std::memcpy(at, waiting.constData(), size_t(got));
    waiting.remove(0, got);
    if (received)
        *received = at;
    st_.VoiceRecvCount += got;
    if (st_.VoiceRecvCount >= kVoiceBlockBytes) {
        st_.VoiceRecvCount = 0;
        st_.VoiceBlockReady = true;
    }
    return got;
}

void FakeSockets::ReceiveTextMessage(int& socketVar)
{
    // Whole characters only; a half one waits for its other half.
    QByteArray& waiting = incoming[socketVar];
    lastText_ = waiting.left(std::min<qsizetype>(waiting.size() & ~qsizetype(1), kTextReadChunkBytes));
    waiting.remove(0, lastText_.size());
    lastTextSocket_ = socketVar;
    st_.RecvText = DecodeWireText(lastText_.constData(), int(lastText_.size()));
}

void FakeSockets::KeepUnread(int& socketVar, qsizetype fromChar)
{
    if (socketVar != lastTextSocket_)
        return;
    incoming[socketVar].prepend(lastText_.mid(2 * fromChar));
    readAgain = true;
}

int FakeSockets::Accept(int, sockaddr_in& from, int& error)
{
    error = 0;
    if (arrivals.empty())
        return 0;
    const Arrival a = arrivals.front();
    arrivals.pop_front();
    from = {};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, a.address.toLatin1().constData(), &from.sin_addr);
    error = a.error;
    if (a.error != 0)
        return 0;
    open.insert(a.socket);
    return a.socket;
}

QString FakeSockets::WaitingText(int socket) const
{
    const auto waiting = incoming.find(socket);
    return waiting == incoming.end()
        ? QString()
        : DecodeWireText(waiting->second.constData(), int(waiting->second.size()));
}

QString FakeSockets::PeerAddressText(const sockaddr_in& from) const
{
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    return QString::fromLatin1(text);
}

void FakeSockets::CloseSocket(int& socketVar)
{
    if (socketVar > 0) {
        closed << socketVar;
        open.erase(socketVar);
    }
    socketVar = 0;
}

CallBench::CallBench(bool hdOffers)
    : hd(hdOffers)
{
    // Listening, as after start-up and "SERVER": nothing to answer yet.
    st.ListenSocket = 3;
    main.setEnabled(Control::Command3, false);
    voice.OpenWaveDevices([this](const char* data, int bytes) {
        CaptureHeader piece { const_cast<char*>(data), bytes, bytes };
        hub.WindowProc(MM_WIM_DATA, 0, reinterpret_cast<std::intptr_t>(&piece));
    });
}

int CallBench::accept(const QString& from, int error)
{
    const int socket = net.nextSocket++;
    net.arrivals.push_back({ socket, from, error });
    notify(st.ListenSocket, FD_ACCEPT);
    return socket;
}

void CallBench::read(int socket, const QByteArray& bytes)
{
    net.incoming[socket].append(bytes);
    do {
        net.readAgain = false;
        notify(socket, FD_READ);
    } while (net.readAgain && !net.incoming[socket].isEmpty());
}

void CallBench::closed(int socket)
{
    notify(socket, FD_CLOSE);
}

void CallBench::connected(int socket, int error)
{
    notify(socket, FD_CONNECT, error);
}

void CallBench::dial(const QString& host)
{
    net.ConnectToPeer(st.CallSocket, host);
    ctx.log->Dialled(false, QString(), host);
    st.OutgoingCall = true;
    st.RingStop = false;
}

QStringList CallBench::texts(int socket) const
{
    const auto it = net.sent.find(socket);
    return it == net.sent.end() ? QStringList() : it->second;
}

void CallBench::notify(int socket, int event, int error)
{
    hub.WindowProc(WM_SOCKET_NOTIFY, socket, std::intptr_t(event) | (std::intptr_t(error) << 16));
}

} // namespace voxlet::test
