#include "support/test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <QFile>

#include <cstring>

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

QString SourceDir()
{
    return qEnvironmentVariable("VOXLET_SOURCE_DIR", QStringLiteral(VOXLET_SOURCE_DIR_FALLBACK));
}

} // namespace voxlet::test
