// The call's handshake between two sides in one process: the code both
// show, what a changed byte, a man in the middle or a bad key does, and the
// frames after it.

#include "secure/call_handshake.h"

#include <QTest>

#include <functional>
#include <tuple>

using namespace voxlet::secure;

namespace {

KeyPair Fixed(std::uint8_t seed)
{
    std::uint8_t secret[32];
    std::fill(std::begin(secret), std::end(secret), seed);
    return KeyPairFromSecret(SecretKey(secret));
}

const QString kGreeting = QStringLiteral("VOICEMSG:OK");
QString Request(const CallHandshake& dialling)
{
    return "VOICEMSG:OK|太郎|vx1;c=" + dialling.commitmentField() + "|END";
}
QString Answer(const CallHandshake& called)
{
    return "CallAnswer|vx1;e=" + called.ephemeralField() + "|END";
}

using Change = std::function<void(QByteArray&)>;
void Keep(QByteArray&)
{
}
Change Flip(int at)
{
    return [at](QByteArray& b) { b[at] = char(b[at] ^ 0x80); };
}

// A whole handshake, messages 2 and 3 changed in flight as asked.
struct Call {
    explicit Call(const Change& change2 = Keep, const Change& change3 = Keep, std::uint8_t seed = 1)
        : dialling(CallHandshake::Dialling(Fixed(seed), Fixed(seed + 1)))
        , called(CallHandshake::Called(Fixed(seed + 2), dialling.commitmentField(), Fixed(seed + 3)))
    {
        const QString request = Request(dialling), answer = Answer(called);
        called.Start(kGreeting, request, answer);
        QByteArray message2
            = dialling.TakeAnswer(kGreeting, request, answer, called.ephemeralField()).value();
        change2(message2);
        QByteArray message3 = called.TakeMessage2(message2).value_or(QByteArray(64, 'x'));
        change3(message3);
        dialling.TakeMessage3(message3);
    }
    CallHandshake dialling, called;
};

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
    void bothSidesAgreeAndFramesCross()
    {
        Call call;
        QVERIFY(call.dialling.done() && call.called.done());
        QCOMPARE(call.dialling.shortCode(), call.called.shortCode());
        QCOMPARE(call.dialling.peerStatic(), Fixed(3).publicKey);
        QCOMPARE(call.called.peerStatic(), Fixed(1).publicKey);
        auto a = call.dialling.TakeSession(), b = call.called.TakeSession();
        QVERIFY(a && b && !call.dialling.TakeSession());
        for (int i = 0; i < 3; ++i) {
            const QByteArray sealed = a->Seal("\x00\x15\x02", "voice").value();
            QCOMPARE(b->Open("\x00\x15\x02", sealed).value_or("failed"), QByteArray("voice"));
            QCOMPARE(a->Open("h", b->Seal("h", "back").value()).value_or("failed"), QByteArray("back"));
        }
    }
    void changedBytesFailTheHandshake()
    {
        // Message 2: e (its commitment), s, the payload's tag; message 3: s, tag; and each cut short.
        const Change cut = [](QByteArray& b) { b.chop(1); };
        for (const auto& [change2, change3, fault] :
            { std::tuple { Flip(0), Change(Keep), SecureFault::BadCommitment },
                { Flip(40), Keep, SecureFault::BadMessage }, { Flip(95), Keep, SecureFault::BadMessage },
                { cut, Keep, SecureFault::BadMessage }, { Keep, Flip(2), SecureFault::BadMessage },
                { Keep, Flip(63), SecureFault::BadMessage }, { Keep, cut, SecureFault::BadMessage } }) {
            Call call(change2, change3);
            QCOMPARE(call.called.done() ? call.dialling.fault() : call.called.fault(), fault);
            QVERIFY(!call.dialling.done() && !call.dialling.TakeSession());
        }
        // A name changed in flight: the prologues differ.
        CallHandshake dialling = CallHandshake::Dialling(Fixed(1));
        CallHandshake called = CallHandshake::Called(Fixed(3), dialling.commitmentField());
        const QString request = Request(dialling), answer = Answer(called);
        called.Start(kGreeting, QString(request).replace("太郎", "花子"), answer);
        QVERIFY(!called.TakeMessage2(
            dialling.TakeAnswer(kGreeting, request, answer, called.ephemeralField()).value()));
        QCOMPARE(called.fault(), SecureFault::BadMessage);
    }
    void manInTheMiddleGetsTwoCodes()
    {
        // Mallory answers the dialling side as if called, and dials the called side himself.
        CallHandshake alice = CallHandshake::Dialling(Fixed(1), Fixed(2));
        CallHandshake malloryToAlice = CallHandshake::Called(Fixed(9), alice.commitmentField(), Fixed(10));
        CallHandshake malloryToBob = CallHandshake::Dialling(Fixed(9), Fixed(11));
        CallHandshake bob = CallHandshake::Called(Fixed(3), malloryToBob.commitmentField(), Fixed(4));
        const QString requestA = Request(alice), answerA = Answer(malloryToAlice);
        const QString requestB = Request(malloryToBob), answerB = Answer(bob);
        malloryToAlice.Start(kGreeting, requestA, answerA);
        bob.Start(kGreeting, requestB, answerB);
        const auto a2 = alice.TakeAnswer(kGreeting, requestA, answerA, malloryToAlice.ephemeralField());
        const auto b2 = malloryToBob.TakeAnswer(kGreeting, requestB, answerB, bob.ephemeralField());
        QVERIFY(alice.TakeMessage3(malloryToAlice.TakeMessage2(a2.value()).value()));
        QVERIFY(malloryToBob.TakeMessage3(bob.TakeMessage2(b2.value()).value()));
        QCOMPARE(alice.peerStatic(), Fixed(9).publicKey);
        QCOMPARE(alice.shortCode(), malloryToAlice.shortCode());
        QVERIFY(alice.shortCode() != bob.shortCode());
    }
    void badKeysAndFieldsFail()
    {
        // Points of small order: the shared secret is all zeros.
        const QByteArray lowOrder[] = { QByteArray(32, '\0'), QByteArray(1, '\x01') + QByteArray(31, '\0'),
            QByteArray::fromHex("e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800") };
        for (const QByteArray& key : lowOrder) {
            CallHandshake dialling = CallHandshake::Dialling(Fixed(1));
            QVERIFY(!dialling.TakeAnswer(kGreeting, u"r", u"a", ToHexField(key)));
            QCOMPARE(dialling.fault(), SecureFault::BadKey);
            CallHandshake called = CallHandshake::Called(Fixed(3), ToHexField(Blake2b({ key }, 32)));
            called.Start(kGreeting, u"r", u"a");
            QVERIFY(!called.TakeMessage2(key + QByteArray(64, '\0')));
            QCOMPARE(called.fault(), SecureFault::BadKey);
        }
        for (const QString& field : { QString(63, 'a'), QString(64, 'A'), QString(63, 'a') + 'g' }) {
            QCOMPARE(CallHandshake::Called(Fixed(3), field).fault(), SecureFault::BadField);
            CallHandshake dialling = CallHandshake::Dialling(Fixed(1));
            QVERIFY(!dialling.TakeAnswer(kGreeting, u"r", u"a", field));
            QCOMPARE(dialling.fault(), SecureFault::BadField);
        }
    }
    void aFrameThatFailsEndsTheSession()
    {
        const QByteArray header("\x00\x16\x02", 3);
        const auto changed = [](QByteArray b, int at) {
            Flip(at)(b);
            return b;
        };
        for (int fault = 0; fault < 5; ++fault) {
            Call call;
            auto a = call.dialling.TakeSession(), b = call.called.TakeSession();
            const QByteArray first = a->Seal(header, "first").value(),
                             second = a->Seal(header, "second").value();
            const QByteArray bad[] = { changed(first, 2), first.chopped(1), second, first, first };
            const QByteArray badHeader = fault == 4 ? changed(header, 1) : header;
            if (fault == 3)
                QVERIFY(b->Open(header, first)); // then the same again: a replay
            QVERIFY(!b->Open(badHeader, bad[fault]));
            QCOMPARE(b->fault(), SecureFault::FrameRejected);
            QVERIFY(!b->Open(header, fault == 3 ? second : first) && !b->Seal(header, "x"));
        }
        Call call;
        auto a = call.dialling.TakeSession();
        a->SetSendingNonce(UINT64_MAX - 1);
        QVERIFY(a->Seal(header, "last"));
        QVERIFY(!a->Seal(header, "reserved"));
        QCOMPARE(a->fault(), SecureFault::NonceExhausted);
    }
};

QTEST_APPLESS_MAIN(CallHandshakeTest)
#include "call_handshake_test.moc"
