#pragma once

#include "platform/UserDefaults.h"
#include "platform/updates/Appcast.h"
#include "platform/updates/FeedDecoder.h"

#include <QByteArray>
#include <QDateTime>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;

namespace glasswing {

// A small stand-in for a software-update framework's standard updater controller: it fetches
// the appcast named by the bundle setting "SUFeedURL", compares its newest item with the
// bundle's version and tells the user in a dialog.
//
// A build without a feed (the build setting GLASSWING_UPDATE_FEED left empty, as for the Debian
// package, which the system's package manager updates) never checks: the user's "Check for
// Updates…" is answered with the version and that updates come with the package, and automatic
// checks are never scheduled, whatever the stored setting says.
//
// Checks run asynchronously on the main thread and never block the interface; one at a time.
// Only HTTPS feeds are fetched (plain HTTP only to loopback: 127.0.0.1, [::1], localhost), and
// redirects only to such addresses, at most five; a check that begins on HTTPS stays on HTTPS,
// redirects and download link included. A feed of more than 1 MiB (on the wire, or once
// unpacked from gzip or deflate) is dropped as soon as that much has arrived or been unpacked,
// and a check that takes longer than its limit (30 s) is given up.
//
// Automatic checks follow the user default "SUEnableAutomaticChecks" (off unless true): when
// on, a check runs at start if the last one ("SULastCheckTime", an ISO date) was 24 hours ago or
// more, or never, and then every 24 hours. They stay quiet unless a newer version exists, and
// say why they failed on standard error only (logging category "glasswing.updates"). A check
// the user asked for always ends in a dialog.
class StandardUpdaterController : public QObject {
    Q_OBJECT
public:
    // NoFeed: this build has no feed; its updates come with the package.
    enum class Outcome { NotChecked, UpToDate, UpdateAvailable, Failed, NoFeed };
    Q_ENUM(Outcome)
    enum class Failure {
        None,
        InvalidAddress, // no feed address, or not a URL
        InsecureAddress, // not HTTPS, and not loopback
        CannotReachServer,
        NotFound, // HTTP 404 or 410
        HttpStatus, // any other status that is not success
        TooManyRedirects,
        InvalidFeed,
        FeedTooLarge,
        TimedOut,
    };
    Q_ENUM(Failure)

    static constexpr qint64 kMaximumFeedSize = 1024 * 1024;
    static constexpr int kMaximumRedirects = 5;
    static constexpr std::chrono::milliseconds kDefaultTimeout {30'000};
    static constexpr std::chrono::hours kCheckInterval {24};

    // With `startingUpdater`, starts at once (see startUpdater()). Uses the app's user defaults.
    explicit StandardUpdaterController(bool startingUpdater, QObject* parent = nullptr);
    ~StandardUpdaterController() override;

    // Schedules the automatic checks when they are enabled; does nothing the second time.
    void startUpdater();
    // Turns the daily automatic checks on or off, as the user chose; stored, so it lasts. Turned
    // on, the next check is due a day after the last one (at once if that has passed).
    void setAutomaticallyChecksForUpdates(bool automatically);
    bool automaticallyChecksForUpdates() const;
    // When the next automatic check is due; invalid when none is scheduled.
    QDateTime nextScheduledCheck() const { return m_nextCheck; }

    // The feed: the override when one is set, else the bundle's "SUFeedURL".
    QUrl feedURL() const;
    // Whether there is a feed to check at all (an override or the build's); without one, checks
    // answer NoFeed and nothing is scheduled.
    bool hasFeed() const { return !feedURL().isEmpty(); }
    // For tests only: a feed of their own instead of the bundle's. An empty URL clears it.
    void setFeedURL(const QUrl& url) { m_feedOverride = url; }
    // The bundle's display version ("CFBundleShortVersionString") and build ("CFBundleVersion"),
    // which is the one compared with the feed's versions.
    static QString currentVersion();
    static QString currentBuild();

    // For tests: another limit on the whole check than 30 s, another user-defaults store.
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }
    void setUserDefaults(const UserDefaults& defaults) { m_defaults = defaults; }
    // The window the dialogs are attached to; none by default.
    void setDialogParent(QWidget* parent) { m_dialogParent = parent; }

    bool isChecking() const { return m_checking; }
    // What the last finished check found; NotChecked before the first.
    Outcome lastOutcome() const { return m_lastOutcome; }
    Failure lastFailure() const { return m_lastFailure; }
    // The sentence the user is shown for the last failure; empty unless it failed.
    QString lastFailureReason() const { return m_lastFailureReason; }
    // The newest item of the last feed read; empty when none was.
    const AppcastItem& lastFoundItem() const { return m_lastItem; }
    // The dialog last shown, while it is open.
    QMessageBox* dialog() const { return m_dialog; }

public Q_SLOTS:
    // The user's "Check for Updates…": always ends in a dialog. While a check runs, starts no
    // other; the running one shows its outcome instead.
    void checkForUpdates();
    // An automatic check: a dialog only when a newer version exists.
    void checkForUpdatesInBackground();

Q_SIGNALS:
    // A check ended, whatever its outcome; lastOutcome() and the rest are set.
    void checkFinished();

private:
    void beginCheck(bool userInitiated);
    void sendRequest(const QUrl& url);
    void receive();
    // Fails the check unless `result` is Ok; true when it is.
    bool decoded(FeedDecoder::Result result);
    void failFeedTooLarge();
    void checkDeclaredLength();
    void replyFinished();
    void fail(Failure failure, const QString& reason);
    void succeed(const QList<AppcastItem>& items);
    void finish(Outcome outcome);
    // Stops the whole check's clock too; dropReplyOnly() ends the current request only.
    void dropReply();
    void dropReplyOnly();
    void showDialog();
    void scheduleFromLastCheck();
    void scheduleAutomaticCheck(const QDateTime& when);
    void automaticCheckDue();

    UserDefaults m_defaults;
    QUrl m_feedOverride;
    std::chrono::milliseconds m_timeout = kDefaultTimeout;
    QPointer<QWidget> m_dialogParent;
    QNetworkAccessManager* m_network;
    QNetworkReply* m_reply = nullptr;
    // The feed's body as it arrives, unpacked and held to the size limit; made for a success
    // status only.
    std::unique_ptr<FeedDecoder> m_decoder;
    qint64 m_otherBodyBytes = 0; // the body of any other answer, only counted
    QUrl m_requestURL;
    int m_redirects = 0;
    // The check's configured feed is plain HTTP on this machine: only then may its redirects and
    // download link be plain HTTP on this machine too.
    bool m_plainLoopbackAllowed = false;
    QTimer m_deadline;
    QTimer m_schedule;
    QDateTime m_nextCheck;
    bool m_started = false;
    bool m_checking = false;
    bool m_userInitiated = false;
    Outcome m_lastOutcome = Outcome::NotChecked;
    Failure m_lastFailure = Failure::None;
    QString m_lastFailureReason;
    AppcastItem m_lastItem;
    QPointer<QMessageBox> m_dialog;
};

} // namespace glasswing
