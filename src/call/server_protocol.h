#pragma once
// The client side of the exchange with the connection server: log-on with
// the profile, the list of waiting users, the own global address.

#include <QString>

namespace voxlet {

class Phone;

class ServerProtocol {
public:
    explicit ServerProtocol(Phone& phone)
        : phone_(phone)
    {
    }

    void ServerMessageHandler(const QString& text);
    void LoadProfile(const QString& fileName);
    QString ReadServerAddress();

    // Register and list, as the search window's connect command and the
    // re-registration timer both start it.
    void ConnectAndRegister();

private:
    Phone& phone_;
};

} // namespace voxlet
