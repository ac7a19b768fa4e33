// voxlet-directory: the connection server that Voxlet clients register with.

#include "server/directory_server.h"
#include "server/server_options.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

namespace {

voxlet::directory_server::DirectoryServer* g_server = nullptr;

extern "C" void OnStopSignal(int)
{
    if (g_server)
        g_server->stop();
}

extern "C" void OnHangUp(int)
{
    if (g_server)
        g_server->reopenLog();
}

} // namespace

int main(int argc, char** argv)
{
    using namespace voxlet::directory_server;

    const ParsedArguments parsed = ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "voxlet-directory: %s\n\n%s", parsed.error.c_str(), UsageText().c_str());
        return 2;
    }
    if (parsed.showHelp) {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }
    if (parsed.options.removeName) {
        if (parsed.options.controlSocket.empty()) {
            std::fprintf(stderr, "voxlet-directory: --remove needs the server's --control-socket\n");
            return 2;
        }
        std::string answer;
        const bool answered = SendControlCommand(
            parsed.options.controlSocket, "remove " + *parsed.options.removeName, answer);
        std::fprintf(
            answered ? stdout : stderr, "%s%s\n", answered ? "" : "voxlet-directory: ", answer.c_str());
        return answered && answer.rfind("removed ", 0) == 0 ? 0 : 1;
    }

    std::signal(SIGPIPE, SIG_IGN);
    // Until the handlers are in place a hang-up (log rotation) must not kill us.
    std::signal(SIGHUP, SIG_IGN);
    RaiseOpenFileLimit();
    DirectoryServer server(parsed.options);
    std::string error;
    if (!server.start(error)) {
        std::fprintf(stderr, "voxlet-directory: %s\n", error.c_str());
        return 1;
    }
    g_server = &server;
    struct sigaction action { };
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = OnHangUp;
    sigaction(SIGHUP, &action, nullptr);

    server.run();
    g_server = nullptr;
    return 0;
}
