#pragma once

#include "BridgeControlModels.h"
#include "ShellCommandRunner.h"

#include <QCoroTask>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <exception>
#include <memory>
#include <optional>

// Which node runs which copy of the bridge tool's entry script.
struct BridgeCLIInvocation
{
    QString nodePath;
    QString scriptPath;

    // The two quoted paths, then the fixed argument words, separated by single blanks.
    QString commandLine(const QStringList &arguments) const;
    bool operator==(const BridgeCLIInvocation &) const = default;
};

// One shell word whatever `text` holds: single quotes, with each ' written as '\''.
QString shellQuote(const QString &text);

// The outcome of asking npm for the newest published version: exactly one member is set.
struct LatestVersionResult
{
    std::optional<QString> version;
    std::exception_ptr error;
};

enum class ComparisonResult
{
    Ascending = -1,
    Same = 0,
    Descending = 1,
};

// The one object through which the connector drives the bridge tool and npm and reads the
// bridge's state. It caches nothing: every operation finds the tool again and reads afresh.
class BridgeControlService
{
public:
    explicit BridgeControlService(std::shared_ptr<ShellCommandRunner> runner
                                  = std::make_shared<ShellCommandRunner>());
    virtual ~BridgeControlService();

    ShellCommandRunner &runner() const;
    // Fixed when the service is made, from the home directory of that moment.
    QString defaultStateDirectory() const;
    QString launchAgentPlistPath() const;

    // --- Probing and installing the tool; the two probes never throw.
    virtual QCoro::Task<BridgeCLIAvailability> detectCLIAvailability();
    virtual QCoro::Task<LatestVersionResult> fetchLatestPackageVersion();
    virtual QCoro::Task<> installBridgePackage();
    // "npm install -g pivra@latest", however the tool was installed before.
    virtual QCoro::Task<> updateBridgePackage();

    // --- Bridge state and commands. The override is the user's connection address, if any.
    virtual QCoro::Task<BridgeSnapshot> loadSnapshot(std::optional<QString> relayOverride);
    virtual QCoro::Task<> startBridge(std::optional<QString> relayOverride);
    virtual QCoro::Task<> stopBridge(std::optional<QString> relayOverride);
    virtual QCoro::Task<> resumeLastThread(std::optional<QString> relayOverride);
    virtual QCoro::Task<> resetPairing(std::optional<QString> relayOverride);

    virtual std::optional<QString> detectCodexApplicationPath() const;

    // --- Locating node and the tool.
    QCoro::Task<BridgeCLIInvocation> resolveCLIInvocation();
    std::optional<BridgeCLIInvocation> resolveBundledCLIInvocation() const;
    std::optional<QString> bundledOrDevelopmentBridgePackagePath() const;
    // Throws BridgeControlError::commandFailed("<name> was not found in the app shell
    // environment.") when neither the login shell nor a usual install location has it.
    QCoro::Task<QString> resolveExecutable(QString name);

    static std::optional<QString> parseExecutablePath(const QString &output);
    static std::optional<QString> resolveColocatedNodePath(const QString &cliPath);
    static QStringList fallbackExecutableCandidates(const QString &name);
    static QStringList nvmExecutableCandidates(const QString &name, const QString &homeDirectory);
    static std::optional<QList<qint64>> parseVersionDirectoryName(const QString &name);
    static ComparisonResult compareVersionComponents(const QList<qint64> &left,
                                                     const QList<qint64> &right);
    static ComparisonResult compareVersionDirectoryNames(const QString &left, const QString &right);
    static QMap<QString, QString> commandEnvironment(const std::optional<QString> &relayOverride);

    // --- Reading what the tool answers.
    static BridgeCLIAvailability classifyCLIAvailability(const std::exception_ptr &error);
    static std::optional<QString> parseLatestVersion(const QString &output);
    static QMap<QString, QString> parseStatusLines(const QString &text);
    static std::optional<qint64> parsePid(const std::optional<QString> &text);
    static std::optional<bool> parseYesNo(const std::optional<QString> &text);
    static std::optional<QString> normalizeNonEmptyString(const std::optional<QString> &text);
    static std::optional<QString> deriveStateDirectory(const std::optional<QString> &logPath);

    // The bridge's state directory: PIVRA_DEVICE_STATE_DIR of this process, else the one the
    // launch agent names, else two levels above a log path, else the default.
    QString resolveStateDirectory(const QMap<QString, QString> &statusLines) const;
    std::optional<QString> readLaunchAgentStateDirectory() const;
    // PIVRA_DEVICE_STATE_DIR from the EnvironmentVariables of a launch agent property list (XML
    // or binary), made absolute; nothing when the list does not name one.
    static std::optional<QString> launchAgentStateDirectory(const QByteArray &plist);

protected:
    // The application's resource directory (a carried copy of the tool and node may live
    // there); tests point it elsewhere.
    virtual std::optional<QString> resourcesDirectory() const;

    QCoro::Task<BridgeSnapshot> loadFallbackSnapshot(QString output,
                                                     BridgeCLIInvocation invocation);

private:
    QCoro::Task<> runBridgeCommand(QString argument, std::optional<QString> relayOverride);

    std::shared_ptr<ShellCommandRunner> m_runner;
    QString m_defaultStateDirectory;
    QString m_launchAgentPlistPath;
};
