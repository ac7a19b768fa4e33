#include "phonebook/qt/japanese_fonts.h"

#include <QFont>
#include <QStringList>

#include <utility>

namespace voxlet {

void InstallFontSubstitutions()
{
    // The first of each comes with the base packages (fonts-ipaexfont-mincho,
    // fonts-ipafont-gothic); the others stand in where a desktop has only them.
    const QStringList mincho = { QStringLiteral("IPAexMincho"), QStringLiteral("IPAMincho") };
    const QStringList gothic = { QStringLiteral("IPAGothic"), QStringLiteral("IPAexGothic") };
    // insertSubstitution appends, and the settings window asks at each opening.
    for (const auto& [face, standIns] : { std::pair { kMincho, mincho }, std::pair { kGothic, gothic } })
        for (const QString& f : standIns)
            if (!QFont::substitutes(face).contains(f))
                QFont::insertSubstitution(face, f);
}

} // namespace voxlet
