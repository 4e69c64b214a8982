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
//
// Order of use, all on the main thread: `block()` first thing in main(), then construct, connect
// `received`, then `unblock()`. A signal that comes in between waits, pending, and arrives once
// unblocked, so even the first moments of a run end in order. Destruction ignores the three
// signals from then on: a second one during teardown must not kill the process.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    // Blocks the three signals in the calling thread. Threads inherit the mask when they start,
    // so this must come before any thread exists; those threads then keep them blocked for good.
    static void block();
    // Lets the three signals through on the calling thread, now that the handler is in place.
    void unblock();

Q_SIGNALS:
    void received(int signalNumber);

private:
    void drain();

    QSocketNotifier* m_notifier = nullptr;
};

} // namespace glasswing
