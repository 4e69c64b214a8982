#include "platform/peer/ControlMessage.h"

#include <QTest>

using glasswing::peer::ControlMessage;
using Type = ControlMessage::Type;

Q_DECLARE_METATYPE(ControlMessage)

// The control messages on the wire, byte for byte: phones are built against these.
class ControlMessageTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void serializesExactBytes_data();
    void serializesExactBytes();
    void parsesWhatPhonesSend_data();
    void parsesWhatPhonesSend();
};

void ControlMessageTest::serializesExactBytes_data()
{
    QTest::addColumn<ControlMessage>("message");
    QTest::addColumn<QByteArray>("bytes");

    // Keys come out sorted, with no spaces; the context is standard base64 with padding.
    QTest::newRow("invitation") << ControlMessage::invitation(QStringLiteral("Ada"), QByteArray("ada-1"))
                                << QByteArray(R"({"context":"YWRhLTE=","name":"Ada","type":"invitation"})");
    QTest::newRow("invitation, empty context") << ControlMessage::invitation(QStringLiteral("Ada"), QByteArray(""))
                                               << QByteArray(R"({"context":"","name":"Ada","type":"invitation"})");
    QTest::newRow("invitation, no context") << ControlMessage::invitation(QStringLiteral("Ada"), std::nullopt)
                                            << QByteArray(R"({"name":"Ada","type":"invitation"})");
    QTest::newRow("accept") << ControlMessage::accept(QStringLiteral("Studio Mac"))
                            << QByteArray(R"({"name":"Studio Mac","type":"accept"})");
    QTest::newRow("decline") << ControlMessage::decline() << QByteArray(R"({"type":"decline"})");
    QTest::newRow("joined") << ControlMessage::joined() << QByteArray(R"({"type":"joined"})");
}

void ControlMessageTest::serializesExactBytes()
{
    QFETCH(ControlMessage, message);
    QFETCH(QByteArray, bytes);
    QCOMPARE(message.serialize(), bytes);
}

void ControlMessageTest::parsesWhatPhonesSend_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("hasContext");
    QTest::addColumn<QByteArray>("context");

    const int invitation = int(Type::Invitation);
    QTest::newRow("spaces, other key order, unknown keys")
        << QByteArray(" { \"type\" : \"invitation\", \"version\": 2, \"context\": \"AP8=\", \"name\": \"Zo\\u00eb\" } ")
        << true << invitation << QString::fromUtf8("Zo\xC3\xAB") << true << QByteArray("\x00\xff", 2);
    QTest::newRow("no context") << QByteArray(R"({"type":"invitation","name":""})") << true << invitation << QString()
                                << false << QByteArray();
    QTest::newRow("joined") << QByteArray(R"({"type":"joined"})") << true << int(Type::Joined) << QString() << false
                            << QByteArray();
    QTest::newRow("missing name") << QByteArray(R"({"type":"invitation"})") << false << 0 << QString() << false
                                  << QByteArray();
    QTest::newRow("context without padding")
        << QByteArray(R"({"type":"invitation","name":"a","context":"YWRhLTE"})") << true << invitation
        << QStringLiteral("a") << true << QByteArray("ada-1");
    QTest::newRow("context in URL-safe base64") << QByteArray(R"({"type":"invitation","name":"a","context":"AP_-"})")
                                                << false << 0 << QString() << false << QByteArray();
    QTest::newRow("type in another case")
        << QByteArray(R"({"type":"Joined"})") << false << 0 << QString() << false << QByteArray();
    QTest::newRow("truncated") << QByteArray(R"({"type":"joi)") << false << 0 << QString() << false << QByteArray();
    QTest::newRow("empty frame") << QByteArray() << false << 0 << QString() << false << QByteArray();
}

void ControlMessageTest::parsesWhatPhonesSend()
{
    QFETCH(QByteArray, frame);
    QFETCH(bool, valid);
    QFETCH(int, type);
    QFETCH(QString, name);
    QFETCH(bool, hasContext);
    QFETCH(QByteArray, context);

    QString error;
    const std::optional<ControlMessage> message = ControlMessage::parse(frame, &error);
    QCOMPARE(message.has_value(), valid);
    if (!valid) {
        QVERIFY(!error.isEmpty());
        return;
    }
    QCOMPARE(int(message->type), type);
    QCOMPARE(message->name, name);
    QCOMPARE(message->context.has_value(), hasContext);
    if (hasContext)
        QCOMPARE(*message->context, context);
}

QTEST_APPLESS_MAIN(ControlMessageTest)
#include "control_message_test.moc"
