#include "support/call_relay.h"

#include "call/call_cipher.h"
#include "call/protocol_messages.h"
#include "support/raw_peer.h"

#include <poll.h>
#include <sys/socket.h>

#include <memory>

namespace voxlet::test {

CallRelay::CallRelay(const QString& at, const QString& from, const QString& to, Tamper tamper)
    : thread_([this, listener = RawSocket(RawListen(at, 8002)), from, to, tamper]() mutable {
        RawSocket sides[2];
        while (!stop_ && !sides[0].valid())
            sides[0] = listener.accept(20);
        if (!sides[0].valid() || !sides[1].connectTo(from, to, 8002))
            return;
        pollfd p[2] = { { sides[0].fd(), POLLIN, 0 }, { sides[1].fd(), POLLIN, 0 } };
        // Either side gone: the call is over, and so is the other side's.
        for (bool open = true; open && !stop_;) {
            if (::poll(p, 2, 20) <= 0)
                continue;
            for (int side = 0; open && side < 2; ++side) {
                if (!p[side].revents)
                    continue;
                QByteArray read(65536, Qt::Uninitialized), back;
                const ssize_t got = ::recv(p[side].fd, read.data(), size_t(read.size()), 0);
                read.truncate(std::max<ssize_t>(got, 0));
                if (tamper && got > 0)
                    tamper(side == 0, read, back);
                open = got > 0 && sides[1 - side].sendAll(read) && sides[side].sendAll(back);
            }
        }
    })
{
}

CallRelay::~CallRelay()
{
    stop_ = true;
    thread_.join();
}

CallRelay::Tamper ManInTheMiddle()
{
    struct Middle {
        secure::KeyPair key = secure::GenerateKeyPair();
        QString request, forwarded;
        CallCipher withCalled, withDialling; // he dials the one, and is called by the other
    };
    const auto field = [](const QString& text, const char* key) {
        const QStringList pieces = protocol::Pieces(text);
        return protocol::ParseVoxletField(pieces.value(pieces.size() - 2))
            .value_or(protocol::VoxletField {})
            .value(key);
    };
    return [m = std::make_shared<Middle>(), field](bool toCalled, QByteArray& read, QByteArray& back) {
        const QString text = FromUtf16(read), greeting = protocol::Greeting();
        if (toCalled && text.startsWith(greeting)) {
            // His own commitment in the caller's place.
            m->request = text;
            read = Utf16(m->forwarded = QString(text).replace(field(text, "c"), m->withCalled.Dial(m->key)));
        } else if (!toCalled && text.startsWith(QStringLiteral("CallAnswer"))) {
            // The called side gets his message 2, the caller his key.
            m->withCalled.Answered(greeting, m->forwarded, text, field(text, "e"));
            back = m->withCalled.FirstFrame();
            const QString answer = protocol::Answer(QStringLiteral("vx1;codec=opus16;e=")
                + m->withDialling.Called(m->key, field(m->request, "c")));
            m->withDialling.Answering(greeting, m->request, answer);
            read = Utf16(answer);
        } else if (text != greeting) {
            // The caller's message 2 gets his message 3; nothing else goes on.
            frames::FrameReader reader;
            frames::Frame frame;
            reader.push(read.constData(), int(read.size()));
            if (toCalled && reader.next(frame) && frame.type == frames::kMessage2)
                back = m->withDialling.Take(frame).reply;
            read.clear();
        }
    };
}

} // namespace voxlet::test
