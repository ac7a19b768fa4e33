#include "secure/noise.h"

#include <sodium.h>

#include <cstring>

namespace voxlet::secure {

namespace {

constexpr int kBlockLen = 128;

const unsigned char* Bytes(QByteArrayView v)
{
    return reinterpret_cast<const unsigned char*>(v.data());
}

// HKDF(chaining_key, input_key_material, 2) of the Noise spec (4.3).
std::pair<QByteArray, QByteArray> Hkdf2(QByteArrayView chainingKey, QByteArrayView inputKeyMaterial)
{
    const QByteArray tempKey = HmacBlake2b(chainingKey, inputKeyMaterial);
    const QByteArray output1 = HmacBlake2b(tempKey, QByteArrayView("\x01", 1));
    const QByteArray output2 = HmacBlake2b(tempKey, output1 + '\x02');
    return { output1, output2 };
}

// A cipher key is the first 32 bytes of a 64-byte HKDF output.
SecretKey CipherKey(const QByteArray& output)
{
    return SecretKey(Bytes(output));
}

} // namespace

SecretKey::SecretKey(const std::uint8_t* bytes)
{
    std::memcpy(bytes_.data(), bytes, bytes_.size());
}

SecretKey::~SecretKey()
{
    sodium_memzero(bytes_.data(), bytes_.size());
}

bool SodiumReady()
{
    return sodium_init() >= 0;
}

KeyPair GenerateKeyPair()
{
    SecretKey secret;
    randombytes_buf(secret.data(), 32);
    return KeyPairFromSecret(secret);
}

KeyPair KeyPairFromSecret(const SecretKey& secret)
{
    KeyPair pair;
    pair.secretKey = secret;
    crypto_scalarmult_base(pair.publicKey.data(), secret.data());
    return pair;
}

QByteArray Blake2b(std::initializer_list<QByteArrayView> parts, int outLen)
{
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, std::size_t(outLen));
    for (QByteArrayView part : parts)
        crypto_generichash_update(&state, Bytes(part), std::size_t(part.size()));
    QByteArray out(outLen, '\0');
    crypto_generichash_final(&state, reinterpret_cast<unsigned char*>(out.data()), std::size_t(outLen));
    return out;
}

QByteArray HmacBlake2b(QByteArrayView key, QByteArrayView data)
{
    QByteArray block = key.size() > kBlockLen ? Blake2b({ key }) : key.toByteArray();
    block.resize(kBlockLen, '\0');
    QByteArray inner(kBlockLen, '\0'), outer(kBlockLen, '\0');
    for (int i = 0; i < kBlockLen; ++i) {
        inner[i] = char(block[i] ^ 0x36);
        outer[i] = char(block[i] ^ 0x5c);
    }
    const QByteArray result = Blake2b({ outer, Blake2b({ inner, data }) });
    sodium_memzero(block.data(), std::size_t(block.size()));
    sodium_memzero(inner.data(), std::size_t(inner.size()));
    sodium_memzero(outer.data(), std::size_t(outer.size()));
    return result;
}

QByteArray AsBytes(const PublicKey& key)
{
    return QByteArray(reinterpret_cast<const char*>(key.data()), kDhLen);
}

// ---- CipherState ----

void CipherState::InitializeKey(std::optional<SecretKey> key)
{
    key_ = std::move(key);
    nonce_ = 0;
}

namespace {
// ChaChaPoly's nonce: 32 zero bits, then the counter in little-endian.
std::array<unsigned char, 12> NonceBytes(std::uint64_t n)
{
    std::array<unsigned char, 12> nonce {};
    for (int i = 0; i < 8; ++i)
        nonce[std::size_t(4 + i)] = static_cast<unsigned char>(n >> (8 * i));
    return nonce;
}
} // namespace

std::optional<QByteArray> CipherState::EncryptWithAd(QByteArrayView ad, QByteArrayView plaintext)
{
    if (!key_)
        return plaintext.toByteArray();
    if (nonce_ == UINT64_MAX || plaintext.size() > kMaxMessageLen - kTagLen)
        return std::nullopt;
    QByteArray out(plaintext.size() + kTagLen, '\0');
    unsigned long long outLen = 0;
    const auto nonce = NonceBytes(nonce_);
    crypto_aead_chacha20poly1305_ietf_encrypt(reinterpret_cast<unsigned char*>(out.data()), &outLen,
        Bytes(plaintext), std::size_t(plaintext.size()), Bytes(ad), std::size_t(ad.size()), nullptr,
        nonce.data(), key_->data());
    ++nonce_;
    return out;
}

std::optional<QByteArray> CipherState::DecryptWithAd(QByteArrayView ad, QByteArrayView ciphertext)
{
    if (!key_)
        return ciphertext.toByteArray();
    if (nonce_ == UINT64_MAX || ciphertext.size() < kTagLen || ciphertext.size() > kMaxMessageLen)
        return std::nullopt;
    QByteArray out(ciphertext.size() - kTagLen, '\0');
    unsigned long long outLen = 0;
    const auto nonce = NonceBytes(nonce_);
    if (crypto_aead_chacha20poly1305_ietf_decrypt(reinterpret_cast<unsigned char*>(out.data()), &outLen,
            nullptr, Bytes(ciphertext), std::size_t(ciphertext.size()), Bytes(ad), std::size_t(ad.size()),
            nonce.data(), key_->data())
        != 0)
        return std::nullopt;
    ++nonce_;
    return out;
}

// ---- SymmetricState ----

SymmetricState::SymmetricState(QByteArrayView protocolName)
{
    if (protocolName.size() <= kHashLen) {
        h_ = protocolName.toByteArray();
        h_.resize(kHashLen, '\0');
    } else {
        h_ = Blake2b({ protocolName });
    }
    ck_ = h_;
}

void SymmetricState::MixKey(QByteArrayView inputKeyMaterial)
{
    auto [ck, tempKey] = Hkdf2(ck_, inputKeyMaterial);
    ck_ = ck;
    cipher_.InitializeKey(CipherKey(tempKey));
    sodium_memzero(tempKey.data(), std::size_t(tempKey.size()));
}

void SymmetricState::MixHash(QByteArrayView data)
{
    h_ = Blake2b({ h_, data });
}

std::optional<QByteArray> SymmetricState::EncryptAndHash(QByteArrayView plaintext)
{
    std::optional<QByteArray> ciphertext = cipher_.EncryptWithAd(h_, plaintext);
    if (ciphertext)
        MixHash(*ciphertext);
    return ciphertext;
}

std::optional<QByteArray> SymmetricState::DecryptAndHash(QByteArrayView ciphertext)
{
    std::optional<QByteArray> plaintext = cipher_.DecryptWithAd(h_, ciphertext);
    if (plaintext)
        MixHash(ciphertext);
    return plaintext;
}

std::pair<CipherState, CipherState> SymmetricState::Split() const
{
    auto [tempKey1, tempKey2] = Hkdf2(ck_, {});
    std::pair<CipherState, CipherState> out;
    out.first.InitializeKey(CipherKey(tempKey1));
    out.second.InitializeKey(CipherKey(tempKey2));
    sodium_memzero(tempKey1.data(), std::size_t(tempKey1.size()));
    sodium_memzero(tempKey2.data(), std::size_t(tempKey2.size()));
    return out;
}

// ---- HandshakeState ----

const HandshakePattern& PatternNN()
{
    static const HandshakePattern pattern { "Noise_NN_25519_ChaChaPoly_BLAKE2b",
        { { Token::E }, { Token::E, Token::EE } } };
    return pattern;
}

const HandshakePattern& PatternXX()
{
    static const HandshakePattern pattern { "Noise_XX_25519_ChaChaPoly_BLAKE2b",
        { { Token::E }, { Token::E, Token::EE, Token::S, Token::ES }, { Token::S, Token::SE } } };
    return pattern;
}

HandshakeState::HandshakeState(const HandshakePattern& pattern, bool initiator, QByteArrayView prologue,
    std::optional<KeyPair> s, KeyPair e)
    : pattern_(pattern)
    , initiator_(initiator)
    , symmetric_(QByteArrayView(pattern.protocolName))
    , s_(std::move(s))
    , e_(std::move(e))
{
    symmetric_.MixHash(prologue);
}

bool HandshakeState::myTurn() const
{
    return fault_ == HandshakeFault::None && next_ < pattern_.messages.size()
        && (next_ % 2 == 0) == initiator_;
}

std::nullopt_t HandshakeState::Fail(HandshakeFault fault)
{
    if (fault_ == HandshakeFault::None)
        fault_ = fault;
    return std::nullopt;
}

bool HandshakeState::MixDh(const KeyPair& local, const std::optional<PublicKey>& remote)
{
    if (!remote)
        return false;
    std::array<unsigned char, kDhLen> shared {};
    // A key that is not a valid point gives all zeros (libsodium refuses it too).
    const bool valid = crypto_scalarmult(shared.data(), local.secretKey.data(), remote->data()) == 0
        && !sodium_is_zero(shared.data(), shared.size());
    if (valid)
        symmetric_.MixKey(QByteArrayView(reinterpret_cast<const char*>(shared.data()), kDhLen));
    sodium_memzero(shared.data(), shared.size());
    return valid;
}

bool HandshakeState::MixTokenDh(Token token)
{
    const bool ownStaticFirst = initiator_ ? token == Token::SE : token == Token::ES;
    switch (token) {
    case Token::EE:
        return MixDh(e_, re_);
    case Token::ES:
    case Token::SE:
        if (ownStaticFirst)
            return s_ && MixDh(*s_, re_);
        return MixDh(e_, rs_);
    case Token::SS:
        return s_ && MixDh(*s_, rs_);
    default:
        return false;
    }
}

std::optional<QByteArray> HandshakeState::WriteMessage(QByteArrayView payload)
{
    if (!myTurn())
        return Fail(HandshakeFault::OutOfTurn);
    QByteArray out;
    for (Token token : pattern_.messages[next_]) {
        if (token == Token::E) {
            out += AsBytes(e_.publicKey);
            symmetric_.MixHash(AsBytes(e_.publicKey));
        } else if (token == Token::S) {
            const std::optional<QByteArray> sealed
                = s_ ? symmetric_.EncryptAndHash(AsBytes(s_->publicKey)) : std::nullopt;
            if (!sealed)
                return Fail(HandshakeFault::BadKey);
            out += *sealed;
        } else if (!MixTokenDh(token)) {
            return Fail(HandshakeFault::BadKey);
        }
    }
    std::optional<QByteArray> sealed = symmetric_.EncryptAndHash(payload);
    if (!sealed || out.size() + sealed->size() > kMaxMessageLen)
        return Fail(HandshakeFault::BadLength);
    ++next_;
    return out + *sealed;
}

std::optional<QByteArray> HandshakeState::ReadMessage(QByteArrayView message)
{
    if (fault_ != HandshakeFault::None || next_ >= pattern_.messages.size() || myTurn())
        return Fail(HandshakeFault::OutOfTurn);
    if (message.size() > kMaxMessageLen)
        return Fail(HandshakeFault::BadLength);
    const auto take = [&](qsizetype n) -> std::optional<QByteArrayView> {
        if (message.size() < n)
            return std::nullopt;
        const QByteArrayView part = message.first(n);
        message = message.sliced(n);
        return part;
    };
    const auto toKey = [](QByteArrayView bytes) {
        PublicKey key {};
        std::memcpy(key.data(), bytes.data(), key.size());
        return key;
    };
    for (Token token : pattern_.messages[next_]) {
        if (token == Token::E) {
            const std::optional<QByteArrayView> e = take(kDhLen);
            if (!e)
                return Fail(HandshakeFault::BadLength);
            re_ = toKey(*e);
            symmetric_.MixHash(*e);
        } else if (token == Token::S) {
            const std::optional<QByteArrayView> sealed = take(kDhLen + (symmetric_.HasKey() ? kTagLen : 0));
            if (!sealed)
                return Fail(HandshakeFault::BadLength);
            const std::optional<QByteArray> s = symmetric_.DecryptAndHash(*sealed);
            if (!s)
                return Fail(HandshakeFault::BadMessage);
            rs_ = toKey(*s);
        } else if (!MixTokenDh(token)) {
            return Fail(HandshakeFault::BadKey);
        }
    }
    if (symmetric_.HasKey() && message.size() < kTagLen)
        return Fail(HandshakeFault::BadLength);
    std::optional<QByteArray> payload = symmetric_.DecryptAndHash(message);
    if (!payload)
        return Fail(HandshakeFault::BadMessage);
    ++next_;
    return payload;
}

} // namespace voxlet::secure
