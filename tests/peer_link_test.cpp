// The peer link with phones that behave: every way a phone's life ends, messages of every
// framing, and the listener that takes them.

#include "platform/peer/Listener.h"
#include "support/PeerHarness.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <sys/resource.h>

using namespace glasswing;
using namespace glasswing::test;

class PeerLinkTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void theListenerRecoversOnceDescriptorsAreBack();
    void everyWayOutIsReportedOnceAndOthersStillServed_data();
    void everyWayOutIsReportedOnceAndOthersStillServed();
    void messagesOfEveryFramingArriveWhole();
};

void PeerLinkTest::theListenerRecoversOnceDescriptorsAreBack()
{
    std::vector<int> taken;
    peer::Listener listener([&](qintptr descriptor) { taken.push_back(int(descriptor)); },
                            std::chrono::milliseconds(20));
    QVERIFY(listener.listen(16));
    const sockaddr_in address{AF_INET, htons(listener.port()), {htonl(INADDR_LOOPBACK)}, {}};
    std::vector<int> phones(4);
    std::generate(phones.begin(), phones.end(), [] { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); });
    const auto call
        = [&](int phone) { return ::connect(phone, reinterpret_cast<const sockaddr*>(&address), sizeof address); };

    // No descriptor left for this process: the connections wait in the kernel's backlog while the
    // listener fails to take them.
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    const int lowestFree = ::dup(0); // every descriptor below it is in use
    ::close(lowestFree);
    const rlimit none{rlim_t(lowestFree), limit.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &none);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(call(phones[i]), 0);
    QTest::qWait(100); // several tries fail meanwhile
    ::setrlimit(RLIMIT_NOFILE, &limit);
    QVERIFY(taken.empty());

    // Descriptors are back: the tries go on and take those waiting, with nothing new arriving;
    // then a new connection is taken as it comes.
    QTRY_COMPARE_WITH_TIMEOUT(taken.size(), size_t(3), kWait);
    QCOMPARE(call(phones[3]), 0);
    QTRY_COMPARE_WITH_TIMEOUT(taken.size(), size_t(4), kWait);
    for (const std::vector<int>& descriptors : {phones, taken})
        std::for_each(descriptors.begin(), descriptors.end(), ::close);
}

void PeerLinkTest::everyWayOutIsReportedOnceAndOthersStillServed_data()
{
    // Cut off by the Mac, alone or with everyone: mirroring_test, through the app's commands.
    QTest::addColumn<bool>("joins"); // then leaves; else never joins
    QTest::addColumn<int>("closeCode"); // the Mac's close frame to the phone
    QTest::newRow("leaves") << true << int(QWebSocketProtocol::CloseCodeNormal);
    QTest::newRow("never joins") << false << int(QWebSocketProtocol::CloseCodePolicyViolated);
}

void PeerLinkTest::everyWayOutIsReportedOnceAndOthersStillServed()
{
    QFETCH(bool, joins);
    QFETCH(int, closeCode);
    peer::PeerLimits limits = quickLimits();
    limits.keepaliveTimeout = std::chrono::milliseconds(10000); // only the way out chosen may end a phone
    if (!joins)
        limits.joinTimeout = std::chrono::milliseconds(300);
    PeerHarness mac(limits);
    Phone staying(mac.advertiser.port(), phoneArguments(QStringLiteral("Staying"), QStringLiteral("s")));
    QTRY_COMPARE_WITH_TIMEOUT(mac.session.connectedPeers().size(), 1, kWait);
    const peer::PeerID stayingPeer = mac.session.connectedPeers().first();
    std::unique_ptr<RawPhone> phone = invitingPhone(mac, QStringLiteral("Leaving"));
    QTRY_COMPARE_WITH_TIMEOUT(phone->texts, QList<QByteArray>{R"({"name":"Test Mac","type":"accept"})"}, kWait);
    const peer::PeerID leaving = mac.events().last().peer;
    QVERIFY(!mac.session.connectedPeers().contains(leaving)); // connecting is not connected
    if (joins) {
        QVERIFY(join(mac, *phone, 2));
        phone->sendFrame(0x8, QByteArray("\x03\xe8", 2));
    }
    QVERIFY(phone->waitForClose());
    QCOMPARE(phone->closeCode, closeCode);
    QTRY_VERIFY_WITH_TIMEOUT(mac.eventLines().contains(QStringLiteral("not connected: Leaving")), kWait);
    // Sent to both: the error names only the one gone, and the other gets it all the same.
    const std::optional<peer::PeerError> error
        = mac.session.sendData("after", {leaving, stayingPeer}, peer::SendDataMode::Reliable);
    QCOMPARE(error.value().description(),
             QStringLiteral(R"(Error Domain=GlasswingPeerLinkErrorDomain Code=1 "Peers not connected: Leaving.")"));
    QTRY_COMPARE_WITH_TIMEOUT(staying.messages(), 1, kWait);
    // Advertising goes on; by the time a new phone is served, any second report would be in.
    aPhoneCanStillJoin(mac);
    QStringList steps{QStringLiteral("invited: Leaving"), QStringLiteral("connecting: Leaving"),
                      QStringLiteral("not connected: Leaving")};
    if (joins)
        steps.insert(2, QStringLiteral("connected: Leaving"));
    QCOMPARE(mac.eventLines().filter(QStringLiteral(": Leaving")), steps);
    QVERIFY(!mac.eventLines().contains(QStringLiteral("not connected: Staying")));
}

void PeerLinkTest::messagesOfEveryFramingArriveWhole()
{
    peer::PeerLimits limits = quickLimits();
    limits.keepaliveInterval = std::chrono::milliseconds(20); // pings among the fragments
    limits.keepaliveTimeout = std::chrono::milliseconds(10000); // answered late on a loaded machine
    PeerHarness mac(limits);
    QTemporaryDir saved;
    Phone phone(mac.advertiser.port(),
                phoneArguments(QStringLiteral("Framed"), QStringLiteral("f"))
                    + QStringList{QStringLiteral("--out"), saved.path()});
    QTRY_COMPARE_WITH_TIMEOUT(mac.session.connectedPeers().size(), 1, kWait);

    const int slice = 256 * 1024;
    QList<QByteArray> sent;
    for (const int size : {0, 125, 126, 65535, 65536, slice, slice + 1}) {
        QByteArray message(size, Qt::Uninitialized);
        for (qsizetype i = 0; i < size; ++i)
            message[i] = char(i * 7 + size);
        sent << message;
    }
    for (const QByteArray& message : sent)
        QVERIFY(!mac.session.sendData(message, mac.session.connectedPeers(), peer::SendDataMode::Reliable));

    QTRY_COMPARE_WITH_TIMEOUT(phone.messages(), int(sent.size()), kWait);
    const QStringList files = QDir(saved.path()).entryList({QStringLiteral("message-*.bin")}, QDir::Files, QDir::Name);
    QCOMPARE(files.size(), sent.size());
    for (int i = 0; i < files.size(); ++i)
        QVERIFY2(readAll(saved.filePath(files[i])) == sent[i], qPrintable(files[i]));
    const QByteArray tooLarge(limits.maxSendMessageBytes + 1, 'x');
    QCOMPARE(mac.session.sendData(tooLarge, mac.session.connectedPeers(), peer::SendDataMode::Reliable).value().code,
             int(peer::PeerError::MessageTooLarge));
}

QTEST_GUILESS_MAIN(PeerLinkTest)
#include "peer_link_test.moc"
