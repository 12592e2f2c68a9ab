#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>

#include <memory>
#include <optional>

// A throwaway home for tests and benchmarks that drive the stand-in bridge tool: a temporary
// directory with a sandbox home made by tools/bridge-sim/make-sandbox, optionally the loopback
// npm registry and the tool installed into the sandbox's npm prefix. setUp() points this process
// at the sandbox (HOME and the XDG variables, set with qputenv, so every child the code under
// test starts inherits them); cleanUp() stops every simulated daemon and the registry by their
// process ids, restores the environment and removes the directory.
class TestSandbox
{
public:
    enum class Install
    {
        None,
        Local, // a copy of tools/bridge-sim/package
        Registry, // pivra@latest from the loopback registry
    };
    struct Options
    {
        bool registry = true;
        Install install = Install::Local;
        bool codex = true;
        QString registryVersions = QStringLiteral("0.4.2,0.5.0");
    };

    TestSandbox() = default;
    TestSandbox(const TestSandbox &) = delete;
    TestSandbox &operator=(const TestSandbox &) = delete;
    ~TestSandbox();

    // Empty on success, else what went wrong.
    QString setUp(const Options &options);
    QString setUp();
    void cleanUp();

    static QString bridgeSimDirectory();

    QString root() const { return m_root; }
    QString home() const { return m_home; }
    // The tool's default state directory, ~/.pivra.
    QString stateDirectory() const;
    QString launchAgentPath() const;
    QString registryUrl() const { return m_registryUrl; }

    // Flips the registry into answering 500 to everything, or back; waits until it has.
    bool setRegistryFailing(bool failing);

    // Knobs of the stand-in tool for the state directory `stateDirectory` (default ~/.pivra).
    void writeKnobs(const QJsonObject &knobs, const QString &stateDirectory = {}) const;
    // Every call the tool logged in that state directory, oldest first.
    QList<QJsonObject> calls(const QString &stateDirectory = {}) const;

    // Stops the daemons and removes ~/.pivra, the launch agent and any extra state directories
    // listed, so that the next test starts from a bridge that never ran.
    void resetBridge(const QStringList &extraStateDirectories = {});
    // Every simulated daemon whose bridge.pid lies under the sandbox root.
    void stopDaemons();
    // Processes living in this sandbox's home other than the simulated daemons (which the tool
    // detaches on purpose): the shells, node and npm the code under test started.
    QList<qint64> commandsStillRunning() const;

    // Starts the stand-in bridge through the tool and waits until its daemon has written a
    // pairing session: a bridge already running and connected before the app starts.
    bool startBridge(int timeoutMs = 15000) const;

    // Runs one command in the sandbox's login shell, blocking; for test set-up only.
    QString shell(const QString &command, int *exitCode = nullptr) const;

    // Writes `bytes` to `path`, making its folders.
    static bool writeFile(const QString &path, const QByteArray &bytes);
    // Writes a launch agent property list (XML or binary) whose EnvironmentVariables name
    // `stateDirectory` as PIVRA_DEVICE_STATE_DIR.
    static bool writeLaunchAgent(const QString &path, const QString &stateDirectory, bool binary);

private:
    void setVariable(const char *name, const std::optional<QByteArray> &value);

    QString m_root;
    QString m_home;
    QString m_registryUrl;
    std::unique_ptr<QProcess> m_registry;
    bool m_registryFailing = false;
    QHash<QByteArray, std::optional<QByteArray>> m_savedEnvironment;
};
