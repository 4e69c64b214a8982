#include "DnsSdBrowser.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/timeval.h>

#include <memory>

namespace glasswing::phone {

namespace {

struct Search {
    AvahiSimplePoll* poll = nullptr;
    AvahiClient* client = nullptr;
    QString wanted;
    std::optional<FoundService> found;
    QString error;
};

void onResolved(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event, const char* name,
                const char*, const char*, const char*, const AvahiAddress* address, uint16_t port, AvahiStringList*,
                AvahiLookupResultFlags, void* data)
{
    auto* search = static_cast<Search*>(data);
    if (event == AVAHI_RESOLVER_FOUND && !search->found) {
        char text[AVAHI_ADDRESS_STR_MAX];
        avahi_address_snprint(text, sizeof text, address);
        search->found = FoundService{QString::fromUtf8(name), QString::fromLatin1(text), port};
        avahi_simple_poll_quit(search->poll);
    }
    avahi_service_resolver_free(resolver);
}

void onBrowse(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
              const char* name, const char* type, const char* domain, AvahiLookupResultFlags, void* data)
{
    auto* search = static_cast<Search*>(data);
    switch (event) {
    case AVAHI_BROWSER_NEW:
        if (search->wanted.isEmpty() || search->wanted == QString::fromUtf8(name))
            // IPv4 addresses: an IPv6 link-local one would need its interface to be usable.
            avahi_service_resolver_new(search->client, interface, protocol, name, type, domain, AVAHI_PROTO_INET,
                                       AvahiLookupFlags(0), onResolved, search);
        break;
    case AVAHI_BROWSER_FAILURE:
        search->error = QString::fromUtf8(avahi_strerror(avahi_client_errno(search->client)));
        avahi_simple_poll_quit(search->poll);
        break;
    default:
        break;
    }
}

void onTimeout(AvahiTimeout*, void* data)
{
    auto* search = static_cast<Search*>(data);
    search->error = QStringLiteral("no service found in time");
    avahi_simple_poll_quit(search->poll);
}

} // namespace

std::optional<FoundService> browseOnce(const QByteArray& serviceType, const QString& instanceName,
                                       std::chrono::milliseconds timeout, QString* error)
{
    Search search;
    search.wanted = instanceName;
    std::unique_ptr<AvahiSimplePoll, void (*)(AvahiSimplePoll*)> poll(avahi_simple_poll_new(), avahi_simple_poll_free);
    search.poll = poll.get();
    int code = 0;
    std::unique_ptr<AvahiClient, void (*)(AvahiClient*)> client(
        avahi_client_new(avahi_simple_poll_get(poll.get()), AvahiClientFlags(0), nullptr, nullptr, &code),
        avahi_client_free);
    if (!client) {
        *error = QStringLiteral("cannot reach the Avahi daemon: ") + QString::fromUtf8(avahi_strerror(code));
        return std::nullopt;
    }
    search.client = client.get();
    if (!avahi_service_browser_new(client.get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, serviceType.constData(), nullptr,
                                   AvahiLookupFlags(0), onBrowse, &search)) {
        *error = QString::fromUtf8(avahi_strerror(avahi_client_errno(client.get())));
        return std::nullopt;
    }
    struct timeval when { };
    avahi_elapse_time(&when, unsigned(timeout.count()), 0);
    const AvahiPoll* api = avahi_simple_poll_get(poll.get());
    api->timeout_new(api, &when, onTimeout, &search);
    avahi_simple_poll_loop(poll.get());
    if (!search.found)
        *error = search.error;
    return search.found;
}

} // namespace glasswing::phone
