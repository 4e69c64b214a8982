#pragma once

#include <QString>

#include <chrono>
#include <optional>

namespace glasswing::phone {

struct FoundService {
    QString name;
    QString host; // a numeric address
    quint16 port = 0;
};

// Looks for a DNS-SD service of `serviceType` ("_Glasswing._tcp") through the Avahi daemon and
// resolves the first one found (or the one named `instanceName`, when given). Blocks for at most
// `timeout`. Returns nothing, with `error` set, when none is found or Avahi is not running.
std::optional<FoundService> browseOnce(const QByteArray& serviceType, const QString& instanceName,
                                       std::chrono::milliseconds timeout, QString* error);

} // namespace glasswing::phone
