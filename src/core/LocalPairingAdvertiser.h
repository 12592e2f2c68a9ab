#pragma once

#include "BridgeControlModels.h"
#include "LocalPairingDiscovery.h"

#include <QDateTime>
#include <QMap>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class AvahiRegistrar;
class QTcpServer;

// Announces the live pairing payload over DNS-SD while the bridge is connected, so that a phone on
// the same network can pair without scanning anything. The payload travels only in the TXT
// record; the port behind the announcement accepts nothing.
//
// Lives on the main thread and decides what is announced; its registrar deals with the daemon
// on a thread of its own and says where the announcement can really be seen. The current
// payload is registered again as soon as a daemon answers, without any call from the owner.
class LocalPairingAdvertiser : public QObject
{
    Q_OBJECT

public:
    // Gives the computer's user-visible name, or nothing when it has none.
    using ComputerNameSource = std::function<std::optional<QString>()>;

    static constexpr auto serviceType = QLatin1StringView("_pivra._tcp");
    static constexpr auto serviceDomain = QLatin1StringView("local");

    explicit LocalPairingAdvertiser(QObject *parent = nullptr);
    ~LocalPairingAdvertiser() override;

    // Publishes, keeps, replaces or withdraws the announcement to match the snapshot.
    void update(const std::optional<BridgeSnapshot> &snapshot,
                const QDateTime &now = QDateTime::currentDateTimeUtc());
    // Withdraws any announcement; harmless when there is none.
    void stop();

    // The payload the current announcement carries, set as soon as publication starts.
    std::optional<BridgePairingPayload> publishedPayload() const;
    // Where the announcement stands and where a phone can see it.
    const LocalPairingDiscovery &discovery() const { return m_discovery; }

    // Replaces the source of the computer's name; the default is localizedComputerName().
    void setComputerNameSource(ComputerNameSource source);

    static QString serviceName(const BridgePairingPayload &payload, const QString &computerName);
    static QMap<QString, QString> txtRecord(const BridgePairingPayload &payload);

    // PIVRA_COMPUTER_NAME when set (even to nothing), else the pretty host name from
    // /etc/machine-info, else the host name.
    static std::optional<QString> localizedComputerName();
    // PRETTY_HOSTNAME from the text of a machine-info file with its shell quoting removed; nothing
    // when the key is missing or blank.
    static std::optional<QString> prettyHostName(const QByteArray &machineInfo);

Q_SIGNALS:
    void discoveryChanged();

private:
    void publish(const BridgePairingPayload &payload);
    void setDiscovery(LocalPairingDiscovery discovery);

    std::unique_ptr<QTcpServer> m_listener;
    std::optional<BridgePairingPayload> m_publishedPayload;
    LocalPairingDiscovery m_discovery;
    // Tells the registrar's reports about an earlier publication from ones about this one.
    quint64 m_generation = 0;
    ComputerNameSource m_computerName;
    // Declared last so that its thread stops before anything it reports to goes away.
    std::unique_ptr<AvahiRegistrar> m_registrar;
};
