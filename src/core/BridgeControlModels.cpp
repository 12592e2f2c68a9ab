#include "BridgeControlModels.h"

#include "RelativeTime.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringDecoder>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// Thrown inside the readers only; every public decoder turns it into an absent record.
struct DecodeFailure
{
};

QString readText(const QJsonValue &value)
{
    if (!value.isString())
        throw DecodeFailure{};
    return value.toString();
}

bool readBool(const QJsonValue &value)
{
    if (!value.isBool())
        throw DecodeFailure{};
    return value.toBool();
}

qint64 readInteger(const QJsonValue &value)
{
    // Qt keeps numbers that are whole and fit 64 bits as integers; fractions and larger values
    // stay doubles and must not be rounded into a member.
    const QVariant number = value.toVariant();
    if (number.typeId() != QMetaType::LongLong)
        throw DecodeFailure{};
    return number.toLongLong();
}

template <typename Record>
Record readRecord(const QJsonValue &value)
{
    auto record = Record::fromJson(value);
    if (!record)
        throw DecodeFailure{};
    return *record;
}

QJsonObject readObject(const QJsonValue &value)
{
    if (!value.isObject())
        throw DecodeFailure{};
    return value.toObject();
}

template <typename Read>
auto required(const QJsonObject &object, QLatin1StringView key, Read read)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        throw DecodeFailure{};
    return read(value);
}

template <typename Read>
auto optional(const QJsonObject &object, QLatin1StringView key, Read read)
    -> std::optional<decltype(read(QJsonValue()))>
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    return read(value);
}

template <typename Record, typename Build>
std::optional<Record> decodeWith(const QJsonValue &value, Build build)
{
    try {
        return build(readObject(value));
    } catch (const DecodeFailure &) {
        return std::nullopt;
    }
}

template <typename T>
void insertIfPresent(QJsonObject &object, QLatin1StringView key, const std::optional<T> &member)
{
    if (!member)
        return;
    if constexpr (requires { member->toJson(); })
        object.insert(key, member->toJson());
    else
        object.insert(key, *member);
}

} // namespace

std::optional<BridgePairingPayload> BridgePairingPayload::fromJson(const QJsonValue &value)
{
    return decodeWith<BridgePairingPayload>(value, [](const QJsonObject &o) {
        return BridgePairingPayload{
            .v = required(o, "v"_L1, readInteger),
            .relay = required(o, "relay"_L1, readText),
            .sessionId = required(o, "sessionId"_L1, readText),
            .macDeviceId = required(o, "macDeviceId"_L1, readText),
            .macIdentityPublicKey = required(o, "macIdentityPublicKey"_L1, readText),
            .expiresAt = required(o, "expiresAt"_L1, readInteger),
        };
    });
}

QJsonObject BridgePairingPayload::toJson() const
{
    return {{"v"_L1, v},
            {"relay"_L1, relay},
            {"sessionId"_L1, sessionId},
            {"macDeviceId"_L1, macDeviceId},
            {"macIdentityPublicKey"_L1, macIdentityPublicKey},
            {"expiresAt"_L1, expiresAt}};
}

bool BridgePairingPayload::isLive(const QDateTime &now) const
{
    return double(expiresAt) / 1000.0 > double(now.toMSecsSinceEpoch()) / 1000.0;
}

std::optional<BridgeDaemonConfig> BridgeDaemonConfig::fromJson(const QJsonValue &value)
{
    return decodeWith<BridgeDaemonConfig>(value, [](const QJsonObject &o) {
        return BridgeDaemonConfig{
            .relayUrl = optional(o, "relayUrl"_L1, readText),
            .pushServiceUrl = optional(o, "pushServiceUrl"_L1, readText),
            .codexEndpoint = optional(o, "codexEndpoint"_L1, readText),
            .refreshEnabled = optional(o, "refreshEnabled"_L1, readBool),
        };
    });
}

QJsonObject BridgeDaemonConfig::toJson() const
{
    QJsonObject object;
    insertIfPresent(object, "relayUrl"_L1, relayUrl);
    insertIfPresent(object, "pushServiceUrl"_L1, pushServiceUrl);
    insertIfPresent(object, "codexEndpoint"_L1, codexEndpoint);
    insertIfPresent(object, "refreshEnabled"_L1, refreshEnabled);
    return object;
}

std::optional<BridgeRuntimeStatus> BridgeRuntimeStatus::fromJson(const QJsonValue &value)
{
    return decodeWith<BridgeRuntimeStatus>(value, [](const QJsonObject &o) {
        return BridgeRuntimeStatus{
            .state = optional(o, "state"_L1, readText),
            .connectionStatus = optional(o, "connectionStatus"_L1, readText),
            .pid = optional(o, "pid"_L1, readInteger),
            .lastError = optional(o, "lastError"_L1, readText),
            .updatedAt = optional(o, "updatedAt"_L1, readText),
        };
    });
}

QJsonObject BridgeRuntimeStatus::toJson() const
{
    QJsonObject object;
    insertIfPresent(object, "state"_L1, state);
    insertIfPresent(object, "connectionStatus"_L1, connectionStatus);
    insertIfPresent(object, "pid"_L1, pid);
    insertIfPresent(object, "lastError"_L1, lastError);
    insertIfPresent(object, "updatedAt"_L1, updatedAt);
    return object;
}

bool BridgeRuntimeStatus::isConnected() const
{
    return connectionStatus && connectionStatus->toLower() == "connected"_L1;
}

std::optional<BridgePairingSession> BridgePairingSession::fromJson(const QJsonValue &value)
{
    return decodeWith<BridgePairingSession>(value, [](const QJsonObject &o) {
        return BridgePairingSession{
            .createdAt = optional(o, "createdAt"_L1, readText),
            .pairingPayload = optional(o, "pairingPayload"_L1, readRecord<BridgePairingPayload>),
        };
    });
}

QJsonObject BridgePairingSession::toJson() const
{
    QJsonObject object;
    insertIfPresent(object, "createdAt"_L1, createdAt);
    insertIfPresent(object, "pairingPayload"_L1, pairingPayload);
    return object;
}

std::optional<QDateTime> BridgePairingSession::createdDate() const
{
    if (!createdAt)
        return std::nullopt;
    return parseBridgeTimestamp(*createdAt);
}

std::optional<BridgeSnapshot> BridgeSnapshot::fromJson(const QJsonValue &value)
{
    return decodeWith<BridgeSnapshot>(value, [](const QJsonObject &o) {
        return BridgeSnapshot{
            .currentVersion = required(o, "currentVersion"_L1, readText),
            .label = required(o, "label"_L1, readText),
            .platform = required(o, "platform"_L1, readText),
            .installed = required(o, "installed"_L1, readBool),
            .launchdLoaded = required(o, "launchdLoaded"_L1, readBool),
            .launchdPid = optional(o, "launchdPid"_L1, readInteger),
            .daemonConfig = optional(o, "daemonConfig"_L1, readRecord<BridgeDaemonConfig>),
            .bridgeStatus = optional(o, "bridgeStatus"_L1, readRecord<BridgeRuntimeStatus>),
            .pairingSession = optional(o, "pairingSession"_L1, readRecord<BridgePairingSession>),
            .stdoutLogPath = required(o, "stdoutLogPath"_L1, readText),
            .stderrLogPath = required(o, "stderrLogPath"_L1, readText),
        };
    });
}

QJsonObject BridgeSnapshot::toJson() const
{
    QJsonObject object{{"currentVersion"_L1, currentVersion},
                       {"label"_L1, label},
                       {"platform"_L1, platform},
                       {"installed"_L1, installed},
                       {"launchdLoaded"_L1, launchdLoaded},
                       {"stdoutLogPath"_L1, stdoutLogPath},
                       {"stderrLogPath"_L1, stderrLogPath}};
    insertIfPresent(object, "launchdPid"_L1, launchdPid);
    insertIfPresent(object, "daemonConfig"_L1, daemonConfig);
    insertIfPresent(object, "bridgeStatus"_L1, bridgeStatus);
    insertIfPresent(object, "pairingSession"_L1, pairingSession);
    return object;
}

bool BridgeSnapshot::isConnected() const
{
    return bridgeStatus && bridgeStatus->isConnected();
}

const BridgePairingPayload *BridgeSnapshot::pairingPayload() const
{
    if (!pairingSession || !pairingSession->pairingPayload)
        return nullptr;
    return &*pairingSession->pairingPayload;
}

std::optional<QDateTime> BridgeSnapshot::pairingCreatedDate() const
{
    return pairingSession ? pairingSession->createdDate() : std::nullopt;
}

QString BridgeSnapshot::relayCandidate() const
{
    if (daemonConfig && daemonConfig->relayUrl) {
        if (auto relay = nonEmptyTrimmed(*daemonConfig->relayUrl))
            return *relay;
    }
    if (const auto *payload = pairingPayload()) {
        if (auto relay = nonEmptyTrimmed(payload->relay))
            return *relay;
    }
    return {};
}

QString BridgeSnapshot::statusFootnote(const QDateTime &now) const
{
    if (bridgeStatus && bridgeStatus->updatedAt) {
        if (auto updated = parseBridgeTimestamp(*bridgeStatus->updatedAt))
            return relativeTimePhrase(*updated, now);
    }
    return launchdLoaded ? u"Ready in background"_s : u"Not running"_s;
}

template <typename Record>
std::optional<Record> decodeRecord(const QByteArray &document)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    (void)utf8.decode(document);
    if (utf8.hasError())
        return std::nullopt;
    QJsonParseError error;
    const QJsonDocument json = QJsonDocument::fromJson(document, &error);
    if (error.error != QJsonParseError::NoError || !json.isObject())
        return std::nullopt;
    return Record::fromJson(json.object());
}

template std::optional<BridgeSnapshot> decodeRecord<BridgeSnapshot>(const QByteArray &);
template std::optional<BridgeDaemonConfig> decodeRecord<BridgeDaemonConfig>(const QByteArray &);
template std::optional<BridgeRuntimeStatus> decodeRecord<BridgeRuntimeStatus>(const QByteArray &);
template std::optional<BridgePairingSession> decodeRecord<BridgePairingSession>(const QByteArray &);
template std::optional<BridgePairingPayload> decodeRecord<BridgePairingPayload>(const QByteArray &);

bool BridgePackageUpdateState::isUpdateAvailable() const
{
    return installedVersion && latestVersion
        && compareNumerically(*installedVersion, *latestVersion) < 0;
}

const char *UserFacingError::what() const noexcept
{
    m_what = errorDescription().toUtf8();
    return m_what.constData();
}

QString errorDescription(const std::exception &error)
{
    if (const auto *userFacing = dynamic_cast<const UserFacingError *>(&error))
        return userFacing->errorDescription();
    return QString::fromUtf8(error.what());
}

QString errorDescription(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        return errorDescription(e);
    } catch (...) {
        return u"An unknown error occurred."_s;
    }
}

QString BridgeMenuBarActionError::errorDescription() const
{
    switch (m_case) {
    case Case::BrokenCLI:
        return m_message;
    case Case::MissingCodex:
        return u"Codex app was not found in /Applications. Install Codex on this Mac, then run "
               u"setup again."_s;
    case Case::MissingCLI:
        return u"Pivra Mac connector could not be prepared automatically."_s;
    case Case::PairingTimeout:
        return u"The Mac connection did not publish a fresh pairing code in time. Open "
               u"diagnostics and try again."_s;
    }
    return {};
}
