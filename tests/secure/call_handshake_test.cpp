// The call's handshake between two sides in one process, where
// fuzz_secure_session does not look (it checks that a changed message or
// frame fails, that an honest call agrees and that a failed session stays
// ended): the code's known answer, the texts bound into the handshake, the
// fields' form and the last nonce.

#include "secure/call_handshake.h"

#include <QTest>

using namespace voxlet::secure;

namespace {
const QString kGreeting = QStringLiteral("VOICEMSG:OK");
const QString kRequest = QStringLiteral("VOICEMSG:OK|太郎|END");
} // namespace

class CallHandshakeTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(SodiumReady()); }
    void shortCodeKnownAnswer()
    {
        // Independently, in Python:
        //   p = b"Voxlet call 1" + b"".join(len(u).to_bytes(4, "big") + u for u in
        //       (t.encode("utf-16-le") for t in ("VOICEMSG:OK", "VOICEMSG:OK|太郎|vx1;c=00|END",
        //        "CallAnswer|vx1;e=11|END")))
        //   d = blake2b(b"Voxlet SAS 1" + blake2b(p, digest_size=32).digest() + bytes(range(32))
        //       + bytes(range(32, 64)), digest_size=32).digest()
        //   int.from_bytes(d[:4], "big") % 1000000   ->  614262
        PublicKey called {}, dialling {};
        for (int i = 0; i < 32; ++i) {
            called[std::size_t(i)] = std::uint8_t(i);
            dialling[std::size_t(i)] = std::uint8_t(32 + i);
        }
        const QByteArray prologue
            = CallPrologue(kGreeting, u"VOICEMSG:OK|太郎|vx1;c=00|END", u"CallAnswer|vx1;e=11|END");
        QCOMPARE(ShortAuthenticationString(prologue, called, dialling), QStringLiteral("614 262"));
    }
    void textsFieldsAndTheLastNonce()
    {
        // The called side read another name in the request than was sent: no session;
        // the same name: a session, until the last nonce.
        for (const QString& heard : { QString(kRequest).replace("太郎", "花子"), kRequest }) {
            CallHandshake dialling = CallHandshake::Dialling(GenerateKeyPair());
            CallHandshake called = CallHandshake::Called(GenerateKeyPair(), dialling.commitmentField());
            called.Start(kGreeting, heard, u"a");
            const auto message3 = called.TakeMessage2(
                dialling.TakeAnswer(kGreeting, kRequest, u"a", called.ephemeralField()).value());
            QCOMPARE(message3.has_value(), heard == kRequest);
            if (!message3)
                continue;
            QVERIFY(dialling.TakeMessage3(*message3));
            const auto session = dialling.TakeSession();
            session->SetSendingNonce(UINT64_MAX - 1);
            QVERIFY(session->Seal("h", "last") && !session->Seal("h", "reserved"));
            QCOMPARE(session->fault(), SecureFault::NonceExhausted);
        }
        // A key other than the one the offer committed to is refused, though all
        // else about it is sound: what keeps a man in the middle from grinding codes.
        {
            CallHandshake dialling = CallHandshake::Dialling(GenerateKeyPair());
            CallHandshake other = CallHandshake::Dialling(GenerateKeyPair());
            CallHandshake called = CallHandshake::Called(GenerateKeyPair(), other.commitmentField());
            called.Start(kGreeting, kRequest, u"a");
            QVERIFY(!called.TakeMessage2(
                dialling.TakeAnswer(kGreeting, kRequest, u"a", called.ephemeralField()).value()));
            QCOMPARE(called.fault(), SecureFault::BadCommitment);
        }
        // Fields of 64 lowercase hex digits only, on either side.
        for (const QString& field : { QString(63, 'a'), QString(64, 'A'), QString(63, 'a') + 'g' }) {
            QCOMPARE(CallHandshake::Called(GenerateKeyPair(), field).fault(), SecureFault::BadField);
            CallHandshake dialling = CallHandshake::Dialling(GenerateKeyPair());
            QVERIFY(!dialling.TakeAnswer(kGreeting, kRequest, u"a", field));
            QCOMPARE(dialling.fault(), SecureFault::BadField);
        }
    }
};

QTEST_APPLESS_MAIN(CallHandshakeTest)
#include "call_handshake_test.moc"
