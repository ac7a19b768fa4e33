#pragma once
// The main window's replacement procedure: turns socket and capture
// notifications into the call's actions.

#include "call/app_state.h"
#include "call/call_context.h"

#include <QString>

#include <cstdint>

namespace voxlet {

class PeerProtocol;
class ServerProtocol;

class EventHub {
public:
    EventHub(CallContext& ctx, PeerProtocol& peer, ServerProtocol& server)
        : ctx_(ctx)
        , peer_(peer)
        , server_(server)
    {
    }

    // Forwards to the previous procedure first and returns its result.
    std::intptr_t WindowProc(int message, std::intptr_t wParam, std::intptr_t lParam);

    // A captured piece (Data, BytesRecorded): sent at once during a call.
    void OnCaptureBufferFull(CaptureHeader* piece);
    void OnSocketEvent(int socket, int event, int error);

private:
    void OnRead(int socket);
    void OnTextRead(int& callSocket, bool external);
    void OnAccept();
    // A connection accepted while the directory may be dialling back waits
    // for its first words (at most kFirstWordsMs) before it is greeted.
    void Hold(int accepted);
    void OnHeldRead();
    void ReleaseHeld(std::uint64_t which);
    // The caller accepted (now or after its first words) takes the line.
    bool TakeCaller(int accepted);
    void OnConnect(int socket);
    void OnClose(int socket);

    CallContext& ctx_;
    PeerProtocol& peer_;
    ServerProtocol& server_;
    int held_ = 0;
    QString heldWords_; // what it said so far
    std::uint64_t heldCount_ = 0; // tells a held socket from a later one with its number
};

// How long an accepted connection may keep quiet while a dial-back is expected.
constexpr int kFirstWordsMs = 1000;

} // namespace voxlet
