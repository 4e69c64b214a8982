#pragma once

#include <QHash>
#include <QMetaType>
#include <QString>
#include <QUuid>

namespace glasswing::peer {

// A peer's identity: a display name and an identity of its own. Every PeerID made with the
// constructor is a different peer, even with the same name; copies are the same peer.
//
// Display names are limited to 63 bytes of UTF-8, the longest DNS-SD instance label: a longer
// name is cut at the last whole character that fits. Only visible text is kept (`visibleName`),
// and a name with none becomes "Glasswing" for the Mac's own identity, "Phone" for phones
// (`fallbackName`).
//
// A phone's PeerID also says what kind of phone it is (the app, or a browser on the web viewer's
// port) and, for a browser, the code its connection showed it: what the Mac's alert tells the user.
// Neither takes part in equality.
class PeerID {
public:
    static constexpr int kMaxDisplayNameBytes = 63;

    enum class Kind { App, Browser };

    PeerID() = default; // the null peer: no identity, equal only to other null peers
    explicit PeerID(const QString& displayName, const QString& fallbackName = QStringLiteral("Glasswing"),
                    Kind kind = Kind::App, const QString& code = {});

    const QString& displayName() const { return m_displayName; }
    // Whether the name given was longer than the display name keeps (cut at the byte limit).
    bool isDisplayNameShortened() const { return m_shortened; }
    Kind kind() const { return m_kind; }
    // A browser's code (PROTOCOL.md, section 10); empty for the app.
    const QString& code() const { return m_code; }
    const QUuid& identity() const { return m_identity; }
    bool isNull() const { return m_identity.isNull(); }

    friend bool operator==(const PeerID& a, const PeerID& b) { return a.m_identity == b.m_identity; }
    friend bool operator!=(const PeerID& a, const PeerID& b) { return !(a == b); }

    // The name cut to `kMaxDisplayNameBytes` of UTF-8 at a character boundary.
    static QString limitedDisplayName(const QString& name);
    // The name without control and format characters (line breaks, bidirectional overrides,
    // zero-width characters), with each run of white space made one space and none at the ends.
    static QString visibleName(const QString& name);

private:
    QString m_displayName;
    QUuid m_identity;
    bool m_shortened = false;
    Kind m_kind = Kind::App;
    QString m_code;
};

inline size_t qHash(const PeerID& peer, size_t seed = 0)
{
    return qHash(peer.identity(), seed);
}

} // namespace glasswing::peer

Q_DECLARE_METATYPE(glasswing::peer::PeerID)
