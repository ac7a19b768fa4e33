#pragma once
// The administrator's way in: a Unix datagram socket on which the server
// takes one command per datagram and answers the sender with one datagram.
// Who may send is who may write to the socket file (mode 0600: the
// server's own user). Commands, in UTF-8:
//   remove NAME   take NAME out of the directory, with its failed PASS count
// Answers: "removed NAME", "not registered NAME" or "error TEXT".

#include "server/directory_store.h"

#include <functional>
#include <string>

namespace voxlet::directory_server {

class ControlSocket {
public:
    using Logger = std::function<void(const std::string& line)>;

    ControlSocket(DirectoryStore& store, Logger log);
    ~ControlSocket();
    ControlSocket(const ControlSocket&) = delete;
    ControlSocket& operator=(const ControlSocket&) = delete;

    // Binds `path` (a stale socket there is replaced); false with a reason.
    bool open(const std::string& path, std::string& error);
    int descriptor() const { return m_fd; }
    // The socket is readable: handles the datagrams waiting.
    void onReadable();

private:
    void answer(const std::string& to, const std::string& text);

    DirectoryStore& m_store;
    Logger m_log;
    std::string m_path;
    int m_fd = -1;
};

// The client side, for `voxlet-directory --remove NAME`: sends `command` to
// the socket at `path` and waits up to five seconds for the answer; false
// with a reason when there is none.
bool SendControlCommand(const std::string& path, const std::string& command, std::string& answer);

} // namespace voxlet::directory_server
