#include "platform/peer/PeerID.h"

#include <QList>

namespace glasswing::peer {

PeerID::PeerID(const QString& displayName, const QString& fallbackName, Kind kind, const QString& code)
    : m_identity(QUuid::createUuid())
    , m_kind(kind)
    , m_code(code)
{
    const QString visible = visibleName(displayName);
    const QString whole = visible.isEmpty() ? fallbackName : visible;
    m_displayName = limitedDisplayName(whole);
    m_shortened = m_displayName.size() < whole.size();
}

QString PeerID::visibleName(const QString& name)
{
    // The name is what the user reads when asked to allow a phone: nothing in it may hide, move
    // or rearrange text (line breaks, bidirectional overrides, zero-width characters, escapes).
    QString visible;
    const QList<uint> characters = name.toUcs4();
    for (const uint character : characters) {
        switch (QChar::category(char32_t(character))) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Other_Surrogate:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            continue;
        default:
            visible += QString::fromUcs4(reinterpret_cast<const char32_t*>(&character), 1);
        }
    }
    return visible.simplified();
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
