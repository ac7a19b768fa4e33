#include "shell/qt/fonts.h"

#include <QFont>
#include <QStringList>

namespace voxlet {

void InstallFontSubstitutions()
{
    const QStringList mincho = { QStringLiteral("IPAexMincho"), QStringLiteral("IPAMincho") };
    const QStringList gothic = { QStringLiteral("IPAGothic"), QStringLiteral("IPAexGothic") };
    QFont::insertSubstitutions(QStringLiteral("ＭＳ 明朝"), mincho);
    QFont::insertSubstitutions(QStringLiteral("ＭＳ ゴシック"), gothic);
}

} // namespace voxlet
