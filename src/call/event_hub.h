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
    void OnAccept();
    void OnConnect(int socket);
    void OnClose(int socket);

    CallContext& ctx_;
    PeerProtocol& peer_;
    ServerProtocol& server_;
};

} // namespace voxlet
