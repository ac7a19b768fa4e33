#include "support/test_phone.h"

#include "net/address.h"
#include "phonebook/phone_book_files.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTest>

namespace voxlet::test {

PhoneOptions LoopbackPhoneOptions(
    const QString& dataDir, const QString& address, int ringPollMs, Offers offers)
{
    PhoneOptions options;
    options.dataDir = dataDir;
    options.stateDir = dataDir + QStringLiteral("/state");
    options.net.localAddress = ResolveAddress(address);
    options.net.bindOutgoing = true;
    options.ringPollMs = ringPollMs;
    // Test phones call each other from the same few addresses all day.
    options.screen.ringsPerMinute = 0;
    options.hd = offers == Offers::Hd;
    return options;
}

void WriteTestProfile(const QString& dataDir, const QString& name, const QString& server)
{
    files::ProfileFields f;
    f.name = name;
    f.sex = QStringLiteral("M");
    f.age = QStringLiteral("30");
    f.pass = QStringLiteral("pw");
    f.comment = QStringLiteral("hello");
    f.server = server;
    files::SaveProfile(dataDir, f);
}

void PrepareSoundDataDir(const QString& dataDir, const QString& name)
{
    for (const char* wav : { "Ring.wav", "Anybody.wav", "Ans.wav" })
        QFile::copy(SourceDir() + QStringLiteral("/resources/sounds/") + QLatin1String(wav),
            dataDir + QLatin1Char('/') + QLatin1String(wav));
    WriteTestProfile(dataDir, name);
    files::SavePhoneBook(dataDir, {});
}

QByteArray TestVoiceBlock(int seed)
{
    QByteArray b(kVoiceBlockBytes, 0);
    for (int i = 0; i < b.size(); ++i)
        b[i] = char(seed + i % 11);
    return b;
}

TestPhone::TestPhone(const QString& addr, const QString& ownName, Start start, Offers offers)
    : PhoneWindows(addr)
{
    phone = std::make_unique<Phone>(LoopbackPhoneOptions(dir.path(), addr, 5, offers),
        PhonePorts { main, boxes, tray, capture, playback, sounds, &notifier, &inhibitor });
    if (!ownName.isNull())
        writeProfile(ownName);
    writePhoneBook({}); // as a fresh install leaves it
    if (start == Start::Listening)
        startAndListen();
}

TestPhone::~TestPhone()
{
    if (phone && !phone->exited())
        phone->ThisExit();
    phone.reset();
}

void TestPhone::writeProfile(const QString& name, const QString& server)
{
    WriteTestProfile(dir.path(), name, server);
}

void TestPhone::writePhoneBook(const QStringList& lines)
{
    files::SavePhoneBook(dir.path(), lines);
}

void TestPhone::removeProfile()
{
    QFile::remove(files::DataPath(dir.path(), files::kProfileFile));
}

void TestPhone::startAndListen()
{
    phone->Form_Load();
    phone->Form_Activate();
    phone->mnu_SERVER_Click();
}

PhoneOnDevices::PhoneOnDevices(const QString& addr, const QString& ownName, int ringPollMs,
    CaptureDevice& capture, PlaybackDevice& playback, SoundPlayerFactory& sounds, Offers offers)
    : PhoneWindows(addr)
{
    PrepareSoundDataDir(dir.path(), ownName);
    phone = std::make_unique<Phone>(LoopbackPhoneOptions(dir.path(), addr, ringPollMs, offers),
        PhonePorts { main, boxes, tray, capture, playback, sounds });
}

PhoneOnDevices::~PhoneOnDevices()
{
    if (phone && !phone->exited())
        phone->ThisExit();
}

void PhoneOnDevices::startAndListen()
{
    phone->Form_Load();
    phone->Form_Activate();
    phone->mnu_SERVER_Click();
}

bool VoiceArrivesBothWays(TestPhone& a, TestPhone& b, int blocks, int bSeed)
{
    for (int i = 0; i < blocks; ++i) {
        if (!a.capture.produce(TestVoiceBlock(char(i)))
            || !b.capture.produce(TestVoiceBlock(char(bSeed + i)))) {
            qWarning("voice block %d was not taken", i);
            return false;
        }
    }
    const auto n = std::size_t(blocks);
    if (!WaitFor([&] { return a.playback.written.size() == n && b.playback.written.size() == n; })) {
        qWarning("b got %zu blocks, a %zu", b.playback.written.size(), a.playback.written.size());
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (b.playback.written[i] != TestVoiceBlock(char(i))
            || a.playback.written[i] != TestVoiceBlock(char(bSeed + int(i)))) {
            qWarning("voice block %zu differs", i);
            return false;
        }
    }
    return true;
}

Script::Script()
{
    timer_.setInterval(2);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] {
        while (next_ < int(steps_.size()) && steps_[size_t(next_)].condition()) {
            auto action = steps_[size_t(next_)].action;
            ++next_;
            if (action)
                action(); // may run nested loops; later steps run from inside them
        }
    });
    timer_.start();
}

Script& Script::when(std::function<bool()> condition, std::function<void()> action)
{
    steps_.push_back({ std::move(condition), std::move(action) });
    return *this;
}

Script& Script::then(std::function<void()> action)
{
    return when([] { return true; }, std::move(action));
}

bool EstablishCall(
    Phone& caller, MainWindowPort& callerMain, Phone& called, const QString& calledAddress, int timeoutMs)
{
    Script s;
    s.then([&] {
         callerMain.setComboText(QStringLiteral("1 Friend ") + calledAddress);
         caller.CLIBTN_Click();
     })
        .when(
            [&] {
                return caller.ringingFile() == QLatin1String("Ans.wav") && !called.ringingFile().isEmpty();
            },
            [&] { called.Command3_Click(); })
        .when([&] { return caller.st.VoiceMode && called.st.VoiceMode; }, nullptr);
    return WaitFor([&] { return s.done(); }, timeoutMs)
        && WaitFor(
            [&] { return caller.ringingFile().isEmpty() && called.ringingFile().isEmpty(); }, timeoutMs);
}

} // namespace voxlet::test
