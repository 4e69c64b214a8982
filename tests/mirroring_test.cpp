// The main controller in process, with real phones (glasswing-phone processes) on loopback: the
// invitation alert, trusted devices, the status display and the preview pump. What a whole run of
// the program shows (its output lines, status.json at the end) is proven in end_to_end_test.

#include "mainwindow/PhoneListPopup.h"
#include "mirroring/PreviewData.h"
#include "mirroring/StatusFile.h"
#include "mirroring/TrustedDevicesWindow.h"
#include "mirroring/ViewController.h"
#include "platform/ApplicationIcon.h"
#include "platform/NotificationCenter.h"
#include "platform/SerialQueue.h"
#include "platform/ViewAlpha.h"
#include "platform/peer/ControlMessage.h"
#include "support/PeerHarness.h"
#include "support/RawPhone.h"
#include "support/TestEnvironment.h"
#include "support/WebClient.h"

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QtEndian>

#include <atomic>
#include <cstdio>
#include <sys/stat.h>
#include <thread>

using namespace glasswing;
using test::kWait;
using test::Phone;

namespace {

QString previewPath()
{
    return sharedCacheFile(QStringLiteral("Preview@3x.png"));
}

// Puts a preview in place the way the plug-in does: written beside it, then renamed.
void writePreview(const QByteArray& bytes)
{
    QDir().mkpath(sharedCacheFolder());
    const QString temporary = sharedCacheFile(QStringLiteral(".Preview@3x.png.part"));
    QVERIFY(test::writeFile(temporary, bytes));
    QCOMPARE(std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(previewPath()).constData()), 0);
}

// One app's worth of the mirroring side, in this process.
struct Mac {
    // `prepare` runs in the Mac's own home before the controller's view loads.
    explicit Mac(const QStringList& trusted = {}, const peer::PeerLimits& limits = test::quickLimits(),
                 const std::function<void()>& prepare = {})
        : controller(center, queue, limits)
    {
        if (!trusted.isEmpty())
            UserDefaults().setStringArray(QStringLiteral("Trusted Devices"), trusted);
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

    test::IsolatedHome home;
    NotificationCenter center;
    SerialQueue queue{QStringLiteral("SerializationQueue")};
    ViewController controller;
    std::vector<std::unique_ptr<Phone>> phones;
};

void answer(QMessageBox* alert, const QString& text)
{
    for (QAbstractButton* button : alert->buttons()) {
        if (button->text() == text)
            button->click();
    }
}

QJsonValue stored(const char* key)
{
    return UserDefaults().objectForKey(QString::fromLatin1(key));
}

// The list's rows as "text | text under it".
QStringList rows(const TrustedDevicesWindow& window)
{
    QStringList rows;
    for (int i = 0; i < window.list()->count(); ++i) {
        const QListWidgetItem* item = window.list()->item(i);
        rows << item->text() + QStringLiteral(" | ") + item->data(TrustedDevicesWindow::DetailRole).toString();
    }
    return rows;
}

// What a glasswing-phone saved with --out, frame by frame.
QList<QByteArray> savedFrames(const QString& folder)
{
    QList<QByteArray> frames;
    for (const QString& name : QDir(folder).entryList({QStringLiteral("message-*.bin")}, QDir::Files, QDir::Name))
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

QByteArray frame(int n)
{
    return QByteArray::number(n);
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
    void anInvitationWithoutContextIsDeclinedUnasked();
    void rememberedListsKeepWhatTheyHold_data();
    void rememberedListsKeepWhatTheyHold();
    void aRemovedTrustedDeviceIsCutOffAndAskedAboutAgain();
    void trustedDevicesFollowTheStore_data();
    void trustedDevicesFollowTheStore();
    void theChipListsThePhones_data();
    void theChipListsThePhones();
    void aNoteSaysWhenPhonesCannotFindThisComputer();
    void aUserIdCannotForgeOutputLines_data();
    void aUserIdCannotForgeOutputLines();
    void thePumpSendsEachPreviewOnceAndSurvivesTheRest_data();
    void thePumpSendsEachPreviewOnceAndSurvivesTheRest();
    void theFolderIsWatchedAgainOnceReplaced_data();
    void theFolderIsWatchedAgainOnceReplaced();
    void aJoiningPhoneGetsTheNewestFrameAndNothingOlder();
    void theMainWindowComesBackWhereItWasLeft_data();
    void theMainWindowComesBackWhereItWasLeft();
    void theWebPortIsChosenOnceAndKept_data();
    void theWebPortIsChosenOnceAndKept();
    void theWebIdentityIsKeptAndRenewedOnRequest();
};

void MirroringTest::startsDisconnectedThenShowsHowManyPhones_data()
{
    QTest::addColumn<int>("count"); // 0: disconnected
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("chip");
    QTest::newRow("disconnected") << 0 << QString() << QString();
    for (const auto& [count, shown] : std::initializer_list<std::pair<int, const char*>>{
             {1, "1"}, {9, "9"}, {12, "12"}, {999, "999"}, {1000, "999+"}}) {
        QTest::addRow("%d phones", count)
            << count << QString::fromLatin1(shown)
            << (count < 10 ? QStringLiteral("Phone Chip") : QStringLiteral("Phone Chip Wide"));
    }
}

void MirroringTest::startsDisconnectedThenShowsHowManyPhones()
{
    QFETCH(int, count);
    QFETCH(QString, shown);
    QFETCH(QString, chip);
    // Whatever an earlier run left, the start says disconnected and notes the main window open.
    Mac mac({}, test::quickLimits(), [] {
        QVERIFY(QDir().mkpath(sharedCacheFolder()) && test::writeFile(sharedCacheFile(QStringLiteral("status.json")), test::kStatusTrue));
        UserDefaults().setBool(QStringLiteral("Main Window Open"), false);
        UserDefaults().setBool(QStringLiteral("Welcome Window Open"), true);
    });
    QCOMPARE(mac.status(), test::kStatusFalse);
    QCOMPARE(stored("Main Window Open"), QJsonValue(true));
    QCOMPARE(stored("Welcome Window Open"), QJsonValue(false));
    ViewController& c = mac.controller;
    c.showConnectedStatus(count ? count : 3);
    if (!count)
        c.showDisconnectedStatus();
    const bool on = count > 0;
    QCOMPARE(alphaValue(c.ConnectedLight), on ? 1.0 : 0.0);
    QCOMPARE(alphaValue(c.DisconnectedLight), on ? 0.0 : 1.0);
    QCOMPARE(alphaValue(c.ActivityIndicator), on ? 0.0 : 1.0);
    QCOMPARE(alphaValue(c.iPhoneChip), on ? 1.0 : 0.0);
    QCOMPARE(alphaValue(c.iPhoneCounter), on ? 1.0 : 0.0);
    QCOMPARE(c.StatusImage->image()->name, on ? QStringLiteral("ConnectedLabel") : QStringLiteral("DisconnectedLabel"));
    QCOMPARE(c.StatusLabel->attributedStringValue().string, on ? QStringLiteral("connected") : QStringLiteral("disconnected"));
    QVERIFY(c.StatusLabel->isHidden());
    if (!on)
        return;
    QCOMPARE(c.iPhoneCounter->stringValue(), shown);
    QCOMPARE(c.iPhoneChip->image()->name, chip);
    // Right of the chip's divider (32 points in), within the chip, the chip within the window
    // and clear of the status text; the number whole, with room to breathe.
    const QRect chipRect = c.iPhoneChip->geometry();
    const QRect counter = c.iPhoneCounter->geometry();
    QCOMPARE(counter.left(), chipRect.left() + 32);
    QCOMPARE(counter.right(), chipRect.right());
    QCOMPARE(chipRect.right(), 299);
    QVERIFY(chipRect.left() > c.StatusImage->geometry().right());
    QCOMPARE(c.iPhoneChip->image()->size.width(), qreal(chipRect.width()));
    QVERIFY(QFontMetrics(c.iPhoneCounter->font()).horizontalAdvance(shown) + 8 <= counter.width());
}

void MirroringTest::theAlertAsksExactlyAndRemembersOnlyWhenTold_data()
{
    QTest::addColumn<QString>("name"); // as the phone sends it
    QTest::addColumn<QString>("shown"); // between the quotes; empty when elided
    QTest::addColumn<QString>("answer"); // "Allow", "Don't Allow" or "Return"
    QTest::addColumn<bool>("ticked");
    QTest::addColumn<bool>("remembered");
    const QString markup = QStringLiteral("Ada's <b>Phone</b>");
    QTest::newRow("allow, remembered") << markup << markup << QStringLiteral("Allow") << true << true;
    QTest::newRow("allow, not remembered") << markup << markup << QStringLiteral("Allow") << false << false;
    QTest::newRow("Return allows") << markup << markup << QStringLiteral("Return") << true << true;
    QTest::newRow("don't allow, box ticked") << markup << markup << QStringLiteral("Don't Allow") << true << false;
    QTest::newRow("wide, within the byte limit")
        << QString(63, u'W') << QString() << QStringLiteral("Allow") << true << true;
    QTest::newRow("cut at the byte limit")
        << QStringLiteral("Studio tablet of the design team on the third floor by the window") << QString()
        << QStringLiteral("Don't Allow") << true << false;
}

void MirroringTest::theAlertAsksExactlyAndRemembersOnlyWhenTold()
{
    QFETCH(QString, name);
    QFETCH(QString, shown);
    QFETCH(QString, answer);
    QFETCH(bool, ticked);
    QFETCH(bool, remembered);
    Mac mac;
    Phone* phone = mac.phone(name, QStringLiteral("ada-1"));
    QMessageBox* alert = mac.alert();
    QVERIFY(alert && alert->checkBox());
    QCOMPARE(alert->textFormat(), Qt::PlainText);
    QCOMPARE(alert->informativeText(), QStringLiteral("The Glasswing app on a phone."));
    QCOMPARE(alert->checkBox()->text(), QStringLiteral("Remember this device"));
    QVERIFY(alert->checkBox()->isChecked());
    QCOMPARE(alert->buttons().size(), 2);
    QCOMPARE(alert->buttons().at(0)->text(), QStringLiteral("Allow"));
    QCOMPARE(alert->buttons().at(1)->text(), QStringLiteral("Don't Allow"));
    QCOMPARE(alert->defaultButton(), alert->buttons().at(0));
    // The app's icon says who asks.
    QCOMPARE(alert->icon(), QMessageBox::NoIcon);
    const QImage icon = alert->iconPixmap().toImage();
    QVERIFY(!icon.isNull());
    QCOMPARE(icon, applicationIcon().pixmap(icon.size()).toImage().convertToFormat(icon.format()));
    const QString text = alert->text();
    QVERIFY2(text.startsWith(QStringLiteral("Begin mirroring with \"")) && text.endsWith(QStringLiteral("\"?")),
             qPrintable(text));
    const QString inQuotes = text.mid(22, text.size() - 24);
    if (!shown.isEmpty()) {
        QCOMPARE(inQuotes, shown);
    } else {
        // Too wide: elided with an ellipsis, never cut silently, within 36 "x" of the alert's font,
        // and nothing of the text overflows the alert.
        const QStringList around = inQuotes.split(QStringLiteral("…"));
        QVERIFY2(around.size() > 1 && !around.first().isEmpty() && name.startsWith(around.first()), qPrintable(inQuotes));
        const QFontMetrics metrics(alert->font());
        QVERIFY(metrics.horizontalAdvance(inQuotes) <= metrics.horizontalAdvance(QLatin1Char('x')) * 36);
        for (QLabel* label : alert->findChildren<QLabel*>())
            QVERIFY(label->text() != text || label->sizeHint().width() <= alert->width());
    }

    alert->checkBox()->setChecked(ticked);
    if (answer == QStringLiteral("Return"))
        QTest::keyClick(alert, Qt::Key_Return);
    else
        ::answer(alert, answer);
    if (answer != QStringLiteral("Don't Allow")) {
        QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    } else {
        QVERIFY(phone->waitForExit());
        QCOMPARE(phone->exitCode(), 2); // declined
    }
    // The name as the phone gave it when remembered, beside the list.
    QCOMPARE(stored("Trusted Devices"),
             remembered ? QJsonValue(QJsonArray{QStringLiteral("ada-1")}) : QJsonValue(QJsonValue::Undefined));
    QCOMPARE(stored("Trusted Device Names"),
             remembered ? QJsonValue(QJsonObject{{QStringLiteral("ada-1"), name}}) : QJsonValue(QJsonValue::Undefined));
    QTRY_VERIFY_WITH_TIMEOUT(!mac.controller.invitationAlert(), kWait);
    // The same phone again: asked again unless remembered.
    mac.phone(name, QStringLiteral("ada-1"));
    if (remembered) {
        QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 2, kWait);
        QVERIFY(!mac.controller.invitationAlert());
    } else {
        QVERIFY(mac.alert());
    }
}

void MirroringTest::theAlertSaysWhichKindOfPhoneAsks()
{
    Mac mac;
    std::unique_ptr<test::RawPhone> browser = browserPhone(mac, QStringLiteral("iPhone"), QStringLiteral("web-1"));
    QCOMPARE(browser->texts.size(), 1);
    const QString code = QJsonDocument::fromJson(browser->texts.first()).object().value(QStringLiteral("code")).toString();
    QCOMPARE(code.size(), 4);
    QMessageBox* alert = mac.alert();
    QVERIFY(alert);
    QCOMPARE(alert->text(), QStringLiteral("Begin mirroring with \"iPhone\"?"));
    QCOMPARE(alert->informativeText(), QStringLiteral("A web browser on a phone, showing the code %1.").arg(code));
    answer(alert, QStringLiteral("Allow"));
    QTRY_COMPARE_WITH_TIMEOUT(browser->texts.size(), 2, kWait);
    browser->sendText(R"({"type":"joined"})");
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
}

void MirroringTest::invitationsAreAskedOneAfterTheOther()
{
    Mac mac({QStringLiteral("known")});
    mac.phone(QStringLiteral("First"), QStringLiteral("same"));
    QMessageBox* first = mac.alert();
    QVERIFY(first);
    // The user is away: a remembered phone does not wait behind the alert.
    mac.phone(QStringLiteral("Known"), QStringLiteral("known"));
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    // Queued in the order they ask.
    Phone* second = mac.phone(QStringLiteral("Second"), QStringLiteral("same"));
    QTRY_COMPARE_WITH_TIMEOUT(mac.controller.pendingInvitationCount(), 2, kWait);
    Phone* leaving = mac.phone(QStringLiteral("Leaving"), QStringLiteral("gone"));
    QTRY_COMPARE_WITH_TIMEOUT(mac.controller.pendingInvitationCount(), 3, kWait);
    QCOMPARE(mac.controller.invitationAlert(), first);
    answer(first, QStringLiteral("Allow"));
    // The second's turn reads the list that the first answer wrote: it is let in unasked.
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 3, kWait);
    QPointer<QMessageBox> next = mac.alert();
    QVERIFY(next && next != first && next->text().contains(QStringLiteral("\"Leaving\"")));
    // A phone that leaves while queued is dropped; one that leaves while asked about takes its alert along.
    Phone* third = mac.phone(QStringLiteral("Third"), QStringLiteral("other"));
    QTRY_COMPARE_WITH_TIMEOUT(mac.controller.pendingInvitationCount(), 2, kWait);
    third->kill();
    QTRY_COMPARE_WITH_TIMEOUT(mac.controller.pendingInvitationCount(), 1, kWait);
    leaving->kill();
    QTRY_VERIFY_WITH_TIMEOUT(!next || !next->isVisible(), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(mac.controller.pendingInvitationCount(), 0, kWait);
    QCOMPARE(second->state(), QProcess::Running);
    QCOMPARE(stored("Trusted Devices"), QJsonValue(QJsonArray{QStringLiteral("known"), QStringLiteral("same")}));
}

void MirroringTest::anInvitationWithoutContextIsDeclinedUnasked()
{
    Mac mac;
    test::StdoutCapture out;
    Phone phone(mac.controller.advertiser->port(), {QStringLiteral("--no-context")});
    QVERIFY(phone.waitForExit());
    QCOMPARE(phone.exitCode(), 2);
    QVERIFY(!mac.controller.invitationAlert());
    QCOMPARE(out.text(), QByteArray());
}

void MirroringTest::rememberedListsKeepWhatTheyHold_data()
{
    QTest::addColumn<QJsonValue>("before");
    QTest::addColumn<QString>("userId");
    QTest::addColumn<bool>("asked");
    QTest::addColumn<QJsonValue>("after"); // once allowed
    const QString decomposed = QStringLiteral("Zoe\u0301");
    const QJsonObject object{{QStringLiteral("a"), true}};
    QTest::newRow("not an array") << QJsonValue(object) << QStringLiteral("ada") << true
                                  << QJsonValue(QJsonArray{QStringLiteral("ada")});
    QTest::newRow("elements that are not strings stay")
        << QJsonValue(QJsonArray{1, object, QStringLiteral("bob")}) << QStringLiteral("ada") << true
        << QJsonValue(QJsonArray{1, object, QStringLiteral("bob"), QStringLiteral("ada")});
    QTest::newRow("canonically equivalent")
        << QJsonValue(QJsonArray{decomposed}) << QStringLiteral("Zo\u00e9") << false << QJsonValue(QJsonArray{decomposed});
    QTest::newRow("letter case differs") << QJsonValue(QJsonArray{QStringLiteral("ADA")}) << QStringLiteral("ada")
                                         << true << QJsonValue(QJsonArray{QStringLiteral("ADA"), QStringLiteral("ada")});
}

void MirroringTest::rememberedListsKeepWhatTheyHold()
{
    QFETCH(QJsonValue, before);
    QFETCH(QString, userId);
    QFETCH(bool, asked);
    QFETCH(QJsonValue, after);
    Mac mac;
    UserDefaults().setObject(QStringLiteral("Trusted Devices"), before);
    mac.phone(QStringLiteral("Phone"), userId);
    if (asked) {
        QMessageBox* alert = mac.alert();
        QVERIFY(alert);
        answer(alert, QStringLiteral("Allow"));
    }
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    QVERIFY(!mac.controller.invitationAlert());
    QCOMPARE(stored("Trusted Devices"), after);
}

void MirroringTest::aRemovedTrustedDeviceIsCutOffAndAskedAboutAgain()
{
    Mac mac({QStringLiteral("lost"), QStringLiteral("kept")});
    UserDefaults().setObject(QStringLiteral("Trusted Devices"), QJsonArray{QStringLiteral("lost"), 7, QStringLiteral("kept")});
    UserDefaults().setObject(QStringLiteral("Trusted Device Names"),
                             QJsonObject{{QStringLiteral("lost"), QStringLiteral("Lost Phone")}});
    Phone* kept = mac.phone(QStringLiteral("Kept"), QStringLiteral("kept"));
    Phone* lost = mac.phone(QStringLiteral("Lost"), QStringLiteral("lost"));
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 2, kWait);
    QWidget* main = mac.controller.view();
    main->show();
    mac.controller.showTrustedDevicesWindow();
    QPointer<TrustedDevicesWindow> window = mac.controller.trustedDevicesWindow();
    QVERIFY(window && window->isVisible());
    // Over the main window, whole on the screen even though the main window sits in its corner.
    QVERIFY(window->screen()->availableGeometry().contains(window->frameGeometry()));
    QVERIFY(window->frameGeometry().contains(main->frameGeometry().center()));
    QCOMPARE(rows(*window), (QStringList{QStringLiteral("Lost Phone | lost"), QStringLiteral("kept | ")}));
    QVERIFY(!window->removeButton()->isEnabled());
    window->list()->item(0)->setSelected(true);
    window->removeButton()->click();
    QCOMPARE(rows(*window), QStringList{QStringLiteral("kept | ")});
    QCOMPARE(stored("Trusted Devices"), QJsonValue(QJsonArray{7, QStringLiteral("kept")}));
    QCOMPARE(stored("Trusted Device Names"), QJsonValue(QJsonObject{}));
    // The lost phone is cut off at once; the other stays.
    QVERIFY(lost->waitForExit());
    QCOMPARE(lost->exitCode(), 3); // disconnected by the Mac
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    QCOMPARE(kept->state(), QProcess::Running);
    // Escape closes the window; closing the main window ends the app all the same.
    QTest::keyClick(window, Qt::Key_Escape);
    QTRY_VERIFY_WITH_TIMEOUT(!window, kWait);
    QSignalSpy ending(&mac.controller, &ViewController::mainWindowClosed);
    mac.controller.showTrustedDevicesWindow();
    main->close();
    QCOMPARE(ending.size(), 1);
    // It is asked about again.
    mac.phone(QStringLiteral("Lost"), QStringLiteral("lost"));
    QMessageBox* alert = mac.alert();
    QVERIFY(alert && alert->text().contains(QStringLiteral("\"Lost\"")));
}

void MirroringTest::trustedDevicesFollowTheStore_data()
{
    // How the store changes while the window is open: the script another process runs, if any.
    QTest::addColumn<QString>("script");
    QTest::newRow("another handle in this process") << QString();
    QTest::newRow("another process, replaced by rename")
        << QStringLiteral("printf %s \"$1\" > \"$0.new\" && mv \"$0.new\" \"$0\"");
    QTest::newRow("another process, rewritten in place")
        << QStringLiteral("printf %s \"$1\" > \"$0\"");
    QTest::newRow("the file removed, then made again")
        << QStringLiteral("rm \"$0\" && sleep 0.3 && printf %s \"$1\" > \"$0\"");
}

void MirroringTest::trustedDevicesFollowTheStore()
{
    QFETCH(QString, script);
    test::IsolatedHome home;
    // A store from before names were kept: user IDs alone.
    UserDefaults defaults;
    defaults.setObject(QStringLiteral("Trusted Devices"), QJsonArray{QStringLiteral("ada-1"), QStringLiteral("old")});
    TrustedDevicesWindow window;
    window.show();
    QCOMPARE(rows(window), (QStringList{QStringLiteral("ada-1 | "), QStringLiteral("old | ")}));
    window.list()->item(1)->setSelected(true);
    const QByteArray next = R"({"Trusted Devices": ["ada-1", "old", "new\u0007"], "Other": 5,
        "Trusted Device Names": {"ada-1": "Ada's Phone", "new\u0007": "New <i>Tab</i>", "old": 3}})";
    if (script.isEmpty()) {
        UserDefaults other(defaults.filePath());
        for (const QString& key : {QStringLiteral("Other"), QStringLiteral("Trusted Device Names"),
                                   QStringLiteral("Trusted Devices")})
            QVERIFY(other.setObject(key, QJsonDocument::fromJson(next).object().value(key)));
    } else {
        QProcess child;
        child.start(QStringLiteral("sh"), {QStringLiteral("-c"), script, defaults.filePath(), QString::fromUtf8(next)});
        QVERIFY(child.waitForFinished(kWait) && child.exitCode() == 0);
    }
    // Names where recorded, the ID beneath; control characters and markup shown as text.
    QTRY_COMPARE_WITH_TIMEOUT(rows(window),
                              (QStringList{QStringLiteral("Ada's Phone | ada-1"), QStringLiteral("old | "),
                                           QStringLiteral("New <i>Tab</i> | new\uFFFD")}),
                              kWait);
    QVERIFY(window.list()->item(1)->isSelected());
    // And again, after the watch has been set up anew.
    UserDefaults().setObject(QStringLiteral("Trusted Devices"), QJsonArray{QStringLiteral("new\u0007")});
    QTRY_COMPARE_WITH_TIMEOUT(rows(window), QStringList{QStringLiteral("New <i>Tab</i> | new\uFFFD")}, kWait);
    // Removing keeps what is not ours: the other key and the names of other devices.
    window.list()->item(0)->setSelected(true);
    window.removeButton()->click();
    QCOMPARE(rows(window), QStringList{QStringLiteral("No trusted devices yet. | ")});
    QCOMPARE(stored("Other"), QJsonValue(5));
    QCOMPARE(stored("Trusted Device Names"),
             QJsonValue(QJsonObject{{QStringLiteral("ada-1"), QStringLiteral("Ada's Phone")}, {QStringLiteral("old"), 3}}));
}

void MirroringTest::theChipListsThePhones_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<QStringList>("listed");
    QTest::newRow("one phone") << QStringList{QStringLiteral("Ada's iPhone")}
                               << QStringLiteral("1 phone connected\nAda's iPhone (app)")
                               << QStringList{QStringLiteral("1 PHONE CONNECTED"), QStringLiteral("Ada's iPhone\tapp")};
    QTest::newRow("three phones, one named like markup")
        << QStringList{QStringLiteral("A"), QStringLiteral("<b>B</b> & Co"), QStringLiteral("C")}
        << QStringLiteral("3 phones connected\nA (app)\n<b>B</b> & Co (app)\nC (app)")
        << QStringList{QStringLiteral("3 PHONES CONNECTED"), QStringLiteral("A\tapp"),
                       QStringLiteral("<b>B</b> & Co\tapp"), QStringLiteral("C\tapp")};
}

void MirroringTest::theChipListsThePhones()
{
    QFETCH(QStringList, names);
    QFETCH(QString, toolTip);
    QFETCH(QStringList, listed);
    Mac mac({QStringLiteral("p0"), QStringLiteral("p1"), QStringLiteral("p2")});
    ViewController& c = mac.controller;
    QSignalSpy changed(&c, &ViewController::phonesChanged);
    c.view()->show();
    QVERIFY(QTest::qWaitForWindowExposed(c.view()));
    // With no phone the chip is not there to click.
    QTest::mouseClick(c.iPhoneCounter, Qt::LeftButton);
    QVERIFY(!c.phoneList());
    for (int i = 0; i < names.size(); ++i) { // one after the other, so that the list has their order
        mac.phone(names.at(i), QStringLiteral("p%1").arg(i));
        QTRY_COMPARE_WITH_TIMEOUT(c.connectedPhones().size(), i + 1, kWait);
    }
    QCOMPARE(changed.size(), names.size());
    QCOMPARE(c.iPhoneCounter->stringValue(), QString::number(names.size()));
    QCOMPARE(mac.status(), test::kStatusTrue);
    QCOMPARE(c.iPhoneChip->toolTip(), toolTip);
    QCOMPARE(c.iPhoneCounter->toolTip(), toolTip);
    // A click on the chip drops the list down under it, every name as plain text.
    const QPoint windowBefore = c.view()->pos();
    QTest::mouseClick(c.iPhoneCounter, Qt::LeftButton);
    QVERIFY(c.phoneList() && c.phoneList()->isVisible());
    QCOMPARE(c.phoneList()->lines(), listed);
    QCOMPARE(c.view()->pos(), windowBefore);
    const QRect chip(c.iPhoneChip->mapToGlobal(QPoint(0, 0)), c.iPhoneChip->size());
    QVERIFY(c.phoneList()->geometry().top() > chip.bottom());
    QCOMPARE(c.phoneList()->geometry().right(), chip.right());
    for (QLabel* label : c.phoneList()->findChildren<QLabel*>())
        QCOMPARE(label->textFormat(), Qt::PlainText);
    // The list follows a phone that leaves while it is open.
    mac.phones.front()->kill();
    QTRY_COMPARE_WITH_TIMEOUT(c.connectedPhones().size(), names.size() - 1, kWait);
    if (names.size() == 1) {
        QTRY_VERIFY_WITH_TIMEOUT(!c.phoneList()->isVisible(), kWait);
        QCOMPARE(c.iPhoneChip->toolTip(), QString());
    } else {
        QCOMPARE(c.phoneList()->lines().mid(1), listed.mid(2));
        QCOMPARE(c.iPhoneCounter->stringValue(), QString::number(names.size() - 1));
        QCOMPARE(mac.status(), test::kStatusTrue);
    }
    // The menu command, from whoever posts it, ends the session's connections.
    mac.center.post(QStringLiteral("Disconnect Menu Item"));
    for (const auto& phone : mac.phones) {
        QVERIFY(phone->waitForExit());
        QVERIFY(phone.get() == mac.phones.front().get() || phone->exitCode() == 3); // disconnected by the Mac
    }
    QTRY_COMPARE_WITH_TIMEOUT(alphaValue(c.DisconnectedLight), 1.0, kWait);
    QCOMPARE(mac.status(), test::kStatusFalse);
}

void MirroringTest::aNoteSaysWhenPhonesCannotFindThisComputer()
{
    // The tests reach no Avahi daemon: the note shows, and phones that know the address still join.
    Mac mac({QStringLiteral("p")});
    ViewController& c = mac.controller;
    c.view()->show();
    QTRY_VERIFY_WITH_TIMEOUT(c.DiscoveryNote->isVisible(), kWait);
    QVERIFY(c.DiscoveryNote->text().contains(QStringLiteral("Avahi")));
    QCOMPARE(c.view()->height(), c.DiscoveryNote->geometry().bottom() + 1);
    QVERIFY(c.DiscoveryNote->geometry().top() > c.WindowImage->geometry().bottom());
    mac.phone(QStringLiteral("P"), QStringLiteral("p"));
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    // The daemon comes back, and goes again (as the advertiser reports it).
    c.showDiscoveryAvailable(true);
    QVERIFY(!c.DiscoveryNote->isVisible());
    QCOMPARE(c.view()->size(), c.WindowImage->size());
    c.showDiscoveryAvailable(false);
    QVERIFY(c.DiscoveryNote->isVisible());
}

void MirroringTest::aUserIdCannotForgeOutputLines_data()
{
    QTest::addColumn<QByteArray>("context");
    QTest::newRow("line feed") << QByteArray("eve\nConnected: Forged");
    QTest::newRow("carriage return") << QByteArray("eve\r\nNot Connected: Forged");
    QTest::newRow("NUL") << QByteArray("eve\0Connected: Forged", 22);
    QTest::newRow("next line") << QByteArray("eve\xC2\x85" "Connected: Forged");
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
    const auto invite = [&](test::RawPhone& phone) {
        QVERIFY(QTest::qWaitFor([&] { return phone.upgraded || phone.disconnected; }, kWait) && phone.upgraded);
        phone.sendText(peer::ControlMessage::invitation(QStringLiteral("Eve"), context).serialize());
    };
    test::RawPhone phone(mac.controller.advertiser->port());
    invite(phone);
    QMessageBox* alert = mac.alert();
    QVERIFY(alert);
    answer(alert, QStringLiteral("Allow"));
    QVERIFY(QTest::qWaitFor([&] { return phone.texts.size() == 1; }, kWait));
    phone.sendText(R"({"type":"joined"})");
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    // The same phone again, now remembered by its user ID as sent.
    test::RawPhone again(mac.controller.advertiser->port());
    invite(again);
    QVERIFY(QTest::qWaitFor([&] { return again.texts.size() == 1; }, kWait) && again.texts.first().contains("accept"));
    QCOMPARE(stored("Trusted Devices"), QJsonValue(QJsonArray{QString::fromUtf8(context)}));
    // Each event is one line, and no line holds a character that a reader could take for a
    // line break or a terminator.
    QString text;
    QTRY_VERIFY_WITH_TIMEOUT((text = QString::fromUtf8(out.text())).count(u'\n') >= 6, kWait);
    const QStringList lines = text.split(u'\n');
    const QStringList starts{QStringLiteral("Incoming User ID: eve"), QStringLiteral("Connecting: Eve"),
                             QStringLiteral("Connected: Eve"), QStringLiteral("Incoming User ID: eve"),
                             QStringLiteral("Allowing Incoming User ID eve"), QStringLiteral("Connecting: Eve"),
                             QString()};
    QCOMPARE(lines.size(), starts.size());
    for (int i = 0; i < lines.size(); ++i) {
        QVERIFY2(lines.at(i).startsWith(starts.at(i)), qPrintable(lines.at(i).left(80)));
        for (const QChar c : lines.at(i))
            QVERIFY2(c.category() != QChar::Other_Control && c.category() != QChar::Separator_Line
                         && c.category() != QChar::Separator_Paragraph,
                     qPrintable(QStringLiteral("U+%1 in line %2").arg(c.unicode(), 4, 16, QLatin1Char('0')).arg(i + 1)));
    }
}

void MirroringTest::thePumpSendsEachPreviewOnceAndSurvivesTheRest_data()
{
    QTest::addColumn<QString>("what"); // what the plug-in, or anything else, puts at the preview's path
    QTest::addColumn<QByteArrayList>("sent"); // the images the phone gets, ending with a preview put after
    QTest::addColumn<QByteArray>("said"); // on standard output

    const qint64 fits = PreviewData::largestImage(1024 * 1024); // under this row's frame limit
    const QByteArrayList after{"after"};
    QTest::newRow("a preview") << QStringLiteral("preview") << QByteArrayList{"A", "after"} << QByteArray();
    // The plug-in finishes the next frame at the worst moment: after the pump has read the last
    // one, just before it removes what it read.
    QTest::newRow("renamed in while the last is removed")
        << QStringLiteral("renamed in") << QByteArrayList{"A", "B", "after"} << QByteArray();
    // A frame an earlier run had taken to read when it died: stale, and never sent.
    QTest::newRow("claimed before a crash") << QStringLiteral("claimed") << after << QByteArray();
    QTest::newRow("eight in a row, by the folder's word alone")
        << QStringLiteral("timer stopped") << QByteArrayList{"0", "1", "2", "3", "4", "5", "6", "7", "after"} << QByteArray();
    QTest::newRow("FIFO with no writer") << QStringLiteral("fifo") << after << QByteArray();
    QTest::newRow("directory") << QStringLiteral("directory") << after << QByteArray();
    QTest::newRow("symlink to /dev/zero") << QStringLiteral("device") << after << QByteArray();
    QTest::newRow("a file that keeps growing") << QStringLiteral("growing") << after << QByteArray();
    QTest::newRow("the largest that fits the frame")
        << QStringLiteral("fits") << QByteArrayList{QByteArray(fits, 'f'), "after"} << QByteArray();
    QTest::newRow("one byte larger") << QStringLiteral("too large") << after
                                     << QByteArray("error sending data: Error Domain=GlasswingPeerLinkErrorDomain Code=2 "
                                                   "\"The preview is larger than the largest frame (1048576 bytes).\"\n");
}

void MirroringTest::thePumpSendsEachPreviewOnceAndSurvivesTheRest()
{
    QFETCH(QString, what);
    QFETCH(QByteArrayList, sent);
    QFETCH(QByteArray, said);
    peer::PeerLimits limits = test::quickLimits();
    if (what == QStringLiteral("fits") || what == QStringLiteral("too large"))
        limits.maxSendMessageBytes = 1024 * 1024;
    const QString claimed = QStringLiteral(".Preview@3x.png.reading");
    Mac mac({QStringLiteral("p")}, limits, [&] {
        if (what == QStringLiteral("claimed"))
            QVERIFY(QDir().mkpath(sharedCacheFolder()) && test::writeFile(sharedCacheFile(claimed), "stale"));
    });
    QVERIFY(!QFileInfo::exists(sharedCacheFile(claimed))); // gone at start, before any preview could replace it
    QTemporaryDir frames;
    mac.phone(QStringLiteral("P"), QStringLiteral("p"), {QStringLiteral("--out"), frames.path()});
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    test::StdoutCapture out;
    QVERIFY(QDir().mkpath(sharedCacheFolder()));
    const QByteArray path = QFile::encodeName(previewPath());
    std::atomic<bool> stop{false};
    std::thread writer;
    int removals = 0;
    if (what == QStringLiteral("renamed in")) {
        mac.controller.beforePreviewRemoved = [&removals] {
            if (++removals == 1)
                writePreview("B");
        };
    }
    if (what == QStringLiteral("preview") || what == QStringLiteral("renamed in")) {
        writePreview("A");
    } else if (what == QStringLiteral("timer stopped")) {
        // Without its timer, the pump hears of each finished file from the folder, watched from
        // the first tick after the folder exists.
        QTest::qWait(250);
        mac.controller.timerContainer->stop();
        for (int i = 0; i < 8; ++i) {
            writePreview(QByteArray::number(i));
            QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(previewPath()), kWait);
        }
    } else if (what == QStringLiteral("fifo")) {
        QCOMPARE(::mkfifo(path.constData(), 0600), 0);
    } else if (what == QStringLiteral("directory")) {
        QVERIFY(QDir().mkpath(previewPath()));
    } else if (what == QStringLiteral("device")) {
        QCOMPARE(::symlink("/dev/zero", path.constData()), 0);
    } else if (what == QStringLiteral("growing")) {
        // Appends at about 50 MB/s to whatever file is at the path: a new one as soon as the pump
        // has deleted the last.
        writer = std::thread([&] {
            const QByteArray chunk(256 * 1024, 'g');
            while (!stop) {
                QFile file(QFile::decodeName(path));
                if (!file.open(QIODevice::Append) || file.write(chunk) <= 0)
                    break;
                file.close();
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    } else if (what == QStringLiteral("fits") || what == QStringLiteral("too large")) {
        writePreview(QByteArray(PreviewData::largestImage(limits.maxSendMessageBytes) + (what == QStringLiteral("too large")), 'f'));
    }
    // Whatever is there, the main thread keeps turning: a tick that blocked would hold these waits
    // far past their time.
    const bool notAFile = what == QStringLiteral("fifo") || what == QStringLiteral("directory") || what == QStringLiteral("device");
    const long memoryBefore = test::peakMemoryKiB();
    for (int i = 0; i < (notAFile || writer.joinable() ? 5 : 0); ++i) {
        QElapsedTimer waited;
        waited.start();
        QTest::qWait(100);
        QVERIFY2(waited.elapsed() < 2000, "the event loop was held");
    }
    stop = true;
    if (writer.joinable())
        writer.join();
    QVERIFY(test::peakMemoryKiB() - memoryBefore < 256 * 1024);
    if (notAFile)
        QVERIFY(QFileInfo(previewPath()).isDir() ? QDir(previewPath()).removeRecursively() : QFile::remove(previewPath()));
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(previewPath()), kWait);
    // Once a real preview takes its place, it goes out as ever.
    writePreview("after");
    QTRY_VERIFY_WITH_TIMEOUT(images(savedFrames(frames.path())).endsWith("after"), kWait);
    QList<QByteArray> got = images(savedFrames(frames.path()));
    if (what == QStringLiteral("growing")) {
        // Each read took what was there at its start, within the frame limit.
        QVERIFY(got.size() >= 2);
        got = got.mid(got.size() - 1);
    }
    QCOMPARE(got, sent);
    QCOMPARE(out.text(), said);
    if (what == QStringLiteral("renamed in"))
        QCOMPARE(removals, 3);
    // Nothing is left in the folder, of the previews or of the pump's own.
    QCOMPARE(QDir(sharedCacheFolder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("status.json")});
    // Picked up at once, but never more than ten times a second, however fast the previews come.
    const QList<QByteArray> all = savedFrames(frames.path());
    for (qsizetype i = 1; i < all.size() && what == QStringLiteral("timer stopped"); ++i) {
        const double spacing = qFromBigEndian<double>(all.at(i).constData() + 30)
            - qFromBigEndian<double>(all.at(i - 1).constData() + 30);
        QVERIFY2(spacing >= 0.099, qPrintable(QStringLiteral("frame %1 read %2 s after the one before").arg(i).arg(spacing)));
    }
}

void MirroringTest::theFolderIsWatchedAgainOnceReplaced_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("phone"); // connected, so that status.json says true
    QTest::newRow("removed, a phone") << QStringLiteral("removed") << true;
    QTest::newRow("renamed away, a phone") << QStringLiteral("renamed") << true;
    QTest::newRow("its parent renamed away") << QStringLiteral("parent") << false;
    QTest::newRow("a file in its place for a while") << QStringLiteral("file") << false;
}

void MirroringTest::theFolderIsWatchedAgainOnceReplaced()
{
    QFETCH(QString, how);
    QFETCH(bool, phone);
    Mac mac({QStringLiteral("p")});
    if (phone) {
        mac.phone(QStringLiteral("P"), QStringLiteral("p"));
        QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    }
    const QByteArray status = phone ? test::kStatusTrue : test::kStatusFalse;
    QTRY_COMPARE_WITH_TIMEOUT(mac.status(), status, kWait);
    QTest::qWait(250);
    // The user clears the caches; the plug-in makes its folder again for the next preview.
    const QString folder = sharedCacheFolder();
    const QString parent = QFileInfo(folder).path();
    if (how == QStringLiteral("removed")) {
        QVERIFY(QDir(folder).removeRecursively());
    } else if (how == QStringLiteral("renamed")) {
        QVERIFY(QDir().rename(folder, folder + QStringLiteral(".old")));
    } else if (how == QStringLiteral("parent")) {
        QVERIFY(QDir().rename(parent, parent + QStringLiteral(".old")));
    } else {
        QVERIFY(QDir(folder).removeRecursively() && test::writeFile(folder, ""));
        QTest::qWait(250);
        QVERIFY(QFile::remove(folder));
    }
    QVERIFY(QDir().mkpath(folder));
    // The status comes back with the folder, and once the new folder is found only the folder's
    // own word brings frames in.
    QTRY_COMPARE_WITH_TIMEOUT(mac.status(), status, kWait);
    QTest::qWait(350);
    mac.controller.timerContainer->stop();
    writePreview("again");
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(previewPath()), kWait);
}

void MirroringTest::aJoiningPhoneGetsTheNewestFrameAndNothingOlder()
{
    Mac mac({QStringLiteral("p")});
    // Frames keep coming, faster than the pump reads them, while phones of both kinds join.
    int written = 0;
    QTimer writer;
    QObject::connect(&writer, &QTimer::timeout, [&] {
        if (!QFile::exists(previewPath()))
            writePreview(frame(++written));
    });
    writer.start(15);
    QTemporaryDir out;
    std::vector<std::unique_ptr<test::RawPhone>> browsers;
    QStringList folders;
    for (int i = 0; i < 3; ++i) {
        folders << out.path() + QStringLiteral("/app%1").arg(i);
        QDir().mkpath(folders.last());
        mac.phone(QStringLiteral("A%1").arg(i), QStringLiteral("p"), {QStringLiteral("--out"), folders.last()});
        browsers.push_back(browserPhone(mac, QStringLiteral("B%1").arg(i), QStringLiteral("p")));
        QTRY_COMPARE_WITH_TIMEOUT(browsers.back()->texts.size(), 2, kWait);
        browsers.back()->sendText(R"({"type":"joined"})");
        QTest::qWait(35); // joins spread over the frames
    }
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 6, kWait);
    QList<QByteArrayList> sequences;
    for (const auto& phone : browsers) {
        QTRY_VERIFY_WITH_TIMEOUT(phone->binaries.size() >= 6, 3 * kWait);
        sequences << images(phone->binaries);
    }
    for (const QString& folder : std::as_const(folders)) {
        QTRY_VERIFY_WITH_TIMEOUT(savedFrames(folder).size() >= 6, 3 * kWait);
        sequences << images(savedFrames(folder));
    }
    writer.stop();
    for (const QByteArrayList& numbers : std::as_const(sequences)) {
        for (qsizetype i = 1; i < numbers.size(); ++i)
            QVERIFY2(numbers.at(i).toInt() > numbers.at(i - 1).toInt(), numbers.join(' ').constData());
    }
    // A phone that joins once the previews stop is sent the newest at once, and nothing more.
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(previewPath()), kWait);
    mac.phone(QStringLiteral("Late"), QStringLiteral("p"), {QStringLiteral("--out"), out.path()});
    QTRY_COMPARE_WITH_TIMEOUT(images(savedFrames(out.path())), QByteArrayList{frame(written)}, kWait);
    QTest::qWait(200);
    QCOMPARE(savedFrames(out.path()).size(), 1);
}

void MirroringTest::theMainWindowComesBackWhereItWasLeft_data()
{
    QTest::addColumn<QJsonValue>("before"); // what an earlier run left under "Main Window Position"
    QTest::addColumn<bool>("restored");
    const auto at = [](const QJsonValue& x, const QJsonValue& y) {
        return QJsonValue(QJsonObject{{QStringLiteral("x"), x}, {QStringLiteral("y"), y}});
    };
    QTest::newRow("never moved") << QJsonValue(QJsonValue::Undefined) << false;
    QTest::newRow("on the screen") << at(40, 60) << true;
    QTest::newRow("on a screen unplugged since") << at(-5000, 9000) << false;
    QTest::newRow("not whole numbers") << at(QStringLiteral("40"), 60.5) << false;
}

void MirroringTest::theMainWindowComesBackWhereItWasLeft()
{
    QFETCH(QJsonValue, before);
    QFETCH(bool, restored);
    test::IsolatedHome home;
    UserDefaults defaults;
    QVERIFY(defaults.setBool(QStringLiteral("Has Shown Mac Welcome"), true));
    if (!before.isUndefined())
        QVERIFY(defaults.setObject(QStringLiteral("Main Window Position"), before));
    NotificationCenter center;
    SerialQueue queue(QStringLiteral("SerializationQueue"));
    ViewController controller(center, queue, test::quickLimits());
    QWidget* window = controller.view();
    const QRect available = window->screen()->availableGeometry();
    QCOMPARE(window->pos(), restored ? QPoint(40, 60) : QPoint(available.right() - window->width() - 24, available.top() + 24));
    QCOMPARE(stored("Main Window Position"), before); // nothing stored until the user moves it
    // Moved by the user: stored once the move settles, and again, at once, when it closes.
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    window->move(120, 140);
    QTRY_COMPARE_WITH_TIMEOUT(stored("Main Window Position"),
                              QJsonValue(QJsonObject{{QStringLiteral("x"), 120}, {QStringLiteral("y"), 140}}), kWait);
    window->move(200, 150);
    window->close();
    QCOMPARE(stored("Main Window Position"), QJsonValue(QJsonObject{{QStringLiteral("x"), 200}, {QStringLiteral("y"), 150}}));
    queue.waitUntilIdle();
}

void MirroringTest::theWebPortIsChosenOnceAndKept_data()
{
    QTest::addColumn<QJsonValue>("before"); // 0 stands for a port that was free a moment ago
    QTest::addColumn<bool>("taken"); // another program holds the stored port
    QTest::addColumn<bool>("kept"); // the stored value stays as it was
    QTest::newRow("first start") << QJsonValue() << false << false;
    QTest::newRow("a stored port") << QJsonValue(0) << false << true;
    QTest::newRow("a stored port taken by another program") << QJsonValue(0) << true << true;
    QTest::newRow("a string") << QJsonValue(QStringLiteral("8443")) << false << false;
    QTest::newRow("past the last port") << QJsonValue(70000) << false << false;
    QTest::newRow("a fraction") << QJsonValue(8443.5) << false << false;
}

void MirroringTest::theWebPortIsChosenOnceAndKept()
{
    QFETCH(QJsonValue, before);
    QFETCH(bool, taken);
    QFETCH(bool, kept);
    QTcpServer holder;
    if (before == QJsonValue(0)) {
        QVERIFY(holder.listen(QHostAddress::Any));
        before = int(holder.serverPort());
        if (!taken)
            holder.close();
    }
    Mac mac({}, test::quickLimits(), [&] {
        if (!before.isUndefined())
            QVERIFY(UserDefaults().setObject(QStringLiteral("Web Viewer Port"), before));
    });
    const quint16 port = mac.controller.webViewerPort();
    QVERIFY(port != 0 && port != mac.controller.advertiser->port());
    QCOMPARE(stored("Web Viewer Port"), kept ? before : QJsonValue(int(port)));
    if (kept)
        QCOMPARE(port == before.toInt(), !taken);
}

void MirroringTest::theWebIdentityIsKeptAndRenewedOnRequest()
{
    Mac mac;
    const QString path = ViewController::webIdentityPath();
    QVERIFY(path.startsWith(mac.home.path()));
    const auto served = [&] {
        test::WebClient browser(mac.controller.webViewerPort(), "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
        return browser.waitForClose() && browser.status() == 200
            && browser.socket().peerCertificate() == mac.controller.webIdentity().certificate
            && peer::PersistentIdentity::loadOrMake(path, QStringLiteral("x")).fingerprint()
            == mac.controller.webIdentity().fingerprint();
    };
    QVERIFY(served());
    const QByteArray old = mac.controller.webIdentity().fingerprint();
    QVERIFY(mac.controller.renewWebIdentity());
    QVERIFY(mac.controller.webIdentity().fingerprint() != old);
    QVERIFY(served());
}

QTEST_MAIN(MirroringTest)
#include "mirroring_test.moc"
