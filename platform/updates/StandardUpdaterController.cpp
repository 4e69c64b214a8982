#include "platform/updates/StandardUpdaterController.h"

#include "platform/ApplicationIcon.h"
#include "platform/updates/InfoDictionary.h"
#include "platform/updates/VersionComparison.h"

#include <QDesktopServices>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPushButton>
#include <QStyle>

#include <utility>

namespace glasswing {

Q_LOGGING_CATEGORY(lcUpdates, "glasswing.updates", QtInfoMsg)

namespace {

const QString kAutomaticChecksKey = QStringLiteral("SUEnableAutomaticChecks");
const QString kLastCheckTimeKey = QStringLiteral("SULastCheckTime");
// Far more than any real release note; beyond it the dialog would outgrow the screen.
constexpr qsizetype kMaximumNotesShown = 4000;
// The reply buffers no more than this, so that an oversized feed is seen while it arrives.
constexpr qint64 kReadBufferSize = 64 * 1024;

bool isLoopbackHost(const QUrl& url)
{
    const QString host = url.host();
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    QHostAddress address;
    return address.setAddress(host) && address.isLoopback();
}

bool isPlainLoopback(const QUrl& url)
{
    return url.isValid() && url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) == 0
        && isLoopbackHost(url);
}

// HTTPS anywhere; plain HTTP only to this machine, and only for a check whose configured feed is
// itself plain HTTP on this machine (tests, development). A check that began on HTTPS never goes
// on over plain HTTP, not even to this machine, where a redirect could otherwise aim it at a
// local service.
bool isAllowedAddress(const QUrl& url, bool plainLoopbackAllowed)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    return url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0
        || (plainLoopbackAllowed && isPlainLoopback(url));
}

QString applicationName()
{
    const QString name = infoDictionaryString(QStringLiteral("CFBundleName"));
    return name.isEmpty() ? QStringLiteral("Glasswing") : name;
}

// What the user can do about a failed check.
QString adviceAfter(StandardUpdaterController::Failure failure)
{
    using Failure = StandardUpdaterController::Failure;
    switch (failure) {
    case Failure::CannotReachServer:
    case Failure::TimedOut:
        return QStringLiteral("Check your connection to the internet and try again later.");
    case Failure::InvalidAddress:
    case Failure::InsecureAddress:
        return QStringLiteral("This build's update address cannot be used; get newer versions from where you got "
                              "this one.");
    default:
        return QStringLiteral("The update server may be having trouble: try again later.");
    }
}

} // namespace

StandardUpdaterController::StandardUpdaterController(bool startingUpdater, QObject* parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this))
{
    m_network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        const double seconds = double(m_timeout.count()) / 1000.0;
        fail(Failure::TimedOut, QStringLiteral("The update server took too long to answer (more than %1 %2).")
                                    .arg(QString::number(seconds), seconds == 1.0 ? QStringLiteral("second")
                                                                                   : QStringLiteral("seconds")));
    });
    m_schedule.setSingleShot(true);
    connect(&m_schedule, &QTimer::timeout, this, &StandardUpdaterController::automaticCheckDue);
    if (startingUpdater)
        startUpdater();
}

StandardUpdaterController::~StandardUpdaterController()
{
    dropReply();
    if (m_dialog)
        delete m_dialog.data();
}

void StandardUpdaterController::startUpdater()
{
    if (std::exchange(m_started, true))
        return;
    if (automaticallyChecksForUpdates() && hasFeed())
        scheduleFromLastCheck();
}

void StandardUpdaterController::scheduleFromLastCheck()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime last = QDateTime::fromString(m_defaults.stringForKey(kLastCheckTimeKey), Qt::ISODate);
    const QDateTime due = last.isValid() ? last.addSecs(std::chrono::seconds(kCheckInterval).count()) : now;
    // A last check in the future means the clock was set back: check now rather than wait.
    scheduleAutomaticCheck(last.isValid() && last <= now && due > now ? due : now);
}

bool StandardUpdaterController::automaticallyChecksForUpdates() const
{
    return m_defaults.boolForKey(kAutomaticChecksKey);
}

void StandardUpdaterController::setAutomaticallyChecksForUpdates(bool automatically)
{
    m_defaults.setBool(kAutomaticChecksKey, automatically);
    if (!automaticallyChecksForUpdates()) {
        m_schedule.stop();
        m_nextCheck = QDateTime();
    } else if (m_started && hasFeed() && !m_schedule.isActive() && !isChecking()) {
        scheduleFromLastCheck();
    }
}

QUrl StandardUpdaterController::feedURL() const
{
    if (!m_feedOverride.isEmpty())
        return m_feedOverride;
    return QUrl(infoDictionaryString(QStringLiteral("SUFeedURL")));
}

QString StandardUpdaterController::currentVersion()
{
    return infoDictionaryString(QStringLiteral("CFBundleShortVersionString"));
}

QString StandardUpdaterController::currentBuild()
{
    return infoDictionaryString(QStringLiteral("CFBundleVersion"));
}

void StandardUpdaterController::checkForUpdates()
{
    beginCheck(true);
}

void StandardUpdaterController::checkForUpdatesInBackground()
{
    beginCheck(false);
}

void StandardUpdaterController::beginCheck(bool userInitiated)
{
    if (!hasFeed()) {
        // Nothing to fetch: the package manager brings new versions. Only the user is answered.
        if (userInitiated) {
            m_lastOutcome = Outcome::NoFeed;
            m_lastFailure = Failure::None;
            m_lastFailureReason.clear();
            m_lastItem = AppcastItem();
            showDialog();
            Q_EMIT checkFinished();
        }
        return;
    }
    if (m_checking) {
        // The running check answers the user instead of a second one.
        m_userInitiated = m_userInitiated || userInitiated;
        return;
    }
    m_checking = true;
    m_userInitiated = userInitiated;
    m_redirects = 0;
    const QUrl url = feedURL();
    if (!url.isValid() || url.host().isEmpty()) {
        fail(Failure::InvalidAddress, QStringLiteral("The update feed address \"%1\" is not valid.").arg(url.toString()));
        return;
    }
    m_plainLoopbackAllowed = isPlainLoopback(url);
    if (!isAllowedAddress(url, m_plainLoopbackAllowed)) {
        fail(Failure::InsecureAddress,
             QStringLiteral("The update feed address %1 is insecure: only HTTPS addresses are allowed.")
                 .arg(url.toDisplayString()));
        return;
    }
    m_deadline.start(m_timeout);
    sendRequest(url);
}

void StandardUpdaterController::sendRequest(const QUrl& url)
{
    m_requestURL = url;
    m_decoder.reset();
    m_otherBodyBytes = 0;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("%1/%2").arg(applicationName(), currentVersion()));
    request.setRawHeader("Accept", "application/rss+xml, application/xml, text/xml, */*");
    // Asked for here, the body comes packed and is unpacked by the check itself, which holds the
    // unpacked bytes to the size limit; left to the network stack, a small body could unpack
    // into gigabytes before anything counted them.
    request.setRawHeader("Accept-Encoding", FeedDecoder::acceptedEncodings());
    m_reply = m_network->get(request);
    m_reply->setReadBufferSize(kReadBufferSize);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &StandardUpdaterController::checkDeclaredLength);
    connect(m_reply, &QIODevice::readyRead, this, &StandardUpdaterController::receive);
    connect(m_reply, &QNetworkReply::finished, this, &StandardUpdaterController::replyFinished);
}

void StandardUpdaterController::checkDeclaredLength()
{
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    // The told length is that of the bytes on the wire; what they unpack to is counted as it comes.
    if (status >= 200 && status < 300 && length.isValid() && length.toLongLong() > kMaximumFeedSize)
        failFeedTooLarge();
}

void StandardUpdaterController::receive()
{
    const int status = m_reply ? m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
    const bool isFeed = status >= 200 && status < 300;
    if (isFeed && !m_decoder)
        m_decoder = std::make_unique<FeedDecoder>(m_reply->rawHeader("Content-Encoding"), kMaximumFeedSize);
    // Never more than the limit and one buffer's worth in memory: stop once past the limit.
    while (m_reply && m_reply->bytesAvailable() > 0) {
        const QByteArray piece = m_reply->read(kReadBufferSize);
        if (!isFeed) {
            // Not the feed (a redirect, an error page): only its size matters.
            m_otherBodyBytes += piece.size();
            if (m_otherBodyBytes > kMaximumFeedSize)
                failFeedTooLarge();
        } else if (!decoded(m_decoder->append(piece))) {
            return;
        }
    }
}

bool StandardUpdaterController::decoded(FeedDecoder::Result result)
{
    switch (result) {
    case FeedDecoder::Result::Ok:
        return true;
    case FeedDecoder::Result::TooLarge:
        failFeedTooLarge();
        return false;
    case FeedDecoder::Result::Corrupt:
        fail(Failure::InvalidFeed,
             QStringLiteral("The server did not send a valid update feed: its compressed "
                            "content is damaged or cut short."));
        return false;
    case FeedDecoder::Result::UnsupportedEncoding:
        fail(Failure::InvalidFeed,
             QStringLiteral("The server did not send a valid update feed: it came in an "
                            "encoding that was not asked for (%1).")
                 .arg(QString::fromLatin1(m_reply->rawHeader("Content-Encoding"))));
        return false;
    }
    return false;
}

void StandardUpdaterController::failFeedTooLarge()
{
    fail(Failure::FeedTooLarge, QStringLiteral("The update feed is too large (more than 1 MiB)."));
}

void StandardUpdaterController::replyFinished()
{
    const QVariant statusAttribute = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QNetworkReply::NetworkError error = m_reply->error();
    if (!statusAttribute.isValid() || (error != QNetworkReply::NoError && statusAttribute.toInt() < 300)) {
        const QString detail = m_reply->errorString();
        if (error == QNetworkReply::SslHandshakeFailedError)
            fail(Failure::CannotReachServer,
                 QStringLiteral("A secure connection to the update server could not be made (%1).").arg(detail));
        else if (statusAttribute.isValid())
            fail(Failure::CannotReachServer,
                 QStringLiteral("The connection to the update server broke off (%1).").arg(detail));
        else
            fail(Failure::CannotReachServer, QStringLiteral("The update server cannot be reached (%1).").arg(detail));
        return;
    }
    const int status = statusAttribute.toInt();
    if (status >= 300 && status < 400) {
        const QUrl location = m_reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
        if (location.isValid()) {
            const QUrl target = m_requestURL.resolved(location);
            if (++m_redirects > kMaximumRedirects) {
                fail(Failure::TooManyRedirects,
                     QStringLiteral("The update server redirected more than %1 times.").arg(kMaximumRedirects));
            } else if (!isAllowedAddress(target, m_plainLoopbackAllowed)) {
                fail(Failure::InsecureAddress,
                     QStringLiteral("The update server redirected to an insecure address (%1): only HTTPS "
                                    "addresses are allowed.")
                         .arg(target.toDisplayString()));
            } else {
                dropReplyOnly();
                sendRequest(target);
            }
            return;
        }
    }
    if (status == 404 || status == 410) {
        fail(Failure::NotFound,
             QStringLiteral("The update feed was not found on the server (HTTP status %1).").arg(status));
        return;
    }
    if (status < 200 || status >= 300) {
        fail(Failure::HttpStatus, QStringLiteral("The update server answered with HTTP status %1.").arg(status));
        return;
    }
    receive();
    if (!m_reply)
        return;
    if (!m_decoder)
        m_decoder = std::make_unique<FeedDecoder>(m_reply->rawHeader("Content-Encoding"), kMaximumFeedSize);
    if (!decoded(m_decoder->finish()))
        return;
    const QByteArray data = m_decoder->takeDecoded();
    dropReply();
    QString why;
    const std::optional<QList<AppcastItem>> items = parseAppcast(data, m_requestURL, &why);
    if (!items) {
        fail(Failure::InvalidFeed, QStringLiteral("The server did not send a valid update feed: %1.").arg(why));
        return;
    }
    succeed(*items);
}

void StandardUpdaterController::succeed(const QList<AppcastItem>& items)
{
    const AppcastItem* newest = newestItem(items);
    m_lastItem = newest ? *newest : AppcastItem();
    if (!newest) {
        finish(Outcome::UpToDate);
        return;
    }
    // Builds compare with builds; an item without one is compared by its display version.
    const int order = newest->version.isEmpty() ? compareVersions(newest->shortVersionString, currentVersion())
                                                : compareVersions(newest->version, currentBuild());
    if (order <= 0) {
        finish(Outcome::UpToDate);
    } else if (!isAllowedAddress(newest->downloadURL, m_plainLoopbackAllowed)) {
        fail(Failure::InvalidFeed,
             QStringLiteral("The server did not send a valid update feed: version %1 has no secure download "
                            "address.")
                 .arg(newest->displayVersion()));
    } else {
        finish(Outcome::UpdateAvailable);
    }
}

void StandardUpdaterController::fail(Failure failure, const QString& reason)
{
    dropReply();
    m_lastItem = AppcastItem();
    m_lastFailure = failure;
    m_lastFailureReason = reason;
    finish(Outcome::Failed);
}

void StandardUpdaterController::finish(Outcome outcome)
{
    dropReply();
    m_checking = false;
    m_lastOutcome = outcome;
    if (outcome != Outcome::Failed) {
        m_lastFailure = Failure::None;
        m_lastFailureReason.clear();
    }
    const bool userInitiated = std::exchange(m_userInitiated, false);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    m_defaults.setString(kLastCheckTimeKey, now.toString(Qt::ISODateWithMs));
    if (outcome == Outcome::Failed && !userInitiated)
        qCWarning(lcUpdates).noquote() << "Automatic update check failed:" << m_lastFailureReason;
    else
        qCDebug(lcUpdates) << "Update check finished:" << outcome;
    if (userInitiated || outcome == Outcome::UpdateAvailable)
        showDialog();
    if (m_started && automaticallyChecksForUpdates() && hasFeed())
        scheduleAutomaticCheck(now.addSecs(std::chrono::seconds(kCheckInterval).count()));
    Q_EMIT checkFinished();
}

void StandardUpdaterController::dropReplyOnly()
{
    if (QNetworkReply* reply = std::exchange(m_reply, nullptr)) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    m_decoder.reset();
    m_otherBodyBytes = 0;
}

void StandardUpdaterController::dropReply()
{
    m_deadline.stop();
    dropReplyOnly();
}

void StandardUpdaterController::showDialog()
{
    // One dialog at a time: a new outcome replaces the one still open.
    if (m_dialog)
        m_dialog->close();
    auto* box = new QMessageBox(m_dialogParent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // Everything shown may come from the feed: plain text only, never rendered.
    box->setTextFormat(Qt::PlainText);
    const QString name = applicationName();
    switch (m_lastOutcome) {
    case Outcome::UpdateAvailable: {
        box->setIcon(QMessageBox::Information);
        box->setWindowTitle(QStringLiteral("A new version of %1 is available!").arg(name));
        QString text = QStringLiteral("%1 %2 is now available (you have %3). Would you like to download it now?")
                           .arg(name, m_lastItem.displayVersion(), currentVersion());
        if (!m_lastItem.releaseNotes.isEmpty()) {
            QString notes = m_lastItem.releaseNotes;
            if (notes.size() > kMaximumNotesShown)
                notes = notes.left(kMaximumNotesShown) + QStringLiteral("…");
            text += QStringLiteral("\n\nRelease notes:\n") + notes;
        } else if (m_lastItem.releaseNotesURL.isValid()) {
            text += QStringLiteral("\n\nRelease notes: ") + m_lastItem.releaseNotesURL.toDisplayString();
        }
        box->setText(text);
        QPushButton* download = box->addButton(QStringLiteral("Download"), QMessageBox::AcceptRole);
        box->addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
        box->setDefaultButton(download);
        const QUrl page = m_lastItem.downloadURL;
        connect(download, &QPushButton::clicked, this, [page] { QDesktopServices::openUrl(page); });
        break;
    }
    case Outcome::UpToDate:
        box->setIcon(QMessageBox::Information);
        box->setWindowTitle(QStringLiteral("You're up to date"));
        box->setText(QStringLiteral("%1 %2 is the newest version available.").arg(name, currentVersion()));
        box->setStandardButtons(QMessageBox::Ok);
        break;
    case Outcome::NoFeed: {
        // The app's own icon: this is about the app, and no warning.
        const int size = box->style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, box);
        box->setIconPixmap(applicationIcon().pixmap(QSize(size, size), box->devicePixelRatio()));
        box->setWindowTitle(QStringLiteral("Updates come with the package"));
        box->setText(QStringLiteral("This is %1 %2.\n\nNew versions come with the package it was installed from: "
                                    "your system's software updater (or apt) installs them along with the rest "
                                    "of the system.")
                         .arg(name, currentVersion()));
        box->setStandardButtons(QMessageBox::Ok);
        break;
    }
    case Outcome::Failed:
    case Outcome::NotChecked:
        box->setIcon(QMessageBox::Warning);
        box->setWindowTitle(QStringLiteral("Update check failed"));
        box->setText(QStringLiteral("%1 %2 could not check for a newer version.\n\n%3\n\n%4")
                         .arg(name, currentVersion(), m_lastFailureReason, adviceAfter(m_lastFailure)));
        box->setStandardButtons(QMessageBox::Ok);
        break;
    }
    m_dialog = box;
    box->open();
}

void StandardUpdaterController::scheduleAutomaticCheck(const QDateTime& when)
{
    m_nextCheck = when;
    const qint64 delay = qMax<qint64>(0, QDateTime::currentDateTimeUtc().msecsTo(when));
    m_schedule.start(std::chrono::milliseconds(delay));
}

void StandardUpdaterController::automaticCheckDue()
{
    m_nextCheck = QDateTime();
    // Turned off since it was scheduled: no check, and none after it.
    if (automaticallyChecksForUpdates() && hasFeed())
        checkForUpdatesInBackground();
}

} // namespace glasswing
