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
    void LoadProfile(const QString& fileName);
    QString ReadServerAddress();

    // Register and list, as the search window's connect command and the
    // re-registration timer both start it.
    void ConnectAndRegister();

private:
    CallContext& ctx_;
};

} // namespace voxlet
