#include "support/test_support.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>

#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace voxlet::test {

QByteArray Utf16(const QString& text)
{
    QByteArray out;
    for (QChar c : text) {
        out.append(char(c.unicode() & 0xFF));
        out.append(char(c.unicode() >> 8));
    }
    return out;
}

QString FromUtf16(const QByteArray& bytes)
{
    QString text;
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
        text.append(QChar(char16_t(uchar(bytes[i]) | uchar(bytes[i + 1]) << 8)));
    return text;
}

void RecordingMessageBox::show(const QString& text, MessageIcon icon, const QString& title)
{
    boxes.push_back({ text, icon, title });
    if (modalMs > 0) {
        QElapsedTimer open;
        open.start();
        while (open.elapsed() < modalMs)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

QStringList RecordingMessageBox::texts() const
{
    QStringList out;
    for (const auto& b : boxes)
        out << b.text;
    return out;
}

long StatusKb(const char* key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(qsizetype(std::strlen(key))).trimmed().split(' ').first().toLong();
    return -1;
}

QByteArray ReadBytes(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

void WriteBytes(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

QString LoopbackAddress(int host)
{
    static const int net = 10 + int(::getpid() % 240);
    return QStringLiteral("127.%1.0.%2").arg(net).arg(host);
}

QString SourceDir()
{
    return qEnvironmentVariable("VOXLET_SOURCE_DIR", QStringLiteral(VOXLET_SOURCE_DIR_FALLBACK));
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs)
{
    if (condition())
        return true;
    // As QTest::qWaitFor, the condition is asked between passes of the
    // event loop, never from inside a handler's nested loop; but a pass
    // waits for the next event, where qWaitFor sleeps 10 ms blind: a phone
    // under test would take its sockets and sound that late, and a voice
    // test would measure the harness instead of the phone.
    QDeadlineTimer deadline(std::max(0, timeoutMs), Qt::PreciseTimer);
    QTimer tick; // bounds each wait, so that the deadline is seen
    tick.start(std::clamp(timeoutMs, 0, 10));
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (condition())
            return true;
    } while (!deadline.hasExpired());
    return condition();
}

void Pump(int ms)
{
    WaitFor([] { return false; }, ms);
}

} // namespace voxlet::test
