// The main controller in process, with real phones (glasswing-phone processes) on loopback: the
// invitation alert, trusted devices, the status display and the preview pump. What a whole run of
// the program shows (its output lines, status.json at the end) is proven in end_to_end_test.

#include "mainwindow/PhoneListPopup.h"
#include "mirroring/PreviewData.h"
#include "mirroring/StatusFile.h"
#include "mirroring/TrustedDevicesWindow.h"
#include "mirroring/ViewController.h"
#include "platform/NotificationCenter.h"
#include "platform/SerialQueue.h"
#include "platform/ViewAlpha.h"
#include "platform/peer/ControlMessage.h"
#include "support/PeerHarness.h"
#include "support/TestEnvironment.h"

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

using namespace glasswing;
using namespace Qt::StringLiterals;
using test::kWait;
using test::Phone;

namespace {

QString previewPath()
{
    return sharedCacheFile(u"Preview@3x.png"_s);
}

// Puts a preview in place the way the plug-in does: written beside it, then renamed.
void writePreview(const QByteArray& bytes)
{
    QDir().mkpath(sharedCacheFolder());
    const QString temporary = sharedCacheFile(u".Preview@3x.png.part"_s);
    QVERIFY(test::writeFile(temporary, bytes));
    QCOMPARE(std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(previewPath()).constData()), 0);
}

// Short limits, but none that a loaded machine could meet while the phones in this process wait
// their turn: these tests are about the app, not about liveness.
peer::PeerLimits appLimits()
{
    peer::PeerLimits limits = test::quickLimits();
    limits.tlsHandshakeTimeout = limits.upgradeTimeout = limits.invitationTimeout = limits.joinTimeout
        = limits.keepaliveTimeout = std::chrono::milliseconds(5000);
    return limits;
}

// One app's worth of the mirroring side, in this process.
struct Mac {
    // `prepare` runs in the Mac's own home before the controller's view loads.
    explicit Mac(const QStringList& trusted = {}, const peer::PeerLimits& limits = appLimits(),
                 const std::function<void()>& prepare = {})
        : controller(center, queue, limits)
    {
        if (!trusted.isEmpty())
            UserDefaults().setStringArray(u"Trusted Devices"_s, trusted);
        if (prepare)
            prepare();
        controller.view();
    }
    ~Mac() { queue.waitUntilIdle(); }

    Phone* phone(const QString& name, const QString& userId, const QStringList& more = {})
    {
        phones.push_back(std::make_unique<Phone>(controller.advertiser->port(), test::phoneArguments(name, userId) + more));
        return phones.back().get();
    }
    QByteArray status()
    {
        queue.waitUntilIdle();
        return test::readAll(home.statusFile());
    }
    int connected() const { return int(controller.session->connectedPeers().size()); }
    // The alert on screen, once there is one; null (and the caller's checks fail) if none comes.
    QMessageBox* alert()
    {
        (void)QTest::qWaitFor([&] { return controller.invitationAlert() && controller.invitationAlert()->isVisible(); },
                              kWait);
        return controller.invitationAlert();
    }
    // Clicks the button named `text` of the alert on screen; false when no alert comes.
    bool answer(const QString& text)
    {
        QMessageBox* box = alert();
        for (QAbstractButton* button : box ? box->buttons() : QList<QAbstractButton*>()) {
            if (button->text() == text)
                button->click();
        }
        return box;
    }

    test::IsolatedHome home;
    NotificationCenter center;
    SerialQueue queue{u"SerializationQueue"_s};
    ViewController controller;
    std::vector<std::unique_ptr<Phone>> phones;
};

QJsonValue stored(const char* key)
{
    return UserDefaults().objectForKey(QString::fromLatin1(key));
}

QJsonValue position(const QJsonValue& x, const QJsonValue& y)
{
    return QJsonObject{{u"x"_s, x}, {u"y"_s, y}};
}

// The list's rows as "text | text under it".
QStringList rows(const TrustedDevicesWindow& window)
{
    QStringList rows;
    for (int i = 0; i < window.list()->count(); ++i) {
        const QListWidgetItem* item = window.list()->item(i);
        rows << item->text() + u" | "_s + item->data(TrustedDevicesWindow::DetailRole).toString();
    }
    return rows;
}

// What a glasswing-phone saved with --out, frame by frame.
QList<QByteArray> savedFrames(const QString& folder)
{
    QList<QByteArray> frames;
    for (const QString& name : QDir(folder).entryList({u"message-*.bin"_s}, QDir::Files, QDir::Name))
        frames << test::readAll(folder + u'/' + name);
    return frames;
}

QList<QByteArray> images(const QList<QByteArray>& frames)
{
    QList<QByteArray> images;
    for (const QByteArray& frame : frames) {
        const qint64 size = PreviewData::largestImage(frame.size());
        images << frame.mid(PreviewData::imageOffset(size), size);
    }
    return images;
}

// A browser phone on the Mac's web port, as the page would be: upgraded to /session from its own
// origin, told the hello, then inviting with `userId`.
std::unique_ptr<test::RawPhone> browserPhone(Mac& mac, const QString& name, const QString& userId)
{
    const QByteArray host = "127.0.0.1:" + QByteArray::number(mac.controller.webViewerPort());
    test::RawPhone::Options options;
    options.keepBinaries = true;
    options.upgradeRequest = "GET /session HTTP/1.1\r\nHost: " + host + "\r\nOrigin: https://" + host
        + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
          "Sec-WebSocket-Version: 13\r\n\r\n";
    auto phone = std::make_unique<test::RawPhone>(mac.controller.webViewerPort(), options);
    if (QTest::qWaitFor([&] { return phone->texts.size() == 1 || phone->disconnected; }, kWait)
        && phone->texts.size() == 1)
        phone->sendText(R"({"type":"invitation","name":")" + name.toUtf8() + R"(","context":")"
                        + userId.toUtf8().toBase64() + R"("})");
    return phone;
}

} // namespace

class MirroringTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void startsDisconnectedThenShowsHowManyPhones_data();
    void startsDisconnectedThenShowsHowManyPhones();
    void theAlertAsksExactlyAndRemembersOnlyWhenTold_data();
    void theAlertAsksExactlyAndRemembersOnlyWhenTold();
    void theAlertSaysWhichKindOfPhoneAsks();
    void invitationsAreAskedOneAfterTheOther();
    void rememberedListsKeepWhatTheyHold_data();
    void rememberedListsKeepWhatTheyHold();
    void aRemovedTrustedDeviceIsCutOffAndAskedAboutAgain();
    void trustedDevicesFollowTheStore();
    void theChipListsThePhones();
    void aUserIdCannotForgeOutputLines_data();
    void aUserIdCannotForgeOutputLines();
    void thePumpSendsEachPreviewOnceAndSurvivesTheRest_data();
    void thePumpSendsEachPreviewOnceAndSurvivesTheRest();
    void theMainWindowComesBackWhereItWasLeft_data();
    void theMainWindowComesBackWhereItWasLeft();
    void theWebPortIsChosenOnceAndKept_data();
    void theWebPortIsChosenOnceAndKept();
};

void MirroringTest::startsDisconnectedThenShowsHowManyPhones_data()
{
    QTest::addColumn<int>("count"); // 0: disconnected
    QTest::addColumn<QString>("shown");
    QTest::newRow("disconnected, not found by DNS-SD") << 0 << QString();
    for (const auto& [count, shown] : std::initializer_list<std::pair<int, const char*>>{{999, "999"}, {1000, "999+"}})
        QTest::addRow("%d phones", count) << count << QString::fromLatin1(shown);
}

void MirroringTest::startsDisconnectedThenShowsHowManyPhones()
{
    QFETCH(int, count);
    QFETCH(QString, shown);
    // Whatever an earlier run left, the start says disconnected and notes the main window open.
    Mac mac({}, appLimits(), [] {
        QVERIFY(QDir().mkpath(sharedCacheFolder()) && test::writeFile(sharedCacheFile(u"status.json"_s), test::kStatusTrue));
        UserDefaults().setBool(u"Main Window Open"_s, false);
        UserDefaults().setBool(u"Welcome Window Open"_s, true);
    });
    QCOMPARE(mac.status(), test::kStatusFalse);
    QVERIFY(stored("Main Window Open") == QJsonValue(true) && stored("Welcome Window Open") == QJsonValue(false));
    ViewController& c = mac.controller;
    c.showConnectedStatus(count ? count : 3);
    if (!count)
        c.showDisconnectedStatus();
    QCOMPARE(alphaValue(c.ConnectedLight), count ? 1.0 : 0.0);
    QCOMPARE(alphaValue(c.iPhoneCounter), count ? 1.0 : 0.0);
    QCOMPARE(c.StatusLabel->attributedStringValue().string, count ? u"connected"_s : u"disconnected"_s);
    if (!count) {
        // The tests reach no Avahi daemon: a note under the window's picture says that phones
        // cannot find this computer, until the advertiser reports the daemon back.
        c.view()->show();
        QTRY_VERIFY_WITH_TIMEOUT(c.DiscoveryNote->isVisible() && c.DiscoveryNote->text().contains(u"Avahi"_s), kWait);
        c.showDiscoveryAvailable(true);
        QVERIFY(!c.DiscoveryNote->isVisible());
        return;
    }
    QCOMPARE(c.iPhoneCounter->stringValue(), shown);
}

void MirroringTest::theAlertAsksExactlyAndRemembersOnlyWhenTold_data()
{
    QTest::addColumn<QString>("name"); // as the phone sends it
    QTest::addColumn<QString>("answer"); // "Allow" or "Don't Allow"
    QTest::addColumn<bool>("ticked");
    const QString markup = u"Ada's <b>Phone</b>"_s, allow = u"Allow"_s, deny = u"Don't Allow"_s;
    QTest::newRow("allow, remembered") << markup << allow << true;
    QTest::newRow("allow, not remembered") << markup << allow << false;
    QTest::newRow("don't allow, box ticked") << markup << deny << true;
}

void MirroringTest::theAlertAsksExactlyAndRemembersOnlyWhenTold()
{
    QFETCH(QString, name);
    QFETCH(QString, answer);
    QFETCH(bool, ticked);
    const bool allowed = answer != u"Don't Allow"_s, remembered = allowed && ticked;
    Mac mac;
    Phone* phone = mac.phone(name, u"ada-1"_s);
    QMessageBox* alert = mac.alert();
    QVERIFY(alert && alert->checkBox() && alert->checkBox()->isChecked());
    QCOMPARE(alert->textFormat(), Qt::PlainText);
    QCOMPARE(alert->informativeText(), u"The Glasswing app on a phone."_s);
    QCOMPARE(alert->text(), u"Begin mirroring with \"%1\"?"_s.arg(name));
    alert->checkBox()->setChecked(ticked);
    mac.answer(answer);
    if (allowed) {
        QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    } else {
        QVERIFY(phone->waitForExit());
        QCOMPARE(phone->exitCode(), 2); // declined
    }
    // The name as the phone gave it when remembered, beside the list.
    const QJsonValue none(QJsonValue::Undefined);
    QCOMPARE(stored("Trusted Devices"), remembered ? QJsonValue(QJsonArray{u"ada-1"_s}) : none);
    QCOMPARE(stored("Trusted Device Names"), remembered ? QJsonValue(QJsonObject{{u"ada-1"_s, name}}) : none);
}

void MirroringTest::theAlertSaysWhichKindOfPhoneAsks()
{
    Mac mac;
    std::unique_ptr<test::RawPhone> browser = browserPhone(mac, u"iPhone"_s, u"web-1"_s);
    QCOMPARE(browser->texts.size(), 1);
    const QString code = QJsonDocument::fromJson(browser->texts.first()).object().value(u"code"_s).toString();
    QMessageBox* alert = mac.alert();
    QVERIFY(alert && code.size() == 4);
    QCOMPARE(alert->text(), u"Begin mirroring with \"iPhone\"?"_s);
    QCOMPARE(alert->informativeText(), u"A web browser on a phone, showing the code %1."_s.arg(code));
}

void MirroringTest::invitationsAreAskedOneAfterTheOther()
{
    Mac mac({u"known"_s});
    mac.phone(u"First"_s, u"same"_s);
    QMessageBox* first = mac.alert();
    QVERIFY(first);
    {
        // An invitation that does not say who asks is declined unasked, and says nothing.
        test::StdoutCapture out;
        Phone anonymous(mac.controller.advertiser->port(), {u"--no-context"_s});
        QVERIFY(anonymous.waitForExit() && anonymous.exitCode() == 2);
        QCOMPARE(out.text(), QByteArray());
    }
    // The user is away: a remembered phone does not wait behind the alert.
    mac.phone(u"Known"_s, u"known"_s);
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    // Queued in the order they ask.
    Phone* second = mac.phone(u"Second"_s, u"same"_s);
    QTRY_COMPARE_WITH_TIMEOUT(mac.controller.pendingInvitationCount(), 2, kWait);
    Phone* leaving = mac.phone(u"Leaving"_s, u"gone"_s);
    QTRY_COMPARE_WITH_TIMEOUT(mac.controller.pendingInvitationCount(), 3, kWait);
    QCOMPARE(mac.controller.invitationAlert(), first);
    mac.answer(u"Allow"_s);
    // The second's turn reads the list that the first answer wrote: it is let in unasked.
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 3, kWait);
    QPointer<QMessageBox> next = mac.alert();
    QVERIFY(next && next != first && next->text().contains(u"\"Leaving\""_s));
    // A phone that leaves while queued is dropped; one that leaves while asked about takes its alert along.
    Phone* third = mac.phone(u"Third"_s, u"other"_s);
    QTRY_COMPARE_WITH_TIMEOUT(mac.controller.pendingInvitationCount(), 2, kWait);
    third->kill();
    QTRY_COMPARE_WITH_TIMEOUT(mac.controller.pendingInvitationCount(), 1, kWait);
    leaving->kill();
    QTRY_VERIFY_WITH_TIMEOUT(!next || !next->isVisible(), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(mac.controller.pendingInvitationCount(), 0, kWait);
    QCOMPARE(second->state(), QProcess::Running);
    QCOMPARE(stored("Trusted Devices"), QJsonValue(QJsonArray{u"known"_s, u"same"_s}));
}

void MirroringTest::rememberedListsKeepWhatTheyHold_data()
{
    QTest::addColumn<QJsonValue>("before");
    QTest::addColumn<QString>("userId");
    QTest::addColumn<bool>("asked");
    QTest::addColumn<QJsonValue>("after"); // once allowed
    const QString decomposed = u"Zoe\u0301"_s;
    const QJsonObject object{{u"a"_s, true}};
    QTest::newRow("elements that are not strings stay") << QJsonValue(QJsonArray{1, object, u"bob"_s}) << u"ada"_s
                                                        << true << QJsonValue(QJsonArray{1, object, u"bob"_s, u"ada"_s});
    QTest::newRow("canonically equivalent")
        << QJsonValue(QJsonArray{decomposed}) << u"Zo\u00e9"_s << false << QJsonValue(QJsonArray{decomposed});
    QTest::newRow("letter case differs")
        << QJsonValue(QJsonArray{u"ADA"_s}) << u"ada"_s << true << QJsonValue(QJsonArray{u"ADA"_s, u"ada"_s});
}

void MirroringTest::rememberedListsKeepWhatTheyHold()
{
    QFETCH(QJsonValue, before);
    QFETCH(QString, userId);
    QFETCH(bool, asked);
    QFETCH(QJsonValue, after);
    Mac mac;
    UserDefaults().setObject(u"Trusted Devices"_s, before);
    mac.phone(u"Phone"_s, userId);
    if (asked)
        QVERIFY(mac.answer(u"Allow"_s));
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    QVERIFY(!mac.controller.invitationAlert());
    QCOMPARE(stored("Trusted Devices"), after);
}

void MirroringTest::aRemovedTrustedDeviceIsCutOffAndAskedAboutAgain()
{
    // What the list shows as it changes: trustedDevicesFollowTheStore.
    Mac mac({}, appLimits(),
            [] { UserDefaults().setObject(u"Trusted Devices"_s, QJsonArray{u"lost"_s, 7, u"kept"_s}); });
    Phone* kept = mac.phone(u"Kept"_s, u"kept"_s);
    Phone* lost = mac.phone(u"Lost"_s, u"lost"_s);
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 2, kWait);
    mac.controller.showTrustedDevicesWindow();
    QPointer<TrustedDevicesWindow> window = mac.controller.trustedDevicesWindow();
    QVERIFY(window && window->isVisible());
    window->list()->item(0)->setSelected(true);
    window->removeButton()->click();
    QCOMPARE(stored("Trusted Devices"), QJsonValue(QJsonArray{7, u"kept"_s}));
    // The lost phone is cut off at once; the other stays.
    QVERIFY(lost->waitForExit());
    QCOMPARE(lost->exitCode(), 3); // disconnected by the Mac
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    QCOMPARE(kept->state(), QProcess::Running);
    QTest::keyClick(window, Qt::Key_Escape);
    QTRY_VERIFY_WITH_TIMEOUT(!window, kWait);
    // It is asked about again.
    mac.phone(u"Lost"_s, u"lost"_s);
    QMessageBox* alert = mac.alert();
    QVERIFY(alert && alert->text().contains(u"\"Lost\""_s));
}

void MirroringTest::trustedDevicesFollowTheStore()
{
    test::IsolatedHome home;
    // A store from before names were kept: user IDs alone.
    UserDefaults defaults;
    defaults.setObject(u"Trusted Devices"_s, QJsonArray{u"ada-1"_s, u"old"_s});
    TrustedDevicesWindow window;
    window.show();
    QCOMPARE(rows(window), (QStringList{u"ada-1 | "_s, u"old | "_s}));
    window.list()->item(1)->setSelected(true);
    const QByteArray next = R"({"Trusted Devices": ["ada-1", "old", "new\u0007"], "Other": 5,
        "Trusted Device Names": {"ada-1": "Ada's Phone", "new\u0007": "New <i>Tab</i>", "old": 3}})";
    // Another process replaces the file by a rename, which ends the watch on the old one.
    QProcess child;
    const QString script = u"printf %s \"$1\" > \"$0.new\" && mv \"$0.new\" \"$0\""_s;
    child.start(u"sh"_s, {u"-c"_s, script, defaults.filePath(), QString::fromUtf8(next)});
    QVERIFY(child.waitForFinished(kWait) && child.exitCode() == 0);
    // Names where recorded, the ID beneath; control characters and markup shown as text.
    const QString added = u"New <i>Tab</i> | new\uFFFD"_s;
    QTRY_COMPARE_WITH_TIMEOUT(rows(window), (QStringList{u"Ada's Phone | ada-1"_s, u"old | "_s, added}), kWait);
    QVERIFY(window.list()->item(1)->isSelected());
    // And again, from this process, after the watch has been set up anew.
    UserDefaults().setObject(u"Trusted Devices"_s, QJsonArray{u"new\u0007"_s});
    QTRY_COMPARE_WITH_TIMEOUT(rows(window), QStringList{added}, kWait);
    // Removing keeps what is not ours: the other key and the names of other devices.
    window.list()->item(0)->setSelected(true);
    window.removeButton()->click();
    QCOMPARE(rows(window), QStringList{u"No trusted devices yet. | "_s});
    QCOMPARE(stored("Other"), QJsonValue(5));
    QCOMPARE(stored("Trusted Device Names"), QJsonValue(QJsonObject{{u"ada-1"_s, u"Ada's Phone"_s}, {u"old"_s, 3}}));
}

void MirroringTest::theChipListsThePhones()
{
    // One named like markup.
    const QStringList names{u"A"_s, u"<b>B</b> & Co"_s, u"C"_s};
    const QStringList listed{u"3 PHONES CONNECTED"_s, u"A\tapp"_s, u"<b>B</b> & Co\tapp"_s, u"C\tapp"_s};
    const QString toolTip = u"3 phones connected\nA (app)\n<b>B</b> & Co (app)\nC (app)"_s;
    Mac mac({u"p0"_s, u"p1"_s, u"p2"_s});
    ViewController& c = mac.controller;
    c.view()->show();
    QVERIFY(QTest::qWaitForWindowExposed(c.view()));
    for (int i = 0; i < names.size(); ++i) { // one after the other, so that the list has their order
        mac.phone(names.at(i), u"p%1"_s.arg(i));
        QTRY_COMPARE_WITH_TIMEOUT(c.connectedPhones().size(), i + 1, kWait);
    }
    QVERIFY(c.iPhoneChip->toolTip() == toolTip && c.iPhoneCounter->toolTip() == toolTip);
    // A click on the chip drops the list down under it, every name as plain text.
    QTest::mouseClick(c.iPhoneCounter, Qt::LeftButton);
    QVERIFY(c.phoneList() && c.phoneList()->isVisible());
    QCOMPARE(c.phoneList()->lines(), listed);
    for (QLabel* label : c.phoneList()->findChildren<QLabel*>())
        QCOMPARE(label->textFormat(), Qt::PlainText);
    // The list follows a phone that leaves while it is open.
    mac.phones.front()->kill();
    QTRY_COMPARE_WITH_TIMEOUT(c.connectedPhones().size(), 2, kWait);
    QCOMPARE(c.phoneList()->lines().mid(1), listed.mid(2));
    // The menu command, from whoever posts it, ends the session's connections.
    mac.center.post(u"Disconnect Menu Item"_s);
    for (const auto& phone : mac.phones) // the first was killed; the Mac disconnected the others
        QVERIFY(phone->waitForExit() && (phone == mac.phones.front() || phone->exitCode() == 3));
    QTRY_COMPARE_WITH_TIMEOUT(mac.status(), test::kStatusFalse, kWait);
}

void MirroringTest::aUserIdCannotForgeOutputLines_data()
{
    QTest::addColumn<QByteArray>("context");
    QTest::newRow("line feed") << QByteArray("eve\nConnected: Forged");
    QTest::newRow("line separator") << QByteArray("eve\xE2\x80\xA8" "Connected: Forged");
    // As long as a context can be, under the largest control message.
    QTest::newRow("11 KiB of line feeds, ill-formed UTF-8")
        << QByteArray("eve\xFF") + QByteArray(11 * 1024, '\n') + QByteArray("Connected: Forged");
}

void MirroringTest::aUserIdCannotForgeOutputLines()
{
    QFETCH(QByteArray, context);
    Mac mac;
    test::StdoutCapture out;
    // Asked and allowed; then the same phone again, remembered by its user ID as sent. Each connects
    // only when its turn comes: one that waited unheard would meet the invitation's time limit.
    std::unique_ptr<test::RawPhone> phones[2];
    for (int i = 0; i < 2; ++i) {
        phones[i] = std::make_unique<test::RawPhone>(mac.controller.advertiser->port());
        test::RawPhone* phone = phones[i].get();
        QVERIFY(QTest::qWaitFor([&] { return phone->upgraded || phone->disconnected; }, kWait) && phone->upgraded);
        phone->sendText(peer::ControlMessage::invitation(u"Eve"_s, context).serialize());
        QVERIFY(i == 1 || mac.answer(u"Allow"_s));
        QVERIFY(QTest::qWaitFor([&] { return phone->texts.size() == 1; }, kWait) && phone->texts.first().contains("accept"));
        phone->sendText(R"({"type":"joined"})");
        QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), i + 1, kWait);
    }
    QCOMPARE(stored("Trusted Devices"), QJsonValue(QJsonArray{QString::fromUtf8(context)}));
    // Each event is one line, and no line holds a character that a reader could take for a
    // line break or a terminator.
    QString text;
    QTRY_VERIFY_WITH_TIMEOUT((text = QString::fromUtf8(out.text())).count(u'\n') >= 7, kWait);
    const QStringList lines = text.split(u'\n');
    const QStringList starts{u"Incoming User ID: eve"_s,          u"Connecting: Eve"_s, u"Connected: Eve"_s,
                             u"Incoming User ID: eve"_s,          u"Allowing Incoming User ID eve"_s,
                             u"Connecting: Eve"_s,                u"Connected: Eve"_s,  QString()};
    QCOMPARE(lines.size(), starts.size());
    for (int i = 0; i < lines.size(); ++i) {
        QVERIFY2(lines.at(i).startsWith(starts.at(i)), qPrintable(lines.at(i).left(80)));
        for (const QChar c : lines.at(i))
            QVERIFY2(c.category() != QChar::Other_Control && c.category() != QChar::Separator_Line
                         && c.category() != QChar::Separator_Paragraph,
                     qPrintable(u"U+%1 in line %2"_s.arg(c.unicode(), 4, 16, QLatin1Char('0')).arg(i + 1)));
    }
}

void MirroringTest::thePumpSendsEachPreviewOnceAndSurvivesTheRest_data()
{
    QTest::addColumn<QString>("what"); // what the plug-in, or anything else, puts at the preview's path
    QTest::addColumn<QByteArrayList>("sent"); // the images the phone gets, ending with a preview put after
    QTest::addColumn<QByteArray>("said"); // on standard output
    const auto row = [](const char* name, const char* what, const QByteArrayList& sent, const QByteArray& said = {}) {
        QTest::newRow(name) << QString::fromLatin1(what) << sent << said;
    };
    row("a preview", "preview", {"A", "after"});
    // The plug-in finishes the next frame at the worst moment: just after the pump has claimed the
    // last one to read it; or claimed one it then fails to read, and must not put back over the next.
    // (A frame marked "?" may give way to the newer one before the phone has it: newest wins.)
    row("renamed in while the last is claimed", "renamed in", {"A?", "B", "after"});
    row("renamed in while an unreadable one is claimed", "unreadable", {"B", "after"});
    // A frame an earlier run had taken to read when it died: stale, and never sent.
    row("claimed before a crash", "claimed", {"after"});
    row("eight in a row, by the folder's word alone", "timer stopped", {"0", "1", "2", "3", "4", "5", "6", "7", "after"});
    // An open that would block, and hold the tick.
    row("FIFO with no writer", "fifo", {"after"});
    // The user clears the caches; the plug-in makes its folder again for the next preview. Moved
    // with its parent, the old folder's watch hears nothing at all.
    row("the folder removed", "removed", {"after"});
    row("its parent renamed away", "parent", {"after"});
    row("the largest that fits the frame", "fits", {QByteArray(PreviewData::largestImage(1024 * 1024), 'f'), "after"});
    row("one byte larger", "too large", {"after"},
        "error sending data: Error Domain=GlasswingPeerLinkErrorDomain Code=2 "
        "\"The preview is larger than the largest frame (1048576 bytes).\"\n");
}

void MirroringTest::thePumpSendsEachPreviewOnceAndSurvivesTheRest()
{
    QFETCH(QString, what);
    QFETCH(QByteArrayList, sent);
    QFETCH(QByteArray, said);
    const auto is = [&](std::initializer_list<const char*> names) {
        return std::any_of(names.begin(), names.end(), [&](const char* name) { return what == QString::fromLatin1(name); });
    };
    peer::PeerLimits limits = appLimits();
    if (is({"fits", "too large"}))
        limits.maxSendMessageBytes = 1024 * 1024;
    const QString claimed = u".Preview@3x.png.reading"_s;
    Mac mac({u"p"_s}, limits, [&] {
        if (what == u"claimed"_s)
            QVERIFY(QDir().mkpath(sharedCacheFolder()) && test::writeFile(sharedCacheFile(claimed), "stale"));
    });
    QVERIFY(!QFileInfo::exists(sharedCacheFile(claimed))); // gone at start, before any preview could replace it
    QTemporaryDir frames;
    mac.phone(u"P"_s, u"p"_s, {u"--out"_s, frames.path()});
    QTRY_COMPARE_WITH_TIMEOUT(mac.status(), test::kStatusTrue, kWait); // connected, and said so
    test::StdoutCapture out;
    QVERIFY(QDir().mkpath(sharedCacheFolder()));
    const QByteArray path = QFile::encodeName(previewPath());
    // The pump watches the folder from the first tick after the folder exists.
    const auto aTickPasses = [&] { return QSignalSpy(mac.controller.timerContainer, &QTimer::timeout).wait(kWait); };
    int claims = 0;
    mac.controller.whilePreviewClaimed = [&] {
        if (++claims == 1 && is({"renamed in", "unreadable"}))
            writePreview("B");
    };
    // Loopback has no link speed: a regular file that fails to read.
    const char* unreadable = "/sys/class/net/lo/speed";
    if (is({"preview", "renamed in"})) {
        writePreview("A");
    } else if (what == u"unreadable"_s) {
        QFile probe(QString::fromLatin1(unreadable));
        char byte;
        if (!probe.open(QIODevice::ReadOnly) || probe.read(&byte, 1) >= 0)
            QSKIP("no file here that opens as a regular file and fails to read");
        QCOMPARE(::symlink(unreadable, path.constData()), 0);
    } else if (what == u"timer stopped"_s) {
        // Without its timer, the pump hears of each finished file from the folder.
        QVERIFY(aTickPasses());
        mac.controller.timerContainer->stop();
        for (int i = 0; i < 8; ++i) {
            writePreview(QByteArray::number(i));
            // Here before the next is written: a newer frame replaces one the phone has not had.
            QTRY_VERIFY_WITH_TIMEOUT(images(savedFrames(frames.path())).endsWith(QByteArray::number(i)), kWait);
        }
    } else if (is({"removed", "parent"})) {
        // Every status write done before the folder goes: one written later would make the new
        // folder itself, and so come back before the new folder is watched.
        QVERIFY(aTickPasses());
        mac.queue.waitUntilIdle();
        const QString folder = sharedCacheFolder();
        const QString parent = QFileInfo(folder).path();
        QVERIFY(what == u"removed"_s ? QDir(folder).removeRecursively() : QDir().rename(parent, parent + u".old"_s));
        QVERIFY(QDir().mkpath(folder));
        // The status comes back with the folder, and once the new folder is found the folder's
        // own word alone brings the next preview in.
        QTRY_COMPARE_WITH_TIMEOUT(mac.status(), test::kStatusTrue, kWait);
        mac.controller.timerContainer->stop();
    } else if (what == u"fifo"_s) {
        QCOMPARE(::mkfifo(path.constData(), 0600), 0);
        // The main thread keeps turning: a tick that blocked would never let these waits end.
        for (int i = 0; i < 3; ++i)
            QVERIFY(aTickPasses());
        QVERIFY(QFile::remove(previewPath()));
    } else if (is({"fits", "too large"})) {
        writePreview(QByteArray(PreviewData::largestImage(limits.maxSendMessageBytes) + (what == u"too large"_s), 'f'));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(previewPath()), kWait);
    QByteArrayList every, required;
    for (const QByteArray& frame : sent) {
        every << (frame.endsWith('?') ? frame.chopped(1) : frame);
        if (!frame.endsWith('?'))
            required << frame;
    }
    const auto received = [&](bool withAfter) {
        QByteArrayList got = images(savedFrames(frames.path()));
        if (!withAfter)
            got << "after";
        return got == every || got == required;
    };
    // The phone has all before the last preview is written: a newer frame replaces one not yet sent.
    QTRY_VERIFY_WITH_TIMEOUT(received(false), kWait);
    // Once a real preview takes its place, it goes out as ever.
    writePreview("after");
    QTRY_VERIFY_WITH_TIMEOUT(images(savedFrames(frames.path())).endsWith("after"), kWait);
    QVERIFY2(received(true), images(savedFrames(frames.path())).join(' ').constData());
    QCOMPARE(out.text(), said);
    if (is({"renamed in", "unreadable"}))
        QCOMPARE(claims, 3);
    // Nothing is left in the folder, of the previews or of the pump's own.
    QCOMPARE(QDir(sharedCacheFolder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList{u"status.json"_s});
    // Picked up at once, but never more than ten times a second, however fast the previews come.
    const QList<QByteArray> all = savedFrames(frames.path());
    for (qsizetype i = 1; i < all.size() && what == u"timer stopped"_s; ++i) {
        const double spacing = qFromBigEndian<double>(all.at(i).constData() + 30)
            - qFromBigEndian<double>(all.at(i - 1).constData() + 30);
        QVERIFY2(spacing >= 0.099, qPrintable(u"frame %1 read %2 s after the one before"_s.arg(i).arg(spacing)));
    }
}

void MirroringTest::theMainWindowComesBackWhereItWasLeft_data()
{
    QTest::addColumn<QJsonValue>("before"); // what an earlier run left under "Main Window Position"
    QTest::addColumn<bool>("restored");
    QTest::newRow("on the screen") << position(40, 60) << true;
    QTest::newRow("on a screen unplugged since") << position(-5000, 9000) << false;
}

void MirroringTest::theMainWindowComesBackWhereItWasLeft()
{
    QFETCH(QJsonValue, before);
    QFETCH(bool, restored);
    Mac mac({}, appLimits(), [&] {
        QVERIFY(UserDefaults().setBool(u"Has Shown Mac Welcome"_s, true));
        QVERIFY(UserDefaults().setObject(u"Main Window Position"_s, before));
    });
    QWidget* window = mac.controller.view();
    const QRect available = window->screen()->availableGeometry();
    const QPoint corner(available.right() - window->width() - 24, available.top() + 24);
    QCOMPARE(window->pos(), restored ? QPoint(40, 60) : corner);
    QCOMPARE(stored("Main Window Position"), before); // nothing stored until the user moves it
    // Moved by the user: stored once the move settles, and again, at once, when it closes.
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    window->move(120, 140);
    QTRY_COMPARE_WITH_TIMEOUT(stored("Main Window Position"), position(120, 140), kWait);
    window->move(200, 150);
    window->close();
    QCOMPARE(stored("Main Window Position"), position(200, 150));
}

void MirroringTest::theWebPortIsChosenOnceAndKept_data()
{
    // Only a whole number that is a port is taken (the port's own life: web_listener_test).
    QTest::addColumn<QJsonValue>("before"); // 0 stands for a port that was free a moment ago
    QTest::addColumn<bool>("kept"); // the stored value stays as it was, and is the port
    QTest::newRow("first start") << QJsonValue(QJsonValue::Undefined) << false;
    QTest::newRow("a stored port") << QJsonValue(0) << true;
    QTest::newRow("past the last port") << QJsonValue(70000) << false;
}

void MirroringTest::theWebPortIsChosenOnceAndKept()
{
    QFETCH(QJsonValue, before);
    QFETCH(bool, kept);
    if (before == QJsonValue(0)) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::Any));
        before = int(probe.serverPort());
    }
    Mac mac({}, appLimits(), [&] {
        if (!before.isUndefined())
            QVERIFY(UserDefaults().setObject(u"Web Viewer Port"_s, before));
    });
    const quint16 port = mac.controller.webViewerPort();
    QVERIFY(port != 0 && port != mac.controller.advertiser->port());
    QCOMPARE(stored("Web Viewer Port"), kept ? before : QJsonValue(int(port)));
    QVERIFY(!kept || port == before.toInt());
}

QTEST_MAIN(MirroringTest)
#include "mirroring_test.moc"
