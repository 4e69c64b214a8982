// The app as a whole: its menus, tray and About window on real widgets (offscreen), the real
// program ending in order on signals and without a display, and mirroring a file at every save.
#include "app/AboutWindow.h"
#include "app/AppDelegate.h"
#include "app/Menus.h"
#include "app/MirrorFileCommand.h"
#include "mirroring/StatusFile.h"
#include "platform/NotificationCenter.h"
#include "platform/SerialQueue.h"
#include "platform/UserDefaults.h"
#include "support/TestEnvironment.h"

#include <QAction>
#include <QFileDialog>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTest>

#include <chrono>
#include <cstring>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <thread>

#ifdef GLASSWING_TEST_XCB
#include <xcb/xcb.h>
#endif

using namespace glasswing;

namespace {

// A home as an earlier run that crashed with a phone connected and both windows open left it,
// and an environment for the real program: this home, and only the display given.
struct CrashedHome {
    QTemporaryDir dir;
    QString status = dir.path() + QStringLiteral("/.cache/com.tessaro.Preview/status.json");
    QString defaults = dir.path() + QStringLiteral("/.config/com.tessaro.Glasswing/defaults.json");
    bool valid = QDir().mkpath(QFileInfo(status).path()) && QDir().mkpath(QFileInfo(defaults).path())
        && test::writeFile(status, test::kStatusTrue)
        && test::writeFile(defaults, R"({"Main Window Open": true, "Welcome Window Open": true, "Trusted Devices": ["a"]})");
    QProcessEnvironment environment(const QByteArray& display = {}) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "DISPLAY",
                                 "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS"})
            environment.remove(QString::fromLatin1(name));
        environment.insert(QStringLiteral("HOME"), dir.path());
        if (!display.isEmpty())
            environment.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(display));
        return environment;
    }
};

} // namespace

class AppTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aRunFromItsMenusToItsEnd();
    void theTrayAndMenuNameThePhones();
    void theRealProgramEndsInOrder_data();
    void theRealProgramEndsInOrder();
    void aMirroredFileIsPlacedAtEverySave();
    void endsWithItsMainWindowWhateverIsOpen();

private:
    test::IsolatedHome m_home;
};

void AppTest::aRunFromItsMenusToItsEnd()
{
    UserDefaults defaults;
    NotificationCenter center;
    SerialQueue queue(QStringLiteral("SerializationQueue"));
    Menus menus;
    AppDelegate delegate(defaults, center, queue, *menus.checkForUpdates);

    // About: the licence and the project's address.
    menus.about->trigger();
    auto* about = qobject_cast<AboutWindow*>(menus.aboutWindow());
    QVERIFY(about && about->isVisible());
    QVERIFY(about->licenceLabel()->text().contains(QStringLiteral("MIT License")));
    QVERIFY(about->addressLabel()->text().contains(QStringLiteral("https://github.com/tessaro/glasswing")));
    about->close();

    // A phone connected just before the quit: its true is still queued behind a slow write, and
    // must not land after the final false.
    defaults.setBool(QStringLiteral("Main Window Open"), true);
    defaults.setBool(QStringLiteral("Welcome Window Open"), true);
    queue.async([] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); });
    updateStatus(queue, true);
    delegate.applicationWillTerminate();
    queue.waitUntilIdle();
    QCOMPARE(test::readAll(m_home.statusFile()), test::kStatusFalse);
    QVERIFY(!defaults.boolForKey(QStringLiteral("Main Window Open")));
    QVERIFY(!defaults.boolForKey(QStringLiteral("Welcome Window Open")));
}

// The menu's first line and the tray's tooltip name the phones: an ampersand is a letter, not a
// mnemonic, and markup is text.
void AppTest::theTrayAndMenuNameThePhones()
{
    Menus menus;
    QWidget window;
    menus.attach(&window); // the tray is made even where no tray shows it
    menus.showPhones({{QStringLiteral("Tom & Jerry"), false}, {QStringLiteral("<b>Web</b>"), true}});
    QCOMPARE(menus.phonesStatus->text(), QStringLiteral("2 phones connected: Tom && Jerry, <b>Web</b>"));
    QCOMPARE(menus.trayIcon()->toolTip(),
             QStringLiteral("Glasswing: 2 phones connected\nTom & Jerry (app)\n<b>Web</b> (browser)"));
}

void AppTest::theRealProgramEndsInOrder_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("first"); // a signal; 0 for none: the program answers and ends by itself
    QTest::addColumn<int>("then"); // kept coming until the end; 0 for none
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("output"); // the start of standard output; empty for nothing at all
    QTest::addColumn<QByteArray>("errors"); // within standard error; empty for nothing, null for unchecked
    // With no display and no platform chosen, these open nothing, not even the note about the display.
    QTest::newRow("--help") << QStringList {QStringLiteral("--help")} << 0 << 0 << 0 << QByteArray("Usage: glasswing")
                            << QByteArray("");
    QTest::newRow("--bogus") << QStringList {QStringLiteral("--bogus")} << 0 << 0 << 2 << QByteArray("")
                             << QByteArray("unknown option '--bogus'");
    // The three signals share one handler: one with more of another in the teardown it started.
    QTest::newRow("SIGTERM, then SIGINT") << QStringList() << SIGTERM << SIGINT << 0 << QByteArray("") << QByteArray();
}

// The first signal comes before the handler is in place: the child starts with the three signals
// blocked (the mask survives exec), so the signal is certain to be pending by then. (Sent at a delay
// instead, it may land while the dynamic loader is still at work, where no program can catch it.)
// A second signal keeps coming, about every millisecond, until the process is gone, so that some of
// it lands in the teardown the first one started.
void AppTest::theRealProgramEndsInOrder()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, first);
    QFETCH(int, then);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, output);
    QFETCH(QByteArray, errors);
    CrashedHome home;
    QVERIFY(home.valid);
    QProcess app;
    app.setProcessEnvironment(home.environment());
    if (first != 0)
        app.setChildProcessModifier([] {
            sigset_t signals;
            sigemptyset(&signals);
            for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP})
                sigaddset(&signals, signalNumber);
            ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        });
    app.start(QStringLiteral(GLASSWING_BINARY), arguments);
    QVERIFY(app.waitForStarted());
    if (first != 0) {
        // A pidfd names this very process even after it has ended: no signal reaches another process.
        const int pidfd = int(::syscall(SYS_pidfd_open, pid_t(app.processId()), 0));
        QVERIFY(pidfd >= 0);
        const auto closePidfd = qScopeGuard([pidfd] { ::close(pidfd); });
        const auto send = [pidfd](int signalNumber) {
            return ::syscall(SYS_pidfd_send_signal, pidfd, signalNumber, nullptr, 0) == 0;
        };
        QVERIFY(send(first));
        pollfd exited {pidfd, POLLIN, 0};
        for (int sent = 0; then != 0 && sent < 10000 && ::poll(&exited, 1, 1) == 0; ++sent)
            QVERIFY(send(then) || sent > 0);
    }
    QVERIFY2(app.waitForFinished(10000), "the app did not end within 10 s"); // else killed by its QProcess
    const QByteArray printed = app.readAllStandardOutput();
    const QByteArray complaints = app.readAllStandardError();
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QVERIFY2(app.exitCode() == exitCode, complaints.constData());
    QVERIFY2(printed.startsWith(output) && (!output.isEmpty() || printed.isEmpty()), printed.constData());
    if (!errors.isNull())
        QVERIFY2(errors.isEmpty() ? complaints.isEmpty() : complaints.contains(errors), complaints.constData());

    // A run ends in order: status.json false, both window flags false, the rest kept. An answer
    // alone leaves everything as the crashed run left it.
    const bool ran = first != 0;
    QCOMPARE(test::readAll(home.status), ran ? test::kStatusFalse : test::kStatusTrue);
    const QJsonObject defaults = QJsonDocument::fromJson(test::readAll(home.defaults)).object();
    QCOMPARE((QJsonArray {defaults[QStringLiteral("Main Window Open")], defaults[QStringLiteral("Welcome Window Open")],
                          defaults[QStringLiteral("Trusted Devices")]}),
             (QJsonArray {!ran, !ran, QJsonArray {QStringLiteral("a")}}));
}

// "Mirror a File…" on the real menus and file chooser: an SVG is put in place drawn at 3x, at once
// and after a save; a file that cannot be read is said in a message, and what was mirrored stays.
void AppTest::aMirroredFileIsPlacedAtEverySave()
{
    const QString preview = sharedCacheFile(QStringLiteral("Preview@3x.png"));
    const QString svg = m_home.path() + QStringLiteral("/icon.svg");
    const QString broken = m_home.path() + QStringLiteral("/broken.jpg");
    const QByteArray drawing(R"(<svg xmlns="http://www.w3.org/2000/svg" width="40" height="25">)"
                             R"(<rect width="40" height="25" fill="#e04"/></svg>)");
    QVERIFY(test::writeFile(svg, drawing));
    QVERIFY(test::writeFile(broken, QByteArray("\xff\xd8\xff\xe0\x00\x10JFIF\x00", 11))); // a JPEG cut short
    // The PNG in place, as the app's pump would find it; taken away once checked.
    const auto placed = [&] {
        QImage image;
        const bool png = QTest::qWaitFor([&] { return image.loadFromData(test::readAll(preview), "PNG"); }, 10000);
        QFile::remove(preview);
        return png ? image.size() : QSize();
    };
    Menus menus;
    QWidget window;
    menus.attach(&window);
    MirrorFileCommand& command = menus.fileMirror();
    // Picked in the chooser, as the user does.
    const auto pick = [&](const QString& path) {
        menus.mirrorFile->trigger();
        QFileDialog* chooser = command.fileDialog();
        QVERIFY(chooser && chooser->isVisible());
        chooser->selectFile(path);
        static_cast<QDialog*>(chooser)->accept(); // as the Mirror button does
    };
    pick(svg);
    QCOMPARE(placed(), QSize(120, 75));
    QCOMPARE(menus.stopMirroring->text(), QStringLiteral("Stop Mirroring “icon.svg”"));
    const QByteArray larger = QByteArray(drawing).replace(R"(width="40" height="25">)", R"(width="80" height="50">)");
    QVERIFY(test::writeFile(svg, larger));
    QCOMPARE(placed(), QSize(240, 150));

    pick(broken);
    QMessageBox* message = command.messageBox();
    QVERIFY(message && message->isVisible());
    QVERIFY2(message->text().startsWith(QStringLiteral("“broken.jpg” can't be mirrored\n\nbroken.jpg ")),
             qPrintable(message->text()));
    message->close();
    QCOMPARE(command.mirroredFile(), svg);

    // Stopped: a save places nothing.
    menus.stopMirroring->trigger();
    QVERIFY(test::writeFile(svg, drawing));
    QTest::qWait(400); // past the settling time: a placement would have come by now
    QVERIFY(!QFileInfo::exists(preview));
}

// The main window is the app: closed by the user (here as a window manager closes it, with a
// WM_DELETE_WINDOW message over X) while the invitation alert is up, the app ends, as on Quit.
void AppTest::endsWithItsMainWindowWhateverIsOpen()
{
#ifndef GLASSWING_TEST_XCB
    GLASSWING_MACHINE_CASE(false, QStringLiteral("built without libxcb"));
#else
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    GLASSWING_MACHINE_CASE(!xvfb.isEmpty(), QStringLiteral("Xvfb is not installed (apt-get install xvfb)"));
    QProcess server; // picks a free display and writes its number to standard output
    server.start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                        QStringLiteral("tcp")});
    const auto stopServer = qScopeGuard([&server] {
        server.terminate(); // a server that ends by itself takes its display's lock and socket with it
        server.waitForFinished(5000);
    });
    QVERIFY(QTest::qWaitFor([&] { return server.canReadLine() || server.state() == QProcess::NotRunning; }, 10000));
    const QByteArray display = ':' + server.readLine().trimmed();
    xcb_connection_t* x = xcb_connect(display.constData(), nullptr);
    const auto disconnect = qScopeGuard([x] { xcb_disconnect(x); });
    QVERIFY(!xcb_connection_has_error(x));
    const auto atom = [x](const char* name) {
        xcb_intern_atom_reply_t* reply
            = xcb_intern_atom_reply(x, xcb_intern_atom(x, false, uint16_t(std::strlen(name)), name), nullptr);
        const xcb_atom_t found = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return found;
    };
    // The shown top-level windows, 0 for one transient for another: the main window and the alert.
    const auto shownWindows = [x] {
        QList<xcb_window_t> found;
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
        xcb_query_tree_reply_t* tree = xcb_query_tree_reply(x, xcb_query_tree(x, root), nullptr);
        for (int i = 0; tree && i < xcb_query_tree_children_length(tree); ++i) {
            const xcb_window_t window = xcb_query_tree_children(tree)[i];
            xcb_get_window_attributes_reply_t* attributes
                = xcb_get_window_attributes_reply(x, xcb_get_window_attributes(x, window), nullptr);
            xcb_get_property_reply_t* transient = xcb_get_property_reply(
                x, xcb_get_property(x, false, window, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 0, 1), nullptr);
            if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE && !attributes->override_redirect)
                found << (transient && xcb_get_property_value_length(transient) > 0 ? 0 : window);
            std::free(attributes);
            std::free(transient);
        }
        std::free(tree);
        return found;
    };

    CrashedHome home;
    QVERIFY(test::writeFile(home.defaults, R"({"Has Shown Mac Welcome": true, "Trusted Devices": ["a"]})"));
    // The app and the phone, if still running at the end, are killed by their QProcess, by their id.
    QProcess app;
    app.setProcessEnvironment(home.environment(display));
    app.start(QStringLiteral(GLASSWING_BINARY), {});
    QByteArray errors;
    QVERIFY(QTest::qWaitFor([&] { return (errors += app.readAllStandardError()).contains("advertising"); }, 10000));
    const QRegularExpressionMatch port = QRegularExpression(QStringLiteral("on port (\\d+)")).match(QString::fromUtf8(errors));
    QVERIFY2(port.hasMatch(), errors.constData());

    // A phone nobody trusts yet: the alert comes up over the main window.
    QProcess phone;
    phone.start(QStringLiteral(GLASSWING_PHONE_BINARY),
                {QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"), port.captured(1),
                 QStringLiteral("--name"), QStringLiteral("Stranger"), QStringLiteral("--user-id"), QStringLiteral("b")});
    QList<xcb_window_t> windows;
    QVERIFY2(QTest::qWaitFor([&] { return (windows = shownWindows()).size() == 2 && windows.removeAll(0) == 1; }, 10000),
             "the main window and the alert did not both show");
    xcb_client_message_event_t message {};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = windows.first();
    message.type = atom("WM_PROTOCOLS");
    message.data.data32[0] = atom("WM_DELETE_WINDOW");
    xcb_send_event(x, false, windows.first(), XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&message));
    xcb_flush(x);
    QVERIFY2(app.waitForFinished(10000), "the app went on after its main window closed");
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), 0);
    QCOMPARE(test::readAll(home.status), test::kStatusFalse);
    QVERIFY(phone.waitForFinished(10000)); // the phone that was waiting is let go with the app
#endif
}

QTEST_MAIN(AppTest)
#include "app_test.moc"
