#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>

struct AvahiClient;
struct AvahiEntryGroup;
struct AvahiThreadedPoll;
struct AvahiTimeout;

namespace glasswing::peer {

// Announces one DNS-SD service through the system's Avahi daemon, for as long as it lives.
//
// Works without a daemon: the registration waits for one to appear (and for D-Bus itself, retried
// every few seconds) and registers then, and again after a daemon restart. A name taken by
// another host is replaced by Avahi's alternative ("Name #2"). Nothing is printed on standard
// output; diagnostics go to the "glasswing.peer.dnssd" logging category.
//
// Avahi runs its own thread (its threaded poll); this class is safe to make and destroy from any
// one thread.
//
// `availability`, when given, hears whether phones can find the service: false while there is no
// daemon (or no D-Bus), true once the daemon runs, each change once. It is called on Avahi's
// thread, or on the constructing thread before that thread starts; never after destruction.
class DnsSdRegistration {
public:
    using AvailabilityHandler = std::function<void(bool available)>;

    // While Avahi cannot be reached, it is tried again every `retry`.
    DnsSdRegistration(const QString& instanceName, const QByteArray& serviceType, quint16 port,
                      AvailabilityHandler availability = {}, std::chrono::milliseconds retry = std::chrono::seconds(5));
    ~DnsSdRegistration();
    DnsSdRegistration(const DnsSdRegistration&) = delete;
    DnsSdRegistration& operator=(const DnsSdRegistration&) = delete;

private:
    static void onClientState(AvahiClient* client, int state, void* self);
    static void onGroupState(AvahiEntryGroup* group, int state, void* self);
    static void onRetry(AvahiTimeout* timeout, void* self);
    void connectClient();
    void registerService(AvahiClient* client);
    void scheduleRetry();
    void reportAvailable(bool available);

    QByteArray m_name;
    const QByteArray m_type;
    const quint16 m_port;
    const std::chrono::milliseconds m_retryDelay;
    AvahiThreadedPoll* m_poll = nullptr;
    AvahiClient* m_client = nullptr;
    AvahiEntryGroup* m_group = nullptr;
    AvahiTimeout* m_retry = nullptr;
    const AvailabilityHandler m_availability;
    int m_reported = -1; // what `m_availability` last heard (0, 1), or -1 for nothing yet
};

} // namespace glasswing::peer
