#include "SingleInstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QLoggingCategory>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

Q_LOGGING_CATEGORY(lcInstance, "com.pivra.menubar.SingleInstance")

constexpr QByteArrayView activateRequest = "activate\n";
constexpr QByteArrayView activateReply = "ok\n";
constexpr int connectTimeoutMs = 1000;
constexpr int replyTimeoutMs = 3000;

// A directory fit to hold the socket: ours, a real directory (not a link someone planted) and
// closed to everybody else.
bool isPrivateDirectory(const QString &path)
{
    struct stat info
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

QString privateDirectory()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime) && isPrivateDirectory(runtime))
        return runtime;

    const QString fallback = QDir::tempPath() + u"/pivra-menubar-"_s + QString::number(::geteuid());
    // mkdir fails on an existing entry; whoever made it, it has to pass the check below.
    (void)::mkdir(QFile::encodeName(fallback).constData(), 0700);
    if (isPrivateDirectory(fallback))
        return fallback;
    // Someone else made it first (or opened it up): a socket there could be taken over, so it
    // is not used, and the user is told why a second launch will not find this one.
    qCWarning(lcInstance,
              "%s is not a folder that only you can use (owned by you, mode 0700); running "
              "without the single-instance guard. Set XDG_RUNTIME_DIR or remove that folder.",
              qPrintable(fallback));
    return {};
}

} // namespace

SingleInstance::SingleInstance(QObject *parent)
    : QObject(parent)
{
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::socketPath()
{
    const QString overridden = qEnvironmentVariable(socketVariable);
    if (!overridden.isEmpty())
        return overridden;
    const QString directory = privateDirectory();
    if (directory.isEmpty())
        return {};
    // The app's data all hangs off the home directory, so a run in another home (a sandbox, a
    // test) is a separate instance that must not be swallowed by the user's own.
    QString home = QFileInfo(QDir::homePath()).canonicalFilePath();
    if (home.isEmpty())
        home = QDir::homePath();
    const QByteArray homeKey
        = QCryptographicHash::hash(QFile::encodeName(home), QCryptographicHash::Sha256)
              .toHex()
              .left(12);
    return directory + u"/pivra-menubar-"_s + QString::number(::geteuid()) + u'-'
        + QString::fromLatin1(homeKey) + u".socket"_s;
}

SingleInstance::Role SingleInstance::claim(const QString &path)
{
    if (path.isEmpty())
        return Role::Unguarded;

    // Two launches at once must not both find no server, and then each remove the other's
    // socket: the check and the listen happen under one lock.
    QLockFile lock(path + u".lock"_s);
    lock.setStaleLockTime(0);
    if (!lock.tryLock(replyTimeoutMs + connectTimeoutMs)) {
        qCWarning(lcInstance, "Cannot lock %s", qPrintable(lock.fileName()));
        return activateRunningInstance(path) ? Role::Secondary : Role::Unguarded;
    }
    if (activateRunningInstance(path))
        return Role::Secondary;
    return listen(path) ? Role::Primary : Role::Unguarded;
}

QString SingleInstance::serverPath() const
{
    return m_server ? m_server->fullServerName() : QString();
}

bool SingleInstance::activateRunningInstance(const QString &path)
{
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(connectTimeoutMs))
        return false;
    socket.write(activateRequest.data(), activateRequest.size());
    socket.flush();
    // The answer only tells us the request arrived; a busy first instance that has not answered
    // in time still owns the socket, so this launch leaves all the same.
    while (socket.state() == QLocalSocket::ConnectedState && !socket.canReadLine()) {
        if (!socket.waitForReadyRead(replyTimeoutMs))
            break;
    }
    if (socket.readLine() != activateReply.toByteArray())
        qCWarning(lcInstance, "The running instance did not confirm the request");
    return true;
}

bool SingleInstance::listen(const QString &path)
{
    // Nobody answered: whatever socket file is there is left over from an instance that died.
    QLocalServer::removeServer(path);
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(path)) {
        qCWarning(lcInstance, "Cannot listen on %s: %s", qPrintable(path),
                  qPrintable(m_server->errorString()));
        m_server.reset();
        return false;
    }
    connect(m_server.get(), &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
    return true;
}

void SingleInstance::acceptConnections()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            while (socket->canReadLine()) {
                if (socket->readLine() != activateRequest.toByteArray())
                    continue;
                socket->write(activateReply.data(), activateReply.size());
                Q_EMIT activationRequested();
            }
            // A client that sends something else forever must not grow our buffer.
            if (socket->bytesAvailable() > 1024)
                socket->disconnectFromServer();
        });
    }
}
