#include "support/test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <QFile>

namespace voxlet::test {

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
