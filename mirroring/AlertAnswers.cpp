#include "mirroring/AlertAnswers.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFile>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace glasswing {

Q_LOGGING_CATEGORY(lcAlertAnswers, "glasswing.test-alert", QtInfoMsg)

AlertAnswers* AlertAnswers::fromEnvironment(QObject* parent)
{
    const QByteArray path = qgetenv(kVariable);
    if (path.isEmpty())
        return nullptr;
    // Opened for writing too, so that a test closing its end is no end of file: the next test's
    // answers come down the same FIFO. Never blocks, whether or not anyone has it open.
    const int fd = ::open(path.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    struct stat info { };
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode)) {
        qCWarning(lcAlertAnswers, "%s: %s is not a FIFO that can be read; alerts wait for the user", kVariable,
                  path.constData());
        if (fd >= 0)
            ::close(fd);
        return nullptr;
    }
    return new AlertAnswers(fd, parent);
}

AlertAnswers::AlertAnswers(int fd, QObject* parent)
    : QObject(parent)
    , m_fd(fd)
{
    QObject::connect(new QSocketNotifier(fd, QSocketNotifier::Read, this), &QSocketNotifier::activated, this,
                     &AlertAnswers::readAnswers);
}

AlertAnswers::~AlertAnswers()
{
    ::close(m_fd);
}

void AlertAnswers::shown(QMessageBox* alert)
{
    m_alert = alert;
    const QCheckBox* box = alert->checkBox();
    qCInfo(lcAlertAnswers, "alert shown: %s | %s | %s: %s", qUtf8Printable(alert->text()),
           qUtf8Printable(alert->informativeText()), box ? qUtf8Printable(box->text()) : "no check box",
           box && box->isChecked() ? "ticked" : "unticked");
    // Pressed from the event loop, as a click would be, once the alert is up.
    QMetaObject::invokeMethod(this, &AlertAnswers::answerShownAlert, Qt::QueuedConnection);
}

void AlertAnswers::readAnswers()
{
    char buffer[256];
    for (;;) {
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n > 0) {
            m_partial.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break; // EAGAIN: all read for now
    }
    qsizetype end;
    while ((end = m_partial.indexOf('\n')) >= 0) {
        const QByteArray line = m_partial.left(end).trimmed();
        m_partial.remove(0, end + 1);
        if (line == "allow" || line == "allow-remember" || line == "deny")
            m_answers.push_back(line);
        else if (!line.isEmpty())
            qCWarning(lcAlertAnswers, "not an answer: \"%s\" (allow, allow-remember or deny)", line.constData());
    }
    answerShownAlert();
}

void AlertAnswers::answerShownAlert()
{
    if (!m_alert || !m_alert->isVisible() || m_answers.empty())
        return;
    QMessageBox* alert = m_alert;
    m_alert = nullptr;
    const QByteArray answer = m_answers.front();
    m_answers.pop_front();
    const QMessageBox::ButtonRole role = answer == "deny" ? QMessageBox::RejectRole : QMessageBox::AcceptRole;
    QCheckBox* box = alert->checkBox();
    if (answer != "deny" && box && box->isChecked() != (answer == "allow-remember"))
        box->click();
    for (QAbstractButton* button : alert->buttons()) {
        if (alert->buttonRole(button) == role) {
            qCInfo(lcAlertAnswers, "alert answered: %s", qUtf8Printable(button->text()));
            button->click();
            return;
        }
    }
    qCWarning(lcAlertAnswers, "the alert has no button for \"%s\"", answer.constData());
}

} // namespace glasswing
