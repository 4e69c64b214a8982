#include "platform/peer/Liveness.h"
#include "support/PeerHarness.h"
#include "support/RawPhone.h"
#include "support/TestEnvironment.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <csignal>
#include <memory>
#include <thread>

using namespace glasswing;
using test::kWait;
using test::PeerHarness;
using test::Phone;
using test::phoneArguments;
using test::quickLimits;
using test::RawPhone;

class PeerLinkTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void displayNamesAreBoundedAndNeverBlank();
    void livenessWeighsAnswersAndReading_data();
    void livenessWeighsAnswersAndReading();
    void declinedPhonesAreToldAndTheirContextsKeptApart();
    void aLateAnswerFromAnotherThreadCountsOnce();
    void severalPhonesAndDisconnectReportsEveryOne(); // and one phone alone
    void aPhoneThatNeverJoinsGoesFromConnectingToNotConnected_data();
    void aPhoneThatNeverJoinsGoesFromConnectingToNotConnected();
    void aFrozenPhoneIsGoneWithinTheKeepalive();
    void aPhoneThatLeavesIsReportedAndSendingToItFails();
    void sendLimitsFailWithErrorsAndBoundMemory();
    void aPhoneBehindGetsWhatWasOnItsWayThenTheNewest();
    void messagesOfEveryFramingArriveWholeAroundPings();
    void badInputIsRefusedAndOthersStillServed_data();
    void badInputIsRefusedAndOthersStillServed();
    void plainTcpAndGarbageAfterTlsAreRefused();
    void manyConnectionsAtOnceAreCappedAndServiceGoesOn();
};

void PeerLinkTest::initTestCase()
{
    QVERIFY(QFile::exists(QStringLiteral(GLASSWING_PHONE_BINARY)));
}

// (That two peers of one name are two identities is checked where the app makes them, in
// mirroring_test.)
void PeerLinkTest::displayNamesAreBoundedAndNeverBlank()
{
    // 30 two-byte letters and a four-byte emoji: the cut falls on whole characters.
    const QString longName
        = QString(30, QChar(0x00E9)) + QString::fromUtf8("\xF0\x9F\x93\xB1") + QStringLiteral("tail");
    QCOMPARE(peer::PeerID(longName).displayName(), QString(30, QChar(0x00E9)));
    QCOMPARE(peer::PeerID(QString()).displayName(), QStringLiteral("Glasswing"));
    QCOMPARE(peer::PeerID(QStringLiteral("  "), QStringLiteral("Phone")).displayName(), QStringLiteral("Phone"));
}

namespace {
// One step of a phone's life as the keepalive sees it, at `at` milliseconds.
struct LivenessStep {
    enum Kind { Answered, PingSent, Tick } kind;
    qint64 at;
    qint64 a = 0; // PingSent: where the ping ends; Tick: bytes taken so far
    qint64 b = 0; // PingSent: bytes in front of it; Tick: bytes still waiting
};
} // namespace
Q_DECLARE_METATYPE(QList<LivenessStep>)

void PeerLinkTest::livenessWeighsAnswersAndReading_data()
{
    QTest::addColumn<QList<LivenessStep>>("steps");
    QTest::addColumn<bool>("stillThere"); // after the last tick
    using S = LivenessStep;
    constexpr qint64 MiB = 1024 * 1024;
    // Keepalive every 2 s, time-out 6 s, pings delivered within 60 s (as the app will ship).
    QTest::newRow("answers in time") << QList<S>{{S::PingSent, 0, 100, 0}, {S::Answered, 50}, {S::Tick, 6000, 100, 0}}
                                     << true;
    QTest::newRow("a ping with nothing in front, unanswered: gone")
        << QList<S>{{S::PingSent, 0, 100, 0}, {S::Tick, 2000, 100, 0}, {S::Tick, 6100, 100, 0}} << false;
    QTest::newRow("a frozen phone's kernel takes the ping: no progress, gone")
        << QList<S>{{S::Tick, 0, 0, 0}, {S::PingSent, 1, 100, 0}, {S::Tick, 2000, 100, 0}, {S::Tick, 6100, 100, 0}}
        << false;
    QTest::newRow("a ping behind a full queue, the phone reading its way: there")
        << QList<S>{{S::PingSent, 0, 20 * MiB, 20 * MiB}, {S::Tick, 2000, 2 * MiB, 18 * MiB},
                    {S::Tick, 4000, 4 * MiB, 16 * MiB},   {S::Tick, 6000, 6 * MiB, 14 * MiB},
                    {S::Tick, 8000, 8 * MiB, 12 * MiB},   {S::Tick, 10000, 10 * MiB, 10 * MiB}}
        << true;
    QTest::newRow("stops reading behind the queue: gone") << QList<S>{{S::PingSent, 0, 20 * MiB, 20 * MiB},
                                                                      {S::Tick, 2000, 2 * MiB, 18 * MiB},
                                                                      {S::Tick, 4000, 4 * MiB, 16 * MiB},
                                                                      {S::Tick, 8000, 4 * MiB, 16 * MiB},
                                                                      {S::Tick, 10100, 4 * MiB, 16 * MiB}}
                                                          << false;
    QTest::newRow("the waited ping taken: its answer is due within the time-out of that")
        << QList<S>{{S::PingSent, 0, 20 * MiB, 20 * MiB},
                    {S::Tick, 8000, 8 * MiB, 12 * MiB},
                    {S::Tick, 16000, 16 * MiB, 4 * MiB},
                    {S::Tick, 20000, 21 * MiB, 0},
                    {S::Tick, 21000, 21 * MiB, 0}}
        << true;
    QTest::newRow("the waited ping taken and never answered: gone") << QList<S>{{S::PingSent, 0, 20 * MiB, 20 * MiB},
                                                                                {S::Tick, 8000, 8 * MiB, 12 * MiB},
                                                                                {S::Tick, 16000, 16 * MiB, 4 * MiB},
                                                                                {S::Tick, 20000, 21 * MiB, 0},
                                                                                {S::Tick, 22100, 21 * MiB, 0}}
                                                                    << false;
    QTest::newRow("a trickle that never reaches the ping: gone after the delivery time-out")
        << QList<S>{{S::PingSent, 0, 64 * MiB, 64 * MiB},
                    {S::Tick, 20000, 1000, 64 * MiB},
                    {S::Tick, 40000, 2000, 64 * MiB},
                    {S::Tick, 59000, 3000, 64 * MiB},
                    {S::Tick, 61000, 4000, 64 * MiB}}
        << false;
}

void PeerLinkTest::livenessWeighsAnswersAndReading()
{
    QFETCH(QList<LivenessStep>, steps);
    QFETCH(bool, stillThere);
    peer::Liveness liveness(std::chrono::milliseconds(6000), std::chrono::milliseconds(60000), 0);
    bool there = true;
    for (const LivenessStep& step : steps) {
        switch (step.kind) {
        case LivenessStep::Answered:
            liveness.answered(step.at);
            break;
        case LivenessStep::PingSent:
            liveness.pingSent(step.a, step.b, step.at);
            break;
        case LivenessStep::Tick:
            there = liveness.stillThere(step.a, step.b, step.at);
            break;
        }
    }
    QCOMPARE(there, stillThere);
}

void PeerLinkTest::declinedPhonesAreToldAndTheirContextsKeptApart()
{
    PeerHarness mac(quickLimits(), PeerHarness::Answer::Decline);
    Phone none(mac.advertiser.port(), {QStringLiteral("--no-context")});
    Phone empty(mac.advertiser.port(), {QStringLiteral("--user-id"), QString()});
    Phone accented(mac.advertiser.port(), phoneArguments(QStringLiteral("Zoë"), QStringLiteral("Zoë")));
    for (Phone* phone : {&none, &empty, &accented}) {
        QVERIFY(phone->waitForExit(kWait));
        QCOMPARE(phone->exitCode(), 2);
        QVERIFY(phone->readAllStandardError().contains("declined"));
    }
    // Invited, and never connecting; an absent context is not an empty one.
    QCOMPARE(mac.count(QStringLiteral("invited")), 3);
    QCOMPARE(mac.events().size(), 3);
    QVERIFY(mac.eventLines().contains(QStringLiteral("invited: Zoë")));
    QList<std::optional<QByteArray>> contexts;
    for (const test::PeerEvent& event : mac.events())
        contexts.append(event.context);
    QVERIFY(contexts.contains(std::nullopt));
    QVERIFY(contexts.contains(QByteArray()));
    QVERIFY(contexts.contains(QByteArray("Zo\xC3\xAB")));
    QTRY_COMPARE_WITH_TIMEOUT(mac.advertiser.pendingConnectionCount(), 0, kWait);
}

// (An answer for a phone that has left counts for nothing: hostile_phone_test,
// aLateAnswerNeverAdmitsAnotherPhone.)
void PeerLinkTest::aLateAnswerFromAnotherThreadCountsOnce()
{
    PeerHarness mac(quickLimits(), PeerHarness::Answer::Hold);
    Phone phone(mac.advertiser.port(), phoneArguments(QStringLiteral("Cy"), QStringLiteral("cy")));
    QTRY_COMPARE_WITH_TIMEOUT(mac.heldHandlers().size(), 1, kWait);
    const peer::InvitationHandler handler = mac.heldHandlers().first();

    // The user takes longer than any handshake limit to answer.
    QTest::qWait(2000);
    QCOMPARE(mac.count(QStringLiteral("connecting")), 0);
    std::thread answering([&] { handler(true, &mac.session); });
    answering.join();
    handler(false, nullptr); // a second answer counts for nothing
    QTRY_COMPARE_WITH_TIMEOUT(mac.session.connectedPeers().size(), 1, kWait);
    QCOMPARE(phone.state(), QProcess::Running);
}

void PeerLinkTest::severalPhonesAndDisconnectReportsEveryOne()
{
    PeerHarness mac;
    std::vector<std::unique_ptr<Phone>> phones;
    for (int i = 0; i < 4; ++i)
        phones.push_back(std::make_unique<Phone>(
            mac.advertiser.port(), phoneArguments(QStringLiteral("Phone %1").arg(i), QStringLiteral("id-%1").arg(i))));
    QTRY_COMPARE_WITH_TIMEOUT(mac.session.connectedPeers().size(), 4, kWait);
    QVERIFY(!mac.session.sendData("frame", mac.session.connectedPeers(), peer::SendDataMode::Reliable));
    for (auto& phone : phones)
        QTRY_COMPARE_WITH_TIMEOUT(phone->messages(), 1, kWait);

    // One phone alone: only it is told and reported, and the others are still served.
    const QList<peer::PeerID> joined = mac.session.connectedPeers();
    const peer::PeerID second = joined.at(1);
    mac.session.disconnectPeer(second);
    mac.session.disconnectPeer(second); // already gone: nothing more
    mac.session.disconnectPeer(peer::PeerID(QStringLiteral("Stranger"))); // never there
    auto cut = std::find_if(phones.begin(), phones.end(), [&](const std::unique_ptr<Phone>& phone) {
        return phone->arguments().contains(second.displayName());
    });
    QVERIFY(cut != phones.end());
    QVERIFY((*cut)->waitForExit(kWait));
    QCOMPARE((*cut)->exitCode(), 3);
    QTRY_COMPARE_WITH_TIMEOUT(mac.count(QStringLiteral("not connected")), 1, kWait);
    QCOMPARE(mac.events().last().peer, second);
    QCOMPARE(mac.session.connectedPeers(), (QList<peer::PeerID>{joined.at(0), joined.at(2), joined.at(3)}));
    QVERIFY(!mac.session.sendData("frame 2", mac.session.connectedPeers(), peer::SendDataMode::Reliable));
    for (auto& phone : phones) {
        if (phone != *cut)
            QTRY_COMPARE_WITH_TIMEOUT(phone->messages(), 2, kWait);
    }

    mac.session.disconnect();
    QTRY_COMPARE_WITH_TIMEOUT(mac.count(QStringLiteral("not connected")), 4, kWait);
    QVERIFY(mac.session.connectedPeers().isEmpty());
    for (auto& phone : phones) {
        QVERIFY(phone->waitForExit(kWait));
        QCOMPARE(phone->exitCode(), 3);
    }
    QTest::qWait(200);
    QCOMPARE(mac.count(QStringLiteral("not connected")), 4); // the closes are not reported twice

    // Advertising goes on: the same session takes phones again.
    test::aPhoneCanStillJoin(mac);
}

void PeerLinkTest::aPhoneThatNeverJoinsGoesFromConnectingToNotConnected_data()
{
    QTest::addColumn<bool>("userDisconnects");
    QTest::addColumn<int>("closeCode");
    QTest::newRow("join time-out") << false << int(QWebSocketProtocol::CloseCodePolicyViolated);
    QTest::newRow("disconnect while connecting") << true << int(QWebSocketProtocol::CloseCodeNormal);
}

void PeerLinkTest::aPhoneThatNeverJoinsGoesFromConnectingToNotConnected()
{
    QFETCH(bool, userDisconnects);
    QFETCH(int, closeCode);
    PeerHarness mac;
    std::unique_ptr<RawPhone> phone = test::invitingPhone(mac, QStringLiteral("Slow"));
    QTRY_COMPARE_WITH_TIMEOUT(phone->texts, QList<QByteArray>{R"({"name":"Test Mac","type":"accept"})"}, kWait);
    QCOMPARE(mac.eventLines(), (QStringList{QStringLiteral("invited: Slow"), QStringLiteral("connecting: Slow")}));
    QVERIFY(mac.session.connectedPeers().isEmpty()); // connecting is not connected

    if (userDisconnects)
        mac.session.disconnect();
    QTRY_VERIFY_WITH_TIMEOUT(phone->disconnected, kWait);
    QCOMPARE(phone->closeCode, closeCode);
    QTRY_COMPARE_WITH_TIMEOUT(mac.count(QStringLiteral("not connected")), 1, kWait);
    QCOMPARE(mac.eventLines().last(), QStringLiteral("not connected: Slow"));
    QVERIFY(mac.events()[1].peer == mac.events()[2].peer);
    QCOMPARE(mac.advertiser.pendingConnectionCount(), 0);
}

// (A killed phone, whose kernel closes its socket, is seen in mirroring_test and end_to_end_test.)
void PeerLinkTest::aFrozenPhoneIsGoneWithinTheKeepalive()
{
    const peer::PeerLimits limits = quickLimits();
    PeerHarness mac(limits);
    Phone phone(mac.advertiser.port(), phoneArguments(QStringLiteral("Eve"), QStringLiteral("eve")));
    QTRY_COMPARE_WITH_TIMEOUT(mac.session.connectedPeers().size(), 1, kWait);
    QTest::qWait(600); // several keepalive rounds pass while the phone is alive
    QCOMPARE(mac.count(QStringLiteral("not connected")), 0);

    QElapsedTimer clock;
    clock.start();
    ::kill(pid_t(phone.processId()), SIGSTOP);
    QTRY_COMPARE_WITH_TIMEOUT(mac.count(QStringLiteral("not connected")), 1, kWait);
    QVERIFY(clock.elapsed() <= (limits.keepaliveTimeout + limits.keepaliveInterval).count() + 500);
    QVERIFY(mac.session.connectedPeers().isEmpty());
}

void PeerLinkTest::aPhoneThatLeavesIsReportedAndSendingToItFails()
{
    PeerHarness mac;
    Phone leaving(mac.advertiser.port(),
                  phoneArguments(QStringLiteral("Leaving"), QStringLiteral("l"))
                      + QStringList{QStringLiteral("--count"), QStringLiteral("1")});
    Phone staying(mac.advertiser.port(), phoneArguments(QStringLiteral("Staying"), QStringLiteral("s")));
    QTRY_COMPARE_WITH_TIMEOUT(mac.session.connectedPeers().size(), 2, kWait);
    const QList<peer::PeerID> both = mac.session.connectedPeers();
    // An empty message arrives as one: it is the leaving phone's one message.
    QVERIFY(!mac.session.sendData(QByteArray(), both, peer::SendDataMode::Reliable));
    QVERIFY(leaving.waitForExit(kWait));
    QCOMPARE(leaving.exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(mac.count(QStringLiteral("not connected")), 1, kWait);
    QCOMPARE(mac.eventLines().last(), QStringLiteral("not connected: Leaving"));
    QCOMPARE(mac.session.connectedPeers().size(), 1);

    const std::optional<peer::PeerError> error = mac.session.sendData("second", both, peer::SendDataMode::Reliable);
    QVERIFY(error);
    QCOMPARE(error->code, int(peer::PeerError::NotConnected));
    QVERIFY(error->description().startsWith(QStringLiteral("Error Domain=GlasswingPeerLinkErrorDomain Code=1 ")));
    QVERIFY(error->description().contains(QStringLiteral("Leaving")));
    QVERIFY(!error->description().contains(QStringLiteral("Staying")));
    QTRY_COMPARE_WITH_TIMEOUT(staying.messages(), 2, kWait);
}

void PeerLinkTest::sendLimitsFailWithErrorsAndBoundMemory()
{
    peer::PeerLimits limits = quickLimits();
    limits.maxSendMessageBytes = 1024 * 1024;
    limits.maxOutboundQueueBytes = 4 * 1024 * 1024;
    limits.keepaliveTimeout = std::chrono::milliseconds(60000); // the stalled phone must stay
    PeerHarness mac(limits);
    Phone stalled(mac.advertiser.port(), phoneArguments(QStringLiteral("Stalled"), QStringLiteral("st")));
    QTRY_COMPARE_WITH_TIMEOUT(mac.session.connectedPeers().size(), 1, kWait);
    const QList<peer::PeerID> peers = mac.session.connectedPeers();

    const auto tooLarge
        = mac.session.sendData(QByteArray(limits.maxSendMessageBytes + 1, 'x'), peers, peer::SendDataMode::Reliable);
    QVERIFY(tooLarge);
    QCOMPARE(tooLarge->code, int(peer::PeerError::MessageTooLarge));
    const auto nobody = mac.session.sendData("x", {}, peer::SendDataMode::Reliable);
    QVERIFY(nobody);
    QCOMPARE(nobody->code, int(peer::PeerError::InvalidArgument));

    // The phone stops reading: its queue fills to the cap, then sends fail instead of piling up.
    ::kill(pid_t(stalled.processId()), SIGSTOP);
    const long before = test::peakMemoryKiB();
    const QByteArray frame(limits.maxSendMessageBytes, 'f');
    int accepted = 0;
    std::optional<peer::PeerError> full;
    for (int i = 0; i < 400 && !full; ++i) {
        full = mac.session.sendData(frame, peers, peer::SendDataMode::Reliable);
        if (!full)
            ++accepted;
        QTest::qWait(5);
    }
    ::kill(pid_t(stalled.processId()), SIGCONT);
    QVERIFY(full);
    QCOMPARE(full->code, int(peer::PeerError::QueueFull));
    QVERIFY(full->description().contains(QStringLiteral("Stalled")));
    QVERIFY2(accepted < 100, qPrintable(QStringLiteral("%1 frames queued").arg(accepted)));
    // 400 MiB would have been queued without the cap.
    QVERIFY2(test::peakMemoryKiB() - before < 100 * 1024, qPrintable(QString::number(test::peakMemoryKiB() - before)));

    // Once the phone reads again, the queue drains and sending works again.
    // (Not a QTRY: it evaluates its condition once more at the end, and each try here queues a frame.)
    bool sentAgain = false;
    for (int waited = 0; waited < 3 * kWait && !sentAgain; waited += 20) {
        sentAgain = !mac.session.sendData(frame, peers, peer::SendDataMode::Reliable);
        if (!sentAgain)
            QTest::qWait(20);
    }
    QVERIFY(sentAgain);
}

// Under newest-wins, a phone that stops reading while frames keep coming gets, once it reads
// again, the frames already on their way and then the newest one: nothing piles up for it
// meanwhile, and the phone beside it is not held up.
void PeerLinkTest::aPhoneBehindGetsWhatWasOnItsWayThenTheNewest()
{
    peer::PeerLimits limits = quickLimits();
    limits.keepaliveTimeout = std::chrono::milliseconds(60000); // the stopped phone must stay
    PeerHarness mac(limits, PeerHarness::Answer::Accept, peer::SendPolicy::NewestWins);
    QTemporaryDir slowFrames;
    QTemporaryDir fastFrames;
    Phone slow(mac.advertiser.port(),
               phoneArguments(QStringLiteral("Slow"), QStringLiteral("slow"))
                   + QStringList{QStringLiteral("--out"), slowFrames.path()});
    Phone fast(mac.advertiser.port(),
               phoneArguments(QStringLiteral("Fast"), QStringLiteral("fast"))
                   + QStringList{QStringLiteral("--out"), fastFrames.path()});
    QTRY_COMPARE_WITH_TIMEOUT(mac.session.connectedPeers().size(), 2, kWait);
    const QList<peer::PeerID> peers = mac.session.connectedPeers();

    // Large against what the kernels' buffers take (several MiB on loopback).
    const qsizetype frameBytes = 2 * 1024 * 1024;
    const auto frame = [&](quint32 index) {
        QByteArray bytes(frameBytes, char('a' + index % 26));
        qToBigEndian(index, bytes.data());
        return bytes;
    };
    // The frame indices a phone saved, checking that each is whole and what was sent.
    const auto received = [&](const QTemporaryDir& folder) {
        QList<quint32> indices;
        for (const QString& name :
             QDir(folder.path()).entryList({QStringLiteral("message-*.bin")}, QDir::Files, QDir::Name)) {
            const QByteArray bytes = test::readAll(folder.filePath(name));
            const quint32 index = bytes.size() >= 4 ? qFromBigEndian<quint32>(bytes.constData()) : ~0u;
            indices << (bytes == frame(index) ? index : ~0u);
        }
        return indices;
    };

    const quint32 beforeStop = 3;
    for (quint32 i = 0; i < beforeStop; ++i) {
        QVERIFY(!mac.session.sendData(frame(i), peers, peer::SendDataMode::Reliable));
        QTRY_COMPARE_WITH_TIMEOUT(slow.messages(), int(i + 1), kWait);
    }

    ::kill(pid_t(slow.processId()), SIGSTOP);
    const long memoryBefore = test::residentMemoryKiB();
    long memoryMost = memoryBefore;
    const quint32 last = 43;
    for (quint32 i = beforeStop; i <= last; ++i) {
        QVERIFY(!mac.session.sendData(frame(i), peers, peer::SendDataMode::Reliable));
        QTest::qWait(20);
        memoryMost = std::max(memoryMost, test::residentMemoryKiB());
    }
    // The phone beside it has the newest while the slow one is still stopped.
    QTRY_VERIFY_WITH_TIMEOUT(!received(fastFrames).isEmpty() && received(fastFrames).last() == last, kWait);
    ::kill(pid_t(slow.processId()), SIGCONT);

    QTRY_VERIFY_WITH_TIMEOUT(!received(slowFrames).isEmpty() && received(slowFrames).last() == last, kWait);
    QTest::qWait(200); // nothing comes after the newest
    const QList<quint32> got = received(slowFrames);
    QVERIFY2(std::is_sorted(got.begin(), got.end()) && std::adjacent_find(got.begin(), got.end()) == got.end(),
             qPrintable(QStringLiteral("frames out of order or repeated")));
    QCOMPARE(got.mid(0, int(beforeStop)), QList<quint32>({0, 1, 2}));
    QCOMPARE(got.last(), last);
    // What was on its way when it stopped: no more than the kernels' buffers can take (the
    // phone's receive buffer and ours, at their largest), against the 41 sent.
    const auto largestBuffer
        = [](const QString& file) { return test::readAll(file).simplified().split(' ').value(2).toLongLong(); };
    const qint64 buffered = largestBuffer(QStringLiteral("/proc/sys/net/ipv4/tcp_rmem"))
        + largestBuffer(QStringLiteral("/proc/sys/net/ipv4/tcp_wmem"));
    const qsizetype onItsWay = got.size() - qsizetype(beforeStop) - 1;
    QVERIFY(buffered > 0);
    QVERIFY2(onItsWay <= buffered / frameBytes + 2,
             qPrintable(QStringLiteral("%1 frames reached the stopped phone").arg(onItsWay)));
    QVERIFY2(memoryMost - memoryBefore < 16 * 1024,
             qPrintable(QStringLiteral("memory grew by %1 KiB").arg(memoryMost - memoryBefore)));
    const QList<quint32> fastGot = received(fastFrames);
    QVERIFY(std::is_sorted(fastGot.begin(), fastGot.end()));
    QVERIFY2(fastGot.size() > qsizetype(last) / 2, qPrintable(QString::number(fastGot.size())));
}

// Messages go out in fragments of their own framing, with the keepalive's pings between them:
// lengths at every boundary of the frame header and of the fragments arrive whole and in order,
// sent while the phone is not reading so that pings queue among them, and the phone stays.
void PeerLinkTest::messagesOfEveryFramingArriveWholeAroundPings()
{
    PeerHarness mac;
    QTemporaryDir saved;
    Phone phone(mac.advertiser.port(),
                phoneArguments(QStringLiteral("Framed"), QStringLiteral("f"))
                    + QStringList{QStringLiteral("--out"), saved.path()});
    QTRY_COMPARE_WITH_TIMEOUT(mac.session.connectedPeers().size(), 1, kWait);

    const qsizetype slice = 256 * 1024;
    QList<QByteArray> sent;
    for (const qsizetype size : {qsizetype(0), qsizetype(1), qsizetype(125), qsizetype(126), qsizetype(65535),
                                 qsizetype(65536), slice - 1, slice, slice + 1, qsizetype(8 * 1024 * 1024 + 3)}) {
        QByteArray message(size, Qt::Uninitialized);
        for (qsizetype i = 0; i < size; ++i)
            message[i] = char(i * 7 + size);
        sent << message;
    }
    ::kill(pid_t(phone.processId()), SIGSTOP);
    for (const QByteArray& message : sent)
        QVERIFY(!mac.session.sendData(message, mac.session.connectedPeers(), peer::SendDataMode::Reliable));
    QTest::qWait(700); // keepalive rounds pass: a ping goes out behind what the socket holds
    ::kill(pid_t(phone.processId()), SIGCONT);

    QTRY_COMPARE_WITH_TIMEOUT(phone.messages(), int(sent.size()), kWait);
    const QStringList files = QDir(saved.path()).entryList({QStringLiteral("message-*.bin")}, QDir::Files, QDir::Name);
    QCOMPARE(files.size(), sent.size());
    for (int i = 0; i < files.size(); ++i)
        QVERIFY2(test::readAll(saved.filePath(files[i])) == sent[i], qPrintable(files[i]));
    QTest::qWait(2 * int(quickLimits().keepaliveTimeout.count()));
    QCOMPARE(mac.count(QStringLiteral("not connected")), 0);
}

void PeerLinkTest::badInputIsRefusedAndOthersStillServed_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("binary");
    QTest::addColumn<int>("closeCode");

    const int policy = int(QWebSocketProtocol::CloseCodePolicyViolated);
    QTest::newRow("never invites") << QByteArray() << false << policy;
    QTest::newRow("not JSON") << QByteArray("hello?") << false << policy;
    QTest::newRow("array") << QByteArray("[]") << false << policy;
    QTest::newRow("type not a string") << QByteArray(R"({"type":5})") << false << policy;
    QTest::newRow("unknown type") << QByteArray(R"({"type":"bonjour"})") << false << policy;
    QTest::newRow("name not a string") << QByteArray(R"({"type":"invitation","name":3})") << false << policy;
    QTest::newRow("context not base64") << QByteArray(R"({"type":"invitation","name":"x","context":"*!*"})") << false
                                        << policy;
    QTest::newRow("context null") << QByteArray(R"({"type":"invitation","name":"x","context":null})") << false
                                  << policy;
    QTest::newRow("joined before invited") << QByteArray(R"({"type":"joined"})") << false << policy;
    QTest::newRow("data before invited") << QByteArray("\x00\x01", 2) << true << policy;
    QTest::newRow("oversized invitation")
        << (QByteArray(R"({"type":"invitation","name":")") + QByteArray(20000, 'n') + "\"}") << false
        << int(QWebSocketProtocol::CloseCodeTooMuchData);
}

void PeerLinkTest::badInputIsRefusedAndOthersStillServed()
{
    QFETCH(QByteArray, message);
    QFETCH(bool, binary);
    QFETCH(int, closeCode);

    PeerHarness mac;
    RawPhone phone(mac.advertiser.port());
    QTRY_VERIFY_WITH_TIMEOUT(phone.upgraded, kWait);
    if (!message.isEmpty())
        phone.sendFrame(binary ? 0x2 : 0x1, message);
    QTRY_VERIFY_WITH_TIMEOUT(phone.disconnected, kWait);
    QCOMPARE(phone.closeCode, closeCode);
    QCOMPARE(mac.count(QStringLiteral("invited")), 0);
    QTRY_COMPARE_WITH_TIMEOUT(mac.advertiser.pendingConnectionCount(), 0, kWait);
    test::aPhoneCanStillJoin(mac);
}

void PeerLinkTest::plainTcpAndGarbageAfterTlsAreRefused()
{
    PeerHarness mac;

    QTcpSocket plain;
    plain.connectToHost(QHostAddress::LocalHost, mac.advertiser.port());
    QVERIFY(plain.waitForConnected(kWait));
    plain.write("GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(plain.state(), QAbstractSocket::UnconnectedState, kWait);
    QVERIFY(!plain.readAll().contains("HTTP/1.1 101"));

    QSslSocket garbage;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    garbage.setSslConfiguration(tls);
    garbage.connectToHostEncrypted(QStringLiteral("127.0.0.1"), mac.advertiser.port());
    QVERIFY(garbage.waitForEncrypted(kWait));
    QCOMPARE(garbage.sessionProtocol() >= QSsl::TlsV1_2, true);
    QByteArray noise;
    for (int i = 0; i < 70000; ++i)
        noise.append(char((i * 131) ^ (i >> 3)));
    garbage.write(noise);
    QTRY_COMPARE_WITH_TIMEOUT(garbage.state(), QAbstractSocket::UnconnectedState, kWait);

    QTRY_COMPARE_WITH_TIMEOUT(mac.advertiser.pendingConnectionCount(), 0, kWait);
    QCOMPARE(mac.events().size(), 0);
    test::aPhoneCanStillJoin(mac);
}

void PeerLinkTest::manyConnectionsAtOnceAreCappedAndServiceGoesOn()
{
    const peer::PeerLimits limits = quickLimits();
    PeerHarness mac(limits);
    const long before = test::peakMemoryKiB();

    // From 50 addresses, each within its own share (hostile_phone_test holds one address to that):
    // the cap over all of them is what holds.
    std::vector<std::unique_ptr<QTcpSocket>> flood;
    for (int i = 0; i < 200; ++i) {
        flood.push_back(std::make_unique<QTcpSocket>());
        flood.back()->bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(10 + i % 50)));
        flood.back()->connectToHost(QHostAddress::LocalHost, mac.advertiser.port());
    }
    // Over the cap, connections are closed at once; those let in time out in the TLS stage, and
    // the next ones get their turn. The cap holds throughout.
    int mostPending = 0;
    int closedByServer = 0;
    for (int round = 0; round < 150; ++round) {
        mostPending = std::max(mostPending, mac.advertiser.pendingConnectionCount());
        QTest::qWait(20);
    }
    for (const auto& socket : flood)
        closedByServer += socket->state() == QAbstractSocket::UnconnectedState ? 1 : 0;
    QCOMPARE(mostPending, limits.maxPendingConnections);
    QVERIFY2(closedByServer >= 100, qPrintable(QString::number(closedByServer)));
    flood.clear();

    QTRY_COMPARE_WITH_TIMEOUT(mac.advertiser.pendingConnectionCount(), 0, kWait);
    test::aPhoneCanStillJoin(mac);
    QVERIFY2(test::peakMemoryKiB() - before < 64 * 1024, qPrintable(QString::number(test::peakMemoryKiB() - before)));
}

QTEST_GUILESS_MAIN(PeerLinkTest)
#include "peer_link_test.moc"
