#pragma once

#include <QHostAddress>
#include <QList>
#include <QNetworkInterface>
#include <QString>

namespace glasswing {

// One address of this computer as a network interface reports it, with what the ordering below
// needs to know about that interface.
struct AddressCandidate {
    QString interfaceName;
    QNetworkInterface::InterfaceType type = QNetworkInterface::Unknown;
    QNetworkInterface::InterfaceFlags flags;
    QHostAddress address;
};

// The addresses a phone on the same network may open, the one it can most likely reach first:
// private IPv4 on a wired or wireless interface before anything on a container, virtual-machine
// or tunnel interface, IPv4 before IPv6, 192.168/16 before 10/8 before 172.16/12. Interfaces that
// are down, loopback addresses and IPv6 link-local addresses (a browser cannot open one without
// its zone) are left out; each address appears once; ties keep the interfaces' order. Pure.
QList<QHostAddress> addressesForPhones(const QList<AddressCandidate>& candidates);

// This computer's addresses as its interfaces report them now. Main thread or any thread.
QList<AddressCandidate> localAddressCandidates();

} // namespace glasswing
