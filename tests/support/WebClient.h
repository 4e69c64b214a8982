#pragma once

#include "support/PeerHarness.h"

#include <QByteArray>
#include <QHostAddress>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QtEndian>

#include <optional>

namespace glasswing::test {

// A browser at the byte level on the web viewer's port: TLS without verifying the Mac, then
// whatever bytes a test writes, and everything the Mac answers, kept whole. For the stream path it
// also reads the answer's body as records. Lives on the thread that made it.
class WebClient : public QObject {
public:
    struct Record {
        int kind = 0;
        QByteArray payload;
    };

    explicit WebClient(quint16 port, const QByteArray& request = {},
                       const QHostAddress& source = QHostAddress(QHostAddress::LocalHost))
        : m_request(request)
    {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        m_socket.setSslConfiguration(tls);
        connect(&m_socket, &QSslSocket::encrypted, this, [this] {
            encrypted = true;
            if (!m_request.isEmpty())
                m_socket.write(m_request);
        });
        connect(&m_socket, &QSslSocket::readyRead, this, [this] { received += m_socket.readAll(); });
        connect(&m_socket, &QSslSocket::disconnected, this, [this] { closed = true; });
        connect(&m_socket, &QSslSocket::errorOccurred, this, [this] {
            if (m_socket.state() != QAbstractSocket::ConnectedState)
                closed = true;
        });
        m_socket.bind(source);
        m_socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    }

    void send(const QByteArray& bytes) { m_socket.write(bytes); }
    QSslSocket& socket() { return m_socket; }
    bool waitForClose(int milliseconds = kWait)
    {
        return QTest::qWaitFor([&] { return closed; }, milliseconds);
    }
    bool waitForHead(int milliseconds = kWait)
    {
        return QTest::qWaitFor([&] { return received.contains("\r\n\r\n") || closed; }, milliseconds)
            && received.contains("\r\n\r\n");
    }

    // The answer's status code; 0 before (or without) one.
    int status() const
    {
        if (!received.startsWith("HTTP/1.1 "))
            return 0;
        return received.mid(9, 3).toInt();
    }
    QByteArray head() const { return received.left(received.indexOf("\r\n\r\n") + 4); }
    QByteArray body() const
    {
        const qsizetype end = received.indexOf("\r\n\r\n");
        return end < 0 ? QByteArray() : received.mid(end + 4);
    }
    // A header of the answer, absent when not sent.
    std::optional<QByteArray> header(const QByteArray& name) const
    {
        const QList<QByteArray> lines = head().split('\n');
        for (const QByteArray& line : lines) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
                return line.mid(colon + 1).trimmed();
        }
        return std::nullopt;
    }
    // The whole records of a stream's body so far.
    QList<Record> records() const
    {
        QList<Record> list;
        QByteArray rest = body();
        while (rest.size() >= 5) {
            const quint32 length = qFromBigEndian<quint32>(rest.constData() + 1);
            if (quint64(rest.size()) < 5 + quint64(length))
                break;
            list.append(Record{int(uchar(rest.at(0))), rest.mid(5, qsizetype(length))});
            rest.remove(0, 5 + qsizetype(length));
        }
        return list;
    }
    int countRecords(int kind) const
    {
        int n = 0;
        for (const Record& record : records())
            n += record.kind == kind ? 1 : 0;
        return n;
    }

    QByteArray received;
    bool encrypted = false;
    bool closed = false;

private:
    QByteArray m_request;
    QSslSocket m_socket;
};

} // namespace glasswing::test
