#include "net/voice_socket_options.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace voxlet {

bool SetVoiceSocketOptions(int socket, int notSentLowatBytes)
{
    const int on = 1;
    const bool nodelay = ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
    const bool lowat
        = ::setsockopt(socket, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &notSentLowatBytes, sizeof notSentLowatBytes)
        == 0;
    return nodelay && lowat;
}

} // namespace voxlet
