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
        // Without one, npm's registry is a closed loopback port: every request fails.
        bool registry = true;
        Install install = Install::Local;
        bool codex = true;
    };

    TestSandbox() = default;
    TestSandbox(const TestSandbox &) = delete;
    TestSandbox &operator=(const TestSandbox &) = delete;
    ~TestSandbox() { cleanUp(); }

    // Empty on success, else what went wrong.
    QString setUp(const Options &options);
    QString setUp() { return setUp(Options{}); }
    void cleanUp();

    QString root() const { return m_root; }
    QString home() const { return m_home; }
    // The tool's default state directory, ~/.pivra.
    QString stateDirectory() const { return m_home + QStringLiteral("/.pivra"); }

    // Knobs of the stand-in tool for the state directory `stateDirectory` (default ~/.pivra).
    void writeKnobs(const QJsonObject &knobs, const QString &stateDirectory = {}) const;
    // Every call the tool logged in ~/.pivra, oldest first.
    QList<QJsonObject> calls() const;

    // Stops the daemons and removes ~/.pivra and the launch agent, so that the next test starts
    // from a bridge that never ran.
    void resetBridge();
    // Processes living in this sandbox's home other than the simulated daemons (which the tool
    // detaches on purpose): the shells, node and npm the code under test started.
    QList<qint64> commandsStillRunning() const { return processes(false); }

    // Starts the stand-in bridge through the tool and waits until its daemon has written a
    // pairing session: a bridge already running and connected before the app starts.
    bool startBridge(int timeoutMs = 15000) const;

    // Runs one command in the sandbox's login shell, blocking; for test set-up only.
    QString shell(const QString &command, int *exitCode = nullptr) const;

    // Writes `bytes` to `path`, making its folders.
    static bool writeFile(const QString &path, const QByteArray &bytes);

private:
    // Live processes whose environment names this home: the simulated daemons, or the others.
    QList<qint64> processes(bool daemons) const;
    void setVariable(const char *name, const std::optional<QByteArray> &value);

    QString m_root;
    QString m_home;
    std::unique_ptr<QProcess> m_registry;
    QHash<QByteArray, std::optional<QByteArray>> m_savedEnvironment;
};
