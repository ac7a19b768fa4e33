// The Noise core on the published test vectors (tests/secure/noise_vectors.json):
// both roles write and read every message, the handshake hash, and the
// transport messages after Split.

#include "secure/noise.h"
#include "support/test_support.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace voxlet::secure;

namespace {
QByteArray Hex(const QJsonObject& o, const char* key)
{
    return QByteArray::fromHex(o.value(QLatin1String(key)).toString().toLatin1());
}
std::optional<KeyPair> Key(const QJsonObject& o, const char* key)
{
    if (!o.contains(QLatin1String(key)))
        return std::nullopt;
    return KeyPairFromSecret(SecretKey(reinterpret_cast<const std::uint8_t*>(Hex(o, key).constData())));
}
} // namespace

class NoiseTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(SodiumReady()); }
    void publishedVectors_data()
    {
        QTest::addColumn<QJsonObject>("vector");
        const QByteArray file
            = voxlet::test::ReadBytes(voxlet::test::SourceDir() + "/tests/secure/noise_vectors.json");
        const QJsonArray vectors = QJsonDocument::fromJson(file).object().value("vectors").toArray();
        QCOMPARE(vectors.size(), 2);
        for (const QJsonValue v : vectors)
            QTest::newRow(qPrintable(v.toObject().value("protocol_name").toString())) << v.toObject();
    }
    void publishedVectors()
    {
        QFETCH(QJsonObject, vector);
        const QString name = vector.value("protocol_name").toString();
        const HandshakePattern& pattern = name.contains("_XX_") ? PatternXX() : PatternNN();
        QCOMPARE(QString::fromLatin1(pattern.protocolName), name);
        HandshakeState init(pattern, true, Hex(vector, "init_prologue"), Key(vector, "init_static"),
            *Key(vector, "init_ephemeral"));
        HandshakeState resp(pattern, false, Hex(vector, "resp_prologue"), Key(vector, "resp_static"),
            *Key(vector, "resp_ephemeral"));
        std::optional<std::pair<CipherState, CipherState>> initCiphers, respCiphers;
        const QJsonArray messages = vector.value("messages").toArray();
        QCOMPARE(messages.size(), 6);
        for (int i = 0; i < messages.size(); ++i) {
            const QByteArray payload = Hex(messages[i].toObject(), "payload");
            const QByteArray expected = Hex(messages[i].toObject(), "ciphertext");
            const bool fromInitiator = i % 2 == 0;
            if (!init.finished()) {
                HandshakeState& writer = fromInitiator ? init : resp;
                HandshakeState& reader = fromInitiator ? resp : init;
                QCOMPARE(writer.WriteMessage(payload).value_or("failed"), expected);
                QCOMPARE(reader.ReadMessage(expected).value_or("failed"), payload);
                if (init.finished()) {
                    QVERIFY(resp.finished());
                    QCOMPARE(init.handshakeHash(), Hex(vector, "handshake_hash"));
                    QCOMPARE(resp.handshakeHash(), Hex(vector, "handshake_hash"));
                    initCiphers = init.Split();
                    respCiphers = resp.Split();
                }
                continue;
            }
            // The initiator sends with the first state, the responder with the second.
            CipherState& sending = fromInitiator ? initCiphers->first : respCiphers->second;
            CipherState& receiving = fromInitiator ? respCiphers->first : initCiphers->second;
            QCOMPARE(sending.EncryptWithAd({}, payload).value_or("failed"), expected);
            QCOMPARE(receiving.DecryptWithAd({}, expected).value_or("failed"), payload);
        }
        QVERIFY(initCiphers.has_value());
    }
};

QTEST_APPLESS_MAIN(NoiseTest)
#include "noise_test.moc"
