// glasswing-phone: the reference phone. It finds the computer running Glasswing over DNS-SD (or
// takes --host/--port), invites it with a user ID, joins, and reports every message it receives. Tests and
// benchmarks use it; PROTOCOL.md describes every message it exchanges.

#include "DnsSdBrowser.h"
#include "platform/peer/ControlMessage.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <cstdio>
#include <ctime>

using glasswing::peer::ControlMessage;

namespace {

enum ExitCode { Done = 0, Usage = 1, Declined = 2, Disconnected = 3, Unreachable = 4, Refused = 5 };

void say(const QString& line)
{
    std::fputs(line.toUtf8().append('\n').constData(), stdout);
    std::fflush(stdout);
}

[[noreturn]] void fail(int code, const QString& why)
{
    std::fputs((QStringLiteral("glasswing-phone: ") + why + u'\n').toUtf8().constData(), stderr);
    std::fflush(stdout);
    std::exit(code);
}

QString now()
{
    timespec time{};
    clock_gettime(CLOCK_REALTIME, &time);
    return QStringLiteral("%1.%2").arg(time.tv_sec).arg(time.tv_nsec / 1000, 6, 10, QLatin1Char('0'));
}

struct Options {
    QString host;
    quint16 port = 0;
    QString service;
    int browseSeconds = 10;
    QString name;
    std::optional<QByteArray> context;
    QString outDir;
    qint64 count = -1;
};

Options parse(const QCoreApplication& application)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The reference phone for Glasswing's peer link."));
    parser.addHelpOption();
    const QCommandLineOption host(QStringLiteral("host"), QStringLiteral("The computer's address (skips DNS-SD)."),
                                  QStringLiteral("address"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("The computer's port, with --host."),
                                  QStringLiteral("port"));
    const QCommandLineOption service(QStringLiteral("service"),
                                     QStringLiteral("With DNS-SD, join only the computer of this name."),
                                     QStringLiteral("name"));
    const QCommandLineOption browse(QStringLiteral("browse-timeout"),
                                    QStringLiteral("Seconds to look for the computer (default 10)."),
                                    QStringLiteral("seconds"), QStringLiteral("10"));
    const QCommandLineOption userId(QStringLiteral("user-id"),
                                    QStringLiteral("The user ID sent as the invitation's context."),
                                    QStringLiteral("id"));
    const QCommandLineOption noContext(QStringLiteral("no-context"),
                                       QStringLiteral("Send the invitation with no context at all."));
    const QCommandLineOption name(QStringLiteral("name"), QStringLiteral("This phone's display name."),
                                  QStringLiteral("name"), QStringLiteral("Reference Phone"));
    const QCommandLineOption out(QStringLiteral("out"),
                                 QStringLiteral("Write each message's bytes to a file of its own in this folder."),
                                 QStringLiteral("folder"));
    const QCommandLineOption count(
        QStringLiteral("count"), QStringLiteral("Leave, successfully, after this many messages."), QStringLiteral("n"));
    parser.addOptions({host, port, service, browse, userId, noContext, name, out, count});
    parser.process(application);

    Options options;
    options.host = parser.value(host);
    if (parser.isSet(host) != parser.isSet(port))
        fail(Usage, QStringLiteral("--host and --port go together"));
    if (parser.isSet(port)) {
        bool ok = false;
        options.port = parser.value(port).toUShort(&ok);
        if (!ok || options.port == 0)
            fail(Usage, QStringLiteral("--port takes a port number"));
    }
    options.service = parser.value(service);
    options.browseSeconds = parser.value(browse).toInt();
    if (parser.isSet(userId) == parser.isSet(noContext))
        fail(Usage, QStringLiteral("give either --user-id or --no-context"));
    if (parser.isSet(userId))
        options.context = parser.value(userId).toUtf8();
    options.name = parser.value(name);
    options.outDir = parser.value(out);
    if (!options.outDir.isEmpty() && !QDir().mkpath(options.outDir))
        fail(Usage, QStringLiteral("cannot create ") + options.outDir);
    if (parser.isSet(count))
        options.count = parser.value(count).toLongLong();
    return options;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("glasswing-phone"));
    const Options options = parse(application);

    QString host = options.host;
    quint16 port = options.port;
    if (host.isEmpty()) {
        QString error;
        const auto found = glasswing::phone::browseOnce("_Glasswing._tcp", options.service,
                                                        std::chrono::seconds(options.browseSeconds), &error);
        if (!found)
            fail(Unreachable, QStringLiteral("no computer running Glasswing found over DNS-SD: ") + error);
        say(QStringLiteral("found \"%1\" at %2 port %3").arg(found->name, found->host).arg(found->port));
        host = found->host;
        port = found->port;
    }

    QWebSocket socket;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyNone); // the computer's certificate is made afresh at each start
    socket.setSslConfiguration(tls);

    qint64 received = 0;
    bool joined = false;
    bool leaving = false;

    QObject::connect(&socket, &QWebSocket::connected, [&] {
        socket.sendTextMessage(
            QString::fromUtf8(ControlMessage::invitation(options.name, options.context).serialize()));
    });
    QObject::connect(&socket, &QWebSocket::textMessageReceived, [&](const QString& text) {
        QString error;
        const auto message = ControlMessage::parse(text.toUtf8(), &error);
        if (!message)
            fail(Refused, QStringLiteral("unreadable message from the computer: ") + error);
        if (message->type == ControlMessage::Type::Accept && !joined) {
            joined = true;
            say(QStringLiteral("accepted by \"%1\"").arg(message->name));
            socket.sendTextMessage(QString::fromUtf8(ControlMessage::joined().serialize()));
        } else if (message->type == ControlMessage::Type::Decline) {
            fail(Declined, QStringLiteral("the computer declined the invitation"));
        }
    });
    QObject::connect(&socket, &QWebSocket::binaryMessageReceived, [&](const QByteArray& data) {
        if (leaving)
            return; // what was already on its way when the count was reached
        const QString at = now();
        ++received;
        // The file first: whoever reads the line may look for it at once.
        if (!options.outDir.isEmpty()) {
            QFile file(QStringLiteral("%1/message-%2.bin").arg(options.outDir).arg(received, 6, 10, QLatin1Char('0')));
            if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
                fail(Refused, QStringLiteral("cannot write ") + file.fileName());
        }
        say(QStringLiteral("message %1 %2 bytes at %3").arg(received).arg(data.size()).arg(at));
        if (options.count >= 0 && received >= options.count) {
            leaving = true;
            socket.close(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("done"));
        }
    });
    QObject::connect(&socket, &QWebSocket::disconnected, [&] {
        if (leaving || (options.count == 0 && joined))
            QCoreApplication::exit(Done);
        else if (!joined && socket.closeCode() == QWebSocketProtocol::CloseCodeNormal)
            fail(Declined, QStringLiteral("the computer closed the connection before accepting"));
        else
            fail(Disconnected,
                 QStringLiteral("disconnected by the computer (close code %1%2)")
                     .arg(int(socket.closeCode()))
                     .arg(socket.closeReason().isEmpty() ? QString() : QStringLiteral(": ") + socket.closeReason()));
    });
    QObject::connect(
        &socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), [&](QAbstractSocket::SocketError) {
            if (!joined && socket.state() != QAbstractSocket::ConnectedState)
                fail(Unreachable,
                     QStringLiteral("cannot connect to %1 port %2: %3").arg(host).arg(port).arg(socket.errorString()));
        });

    QUrl url;
    url.setScheme(QStringLiteral("wss"));
    url.setHost(host);
    url.setPort(port);
    url.setPath(QStringLiteral("/"));
    socket.open(url);
    return QCoreApplication::exec();
}
