#pragma once
// IPv4 addresses as the sockets take them: a signed 32-bit value in network
// byte order (first octet in the lowest byte); -1 means none.

#include <QString>

#include <cstdint>

namespace voxlet {

constexpr std::int32_t kNoAddress = -1;

// A dotted address is used as it stands; anything else is looked up as a
// host name (this may block). -1 when neither works.
std::int32_t ResolveAddress(const QString& text);

// The first IPv4 address of an up, non-loopback interface, in interface
// order; a loopback address only when there is no other; -1 when none.
std::int32_t LocalHostAddress();

QString FormatAddress(std::int32_t value);

} // namespace voxlet
