#pragma once
// The client side of the exchange with the connection server: log-on with
// the profile, the list of waiting users, the own global address.

#include "call/call_context.h"

#include <QString>

namespace voxlet {

class ServerProtocol {
public:
    explicit ServerProtocol(CallContext& ctx)
        : ctx_(ctx)
    {
    }

    void ServerMessageHandler(const QString& text);

    // The hub's notifications on ServerSocket. One exchange is one reply,
    // then the server closes: a reply is handled once it ends with "END",
    // grows past any list the phone can show, or the server has closed.
    void Connected();
    void ReplyReceived(const QString& piece);
    void Closed();
    void LoadProfile(const QString& fileName);
    QString ReadServerAddress();

    // Register and list, as the search window's connect command and the
    // re-registration timer both start it.
    void ConnectAndRegister();

private:
    void HandReply();

    CallContext& ctx_;
    // A list of a few dozen users comes in several pieces.
    QString reply_;
    QString host_; // the directory the next (or current) exchange is with
};

} // namespace voxlet
