#include "platform/peer/DnsSdRegistration.h"

#include <QLoggingCategory>

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

Q_LOGGING_CATEGORY(lcDnsSd, "glasswing.peer.dnssd")

namespace glasswing::peer {

DnsSdRegistration::DnsSdRegistration(const QString& instanceName, const QByteArray& serviceType, quint16 port,
                                     AvailabilityHandler availability, std::chrono::milliseconds retry)
    : m_name(instanceName.toUtf8())
    , m_type(serviceType)
    , m_port(port)
    , m_retryDelay(retry)
    , m_availability(std::move(availability))
{
    m_poll = avahi_threaded_poll_new();
    if (!m_poll) {
        qCWarning(lcDnsSd) << "cannot start Avahi's event thread; the service is not announced";
        reportAvailable(false);
        return;
    }
    // Before the thread starts, no lock is needed.
    connectClient();
    avahi_threaded_poll_start(m_poll);
}

DnsSdRegistration::~DnsSdRegistration()
{
    if (!m_poll)
        return;
    avahi_threaded_poll_stop(m_poll);
    if (m_client)
        avahi_client_free(m_client); // frees the entry group with it
    avahi_threaded_poll_free(m_poll); // frees the retry timeout with it
}

// Runs on the caller's thread before the poll starts, later on Avahi's thread.
void DnsSdRegistration::connectClient()
{
    int error = 0;
    // NO_FAIL: with no daemon the client waits for one instead of failing.
    m_client = avahi_client_new(avahi_threaded_poll_get(m_poll), AVAHI_CLIENT_NO_FAIL,
                                reinterpret_cast<AvahiClientCallback>(&DnsSdRegistration::onClientState), this, &error);
    if (!m_client) {
        // No D-Bus system bus at all; try again later.
        qCInfo(lcDnsSd) << "Avahi is not reachable:" << avahi_strerror(error) << "; retrying";
        reportAvailable(false);
        scheduleRetry();
    }
}

void DnsSdRegistration::reportAvailable(bool available)
{
    if (!m_availability || m_reported == int(available))
        return;
    m_reported = int(available);
    m_availability(available);
}

void DnsSdRegistration::scheduleRetry()
{
    struct timeval when { };
    avahi_elapse_time(&when, unsigned(m_retryDelay.count()), 0);
    const AvahiPoll* api = avahi_threaded_poll_get(m_poll);
    if (m_retry)
        api->timeout_update(m_retry, &when);
    else
        m_retry = api->timeout_new(api, &when, &DnsSdRegistration::onRetry, this);
}

void DnsSdRegistration::onRetry(AvahiTimeout*, void* self)
{
    auto* registration = static_cast<DnsSdRegistration*>(self);
    const AvahiPoll* api = avahi_threaded_poll_get(registration->m_poll);
    api->timeout_update(registration->m_retry, nullptr);
    if (registration->m_client) {
        avahi_client_free(registration->m_client); // and its entry group
        registration->m_client = nullptr;
        registration->m_group = nullptr;
    }
    registration->connectClient();
}

void DnsSdRegistration::onClientState(AvahiClient* client, int state, void* self)
{
    auto* registration = static_cast<DnsSdRegistration*>(self);
    switch (static_cast<AvahiClientState>(state)) {
    case AVAHI_CLIENT_S_RUNNING:
        registration->reportAvailable(true);
        registration->registerService(client);
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The host name changes or is being registered: the daemon drops our records, and we
        // register them again once it is running.
        if (registration->m_group)
            avahi_entry_group_reset(registration->m_group);
        break;
    case AVAHI_CLIENT_FAILURE:
        // The daemon went away: start over, waiting for it to come back.
        // A client may not be freed inside its own callback, so the restart happens on a timer.
        qCInfo(lcDnsSd) << "Avahi client failed:" << avahi_strerror(avahi_client_errno(client));
        registration->reportAvailable(false);
        registration->scheduleRetry();
        break;
    case AVAHI_CLIENT_CONNECTING:
        qCInfo(lcDnsSd) << "waiting for the Avahi daemon";
        registration->reportAvailable(false);
        break;
    }
}

void DnsSdRegistration::registerService(AvahiClient* client)
{
    if (!m_group) {
        m_group = avahi_entry_group_new(client, reinterpret_cast<AvahiEntryGroupCallback>(&onGroupState), this);
        if (!m_group) {
            qCWarning(lcDnsSd) << "cannot create an entry group:" << avahi_strerror(avahi_client_errno(client));
            return;
        }
    }
    if (!avahi_entry_group_is_empty(m_group))
        return;
    for (;;) {
        const int result
            = avahi_entry_group_add_service(m_group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                            m_name.constData(), m_type.constData(), nullptr, nullptr, m_port, nullptr);
        if (result == AVAHI_ERR_COLLISION) {
            char* alternative = avahi_alternative_service_name(m_name.constData());
            m_name = alternative;
            avahi_free(alternative);
            continue;
        }
        if (result < 0) {
            qCWarning(lcDnsSd) << "cannot add the service:" << avahi_strerror(result);
            return;
        }
        break;
    }
    if (const int result = avahi_entry_group_commit(m_group); result < 0)
        qCWarning(lcDnsSd) << "cannot announce the service:" << avahi_strerror(result);
}

void DnsSdRegistration::onGroupState(AvahiEntryGroup* group, int state, void* self)
{
    auto* registration = static_cast<DnsSdRegistration*>(self);
    switch (static_cast<AvahiEntryGroupState>(state)) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
        qCInfo(lcDnsSd) << "announced" << registration->m_name << registration->m_type << registration->m_port;
        break;
    case AVAHI_ENTRY_GROUP_COLLISION: {
        char* alternative = avahi_alternative_service_name(registration->m_name.constData());
        qCInfo(lcDnsSd) << "name taken on the network; now" << alternative;
        registration->m_name = alternative;
        avahi_free(alternative);
        avahi_entry_group_reset(group);
        registration->registerService(avahi_entry_group_get_client(group));
        break;
    }
    case AVAHI_ENTRY_GROUP_FAILURE:
        qCWarning(lcDnsSd) << "announcement failed:"
                           << avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group)));
        break;
    case AVAHI_ENTRY_GROUP_UNCOMMITED:
    case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
}

} // namespace glasswing::peer
