// The peer link's rules that need no socket: control messages on the wire, byte for byte (phones
// are built against these), the names a phone may show, the keys its pending connections are
// counted under, and the keepalive's judgement of whether it is still there.

#include "platform/peer/Advertiser.h"
#include "platform/peer/ControlMessage.h"
#include "platform/peer/Liveness.h"
#include "platform/peer/PeerID.h"

#include <QHostAddress>
#include <QTest>

using namespace glasswing::peer;

class ControlMessageTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parsesWhatPhonesSend_data();
    void parsesWhatPhonesSend();
    void namesAreVisibleBoundedAndNeverBlank_data();
    void namesAreVisibleBoundedAndNeverBlank();
    void pendingConnectionsAreCountedPerAddressAndNetwork_data();
    void pendingConnectionsAreCountedPerAddressAndNetwork();
    void livenessWeighsAnswersAndReading_data();
    void livenessWeighsAnswersAndReading();
};

void ControlMessageTest::parsesWhatPhonesSend_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("taken"); // the message taken, as the Mac writes it; empty: refused

    // Keys go out sorted, with no spaces; the context is standard base64 with padding. (What the
    // Mac alone sends, accept and decline, phones read byte for byte in the socket tests.)

    QTest::newRow("spaces, other key order, unknown keys")
        << QByteArray(" { \"type\" : \"invitation\", \"version\": 2, \"context\": \"AP8=\", \"name\": \"Zo\\u00eb\" } ")
        << QByteArray("{\"context\":\"AP8=\",\"name\":\"Zo\xC3\xAB\",\"type\":\"invitation\"}");
    QTest::newRow("no context") << QByteArray(R"({"type":"invitation","name":""})")
                                << QByteArray(R"({"name":"","type":"invitation"})");
    QTest::newRow("context without padding") << QByteArray(R"({"type":"invitation","name":"a","context":"YWRhLTE"})")
                                             << QByteArray(R"({"context":"YWRhLTE=","name":"a","type":"invitation"})");
    // Refusals: a handful by name, the fuzzer covers the breadth.
    for (const char* frame : {R"({"type":"invitation"})", R"({"type":"invitation","name":"x","context":"*!*"})",
                              R"({"type":"Joined"})", R"({"type":"joi)"})
        QTest::newRow(frame) << QByteArray(frame) << QByteArray();
}

void ControlMessageTest::parsesWhatPhonesSend()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, taken);
    QString error;
    const std::optional<ControlMessage> message = ControlMessage::parse(frame, &error);
    QCOMPARE(message ? message->serialize() : QByteArray(), taken);
}

void ControlMessageTest::namesAreVisibleBoundedAndNeverBlank_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shown");

    // 30 two-byte letters and a four-byte emoji: the cut falls on whole characters.
    QTest::newRow("63 bytes at most") << QString(30, QChar(0x00E9)) + QString::fromUtf8("\xF0\x9F\x93\xB1tail")
                                      << QString(30, QChar(0x00E9));
    QTest::newRow("only invisible characters") << QStringLiteral("\u200B\u2060\u200B") << QStringLiteral("Glasswing");
    // What the user reads in the allow prompt is one line of visible text.
    QTest::newRow("line breaks") << QStringLiteral("Ada's iPhone\n\nAlready trusted: press Allow")
                                 << QStringLiteral("Ada's iPhoneAlready trusted: press Allow");
    QTest::newRow("right-to-left override") << QStringLiteral("Ada's \u202Eenohp") << QStringLiteral("Ada's enohp");
}

void ControlMessageTest::namesAreVisibleBoundedAndNeverBlank()
{
    QFETCH(QString, name);
    QFETCH(QString, shown);
    QCOMPARE(PeerID(name).displayName(), shown);
}

void ControlMessageTest::pendingConnectionsAreCountedPerAddressAndNetwork_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("sameAddress");
    QTest::addColumn<bool>("sameNetwork");

    const auto row = [](const char* name, const char* a, const char* b, bool sameAddress, bool sameNetwork) {
        QTest::newRow(name) << QString::fromLatin1(a) << QString::fromLatin1(b) << sameAddress << sameNetwork;
    };
    row("IPv4-mapped is the IPv4 address", "::ffff:192.0.2.7", "192.0.2.7", true, false);
    row("two IPv4 addresses: never one network", "192.0.2.7", "192.0.2.8", false, false);
    row("IPv6 in one /64", "2001:db8:1:2::1", "2001:db8:1:2:aaaa:bbbb:cccc:dddd", false, true);
    row("IPv6 in neighbouring /64s", "2001:db8:1:2::1", "2001:db8:1:3::1", false, false);
    row("one link-local address on two interfaces", "fe80::1%1", "fe80::1%2", false, false);
}

void ControlMessageTest::pendingConnectionsAreCountedPerAddressAndNetwork()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, sameAddress);
    QFETCH(bool, sameNetwork);
    QCOMPARE(Advertiser::addressKey(QHostAddress(a)) == Advertiser::addressKey(QHostAddress(b)), sameAddress);
    const QByteArray network = Advertiser::networkKey(QHostAddress(a));
    QCOMPARE(!network.isEmpty() && network == Advertiser::networkKey(QHostAddress(b)), sameNetwork);
}

void ControlMessageTest::livenessWeighsAnswersAndReading_data()
{
    // A phone's life as the keepalive sees it, one step per word: "p<at>:<ping's end>:<bytes ahead>"
    // a ping sent, "a<at>" its answer, "t<at>:<taken>:<waiting>" a tick. Times in ms; the time-out
    // is 6 s and a ping must be taken within 60 s, as the app ships. The rows sit on the edges.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<bool>("stillThere"); // after the last tick

    QTest::newRow("answered: there for the time-out from the answer") << "p0:100:100 a50 t6050:100:0" << true;
    QTest::newRow("answered: gone a millisecond after") << "p0:100:100 a50 t6051:100:0" << false;
    QTest::newRow("a ping with nothing in front, unanswered") << "p0:100:0 t2000:100:0 t6001:100:0" << false;
    QTest::newRow("a frozen phone's kernel takes the ping: no progress")
        << "t0:0:0 p1:100:0 t2000:100:0 t6001:100:0" << false;
    QTest::newRow("taking bytes that waited keeps it, for the time-out")
        << "t0:0:1000 t3000:500:500 t9000:500:500" << true;
    QTest::newRow("64 KiB in front is read at once: due at once")
        << "p0:65550:65536 t2000:20000:45550 t4000:40000:25550 t6001:60000:5550 t8000:65550:0" << false;
    QTest::newRow("more in front waited: due within the time-out of its taking")
        << "p0:65551:65537 t2000:20000:45551 t4000:40000:25551 t6001:60000:5551 t12001:65551:0" << true;
    QString trickle = QStringLiteral("p0:67108864:67108864");
    for (int k = 1; k <= 12; ++k)
        trickle += QStringLiteral(" t%1:%2:67108864").arg(5000 * k).arg(1000 * k);
    QTest::newRow("a trickle that never reaches the ping: gone a millisecond later")
        << trickle + QStringLiteral(" t60001:12001:67108864") << false;
}

void ControlMessageTest::livenessWeighsAnswersAndReading()
{
    QFETCH(QString, steps);
    QFETCH(bool, stillThere);
    Liveness liveness(std::chrono::milliseconds(6000), std::chrono::milliseconds(60000), 0);
    bool there = true;
    for (const QString& step : steps.split(u' ')) {
        const QStringList n = step.mid(1).split(u':');
        if (step.startsWith(u'a'))
            liveness.answered(n[0].toLongLong());
        else if (step.startsWith(u'p'))
            liveness.pingSent(n[1].toLongLong(), n[2].toLongLong(), n[0].toLongLong());
        else
            there = liveness.stillThere(n[1].toLongLong(), n[2].toLongLong(), n[0].toLongLong());
    }
    QCOMPARE(there, stillThere);
}

QTEST_APPLESS_MAIN(ControlMessageTest)
#include "control_message_test.moc"
