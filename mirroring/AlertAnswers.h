#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <deque>

class QMessageBox;

namespace glasswing {

// Answers the invitation alert for tests of the whole app, by pressing the alert's own buttons, so
// that everything a user's answer sets off runs as it would.
//
// Only when the environment variable GLASSWING_TEST_ALERT_ANSWERS names a FIFO when the app starts
// (`fromEnvironment()`); without it nothing here exists. Each line written to the FIFO answers the
// next alert, or the one on screen:
//
//   allow            Allow, with "Remember this device" unticked
//   allow-remember   Allow, with it ticked
//   deny             Don't Allow
//
// Every alert shown is said on standard error, with its text, so that a test sees it went up and
// what it asks. Main thread only.
class AlertAnswers : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kVariable = "GLASSWING_TEST_ALERT_ANSWERS";

    // Null unless the variable names a FIFO that could be opened (a warning says why not).
    static AlertAnswers* fromEnvironment(QObject* parent);
    ~AlertAnswers() override;

    // An alert has just been shown: said, and answered once an answer is there.
    void shown(QMessageBox* alert);

private:
    AlertAnswers(int fd, QObject* parent);
    void readAnswers();
    void answerShownAlert();

    int m_fd = -1;
    QByteArray m_partial; // a line not yet ended
    std::deque<QByteArray> m_answers;
    QPointer<QMessageBox> m_alert;
};

} // namespace glasswing
