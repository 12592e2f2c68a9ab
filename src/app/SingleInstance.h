#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;

// One running app per user and home: the first launch listens on a socket only its user can
// reach; a later launch finds it there, asks it to come to the front and leaves before it has
// made a store of its own.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    enum class Role
    {
        // No other instance answered; this one now listens for later launches.
        Primary,
        // Another instance answered and was asked to come to the front.
        Secondary,
        // The socket could not be set up; the app runs unguarded rather than not at all.
        Unguarded,
    };

    // Overrides the socket path, so tests and sandboxed runs keep to a socket of their own.
    static constexpr const char *socketVariable = "PIVRA_INSTANCE_SOCKET";

    explicit SingleInstance(QObject *parent = nullptr);
    ~SingleInstance() override;

    // The socket for this user and home: $PIVRA_INSTANCE_SOCKET, else in $XDG_RUNTIME_DIR, else
    // in a directory under the temporary directory that only this user may enter.
    // Empty when no private place exists.
    static QString socketPath();

    // Connects to a running instance or becomes the one that runs. Blocks for at most a few
    // seconds, before the event loop starts.
    Role claim(const QString &path = socketPath());

    QString serverPath() const;

Q_SIGNALS:
    // A later launch wants this instance's window in front.
    void activationRequested();

private:
    bool activateRunningInstance(const QString &path);
    bool listen(const QString &path);
    void acceptConnections();

    std::unique_ptr<QLocalServer> m_server;
};
