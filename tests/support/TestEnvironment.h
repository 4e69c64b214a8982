#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace glasswing::test {

// The two exact contents of status.json.
inline const QByteArray kStatusTrue = "{\"isConnected\":true}";
inline const QByteArray kStatusFalse = "{\"isConnected\":false}";

// Points HOME and the XDG folders at a fresh temporary folder for as long as it lives, so that
// a test never touches the real user's files.
class IsolatedHome {
public:
    IsolatedHome()
    {
        const QString root = m_dir.path();
        qputenv("HOME", root.toUtf8());
        qputenv("XDG_CACHE_HOME", (root + QStringLiteral("/.cache")).toUtf8());
        qputenv("XDG_CONFIG_HOME", (root + QStringLiteral("/.config")).toUtf8());
        qputenv("XDG_DATA_HOME", (root + QStringLiteral("/.local/share")).toUtf8());
    }
    QString path() const { return m_dir.path(); }
    QString cache() const { return m_dir.path() + QStringLiteral("/.cache"); }
    QString statusFile() const { return cache() + QStringLiteral("/com.tessaro.Preview/status.json"); }

private:
    QTemporaryDir m_dir;
};

// Sends everything written to standard output into a file while it lives; `text()` reads back
// what was captured so far.
class StdoutCapture {
public:
    StdoutCapture()
    {
        std::fflush(stdout);
        m_saved = ::dup(STDOUT_FILENO);
        m_path = m_dir.path() + QStringLiteral("/stdout");
        const int fd = ::open(m_path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
    }
    ~StdoutCapture()
    {
        std::fflush(stdout);
        ::dup2(m_saved, STDOUT_FILENO);
        ::close(m_saved);
    }
    QByteArray text() const
    {
        QFile file(m_path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QTemporaryDir m_dir;
    QString m_path;
    int m_saved = -1;
};

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace glasswing::test
