#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

// The DNS-SD service that carries the pairing payload, as the daemon registered it.
struct LocalPairingAnnouncement
{
    QString name; // after any collision rename
    QString type;
    QString domain;
    quint16 port = 0;
    QMap<QString, QString> txt;

    bool operator==(const LocalPairingAnnouncement &) const = default;
};

// A network interface on which the DNS-SD daemon itself shows the announcement.
struct DiscoveryInterface
{
    QString name; // "wlan0"
    QStringList addresses; // this computer's addresses there, as the daemon resolves them
    bool isLoopback = false;

    bool operator==(const DiscoveryInterface &) const = default;
};

// What a phone on the network can see of the pairing announcement right now.
struct LocalPairingDiscovery
{
    enum class State
    {
        Inactive, // nothing to announce
        Registering, // handed to the daemon, not confirmed yet
        Published, // the daemon announces it on `interfaces`
        Failed, // not announced; `failure` and `reason` say why
    };
    enum class Failure
    {
        None,
        NoSystemBus, // the daemon cannot even be asked
        NoDaemon, // the bus runs, avahi-daemon does not
        Daemon, // the daemon refused the announcement; `reason` is its own text
        Listener, // no port could be opened for the announcement
    };

    static LocalPairingDiscovery registering() { return withState(State::Registering); }
    static LocalPairingDiscovery failed(Failure failure, const QString &reason)
    {
        LocalPairingDiscovery discovery = withState(State::Failed);
        discovery.failure = failure;
        discovery.reason = reason;
        return discovery;
    }
    static LocalPairingDiscovery published(const LocalPairingAnnouncement &announcement,
                                           const QList<DiscoveryInterface> &interfaces)
    {
        LocalPairingDiscovery discovery = withState(State::Published);
        discovery.announcement = announcement;
        discovery.interfaces = interfaces;
        return discovery;
    }

    State state = State::Inactive;
    Failure failure = Failure::None;
    QString reason;
    // Published only.
    std::optional<LocalPairingAnnouncement> announcement;
    QList<DiscoveryInterface> interfaces;

    // Published on an interface other than loopback: the only case in which a phone can find
    // this computer.
    bool isOnNetwork() const
    {
        if (state != State::Published)
            return false;
        for (const DiscoveryInterface &interface : interfaces) {
            if (!interface.isLoopback)
                return true;
        }
        return false;
    }

    bool operator==(const LocalPairingDiscovery &) const = default;

private:
    static LocalPairingDiscovery withState(State state)
    {
        LocalPairingDiscovery discovery;
        discovery.state = state;
        return discovery;
    }
};
