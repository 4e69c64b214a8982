#include "platform/peer/PeerID.h"

namespace glasswing::peer {

PeerID::PeerID(const QString& displayName, const QString& fallbackName)
    : m_displayName(limitedDisplayName(displayName.trimmed().isEmpty() ? fallbackName : displayName))
    , m_identity(QUuid::createUuid())
{
}

QString PeerID::limitedDisplayName(const QString& name)
{
    if (name.toUtf8().size() <= kMaxDisplayNameBytes)
        return name;
    // Walk whole code points (surrogate pairs together) until the next one would not fit.
    QString cut;
    int bytes = 0;
    for (qsizetype i = 0; i < name.size();) {
        const qsizetype length = (name.at(i).isHighSurrogate() && i + 1 < name.size()) ? 2 : 1;
        const QString character = name.mid(i, length);
        const int characterBytes = int(character.toUtf8().size());
        if (bytes + characterBytes > kMaxDisplayNameBytes)
            break;
        cut += character;
        bytes += characterBytes;
        i += length;
    }
    return cut;
}

} // namespace glasswing::peer
