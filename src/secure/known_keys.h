#pragma once
// The other sides' long-term keys the phone has seen, in the file
// `known_keys` of its state folder (owner-only, written atomically), the
// most recently used first, at most kMaxEntries (the oldest use goes):
//
//   voxlet known keys 1
//   dial <address> <key: 64 hex digits> confirmed|unconfirmed
//   call <address> <name> <key> confirmed|unconfirmed
//
// "dial" is a call we dialled, keyed by the address as dialled; "call" one
// we received, keyed by the caller's address and announced name. A field is
// the text with '%', '#', spaces, controls and surrogates written as %XXXX
// (its UTF-16 unit in hex), "%" alone when empty; a field longer than
// kMaxFieldChars is kept as '#' and the hex of its BLAKE2b-256 instead. An
// entry means "this side was encrypted before": a plain call with it is a
// downgrade.

#include "secure/noise.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

namespace voxlet::secure {

inline const QString kKnownKeysFile = QStringLiteral("known_keys");
// Where a damaged file is kept before the first save replaces it.
inline const QString kDamagedKnownKeysFile = QStringLiteral("known_keys.damaged");

struct PeerId {
    static PeerId Dialled(const QString& address) { return { false, address, {} }; }
    static PeerId Caller(const QString& address, const QString& name) { return { true, address, name }; }
    bool received = false;
    QString address, name;
};

struct KnownKey {
    PublicKey key {};
    bool confirmed = false;
};

class KnownKeys {
public:
    static constexpr int kMaxEntries = 1000;
    static constexpr int kMaxFieldChars = 256;

    // An unreadable or damaged file gives an empty store and a line
    // (problem()); an empty stateDir, a store kept in memory only.
    static KnownKeys Load(const QString& stateDir);
    const std::optional<QString>& problem() const { return problem_; }

    std::optional<KnownKey> find(const PeerId& peer) const;
    // Makes it the most recent entry.
    void Remember(const PeerId& peer, const KnownKey& entry);
    // Nothing is written over a file that could not be read; a damaged one
    // is first kept aside as known_keys.damaged.
    std::optional<QString> Save();

    // The file's text, and the entries of a text (none when damaged).
    QByteArray text() const;
    struct Entry {
        QString peer; // the kind and the fields as the file holds them
        KnownKey key;
    };
    static std::optional<std::vector<Entry>> Parse(const QByteArray& text);

private:
    QString stateDir_;
    std::vector<Entry> entries_;
    std::optional<QString> problem_;
    bool unreadable_ = false;
    QByteArray damaged_;
};

} // namespace voxlet::secure
