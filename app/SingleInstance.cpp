#include "app/SingleInstance.h"

#include "platform/Paths.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QSysInfo>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace glasswing {

namespace {

constexpr char kShowRequest[] = "show\n";
constexpr char kAcknowledgement[] = "ok\n";
// A request is one short line; anything longer is not one of ours.
constexpr qsizetype kLongestRequest = 64;
constexpr int kRequestTimeoutMs = 2000;

void warn(const QString& message)
{
    std::fprintf(stderr, "glasswing: %s\n", message.toLocal8Bit().constData());
}

// The folder, made private to the user when this creates it; one that exists is left as it is.
bool ensureFolder(const QString& folder)
{
    if (QFileInfo(folder).isDir())
        return true;
    if (!QDir().mkpath(folder))
        return false;
    ::chmod(QFile::encodeName(folder).constData(), 0700);
    return true;
}

// True when the other end of a connected local socket is a process of this user. Checked on
// both sides: a socket of another user, wherever it came from, neither answers for this user's
// instance nor asks it for anything.
bool isSameUser(qintptr descriptor)
{
    struct ucred credentials { };
    socklen_t length = sizeof credentials;
    return descriptor >= 0 && ::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0
        && length == sizeof credentials && credentials.uid == ::getuid();
}

} // namespace

SingleInstance::SingleInstance(QString folder, QObject* parent)
    : QObject(parent)
    , m_folder(std::move(folder))
    // The host keeps two machines that share a home folder from taking each other's lock; the
    // user ID keeps users apart should a folder ever be shared.
    , m_baseName(QStringLiteral("instance-%1-%2").arg(::getuid()).arg(QSysInfo::machineHostName()))
{
}

SingleInstance::~SingleInstance()
{
    delete m_server; // removes its socket file, while the lock still says that it is ours
    m_server = nullptr;
    m_lock.reset();
    if (m_folderDescriptor >= 0)
        ::close(m_folderDescriptor);
}

QString SingleInstance::defaultFolder()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime))
        return QDir::cleanPath(runtime) + QStringLiteral("/com.tessaro.Glasswing");
    const QString config = paths::configDirectory();
    return config.isEmpty() ? QString() : config + QStringLiteral("/com.tessaro.Glasswing");
}

QString SingleInstance::lockFilePath() const
{
    return m_folder.isEmpty() ? QString() : m_folder + u'/' + m_baseName + QStringLiteral(".lock");
}

QString SingleInstance::serverName() const
{
    if (m_folder.isEmpty())
        return {};
    const QString path = m_folder + u'/' + m_baseName + QStringLiteral(".socket");
    // Qt binds in a temporary folder beside the final path first (path + six characters + "/s").
    constexpr qsizetype kRoom = sizeof(sockaddr_un::sun_path) - 1 - 8;
    if (QFile::encodeName(path).size() <= kRoom || m_folderDescriptor < 0)
        return path;
    // Too long for a socket address (a long host name, a deep folder): the same folder, reached
    // through the descriptor this process holds open on it, under a short name made from the
    // long one. The socket never leaves the user's folder, where no one else can put one.
    const QByteArray digest
        = QCryptographicHash::hash(m_baseName.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    return QStringLiteral("/proc/self/fd/%1/instance-%2.socket")
        .arg(m_folderDescriptor)
        .arg(QString::fromLatin1(digest));
}

SingleInstance::Outcome SingleInstance::claim(std::chrono::milliseconds patience)
{
    if (m_folder.isEmpty()) {
        warn(QStringLiteral("no per-user folder (XDG_RUNTIME_DIR, XDG_CONFIG_HOME and HOME are unusable); "
                            "running without the one-instance check"));
        return Outcome::Unguarded;
    }
    if (!ensureFolder(m_folder)) {
        warn(QStringLiteral("cannot create %1; running without the one-instance check").arg(m_folder));
        return Outcome::Unguarded;
    }
    if (m_folderDescriptor < 0)
        m_folderDescriptor = ::open(QFile::encodeName(m_folder).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    m_lock = std::make_unique<QLockFile>(lockFilePath());
    // Stale only when its process is gone: a long-running instance's lock is never taken by age.
    m_lock->setStaleLockTime(0);
    const QDeadlineTimer deadline(patience);
    for (;;) {
        if (m_lock->tryLock(0)) {
            listen();
            return Outcome::Primary;
        }
        if (m_lock->error() != QLockFile::LockFailedError) {
            warn(QStringLiteral("cannot create the lock %1; running without the one-instance check")
                     .arg(lockFilePath()));
            m_lock.reset();
            return Outcome::Unguarded;
        }
        if (askOtherToShow())
            return Outcome::AskedOtherToShow;
        if (deadline.hasExpired()) {
            warn(QStringLiteral("another instance holds %1 but does not answer (still starting?); "
                                "not starting a second one")
                     .arg(lockFilePath()));
            m_lock.reset();
            return Outcome::OtherDidNotAnswer;
        }
        QThread::msleep(100);
    }
}

void SingleInstance::listen()
{
    m_server = new QLocalServer(this);
    // The socket file is the user's alone: no other user can bring this window forward.
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // A socket file still there was left by an instance that crashed: the lock is ours now.
    QLocalServer::removeServer(serverName());
    if (!m_server->listen(serverName())) {
        warn(QStringLiteral("cannot listen on %1 (%2); a second launch will not find this one")
                 .arg(serverName(), m_server->errorString()));
        return;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection())
            serve(socket);
    });
}

void SingleInstance::serve(QLocalSocket* socket)
{
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    if (!isSameUser(socket->socketDescriptor())) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    // A client that never finishes its line does not hold a connection for good.
    QTimer::singleShot(kRequestTimeoutMs, socket, [socket] { socket->abort(); });
    const auto read = [this, socket] {
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > kLongestRequest)
                socket->abort();
            return;
        }
        const QByteArray line = socket->readLine(kLongestRequest + 1);
        QObject::disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
        if (line == kShowRequest) {
            Q_EMIT activationRequested();
            socket->write(kAcknowledgement);
        }
        socket->disconnectFromServer();
    };
    connect(socket, &QLocalSocket::readyRead, this, read);
    read();
}

bool SingleInstance::askOtherToShow()
{
    QLocalSocket socket;
    socket.connectToServer(serverName());
    if (!socket.waitForConnected(500))
        return false; // not listening yet: asked again on the next round
    if (!isSameUser(socket.socketDescriptor())) {
        // Not this user's instance, whatever it would answer: asked nothing, and the holder of
        // the lock counts as not answering.
        if (!std::exchange(m_warnedOfStranger, true))
            warn(QStringLiteral("the socket %1 belongs to another user; not asking it").arg(serverName()));
        return false;
    }
    socket.write(kShowRequest);
    socket.waitForBytesWritten(1000);
    QByteArray answer;
    const QDeadlineTimer deadline(2000);
    while (!answer.contains('\n') && !deadline.hasExpired() && socket.state() == QLocalSocket::ConnectedState) {
        if (socket.waitForReadyRead(int(deadline.remainingTime())))
            answer += socket.readAll();
    }
    answer += socket.readAll();
    if (answer == kAcknowledgement) {
        warn(QStringLiteral("already running; brought its window forward"));
    } else {
        // The request went out to a live instance all the same; a second service would be worse.
        warn(QStringLiteral("already running; it did not confirm showing its window"));
    }
    return true;
}

} // namespace glasswing
