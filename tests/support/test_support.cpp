#include "support/test_support.h"

#include <QFile>

namespace voxlet::test {

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

}  // namespace voxlet::test
