#pragma once
// The Noise Protocol Framework (revision 34) with 25519, ChaChaPoly and
// BLAKE2b, on libsodium: CipherState, SymmetricState and HandshakeState as
// its section 5 defines them, for patterns without pre-messages. Pure: no
// clock, no socket; the ephemeral key is made before the handshake and
// handed in (GENERATE_KEYPAIR returns it), as the published vectors do.

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace voxlet::secure {

inline constexpr int kDhLen = 32;
inline constexpr int kHashLen = 64;
inline constexpr int kTagLen = 16;
inline constexpr int kMaxMessageLen = 65535;

using PublicKey = std::array<std::uint8_t, kDhLen>;

// A secret that is wiped when it goes.
class SecretKey {
public:
    SecretKey() = default;
    explicit SecretKey(const std::uint8_t* bytes);
    SecretKey(const SecretKey& other) = default;
    SecretKey& operator=(const SecretKey& other) = default;
    ~SecretKey();
    const std::uint8_t* data() const { return bytes_.data(); }
    std::uint8_t* data() { return bytes_.data(); }

private:
    std::array<std::uint8_t, 32> bytes_ {};
};

struct KeyPair {
    PublicKey publicKey {};
    SecretKey secretKey;
};

// Fails only when libsodium cannot start (no source of randomness).
bool SodiumReady();
KeyPair GenerateKeyPair();
KeyPair KeyPairFromSecret(const SecretKey& secret);

// BLAKE2b of the concatenated parts, outLen bytes (32 or 64).
QByteArray Blake2b(std::initializer_list<QByteArrayView> parts, int outLen = kHashLen);
// HMAC (RFC 2104) on BLAKE2b-512, block length 128.
QByteArray HmacBlake2b(QByteArrayView key, QByteArrayView data);
QByteArray AsBytes(const PublicKey& key);

class CipherState {
public:
    void InitializeKey(std::optional<SecretKey> key);
    bool HasKey() const { return key_.has_value(); }
    void SetNonce(std::uint64_t nonce) { nonce_ = nonce; }
    // Without a key both return their input. Encryption fails only at the
    // last nonce (2^64-1, reserved), decryption also on a failed check; a
    // failure leaves the nonce as it was.
    std::optional<QByteArray> EncryptWithAd(QByteArrayView ad, QByteArrayView plaintext);
    std::optional<QByteArray> DecryptWithAd(QByteArrayView ad, QByteArrayView ciphertext);

private:
    std::optional<SecretKey> key_;
    std::uint64_t nonce_ = 0;
};

class SymmetricState {
public:
    explicit SymmetricState(QByteArrayView protocolName);
    void MixKey(QByteArrayView inputKeyMaterial);
    void MixHash(QByteArrayView data);
    QByteArray GetHandshakeHash() const { return h_; }
    std::optional<QByteArray> EncryptAndHash(QByteArrayView plaintext);
    std::optional<QByteArray> DecryptAndHash(QByteArrayView ciphertext);
    bool HasKey() const { return cipher_.HasKey(); }
    std::pair<CipherState, CipherState> Split() const;

private:
    QByteArray ck_, h_;
    CipherState cipher_;
};

enum class Token { E, S, EE, ES, SE, SS };
struct HandshakePattern {
    const char* protocolName;
    std::vector<std::vector<Token>> messages; // the first from the initiator, then alternating
};
const HandshakePattern& PatternNN();
const HandshakePattern& PatternXX();

// Why a handshake stopped.
enum class HandshakeFault { None, OutOfTurn, BadLength, BadKey, BadMessage };

class HandshakeState {
public:
    HandshakeState(const HandshakePattern& pattern, bool initiator, QByteArrayView prologue,
        std::optional<KeyPair> s, KeyPair e);
    // Each returns nothing once the handshake has failed, and fails it on
    // any fault; ReadMessage gives the payload.
    std::optional<QByteArray> WriteMessage(QByteArrayView payload);
    std::optional<QByteArray> ReadMessage(QByteArrayView message);
    bool myTurn() const;
    bool finished() const { return next_ == pattern_.messages.size() && fault_ == HandshakeFault::None; }
    HandshakeFault fault() const { return fault_; }
    QByteArray handshakeHash() const { return symmetric_.GetHandshakeHash(); }
    std::optional<PublicKey> remoteStatic() const { return rs_; }
    std::optional<PublicKey> remoteEphemeral() const { return re_; }
    // Once finished: the initiator's sending state first, as Split() gives them.
    std::pair<CipherState, CipherState> Split() const { return symmetric_.Split(); }

private:
    bool MixDh(const KeyPair& local, const std::optional<PublicKey>& remote);
    bool MixTokenDh(Token token);
    std::nullopt_t Fail(HandshakeFault fault);

    const HandshakePattern& pattern_;
    bool initiator_;
    SymmetricState symmetric_;
    std::optional<KeyPair> s_;
    KeyPair e_;
    std::optional<PublicKey> rs_, re_;
    std::size_t next_ = 0;
    HandshakeFault fault_ = HandshakeFault::None;
};

} // namespace voxlet::secure
