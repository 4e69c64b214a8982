// The update controller against a feed server of the test's own on 127.0.0.1, on real widgets
// (offscreen): what each kind of feed, failure and setting leads to, and the dialog it shows.
#include "platform/UserDefaults.h"
#include "platform/peer/EphemeralIdentity.h"
#include "platform/updates/StandardUpdaterController.h"
#include "platform/updates/VersionComparison.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QJsonValue>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkProxy>
#include <QPointer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <memory>
#include <zlib.h>

using namespace glasswing;
using Outcome = StandardUpdaterController::Outcome;
using Failure = StandardUpdaterController::Failure;

namespace {

constexpr qint64 kHugeFeed = 2 * 1024 * 1024;

// What the server does with a request for one path.
struct Route {
    enum Kind {
        Whole, // sends `response`, then closes
        Stream, // sends `response` (the head), then `streamBytes` of body in paced pieces
        Stall, // sends `response`, then nothing, never closing
        Hold, // sends `response` only when the test releases it
    };
    Kind kind = Whole;
    QByteArray response;
    qint64 streamBytes = 0;
};
using Routes = QMap<QByteArray, Route>;

QByteArray httpResponse(int status, const QByteArray& body, const QByteArray& extraHeaders = {})
{
    return "HTTP/1.1 " + QByteArray::number(status) + " Whatever\r\nContent-Type: application/rss+xml\r\n"
        + "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n" + extraHeaders
        + "\r\n" + body;
}

Route whole(int status, const QByteArray& body) { return {Route::Whole, httpResponse(status, body), 0}; }

Route redirect(const QByteArray& location)
{
    return {Route::Whole, httpResponse(302, {}, "Location: " + location + "\r\n"), 0};
}

Route huge(bool declared)
{
    QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: application/rss+xml\r\nConnection: close\r\n";
    if (declared)
        head += "Content-Length: " + QByteArray::number(kHugeFeed) + "\r\n";
    return {Route::Stream, head + "\r\n", kHugeFeed};
}

// `piece` `times` over, gzip-packed.
QByteArray gzip(const QByteArray& piece, qint64 times = 1)
{
    QByteArray packed;
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray out(64 * 1024, Qt::Uninitialized);
    for (qint64 left = times; left > 0; --left) {
        const int flush = left == 1 ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.constData()));
        stream.avail_in = uInt(piece.size());
        do {
            stream.next_out = reinterpret_cast<Bytef*>(out.data());
            stream.avail_out = uInt(out.size());
            deflate(&stream, flush);
            packed.append(out.constData(), out.size() - qsizetype(stream.avail_out));
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    return packed;
}

Route gzipped(const QByteArray& packed)
{
    return {Route::Whole, httpResponse(200, packed, "Content-Encoding: gzip\r\n"), 0};
}

struct Item {
    QByteArray version;
    QByteArray shortVersion;
    QByteArray link;
    QByteArray description;
};

QByteArray item(const Item& i)
{
    QByteArray text = "<item><title>Glasswing " + i.shortVersion + "</title>";
    if (!i.version.isEmpty())
        text += "<sparkle:version>" + i.version + "</sparkle:version>";
    if (!i.shortVersion.isEmpty())
        text += "<sparkle:shortVersionString>" + i.shortVersion + "</sparkle:shortVersionString>";
    if (!i.link.isEmpty())
        text += "<link>" + i.link + "</link>";
    if (!i.description.isEmpty())
        text += "<description><![CDATA[" + i.description + "]]></description>";
    return text + "</item>";
}

QByteArray appcast(const QByteArray& items)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
           "<channel><title>Glasswing</title>"
        + items + "</channel></rss>";
}

QByteArray current() { return StandardUpdaterController::currentBuild().toUtf8(); }

// An HTTP/1.1 server on 127.0.0.1 answering each path as its route says. Requests arriving as
// to a proxy (an absolute address) are served by their path too, and counted the same.
class FeedServer : public QObject {
    Q_OBJECT
public:
    // With `tls`, the server speaks HTTPS with that identity, as "localhost".
    explicit FeedServer(Routes routes, const peer::EphemeralIdentity* tls = nullptr)
        : m_routes(std::move(routes))
        , m_server(tls ? std::make_unique<QSslServer>() : std::make_unique<QTcpServer>())
        , m_tls(tls != nullptr)
    {
        if (tls) {
            QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
            configuration.setLocalCertificate(tls->certificate);
            configuration.setPrivateKey(tls->privateKey);
            static_cast<QSslServer*>(m_server.get())->setSslConfiguration(configuration);
        }
        connect(m_server.get(), &QTcpServer::pendingConnectionAvailable, this, &FeedServer::accept);
        m_server->listen(QHostAddress::LocalHost);
    }
    bool isListening() const { return m_server->isListening(); }
    void setRoutes(Routes routes) { m_routes = std::move(routes); }
    QString base() const
    {
        return m_tls ? QStringLiteral("https://localhost:%1").arg(m_server->serverPort())
                     : QStringLiteral("http://127.0.0.1:%1").arg(m_server->serverPort());
    }
    quint16 port() const { return m_server->serverPort(); }
    int connections() const { return m_connections; }
    const QList<QByteArray>& requests() const { return m_requests; }
    // A stream's progress: bytes the socket has handed on, and whether it got to its end or the
    // other side closed first.
    qint64 streamSent() const { return m_streamSent; }
    bool streamCompleted() const { return m_streamCompleted; }
    bool streamCutByPeer() const { return m_streamCutByPeer; }

    void release()
    {
        for (const auto& [socket, response] : std::as_const(m_held))
            if (socket)
                socket->write(response);
        m_held.clear();
    }

private:
    void accept()
    {
        while (QTcpSocket* socket = m_server->nextPendingConnection()) {
            ++m_connections;
            socket->setParent(this);
            auto request = std::make_shared<QByteArray>();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, request] {
                if (request->contains("\r\n\r\n"))
                    return socket->readAll(), void();
                *request += socket->readAll();
                if (request->contains("\r\n\r\n"))
                    serve(socket, *request);
            });
        }
    }

    void serve(QTcpSocket* socket, const QByteArray& request)
    {
        QByteArray target = request.left(request.indexOf("\r\n")).split(' ').value(1);
        if (target.startsWith("http://"))
            target = QUrl::fromEncoded(target).path(QUrl::FullyEncoded).toUtf8();
        m_requests << target;
        const auto found = m_routes.constFind(target);
        if (found == m_routes.constEnd()) {
            socket->write(httpResponse(404, "no such feed"));
            socket->disconnectFromHost();
            return;
        }
        const Route& route = *found;
        switch (route.kind) {
        case Route::Whole:
            socket->write(route.response);
            socket->disconnectFromHost();
            break;
        case Route::Stall:
            socket->write(route.response);
            break;
        case Route::Hold:
            m_held.append({QPointer<QTcpSocket>(socket), route.response});
            break;
        case Route::Stream:
            stream(socket, route);
            break;
        }
    }

    // Small pieces at a steady pace, so that what the other side has read is close to what was
    // sent, and an early close shows as a stream that never got to its end.
    void stream(QTcpSocket* socket, const Route& route)
    {
        const qint64 total = route.response.size() + route.streamBytes;
        connect(socket, &QTcpSocket::bytesWritten, this, [this](qint64 bytes) { m_streamSent += bytes; });
        auto* pacer = new QTimer(socket);
        auto remaining = std::make_shared<qint64>(route.streamBytes);
        connect(socket, &QTcpSocket::disconnected, this, [this, pacer, total] {
            pacer->stop();
            if (m_streamSent < total)
                m_streamCutByPeer = true;
        });
        connect(pacer, &QTimer::timeout, this, [this, socket, pacer, remaining] {
            if (socket->state() != QAbstractSocket::ConnectedState) {
                pacer->stop();
                m_streamCutByPeer = true;
                return;
            }
            const qint64 piece = qMin<qint64>(*remaining, 32 * 1024);
            socket->write(QByteArray(piece, ' '));
            *remaining -= piece;
            if (*remaining == 0) {
                pacer->stop();
                m_streamCompleted = true;
                socket->disconnectFromHost();
            }
        });
        socket->write(route.response);
        pacer->start(2);
    }

    Routes m_routes;
    std::unique_ptr<QTcpServer> m_server;
    bool m_tls = false;
    int m_connections = 0;
    QList<QByteArray> m_requests;
    QList<std::pair<QPointer<QTcpSocket>, QByteArray>> m_held;
    qint64 m_streamSent = 0;
    bool m_streamCompleted = false;
    bool m_streamCutByPeer = false;
};

// Stands in for the desktop's browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public Q_SLOTS:
    void open(const QUrl& url) { opened << url; }
};

QList<QMessageBox*> openMessageBoxes()
{
    QList<QMessageBox*> boxes;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
            boxes << box;
    return boxes;
}

QStringList buttonTexts(const QMessageBox* box)
{
    QStringList texts;
    for (const QAbstractButton* button : box->buttons())
        texts << button->text().remove(QLatin1Char('&'));
    texts.sort();
    return texts;
}

QAbstractButton* buttonNamed(const QMessageBox* box, const QString& text)
{
    for (QAbstractButton* button : box->buttons())
        if (button->text().remove(QLatin1Char('&')) == text)
            return button;
    return nullptr;
}

} // namespace

Q_DECLARE_METATYPE(Route)
Q_DECLARE_METATYPE(Routes)

class UpdatesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void compareVersionsOrdersAsPeopleDo_data();
    void compareVersionsOrdersAsPeopleDo();
    void bundleSettingsGiveTheVersionAndTheBuildsFeed();
    void withoutAFeedUpdatesComeWithThePackage();
    void checkTellsTheUserWhatItFound_data();
    void checkTellsTheUserWhatItFound();
    void anHttpsCheckNeverContinuesOnPlainHttp_data();
    void anHttpsCheckNeverContinuesOnPlainHttp();
    void oneCheckRunsAtATime();
    void automaticChecksFollowTheSetting_data();
    void automaticChecksFollowTheSetting();

private:
    UrlCatcher m_browser;
};

void UpdatesTest::init()
{
    // Requests go nowhere but to the test's own server, whatever the environment says.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &m_browser, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &m_browser, "open");
    m_browser.opened.clear();
}

void UpdatesTest::cleanup()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (qobject_cast<QMessageBox*>(widget))
            delete widget;
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
}

void UpdatesTest::compareVersionsOrdersAsPeopleDo_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("expected");

    const auto row = [](const char* a, const char* b, int expected) {
        QTest::addRow("%s vs %s", a, b) << QString::fromUtf8(a) << QString::fromUtf8(b) << expected;
    };
    row("1.0", "1.0", 0);
    row("1.10", "1.9", 1);
    row("1.9", "1.10", -1);
    row("2.0", "2.0.0", 0);
    row("2.0.0", "2", 0);
    row("2.0.1", "2.0", 1);
    row("v1.2", "1.2", 0);
    row("V1.3", "1.2", 1);
    row(" 1.2 ", "1.2", 0);
    row("01.002", "1.2", 0);
    row("2.0-beta1", "2.0", -1);
    row("2.0", "2.0-beta1", 1);
    row("2.0b1", "2.0", -1);
    row("2.0.1-beta", "2.0", 1);
    row("2.0-alpha", "2.0-beta", -1);
    row("2.0-beta2", "2.0-beta10", -1);
    row("2.0-rc1", "2.0-beta3", 1);
    row("2.0-BETA1", "2.0-beta1", 0);
    row("2.0-beta", "2.0-beta1", -1);
    row("2.0-beta.1", "2.0-beta1", 0);
    row("2.0-1", "2.0-beta", -1);
    row("1.2+build5", "1.2", 0);
    row("1.2+build5", "1.2-rc1", 1);
    row("10", "9.99.99", 1);
    row("99999999999999999999.1", "99999999999999999999.0", 1);
    row("100000000000000000000", "99999999999999999999", 1);
    row("1", "1.0.0.0.1", -1);
    row("", "0", 0);
    row("0.1.0", "", 1);
}

void UpdatesTest::compareVersionsOrdersAsPeopleDo()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, expected);
    QCOMPARE(compareVersions(a, b), expected);
    // The order is the same read the other way.
    QCOMPARE(compareVersions(b, a), -expected);
}

void UpdatesTest::bundleSettingsGiveTheVersionAndTheBuildsFeed()
{
    QCOMPARE(StandardUpdaterController::currentVersion(), QStringLiteral(GLASSWING_PROJECT_VERSION));
    QCOMPARE(StandardUpdaterController::currentBuild(), QStringLiteral(GLASSWING_PROJECT_VERSION));
    StandardUpdaterController controller(false);
    const QUrl bundled = controller.feedURL();
    // The feed is the build setting's, and a build with one only takes a secure address.
    QCOMPARE(bundled, QUrl(QStringLiteral(GLASSWING_UPDATE_FEED)));
    QCOMPARE(controller.hasFeed(), !bundled.isEmpty());
    if (!bundled.isEmpty()) {
        QCOMPARE(bundled.scheme(), QStringLiteral("https"));
        QVERIFY(!bundled.host().isEmpty());
    }
    controller.setFeedURL(QUrl(QStringLiteral("http://127.0.0.1:1/feed.xml")));
    QCOMPARE(controller.feedURL(), QUrl(QStringLiteral("http://127.0.0.1:1/feed.xml")));
    QVERIFY(controller.hasFeed());
    controller.setFeedURL(QUrl());
    QCOMPARE(controller.feedURL(), bundled);
    QCOMPARE(controller.lastOutcome(), Outcome::NotChecked);
    QVERIFY(!controller.nextScheduledCheck().isValid());
}

// A build without a feed (the Debian package, the default build): the user's check is answered
// with the version and where updates come from, nothing is fetched, and no daily check is ever
// scheduled, even with the setting stored on.
void UpdatesTest::withoutAFeedUpdatesComeWithThePackage()
{
    QTemporaryDir home;
    const UserDefaults defaults(home.filePath(QStringLiteral("defaults.json")));
    UserDefaults(defaults).setBool(QStringLiteral("SUEnableAutomaticChecks"), true);
    StandardUpdaterController controller(false);
    if (controller.hasFeed())
        QSKIP("this build was configured with an update feed (GLASSWING_UPDATE_FEED)");
    controller.setUserDefaults(defaults);
    controller.startUpdater();
    QVERIFY(!controller.nextScheduledCheck().isValid());
    controller.setAutomaticallyChecksForUpdates(true);
    QVERIFY(!controller.nextScheduledCheck().isValid());

    QSignalSpy finished(&controller, &StandardUpdaterController::checkFinished);
    controller.checkForUpdatesInBackground();
    QCOMPARE(finished.size(), 0);
    QVERIFY(openMessageBoxes().isEmpty());
    controller.checkForUpdates();
    QCOMPARE(finished.size(), 1);
    QVERIFY(!controller.isChecking());
    QCOMPARE(controller.lastOutcome(), Outcome::NoFeed);
    QCOMPARE(openMessageBoxes().size(), 1);
    QMessageBox* box = controller.dialog();
    QVERIFY(box && box->isVisible());
    QVERIFY(!box->iconPixmap().isNull()); // the app's icon, not a warning
    QVERIFY2(box->text().contains(QStringLiteral("Glasswing ") + StandardUpdaterController::currentVersion()),
             qPrintable(box->text()));
    QVERIFY2(box->text().contains(QStringLiteral("come with the package")), qPrintable(box->text()));
    QCOMPARE(buttonTexts(box), QStringList{QStringLiteral("OK")});
    // No check ran, so none is remembered as the last.
    QVERIFY(defaults.stringForKey(QStringLiteral("SULastCheckTime")).isEmpty());
    QPointer<QMessageBox> watched(box);
    box->buttons().first()->click();
    QTRY_VERIFY(watched.isNull());
}

void UpdatesTest::checkTellsTheUserWhatItFound_data()
{
    QTest::addColumn<Routes>("routes");
    // The feed: a path on the server, or a whole address; "closed" is a loopback port nobody
    // listens on.
    QTest::addColumn<QString>("feed");
    // Any plain-HTTP request from the controller goes to the server as to a proxy, so that one
    // that should never be made is seen instead of leaving the machine.
    QTest::addColumn<bool>("proxied");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<Failure>("failure");
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("textParts");
    QTest::addColumn<QStringList>("buttons");
    QTest::addColumn<QUrl>("download");
    QTest::addColumn<bool>("cutShort");

    const QString newTitle = QStringLiteral("A new version of Glasswing is available!");
    const QString upToDate = QStringLiteral("You're up to date");
    const QString failed = QStringLiteral("Update check failed");
    const QString newest = QStringLiteral("Glasswing %1 is the newest version available.")
                               .arg(StandardUpdaterController::currentVersion());
    const QStringList laterDownload {QStringLiteral("Download"), QStringLiteral("Later")};
    const QStringList ok {QStringLiteral("OK")};
    const QString invalidFeed = QStringLiteral("did not send a valid update feed");
    const QString tooLarge = QStringLiteral("too large");
    const QString tooLong = QStringLiteral("took too long");
    const QString insecure = QStringLiteral("insecure");
    const QString version = StandardUpdaterController::currentVersion();
    const QByteArray notes = "<b>x</b><script>alert(1)</script>";
    const QUrl page(QStringLiteral("https://glasswing.example/download"));
    const auto feedRoute = [](const QByteArray& items) { return whole(200, appcast(items)); };
    const auto requests = [](std::initializer_list<const char*> list) {
        QStringList result;
        for (const char* path : list)
            result << QString::fromUtf8(path);
        return result;
    };

    QTest::newRow("newer version")
        << Routes {{"/feed", feedRoute(item({"99.0", "99.0", page.toEncoded(), notes}))}} << "/feed" << true << 10000
        << Outcome::UpdateAvailable << Failure::None << requests({"/feed"}) << newTitle
        << QStringList {QStringLiteral("99.0"), version, QString::fromUtf8(notes)} << laterDownload << page << false;
    QTest::newRow("newer version in the enclosure, notes by address")
        << Routes {{"/feed",
                    feedRoute("<item><title>Glasswing 42</title><sparkle:releaseNotesLink>"
                              "https://glasswing.example/notes.html</sparkle:releaseNotesLink>"
                              "<enclosure url=\"https://glasswing.example/Glasswing-42.tar.gz\" "
                              "sparkle:version=\"42\" sparkle:shortVersionString=\"42.0 (final)\" "
                              "length=\"100\" type=\"application/octet-stream\"/></item>")}}
        << "/feed" << true << 10000 << Outcome::UpdateAvailable << Failure::None << requests({"/feed"}) << newTitle
        << QStringList {QStringLiteral("42.0 (final)"), version, QStringLiteral("https://glasswing.example/notes.html")}
        << laterDownload << QUrl(QStringLiteral("https://glasswing.example/Glasswing-42.tar.gz")) << false;
    // The page that tells about the release, rather than the archive itself.
    QTest::newRow("download page rather than archive")
        << Routes {{"/feed",
                    feedRoute("<item><title>Glasswing 99</title><sparkle:version>99</sparkle:version>"
                              "<link>https://glasswing.example/download</link>"
                              "<enclosure url=\"https://glasswing.example/Glasswing-99.tar.gz\" "
                              "sparkle:version=\"99\"/></item>")}}
        << "/feed" << true << 10000 << Outcome::UpdateAvailable << Failure::None << requests({"/feed"}) << newTitle
        << QStringList {QStringLiteral("Glasswing 99 is now available"), version} << laterDownload << page << false;
    QTest::newRow("newest of several, in no order")
        << Routes {{"/feed",
                    feedRoute(item({"1.0", "1.0", "https://glasswing.example/1.0", "one"})
                              + item({"99.1", "99.1", "https://glasswing.example/99.1", "ninety-nine"})
                              + item({"99.0", "99.0", "https://glasswing.example/99.0", "older"}))}}
        << "/feed" << true << 10000 << Outcome::UpdateAvailable << Failure::None << requests({"/feed"}) << newTitle
        << QStringList {QStringLiteral("99.1"), QStringLiteral("ninety-nine")} << laterDownload
        << QUrl(QStringLiteral("https://glasswing.example/99.1")) << false;
    QTest::newRow("newer version, packed")
        << Routes {{"/feed", gzipped(gzip(appcast(item({"99.0", "99.0", page.toEncoded(), notes}))))}} << "/feed"
        << true << 10000 << Outcome::UpdateAvailable << Failure::None << requests({"/feed"}) << newTitle
        << QStringList {QStringLiteral("99.0"), version, QString::fromUtf8(notes)} << laterDownload << page << false;
    QTest::newRow("packed, cut short")
        << Routes {{"/feed", gzipped(gzip(appcast(item({"99.0", "99.0", page.toEncoded(), notes}))).chopped(12))}}
        << "/feed" << true << 10000 << Outcome::Failed << Failure::InvalidFeed << requests({"/feed"}) << failed
        << QStringList {invalidFeed, QStringLiteral("damaged or cut short")} << ok << QUrl() << false;
    QTest::newRow("packed in an encoding not asked for")
        << Routes {{"/feed", {Route::Whole, httpResponse(200, "xyz", "Content-Encoding: br\r\n"), 0}}} << "/feed"
        << true << 10000 << Outcome::Failed << Failure::InvalidFeed << requests({"/feed"}) << failed
        << QStringList {invalidFeed, QStringLiteral("(br)")} << ok << QUrl() << false;
    QTest::newRow("same version")
        << Routes {{"/feed", feedRoute(item({current(), current(), page.toEncoded(), "this one"}))}} << "/feed" << true
        << 10000 << Outcome::UpToDate << Failure::None << requests({"/feed"}) << upToDate << QStringList {newest} << ok
        << QUrl() << false;
    QTest::newRow("older version")
        << Routes {{"/feed", feedRoute(item({"0.0.1", "0.0.1", page.toEncoded(), "old"}))}} << "/feed" << true << 10000
        << Outcome::UpToDate << Failure::None << requests({"/feed"}) << upToDate << QStringList {newest} << ok
        << QUrl() << false;
    QTest::newRow("a pre-release of this version")
        << Routes {{"/feed", feedRoute(item({current() + "-beta1", current() + "-beta1", page.toEncoded(), "beta"}))}}
        << "/feed" << true << 10000 << Outcome::UpToDate << Failure::None << requests({"/feed"}) << upToDate
        << QStringList {newest} << ok << QUrl() << false;
    QTest::newRow("no items") << Routes {{"/feed", feedRoute({})}} << "/feed" << true << 10000 << Outcome::UpToDate
                              << Failure::None << requests({"/feed"}) << upToDate << QStringList {newest} << ok
                              << QUrl() << false;
    QTest::newRow("malformed XML")
        << Routes {{"/feed", whole(200, "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><item><title>")}}
        << "/feed" << true << 10000 << Outcome::Failed << Failure::InvalidFeed << requests({"/feed"}) << failed
        << QStringList {invalidFeed} << ok << QUrl() << false;
    QTest::newRow("not a feed") << Routes {{"/feed", whole(200, "<html><body>Hello</body></html>")}} << "/feed" << true
                                << 10000 << Outcome::Failed << Failure::InvalidFeed << requests({"/feed"}) << failed
                                << QStringList {invalidFeed} << ok << QUrl() << false;
    QTest::newRow("items without versions")
        << Routes {{"/feed", feedRoute(item({{}, {}, page.toEncoded(), "?"}))}} << "/feed" << true << 10000
        << Outcome::Failed << Failure::InvalidFeed << requests({"/feed"}) << failed << QStringList {invalidFeed} << ok
        << QUrl() << false;
    QTest::newRow("newer version without a secure download page")
        << Routes {{"/feed", feedRoute(item({"99.0", "99.0", "http://glasswing.example/download", "new"}))}}
        << "/feed" << true << 10000 << Outcome::Failed << Failure::InvalidFeed << requests({"/feed"}) << failed
        << QStringList {invalidFeed, QStringLiteral("secure download")} << ok << QUrl() << false;
    QTest::newRow("not found") << Routes {} << "/feed" << true << 10000 << Outcome::Failed << Failure::NotFound
                               << requests({"/feed"}) << failed
                               << QStringList {QStringLiteral("not found"), QStringLiteral("404")} << ok << QUrl()
                               << false;
    QTest::newRow("server error") << Routes {{"/feed", whole(500, "oops")}} << "/feed" << true << 10000
                                  << Outcome::Failed << Failure::HttpStatus << requests({"/feed"}) << failed
                                  << QStringList {QStringLiteral("HTTP status 500")} << ok << QUrl() << false;
    QTest::newRow("too big, length told") << Routes {{"/feed", huge(true)}} << "/feed" << true << 10000
                                          << Outcome::Failed << Failure::FeedTooLarge << requests({"/feed"}) << failed
                                          << QStringList {tooLarge} << ok << QUrl() << true;
    QTest::newRow("too big, length untold") << Routes {{"/feed", huge(false)}} << "/feed" << true << 10000
                                            << Outcome::Failed << Failure::FeedTooLarge << requests({"/feed"})
                                            << failed << QStringList {tooLarge} << ok << QUrl() << true;
    // Said up front, the length alone is enough: the rest is never waited for.
    // About 1 MiB on the wire, 1 GiB once unpacked: the limit is on what the parser would see.
    QTest::newRow("too big once unpacked")
        << Routes {{"/feed", gzipped(gzip(QByteArray(1024 * 1024, ' '), 1024))}} << "/feed" << true << 8000
        << Outcome::Failed << Failure::FeedTooLarge << requests({"/feed"}) << failed << QStringList {tooLarge} << ok
        << QUrl() << false;
    QTest::newRow("too big by its told length alone")
        << Routes {{"/feed",
                    {Route::Stall,
                     "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(kHugeFeed)
                         + "\r\nConnection: close\r\n\r\n<?xml version=\"1.0\"?><rss>",
                     0}}}
        << "/feed" << true << 10000 << Outcome::Failed << Failure::FeedTooLarge << requests({"/feed"}) << failed
        << QStringList {tooLarge} << ok << QUrl() << false;
    QTest::newRow("stalls in the middle")
        << Routes {{"/feed",
                    {Route::Stall,
                     "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\nConnection: close\r\n\r\n<?xml version=\"1.0\"?><rss>",
                     0}}}
        << "/feed" << true << 1000 << Outcome::Failed << Failure::TimedOut << requests({"/feed"}) << failed
        << QStringList {tooLong} << ok << QUrl() << false;
    QTest::newRow("never answers") << Routes {{"/feed", {Route::Stall, {}, 0}}} << "/feed" << true << 1000
                                   << Outcome::Failed << Failure::TimedOut << requests({"/feed"}) << failed
                                   << QStringList {tooLong} << ok << QUrl() << false;
    QTest::newRow("nobody listening") << Routes {} << "closed" << false << 10000 << Outcome::Failed
                                      << Failure::CannotReachServer << QStringList {} << failed
                                      << QStringList {QStringLiteral("cannot be reached")} << ok << QUrl() << false;
    QTest::newRow("plain HTTP to another machine")
        << Routes {{"/appcast.xml", feedRoute(item({"99.0", "99.0", page.toEncoded(), "new"}))}}
        << "http://glasswing.example/appcast.xml" << true << 10000 << Outcome::Failed << Failure::InsecureAddress
        << QStringList {} << failed << QStringList {insecure, QStringLiteral("http://glasswing.example/appcast.xml")}
        << ok << QUrl() << false;
    QTest::newRow("not an address") << Routes {} << "::nonsense" << true << 10000 << Outcome::Failed
                                    << Failure::InvalidAddress << QStringList {} << failed
                                    << QStringList {QStringLiteral("not valid")} << ok << QUrl() << false;
    QTest::newRow("redirect on this machine is followed")
        << Routes {{"/moved", redirect("/feed")},
                   {"/feed", feedRoute(item({"99.0", "99.0", page.toEncoded(), "new"}))}}
        << "/moved" << true << 10000 << Outcome::UpdateAvailable << Failure::None << requests({"/moved", "/feed"})
        << newTitle << QStringList {QStringLiteral("99.0")} << laterDownload << page << false;
    QTest::newRow("redirect to plain HTTP elsewhere is refused")
        << Routes {{"/moved", redirect("http://glasswing.example/appcast.xml")},
                   {"/appcast.xml", feedRoute(item({"99.0", "99.0", page.toEncoded(), "new"}))}}
        << "/moved" << true << 10000 << Outcome::Failed << Failure::InsecureAddress << requests({"/moved"}) << failed
        << QStringList {insecure} << ok << QUrl() << false;
    QTest::newRow("five redirects are followed")
        << Routes {{"/1", redirect("/2")},
                   {"/2", redirect("/3")},
                   {"/3", redirect("/4")},
                   {"/4", redirect("/5")},
                   {"/5", redirect("/feed")},
                   {"/feed", feedRoute(item({"99.0", "99.0", page.toEncoded(), "new"}))}}
        << "/1" << true << 10000 << Outcome::UpdateAvailable << Failure::None
        << requests({"/1", "/2", "/3", "/4", "/5", "/feed"}) << newTitle << QStringList {QStringLiteral("99.0")}
        << laterDownload << page << false;
    QTest::newRow("a sixth redirect is not")
        << Routes {{"/0", redirect("/1")},
                   {"/1", redirect("/2")},
                   {"/2", redirect("/3")},
                   {"/3", redirect("/4")},
                   {"/4", redirect("/5")},
                   {"/5", redirect("/feed")},
                   {"/feed", feedRoute(item({"99.0", "99.0", page.toEncoded(), "new"}))}}
        << "/0" << true << 10000 << Outcome::Failed << Failure::TooManyRedirects
        << requests({"/0", "/1", "/2", "/3", "/4", "/5"}) << failed << QStringList {QStringLiteral("redirected")}
        << ok << QUrl() << false;
}

void UpdatesTest::checkTellsTheUserWhatItFound()
{
    QFETCH(Routes, routes);
    QFETCH(QString, feed);
    QFETCH(bool, proxied);
    QFETCH(int, timeoutMs);
    QFETCH(Outcome, outcome);
    QFETCH(Failure, failure);
    QFETCH(QStringList, requests);
    QFETCH(QString, title);
    QFETCH(QStringList, textParts);
    QFETCH(QStringList, buttons);
    QFETCH(QUrl, download);
    QFETCH(bool, cutShort);

    FeedServer server(routes);
    QVERIFY(server.isListening());
    if (proxied)
        QNetworkProxy::setApplicationProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), server.port()));
    QUrl feedURL(feed.startsWith(QLatin1Char('/')) ? server.base() + feed : feed);
    if (feed == QLatin1String("closed")) {
        QTcpServer gone;
        QVERIFY(gone.listen(QHostAddress::LocalHost));
        feedURL = QUrl(QStringLiteral("http://127.0.0.1:%1/feed").arg(gone.serverPort()));
    }

    QTemporaryDir home;
    StandardUpdaterController controller(false);
    controller.setUserDefaults(UserDefaults(home.filePath(QStringLiteral("defaults.json"))));
    controller.setFeedURL(feedURL);
    controller.setTimeout(std::chrono::milliseconds(timeoutMs));
    controller.checkForUpdates();
    QTRY_VERIFY_WITH_TIMEOUT(!controller.isChecking(), 10000);

    QCOMPARE(controller.lastOutcome(), outcome);
    QCOMPARE(controller.lastFailure(), failure);
    QStringList seen;
    for (const QByteArray& path : server.requests())
        seen << QString::fromUtf8(path);
    QCOMPARE(seen, requests);
    if (requests.isEmpty())
        QCOMPARE(server.connections(), 0);
    if (cutShort) {
        // The controller hung up while the server still had most of the 2 MiB to send.
        QTRY_VERIFY(server.streamCutByPeer());
        QVERIFY(!server.streamCompleted());
        QVERIFY2(server.streamSent() < kHugeFeed, QByteArray::number(server.streamSent()).constData());
    }

    const QList<QMessageBox*> boxes = openMessageBoxes();
    QCOMPARE(boxes.size(), 1);
    QMessageBox* box = boxes.first();
    QCOMPARE(box, controller.dialog());
    QCOMPARE(box->windowTitle(), title);
    QCOMPARE(box->textFormat(), Qt::PlainText);
    for (const QString& part : textParts)
        QVERIFY2(box->text().contains(part), qPrintable(box->text()));
    // Whatever the feed says is shown as the characters it is made of.
    for (const QLabel* label : box->findChildren<QLabel*>())
        if (label->text() == box->text())
            QCOMPARE(label->textFormat(), Qt::PlainText);
    QCOMPARE(buttonTexts(box), buttons);
    if (outcome == Outcome::Failed) {
        // The failure names the version, says why and what to try.
        const QString text = box->text();
        QVERIFY2(text.startsWith(
                     QStringLiteral("Glasswing %1 could not check").arg(StandardUpdaterController::currentVersion())),
                 qPrintable(text));
        QVERIFY2(text.contains(controller.lastFailureReason()), qPrintable(text));
        const bool network = failure == Failure::CannotReachServer || failure == Failure::TimedOut;
        const bool address = failure == Failure::InvalidAddress || failure == Failure::InsecureAddress;
        const QString advice = network ? QStringLiteral("Check your connection to the internet and try again later.")
            : address                  ? QStringLiteral("get newer versions from where you got this one.")
                                       : QStringLiteral("try again later.");
        QVERIFY2(text.endsWith(advice), qPrintable(text));
    }

    QPointer<QMessageBox> watched(box);
    if (download.isValid()) {
        buttonNamed(box, QStringLiteral("Download"))->click();
        QCOMPARE(m_browser.opened, QList<QUrl> {download});
    } else {
        box->buttons().first()->click();
        QVERIFY(m_browser.opened.isEmpty());
    }
    QTRY_VERIFY(watched.isNull());
}

void UpdatesTest::anHttpsCheckNeverContinuesOnPlainHttp_data()
{
    // Where the HTTPS feed at /moved redirects to, and the download link of the feed at /feed;
    // "{plain}" stands for a plain-HTTP server on this machine, "{tls}" for the HTTPS one.
    QTest::addColumn<QByteArray>("redirectTo");
    QTest::addColumn<QByteArray>("link");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<Failure>("failure");
    QTest::addColumn<QStringList>("tlsRequests");
    QTest::addColumn<QString>("said");

    const QStringList movedThenFeed {QStringLiteral("/moved"), QStringLiteral("/feed")};
    QTest::newRow("redirect within HTTPS is followed")
        << QByteArray("{tls}/feed") << QByteArray("https://glasswing.example/d") << Outcome::UpdateAvailable
        << Failure::None << movedThenFeed << QString();
    QTest::newRow("redirect to plain HTTP on 127.0.0.1")
        << QByteArray("{plain}/feed") << QByteArray("https://glasswing.example/d") << Outcome::Failed
        << Failure::InsecureAddress << QStringList {QStringLiteral("/moved")} << QStringLiteral("insecure");
    QTest::newRow("redirect to plain HTTP on localhost")
        << QByteArray("http://localhost:{plainPort}/feed") << QByteArray("https://glasswing.example/d")
        << Outcome::Failed << Failure::InsecureAddress << QStringList {QStringLiteral("/moved")}
        << QStringLiteral("insecure");
    QTest::newRow("download link on plain HTTP on 127.0.0.1")
        << QByteArray("{tls}/feed") << QByteArray("{plain}/download") << Outcome::Failed << Failure::InvalidFeed
        << movedThenFeed << QStringLiteral("secure download");
}

// The loopback exception is for feeds configured on plain loopback (tests, development): a check
// that began on HTTPS never makes a plain request, to this machine or any other.
void UpdatesTest::anHttpsCheckNeverContinuesOnPlainHttp()
{
    QFETCH(QByteArray, redirectTo);
    QFETCH(QByteArray, link);
    QFETCH(Outcome, outcome);
    QFETCH(Failure, failure);
    QFETCH(QStringList, tlsRequests);
    QFETCH(QString, said);

    const peer::EphemeralIdentity identity = peer::EphemeralIdentity::generate(QStringLiteral("localhost"));
    // The test's own certificate is trusted while it runs, as a real server's would be.
    const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
    const auto restore = qScopeGuard([&] { QSslConfiguration::setDefaultConfiguration(saved); });
    QSslConfiguration trusting = saved;
    trusting.addCaCertificate(identity.certificate);
    QSslConfiguration::setDefaultConfiguration(trusting);

    const QByteArray newer = appcast(item({"99.0", "99.0", "{link}", "new"}));
    FeedServer plain(Routes {{"/feed", whole(200, newer)}, {"/download", whole(200, "the archive")}});
    QVERIFY(plain.isListening());
    // The HTTPS server's port is known once it listens; its routes name it, so they come after.
    quint16 tlsPort = 0;
    const auto expand = [&](QByteArray text) {
        return text.replace("{plainPort}", QByteArray::number(plain.port()))
            .replace("{plain}", plain.base().toUtf8())
            .replace("{tls}", "https://localhost:" + QByteArray::number(tlsPort));
    };
    FeedServer tlsServer({}, &identity);
    QVERIFY(tlsServer.isListening());
    FeedServer* tls = &tlsServer;
    tlsPort = tls->port();
    tls->setRoutes({{"/moved", redirect(expand(redirectTo))},
                    {"/feed", whole(200, expand(QByteArray(newer).replace("{link}", link)))}});

    QTemporaryDir home;
    StandardUpdaterController controller(false);
    controller.setUserDefaults(UserDefaults(home.filePath(QStringLiteral("defaults.json"))));
    controller.setFeedURL(QUrl(tls->base() + QStringLiteral("/moved")));
    controller.checkForUpdates();
    QTRY_VERIFY_WITH_TIMEOUT(!controller.isChecking(), 10000);

    QVERIFY2(controller.lastFailure() != Failure::CannotReachServer, qPrintable(controller.lastFailureReason()));
    QCOMPARE(controller.lastOutcome(), outcome);
    QCOMPARE(controller.lastFailure(), failure);
    QStringList seen;
    for (const QByteArray& path : tls->requests())
        seen << QString::fromUtf8(path);
    QCOMPARE(seen, tlsRequests);
    QCOMPARE(plain.connections(), 0);
    QVERIFY2(controller.lastFailureReason().contains(said), qPrintable(controller.lastFailureReason()));
    if (outcome == Outcome::UpdateAvailable)
        QCOMPARE(controller.lastFoundItem().downloadURL, QUrl(QString::fromUtf8(link)));
}

void UpdatesTest::oneCheckRunsAtATime()
{
    FeedServer server(Routes {{"/feed",
                               {Route::Hold, httpResponse(200, appcast(item({current(), current(), {}, {}}))), 0}}});
    QVERIFY(server.isListening());
    QTemporaryDir home;
    StandardUpdaterController controller(false);
    controller.setUserDefaults(UserDefaults(home.filePath(QStringLiteral("defaults.json"))));
    controller.setFeedURL(QUrl(server.base() + QStringLiteral("/feed")));
    QSignalSpy finished(&controller, &StandardUpdaterController::checkFinished);

    // An automatic check is under way when the user asks, twice.
    controller.checkForUpdatesInBackground();
    QTRY_COMPARE(server.requests().size(), 1);
    controller.checkForUpdates();
    controller.checkForUpdates();
    QVERIFY(controller.isChecking());
    server.release();
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(controller.lastOutcome(), Outcome::UpToDate);
    QCOMPARE(server.requests().size(), 1);
    // The quiet check became the user's, so its outcome is shown, once.
    const QList<QMessageBox*> boxes = openMessageBoxes();
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes.first()->windowTitle(), QStringLiteral("You're up to date"));
}

void UpdatesTest::automaticChecksFollowTheSetting_data()
{
    // The stored setting: a JSON value, or undefined for absent.
    QTest::addColumn<QJsonValue>("enabled");
    // Hours since the last check; absent when negative.
    QTest::addColumn<int>("hoursAgo");
    QTest::addColumn<Routes>("routes");
    QTest::addColumn<bool>("checks");
    QTest::addColumn<bool>("dialog");
    QTest::addColumn<bool>("warns");

    const Routes newer {{"/feed", whole(200, appcast(item({"99.0", "99.0", "https://glasswing.example/d", "new"})))}};
    const Routes same {{"/feed", whole(200, appcast(item({current(), current(), "https://glasswing.example/d", {}})))}};
    const Routes missing {};

    QTest::newRow("absent is off") << QJsonValue(QJsonValue::Undefined) << -1 << newer << false << false << false;
    QTest::newRow("false is off") << QJsonValue(false) << -1 << newer << false << false << false;
    QTest::newRow("a string is not a yes") << QJsonValue(QStringLiteral("true")) << -1 << newer << false << false
                                           << false;
    QTest::newRow("on, never checked, newer") << QJsonValue(true) << -1 << newer << true << true << false;
    QTest::newRow("on, checked 25 h ago, same") << QJsonValue(true) << 25 << same << true << false << false;
    QTest::newRow("on, checked 25 h ago, failing quietly") << QJsonValue(true) << 25 << missing << true << false
                                                           << true;
    QTest::newRow("on, checked 1 h ago") << QJsonValue(true) << 1 << newer << false << false << false;
    QTest::newRow("on, last check in the future") << QJsonValue(true) << -5 << newer << true << true << false;
}

void UpdatesTest::automaticChecksFollowTheSetting()
{
    QFETCH(QJsonValue, enabled);
    QFETCH(int, hoursAgo);
    QFETCH(Routes, routes);
    QFETCH(bool, checks);
    QFETCH(bool, dialog);
    QFETCH(bool, warns);

    FeedServer server(routes);
    QVERIFY(server.isListening());
    QTemporaryDir home;
    UserDefaults defaults(home.filePath(QStringLiteral("defaults.json")));
    if (!enabled.isUndefined())
        QVERIFY(defaults.setObject(QStringLiteral("SUEnableAutomaticChecks"), enabled));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    // "Future" rows give a negative hour count other than -1.
    const QDateTime last = now.addSecs(-3600 * qint64(hoursAgo));
    if (hoursAgo != -1)
        QVERIFY(defaults.setString(QStringLiteral("SULastCheckTime"), last.toString(Qt::ISODate)));
    const QRegularExpression warning(QStringLiteral("^Automatic update check failed: .*404"));
    if (warns)
        QTest::ignoreMessage(QtWarningMsg, warning);
    else
        QTest::failOnWarning(warning);

    StandardUpdaterController controller(false);
    controller.setUserDefaults(defaults);
    controller.setFeedURL(QUrl(server.base() + QStringLiteral("/feed")));
    QSignalSpy finished(&controller, &StandardUpdaterController::checkFinished);
    controller.startUpdater();

    if (checks) {
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(server.requests().size(), 1);
        const QDateTime recorded
            = QDateTime::fromString(defaults.stringForKey(QStringLiteral("SULastCheckTime")), Qt::ISODate);
        QVERIFY(recorded >= now.addSecs(-1));
        // The next one a day after this one.
        QVERIFY(controller.nextScheduledCheck() >= now.addSecs(24 * 3600 - 1));
        QVERIFY(controller.nextScheduledCheck() <= QDateTime::currentDateTimeUtc().addSecs(24 * 3600));
    } else {
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QVERIFY(!controller.isChecking());
        QCOMPARE(server.connections(), 0);
        QCOMPARE(finished.size(), 0);
        if (enabled == QJsonValue(true))
            QCOMPARE(controller.nextScheduledCheck(), QDateTime::fromString(last.toString(Qt::ISODate), Qt::ISODate)
                                                          .addSecs(24 * 3600));
        else
            QVERIFY(!controller.nextScheduledCheck().isValid());
    }
    const QList<QMessageBox*> boxes = openMessageBoxes();
    QCOMPARE(boxes.size(), dialog ? 1 : 0);
    if (dialog)
        QCOMPARE(boxes.first()->windowTitle(), QStringLiteral("A new version of Glasswing is available!"));
}

QTEST_MAIN(UpdatesTest)
#include "updates_test.moc"
