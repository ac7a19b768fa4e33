#pragma once
// Shared by the fuzz targets: input splitting, a failing check that libFuzzer
// reports as a crash, and a whole phone on fake windows and fake audio.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#define FUZZ_CHECK(cond)                                                                                     \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);                    \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)

namespace voxlet::fuzz {

// Several pieces of input (separate reads, separate files, separate
// sessions) travel in one fuzz input, separated by four 0xFF bytes.
inline std::vector<std::string_view> SplitInput(
    const std::uint8_t* data, std::size_t size, std::size_t maxPieces = 16)
{
    static constexpr std::string_view kSeparator("\xFF\xFF\xFF\xFF", 4);
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> pieces;
    while (pieces.size() + 1 < maxPieces) {
        const std::size_t at = rest.find(kSeparator);
        if (at == std::string_view::npos)
            break;
        pieces.push_back(rest.substr(0, at));
        rest.remove_prefix(at + kSeparator.size());
    }
    pieces.push_back(rest);
    return pieces;
}

} // namespace voxlet::fuzz

#ifdef VOXLET_FUZZ_PHONE
#include "audio/audio_devices.h"
#include "phonebook/phone_book_files.h"
#include "shell/phone.h"
#include "support/fake_devices.h"
#include "support/fake_windows.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>

namespace voxlet::fuzz {

class CountingBoxes : public MessageBoxPort {
public:
    void show(const QString&, MessageIcon, const QString&) override { ++shown; }
    int shown = 0;
};

// A data folder with a phone book (the caller 127.0.0.2 "Taro" has its own
// ring file) and a profile, made once per process.
inline const QString& FuzzDataDir()
{
    static QTemporaryDir dir; // removed when the fuzzer exits
    static const QString path = [] {
        QTemporaryDir* d = &dir;
        files::SavePhoneBook(d->path(),
            { QStringLiteral("1 Taro 127.0.0.2 Taro.wav 10:00:00"),
                QStringLiteral("2 花子 127.0.0.3 Ring.wav 11:00:00") });
        files::ProfileFields f { QStringLiteral("Jiro"), QStringLiteral("M"), QStringLiteral("30"),
            QStringLiteral("pw"), QStringLiteral("hi"), QStringLiteral("127.0.0.9") };
        files::SaveProfile(d->path(), f);
        return d->path();
    }();
    return path;
}

inline void InitQt()
{
    static int argc = 1;
    static char name[] = "voxlet-fuzz";
    static char* argv[] = { name, nullptr };
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    (void)app;
    FuzzDataDir();
}

struct FuzzPhone {
    FuzzPhone()
    {
        PhoneOptions options;
        options.dataDir = FuzzDataDir();
        options.ringPollMs = 0; // polls come as fast as events are handled
        phone = std::make_unique<Phone>(options, PhonePorts { main, boxes, tray, capture, playback, sounds });
        sounds.shared->stopImmediately = true;
        phone->Form_Load();
    }
    ~FuzzPhone()
    {
        phone->ThisExit();
        phone.reset();
    }

    test::FakeMainWindow main;
    CountingBoxes boxes;
    test::FakeTray tray;
    test::FakeCaptureDevice capture;
    test::FakePlaybackDevice playback;
    test::FakeSoundPlayerFactory sounds;
    std::unique_ptr<Phone> phone;
};

// A connected pair: the phone's end and the far end (which the harness writes
// to, drains and closes).
struct SocketPair {
    int near = -1, far = -1;
    SocketPair()
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0)
            std::abort();
        near = fds[0];
        far = fds[1];
    }
    ~SocketPair()
    {
        if (far >= 0)
            ::close(far);
    }
    void send(std::string_view bytes) const
    {
        while (!bytes.empty()) {
            const ssize_t n = ::send(far, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0)
                return;
            bytes.remove_prefix(size_t(n));
        }
    }
    // Reads what the phone sent; true once the phone has ended its side.
    bool drain() const
    {
        char buffer[16384];
        ssize_t n;
        while ((n = ::recv(far, buffer, sizeof buffer, 0)) > 0) { }
        return n == 0;
    }
    void closeFar()
    {
        ::close(far);
        far = -1;
    }
};

} // namespace voxlet::fuzz
#endif
