// The peer link against phones that misbehave on purpose or by bad luck, and on a machine that
// runs short: every case here once took the Mac down, let in a phone the user declined, or
// dropped a healthy phone.

#include "platform/peer/NetworkThread.h"
#include "support/PeerHarness.h"
#include "support/RawPhone.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <fcntl.h>
#include <malloc.h>
#include <memory>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace glasswing;
using test::invitingPhone;
using test::joinAsOnlyPhone;
using test::kWait;
using test::PeerHarness;
using test::Phone;
using test::RawPhone;

Q_DECLARE_METATYPE(peer::SendPolicy)

namespace {

// User and system CPU time of a process so far, in clock ticks.
qint64 cpuTicks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // The fields after the parenthesised command name; utime and stime are the 12th and 13th.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.value(11).toLongLong() + fields.value(12).toLongLong();
}

int openDescriptors(qint64 pid)
{
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

// This process's resident memory now (unlike the peak, it tells one test row from the last).
long residentKiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    return statm.readAll().split(' ').value(1).toLong() * (sysconf(_SC_PAGESIZE) / 1024);
}

// The resident memory to measure growth from: with what earlier tests freed handed back first, so
// that new buffers cannot hide in it.
long residentKiBBaseline()
{
    ::malloc_trim(0);
    return residentKiB();
}

QHostAddress loopback(int n)
{
    return QHostAddress(QStringLiteral("127.0.0.%1").arg(n));
}

} // namespace

class HostilePhoneTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aLateAnswerNeverAdmitsAnotherPhone();
    void anUnansweredInvitationExpires();
    void oneAddressHoldsFewPendingConnections();
    void pendingConnectionsAreCountedPerNetwork_data();
    void pendingConnectionsAreCountedPerNetwork();
    void aPhoneThatDoesNotReadItsPongsIsCutOff_data();
    void aPhoneThatDoesNotReadItsPongsIsCutOff();
    void theQueueCapCountsWhatReallyWaits_data();
    void theQueueCapCountsWhatReallyWaits();
    void aSlowReaderStaysAndAFrozenOneGoes_data();
    void aSlowReaderStaysAndAFrozenOneGoes();
    void acceptingResumesAfterDescriptorsRunOut();
    void smallMessagesStayWithinTheQueueCap_data();
    void smallMessagesStayWithinTheQueueCap();
    void aControlMessageIsBoundedInBytes_data();
    void aControlMessageIsBoundedInBytes();
    void aFloodOfTinyFramesIsNotBufferedWhole_data();
    void aFloodOfTinyFramesIsNotBufferedWhole();
    void aPhoneThatOnlyPretendsToReadIsGone();
    void aPhoneWhoseTlsFailsIsGone_data();
    void aPhoneWhoseTlsFailsIsGone();
    void aNeighbourOnTheSameIpv6NetworkIsStillServed();
    void aPhoneNameCannotDisguiseItself_data();
    void aPhoneNameCannotDisguiseItself();
};

void HostilePhoneTest::aLateAnswerNeverAdmitsAnotherPhone()
{
    PeerHarness mac(test::quickLimits(), PeerHarness::Answer::Hold);
    // Phone A invites and leaves; phone B takes its place (often at the same address in memory)
    // and invites. A's answer comes first, allowing; B's declines. B must end declined.
    for (int round = 0; round < 5; ++round) {
        std::unique_ptr<RawPhone> first = invitingPhone(mac, QStringLiteral("First"));
        QTRY_COMPARE_WITH_TIMEOUT(mac.heldHandlers().size(), 2 * round + 1, kWait);
        first->abort();
        QTRY_COMPARE_WITH_TIMEOUT(mac.advertiser.pendingConnectionCount(), 0, kWait);
        first.reset();
        QTest::qWait(20); // the closed connection is deleted, so its memory may be reused

        std::unique_ptr<RawPhone> second = invitingPhone(mac, QStringLiteral("Second"));
        QTRY_COMPARE_WITH_TIMEOUT(mac.heldHandlers().size(), 2 * round + 2, kWait);
        const QList<peer::InvitationHandler> handlers = mac.heldHandlers();
        handlers[2 * round](true, &mac.session);
        handlers[2 * round + 1](false, nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(second->disconnected, kWait);
        QCOMPARE(second->texts, QList<QByteArray>{R"({"type":"decline"})"});
        QCOMPARE(second->closeCode, int(QWebSocketProtocol::CloseCodeNormal));
        QCOMPARE(mac.count(QStringLiteral("connecting")), 0);
    }
}

void HostilePhoneTest::anUnansweredInvitationExpires()
{
    peer::PeerLimits limits = test::quickLimits();
    limits.answerTimeout = std::chrono::milliseconds(1500);
    PeerHarness mac(limits, PeerHarness::Answer::Hold);
    // The phone answers every ping: only the answer's time limit can end it.
    std::unique_ptr<RawPhone> phone = invitingPhone(mac, QStringLiteral("Patient"));
    QTRY_COMPARE_WITH_TIMEOUT(mac.heldHandlers().size(), 1, kWait);
    QTRY_VERIFY_WITH_TIMEOUT(phone->disconnected, kWait);
    QCOMPARE(phone->closeCode, int(QWebSocketProtocol::CloseCodePolicyViolated));
    QCOMPARE(phone->closeReason, QByteArray("time-out"));
    QVERIFY(phone->pings > 0);
    QCOMPARE(mac.advertiser.pendingConnectionCount(), 0);

    // The user answers after all: nothing happens, and the next phone is served.
    mac.heldHandlers().first()(true, &mac.session);
    QTest::qWait(200);
    QCOMPARE(mac.count(QStringLiteral("connecting")), 0);
    test::aPhoneCanStillJoin(mac);
}

void HostilePhoneTest::oneAddressHoldsFewPendingConnections()
{
    const peer::PeerLimits limits = test::quickLimits();
    PeerHarness mac(limits, PeerHarness::Answer::Hold);
    // Invitations from one address, left unanswered: past its share, further connections from
    // it are closed before TLS, so one device can neither fill every slot nor pile up prompts.
    std::vector<std::unique_ptr<RawPhone>> phones;
    for (int i = 0; i < limits.maxPendingConnectionsPerAddress + 3; ++i) {
        RawPhone::Options options;
        options.source = loopback(2);
        phones.push_back(invitingPhone(mac, QStringLiteral("Greedy %1").arg(i), options));
    }
    QTRY_COMPARE_WITH_TIMEOUT(mac.heldHandlers().size(), limits.maxPendingConnectionsPerAddress, kWait);
    int refused = 0;
    for (const auto& phone : phones)
        refused += (phone->disconnected && !phone->upgraded) ? 1 : 0;
    QCOMPARE(refused, 3);
    QCOMPARE(mac.advertiser.pendingConnectionCount(), limits.maxPendingConnectionsPerAddress);

    // Other addresses still get their turn while those wait.
    RawPhone::Options elsewhere;
    elsewhere.source = loopback(3);
    std::unique_ptr<RawPhone> other = invitingPhone(mac, QStringLiteral("Neighbour"), elsewhere);
    QTRY_COMPARE_WITH_TIMEOUT(mac.heldHandlers().size(), limits.maxPendingConnectionsPerAddress + 1, kWait);
    test::aPhoneCanStillJoin(mac);
}

void HostilePhoneTest::pendingConnectionsAreCountedPerNetwork_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("sameAddress");
    QTest::addColumn<bool>("sameNetwork");

    QTest::newRow("IPv4-mapped is the IPv4 address") << "::ffff:192.0.2.7"
                                                     << "192.0.2.7" << true << false;
    QTest::newRow("two IPv4 addresses: never one network") << "192.0.2.7"
                                                           << "192.0.2.8" << false << false;
    QTest::newRow("IPv6 in one /64") << "2001:db8:1:2::1"
                                     << "2001:db8:1:2:aaaa:bbbb:cccc:dddd" << false << true;
    QTest::newRow("IPv6 in neighbouring /64s") << "2001:db8:1:2::1"
                                               << "2001:db8:1:3::1" << false << false;
    QTest::newRow("link-local IPv6 of one interface") << "fe80::1%1"
                                                      << "fe80::2%1" << false << true;
    QTest::newRow("one link-local address on two interfaces") << "fe80::1%1"
                                                              << "fe80::1%2" << false << false;
}

void HostilePhoneTest::pendingConnectionsAreCountedPerNetwork()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, sameAddress);
    QFETCH(bool, sameNetwork);
    const QHostAddress first(a);
    const QHostAddress second(b);
    QVERIFY(!peer::Advertiser::addressKey(first).isEmpty());
    QCOMPARE(peer::Advertiser::addressKey(first) == peer::Advertiser::addressKey(second), sameAddress);
    QCOMPARE(!peer::Advertiser::networkKey(first).isEmpty()
                 && peer::Advertiser::networkKey(first) == peer::Advertiser::networkKey(second),
             sameNetwork);
}

void HostilePhoneTest::aPhoneThatDoesNotReadItsPongsIsCutOff_data()
{
    QTest::addColumn<bool>("joined");
    QTest::newRow("waiting for the user's answer") << false;
    QTest::newRow("joined") << true;
}

void HostilePhoneTest::aPhoneThatDoesNotReadItsPongsIsCutOff()
{
    QFETCH(bool, joined);
    peer::PeerLimits limits = test::quickLimits();
    limits.maxOutboundQueueBytes = 1024 * 1024;
    limits.keepaliveTimeout = std::chrono::milliseconds(60000); // only the bound may end it
    PeerHarness mac(limits, joined ? PeerHarness::Answer::Accept : PeerHarness::Answer::Hold);
    std::unique_ptr<RawPhone> phone = invitingPhone(mac, QStringLiteral("Pinger"));
    if (joined) {
        QVERIFY(joinAsOnlyPhone(mac, *phone));
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(mac.heldHandlers().size(), 1, kWait);
    }

    // The phone stops reading and pings as fast as it can; every ping makes the Mac queue a pong.
    phone->setReadBytesPerSecond(0);
    const long before = test::peakMemoryKiB();
    const qint64 pingBytes = 125;
    qint64 sent = 0;
    QElapsedTimer clock;
    clock.start();
    while (!phone->disconnected && sent < 256 * 1024 * 1024 && clock.elapsed() < 20000) {
        if (phone->socket().bytesToWrite() < 1024 * 1024) {
            for (int i = 0; i < 1000; ++i)
                phone->sendPing(QByteArray(pingBytes, 'p'));
            sent += 1000 * pingBytes;
        }
        QTest::qWait(1);
    }
    const long grown = test::peakMemoryKiB() - before;
    QVERIFY2(phone->disconnected, qPrintable(QStringLiteral("still open after %1 MiB of pings").arg(sent >> 20)));
    QVERIFY2(grown < 64 * 1024, qPrintable(QStringLiteral("memory grew by %1 MiB").arg(grown / 1024)));
    if (joined)
        QTRY_COMPARE_WITH_TIMEOUT(mac.count(QStringLiteral("not connected")), 1, kWait);
    else
        QTRY_COMPARE_WITH_TIMEOUT(mac.advertiser.pendingConnectionCount(), 0, kWait);
    test::aPhoneCanStillJoin(mac);
}

void HostilePhoneTest::theQueueCapCountsWhatReallyWaits_data()
{
    QTest::addColumn<int>("frameBytes");
    QTest::addColumn<int>("pingsPerRound");
    QTest::newRow("tiny frames: framing costs more than the payload") << 4 << 0;
    QTest::newRow("large frames, the phone pinging all the while") << 64 * 1024 << 10;
}

void HostilePhoneTest::theQueueCapCountsWhatReallyWaits()
{
    QFETCH(int, frameBytes);
    QFETCH(int, pingsPerRound);
    peer::PeerLimits limits = test::quickLimits();
    limits.maxOutboundQueueBytes = 1024 * 1024;
    limits.keepaliveTimeout = std::chrono::milliseconds(60000);
    PeerHarness mac(limits);
    RawPhone::Options options;
    options.readBytesPerSecond = 1024 * 1024;
    std::unique_ptr<RawPhone> phone = invitingPhone(mac, QStringLiteral("Reader"), options);
    QVERIFY(joinAsOnlyPhone(mac, *phone));
    const QList<peer::PeerID> peers = mac.session.connectedPeers();

    // Frames are offered far faster than the phone reads. Everything between the Mac and the
    // phone counts against the cap: queued frames, framing, pongs, the kernel's send queue.
    const QByteArray frame(frameBytes, 'f');
    const int framesPerRound = std::max(1, 64 * 1024 / frameBytes);
    qint64 accepted = 0;
    qint64 mostWaiting = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 3000 && !phone->disconnected) {
        for (int i = 0; i < pingsPerRound; ++i)
            phone->sendPing();
        for (int i = 0; i < framesPerRound; ++i) {
            if (!mac.session.sendData(frame, peers, peer::SendDataMode::Reliable))
                accepted += frame.size();
        }
        QTest::qWait(5);
        mostWaiting = std::max(mostWaiting, accepted - phone->binaryPayloadBytes);
    }
    QVERIFY(!phone->disconnected);
    QVERIFY(phone->binaryPayloadBytes > 0);
    // The phone's own buffers (its kernel's and its TLS socket's) hold a little more.
    QVERIFY2(mostWaiting < limits.maxOutboundQueueBytes + 512 * 1024,
             qPrintable(QStringLiteral("%1 KiB waited for the phone").arg(mostWaiting / 1024)));
}

void HostilePhoneTest::aSlowReaderStaysAndAFrozenOneGoes_data()
{
    QTest::addColumn<qint64>("readBytesPerSecond");
    QTest::addColumn<bool>("stays");
    QTest::newRow("reads 1 MiB/s behind a full queue: stays") << qint64(1024 * 1024) << true;
    QTest::newRow("stops reading behind a full queue: gone") << qint64(0) << false;
}

void HostilePhoneTest::aSlowReaderStaysAndAFrozenOneGoes()
{
    QFETCH(qint64, readBytesPerSecond);
    QFETCH(bool, stays);
    // The keepalive ratio the app ships with (one ping every third of the time-out), scaled down.
    peer::PeerLimits limits = test::quickLimits();
    limits.keepaliveInterval = std::chrono::milliseconds(300);
    limits.keepaliveTimeout = std::chrono::milliseconds(900);
    limits.maxOutboundQueueBytes = 4 * 1024 * 1024;
    PeerHarness mac(limits);
    std::unique_ptr<RawPhone> phone = invitingPhone(mac, QStringLiteral("Slow"));
    QVERIFY(joinAsOnlyPhone(mac, *phone));
    const QList<peer::PeerID> peers = mac.session.connectedPeers();
    phone->setReadBytesPerSecond(readBytesPerSecond);

    // Frames come ten times faster than the phone reads, so each ping waits behind seconds of
    // frames: far longer than the keepalive time-out.
    const QByteArray frame(256 * 1024, 'f');
    int accepted = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 3000 && mac.count(QStringLiteral("not connected")) == 0) {
        if (!mac.session.sendData(frame, peers, peer::SendDataMode::Reliable))
            ++accepted;
        QTest::qWait(25);
    }
    if (!stays) {
        QTRY_COMPARE_WITH_TIMEOUT(mac.count(QStringLiteral("not connected")), 1, kWait);
        return;
    }
    QCOMPARE(mac.count(QStringLiteral("not connected")), 0);
    // Once frames stop, the phone reads its way through all of them and is still there.
    QTRY_COMPARE_WITH_TIMEOUT(phone->binaryMessages, accepted, 3 * kWait);
    QCOMPARE(mac.count(QStringLiteral("not connected")), 0);
    QCOMPARE(mac.session.connectedPeers().size(), 1);
}

void HostilePhoneTest::acceptingResumesAfterDescriptorsRunOut()
{
    // A Mac in a process of its own with few descriptors allowed.
    QProcess mac;
    mac.setChildProcessModifier([] {
        const rlimit limit{24, 24};
        ::setrlimit(RLIMIT_NOFILE, &limit);
    });
    mac.start(QStringLiteral(ADVERTISE_HELPER_BINARY), {QStringLiteral("Short of descriptors")});
    QVERIFY(mac.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(mac.canReadLine(), kWait);
    const QByteArray listening = mac.readLine().trimmed();
    QVERIFY2(listening.startsWith("listening "), listening.constData());
    const quint16 port = listening.mid(10).toUShort();
    const int descriptorsAtRest = openDescriptors(mac.processId());

    // Plain connections from many addresses, held open: together they need more descriptors
    // than the Mac may have.
    std::vector<std::unique_ptr<QTcpSocket>> flood;
    for (int i = 0; i < 45; ++i) {
        flood.push_back(std::make_unique<QTcpSocket>());
        flood.back()->bind(loopback(10 + i / 3));
        flood.back()->connectToHost(QHostAddress::LocalHost, port);
    }
    QTRY_VERIFY_WITH_TIMEOUT(
        std::all_of(flood.begin(), flood.end(),
                    [](const auto& socket) { return socket->state() == QAbstractSocket::ConnectedState; }),
        kWait);
    // While it is out of descriptors, the Mac waits; it does not spin on its listening socket.
    const qint64 cpuBefore = cpuTicks(mac.processId());
    QTest::qWait(1000);
    const qint64 cpuWhileOut = cpuTicks(mac.processId()) - cpuBefore;
    flood.clear();
    // A busy loop would have used most of that second (100 ticks); waiting uses next to none.
    QVERIFY2(cpuWhileOut < 30, qPrintable(QStringLiteral("%1 ticks of CPU").arg(cpuWhileOut)));

    // Once the Mac has let go of those connections, its descriptors are free again: a phone is
    // served.
    QTRY_VERIFY_WITH_TIMEOUT(openDescriptors(mac.processId()) <= descriptorsAtRest, kWait);
    Phone phone(port,
                test::phoneArguments(QStringLiteral("After"), QStringLiteral("a"))
                    + QStringList{QStringLiteral("--count"), QStringLiteral("1")});
    QVERIFY(phone.waitForExit(15000));
    QCOMPARE(phone.exitCode(), 0);
    mac.terminate();
    QVERIFY(mac.waitForFinished(kWait));
    // It did run out on the way.
    QVERIFY(mac.readAllStandardError().contains("cannot take a connection"));
}

void HostilePhoneTest::smallMessagesStayWithinTheQueueCap_data()
{
    QTest::addColumn<int>("messageBytes");
    QTest::addColumn<peer::SendPolicy>("policy");
    QTest::newRow("4-byte messages") << 4 << peer::SendPolicy::QueueEvery;
    QTest::newRow("1-byte messages") << 1 << peer::SendPolicy::QueueEvery;
    QTest::newRow("empty messages") << 0 << peer::SendPolicy::QueueEvery;
    // Nothing queues here, as each message replaces the last: what is taken must not pile up either.
    QTest::newRow("newest wins, 4-byte messages") << 4 << peer::SendPolicy::NewestWins;
}

void HostilePhoneTest::smallMessagesStayWithinTheQueueCap()
{
    QFETCH(int, messageBytes);
    QFETCH(peer::SendPolicy, policy);
    peer::PeerLimits limits = test::quickLimits();
    limits.maxOutboundQueueBytes = 256 * 1024;
    limits.keepaliveTimeout = std::chrono::milliseconds(60000); // only the bound may end it
    PeerHarness mac(limits, PeerHarness::Answer::Accept, policy);
    std::unique_ptr<RawPhone> phone = invitingPhone(mac, QStringLiteral("Stalled"));
    QVERIFY(joinAsOnlyPhone(mac, *phone));
    const QList<peer::PeerID> peers = mac.session.connectedPeers();
    // A phone that stops reading for a while: it is not gone.
    phone->setReadBytesPerSecond(0);

    // The network thread is busy for a moment (other phones, a slow machine) while the app sends
    // as fast as the session takes its messages. Until the thread is back, everything taken waits
    // in memory; the cap is what bounds it, whatever the size of each message.
    peer::postToNetworkThread([] { QThread::msleep(1500); });
    const QByteArray message(messageBytes, 'm');
    const long before = residentKiBBaseline();
    long grown = 0;
    qint64 taken = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 1200 && grown < 64 * 1024) {
        if (mac.session.sendData(message, peers, peer::SendDataMode::Reliable))
            break; // full
        if (++taken % 4096 == 0)
            grown = residentKiB() - before;
    }
    grown = std::max(grown, residentKiB() - before);
    // Under newest-wins, taken while the thread is still busy: the one the phone must end on.
    if (policy == peer::SendPolicy::NewestWins)
        QVERIFY(!mac.session.sendData("last", peers, peer::SendDataMode::Reliable));
    QVERIFY2(grown < 16 * 1024,
             qPrintable(QStringLiteral("memory grew by %1 MiB for %2 messages taken within a queue cap of %3 bytes")
                            .arg(grown / 1024)
                            .arg(taken)
                            .arg(limits.maxOutboundQueueBytes)));

    // Once the thread has sent them, with their framing, the queue is at most full, not over: the
    // phone is not cut off as one that let more wait than the queue holds.
    std::atomic<bool> handedOver{false};
    peer::postToNetworkThread([&] { handedOver = true; });
    QTRY_VERIFY_WITH_TIMEOUT(handedOver, kWait);
    QTest::qWait(500);
    QVERIFY2(mac.count(QStringLiteral("not connected")) == 0,
             qPrintable(QStringLiteral("cut off after the session took %1 messages of %2 bytes within its cap of %3")
                            .arg(taken)
                            .arg(messageBytes)
                            .arg(limits.maxOutboundQueueBytes)));
    QVERIFY(!phone->disconnected);
    if (policy == peer::SendPolicy::NewestWins) {
        phone->setReadBytesPerSecond(-1);
        QTRY_VERIFY_WITH_TIMEOUT(!phone->binaryHeads.isEmpty() && phone->binaryHeads.last() == "last", kWait);
    }
}

void HostilePhoneTest::aControlMessageIsBoundedInBytes_data()
{
    QTest::addColumn<QString>("character");
    QTest::newRow("ASCII") << QStringLiteral("a");
    QTest::newRow("2-byte characters") << QString(QChar(0x00E9));
    QTest::newRow("3-byte characters") << QString(QChar(0x4E2D));
    QTest::newRow("4-byte characters") << QString::fromUtf8("\xF0\x9F\x93\xB1");
}

void HostilePhoneTest::aControlMessageIsBoundedInBytes()
{
    QFETCH(QString, character);
    const peer::PeerLimits limits = test::quickLimits();
    PeerHarness mac(limits, PeerHarness::Answer::Hold);
    auto phone = std::make_unique<RawPhone>(mac.advertiser.port());
    QTRY_VERIFY_WITH_TIMEOUT(phone->upgraded, kWait);

    // An invitation of 1.75 times the limit in UTF-8, in fragments of at most 3,000 bytes.
    const QByteArray head = R"({"type":"invitation","name":")";
    const QByteArray tail = R"("})";
    const QByteArray piece = character.repeated(3000 / character.toUtf8().size()).toUtf8();
    QList<QByteArray> fragments{head};
    qint64 total = head.size() + tail.size();
    while (total + piece.size() <= limits.maxControlMessageBytes * 7 / 4) {
        fragments.append(piece);
        total += piece.size();
    }
    fragments.append(tail);
    for (qsizetype i = 0; i < fragments.size(); ++i) {
        const int opcode = i == 0 ? 0x1 : 0x0;
        phone->sendFrame(opcode, fragments[i], i + 1 == fragments.size());
    }
    QTRY_VERIFY_WITH_TIMEOUT(phone->disconnected || !mac.heldHandlers().isEmpty(), kWait);
    QVERIFY2(mac.heldHandlers().isEmpty(),
             qPrintable(QStringLiteral("an invitation of %1 bytes was taken").arg(total)));
    QTRY_VERIFY_WITH_TIMEOUT(phone->disconnected, kWait);
    QCOMPARE(phone->closeCode, int(QWebSocketProtocol::CloseCodeTooMuchData));
}

void HostilePhoneTest::aFloodOfTinyFramesIsNotBufferedWhole_data()
{
    QTest::addColumn<bool>("joined");
    QTest::newRow("before the invitation") << false;
    QTest::newRow("after joining") << true;
}

void HostilePhoneTest::aFloodOfTinyFramesIsNotBufferedWhole()
{
    QFETCH(bool, joined);
    peer::PeerLimits limits = test::quickLimits();
    limits.invitationTimeout = std::chrono::milliseconds(60000);
    limits.keepaliveTimeout = std::chrono::milliseconds(60000);
    PeerHarness mac(limits);
    std::unique_ptr<RawPhone> phone;
    if (joined) {
        phone = invitingPhone(mac, QStringLiteral("Flood"));
        QVERIFY(joinAsOnlyPhone(mac, *phone));
    } else {
        phone = std::make_unique<RawPhone>(mac.advertiser.port());
        QTRY_VERIFY_WITH_TIMEOUT(phone->upgraded, kWait);
    }
    // A message begun and never finished: empty fragments, each one frame for the Mac to parse.
    phone->sendFrame(0x1, QByteArray(), false);
    QByteArray fragments;
    for (int i = 0; i < 100000; ++i)
        fragments.append("\x00\x80\x00\x00\x00\x00", 6); // opcode 0, not final, masked, empty
    const long before = residentKiBBaseline();
    long most = before;
    qint64 sent = 0;
    QElapsedTimer clock;
    clock.start();
    while (!phone->disconnected && clock.elapsed() < 4000) {
        // What waits on the phone's side stays small: the rest has reached the Mac.
        if (phone->socket().bytesToWrite() + phone->socket().encryptedBytesToWrite() < 1024 * 1024) {
            phone->socket().write(fragments);
            sent += fragments.size();
        }
        QTest::qWait(1);
        most = std::max(most, residentKiB());
    }
    const long grown = most - before;
    qInfo() << "sent" << (sent >> 20) << "MiB; memory grew by" << grown / 1024 << "MiB";
    QVERIFY2(grown < 16 * 1024, qPrintable(QStringLiteral("memory grew by %1 MiB").arg(grown / 1024)));
}

void HostilePhoneTest::aPhoneThatOnlyPretendsToReadIsGone()
{
    // It takes 8 KiB/s and decrypts nothing: the 4 MiB of frames in front of its next pong take 8
    // minutes. (A slower taker only looks less alive.)
    // The keepalive ratio the app ships with (one ping every third of the time-out), scaled down.
    peer::PeerLimits limits = test::quickLimits();
    limits.keepaliveInterval = std::chrono::milliseconds(1000);
    limits.keepaliveTimeout = std::chrono::milliseconds(3000);
    limits.pingDeliveryTimeout = std::chrono::milliseconds(5000);
    limits.maxOutboundQueueBytes = 4 * 1024 * 1024;
    PeerHarness mac(limits);
    // Small buffers and segments, as a phone may choose, so that a few hundred bytes open its window.
    RawPhone::Options options;
    options.receiveBufferBytes = 4096;
    options.maxSegmentBytes = 536;
    std::unique_ptr<RawPhone> phone = invitingPhone(mac, QStringLiteral("Pretender"), options);
    QVERIFY(joinAsOnlyPhone(mac, *phone));
    const QList<peer::PeerID> peers = mac.session.connectedPeers();
    phone->takeRawBytesPerSecond(8192);

    // Frames as the app sends them, ten a second; the queue fills and stays full.
    const QByteArray frame(256 * 1024, 'f');
    const long before = residentKiBBaseline();
    long most = before;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < kWait && mac.count(QStringLiteral("not connected")) == 0) {
        mac.session.sendData(frame, peers, peer::SendDataMode::Reliable);
        QTest::qWait(100);
        most = std::max(most, residentKiB());
    }
    qInfo() << "took" << phone->rawBytesTaken << "bytes in" << clock.elapsed() << "ms; memory held"
            << (most - before) / 1024 << "MiB";
    // No pong for more than three keepalive time-outs, and none could come for minutes: gone.
    QVERIFY2(mac.count(QStringLiteral("not connected")) == 1,
             qPrintable(QStringLiteral("still connected after %1 ms without a pong, having taken %2 bytes")
                            .arg(clock.elapsed())
                            .arg(phone->rawBytesTaken)));
}

void HostilePhoneTest::aPhoneWhoseTlsFailsIsGone_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<bool>("joined");
    // An application-data record of 32 random bytes: its authentication fails.
    QByteArray forged("\x17\x03\x03\x00\x20", 5);
    for (int i = 0; i < 32; ++i)
        forged.append(char(QRandomGenerator::global()->generate()));
    const QByteArray alert("\x15\x03\x03\x00\x02\x02\x14", 7); // fatal, bad record MAC
    QTest::newRow("joined; a record that does not decrypt") << forged << true;
    QTest::newRow("joined; a fatal alert") << alert << true;
    QTest::newRow("awaiting the answer; a record that does not decrypt") << forged << false;
    QTest::newRow("awaiting the answer; a fatal alert") << alert << false;
}

void HostilePhoneTest::aPhoneWhoseTlsFailsIsGone()
{
    QFETCH(QByteArray, record);
    QFETCH(bool, joined);
    peer::PeerLimits limits = test::quickLimits();
    // Only the failure itself may end it within the test.
    limits.keepaliveTimeout = std::chrono::milliseconds(60000);
    limits.answerTimeout = std::chrono::milliseconds(60000);
    PeerHarness mac(limits, joined ? PeerHarness::Answer::Accept : PeerHarness::Answer::Hold);
    std::unique_ptr<RawPhone> phone = invitingPhone(mac, QStringLiteral("Broken"));
    if (joined) {
        QVERIFY(joinAsOnlyPhone(mac, *phone));
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(mac.heldHandlers().size(), 1, kWait);
    }
    const QList<peer::PeerID> peers = mac.session.connectedPeers();
    QTest::qWait(100); // the phone's last message is out of its buffers

    // From here the TLS session cannot go on: nothing the Mac sends can reach the phone.
    phone->sendUnderTls(record);
    int acceptedAfter = 0;
    QElapsedTimer clock;
    clock.start();
    const auto gone = [&] {
        return joined ? mac.count(QStringLiteral("not connected")) == 1 : mac.advertiser.pendingConnectionCount() == 0;
    };
    while (clock.elapsed() < kWait && !gone()) {
        if (joined)
            acceptedAfter += mac.session.sendData("frame", peers, peer::SendDataMode::Reliable) ? 0 : 1;
        QTest::qWait(100);
    }
    QVERIFY2(gone(),
             qPrintable(QStringLiteral("still there %1 ms after its TLS failed; %2 frames taken for it meanwhile")
                            .arg(clock.elapsed())
                            .arg(acceptedAfter)));
}

void HostilePhoneTest::aNeighbourOnTheSameIpv6NetworkIsStillServed()
{
    // A Mac in a network namespace of its own whose loopback holds two addresses of one /64, as
    // two phones on one home network have (SLAAC hands every device an address in one /64).
    if (::geteuid() != 0)
        QSKIP("needs root for a network namespace");
    const QString greedy = QStringLiteral("fd00:1:2:3::a");
    const QString neighbour = QStringLiteral("fd00:1:2:3::b");
    QProcess mac;
    mac.start(QStringLiteral("unshare"),
              {QStringLiteral("--net"), QStringLiteral("--"), QStringLiteral("sh"), QStringLiteral("-c"),
               QStringLiteral("ip link set lo up && ip -6 addr add %1/64 dev lo nodad && ip -6 addr add %2/64 dev lo "
                              "nodad && exec \"$0\" Namespaced")
                   .arg(greedy, neighbour),
               QStringLiteral(ADVERTISE_HELPER_BINARY)});
    QVERIFY(mac.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(mac.canReadLine() || mac.state() == QProcess::NotRunning, kWait);
    const QByteArray listening = mac.readLine().trimmed();
    if (!listening.startsWith("listening "))
        QSKIP(qPrintable(QStringLiteral("no network namespace here: ")
                         + QString::fromLocal8Bit(mac.readAllStandardError())));
    const quint16 port = listening.mid(10).toUShort();

    // Sockets are made in the namespace of the thread that makes them: enter the Mac's for that.
    const int home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int away = ::open(qPrintable(QStringLiteral("/proc/%1/ns/net").arg(mac.processId())), O_RDONLY | O_CLOEXEC);
    QVERIFY(home >= 0 && away >= 0);
    QCOMPARE(::setns(away, CLONE_NEWNET), 0);
    // One device takes its share of connections that have not joined: TCP only, no TLS yet.
    std::vector<std::unique_ptr<QTcpSocket>> held;
    for (int i = 0; i < peer::PeerLimits{}.maxPendingConnectionsPerAddress; ++i) {
        held.push_back(std::make_unique<QTcpSocket>());
        held.back()->bind(QHostAddress(greedy));
        held.back()->connectToHost(QHostAddress(greedy), port);
    }
    RawPhone::Options options;
    options.source = QHostAddress(neighbour);
    options.host = neighbour;
    auto phone = std::make_unique<RawPhone>(port, options);
    QCOMPARE(::setns(home, CLONE_NEWNET), 0);
    ::close(home);
    ::close(away);
    QTRY_VERIFY_WITH_TIMEOUT(
        std::all_of(held.begin(), held.end(),
                    [](const auto& socket) { return socket->state() == QAbstractSocket::ConnectedState; }),
        kWait);

    // Another device of the same network is a neighbour, not the same source: it gets its turn.
    QTRY_VERIFY_WITH_TIMEOUT(phone->upgraded || phone->disconnected, kWait);
    const bool served = phone->upgraded;
    held.clear();
    phone.reset();
    mac.terminate();
    QVERIFY(mac.waitForFinished(kWait));
    QVERIFY2(served, "refused while another device of its /64 held four connections");
}

void HostilePhoneTest::aPhoneNameCannotDisguiseItself_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("blank");
    // What the user reads in the allow prompt is one line of visible text, or "Phone".
    QTest::newRow("line breaks") << QStringLiteral("Ada's iPhone\n\nAlready trusted: press Allow") << false;
    QTest::newRow("right-to-left override") << QStringLiteral("Ada's \u202Eenohp") << false;
    QTest::newRow("control characters") << QStringLiteral("Ada\u0007\u001B[2J") << false;
    QTest::newRow("only invisible characters") << QStringLiteral("\u200B\u2060\u200B") << true;
}

void HostilePhoneTest::aPhoneNameCannotDisguiseItself()
{
    QFETCH(QString, name);
    QFETCH(bool, blank);
    PeerHarness mac(test::quickLimits(), PeerHarness::Answer::Hold);
    auto phone = std::make_unique<RawPhone>(mac.advertiser.port());
    QTRY_VERIFY_WITH_TIMEOUT(phone->upgraded, kWait);
    const QJsonObject invitation{{QStringLiteral("type"), QStringLiteral("invitation")},
                                 {QStringLiteral("name"), name}};
    phone->sendText(QJsonDocument(invitation).toJson(QJsonDocument::Compact));
    QTRY_COMPARE_WITH_TIMEOUT(mac.count(QStringLiteral("invited")), 1, kWait);
    const QString displayed = mac.events().first().name;
    for (const QChar character : displayed) {
        const QChar::Category category = character.category();
        QVERIFY2(
            category != QChar::Other_Control && category != QChar::Other_Format && category != QChar::Separator_Line
                && category != QChar::Separator_Paragraph,
            qPrintable(QStringLiteral("the prompt would show U+%1").arg(character.unicode(), 4, 16, QLatin1Char('0'))));
    }
    if (blank)
        QCOMPARE(displayed, QStringLiteral("Phone"));
}

QTEST_GUILESS_MAIN(HostilePhoneTest)
#include "hostile_phone_test.moc"
