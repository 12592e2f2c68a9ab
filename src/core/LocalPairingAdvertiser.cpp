#include "LocalPairingAdvertiser.h"

#include "AvahiRegistrar.h"
#include "Logging.h"
#include "PlatformPaths.h"

#include <QSysInfo>
#include <QTcpServer>
#include <QTcpSocket>

using namespace Qt::StringLiterals;

namespace {

// DNS-SD instance names hold at most 63 bytes of UTF-8; the daemon refuses a longer one, and a
// long host name or device id would then never be announced. Cut at a character boundary.
QString withinInstanceNameLimit(const QString &name)
{
    constexpr qsizetype limit = 63;
    if (name.toUtf8().size() <= limit)
        return name;
    QString fitted;
    qsizetype bytes = 0;
    for (qsizetype i = 0; i < name.size();) {
        const bool pair
            = name[i].isHighSurrogate() && i + 1 < name.size() && name[i + 1].isLowSurrogate();
        const QStringView character = QStringView(name).sliced(i, pair ? 2 : 1);
        const qsizetype length = character.toUtf8().size();
        if (bytes + length > limit)
            break;
        fitted += character;
        bytes += length;
        i += character.size();
    }
    return fitted.trimmed();
}

} // namespace

LocalPairingAdvertiser::LocalPairingAdvertiser(QObject *parent)
    : QObject(parent)
    , m_computerName(&LocalPairingAdvertiser::localizedComputerName)
{
    // Reports cross to the main thread as queued calls on this object, so none arrives after it
    // is gone and none touches its state from the registrar's thread.
    m_registrar = std::make_unique<AvahiRegistrar>([this](const AvahiRegistrar::Report &report) {
        QMetaObject::invokeMethod(
            this,
            [this, report] {
                if (report.generation == m_generation && m_publishedPayload)
                    setDiscovery(report.discovery);
            },
            Qt::QueuedConnection);
    });
}

LocalPairingAdvertiser::~LocalPairingAdvertiser()
{
    m_registrar.reset();
}

void LocalPairingAdvertiser::update(const std::optional<BridgeSnapshot> &snapshot,
                                    const QDateTime &now)
{
    const BridgePairingPayload *payload
        = snapshot && snapshot->isConnected() ? snapshot->pairingPayload() : nullptr;
    if (!payload || !payload->isLive(now)) {
        stop();
        return;
    }
    if (m_publishedPayload == *payload)
        return;
    publish(*payload);
}

void LocalPairingAdvertiser::stop()
{
    ++m_generation;
    m_publishedPayload.reset();
    m_listener.reset();
    m_registrar->want(std::nullopt);
    setDiscovery({});
}

void LocalPairingAdvertiser::publish(const BridgePairingPayload &payload)
{
    stop();

    // The listener only lends its port to the announcement and turns every caller away, so it
    // need not be reachable from the network.
    auto listener = std::make_unique<QTcpServer>();
    if (!listener->listen(QHostAddress::LocalHost, 0)) {
        const QString error = listener->errorString();
        qCCritical(lcAdvertiser, "Failed to create local pairing Bonjour listener: %s",
                   qUtf8Printable(error));
        setDiscovery(
            LocalPairingDiscovery::failed(LocalPairingDiscovery::Failure::Listener, error));
        return;
    }
    // The payload travels in the TXT record only; whoever connects is turned away.
    QTcpServer *server = listener.get();
    connect(server, &QTcpServer::newConnection, server, [server] {
        while (QTcpSocket *socket = server->nextPendingConnection()) {
            socket->abort();
            socket->deleteLater();
        }
    });

    const std::optional<QString> computerName = m_computerName ? m_computerName() : std::nullopt;
    const QString name = serviceName(payload, computerName.value_or(QString()));
    m_listener = std::move(listener);
    m_publishedPayload = payload;
    setDiscovery(LocalPairingDiscovery::registering());
    m_registrar->want(AvahiRegistrar::Wanted{
        .generation = m_generation,
        .announcement = {.name = name,
                         .type = serviceType,
                         .domain = serviceDomain,
                         .port = m_listener->serverPort(),
                         .txt = txtRecord(payload)},
    });
    qCInfo(lcAdvertiser, "Publishing local pairing service %s", qUtf8Printable(name));
}

void LocalPairingAdvertiser::setDiscovery(LocalPairingDiscovery discovery)
{
    if (m_discovery == discovery)
        return;
    m_discovery = std::move(discovery);
    Q_EMIT discoveryChanged();
}

std::optional<BridgePairingPayload> LocalPairingAdvertiser::publishedPayload() const
{
    return m_publishedPayload;
}

void LocalPairingAdvertiser::setComputerNameSource(ComputerNameSource source)
{
    m_computerName = std::move(source);
}

QString LocalPairingAdvertiser::serviceName(const BridgePairingPayload &payload,
                                            const QString &computerName)
{
    QString name = computerName.trimmed();
    if (name.isEmpty())
        name = payload.macDeviceId;
    name = name.remove(".local"_L1, Qt::CaseSensitive).trimmed();
    return withinInstanceNameLimit(name.isEmpty() ? u"Pivra Mac"_s : u"Pivra "_s + name);
}

QMap<QString, QString> LocalPairingAdvertiser::txtRecord(const BridgePairingPayload &payload)
{
    return {
        {u"v"_s, QString::number(payload.v)},
        {u"relay"_s, payload.relay},
        {u"sessionId"_s, payload.sessionId},
        {u"macDeviceId"_s, payload.macDeviceId},
        {u"macIdentityPublicKey"_s, payload.macIdentityPublicKey},
        {u"expiresAt"_s, QString::number(payload.expiresAt)},
    };
}

std::optional<QString> LocalPairingAdvertiser::localizedComputerName()
{
    if (qEnvironmentVariableIsSet("PIVRA_COMPUTER_NAME"))
        return qEnvironmentVariable("PIVRA_COMPUTER_NAME");
    if (const auto machineInfo = PlatformPaths::readSmallFile(u"/etc/machine-info"_s)) {
        if (auto pretty = prettyHostName(*machineInfo))
            return pretty;
    }
    const QString hostName = QSysInfo::machineHostName();
    if (hostName.isEmpty())
        return std::nullopt;
    return hostName;
}

std::optional<QString> LocalPairingAdvertiser::prettyHostName(const QByteArray &machineInfo)
{
    std::optional<QString> found;
    for (const QByteArray &rawLine : machineInfo.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (!line.startsWith("PRETTY_HOSTNAME="))
            continue;
        // The file is an environment file: shell quoting, backslash escapes.
        const QByteArray value = line.mid(qsizetype(sizeof("PRETTY_HOSTNAME=") - 1));
        QByteArray text;
        char quote = 0;
        for (qsizetype i = 0; i < value.size(); ++i) {
            const char c = value[i];
            if (quote == '\'') {
                if (c == '\'')
                    quote = 0;
                else
                    text += c;
            } else if (c == '\\' && i + 1 < value.size()) {
                const char next = value[i + 1];
                if (quote == '"' && !QByteArrayView("\"\\$`").contains(next)) {
                    text += c;
                } else {
                    text += next;
                    ++i;
                }
            } else if (quote == '"' && c == '"') {
                quote = 0;
            } else if (!quote && (c == '"' || c == '\'')) {
                quote = c;
            } else {
                text += c;
            }
        }
        found = QString::fromUtf8(text);
    }
    if (!found || found->trimmed().isEmpty())
        return std::nullopt;
    return found;
}
