#include "secure/identity.h"

#include "phonebook/state_files.h"
#include "secure/call_handshake.h"

#include <QList>

#include <sodium.h>

namespace voxlet::secure {

namespace {
constexpr qint64 kMaxIdentityBytes = 4096;
const QByteArray kHeader("voxlet identity 1");

void Wipe(QByteArray& bytes)
{
    sodium_memzero(bytes.data(), std::size_t(bytes.size()));
}
} // namespace

QByteArray IdentityText(const KeyPair& identity)
{
    QByteArray secretHex = QByteArray(reinterpret_cast<const char*>(identity.secretKey.data()), 32).toHex();
    QByteArray text
        = kHeader + "\nsecret " + secretHex + "\npublic " + AsBytes(identity.publicKey).toHex() + '\n';
    Wipe(secretHex);
    return text;
}

std::optional<KeyPair> ParseIdentity(const QByteArray& text)
{
    QList<QByteArray> lines = text.split('\n');
    if (lines.size() != 4 || lines[0] != kHeader || !lines[1].startsWith("secret ")
        || !lines[2].startsWith("public ") || !lines[3].isEmpty()) {
        for (QByteArray& line : lines)
            Wipe(line);
        return std::nullopt;
    }
    std::optional<QByteArray> secret = FromHexField(QString::fromLatin1(lines[1].mid(7)), 32);
    const std::optional<QByteArray> publicKey = FromHexField(QString::fromLatin1(lines[2].mid(7)), 32);
    Wipe(lines[1]);
    std::optional<KeyPair> pair;
    if (secret && publicKey) {
        pair = KeyPairFromSecret(SecretKey(reinterpret_cast<const std::uint8_t*>(secret->constData())));
        if (AsBytes(pair->publicKey) != *publicKey)
            pair.reset();
    }
    if (secret)
        Wipe(*secret);
    return pair;
}

IdentityFile LoadOrCreateIdentity(const QString& stateDir)
{
    IdentityFile out;
    if (stateDir.isEmpty()) {
        out.identity = GenerateKeyPair();
        out.created = true;
        return out;
    }
    files::StateFile file = files::ReadStateFile(stateDir, kIdentityFile, kMaxIdentityBytes);
    if (file.failure) {
        out.failure = *file.failure;
    } else if (!file.missing) {
        out.identity = ParseIdentity(file.bytes);
        if (!out.identity)
            out.failure = stateDir + QLatin1Char('/') + kIdentityFile
                + QStringLiteral(": damaged; left as it is, calls go unencrypted");
    } else {
        KeyPair fresh = GenerateKeyPair();
        QByteArray text = IdentityText(fresh);
        out.failure = files::WriteStateFile(stateDir, kIdentityFile, text);
        Wipe(text);
        if (!out.failure) {
            out.identity = std::move(fresh);
            out.created = true;
        }
    }
    Wipe(file.bytes);
    return out;
}

} // namespace voxlet::secure
