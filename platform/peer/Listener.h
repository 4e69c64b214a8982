#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>

class QSocketNotifier;

namespace glasswing::peer {

// A TCP listening socket on every interface (IPv6 and IPv4 on one socket where the system has
// IPv6) that hands each accepted descriptor to `accepted`, which then owns it.
//
// Written on a socket of its own rather than on QTcpServer: once out of descriptors, that one
// either stops accepting for good or, when an earlier accept had found the queue empty, retries
// in a busy loop, because its socket engine keeps only the first error it ever sees. Here a
// failed accept (no descriptors, no memory) pauses accepting for `retryDelay` and then tries
// again; the connections waiting meanwhile stay in the kernel's backlog.
//
// Lives on the thread that made it; `accepted` is called there.
class Listener : public QObject {
public:
    using Accepted = std::function<void(qintptr socketDescriptor)>;

    Listener(Accepted accepted, std::chrono::milliseconds retryDelay, QObject* parent = nullptr);
    ~Listener() override;
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // On `port`, or on one the system picks for 0. A port `kept` for the next start can be taken
    // again then while this run's closed connections linger (SO_REUSEADDR), however it was chosen.
    // False, with `errorString`, when no socket could be opened (`portInUse` then tells whether
    // another socket holds the port).
    bool listen(int backlog, quint16 port = 0, bool kept = false);
    bool portInUse() const { return m_portInUse; }
    quint16 port() const { return m_port; }
    const QString& errorString() const { return m_error; }

private:
    void acceptWaiting();

    Accepted m_accepted;
    int m_socket = -1;
    quint16 m_port = 0;
    QString m_error;
    bool m_portInUse = false;
    QSocketNotifier* m_notifier = nullptr;
    QTimer m_retry;
    bool m_failing = false;
};

} // namespace glasswing::peer
