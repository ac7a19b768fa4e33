#include "phonebook/qt/japanese_fonts.h"

#include <QFont>
#include <QStringList>

namespace voxlet {

void InstallFontSubstitutions()
{
    // Both come with the base packages (fonts-ipaexfont-mincho, fonts-ipafont-gothic).
    const QString mincho = QStringLiteral("IPAexMincho");
    const QString gothic = QStringLiteral("IPAGothic");
    // insertSubstitution appends, and the settings window asks at each opening.
    if (!QFont::substitutes(kMincho).contains(mincho))
        QFont::insertSubstitution(kMincho, mincho);
    if (!QFont::substitutes(kGothic).contains(gothic))
        QFont::insertSubstitution(kGothic, gothic);
}

} // namespace voxlet
