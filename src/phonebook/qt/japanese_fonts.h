#pragma once
// The Windows Japanese faces the windows name, and the installed faces
// that stand in for them (Debian's IPA fonts).

#include <QString>

namespace voxlet {

inline const QString kMincho = QStringLiteral("ＭＳ 明朝");
inline const QString kGothic = QStringLiteral("ＭＳ ゴシック");

// Maps kMincho and kGothic onto installed faces; calling it again adds nothing.
void InstallFontSubstitutions();

} // namespace voxlet
