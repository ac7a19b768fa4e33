#pragma once
// voxlet-directory on a thread of its own, at port 8003 of the given address.

#include "server/directory_server.h"

#include <QString>

#include <functional>
#include <thread>

namespace voxlet::test {

class RunningDirectory {
public:
    // With a sink (and quiet off), the log lines go there.
    explicit RunningDirectory(const QString& address,
        const std::function<void(directory_server::ServerOptions&)>& adjust = {},
        directory_server::DirectoryServer::LogSink sink = {})
        : server_(
            [&] {
                directory_server::ServerOptions o;
                o.listenAddress = address.toStdString();
                o.port = 8003;
                o.quiet = true;
                if (adjust)
                    adjust(o);
                return o;
            }(),
            std::move(sink))
    {
        std::string why;
        started = server_.start(why);
        error = QString::fromStdString(why);
        if (started)
            thread_ = std::thread([this] { server_.run(); });
        else
            qWarning("directory server: %s", why.c_str());
    }
    ~RunningDirectory()
    {
        server_.stop();
        if (thread_.joinable())
            thread_.join();
    }
    // The port it listens on (the one it chose, for port 0).
    std::uint16_t port() const { return server_.port(); }
    bool started = false;
    QString error;

private:
    directory_server::DirectoryServer server_;
    std::thread thread_;
};

} // namespace voxlet::test
