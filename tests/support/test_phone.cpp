#include "support/test_phone.h"

#include "net/address.h"
#include "phonebook/phone_book_files.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTest>

#include <unistd.h>

namespace voxlet::test {

QString LoopbackAddress(int host)
{
    static const int net = 10 + int(::getpid() % 240);
    return QStringLiteral("127.%1.0.%2").arg(net).arg(host);
}

TestPhone::TestPhone(const QString& addr, const QString& ownName) : address(addr)
{
    PhoneOptions options;
    options.dataDir = dir.path();
    options.net.localAddress = ResolveAddress(addr);
    options.net.bindOutgoing = true;
    options.ringPollMs = 5;
    phone = std::make_unique<Phone>(options, PhonePorts{main, boxes, tray, capture, playback, sounds});
    if (!ownName.isNull())
        writeProfile(ownName);
    writePhoneBook({});  // as a fresh install leaves it
}

TestPhone::~TestPhone()
{
    if (phone && !phone->exited())
        phone->ThisExit();
    phone.reset();
}

void TestPhone::writeProfile(const QString& name, const QString& server)
{
    files::ProfileFields f;
    f.name = name;
    f.sex = QStringLiteral("M");
    f.age = QStringLiteral("30");
    f.pass = QStringLiteral("pw");
    f.comment = QStringLiteral("hello");
    f.server = server;
    files::SaveProfile(dir.path(), f);
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

Script::Script()
{
    timer_.setInterval(2);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] {
        while (next_ < int(steps_.size()) && steps_[size_t(next_)].condition()) {
            auto action = steps_[size_t(next_)].action;
            ++next_;
            if (action)
                action();  // may run nested loops; later steps run from inside them
        }
    });
    timer_.start();
}

Script& Script::when(std::function<bool()> condition, std::function<void()> action)
{
    steps_.push_back({std::move(condition), std::move(action)});
    return *this;
}

Script& Script::then(std::function<void()> action)
{
    return when([] { return true; }, std::move(action));
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs)
{
    return QTest::qWaitFor(condition, timeoutMs);
}

}  // namespace voxlet::test
