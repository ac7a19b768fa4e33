#pragma once
// A complete phone on fake windows and fake audio, listening on its own
// loopback address, with its own temporary data folder.

#include "shell/phone.h"
#include "support/fake_devices.h"
#include "support/fake_windows.h"
#include "support/test_support.h"

#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <memory>

namespace voxlet::test {

// Whether a test phone speaks HD with Voxlets (test phones are old-style
// by default, so that their voice can be compared byte for byte).
enum class Offers { None, Hd };

// Options of a phone living on `address` with its data in `dataDir`.
PhoneOptions LoopbackPhoneOptions(
    const QString& dataDir, const QString& address, int ringPollMs = 5, Offers offers = Offers::None);
// A profile (name, sex M, age 30, PASS pw, comment hello, server) in name.txt.
void WriteTestProfile(const QString& dataDir, const QString& name, const QString& server = {});
// A data folder as a fresh install with real sounds leaves it: the three
// sounds, the profile of `name`, an empty phone book.
void PrepareSoundDataDir(const QString& dataDir, const QString& name);
// A recognisable voice block: seed, seed+1, ... repeating.
QByteArray TestVoiceBlock(int seed);

// A test phone's recording windows and temporary data folder.
struct PhoneWindows {
    explicit PhoneWindows(const QString& addr)
        : address(addr)
    {
    }

    QString address;
    QTemporaryDir dir;
    FakeMainWindow main;
    RecordingMessageBox boxes;
    FakeTray tray;
};

// Listening: the phone has started and listens once built (startAndListen()).
enum class Start { Later, Listening };

class TestPhone : public PhoneWindows {
public:
    explicit TestPhone(const QString& address, const QString& ownName = QStringLiteral("Taro"),
        Start start = Start::Later, Offers offers = Offers::None);
    ~TestPhone();

    void writeProfile(const QString& name, const QString& server = {});
    void writePhoneBook(const QStringList& lines);
    void removeProfile();
    // Start-up, first activation, and "SERVER".
    void startAndListen();

    FakeCaptureDevice capture;
    FakePlaybackDevice playback;
    FakeSoundPlayerFactory sounds;
    FakeNotifier notifier;
    FakeInhibitor inhibitor;
    std::unique_ptr<Phone> phone;
};

// A phone as the program builds it, on devices a test brings (the sound
// server's), with recording windows and a data folder holding the ring
// sounds. A test's phone derives from its devices first, so that they
// outlive the phone.
class PhoneOnDevices : public PhoneWindows {
public:
    PhoneOnDevices(const QString& address, const QString& ownName, int ringPollMs, CaptureDevice& capture,
        PlaybackDevice& playback, SoundPlayerFactory& sounds, Offers offers = Offers::None);
    ~PhoneOnDevices();
    // Start-up, first activation, and "SERVER".
    void startAndListen();

    std::unique_ptr<Phone> phone;
};

// Runs actions from inside the event loop (the ring loops dispatch events
// nested inside the handlers, so a test cannot wait for them from outside):
// each step's action runs once its condition holds, in order.
class Script : public QObject {
public:
    Script();
    Script& when(std::function<bool()> condition, std::function<void()> action);
    Script& then(std::function<void()> action);
    bool done() const { return next_ >= int(steps_.size()); }
    int stepReached() const { return next_; }

private:
    struct Step {
        std::function<bool()> condition;
        std::function<void()> action;
    };
    std::vector<Step> steps_;
    int next_ = 0;
    QTimer timer_;
};

// Dials `calledAddress` from the caller's dial box, answers once the caller
// hears the ring-back and the called side rings, and waits until both talk
// and both ring loops have ended. False when that did not come about.
bool EstablishCall(Phone& caller, MainWindowPort& callerMain, Phone& called, const QString& calledAddress,
    int timeoutMs = 20000);

// Voice both ways in a call between a and b: `blocks` blocks from each
// (seeds 0, 1, ... from a; bSeed, bSeed + 1, ... from b) arrive whole and in
// order. False, with a warning that says where, when they do not.
bool VoiceArrivesBothWays(TestPhone& a, TestPhone& b, int blocks, int bSeed);

} // namespace voxlet::test
