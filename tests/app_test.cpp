#include "app/AboutWindow.h"
#include "app/AppDelegate.h"
#include "app/Menus.h"
#include "app/MirrorFileCommand.h"
#include "mirroring/StatusFile.h"
#include "platform/ApplicationIcon.h"
#include "platform/NotificationCenter.h"
#include "platform/SerialQueue.h"
#include "platform/UserDefaults.h"
#include "support/TestEnvironment.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QFileDialog>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QMenu>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTest>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#ifdef GLASSWING_TEST_XCB
#include <xcb/xcb.h>
#endif

using namespace glasswing;

namespace {

const QByteArray& kTrue = test::kStatusTrue;
const QByteArray& kFalse = test::kStatusFalse;

QString defaultsPath(const QString& home)
{
    return home + QStringLiteral("/.config/com.tessaro.Glasswing/defaults.json");
}

QString statusPath(const QString& home)
{
    return home + QStringLiteral("/.cache/com.tessaro.Preview/status.json");
}

// A home as an earlier run that crashed with a phone connected and both windows open left it.
class CrashedHome {
public:
    CrashedHome()
        : m_valid(
            QDir().mkpath(path() + QStringLiteral("/.cache/com.tessaro.Preview"))
            && QDir().mkpath(path() + QStringLiteral("/.config/com.tessaro.Glasswing"))
            && test::writeFile(statusPath(path()), kTrue)
            && test::writeFile(defaultsPath(path()),
                               R"({"Main Window Open": true, "Welcome Window Open": true, "Trusted Devices": ["a"]})"))
    {
    }
    bool isValid() const { return m_valid; }
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    bool m_valid;
};

// Starts the real program in `home`, with no display. With `blockSignals`, the child starts
// with SIGTERM, SIGINT and SIGHUP blocked: the mask survives exec, so a signal sent at once stays
// pending until the program lets it through.
void startApp(QProcess& app, const CrashedHome& home, bool blockSignals, const QStringList& arguments = {})
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "DISPLAY",
                             "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("HOME"), home.path());
    app.setProcessEnvironment(environment);
    if (blockSignals) {
        app.setChildProcessModifier([] {
            sigset_t signals;
            sigemptyset(&signals);
            for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP})
                sigaddset(&signals, signalNumber);
            ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        });
    }
    app.start(QStringLiteral(GLASSWING_BINARY), arguments);
}

// Through the system calls: Debian 12's <sys/pidfd.h> declares its wrappers without C linkage.
int openPidfd(pid_t pid)
{
    return int(::syscall(SYS_pidfd_open, pid, 0));
}

bool sendThroughPidfd(int pidfd, int signalNumber)
{
    return ::syscall(SYS_pidfd_send_signal, pidfd, signalNumber, nullptr, 0) == 0;
}

// Waits for the program to end; one that does not is killed, so that no test leaves it behind.
bool finishes(QProcess& app)
{
    if (app.waitForFinished(10000))
        return true;
    app.kill();
    app.waitForFinished(10000);
    return false;
}

// True once process `pid` has a handler for `signalNumber` (its SigCgt mask in /proc).
bool waitUntilCatching(pid_t pid, int signalNumber, std::chrono::milliseconds timeout)
{
    const QString path = QStringLiteral("/proc/%1/status").arg(pid);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        for (const QByteArray& line : file.readAll().split('\n')) {
            if (line.startsWith("SigCgt:")) {
                bool ok = false;
                const qulonglong caught = line.mid(7).trimmed().toULongLong(&ok, 16);
                if (ok && (caught & (1ULL << (signalNumber - 1))))
                    return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// An orderly end: exit status 0, status.json false, both window flags false, the rest kept.
void verifyEndedInOrder(QProcess& app, const CrashedHome& home)
{
    QCOMPARE(test::readAll(statusPath(home.path())), kFalse);
    const QJsonObject defaults = QJsonDocument::fromJson(test::readAll(defaultsPath(home.path()))).object();
    QCOMPARE(defaults.value(QStringLiteral("Main Window Open")), QJsonValue(false));
    QCOMPARE(defaults.value(QStringLiteral("Welcome Window Open")), QJsonValue(false));
    QCOMPARE(defaults.value(QStringLiteral("Trusted Devices")).toArray().size(), 1);
    QVERIFY2(app.exitStatus() == QProcess::NormalExit,
             qPrintable(QStringLiteral("killed by signal %1").arg(app.exitCode())));
    QCOMPARE(app.exitCode(), 0);
    QVERIFY(app.readAllStandardError().contains("offscreen"));
    QCOMPARE(app.readAllStandardOutput(), QByteArray());
}

#ifdef GLASSWING_TEST_XCB
// A client of a private X server that finds the app's windows and closes one the way a window
// manager does: a WM_DELETE_WINDOW message.
class XClient {
public:
    explicit XClient(const QByteArray& display)
        : m_connection(xcb_connect(display.constData(), nullptr))
    {
    }
    ~XClient() { xcb_disconnect(m_connection); }
    bool isValid() const { return !xcb_connection_has_error(m_connection); }

    // Top-level windows that show, as (window, transient for another window).
    QList<std::pair<xcb_window_t, bool>> shownWindows()
    {
        QList<std::pair<xcb_window_t, bool>> windows;
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        const std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree(
            xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, root), nullptr), &std::free);
        if (!tree)
            return windows;
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
            const std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> attributes(
                xcb_get_window_attributes_reply(m_connection, xcb_get_window_attributes(m_connection, children[i]),
                                                nullptr),
                &std::free);
            if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE || attributes->override_redirect)
                continue;
            const std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> transient(
                xcb_get_property_reply(m_connection,
                                       xcb_get_property(m_connection, false, children[i], XCB_ATOM_WM_TRANSIENT_FOR,
                                                        XCB_ATOM_WINDOW, 0, 1),
                                       nullptr),
                &std::free);
            windows.append({children[i], transient && xcb_get_property_value_length(transient.get()) > 0});
        }
        return windows;
    }

    void close(xcb_window_t window)
    {
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window;
        message.type = atom("WM_PROTOCOLS");
        message.data.data32[0] = atom("WM_DELETE_WINDOW");
        message.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(m_connection, false, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&message));
        xcb_flush(m_connection);
    }

private:
    xcb_atom_t atom(const char* name)
    {
        const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
            xcb_intern_atom_reply(m_connection, xcb_intern_atom(m_connection, false, uint16_t(std::strlen(name)), name),
                                  nullptr),
            &std::free);
        return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    }

    xcb_connection_t* m_connection;
};
#endif

} // namespace

class AppTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void menuActionsPostTheirNotifications();
    void theTrayAndMenuNameThePhones_data();
    void theTrayAndMenuNameThePhones();
    void terminationWritesFalseAfterQueuedUpdatesAndClearsFlags();
    void launchGivesTheDarkAppearance();
    void endsInOrderOnSignals_data();
    void endsInOrderOnSignals();
    void helpAndVersionNeedNoDisplay_data();
    void helpAndVersionNeedNoDisplay();
    void aMirroredFileIsPlacedAtEverySave_data();
    void aMirroredFileIsPlacedAtEverySave();
    void endsWithItsMainWindowWhateverIsOpen();

private:
    test::IsolatedHome m_home;
};

void AppTest::menuActionsPostTheirNotifications()
{
    UserDefaults defaults;
    NotificationCenter center;
    SerialQueue queue(QStringLiteral("SerializationQueue"));
    Menus menus;
    AppDelegate delegate(defaults, center, queue, *menus.checkForUpdates);
    menus.connectTo(delegate);
    // With nobody observing, a command posts and nothing else happens.
    menus.showWelcomeWindow->trigger();
    menus.disconnect->trigger();

    QStringList posted;
    center.addObserver(QStringLiteral("Show Welcome Window"), [&] { posted << QStringLiteral("welcome"); });
    center.addObserver(QStringLiteral("Disconnect Menu Item"), [&] { posted << QStringLiteral("disconnect"); });
    menus.showWelcomeWindow->trigger();
    menus.disconnect->trigger();
    menus.disconnect->trigger();
    QCOMPARE(posted,
             (QStringList{QStringLiteral("welcome"), QStringLiteral("disconnect"), QStringLiteral("disconnect")}));
    // About: the licence and the project's address; Escape closes it.
    menus.about->trigger();
    auto* about = qobject_cast<AboutWindow*>(menus.aboutWindow());
    QVERIFY(about && about->isVisible());
    QVERIFY2(about->licenceLabel()->text().contains(QStringLiteral("MIT License")),
             qPrintable(about->licenceLabel()->text()));
    QVERIFY2(about->addressLabel()->text().contains(QStringLiteral("https://github.com/tessaro/glasswing")),
             qPrintable(about->addressLabel()->text()));
    QTest::keyClick(about, Qt::Key_Escape);
    QTRY_VERIFY(!menus.aboutWindow());

    // "Check for Updates…" reaches the update controller once launch has finished, and only then.
    delegate.updaterController().setFeedURL(QUrl(QStringLiteral("http://127.0.0.1:1/appcast.xml")));
    menus.checkForUpdates->trigger();
    QVERIFY(!delegate.updaterController().isChecking());
    delegate.applicationDidFinishLaunching();
    delegate.applicationDidFinishLaunching(); // wired once, however often launch is reported
    menus.checkForUpdates->trigger();
    QVERIFY(delegate.updaterController().isChecking());
    QTRY_COMPARE_WITH_TIMEOUT(delegate.updaterController().lastOutcome(), StandardUpdaterController::Outcome::Failed,
                              10000);
    if (QWidget* dialog = delegate.updaterController().dialog())
        dialog->close();

    // Daily checks are off until the user turns them on, and then a check is scheduled.
    QVERIFY(!menus.checkAutomatically->isChecked());
    QVERIFY(!delegate.updaterController().nextScheduledCheck().isValid());
    menus.checkAutomatically->setChecked(true);
    QVERIFY(defaults.boolForKey(QStringLiteral("SUEnableAutomaticChecks")));
    QVERIFY(delegate.updaterController().nextScheduledCheck().isValid());
    menus.checkAutomatically->setChecked(false);
    QVERIFY(!delegate.updaterController().nextScheduledCheck().isValid());
}

void AppTest::theTrayAndMenuNameThePhones_data()
{
    QTest::addColumn<QList<ConnectedPhone>>("phones");
    QTest::addColumn<QString>("status"); // the menu's first line, as the action holds it
    QTest::addColumn<QString>("toolTip");
    QTest::newRow("none") << QList<ConnectedPhone>{} << QStringLiteral("No phone connected")
                          << QStringLiteral("Glasswing: No phone connected");
    QTest::newRow("one app") << QList<ConnectedPhone>{{QStringLiteral("Ada's iPhone"), false}}
                             << QStringLiteral("1 phone connected: Ada's iPhone")
                             << QStringLiteral("Glasswing: 1 phone connected\nAda's iPhone (app)");
    QTest::newRow("an app and a browser, named like markup and mnemonics")
        << QList<ConnectedPhone>{{QStringLiteral("Tom & Jerry"), false}, {QStringLiteral("<b>Web</b>"), true}}
        << QStringLiteral("2 phones connected: Tom && Jerry, <b>Web</b>")
        << QStringLiteral("Glasswing: 2 phones connected\nTom & Jerry (app)\n<b>Web</b> (browser)");
    QList<ConnectedPhone> many;
    QString manyTip = QStringLiteral("Glasswing: 12 phones connected");
    for (int i = 1; i <= 12; ++i) {
        many.append({QStringLiteral("Studio Phone %1").arg(i), i % 2 == 0});
        manyTip += QStringLiteral("\nStudio Phone %1 (%2)")
                       .arg(i)
                       .arg(i % 2 == 0 ? QStringLiteral("browser") : QStringLiteral("app"));
    }
    QTest::newRow("twelve, the menu line cut") << many << QString() << manyTip;
}

void AppTest::theTrayAndMenuNameThePhones()
{
    QFETCH(QList<ConnectedPhone>, phones);
    QFETCH(QString, status);
    QFETCH(QString, toolTip);
    Menus menus;
    QWidget window;
    menus.attach(&window);
    menus.showPhones(phones);

    // The menu opens with who is connected.
    if (status.isEmpty()) {
        QVERIFY(menus.phonesStatus->text().startsWith(QStringLiteral("12 phones connected: Studio Phone 1, ")));
        QVERIFY(menus.phonesStatus->text().endsWith(QChar(0x2026)));
        QVERIFY(QFontMetrics(menus.menu()->font()).horizontalAdvance(menus.phonesStatus->text()) <= 320);
    } else {
        QCOMPARE(menus.phonesStatus->text(), status);
    }

    // The tray, made even where no tray shows it: its tooltip, and its dot cyan or amber.
    QSystemTrayIcon* tray = menus.trayIcon();
    QVERIFY(tray);
    QCOMPARE(tray->toolTip(), toolTip);
    const QImage icon = tray->icon().pixmap(32, 32).toImage();
    const QColor dot = icon.pixelColor(25, 25);
    const QColor expected = phones.isEmpty() ? QColor(0xff, 0xb8, 0x4d) : QColor(0x4f, 0xe8, 0xe0);
    QVERIFY2(qAbs(dot.red() - expected.red()) + qAbs(dot.green() - expected.green())
                     + qAbs(dot.blue() - expected.blue())
                 < 24,
             qPrintable(dot.name()));
    // The rest of it is the app's icon.
    QVERIFY(icon.pixelColor(16, 16).alpha() > 0);

    // A left click on the icon brings the main window forward; the menu's click does not.
    window.hide();
    Q_EMIT tray->activated(QSystemTrayIcon::Context);
    QVERIFY(!window.isVisible());
    Q_EMIT tray->activated(QSystemTrayIcon::Trigger);
    QVERIFY(window.isVisible());
}

void AppTest::terminationWritesFalseAfterQueuedUpdatesAndClearsFlags()
{
    UserDefaults defaults;
    NotificationCenter center;
    SerialQueue queue(QStringLiteral("SerializationQueue"));
    QAction checkForUpdates;
    AppDelegate delegate(defaults, center, queue, checkForUpdates);
    defaults.setBool(QStringLiteral("Main Window Open"), true);
    defaults.setBool(QStringLiteral("Welcome Window Open"), true);

    // A phone connected just before the quit: its true is still queued behind a slow write.
    queue.async([] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); });
    updateStatus(queue, true);
    delegate.applicationWillTerminate();
    queue.waitUntilIdle();

    QCOMPARE(test::readAll(m_home.statusFile()), kFalse);
    QCOMPARE(defaults.boolForKey(QStringLiteral("Main Window Open")), false);
    QCOMPARE(defaults.boolForKey(QStringLiteral("Welcome Window Open")), false);
}

void AppTest::launchGivesTheDarkAppearance()
{
    QApplication::setPalette(QPalette(Qt::white)); // a light desktop theme
    UserDefaults defaults;
    NotificationCenter center;
    SerialQueue queue(QStringLiteral("SerializationQueue"));
    QAction checkForUpdates;
    AppDelegate delegate(defaults, center, queue, checkForUpdates);
    delegate.applicationDidFinishLaunching();

    const QPalette palette = QApplication::palette();
    QVERIFY(palette.color(QPalette::Window).lightness() < 64);
    QVERIFY(palette.color(QPalette::WindowText).lightness() > 192);
    QCOMPARE(QApplication::style()->name().toLower(), QStringLiteral("fusion"));
}

void AppTest::endsInOrderOnSignals_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("then"); // 0 for none
    QTest::addColumn<bool>("early");
    const std::pair<const char*, int> signals[] = {{"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}, {"SIGHUP", SIGHUP}};
    for (const auto& [name, number] : signals)
        QTest::addRow("%s at start", name) << number << 0 << true;
    QTest::newRow("SIGTERM while running") << int(SIGTERM) << 0 << false;
    QTest::newRow("SIGINT, then SIGINT") << int(SIGINT) << int(SIGINT) << false;
    QTest::newRow("SIGTERM, then SIGHUP") << int(SIGTERM) << int(SIGHUP) << false;
}

// At start, the signal comes before the handler is in place. The child starts with the three
// signals blocked, so the signal is certain to be pending by then, whenever main() gets to run.
// (Sent at a delay to a child without that mask, it may land before main(), while the dynamic
// loader is still at work, where no program can catch it: on a busy machine that happened even
// 40 ms after start.)
// With a second signal, the first starts the orderly termination and the second keeps coming,
// about every millisecond, until the process is gone, so that some of it lands during teardown.
void AppTest::endsInOrderOnSignals()
{
    QFETCH(int, first);
    QFETCH(int, then);
    QFETCH(bool, early);
    CrashedHome home;
    QVERIFY(home.isValid());
    QProcess app;
    startApp(app, home, early);
    QVERIFY(app.waitForStarted());
    // A pidfd names this very process even after it has ended, so no signal can reach another
    // process that got its id.
    const int pidfd = openPidfd(pid_t(app.processId()));
    QVERIFY2(pidfd >= 0, std::strerror(errno));
    const auto closePidfd = qScopeGuard([pidfd] { ::close(pidfd); });
    if (!early) {
        QVERIFY2(waitUntilCatching(pid_t(app.processId()), first, std::chrono::seconds(10)),
                 "the app never installed its signal handler");
        if (then == 0)
            QTest::qWait(1000); // well under way
    }

    QVERIFY(sendThroughPidfd(pidfd, first));
    int sent = 0;
    bool ended = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (then != 0 && !ended && std::chrono::steady_clock::now() < deadline) {
        if (sendThroughPidfd(pidfd, then))
            ++sent;
        pollfd exited{pidfd, POLLIN, 0};
        ended = ::poll(&exited, 1, 1) == 1;
    }
    QVERIFY(then == 0 || sent > 0);
    QVERIFY2(finishes(app), "the app did not end within 10 s");

    verifyEndedInOrder(app, home);
}

void AppTest::helpAndVersionNeedNoDisplay_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("output"); // the start of standard output
    QTest::addColumn<QByteArray>("errors"); // within standard error
    const QByteArray version = "Glasswing " + StandardUpdaterController::currentVersion().toUtf8() + "\n";
    QTest::newRow("--help") << QStringList{QStringLiteral("--help")} << 0 << QByteArray("Usage: glasswing")
                            << QByteArray();
    QTest::newRow("-h") << QStringList{QStringLiteral("-h")} << 0 << QByteArray("Usage: glasswing") << QByteArray();
    QTest::newRow("--version") << QStringList{QStringLiteral("--version")} << 0 << version << QByteArray();
    QTest::newRow("-v after an unknown option")
        << QStringList{QStringLiteral("--bogus"), QStringLiteral("-v")} << 0 << version << QByteArray();
    QTest::newRow("an unknown option") << QStringList{QStringLiteral("--bogus")} << 2 << QByteArray()
                                       << QByteArray("unknown option '--bogus'");
    QTest::newRow("an argument") << QStringList{QStringLiteral("design.png")} << 2 << QByteArray()
                                 << QByteArray("unexpected argument 'design.png'");
}

// The real program, with no display and no platform chosen: it answers and ends, opening nothing.
void AppTest::helpAndVersionNeedNoDisplay()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, output);
    QFETCH(QByteArray, errors);
    CrashedHome home;
    QVERIFY(home.isValid());
    QProcess app;
    startApp(app, home, false, arguments);
    QVERIFY2(finishes(app), "the app did not end within 10 s");
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    const QByteArray printed = app.readAllStandardOutput();
    const QByteArray complaints = app.readAllStandardError();
    QVERIFY2(app.exitCode() == exitCode, complaints.constData());
    QVERIFY2(printed.startsWith(output) && (!output.isEmpty() || printed.isEmpty()), printed.constData());
    if (errors.isEmpty())
        QCOMPARE(complaints, QByteArray()); // not even the note about the missing display
    else
        QVERIFY2(complaints.contains(errors), complaints.constData());
    // Nothing of a run: the status and the window flags are as the crashed run left them.
    QCOMPARE(test::readAll(statusPath(home.path())), kTrue);
}

void AppTest::aMirroredFileIsPlacedAtEverySave_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QSize>("size"); // of the PNG put in place; empty when the file is refused
    QTest::addColumn<QString>("save"); // how the next version is saved: "in place" or "by rename"

    const auto encoded = [](const char* format, const QSize& size) {
        QImage image(size, QImage::Format_RGB32);
        image.fill(QColor(30, 120, 200));
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, format);
        return bytes;
    };
    const QByteArray svg("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"40\" height=\"25\" viewBox=\"0 0 40 25\">"
                         "<rect width=\"40\" height=\"25\" fill=\"#e04\"/></svg>");
    QTest::newRow("PNG, saved in place") << QStringLiteral("design.png") << encoded("PNG", QSize(30, 20))
                                         << QSize(30, 20) << QStringLiteral("in place");
    QTest::newRow("PNG, saved by rename") << QStringLiteral("design.png") << encoded("PNG", QSize(30, 20))
                                          << QSize(30, 20) << QStringLiteral("by rename");
    QTest::newRow("SVG, drawn at 3x") << QStringLiteral("icon.svg") << svg << QSize(120, 75)
                                      << QStringLiteral("by rename");
    QTest::newRow("JPEG, converted") << QStringLiteral("photo.jpg") << encoded("JPEG", QSize(64, 48)) << QSize(64, 48)
                                     << QStringLiteral("in place");
    QTest::newRow("not an image") << QStringLiteral("notes.png.txt") << QByteArray("just words") << QSize()
                                  << QString();
    QTest::newRow("a JPEG cut short") << QStringLiteral("broken.jpg") << encoded("JPEG", QSize(64, 48)).left(40)
                                      << QSize() << QString();
}

// "Mirror a File…" on the real menus and file chooser: the file is put in place as a PNG at once
// and after a save; a file that cannot be read is said in a message, and what was mirrored stays.
void AppTest::aMirroredFileIsPlacedAtEverySave()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QSize, size);
    QFETCH(QString, save);
    test::IsolatedHome home;
    const QString preview = sharedCacheFile(QStringLiteral("Preview@3x.png"));
    QVERIFY(QDir().mkpath(home.path() + QStringLiteral("/designs")));
    const QString earlier = home.path() + QStringLiteral("/designs/earlier.svg");
    const QByteArray tiny("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"2\" height=\"2\"/>");
    QVERIFY(test::writeFile(earlier, tiny));
    const QString path = home.path() + QStringLiteral("/designs/") + name;
    QVERIFY(test::writeFile(path, content));

    Menus menus;
    QWidget window;
    menus.attach(&window);
    MirrorFileCommand& command = menus.fileMirror();
    QVERIFY(command.mirror(earlier));
    QVERIFY(QFile::remove(preview));

    // Picked in the chooser, as the user does.
    menus.mirrorFile->trigger();
    QFileDialog* chooser = command.fileDialog();
    QVERIFY(chooser && chooser->isVisible());
    chooser->selectFile(path);
    static_cast<QDialog*>(chooser)->accept(); // as the Mirror button does
    // The PNG in place, as the app's pump would find it; taken away once checked.
    const auto takePreview = [&](const QSize& expected) {
        QImage image;
        const QByteArray bytes = test::readAll(preview);
        QVERIFY2(bytes.startsWith("\x89PNG\r\n\x1a\n"), bytes.left(16).toHex().constData());
        QVERIFY(image.loadFromData(bytes, "PNG"));
        QCOMPARE(image.size(), expected);
        QVERIFY(QFile::remove(preview));
    };

    if (size.isEmpty()) {
        QMessageBox* message = command.messageBox();
        QVERIFY(message && message->isVisible());
        QVERIFY2(message->text().startsWith(QStringLiteral("“%1” can't be mirrored\n\n%1 ").arg(name)),
                 qPrintable(message->text()));
        QVERIFY(!QFileInfo::exists(preview));
        QCOMPARE(command.mirroredFile(), earlier); // what was mirrored stays mirrored
        message->close();
        return;
    }
    takePreview(size);
    QVERIFY(!QTest::currentTestFailed());
    QCOMPARE(command.mirroredFile(), path);
    QCOMPARE(menus.stopMirroring->text(), QStringLiteral("Stop Mirroring “%1”").arg(name));

    // The next save, twice as large where the format says its own size.
    QByteArray next = content;
    QSize nextSize = size;
    if (name.endsWith(QLatin1String(".svg"))) {
        next.replace("width=\"40\" height=\"25\"", "width=\"80\" height=\"50\"");
        nextSize = size * 2;
    } else {
        QImage image(size * 2, QImage::Format_RGB32);
        image.fill(Qt::white);
        QBuffer buffer(&next);
        next.clear();
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, name.endsWith(QLatin1String(".png")) ? "PNG" : "JPEG");
        nextSize = size * 2;
    }
    if (save == QLatin1String("in place")) {
        QVERIFY(test::writeFile(path, next));
    } else {
        QVERIFY(test::writeFile(path + QStringLiteral(".saving"), next));
        QVERIFY(::rename(QFile::encodeName(path + QStringLiteral(".saving")).constData(),
                         QFile::encodeName(path).constData())
                == 0);
    }
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(preview), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(test::readAll(preview).size() > 8, 10000);
    takePreview(nextSize);
    QVERIFY(!QTest::currentTestFailed());

    // Stopped: the menu no longer offers it, and a save places nothing.
    menus.stopMirroring->trigger();
    QVERIFY(command.mirroredFile().isEmpty());
    QVERIFY(test::writeFile(path, content));
    QTest::qWait(400); // past the settling time: a placement would have come by now
    QVERIFY(!QFileInfo::exists(preview));
}

// The main window is the app: closed by the user (here as a window manager closes it) while the
// invitation alert is up, the app ends, and stops advertising, as it does on Quit.
void AppTest::endsWithItsMainWindowWhateverIsOpen()
{
#ifndef GLASSWING_TEST_XCB
    GLASSWING_MACHINE_CASE(false, QStringLiteral("built without libxcb"));
#else
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    GLASSWING_MACHINE_CASE(!xvfb.isEmpty(), QStringLiteral("Xvfb is not installed (apt-get install xvfb)"));
    QProcess server;
    // The server picks a free display and writes its number to standard output.
    server.start(xvfb,
                 {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                  QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("1024x768x24")});
    const auto stopServer = qScopeGuard([&server] {
        server.terminate();
        if (!server.waitForFinished(5000))
            server.kill();
    });
    QVERIFY(server.waitForStarted());
    QVERIFY(QTest::qWaitFor([&] { return server.canReadLine() || server.state() != QProcess::Running; }, 10000));
    const QByteArray display = ':' + server.readLine().trimmed();
    QVERIFY(display.size() > 1);
    XClient x(display);
    QVERIFY(x.isValid());

    CrashedHome home;
    QVERIFY(home.isValid());
    QVERIFY(test::writeFile(defaultsPath(home.path()), R"({"Has Shown Mac Welcome": true, "Trusted Devices": ["a"]})"));
    QProcess app;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "WAYLAND_DISPLAY",
                             "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(display));
    app.setProcessEnvironment(environment);
    app.start(QStringLiteral(GLASSWING_BINARY), {});
    QVERIFY(app.waitForStarted());
    const auto stopApp = qScopeGuard([&app] { finishes(app); });
    QByteArray errors;
    QByteArray port;
    QVERIFY(QTest::qWaitFor(
        [&] {
            errors += app.readAllStandardError();
            const qsizetype at = errors.indexOf("on port ");
            if (at >= 0 && errors.indexOf('\n', at) > at)
                port = errors.mid(at + 8, errors.indexOf('\n', at) - at - 8);
            return !port.isEmpty();
        },
        10000));

    // A phone nobody trusts yet: the alert comes up over the main window.
    QProcess phone;
    phone.start(QStringLiteral(GLASSWING_PHONE_BINARY),
                {QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                 QString::fromLatin1(port), QStringLiteral("--name"), QStringLiteral("Stranger"),
                 QStringLiteral("--user-id"), QStringLiteral("b")});
    const auto stopPhone = qScopeGuard([&phone] {
        phone.kill();
        phone.waitForFinished(5000);
    });
    QList<std::pair<xcb_window_t, bool>> windows;
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     windows = x.shownWindows();
                     return windows.size() == 2;
                 },
                 10000),
             "the main window and the alert did not both show");
    const auto main = std::find_if(windows.begin(), windows.end(), [](const auto& window) { return !window.second; });
    QVERIFY(main != windows.end());

    x.close(main->first);
    QVERIFY2(app.waitForFinished(10000), "the app went on after its main window closed");
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), 0);
    QCOMPARE(test::readAll(statusPath(home.path())), kFalse);
    // The phone that was waiting is let go with the app.
    QVERIFY(phone.waitForFinished(10000));
#endif
}

QTEST_MAIN(AppTest)
#include "app_test.moc"
