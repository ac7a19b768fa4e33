#pragma once
// What the call logic asks of the socket layer, and no more: the handlers
// hold this, so that they can run on a recording fake as well.

#include <QString>

#include <netinet/in.h>

namespace voxlet {

class CallSockets {
public:
    virtual ~CallSockets() = default;

    virtual void ConnectToPeer(int& socketVar, const QString& host) = 0;
    virtual void ConnectToServer(const QString& host) = 0;
    virtual void SendVoiceData(int& socketVar, const char* data, int count) = 0;
    // One whole frame of an HD call's voice.
    virtual void SendVoiceFrame(int& socketVar, const char* frame, int bytes) = 0;
    // Whether a frame of `bytes` can go now without an older one that waits
    // being dropped; when not, it counts as dropped (and is not to be sent).
    virtual bool RoomForVoiceFrame(int& socketVar, int bytes) = 0;
    virtual int ReceiveVoiceData(int& socketVar, const char** received = nullptr) = 0;
    virtual void SendTextMessage(int& socketVar) = 0;
    virtual void ReceiveTextMessage(int& socketVar) = 0;
    virtual void KeepUnread(int& socketVar, qsizetype fromChar) = 0;
    virtual void VoiceFollowsText(int& socketVar) = 0;
    virtual void DropUnhandledText(int& socketVar) = 0;
    virtual int Accept(int listenSocket, sockaddr_in& from, int& error) = 0;
    virtual QString PeerAddressText(const sockaddr_in& from) const = 0;
    virtual void CloseSocket(int& socketVar) = 0;
    virtual void ShutdownAndClose(int& socketVar) = 0;
    virtual void Select(int socket, int mask) = 0;
    virtual bool Knows(int socket) const = 0;
    // What the socket has received and nobody has read yet, left there.
    virtual QString WaitingText(int socket) const = 0;
};

} // namespace voxlet
