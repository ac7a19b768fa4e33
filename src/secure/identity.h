#pragma once
// The user's long-term X25519 key pair, in the file `identity` of the
// phone's state folder (owner-only, written atomically):
//
//   voxlet identity 1
//   secret <64 hex digits>
//   public <64 hex digits>
//
// The public line is a check: it must be the secret's. Made on first use;
// a file that is there but unreadable or damaged is never replaced: the
// caller gets the reason and decides (the phone then calls unencrypted and
// says why, so that whoever remembers this key is not told it changed).

#include "secure/noise.h"

#include <QString>

#include <optional>

namespace voxlet::secure {

inline const QString kIdentityFile = QStringLiteral("identity");

struct IdentityFile {
    std::optional<KeyPair> identity;
    bool created = false; // none was there: a new one was made and written
    std::optional<QString> failure; // a line for the log and the status
};
// An empty stateDir gives a new identity kept in memory only.
IdentityFile LoadOrCreateIdentity(const QString& stateDir);

// The file's text for a key pair, and the key pair of a text (none when damaged).
QByteArray IdentityText(const KeyPair& identity);
std::optional<KeyPair> ParseIdentity(const QByteArray& text);

} // namespace voxlet::secure
