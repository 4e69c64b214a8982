#pragma once

#include <QObject>

class QSocketNotifier;

namespace glasswing {

// Turns SIGTERM, SIGINT and SIGHUP (how a desktop session, a terminal and a service manager end
// a program) into the `received` signal on the thread that made this object, so that the
// program ends through its orderly termination instead of dying mid-write.
//
// One instance per process. The handler only writes a byte to a pipe: nothing else is safe in a
// signal handler.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

Q_SIGNALS:
    void received(int signalNumber);

private:
    void drain();

    QSocketNotifier* m_notifier = nullptr;
};

} // namespace glasswing
