#include "mirroring/PhoneAddresses.h"

#include <QStringList>

#include <algorithm>
#include <utility>

namespace glasswing {

namespace {

// Interfaces that lead to containers, virtual machines or tunnels rather than to the room's
// network: a phone beside the computer cannot reach their addresses.
bool isVirtual(const AddressCandidate& candidate)
{
    static const QStringList prefixes{
        QStringLiteral("docker"), QStringLiteral("br-"),       QStringLiteral("veth"),  QStringLiteral("virbr"),
        QStringLiteral("vnet"),   QStringLiteral("tun"),       QStringLiteral("tap"),   QStringLiteral("vboxnet"),
        QStringLiteral("vmnet"),  QStringLiteral("lxcbr"),     QStringLiteral("lxdbr"), QStringLiteral("podman"),
        QStringLiteral("cni"),    QStringLiteral("flannel"),   QStringLiteral("cali"),  QStringLiteral("weave"),
        QStringLiteral("zt"),     QStringLiteral("tailscale"), QStringLiteral("wg"),    QStringLiteral("utun"),
        QStringLiteral("ppp"),
    };
    if (candidate.type == QNetworkInterface::Virtual || candidate.flags.testFlag(QNetworkInterface::IsPointToPoint))
        return true;
    return std::any_of(prefixes.begin(), prefixes.end(), [&](const QString& prefix) {
        return candidate.interfaceName.startsWith(prefix, Qt::CaseInsensitive);
    });
}

// Lower is likelier to be reached from a phone on the same network.
int addressRank(const QHostAddress& address)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        if (address.isInSubnet(QHostAddress(QStringLiteral("192.168.0.0")), 16))
            return 0;
        if (address.isInSubnet(QHostAddress(QStringLiteral("10.0.0.0")), 8))
            return 1;
        if (address.isInSubnet(QHostAddress(QStringLiteral("172.16.0.0")), 12))
            return 2;
        if (address.isLinkLocal())
            return 5;
        return 3;
    }
    return 4;
}

bool isUsable(const AddressCandidate& candidate)
{
    const QHostAddress& address = candidate.address;
    if (address.isNull() || address.isLoopback() || address.isMulticast() || address.isBroadcast())
        return false;
    if (address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6)
        return false;
    // Up but not running is an interface without a link: a cable out, Wi-Fi not joined.
    const auto flags = candidate.flags;
    if (flags.testFlag(QNetworkInterface::IsLoopBack) || !flags.testFlag(QNetworkInterface::IsUp)
        || !flags.testFlag(QNetworkInterface::IsRunning))
        return false;
    if (address.protocol() == QAbstractSocket::IPv6Protocol && address.isLinkLocal())
        return false;
    // An IPv4 address written as IPv6 ("::ffff:a.b.c.d") is listed in its own form elsewhere.
    bool mapped = false;
    address.toIPv4Address(&mapped);
    return address.protocol() == QAbstractSocket::IPv4Protocol || !mapped;
}

} // namespace

QList<QHostAddress> addressesForPhones(const QList<AddressCandidate>& candidates)
{
    QList<std::pair<std::pair<bool, int>, QHostAddress>> ranked;
    for (const AddressCandidate& candidate : candidates) {
        if (!isUsable(candidate))
            continue;
        QHostAddress address = candidate.address;
        address.setScopeId(QString());
        ranked.append({{isVirtual(candidate), addressRank(address)}, address});
    }
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& left, const auto& right) { return left.first < right.first; });
    QList<QHostAddress> addresses;
    for (const auto& [rank, address] : ranked) {
        if (!addresses.contains(address))
            addresses.append(address);
    }
    return addresses;
}

QList<AddressCandidate> localAddressCandidates()
{
    QList<AddressCandidate> candidates;
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        for (const QNetworkAddressEntry& entry : interface.addressEntries())
            candidates.append({interface.name(), interface.type(), interface.flags(), entry.ip()});
    }
    return candidates;
}

} // namespace glasswing
