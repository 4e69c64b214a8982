// The main controller in process, with real phones (glasswing-phone processes) on loopback: the
// invitation alert, the status display, session events and the preview pump.

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
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpServer>
#include <QSignalSpy>
#include <QTest>

#include <QtEndian>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

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
    QFile file(temporary);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
    file.close();
    QVERIFY(QFile::rename(temporary, previewPath()));
}

// One app's worth of the mirroring side, in this process.
struct Mac {
    // `prepare` runs in the Mac's own home before the controller starts.
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

    quint16 port() const { return controller.advertiser->port(); }
    Phone* phone(const QString& name, const QString& userId, QStringList more = {})
    {
        phones.push_back(std::make_unique<Phone>(port(), test::phoneArguments(name, userId) + more));
        return phones.back().get();
    }
    QByteArray status()
    {
        queue.waitUntilIdle();
        return test::readAll(home.statusFile());
    }
    int connected() const { return int(controller.session->connectedPeers().size()); }

    test::IsolatedHome home;
    NotificationCenter center;
    SerialQueue queue{QStringLiteral("SerializationQueue")};
    ViewController controller;
    std::vector<std::unique_ptr<Phone>> phones;
};

// The alert on screen, once there is one; null (and the caller's checks fail) if none comes.
QMessageBox* waitForAlert(ViewController& controller)
{
    (void)QTest::qWaitFor([&] { return controller.invitationAlert() && controller.invitationAlert()->isVisible(); },
                          kWait);
    return controller.invitationAlert();
}

QPushButton* button(QMessageBox* alert, const QString& text)
{
    for (QAbstractButton* candidate : alert->buttons()) {
        if (candidate->text() == text)
            return qobject_cast<QPushButton*>(candidate);
    }
    return nullptr;
}

QJsonValue trustedDevices()
{
    return UserDefaults().objectForKey(QStringLiteral("Trusted Devices"));
}

QJsonValue trustedDeviceNames()
{
    return UserDefaults().objectForKey(QStringLiteral("Trusted Device Names"));
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

} // namespace

class MirroringTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void startsDisconnectedWhateverWasLeft();
    void theAlertAsksExactlyAndRemembersOnlyWhenTold_data();
    void theAlertAsksExactlyAndRemembersOnlyWhenTold();
    void theAlertShowsTheAppAndNamesThePhoneCleanly_data();
    void theAlertShowsTheAppAndNamesThePhoneCleanly();
    void invitationsAreAskedOneAfterTheOther();
    void aRememberedPhoneIsLetInWhileAnotherIsAsked();
    void rememberedListsKeepWhatTheyHold_data();
    void rememberedListsKeepWhatTheyHold();
    void aPhoneThatLeavesTakesItsAlertAlong();
    void aRemovedTrustedDeviceIsCutOffAndAskedAboutAgain();
    void trustedDevicesFollowTheStore_data();
    void trustedDevicesFollowTheStore();
    void theChipNamesThePhones_data();
    void theChipNamesThePhones();
    void theCounterFitsItsChip_data();
    void theCounterFitsItsChip();
    void aNoteSaysWhenPhonesCannotFindThisComputer();
    void anInvitationWithoutContextIsDeclinedUnasked();
    void theDisplayAndStatusFollowThePhones();
    void connectingAndUnknownStatesChangeNothing();
    void thePumpSurvivesWhateverSitsAtThePath_data();
    void thePumpSurvivesWhateverSitsAtThePath();
    void aPreviewTooLargeToSendIsSaidAndDeleted();
    void aPreviewRenamedInWhileTheLastIsRemovedIsSentNext();
    void aPreviewClaimedBeforeACrashIsDiscardedAtStart();
    void aFinishedFileIsPickedUpAtOnceButNeverTooOften();
    void theFolderIsWatchedAgainOnceReplaced_data();
    void theFolderIsWatchedAgainOnceReplaced();
    void theStatusComesBackWithTheFolder_data();
    void theStatusComesBackWithTheFolder();
    void theMainWindowComesBackWhereItWasLeft_data();
    void theMainWindowComesBackWhereItWasLeft();
    void aUserIdCannotForgeOutputLines_data();
    void aUserIdCannotForgeOutputLines();

    void theWebPortIsChosenOnceAndKept_data();
    void theWebPortIsChosenOnceAndKept();
    void theWebIdentityIsKeptAndRenewedOnRequest();
    void aDataFolderThatCannotBeWrittenStillServes();
    void theAlertSaysWhichKindOfPhoneAsks();
    void aJoiningPhoneGetsTheNewestFrame_data();
    void aJoiningPhoneGetsTheNewestFrame();
    void noPhoneIsSentAnOlderFrameThanItHas();
};

void MirroringTest::startsDisconnectedWhateverWasLeft()
{
    test::IsolatedHome home;
    QDir().mkpath(sharedCacheFolder());
    QFile stale(sharedCacheFile(QStringLiteral("status.json")));
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.write(test::kStatusTrue);
    stale.close();
    UserDefaults().setBool(QStringLiteral("Main Window Open"), false);
    UserDefaults().setBool(QStringLiteral("Welcome Window Open"), true);

    NotificationCenter center;
    SerialQueue queue(QStringLiteral("SerializationQueue"));
    ViewController first(center, queue, test::quickLimits());
    ViewController second(center, queue, test::quickLimits());
    QVERIFY(!first.isViewLoaded());
    first.view();
    second.view();
    queue.waitUntilIdle();

    QCOMPARE(test::readAll(home.statusFile()), test::kStatusFalse);
    QCOMPARE(UserDefaults().boolForKey(QStringLiteral("Main Window Open")), true);
    QCOMPARE(UserDefaults().boolForKey(QStringLiteral("Welcome Window Open")), false);
    // Each start is a peer of its own, under the same name, and advertises.
    QCOMPARE(first.peerID->displayName(), second.peerID->displayName());
    QVERIFY(*first.peerID != *second.peerID);
    QVERIFY(first.advertiser->port() != 0);
    QVERIFY(first.timerContainer->isActive());
    QCOMPARE(first.timerContainer->interval(), 100);

    // The disconnected presentation, with the status text hidden but kept in step.
    QCOMPARE(alphaValue(first.DisconnectedLight), 1.0);
    QCOMPARE(alphaValue(first.ActivityIndicator), 1.0);
    QVERIFY(first.ActivityIndicator->isAnimating());
    QCOMPARE(alphaValue(first.ConnectedLight), 0.0);
    QCOMPARE(alphaValue(first.iPhoneChip), 0.0);
    QCOMPARE(alphaValue(first.iPhoneCounter), 0.0);
    QCOMPARE(first.StatusImage->image()->name, QStringLiteral("DisconnectedLabel"));
    QVERIFY(first.StatusLabel->isHidden());
    QVERIFY(first.StatusLabel->allowsEditingTextAttributes());
    const AttributedString text = first.StatusLabel->attributedStringValue();
    QCOMPARE(text.string, QStringLiteral("disconnected"));
    QCOMPARE(text.font.pointSizeF(), 14.0);
    QCOMPARE(text.font.weight(), QFont::Light);
    QCOMPARE(text.kern, 0.46);
    QCOMPARE(text.foregroundColor, QColor::fromRgbF(1.0f, 220 / 255.0f, 163 / 255.0f, 1.0f));
    // Fonts keep spacing in 64ths of a point.
    QVERIFY(qAbs(first.StatusLabel->font().letterSpacing() - 0.46) <= 1.0 / 64);
}

void MirroringTest::theAlertAsksExactlyAndRemembersOnlyWhenTold_data()
{
    QTest::addColumn<QString>("answer"); // "Allow", "Don't Allow" or "Return"
    QTest::addColumn<bool>("ticked");
    QTest::addColumn<bool>("remembered");
    QTest::newRow("allow, remembered") << QStringLiteral("Allow") << true << true;
    QTest::newRow("allow, not remembered") << QStringLiteral("Allow") << false << false;
    QTest::newRow("Return allows") << QStringLiteral("Return") << true << true;
    QTest::newRow("don't allow, box ticked") << QStringLiteral("Don't Allow") << true << false;
}

void MirroringTest::theAlertAsksExactlyAndRemembersOnlyWhenTold()
{
    QFETCH(QString, answer);
    QFETCH(bool, ticked);
    QFETCH(bool, remembered);
    Mac mac;
    test::StdoutCapture out;
    Phone* phone = mac.phone(QStringLiteral("Ada's <b>Phone</b>"), QStringLiteral("ada-1"));

    QMessageBox* alert = waitForAlert(mac.controller);
    QVERIFY(alert);
    QCOMPARE(alert->text(), QStringLiteral("Begin mirroring with \"Ada's <b>Phone</b>\"?"));
    QCOMPARE(alert->textFormat(), Qt::PlainText);
    QCOMPARE(alert->informativeText(), QStringLiteral("The Glasswing app on a phone."));
    QVERIFY(alert->checkBox());
    QCOMPARE(alert->checkBox()->text(), QStringLiteral("Remember this device"));
    QVERIFY(alert->checkBox()->isChecked());
    QCOMPARE(alert->buttons().size(), 2);
    QCOMPARE(alert->buttons().at(0)->text(), QStringLiteral("Allow"));
    QCOMPARE(alert->buttons().at(1)->text(), QStringLiteral("Don't Allow"));
    QCOMPARE(alert->defaultButton(), button(alert, QStringLiteral("Allow")));
    // The alert does not hold the event loop: the pump still consumes previews meanwhile.
    writePreview("while asking");
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(previewPath()), kWait);

    alert->checkBox()->setChecked(ticked);
    if (answer == QStringLiteral("Return"))
        QTest::keyClick(alert, Qt::Key_Return);
    else
        button(alert, answer)->click();

    const bool allowed = answer != QStringLiteral("Don't Allow");
    if (allowed) {
        QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    } else {
        QVERIFY(phone->waitForExit());
        QCOMPARE(phone->exitCode(), 2); // declined
    }
    QCOMPARE(trustedDevices(),
             remembered ? QJsonValue(QJsonArray{QStringLiteral("ada-1")}) : QJsonValue(QJsonValue::Undefined));
    // The name as the phone gave it when allowed, beside the list.
    QCOMPARE(trustedDeviceNames(),
             remembered ? QJsonValue(QJsonObject{{QStringLiteral("ada-1"), QStringLiteral("Ada's <b>Phone</b>")}})
                        : QJsonValue(QJsonValue::Undefined));
    QTRY_VERIFY_WITH_TIMEOUT(!mac.controller.invitationAlert(), kWait);

    // The same phone again: asked again unless remembered.
    mac.phone(QStringLiteral("Ada's <b>Phone</b>"), QStringLiteral("ada-1"));
    if (remembered) {
        QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 2, kWait);
        QVERIFY(!mac.controller.invitationAlert());
    } else {
        QVERIFY(waitForAlert(mac.controller));
    }
    const QByteArray lines = out.text();
    QCOMPARE(lines.count("Incoming User ID: ada-1\n"), 2);
    QCOMPARE(lines.count("Allowing Incoming User ID ada-1\n"), remembered ? 1 : 0);
}

void MirroringTest::theAlertShowsTheAppAndNamesThePhoneCleanly_data()
{
    QTest::addColumn<QString>("name"); // as the phone sends it
    QTest::addColumn<QString>("shown"); // exactly, when the name is shown whole; empty when elided
    QTest::newRow("fits") << QStringLiteral("Ada's Phone") << QStringLiteral("Ada's Phone");
    QTest::newRow("wide, within the byte limit") << QString(63, u'W') << QString();
    QTest::newRow("cut at the byte limit")
        << QStringLiteral("Studio tablet of the design team on the third floor by the window") << QString();
}

// The app's icon says who asks; a name too wide is elided with an ellipsis, never cut silently.
void MirroringTest::theAlertShowsTheAppAndNamesThePhoneCleanly()
{
    QFETCH(QString, name);
    QFETCH(QString, shown);
    Mac mac;
    mac.phone(name, QStringLiteral("someone"));
    QMessageBox* alert = waitForAlert(mac.controller);
    QVERIFY(alert);

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
        return;
    }
    // Elided: an ellipsis, and what is left of the name around it, no wider than the space
    // a name gets (36 "x" of the alert's font).
    QVERIFY2(inQuotes.contains(QStringLiteral("…")), qPrintable(inQuotes));
    const QStringList around = inQuotes.split(QStringLiteral("…"));
    QVERIFY(name.startsWith(around.first()) && !around.first().isEmpty());
    const QFontMetrics metrics(alert->font());
    QVERIFY(metrics.horizontalAdvance(inQuotes) <= metrics.horizontalAdvance(QLatin1Char('x')) * 36);
    // Nothing of the text overflows the alert as laid out.
    QLabel* label = nullptr;
    for (QLabel* candidate : alert->findChildren<QLabel*>())
        if (candidate->text() == text)
            label = candidate;
    QVERIFY(label);
    QVERIFY(label->sizeHint().width() <= alert->width());
}

void MirroringTest::invitationsAreAskedOneAfterTheOther()
{
    Mac mac;
    mac.phone(QStringLiteral("First"), QStringLiteral("same"));
    QMessageBox* first = waitForAlert(mac.controller);
    QVERIFY(first);
    Phone* second = mac.phone(QStringLiteral("Second"), QStringLiteral("same"));
    QTRY_COMPARE_WITH_TIMEOUT(mac.controller.pendingInvitationCount(), 2, kWait);
    Phone* third = mac.phone(QStringLiteral("Third"), QStringLiteral("other"));
    QTRY_COMPARE_WITH_TIMEOUT(mac.controller.pendingInvitationCount(), 3, kWait);
    QCOMPARE(mac.controller.invitationAlert(), first);
    QVERIFY(first->text().contains(QStringLiteral("\"First\"")));

    button(first, QStringLiteral("Allow"))->click();
    // The second phone's turn reads the list that the first answer wrote: it is let in unasked.
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 2, kWait);
    QMessageBox* last = waitForAlert(mac.controller);
    QVERIFY(last && last != first);
    QVERIFY(last->text().contains(QStringLiteral("\"Third\"")));
    button(last, QStringLiteral("Don't Allow"))->click();
    QVERIFY(third->waitForExit());
    QCOMPARE(third->exitCode(), 2);
    QCOMPARE(second->state(), QProcess::Running);
    QCOMPARE(trustedDevices(), QJsonValue(QJsonArray{QStringLiteral("same")}));
}

void MirroringTest::aRememberedPhoneIsLetInWhileAnotherIsAsked()
{
    Mac mac({QStringLiteral("known")});
    test::StdoutCapture out;
    mac.phone(QStringLiteral("Stranger"), QStringLiteral("stranger"));
    QMessageBox* alert = waitForAlert(mac.controller);
    QVERIFY(alert);
    // The user is away: the alert stays up, and a remembered phone does not wait behind it.
    mac.phone(QStringLiteral("Known"), QStringLiteral("known"));
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    QCOMPARE(mac.controller.invitationAlert(), alert);
    QCOMPARE(mac.controller.pendingInvitationCount(), 1);
    QVERIFY(out.text().startsWith("Incoming User ID: stranger\nIncoming User ID: known\n"
                                  "Allowing Incoming User ID known\n"));
}

void MirroringTest::rememberedListsKeepWhatTheyHold_data()
{
    QTest::addColumn<QJsonValue>("stored");
    QTest::addColumn<QString>("userId");
    QTest::addColumn<bool>("asked");
    QTest::addColumn<QJsonValue>("afterAllowing");
    const QString decomposed = QStringLiteral("Zoe\u0301");
    const QString precomposed = QStringLiteral("Zo\u00e9");
    QTest::newRow("not an array") << QJsonValue(QJsonObject{{QStringLiteral("ada"), true}}) << QStringLiteral("ada")
                                  << true << QJsonValue(QJsonArray{QStringLiteral("ada")});
    QTest::newRow("elements that are not strings stay")
        << QJsonValue(QJsonArray{1, QJsonObject{{QStringLiteral("a"), true}}, QStringLiteral("bob")})
        << QStringLiteral("ada") << true
        << QJsonValue(
               QJsonArray{1, QJsonObject{{QStringLiteral("a"), true}}, QStringLiteral("bob"), QStringLiteral("ada")});
    QTest::newRow("canonically equivalent")
        << QJsonValue(QJsonArray{decomposed}) << precomposed << false << QJsonValue(QJsonArray{decomposed});
    QTest::newRow("letter case differs") << QJsonValue(QJsonArray{QStringLiteral("ADA")}) << QStringLiteral("ada")
                                         << true
                                         << QJsonValue(QJsonArray{QStringLiteral("ADA"), QStringLiteral("ada")});
}

void MirroringTest::rememberedListsKeepWhatTheyHold()
{
    QFETCH(QJsonValue, stored);
    QFETCH(QString, userId);
    QFETCH(bool, asked);
    QFETCH(QJsonValue, afterAllowing);
    Mac mac;
    UserDefaults().setObject(QStringLiteral("Trusted Devices"), stored);
    mac.phone(QStringLiteral("Phone"), userId);
    if (asked) {
        QMessageBox* alert = waitForAlert(mac.controller);
        QVERIFY(alert);
        button(alert, QStringLiteral("Allow"))->click();
    }
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    QVERIFY(!mac.controller.invitationAlert());
    QCOMPARE(trustedDevices(), afterAllowing);
}

void MirroringTest::aRemovedTrustedDeviceIsCutOffAndAskedAboutAgain()
{
    Mac mac;
    UserDefaults().setObject(QStringLiteral("Trusted Devices"),
                             QJsonArray{QStringLiteral("lost"), 7, QStringLiteral("kept")});
    UserDefaults().setObject(QStringLiteral("Trusted Device Names"),
                             QJsonObject{{QStringLiteral("lost"), QStringLiteral("Lost Phone")}});
    Phone* kept = mac.phone(QStringLiteral("Kept"), QStringLiteral("kept"));
    Phone* lost = mac.phone(QStringLiteral("Lost"), QStringLiteral("lost"));
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 2, kWait);

    mac.controller.view()->show();
    mac.controller.showTrustedDevicesWindow();
    TrustedDevicesWindow* window = mac.controller.trustedDevicesWindow();
    QVERIFY(window && window->isVisible());
    // Over the main window, whole on the screen even though the main window sits in its corner.
    const QRect screen = window->screen()->availableGeometry();
    QVERIFY(screen.contains(window->frameGeometry()));
    QVERIFY(window->frameGeometry().contains(mac.controller.view()->frameGeometry().center()));
    QCOMPARE(rows(*window), (QStringList{QStringLiteral("Lost Phone | lost"), QStringLiteral("kept | ")}));
    QVERIFY(!window->removeButton()->isEnabled());
    window->list()->item(0)->setSelected(true);
    QVERIFY(window->removeButton()->isEnabled());
    window->removeButton()->click();
    QCOMPARE(rows(*window), QStringList{QStringLiteral("kept | ")});
    QCOMPARE(trustedDevices(), QJsonValue(QJsonArray{7, QStringLiteral("kept")}));
    QCOMPARE(trustedDeviceNames(), QJsonValue(QJsonObject{}));

    // The lost phone is cut off at once; the other stays.
    QVERIFY(lost->waitForExit());
    QCOMPARE(lost->exitCode(), 3); // disconnected by the Mac
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    QCOMPARE(kept->state(), QProcess::Running);
    // Escape closes the window.
    QPointer<TrustedDevicesWindow> closing = window;
    QTest::keyClick(window, Qt::Key_Escape);
    QTRY_VERIFY_WITH_TIMEOUT(!closing, kWait);
    // With room around the main window, centred on it.
    mac.controller.view()->move(screen.center() - QPoint(160, 48));
    mac.controller.showTrustedDevicesWindow();
    window = mac.controller.trustedDevicesWindow();
    QVERIFY(window && window != closing);
    QVERIFY((window->frameGeometry().center() - mac.controller.view()->frameGeometry().center()).manhattanLength()
            <= 2);
    // Closing the main window ends the app, this window open or not.
    QSignalSpy ending(&mac.controller, &ViewController::mainWindowClosed);
    mac.controller.view()->close();
    QCOMPARE(ending.size(), 1);
    window->close();

    // It is asked about again; the other phone is still let in at once.
    mac.phone(QStringLiteral("Lost"), QStringLiteral("lost"));
    QMessageBox* alert = waitForAlert(mac.controller);
    QVERIFY(alert && alert->text().contains(QStringLiteral("\"Lost\"")));
    mac.phone(QStringLiteral("Kept again"), QStringLiteral("kept"));
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 2, kWait);
}

void MirroringTest::trustedDevicesFollowTheStore_data()
{
    // How the store changes while the window is open.
    QTest::addColumn<QString>("writer");
    QTest::newRow("another handle in this process") << QStringLiteral("handle");
    QTest::newRow("another process, replaced by rename") << QStringLiteral("rename");
    QTest::newRow("another process, rewritten in place") << QStringLiteral("in place");
    QTest::newRow("the file removed, then made again") << QStringLiteral("recreated");
}

void MirroringTest::trustedDevicesFollowTheStore()
{
    QFETCH(QString, writer);
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
    if (writer == QStringLiteral("handle")) {
        UserDefaults other(defaults.filePath());
        QVERIFY(other.setObject(QStringLiteral("Other"), 5));
        QVERIFY(other.setObject(QStringLiteral("Trusted Device Names"),
                                QJsonDocument::fromJson(next).object().value(QStringLiteral("Trusted Device Names"))));
        QVERIFY(other.setObject(QStringLiteral("Trusted Devices"),
                                QJsonDocument::fromJson(next).object().value(QStringLiteral("Trusted Devices"))));
    } else {
        // Written by a process of its own, as another instance or a tool would.
        const QString script = writer == QStringLiteral("rename")
            ? QStringLiteral("import os,sys; open(sys.argv[1]+'.new','w').write(sys.argv[2]); "
                             "os.replace(sys.argv[1]+'.new', sys.argv[1])")
            : writer == QStringLiteral("in place")
            ? QStringLiteral("import sys; open(sys.argv[1],'w').write(sys.argv[2])")
            : QStringLiteral("import os,sys,time; os.remove(sys.argv[1]); time.sleep(0.3); "
                             "open(sys.argv[1],'w').write(sys.argv[2])");
        QProcess child;
        child.start(QStringLiteral("python3"),
                    {QStringLiteral("-c"), script, defaults.filePath(), QString::fromUtf8(next)});
        QVERIFY(child.waitForFinished(kWait));
        QCOMPARE(child.exitCode(), 0);
    }
    // Names where recorded, the ID beneath; control characters and markup shown as text.
    const QStringList expected{QStringLiteral("Ada's Phone | ada-1"), QStringLiteral("old | "),
                               QStringLiteral("New <i>Tab</i> | new\uFFFD")};
    QTRY_COMPARE_WITH_TIMEOUT(rows(window), expected, kWait);
    QVERIFY(window.list()->item(1)->isSelected());
    QVERIFY(window.removeButton()->isEnabled());
    // And again, after the watch has been set up anew.
    UserDefaults().setObject(QStringLiteral("Trusted Devices"), QJsonArray{QStringLiteral("new\u0007")});
    QTRY_COMPARE_WITH_TIMEOUT(rows(window), QStringList{QStringLiteral("New <i>Tab</i> | new\uFFFD")}, kWait);
    QVERIFY(!window.removeButton()->isEnabled());
    // Removing keeps what is not ours: the other key and the names of other devices.
    window.list()->item(0)->setSelected(true);
    window.removeButton()->click();
    QCOMPARE(rows(window), QStringList{QStringLiteral("No trusted devices yet. | ")});
    QCOMPARE(UserDefaults().objectForKey(QStringLiteral("Other")), QJsonValue(5));
    QCOMPARE(
        trustedDeviceNames(),
        QJsonValue(QJsonObject{{QStringLiteral("ada-1"), QStringLiteral("Ada's Phone")}, {QStringLiteral("old"), 3}}));
}

void MirroringTest::theChipNamesThePhones_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<QStringList>("listed");
    QTest::newRow("no phone") << QStringList{} << QString() << QStringList{};
    QTest::newRow("one phone") << QStringList{QStringLiteral("Ada's iPhone")}
                               << QStringLiteral("1 phone connected\nAda's iPhone (app)")
                               << QStringList{QStringLiteral("1 PHONE CONNECTED"), QStringLiteral("Ada's iPhone\tapp")};
    QTest::newRow("three phones, one named like markup")
        << QStringList{QStringLiteral("A"), QStringLiteral("<b>B</b> & Co"), QStringLiteral("C")}
        << QStringLiteral("3 phones connected\nA (app)\n<b>B</b> & Co (app)\nC (app)")
        << QStringList{QStringLiteral("3 PHONES CONNECTED"), QStringLiteral("A\tapp"),
                       QStringLiteral("<b>B</b> & Co\tapp"), QStringLiteral("C\tapp")};
}

void MirroringTest::theChipNamesThePhones()
{
    QFETCH(QStringList, names);
    QFETCH(QString, toolTip);
    QFETCH(QStringList, listed);
    Mac mac({QStringLiteral("p0"), QStringLiteral("p1"), QStringLiteral("p2")});
    ViewController& c = mac.controller;
    QSignalSpy changed(&c, &ViewController::phonesChanged);
    c.view()->show();
    QVERIFY(QTest::qWaitForWindowExposed(c.view()));
    // One after the other, so that the list has their order.
    for (int i = 0; i < names.size(); ++i) {
        mac.phone(names.at(i), QStringLiteral("p%1").arg(i));
        QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), i + 1, kWait);
    }
    QTRY_COMPARE_WITH_TIMEOUT(c.connectedPhones().size(), names.size(), kWait);
    QCOMPARE(changed.size(), names.size());
    QCOMPARE(c.iPhoneChip->toolTip(), toolTip);
    QCOMPARE(c.iPhoneCounter->toolTip(), toolTip);

    // A click on the chip drops the list down under it; with no phone the chip is not there to click.
    const QPoint windowBefore = c.view()->pos();
    QTest::mouseClick(c.iPhoneCounter, Qt::LeftButton);
    if (listed.isEmpty()) {
        QVERIFY(!c.phoneList());
        return;
    }
    QVERIFY(c.phoneList() && c.phoneList()->isVisible());
    QCOMPARE(c.phoneList()->lines(), listed);
    QCOMPARE(c.view()->pos(), windowBefore);
    const QRect chip(c.iPhoneChip->mapToGlobal(QPoint(0, 0)), c.iPhoneChip->size());
    QVERIFY(c.phoneList()->geometry().top() > chip.bottom());
    QCOMPARE(c.phoneList()->geometry().right(), chip.right());
    // Every name shows as plain text.
    for (QLabel* label : c.phoneList()->findChildren<QLabel*>())
        QCOMPARE(label->textFormat(), Qt::PlainText);

    // The list follows a phone that leaves while it is open.
    mac.phones.front()->kill();
    QTRY_COMPARE_WITH_TIMEOUT(c.connectedPhones().size(), names.size() - 1, kWait);
    if (names.size() == 1) {
        QTRY_VERIFY_WITH_TIMEOUT(!c.phoneList()->isVisible(), kWait);
        QCOMPARE(c.iPhoneChip->toolTip(), QString());
    } else {
        QCOMPARE(c.phoneList()->lines().size(), listed.size() - 1);
        QCOMPARE(c.phoneList()->lines().at(1), listed.at(2));
    }
}

void MirroringTest::theCounterFitsItsChip_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("chip");
    for (const auto& [count, shown] : std::initializer_list<std::pair<int, const char*>>{
             {1, "1"}, {9, "9"}, {12, "12"}, {100, "100"}, {999, "999"}, {1000, "999+"}}) {
        QTest::addRow("%d phones", count)
            << count << QString::fromLatin1(shown)
            << (count < 10 ? QStringLiteral("Phone Chip") : QStringLiteral("Phone Chip Wide"));
    }
}

void MirroringTest::theCounterFitsItsChip()
{
    QFETCH(int, count);
    QFETCH(QString, shown);
    QFETCH(QString, chip);
    Mac mac;
    ViewController& c = mac.controller;
    c.showConnectedStatus(count);
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
    const int textWidth = QFontMetrics(c.iPhoneCounter->font()).horizontalAdvance(shown);
    QVERIFY2(textWidth + 8 <= counter.width(),
             qPrintable(QStringLiteral("%1 points of text in %2").arg(textWidth).arg(counter.width())));
    // Back to one digit, back to the narrow chip.
    c.showConnectedStatus(2);
    QCOMPARE(c.iPhoneChip->image()->name, QStringLiteral("Phone Chip"));
    QCOMPARE(c.iPhoneChip->width(), 56);
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
    QVERIFY(c.DiscoveryNote->isVisible());
    // The daemon comes back, and goes again (as the advertiser reports it).
    c.showDiscoveryAvailable(true);
    QVERIFY(!c.DiscoveryNote->isVisible());
    QCOMPARE(c.view()->size(), c.WindowImage->size());
    c.showDiscoveryAvailable(false);
    QVERIFY(c.DiscoveryNote->isVisible());
}

void MirroringTest::aPhoneThatLeavesTakesItsAlertAlong()
{
    Mac mac;
    Phone* leaving = mac.phone(QStringLiteral("Leaving"), QStringLiteral("gone"));
    QPointer<QMessageBox> alert = waitForAlert(mac.controller);
    QVERIFY(alert);
    Phone* waiting = mac.phone(QStringLiteral("Waiting"), QStringLiteral("next"));
    QTRY_COMPARE_WITH_TIMEOUT(mac.controller.pendingInvitationCount(), 2, kWait);
    leaving->kill();
    // Its alert goes, and the next phone is asked about.
    QTRY_VERIFY_WITH_TIMEOUT(!alert || !alert->isVisible(), kWait);
    QMessageBox* next = waitForAlert(mac.controller);
    QVERIFY(next && next != alert);
    QVERIFY(next->text().contains(QStringLiteral("\"Waiting\"")));
    // A phone that leaves while still queued is dropped from the queue.
    waiting->kill();
    QTRY_COMPARE_WITH_TIMEOUT(mac.controller.pendingInvitationCount(), 0, kWait);
    QCOMPARE(trustedDevices(), QJsonValue(QJsonValue::Undefined));
}

void MirroringTest::anInvitationWithoutContextIsDeclinedUnasked()
{
    Mac mac;
    test::StdoutCapture out;
    auto phone = std::make_unique<Phone>(mac.port(), QStringList{QStringLiteral("--no-context")});
    QVERIFY(phone->waitForExit());
    QCOMPARE(phone->exitCode(), 2);
    QVERIFY(!mac.controller.invitationAlert());
    QCOMPARE(out.text(), QByteArray());
}

void MirroringTest::theDisplayAndStatusFollowThePhones()
{
    Mac mac({QStringLiteral("a"), QStringLiteral("b")});
    test::StdoutCapture out;
    ViewController& c = mac.controller;
    const auto shows = [&](int connected, const QString& counter, double chip) {
        QCOMPARE(alphaValue(c.ConnectedLight), connected ? 1.0 : 0.0);
        QCOMPARE(alphaValue(c.DisconnectedLight), connected ? 0.0 : 1.0);
        QCOMPARE(alphaValue(c.ActivityIndicator), connected ? 0.0 : 1.0);
        QCOMPARE(c.StatusImage->image()->name,
                 connected ? QStringLiteral("ConnectedLabel") : QStringLiteral("DisconnectedLabel"));
        QCOMPARE(c.StatusLabel->attributedStringValue().string,
                 connected ? QStringLiteral("connected") : QStringLiteral("disconnected"));
        QCOMPARE(c.StatusLabel->attributedStringValue().foregroundColor,
                 connected ? QColor::fromRgbF(201 / 255.0f, 1.0f, 253 / 255.0f, 1.0f)
                           : QColor::fromRgbF(1.0f, 220 / 255.0f, 163 / 255.0f, 1.0f));
        QCOMPARE(c.iPhoneCounter->stringValue(), counter);
        QCOMPARE(alphaValue(c.iPhoneChip), chip);
        QCOMPARE(alphaValue(c.iPhoneCounter), chip);
        QVERIFY(c.StatusLabel->isHidden());
    };

    Phone* a = mac.phone(QStringLiteral("Phone A"), QStringLiteral("a"));
    QTRY_COMPARE_WITH_TIMEOUT(c.iPhoneCounter->stringValue(), QStringLiteral("1"), kWait);
    shows(true, QStringLiteral("1"), 1.0);
    QCOMPARE(mac.status(), test::kStatusTrue);

    Phone* b = mac.phone(QStringLiteral("Phone B"), QStringLiteral("b"));
    QTRY_COMPARE_WITH_TIMEOUT(c.iPhoneCounter->stringValue(), QStringLiteral("2"), kWait);
    shows(true, QStringLiteral("2"), 1.0);

    b->kill();
    QTRY_COMPARE_WITH_TIMEOUT(c.iPhoneCounter->stringValue(), QStringLiteral("1"), kWait);
    shows(true, QStringLiteral("1"), 1.0);
    QCOMPARE(mac.status(), test::kStatusTrue);

    // The menu command, from whoever posts it, ends the session's connections.
    mac.center.post(QStringLiteral("Disconnect Menu Item"));
    QVERIFY(a->waitForExit());
    QCOMPARE(a->exitCode(), 3); // disconnected by the Mac
    QTRY_COMPARE_WITH_TIMEOUT(alphaValue(c.DisconnectedLight), 1.0, kWait);
    shows(false, QStringLiteral("1"), 0.0); // the counter keeps its last text
    QCOMPARE(mac.status(), test::kStatusFalse);

    c.showConnectedStatus(0);
    shows(true, QStringLiteral("0"), 0.0);
    c.showConnectedStatus(0);
    shows(true, QStringLiteral("0"), 0.0);

    const QList<QByteArray> lines = out.text().split('\n');
    const QList<QByteArray> expected{"Incoming User ID: a",
                                     "Allowing Incoming User ID a",
                                     "Connecting: Phone A",
                                     "Connected: Phone A",
                                     "Incoming User ID: b",
                                     "Allowing Incoming User ID b",
                                     "Connecting: Phone B",
                                     "Connected: Phone B",
                                     "Not Connected: Phone B",
                                     "Not Connected: Phone A",
                                     ""};
    QCOMPARE(lines, expected);
}

void MirroringTest::connectingAndUnknownStatesChangeNothing()
{
    Mac mac;
    test::StdoutCapture out;
    ViewController& c = mac.controller;
    c.showConnectedStatus(3);
    const peer::PeerID phone(QStringLiteral("Half Way"), QStringLiteral("Phone"));
    c.sessionPeerDidChangeState(*c.session, phone, peer::SessionState::Connecting);
    c.sessionPeerDidChangeState(*c.session, phone, static_cast<peer::SessionState>(7));
    QTest::qWait(50); // anything handed to the main thread has run
    QCOMPARE(out.text(), QByteArray("Connecting: Half Way\nERROR\n"));
    QCOMPARE(c.iPhoneCounter->stringValue(), QStringLiteral("3"));
    QCOMPARE(alphaValue(c.ConnectedLight), 1.0);
    QCOMPARE(mac.status(), test::kStatusFalse);
    // A phone that fails while still connecting, with none connected: back to disconnected.
    c.sessionPeerDidChangeState(*c.session, phone, peer::SessionState::NotConnected);
    QTRY_COMPARE_WITH_TIMEOUT(alphaValue(c.DisconnectedLight), 1.0, kWait);
    QCOMPARE(mac.status(), test::kStatusFalse);
}

void MirroringTest::thePumpSurvivesWhateverSitsAtThePath_data()
{
    QTest::addColumn<QString>("what");
    QTest::newRow("FIFO with no writer") << QStringLiteral("fifo");
    QTest::newRow("directory") << QStringLiteral("directory");
    QTest::newRow("symlink to /dev/zero") << QStringLiteral("device");
    QTest::newRow("file that keeps growing") << QStringLiteral("growing");
}

void MirroringTest::thePumpSurvivesWhateverSitsAtThePath()
{
    QFETCH(QString, what);
    Mac mac({QStringLiteral("p")});
    test::StdoutCapture out;
    Phone* phone = mac.phone(QStringLiteral("P"), QStringLiteral("p"));
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    QDir().mkpath(sharedCacheFolder());
    const QByteArray path = QFile::encodeName(previewPath());

    std::atomic<bool> stop{false};
    std::thread writer;
    if (what == QStringLiteral("fifo")) {
        QCOMPARE(::mkfifo(path.constData(), 0600), 0);
    } else if (what == QStringLiteral("directory")) {
        QVERIFY(QDir().mkpath(previewPath()));
    } else if (what == QStringLiteral("device")) {
        QCOMPARE(::symlink("/dev/zero", path.constData()), 0);
    } else {
        // Appends for as long as the test lets it, at about 50 MB/s, to whatever file is at the
        // path: a new one as soon as the pump has deleted the last.
        writer = std::thread([&] {
            const QByteArray chunk(256 * 1024, 'g');
            while (!stop) {
                const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
                if (fd < 0 || ::write(fd, chunk.constData(), size_t(chunk.size())) <= 0)
                    break;
                ::close(fd);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    const long memoryBefore = test::peakMemoryKiB();
    // The main thread keeps turning: a tick that blocked would hold these waits far past their time.
    for (int i = 0; i < 10; ++i) {
        QElapsedTimer waited;
        waited.start();
        QTest::qWait(100);
        QVERIFY2(waited.elapsed() < 2000, "the event loop was held");
    }
    stop = true;
    if (writer.joinable())
        writer.join();
    QVERIFY(test::peakMemoryKiB() - memoryBefore < 256 * 1024);
    QCOMPARE(out.text().count("Deletion Error"), 0);

    if (what == QStringLiteral("growing")) {
        // Each read took what was there at its start, within the frame limit, and was deleted.
        QTRY_VERIFY_WITH_TIMEOUT(phone->messages() >= 1, kWait);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(previewPath()), kWait);
    } else {
        QCOMPARE(phone->messages(), 0);
        QVERIFY(QFileInfo::exists(previewPath()) || QFileInfo(previewPath()).isSymLink());
        // Once a real preview takes its place, it goes out as ever.
        QFileInfo(previewPath()).isDir() ? QDir(previewPath()).removeRecursively() : QFile::remove(previewPath());
        writePreview("after");
        QTRY_COMPARE_WITH_TIMEOUT(phone->messages(), 1, kWait);
    }
}

void MirroringTest::aPreviewTooLargeToSendIsSaidAndDeleted()
{
    peer::PeerLimits limits = test::quickLimits();
    limits.maxSendMessageBytes = 1024 * 1024;
    Mac mac({QStringLiteral("p")}, limits);
    test::StdoutCapture out;

    // With no phone, it goes silently, like any frame.
    writePreview(QByteArray(2 * 1024 * 1024, 'x'));
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(previewPath()), kWait);
    QCOMPARE(out.text(), QByteArray());

    Phone* phone = mac.phone(QStringLiteral("P"), QStringLiteral("p"));
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    // The largest image that still fits goes; one byte more does not.
    const qint64 fits = limits.maxSendMessageBytes
        - (PreviewData::encodedSize(limits.maxSendMessageBytes) - limits.maxSendMessageBytes);
    QCOMPARE(PreviewData::encodedSize(fits), limits.maxSendMessageBytes);
    writePreview(QByteArray(fits, 'f'));
    QTRY_COMPARE_WITH_TIMEOUT(phone->messages(), 1, kWait);
    writePreview(QByteArray(fits + 1, 'x'));
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(previewPath()), kWait);
    QTRY_VERIFY_WITH_TIMEOUT(
        out.text().contains("error sending data: Error Domain=GlasswingPeerLinkErrorDomain Code=2"), kWait);
    writePreview("small");
    QTRY_COMPARE_WITH_TIMEOUT(phone->messages(), 2, kWait);
    QCOMPARE(out.text().count("error sending data: "), 1);
}

void MirroringTest::aPreviewRenamedInWhileTheLastIsRemovedIsSentNext()
{
    Mac mac({QStringLiteral("p")});
    QTemporaryDir frames;
    Phone* phone = mac.phone(QStringLiteral("P"), QStringLiteral("p"), {QStringLiteral("--out"), frames.path()});
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    // The plug-in finishes the next frame at the worst moment: after the pump has read the last
    // one, just before it removes what it read.
    int removals = 0;
    mac.controller.beforePreviewRemoved = [&removals] {
        if (++removals == 1)
            writePreview("frame B");
    };
    writePreview("frame A");
    QTRY_COMPARE_WITH_TIMEOUT(phone->messages(), 2, kWait);
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(previewPath()), kWait);
    const auto frame = [&](int i) {
        return test::readAll(frames.path() + QStringLiteral("/message-%1.bin").arg(i, 6, 10, QLatin1Char('0')));
    };
    QVERIFY(frame(1).contains("frame A"));
    QVERIFY(frame(2).contains("frame B"));
    QCOMPARE(removals, 2);
    // Nothing of either is left in the folder.
    QCOMPARE(QDir(sharedCacheFolder()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("status.json")});
}

void MirroringTest::aPreviewClaimedBeforeACrashIsDiscardedAtStart()
{
    test::IsolatedHome home;
    QDir().mkpath(sharedCacheFolder());
    // A frame an earlier run had taken to read when it died: stale, and never sent.
    QVERIFY(test::writeFile(sharedCacheFile(QStringLiteral(".Preview@3x.png.reading")), "stale"));
    NotificationCenter center;
    SerialQueue queue{QStringLiteral("SerializationQueue")};
    ViewController controller(center, queue, test::quickLimits());
    controller.view();
    QVERIFY(!QFileInfo::exists(sharedCacheFile(QStringLiteral(".Preview@3x.png.reading"))));
    queue.waitUntilIdle();
}

void MirroringTest::aFinishedFileIsPickedUpAtOnceButNeverTooOften()
{
    Mac mac({QStringLiteral("p")});
    QTemporaryDir frames;
    Phone* phone = mac.phone(QStringLiteral("P"), QStringLiteral("p"), {QStringLiteral("--out"), frames.path()});
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    // Without its timer, the pump hears of each finished file from the folder itself, watched
    // from the first tick after the folder exists.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(sharedCacheFolder()), kWait);
    QTest::qWait(250);
    mac.controller.timerContainer->stop();
    constexpr int kFrames = 8;
    for (int i = 0; i < kFrames; ++i) {
        writePreview(QByteArray::number(i));
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(previewPath()), kWait);
    }
    QTRY_COMPARE_WITH_TIMEOUT(phone->messages(), kFrames, kWait);
    double previous = 0;
    for (int i = 1; i <= kFrames; ++i) {
        const QByteArray frame
            = test::readAll(frames.path() + QStringLiteral("/message-%1.bin").arg(i, 6, 10, QLatin1Char('0')));
        QCOMPARE(frame.mid(29, 1), QByteArray("\x23"));
        const double timestamp = qFromBigEndian<double>(frame.constData() + 30);
        if (i > 1)
            QVERIFY2(
                timestamp - previous >= 0.099,
                qPrintable(QStringLiteral("frame %1 read %2 s after the one before").arg(i).arg(timestamp - previous)));
        previous = timestamp;
    }
}

void MirroringTest::theFolderIsWatchedAgainOnceReplaced_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("removed") << QStringLiteral("removed");
    QTest::newRow("renamed away") << QStringLiteral("renamed");
    QTest::newRow("its parent renamed away") << QStringLiteral("parent");
    QTest::newRow("a file in its place for a while") << QStringLiteral("file");
}

void MirroringTest::theFolderIsWatchedAgainOnceReplaced()
{
    QFETCH(QString, how);
    Mac mac;
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(sharedCacheFolder()), kWait);
    QTest::qWait(250);
    const QString folder = sharedCacheFolder();
    const QString parent = QFileInfo(folder).path();
    if (how == QStringLiteral("removed")) {
        QVERIFY(QDir(folder).removeRecursively());
    } else if (how == QStringLiteral("renamed")) {
        QVERIFY(QDir().rename(folder, folder + QStringLiteral(".old")));
    } else if (how == QStringLiteral("parent")) {
        QVERIFY(QDir().rename(parent, parent + QStringLiteral(".old")));
    } else {
        QVERIFY(QDir(folder).removeRecursively());
        QFile file(folder);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QTest::qWait(250);
        QVERIFY(QFile::remove(folder));
    }
    QVERIFY(QDir().mkpath(folder));
    // A few ticks to find the new folder, then only the folder's own word brings frames in.
    QTest::qWait(350);
    mac.controller.timerContainer->stop();
    writePreview("again");
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(previewPath()), kWait);
}

void MirroringTest::theStatusComesBackWithTheFolder_data()
{
    QTest::addColumn<bool>("phone");
    QTest::addColumn<bool>("renamed"); // or removed
    QTest::newRow("connected, removed") << true << false;
    QTest::newRow("connected, renamed away") << true << true;
    QTest::newRow("not connected, removed") << false << false;
}

void MirroringTest::theStatusComesBackWithTheFolder()
{
    QFETCH(bool, phone);
    QFETCH(bool, renamed);
    Mac mac({QStringLiteral("p")});
    if (phone) {
        mac.phone(QStringLiteral("P"), QStringLiteral("p"));
        QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    }
    const QByteArray expected = phone ? test::kStatusTrue : test::kStatusFalse;
    QTRY_COMPARE_WITH_TIMEOUT(mac.status(), expected, kWait);
    QTest::qWait(250);
    // The user clears the caches; the plug-in makes its folder again for the next preview.
    const QString folder = sharedCacheFolder();
    QVERIFY(renamed ? QDir().rename(folder, folder + QStringLiteral(".old")) : QDir(folder).removeRecursively());
    QTest::qWait(250);
    QVERIFY(QDir().mkpath(folder));
    QTRY_COMPARE_WITH_TIMEOUT(mac.status(), expected, kWait);
}

void MirroringTest::aUserIdCannotForgeOutputLines_data()
{
    QTest::addColumn<QByteArray>("context");
    QTest::newRow("line feed") << QByteArray("eve\nConnected: Forged");
    QTest::newRow("carriage return") << QByteArray("eve\r\nNot Connected: Forged");
    QTest::newRow("NUL") << QByteArray("eve\0Connected: Forged", 22);
    QTest::newRow("next line") << QByteArray("eve\xC2\x85"
                                             "Connected: Forged");
    QTest::newRow("line separator") << QByteArray("eve\xE2\x80\xA8"
                                                  "Connected: Forged");
    // As long as a context can be, under the largest control message.
    QTest::newRow("11 KiB of line feeds, ill-formed UTF-8")
        << QByteArray("eve\xFF") + QByteArray(11 * 1024, '\n') + QByteArray("Connected: Forged");
}

void MirroringTest::aUserIdCannotForgeOutputLines()
{
    QFETCH(QByteArray, context);
    Mac mac;
    test::StdoutCapture out;
    test::RawPhone phone(mac.port());
    QVERIFY(QTest::qWaitFor([&] { return phone.upgraded || phone.disconnected; }, kWait) && phone.upgraded);
    phone.sendText(peer::ControlMessage::invitation(QStringLiteral("Eve"), context).serialize());
    QMessageBox* alert = waitForAlert(mac.controller);
    QVERIFY(alert);
    button(alert, QStringLiteral("Allow"))->click();
    QVERIFY(QTest::qWaitFor([&] { return phone.texts.size() == 1; }, kWait));
    phone.sendText(R"({"type":"joined"})");
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    // The same phone again, now remembered by its user ID as sent.
    test::RawPhone again(mac.port());
    QVERIFY(QTest::qWaitFor([&] { return again.upgraded || again.disconnected; }, kWait) && again.upgraded);
    again.sendText(peer::ControlMessage::invitation(QStringLiteral("Eve"), context).serialize());
    QVERIFY(QTest::qWaitFor([&] { return again.texts.size() == 1; }, kWait));
    QVERIFY(again.texts.first().contains("accept"));
    QCOMPARE(trustedDevices(), QJsonValue(QJsonArray{QString::fromUtf8(context)}));

    // Each event is one line, and no line holds a character that a reader could take for a
    // line break or a terminator.
    QString text;
    QTRY_VERIFY_WITH_TIMEOUT((text = QString::fromUtf8(out.text())).count(u'\n') >= 6, kWait);
    QVERIFY(text.endsWith(u'\n'));
    const QStringList lines = text.chopped(1).split(u'\n');
    QCOMPARE(lines.size(), 6);
    const QStringList starts{QStringLiteral("Incoming User ID: eve"),
                             QStringLiteral("Connecting: Eve"),
                             QStringLiteral("Connected: Eve"),
                             QStringLiteral("Incoming User ID: eve"),
                             QStringLiteral("Allowing Incoming User ID eve"),
                             QStringLiteral("Connecting: Eve")};
    for (int i = 0; i < lines.size(); ++i) {
        QVERIFY2(lines.at(i).startsWith(starts.at(i)), qPrintable(lines.at(i).left(80)));
        for (const QChar c : lines.at(i)) {
            QVERIFY2(
                c.category() != QChar::Other_Control && c.category() != QChar::Separator_Line
                    && c.category() != QChar::Separator_Paragraph,
                qPrintable(QStringLiteral("U+%1 in line %2").arg(c.unicode(), 4, 16, QLatin1Char('0')).arg(i + 1)));
        }
    }
}

void MirroringTest::theMainWindowComesBackWhereItWasLeft_data()
{
    QTest::addColumn<QJsonValue>("stored"); // what an earlier run left under "Main Window Position"
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
    QFETCH(QJsonValue, stored);
    QFETCH(bool, restored);
    const QString key = QStringLiteral("Main Window Position");
    test::IsolatedHome home;
    UserDefaults defaults;
    QVERIFY(defaults.setBool(QStringLiteral("Has Shown Mac Welcome"), true));
    if (!stored.isUndefined())
        QVERIFY(defaults.setObject(key, stored));
    NotificationCenter center;
    SerialQueue queue(QStringLiteral("SerializationQueue"));
    ViewController controller(center, queue, test::quickLimits());
    QWidget* window = controller.view();
    const QRect available = window->screen()->availableGeometry();
    const QPoint placed(available.right() - window->width() - 24, available.top() + 24);
    QCOMPARE(window->pos(), restored ? QPoint(40, 60) : placed);
    QCOMPARE(defaults.objectForKey(key), stored); // nothing stored until the user moves it

    // Moved by the user: stored once the move settles, and again, at once, when it closes.
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    window->move(120, 140);
    const auto position = [](int x, int y) {
        return QJsonValue(QJsonObject{{QStringLiteral("x"), x}, {QStringLiteral("y"), y}});
    };
    QTRY_COMPARE_WITH_TIMEOUT(defaults.objectForKey(key), position(120, 140), kWait);
    window->move(200, 150);
    window->close();
    QCOMPARE(defaults.objectForKey(key), position(200, 150));
    queue.waitUntilIdle();
}

namespace {

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

// Answers the accept with joined, once it has come.
void join(test::RawPhone& phone)
{
    QTRY_COMPARE_WITH_TIMEOUT(phone.texts.size(), 2, kWait);
    phone.sendText(R"({"type":"joined"})");
}

// The numbers of the frames "frame-NNNNNN" in these messages, in order.
QList<int> frameNumbers(const QList<QByteArray>& messages)
{
    static const QRegularExpression number(QStringLiteral("frame-(\\d{6})"));
    QList<int> numbers;
    for (const QByteArray& message : messages) {
        const QRegularExpressionMatch match = number.match(QString::fromLatin1(message));
        numbers << (match.hasMatch() ? match.captured(1).toInt() : -1);
    }
    return numbers;
}

QByteArray frame(int n)
{
    return QStringLiteral("frame-%1").arg(n, 6, 10, QLatin1Char('0')).toLatin1();
}

// What a glasswing-phone wrote with --out, message by message.
QList<QByteArray> savedMessages(const QString& folder)
{
    QList<QByteArray> messages;
    const QStringList names = QDir(folder).entryList({QStringLiteral("message-*.bin")}, QDir::Files, QDir::Name);
    for (const QString& name : names)
        messages << test::readAll(folder + u'/' + name);
    return messages;
}

// The web viewer's messages on the mirroring category, while it lives.
class WarningCapture {
public:
    WarningCapture()
    {
        s_lines.clear();
        m_previous = qInstallMessageHandler(&WarningCapture::handle);
        s_previous = m_previous;
    }
    ~WarningCapture() { qInstallMessageHandler(m_previous); }
    static QStringList lines() { return s_lines; }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        if (type == QtWarningMsg && context.category && QByteArray(context.category) == "glasswing.mirroring")
            s_lines << message;
        if (s_previous)
            s_previous(type, context, message);
    }
    QtMessageHandler m_previous = nullptr;
    static inline QStringList s_lines;
    static inline QtMessageHandler s_previous = nullptr;
};

} // namespace

void MirroringTest::theWebPortIsChosenOnceAndKept_data()
{
    QTest::addColumn<QJsonValue>("stored");
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
    QFETCH(QJsonValue, stored);
    QFETCH(bool, taken);
    QFETCH(bool, kept);
    const QString key = QStringLiteral("Web Viewer Port");
    // "0" in a row stands for a port that was free a moment ago.
    QTcpServer holder;
    if (stored == QJsonValue(0)) {
        QVERIFY(holder.listen(QHostAddress::Any));
        stored = int(holder.serverPort());
        if (!taken)
            holder.close();
    }
    Mac mac({}, test::quickLimits(), [&] {
        if (!stored.isUndefined())
            QVERIFY(UserDefaults().setObject(key, stored));
    });
    const quint16 port = mac.controller.webViewerPort();
    QVERIFY(port != 0);
    QVERIFY(port != mac.port());
    if (kept) {
        QCOMPARE(UserDefaults().objectForKey(key), stored);
        QCOMPARE(port == stored.toInt(), !taken);
    } else {
        QCOMPARE(UserDefaults().objectForKey(key), QJsonValue(int(port)));
    }
    test::WebClient browser(port, "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
    QVERIFY(browser.waitForClose());
    QCOMPARE(browser.status(), 200);
}

void MirroringTest::theWebIdentityIsKeptAndRenewedOnRequest()
{
    Mac mac;
    const QString path = ViewController::webIdentityPath();
    QVERIFY(path.startsWith(mac.home.path()));
    QVERIFY(mac.controller.webIdentity().stored);
    const peer::PersistentIdentity stored = peer::PersistentIdentity::loadOrMake(path, QStringLiteral("x"));
    QVERIFY(!stored.made);
    QCOMPARE(stored.fingerprint(), mac.controller.webIdentity().fingerprint());
    test::WebClient before(mac.controller.webViewerPort(), "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
    QVERIFY(before.waitForClose());
    QCOMPARE(before.socket().peerCertificate(), mac.controller.webIdentity().certificate);

    const QByteArray old = mac.controller.webIdentity().fingerprint();
    QVERIFY(mac.controller.renewWebIdentity());
    QVERIFY(mac.controller.webIdentity().fingerprint() != old);
    QCOMPARE(peer::PersistentIdentity::loadOrMake(path, QStringLiteral("x")).fingerprint(),
             mac.controller.webIdentity().fingerprint());
    test::WebClient after(mac.controller.webViewerPort(), "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
    QVERIFY(after.waitForClose());
    QCOMPARE(after.status(), 200);
    QCOMPARE(after.socket().peerCertificate(), mac.controller.webIdentity().certificate);
}

void MirroringTest::aDataFolderThatCannotBeWrittenStillServes()
{
    WarningCapture warnings;
    // A file where the app's data folder should be.
    Mac mac({}, test::quickLimits(), [] {
        QFile blocker(QFileInfo(ViewController::webIdentityPath()).absolutePath());
        QVERIFY(QDir().mkpath(QFileInfo(blocker.fileName()).absolutePath()));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    });
    QVERIFY(!mac.controller.webIdentity().stored);
    QVERIFY(!mac.controller.webIdentity().isNull());
    const QStringList said = warnings.lines().filter(QStringLiteral("not stored"));
    QCOMPARE(said.size(), 1);
    test::WebClient browser(mac.controller.webViewerPort(), "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
    QVERIFY(browser.waitForClose());
    QCOMPARE(browser.status(), 200);
    QCOMPARE(browser.socket().peerCertificate(), mac.controller.webIdentity().certificate);
    QCOMPARE(warnings.lines().filter(QStringLiteral("not stored")).size(), 1);
}

void MirroringTest::theAlertSaysWhichKindOfPhoneAsks()
{
    Mac mac;
    std::unique_ptr<test::RawPhone> browser = browserPhone(mac, QStringLiteral("iPhone"), QStringLiteral("web-1"));
    QCOMPARE(browser->texts.size(), 1);
    const QString code
        = QJsonDocument::fromJson(browser->texts.first()).object().value(QStringLiteral("code")).toString();
    QCOMPARE(code.size(), 4);
    QMessageBox* alert = waitForAlert(mac.controller);
    QVERIFY(alert);
    QCOMPARE(alert->text(), QStringLiteral("Begin mirroring with \"iPhone\"?"));
    QCOMPARE(alert->informativeText(), QStringLiteral("A web browser on a phone, showing the code %1.").arg(code));
    button(alert, QStringLiteral("Allow"))->click();
    join(*browser);
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    QCOMPARE(mac.status(), test::kStatusTrue);
}

void MirroringTest::aJoiningPhoneGetsTheNewestFrame_data()
{
    QTest::addColumn<QString>("phone"); // the app, or a browser over the WebSocket or the stream
    QTest::addColumn<int>("readBefore"); // frames read before the phone joins

    for (const char* phone : {"app", "websocket", "stream"}) {
        QTest::addRow("%s, two frames read before", phone) << QString::fromLatin1(phone) << 2;
        QTest::addRow("%s, none read before", phone) << QString::fromLatin1(phone) << 0;
    }
}

void MirroringTest::aJoiningPhoneGetsTheNewestFrame()
{
    QFETCH(QString, phone);
    QFETCH(int, readBefore);
    Mac mac({QStringLiteral("p")});
    for (int n = 1; n <= readBefore; ++n) {
        writePreview(frame(n));
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(previewPath()), kWait);
    }
    QTemporaryDir out;
    std::unique_ptr<test::RawPhone> web;
    std::unique_ptr<test::WebClient> stream;
    Phone* app = nullptr;
    if (phone == QStringLiteral("websocket")) {
        web = browserPhone(mac, QStringLiteral("B"), QStringLiteral("p"));
        join(*web);
    } else if (phone == QStringLiteral("stream")) {
        const QByteArray host = "127.0.0.1:" + QByteArray::number(mac.controller.webViewerPort());
        const QByteArray body = R"({"type":"invitation","name":"S","context":"cA=="})";
        stream = std::make_unique<test::WebClient>(mac.controller.webViewerPort(),
                                                   "POST /stream HTTP/1.1\r\nHost: " + host + "\r\nOrigin: https://"
                                                       + host + "\r\nContent-Length: " + QByteArray::number(body.size())
                                                       + "\r\n\r\n" + body);
    } else {
        app = mac.phone(QStringLiteral("A"), QStringLiteral("p"),
                        {QStringLiteral("--out"), out.path(), QStringLiteral("--count"), QStringLiteral("2")});
    }
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 1, kWait);
    const auto received = [&] {
        if (web)
            return web->binaries;
        if (!stream)
            return savedMessages(out.path());
        QList<QByteArray> frames;
        for (const test::WebClient::Record& record : stream->records()) {
            if (record.kind == 2)
                frames << record.payload;
        }
        return frames;
    };
    if (readBefore > 0)
        QTRY_COMPARE_WITH_TIMEOUT(received().size(), 1, kWait);
    writePreview(frame(readBefore + 1));
    const QList<int> expected = readBefore > 0 ? QList<int>{readBefore, readBefore + 1} : QList<int>{1};
    QTRY_COMPARE_WITH_TIMEOUT(frameNumbers(received()), expected, kWait);
    if (readBefore == 0) {
        // Nothing came before the first frame read, and the next is the one after it.
        writePreview(frame(2));
        QTRY_COMPARE_WITH_TIMEOUT(frameNumbers(received()), (QList<int>{1, 2}), kWait);
    }
    if (app)
        QVERIFY(app->waitForExit());
}

void MirroringTest::noPhoneIsSentAnOlderFrameThanItHas()
{
    Mac mac({QStringLiteral("p")});
    // Frames keep coming, faster than the pump reads them, while phones join.
    int written = 0;
    QTimer writer;
    QObject::connect(&writer, &QTimer::timeout, [&] {
        if (!QFile::exists(previewPath()))
            writePreview(frame(++written));
    });
    writer.start(15);
    QTemporaryDir out;
    std::vector<std::unique_ptr<test::RawPhone>> browsers;
    std::vector<QString> folders;
    for (int i = 0; i < 3; ++i) {
        folders.push_back(out.path() + QStringLiteral("/app%1").arg(i));
        QDir().mkpath(folders.back());
        mac.phone(QStringLiteral("A%1").arg(i), QStringLiteral("p"),
                  {QStringLiteral("--out"), folders.back(), QStringLiteral("--count"), QStringLiteral("6")});
        browsers.push_back(browserPhone(mac, QStringLiteral("B%1").arg(i), QStringLiteral("p")));
        join(*browsers.back());
        QTest::qWait(35); // joins spread over the frames
    }
    QTRY_COMPARE_WITH_TIMEOUT(mac.connected(), 6, kWait);
    for (const auto& phone : browsers)
        QTRY_VERIFY_WITH_TIMEOUT(phone->binaries.size() >= 6, 3 * kWait);
    for (const QString& folder : folders)
        QTRY_COMPARE_WITH_TIMEOUT(savedMessages(folder).size(), 6, 3 * kWait);
    writer.stop();

    QList<QList<int>> sequences;
    for (const auto& phone : browsers)
        sequences << frameNumbers(phone->binaries);
    for (const QString& folder : folders)
        sequences << frameNumbers(savedMessages(folder));
    for (const QList<int>& numbers : std::as_const(sequences)) {
        for (qsizetype i = 1; i < numbers.size(); ++i)
            QVERIFY2(numbers.at(i) > numbers.at(i - 1), qPrintable(QStringLiteral("%1").arg([&] {
                         QStringList text;
                         for (int n : numbers)
                             text << QString::number(n);
                         return text.join(u' ');
                     }())));
        QVERIFY(numbers.first() > 0);
    }
}

QTEST_MAIN(MirroringTest)
#include "mirroring_test.moc"
