#pragma once
// The program's on/off switches in the environment (VOXLET_OFFER,
// VOXLET_ECHO_CANCEL): on unless set to 0, off, no or false.

namespace voxlet {

bool SwitchedOn(const char* variable);

} // namespace voxlet
