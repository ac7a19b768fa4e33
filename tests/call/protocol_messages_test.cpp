// The protocol's texts as the other side expects them, and what a received
// text is taken for when it holds several keywords.

#include "call/protocol_messages.h"

#include <QTest>

using namespace voxlet::protocol;

class ProtocolMessagesTest : public QObject {
    Q_OBJECT
private slots:
    void textsAreExact()
    {
        QCOMPARE(DirectCallRequest(QStringLiteral("太郎")), QStringLiteral("VOICEMSG:OK|太郎|END"));
        QCOMPARE(SearchCallRequest(QStringLiteral("Taro")), QStringLiteral("ANYBODYMSG:OK|Taro|END"));
        QCOMPARE(CallerProfile(
                     QStringLiteral("T"), QStringLiteral("M"), QStringLiteral("30"), QStringLiteral("hi")),
            QStringLiteral("AnybadyConnect|T|M|30|hi|END"));
        QCOMPARE(RegistrationText({ false, QStringLiteral("T"), QStringLiteral("M"), QStringLiteral("30"),
                     QStringLiteral("hi"), QStringLiteral("pw"), {} }),
            QStringLiteral("ADDITIONDATA|T|M|30|hi|pw||END"));
    }
    void firstKeywordInOrderWins()
    {
        // A name holding a later keyword does not change what the text is.
        QCOMPARE(RecognisePeerText(SearchCallRequest(QStringLiteral("CallAnswer"))), PeerText::Answer);
        QCOMPARE(RecognisePeerText(QStringLiteral("CallAnswer|ENDVOICEMSG:OK|T|END")), PeerText::Request);
        QCOMPARE(RecogniseExternalText(QStringLiteral("AnybadyConnect|x|END")), ExternalText::Nothing);
        QCOMPARE(RecogniseServerText(QStringLiteral("ClientData|1|SERVEROKAY|M|30|x|10.0.0.5|1|1.2.3.4|END")),
            ServerText::Hello);
        QVERIFY(IsEmptyList(QStringLiteral("ClientData|1|ZEROS|M|30|x|10.0.0.5|1|1.2.3.4|END")));
    }
    void messagesOfOneReadAreCutWhereOneEnds()
    {
        const auto cut = [](const QString& text) { return text.left(FirstMessageLength(text)); };
        QCOMPARE(cut(Greeting() + Answer()), Greeting());
        QCOMPARE(cut(Answer() + QStringLiteral("\u1234voice")), Answer());
        // One message stays whole: fields that hold "END", a message cut short.
        for (const QString& one : { CallerProfile(QStringLiteral("END"), QStringLiteral("M"), {}, {}),
                 Greeting() + QStringLiteral("CallAns"), SearchCallRequest(QStringLiteral("CallAnswer")) })
            QCOMPARE(cut(one), one);
        // The answer with its field ends at its own "|END", voice behind it.
        const QString hd = Answer(QStringLiteral("vx1;codec=opus16"));
        QCOMPARE(hd, QStringLiteral("CallAnswer|vx1;codec=opus16|END"));
        QCOMPARE(cut(hd + QStringLiteral("\u0005\u5501|END")), hd);
    }
    void offersAndAnswersBetweenVoxlets()
    {
        // Read from the end: a name may hold "|"; a lone field is a name.
        const QString offer = QStringLiteral("vx1;codec=opus16,pcm8;c=0a");
        QCOMPARE(RequestOffer(SearchCallRequest(QStringLiteral("a|b"), offer)), offer);
        QCOMPARE(RequestOffer(DirectCallRequest(offer)), QString());
        QCOMPARE(ParseVoxletField(offer)->value(QStringLiteral("codec")), QStringLiteral("opus16,pcm8"));
        // Cut by the network, an answer may still become one; garbage never.
        for (const char* cutShort :
            { "CallAnswer", "CallAnswer|v", "CallAnswer|vx1;co", "CallAnswer|vx1;a=b|EN" })
            QVERIFY2(ParseAnswer(QString::fromLatin1(cutShort)).kind == AnswerKind::Incomplete, cutShort);
        for (const char* garbage : { "CallAnswer|x|END", "CallAnswer|vx1;CODEC|END" })
            QVERIFY2(ParseAnswer(QString::fromLatin1(garbage)).kind == AnswerKind::Garbage, garbage);
    }
};

QTEST_APPLESS_MAIN(ProtocolMessagesTest)
#include "protocol_messages_test.moc"
