// The peer link against phones that misbehave on purpose or by bad luck: every case here once
// took the Mac down, let in a phone the user declined, or dropped a healthy phone.

#include "platform/peer/NetworkThread.h"
#include "support/PeerHarness.h"
#include "support/TestEnvironment.h"

#include <QThread>

#include <sys/socket.h>
#include <thread>

using namespace glasswing;
using namespace glasswing::test;

// Returns once the network thread has run everything posted to it before.
static void networkThreadCaughtUp()
{
    std::atomic<bool> done{false};
    peer::postToNetworkThread([&] { done = true; });
    while (!done)
        QThread::yieldCurrentThread();
}

class HostilePhoneTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void whatWaitsForAPhoneThatReadsNothingIsBounded_data();
    void whatWaitsForAPhoneThatReadsNothingIsBounded();
    void beforeJoiningOnlyABoundedInvitationIsTaken_data();
    void beforeJoiningOnlyABoundedInvitationIsTaken();
    void anAnswerReachesOnlyThePhoneItWasFor_data();
    void anAnswerReachesOnlyThePhoneItWasFor();
};

void HostilePhoneTest::whatWaitsForAPhoneThatReadsNothingIsBounded_data()
{
    QTest::addColumn<bool>("pings");
    QTest::newRow("messages the app sends") << false;
    // Each ping makes the Mac queue a pong that is never read, and nothing can refuse those: past
    // the bound the phone is dropped (they once grew the app by gigabytes).
    QTest::newRow("pongs to a flood of pings") << true;
}

void HostilePhoneTest::whatWaitsForAPhoneThatReadsNothingIsBounded()
{
    QFETCH(bool, pings);
    peer::PeerLimits limits = test::quickLimits();
    // More than the kernel's buffers take, so that messages wait in the connection's own queue.
    limits.maxOutboundQueueBytes
        = test::readAll(QStringLiteral("/proc/sys/net/ipv4/tcp_wmem")).simplified().split(' ').value(2).toLongLong()
        + 4 * 1024 * 1024;
    limits.keepaliveTimeout = std::chrono::milliseconds(60000); // only the bound may end it
    PeerHarness mac(limits);
    RawPhone::Options options;
    options.receiveBufferBytes = 4096;
    std::unique_ptr<RawPhone> phone = invitingPhone(mac, QStringLiteral("Stalled"), options);
    QVERIFY(test::join(mac, *phone));
    const QList<peer::PeerID> peers = mac.session.connectedPeers();
    phone->setReadBytesPerSecond(0); // stops reading for a while: it is not gone
    if (pings) {
        QVERIFY(test::waitFor([&] {
            for (int i = 0; i < 500 && phone->socket().bytesToWrite() < 1024 * 1024; ++i)
                phone->sendFrame(0x9, QByteArray(125, 'p'));
            return mac.count(QStringLiteral("not connected")) > 0;
        }));
        test::aPhoneCanStillJoin(mac);
        return;
    }

    // Sends until the queue is full; with `handOver`, the connection has each message before
    // the next is offered.
    const auto sendUntilFull = [&](const QByteArray& message, bool handOver) {
        qint64 accepted = 0;
        std::optional<peer::PeerError> full;
        while (!full && accepted < 100000) {
            full = mac.session.sendData(message, peers, peer::SendDataMode::Reliable);
            accepted += full ? 0 : 1;
            if (handOver)
                networkThreadCaughtUp();
        }
        return std::pair(accepted, full);
    };
    // Filled with large messages first, the queue has less room left than one of them.
    const auto [filled, fullOfLarge] = sendUntilFull(QByteArray(64 * 1024, 'f'), true);
    QVERIFY(fullOfLarge);
    // Then empty messages: framing costs more than their payload, and is what the cap must count.
    // The network thread is held until they are all offered: everything taken waits in memory
    // until it is back, and the cap bounds it all the same.
    std::atomic<bool> busy{true};
    peer::postToNetworkThread([&] {
        while (busy)
            QThread::yieldCurrentThread();
    });
    const auto [accepted, full] = sendUntilFull(QByteArray(), false);
    busy = false;
    networkThreadCaughtUp(); // and has handed over all it was given
    QVERIFY2(full, qPrintable(QStringLiteral("%1 messages taken without end").arg(accepted)));
    QCOMPARE(full->code, int(peer::PeerError::QueueFull));
    // Each took its room with its framing (up to 14 bytes a fragment), even empty.
    QVERIFY2(accepted * 14 <= 64 * 1024 + 1024, qPrintable(QStringLiteral("%1 empty messages taken").arg(accepted)));
    // The queue is at most full, not over: the phone stays, and gets them all.
    QCOMPARE(mac.count(QStringLiteral("not connected")), 0);
    phone->setReadBytesPerSecond(-1);
    QTRY_COMPARE_WITH_TIMEOUT(qint64(phone->binaryHeads.size()), filled + accepted, kWait);
}

void HostilePhoneTest::beforeJoiningOnlyABoundedInvitationIsTaken_data()
{
    // Before joining, a phone may send its invitation only: at most 16 KiB, counted in UTF-8
    // bytes, in at most 1,024 frames. Anything else ends it, and the next phone is still served.
    QTest::addColumn<int>("opcode"); // of the message's first frame
    QTest::addColumn<QList<QByteArray>>("frames"); // one message in these frames, after the upgrade
    QTest::addColumn<int>("closeCode"); // -1: none, taken as an invitation
    QTest::addColumn<QByteArray>("underTls"); // then sent straight onto the TCP connection
    const auto row
        = [](const char* name, const QList<QByteArray>& frames, int closeCode, int opcode = 0x1,
             const QByteArray& underTls = {}) { QTest::newRow(name) << opcode << frames << closeCode << underTls; };

    const QByteArray head = R"({"type":"invitation","name":")";
    const QByteArray tail = R"("})";
    const auto invitation = [&](const QByteArray& name, int frameBytes) {
        QList<QByteArray> frames{head};
        for (qsizetype at = 0; at < name.size(); at += frameBytes)
            frames.append(name.mid(at, frameBytes));
        return frames << tail;
    };
    const int room = 16 * 1024 - int(head.size() + tail.size());
    const int tooMuch = int(QWebSocketProtocol::CloseCodeTooMuchData);
    const int policy = int(QWebSocketProtocol::CloseCodePolicyViolated);
    row("exactly 16 KiB", invitation(QByteArray(room, 'n'), 4096), -1);
    row("a byte more", invitation(QByteArray(room + 1, 'n'), 4096), tooMuch);
    // Counted in UTF-8 bytes, not UTF-16 units; fragments are whole UTF-8.
    const QByteArray phone("\xF0\x9F\x93\xB1");
    const int fit = room / int(phone.size());
    row("4-byte characters up to 16 KiB", {head, phone.repeated(fit / 2), phone.repeated(fit - fit / 2), tail}, -1);
    row("4-byte characters past 16 KiB", {head, phone.repeated(fit / 2), phone.repeated(fit - fit / 2 + 1), tail},
        tooMuch);
    row("1,024 frames", invitation(QByteArray(1022, 'n'), 1), -1);
    row("1,025 frames", invitation(QByteArray(1023, 'n'), 1), policy);
    row("never invites", {}, policy);
    row("data before invited", {QByteArray("\x00\x01", 2)}, policy, 0x2);
    // An application-data record of 32 random bytes: its authentication fails, and from here
    // nothing the Mac sends can reach the phone, which must not wait for the user all the same.
    QByteArray forged("\x17\x03\x03\x00\x20", 5);
    for (int i = 0; i < 32; ++i)
        forged.append(char(QRandomGenerator::global()->generate()));
    row("invited, then TLS fails", invitation("Broken", 6), -1, 0x1, forged);
}

void HostilePhoneTest::beforeJoiningOnlyABoundedInvitationIsTaken()
{
    QFETCH(int, opcode);
    QFETCH(QList<QByteArray>, frames);
    QFETCH(int, closeCode);
    QFETCH(QByteArray, underTls);
    peer::PeerLimits limits = test::quickLimits();
    limits.keepaliveTimeout = std::chrono::milliseconds(60000); // a broken TLS session ends of itself
    PeerHarness mac(limits, PeerHarness::Answer::Hold);
    RawPhone phone(mac.advertiser.port());
    QTRY_VERIFY_WITH_TIMEOUT(phone.upgraded, kWait);
    for (qsizetype i = 0; i < frames.size(); ++i)
        phone.sendFrame(i == 0 ? opcode : 0x0, frames[i], i + 1 == frames.size());
    QTRY_VERIFY_WITH_TIMEOUT(phone.disconnected || mac.count(QStringLiteral("invited")) > 0, kWait);
    QCOMPARE(phone.closeCode, closeCode);
    const bool invited = closeCode < 0;
    QCOMPARE(mac.count(QStringLiteral("invited")), invited ? 1 : 0);
    if (!underTls.isEmpty())
        ::send(int(phone.socket().socketDescriptor()), underTls.constData(), size_t(underTls.size()), MSG_NOSIGNAL);
    if (!invited || !underTls.isEmpty()) {
        QVERIFY(test::waitFor([&] { return mac.advertiser.pendingConnectionCount() == 0; }));
        test::aPhoneCanStillJoin(mac);
    }
}

void HostilePhoneTest::anAnswerReachesOnlyThePhoneItWasFor_data()
{
    QTest::addColumn<bool>("firstTimesOut"); // and the second is allowed; else the first leaves, the second declined
    // The second phone often takes the first's place in memory: the first's allowing answer, come
    // late, once let in the second that the user declined.
    QTest::newRow("the first leaves; the second is declined") << false;
    // Answering every ping does not keep a phone waiting beyond the answer's time limit; the user
    // may still let the next one in later than any handshake limit, from another thread.
    QTest::newRow("the first times out; the second is allowed") << true;
}

void HostilePhoneTest::anAnswerReachesOnlyThePhoneItWasFor()
{
    QFETCH(bool, firstTimesOut);
    const bool secondAllowed = firstTimesOut;
    peer::PeerLimits limits = test::quickLimits();
    limits.tlsHandshakeTimeout = limits.upgradeTimeout = limits.invitationTimeout = limits.joinTimeout
        = std::chrono::milliseconds(300);
    // Room for a loaded machine between the second phone's invitation and its answer; only the
    // answer's limit may end the first.
    limits.answerTimeout = std::chrono::milliseconds(2500);
    limits.keepaliveTimeout = std::chrono::milliseconds(10000);
    PeerHarness mac(limits, PeerHarness::Answer::Hold);
    std::unique_ptr<RawPhone> first = invitingPhone(mac, QStringLiteral("First"));
    QTRY_COMPARE_WITH_TIMEOUT(mac.heldHandlers().size(), 1, kWait);
    if (firstTimesOut) {
        QVERIFY(first->waitForClose());
        QCOMPARE(first->closeCode, int(QWebSocketProtocol::CloseCodePolicyViolated));
        QCOMPARE(first->closeReason, QByteArray("time-out"));
        QVERIFY(first->pings > 1);
    } else {
        first->socket().abort();
    }
    QTRY_COMPARE_WITH_TIMEOUT(mac.advertiser.pendingConnectionCount(), 0, kWait);
    first.reset();
    QTest::qWait(20); // the closed connection is deleted, so its memory may be reused

    std::unique_ptr<RawPhone> second = invitingPhone(mac, QStringLiteral("Second"));
    QTRY_COMPARE_WITH_TIMEOUT(mac.heldHandlers().size(), 2, kWait);
    QTest::qWait(500); // longer than any handshake limit
    const QList<peer::InvitationHandler> handlers = mac.heldHandlers();
    handlers[0](true, &mac.session);
    std::thread([&] { handlers[1](secondAllowed, secondAllowed ? &mac.session : nullptr); }).join();
    handlers[1](!secondAllowed, secondAllowed ? nullptr : &mac.session); // a second answer counts for nothing
    if (secondAllowed) {
        QVERIFY(test::join(mac, *second));
    } else {
        QVERIFY(second->waitForClose());
        QCOMPARE(second->texts, QList<QByteArray>{R"({"type":"decline"})"});
        QCOMPARE(second->closeCode, int(QWebSocketProtocol::CloseCodeNormal));
    }
    QCOMPARE(mac.eventLines().filter(QStringLiteral("connecting")),
             secondAllowed ? QStringList{QStringLiteral("connecting: Second")} : QStringList());
}

QTEST_GUILESS_MAIN(HostilePhoneTest)
#include "hostile_phone_test.moc"
