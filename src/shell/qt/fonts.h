#pragma once

namespace voxlet {
// Maps the Windows Japanese faces the layout names onto installed ones.
void InstallFontSubstitutions();
} // namespace voxlet
