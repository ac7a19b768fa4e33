// The remembered keys and the identity as their files keep them, and what
// the calls of direct_call_test do not show of a call's protection: in a
// warning nothing is confirmed, and a changed key is kept only once accepted.

#include "secure/call_protection.h"
#include "secure/identity.h"
#include "support/test_support.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace voxlet::secure;
using voxlet::test::ReadBytes;
using voxlet::test::WriteBytes;

namespace {
PublicKey Key(std::uint8_t b)
{
    PublicKey key {};
    key.fill(b);
    return key;
}
} // namespace

class CallProtectionTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(SodiumReady()); }
    void warningsNeitherConfirmNorKeepAKey()
    {
        KnownKeys keys = KnownKeys::Load({});
        const PeerId taro = PeerId::Caller("192.0.2.7", "太郎");
        CallProtection first(keys, taro);
        first.BeginEncrypted(Key(1), "123 456");
        QVERIFY(first.Confirm() && first.text() == QStringLiteral("暗号化・確認済み"));
        QVERIFY(!keys.find(PeerId::Dialled("192.0.2.7")));
        CallProtection plain(keys, taro);
        plain.BeginPlain();
        QVERIFY(plain.microphoneClosed() && !plain.Confirm());
        CallProtection changed(keys, taro);
        changed.BeginEncrypted(Key(2), "654 321");
        QVERIFY(changed.microphoneClosed() && !changed.Confirm());
        QCOMPARE(keys.find(taro)->key, Key(1));
        QVERIFY(changed.Accept());
        QVERIFY(keys.find(taro)->key == Key(2) && !keys.find(taro)->confirmed);
    }
    void oddFieldsAndTheBound()
    {
        QTemporaryDir dir;
        KnownKeys keys = KnownKeys::Load(dir.path());
        const QString odd[] = { "", "a b%20#x", "x\ny", QString(QChar(0xd800)), QString(300, 'n'),
            QString(299, 'n') + 'm', "名前\u2028", "太郎 " };
        const int n = int(std::size(odd));
        for (int i = 0; i < n; ++i)
            keys.Remember(PeerId::Caller("[2001:db8::1]:8002", odd[i]), { Key(std::uint8_t(i)), i % 2 == 0 });
        for (int i = 0; i < KnownKeys::kMaxEntries - n; ++i)
            keys.Remember(PeerId::Dialled(QString::number(i)), { Key(9), false });
        QVERIFY(!keys.Save());
        KnownKeys back = KnownKeys::Load(dir.path());
        QVERIFY(!back.problem());
        for (int i = 0; i < n; ++i) {
            const auto found = back.find(PeerId::Caller("[2001:db8::1]:8002", odd[i]));
            QVERIFY2(found && found->key == Key(std::uint8_t(i)) && found->confirmed == (i % 2 == 0),
                qPrintable(odd[i]));
        }
        // One more: the oldest use goes.
        back.Remember(PeerId::Dialled("new"), { Key(8), false });
        QVERIFY(!back.find(PeerId::Caller("[2001:db8::1]:8002", odd[0])) && back.find(PeerId::Dialled("0")));
    }
    void damagedFilesLoseNothing()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(kKnownKeysFile);
        const QByteArray good = "voxlet known keys 1\ndial h " + QByteArray(64, 'a') + " confirmed\n";
        QVERIFY(KnownKeys::Parse(good));
        for (const QByteArray& bad :
            { good.chopped(1), good + good.mid(20), QByteArray(good).replace("dial h", "dial %0041"),
                QByteArray(good).replace(" confirmed", " yes"),
                good + "call a " + QByteArray(64, 'a') + " confirmed\n",
                QByteArray(good).replace('h', "\xff") }) {
            WriteBytes(path, bad);
            KnownKeys keys = KnownKeys::Load(dir.path());
            QVERIFY2(keys.problem() && keys.problem()->contains("damaged"), bad.constData());
            QVERIFY(!keys.find(PeerId::Dialled("h")));
            keys.Remember(PeerId::Dialled("h"), { Key(1), false });
            QVERIFY(!keys.Save());
            QCOMPARE(ReadBytes(dir.filePath(kDamagedKnownKeysFile)), bad);
        }
        // Unreadable: nothing is written over it.
        QFile::remove(path);
        QVERIFY(QDir(dir.path()).mkdir(kKnownKeysFile));
        KnownKeys unreadable = KnownKeys::Load(dir.path());
        QVERIFY(unreadable.problem() && unreadable.Save() && QFileInfo(path).isDir());

        // The identity: made once, the same after, a damaged one left as it is.
        const IdentityFile made = LoadOrCreateIdentity(dir.path());
        QVERIFY(made.created && made.identity && !made.failure);
        const IdentityFile again = LoadOrCreateIdentity(dir.path());
        QVERIFY(!again.created && again.identity->publicKey == made.identity->publicKey);
        QByteArray text = ReadBytes(dir.filePath(kIdentityFile));
        text[30] = text[30] == '0' ? '1' : '0';
        WriteBytes(dir.filePath(kIdentityFile), text);
        const IdentityFile damaged = LoadOrCreateIdentity(dir.path());
        QVERIFY(!damaged.identity && damaged.failure && damaged.failure->contains("damaged"));
        QCOMPARE(ReadBytes(dir.filePath(kIdentityFile)), text);
    }
};

QTEST_APPLESS_MAIN(CallProtectionTest)
#include "call_protection_test.moc"
