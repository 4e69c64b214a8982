#pragma once

#include "platform/peer/WebRequest.h"

#include <QByteArray>
#include <QHash>
#include <QString>

namespace glasswing::peer {

// What the web viewer's port serves (PROTOCOL.md, section 10): the page's own files, read once
// from Qt resources under `filesRoot` (nothing is read from disk), and the two ways in for a
// browser phone, `/session` (a WebSocket) and `/stream`. Decides each request from its head alone.
//
// Immutable once made; shared by the connections on the network thread.
class WebSite {
public:
    // The page's files, by path: what `filesRoot` must hold.
    static const QList<QByteArray>& pagePaths();

    WebSite(const QString& filesRoot, quint16 port, const QString& macName, const QString& hostName,
            qint64 maxBodyBytes);

    quint16 port() const { return m_port; }
    const QString& macName() const { return m_macName; }

    struct Route {
        enum class Kind { Answer, WebSocket, Stream };
        Kind kind = Kind::Answer;
        QByteArray answer; // Answer: the whole response to write, then close
        int status = 200; // Answer: its status code
        qint64 bodyBytes = 0; // Stream: the invitation's length
    };
    Route route(const WebRequest& request) const;

    // A complete response with the headers every answer carries and a plain-text body saying
    // `detail` (or the status's own words).
    static QByteArray errorAnswer(int status, const QString& detail = {}, const QByteArray& moreHeaders = {});
    // The head of a stream's answer; its body follows, record by record, until the Mac closes.
    static QByteArray streamHead();

    // Whether a Host header names this Mac (its host name, HOST.local, localhost or one of its
    // current addresses) with the web port.
    bool namesThisMac(const QByteArray& host) const;

private:
    struct File {
        QByteArray type;
        QByteArray bytes;
    };

    QByteArray fileAnswer(const File& file, bool withBody) const;

    const quint16 m_port;
    const QString m_macName;
    const QString m_hostName;
    const qint64 m_maxBodyBytes;
    QHash<QByteArray, File> m_files;
};

} // namespace glasswing::peer
