#pragma once

#include "BridgeTextRules.h"

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <exception>
#include <optional>

// The bridge's status as its tool and daemon write it. The records are plain values: every
// holder keeps its own copy, and equality is memberwise so a changed payload is noticed.

struct BridgePairingPayload
{
    qint64 v = 0;
    QString relay;
    QString sessionId;
    QString macDeviceId;
    QString macIdentityPublicKey;
    // Milliseconds since the Unix epoch.
    qint64 expiresAt = 0;

    static std::optional<BridgePairingPayload> fromJson(const QJsonValue &value);
    QJsonObject toJson() const;
    // Live means the expiry instant lies strictly after `now`; equal counts as expired.
    bool isLive(const QDateTime &now) const;
    bool operator==(const BridgePairingPayload &) const = default;
};

struct BridgeDaemonConfig
{
    std::optional<QString> relayUrl;
    std::optional<QString> pushServiceUrl;
    std::optional<QString> codexEndpoint;
    std::optional<bool> refreshEnabled;

    static std::optional<BridgeDaemonConfig> fromJson(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const BridgeDaemonConfig &) const = default;
};

struct BridgeRuntimeStatus
{
    std::optional<QString> state;
    std::optional<QString> connectionStatus;
    std::optional<qint64> pid;
    std::optional<QString> lastError;
    std::optional<QString> updatedAt;

    static std::optional<BridgeRuntimeStatus> fromJson(const QJsonValue &value);
    QJsonObject toJson() const;
    // The bridge holds its relay connection: the status word is "connected" in any letter case.
    bool isConnected() const;
    bool operator==(const BridgeRuntimeStatus &) const = default;
};

struct BridgePairingSession
{
    std::optional<QString> createdAt;
    std::optional<BridgePairingPayload> pairingPayload;

    static std::optional<BridgePairingSession> fromJson(const QJsonValue &value);
    QJsonObject toJson() const;
    // `createdAt` parsed strictly; absent when missing or malformed.
    std::optional<QDateTime> createdDate() const;
    bool operator==(const BridgePairingSession &) const = default;
};

struct BridgeSnapshot
{
    QString currentVersion;
    QString label;
    QString platform;
    bool installed = false;
    bool launchdLoaded = false;
    std::optional<qint64> launchdPid;
    std::optional<BridgeDaemonConfig> daemonConfig;
    std::optional<BridgeRuntimeStatus> bridgeStatus;
    std::optional<BridgePairingSession> pairingSession;
    QString stdoutLogPath;
    QString stderrLogPath;

    static std::optional<BridgeSnapshot> fromJson(const QJsonValue &value);
    QJsonObject toJson() const;

    bool isConnected() const;
    const BridgePairingPayload *pairingPayload() const;
    std::optional<QDateTime> pairingCreatedDate() const;
    // The address the bridge talks through: the configured relay, else the payload's relay,
    // each only when not blank; the empty string when neither is known.
    QString relayCandidate() const;
    // A liveness phrase for the panel: relative time of the last status write, else whether
    // the service is loaded.
    QString statusFootnote(const QDateTime &now = QDateTime::currentDateTimeUtc()) const;

    bool operator==(const BridgeSnapshot &) const = default;
};

// Decodes one record from a whole document. Fails (absent) on invalid UTF-8, malformed JSON or a
// record that breaks the decoding rules.
template <typename Record>
std::optional<Record> decodeRecord(const QByteArray &document);

class BridgeCLIAvailability
{
public:
    enum class Case
    {
        Available, // the tool runs and answered its version query
        Broken, // the tool is there but fails; the message says how
        Checking, // no detection has finished yet
        Missing, // not installed or not found
    };

    static BridgeCLIAvailability available(const QString &version)
    {
        return {Case::Available, version};
    }
    static BridgeCLIAvailability broken(const QString &message) { return {Case::Broken, message}; }
    static BridgeCLIAvailability checking() { return {Case::Checking, {}}; }
    static BridgeCLIAvailability missing() { return {Case::Missing, {}}; }

    Case kind() const { return m_case; }
    bool isAvailable() const { return m_case == Case::Available; }
    QString version() const { return m_case == Case::Available ? m_text : QString(); }
    QString message() const { return m_case == Case::Broken ? m_text : QString(); }

    bool operator==(const BridgeCLIAvailability &) const = default;

private:
    BridgeCLIAvailability(Case c, const QString &text)
        : m_case(c)
        , m_text(text)
    {
    }

    Case m_case;
    QString m_text;
};

struct BridgePackageUpdateState
{
    std::optional<QString> installedVersion;
    std::optional<QString> latestVersion;
    std::optional<QString> errorMessage;

    bool isUpdateAvailable() const;
    bool operator==(const BridgePackageUpdateState &) const = default;
};

// Every error the user may see carries its own one-line text.
class UserFacingError : public std::exception
{
public:
    virtual QString errorDescription() const = 0;
    const char *what() const noexcept override;

private:
    mutable QByteArray m_what;
};

// Thrown into work whose owner is going away; it ends the work quietly and is never shown.
class OperationCancelled : public std::exception
{
public:
    const char *what() const noexcept override { return "cancelled"; }
};

// The description shown for any error: the user-facing text when there is one, else the
// platform's own description.
QString errorDescription(const std::exception &error);
QString errorDescription(const std::exception_ptr &error);

class BridgeControlError : public UserFacingError
{
public:
    enum class Case
    {
        CommandFailed,
        InvalidSnapshot,
    };

    static BridgeControlError commandFailed(const QString &command, const QString &message)
    {
        return {Case::CommandFailed, command, message};
    }
    static BridgeControlError invalidSnapshot(const QString &message)
    {
        return {Case::InvalidSnapshot, {}, message};
    }

    Case kind() const { return m_case; }
    QString command() const { return m_command; }
    QString message() const { return m_message; }
    QString errorDescription() const override { return m_message; }

private:
    BridgeControlError(Case c, const QString &command, const QString &message)
        : m_case(c)
        , m_command(command)
        , m_message(message)
    {
    }

    Case m_case;
    QString m_command;
    QString m_message;
};

class BridgeMenuBarActionError : public UserFacingError
{
public:
    enum class Case
    {
        BrokenCLI,
        MissingCodex,
        MissingCLI,
        PairingTimeout,
    };

    static BridgeMenuBarActionError brokenCLI(const QString &message)
    {
        return {Case::BrokenCLI, message};
    }
    static BridgeMenuBarActionError missingCodex() { return {Case::MissingCodex, {}}; }
    static BridgeMenuBarActionError missingCLI() { return {Case::MissingCLI, {}}; }
    static BridgeMenuBarActionError pairingTimeout() { return {Case::PairingTimeout, {}}; }

    Case kind() const { return m_case; }
    QString errorDescription() const override;

private:
    BridgeMenuBarActionError(Case c, const QString &message)
        : m_case(c)
        , m_message(message)
    {
    }

    Case m_case;
    QString m_message;
};
