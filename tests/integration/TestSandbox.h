#pragma once

#include <QJsonObject>
#include <QProcess>

#include <memory>

// A throwaway home with the stand-in bridge tool (tools/bridge-sim/make-sandbox) and, unless
// told otherwise, the loopback npm registry. setUp() points this process's environment, and so
// every child's, at it; cleanUp() stops what it started by process id and restores it all.
class TestSandbox
{
public:
    enum class Install
    {
        None,
        Local, // a copy of tools/bridge-sim/package
    };
    struct Options
    {
        bool registry = true;
        Install install = Install::Local;
        bool codex = true;
    };

    ~TestSandbox() { cleanUp(); }

    QString setUp(const Options &options); // empty on success, else what went wrong
    QString setUp() { return setUp(Options{}); }
    void cleanUp();

    QString root() const { return m_root; }
    QString home() const { return m_root + QStringLiteral("/home"); }
    QString stateDirectory() const { return home() + QStringLiteral("/.pivra"); } // the tool's

    // The tool's knobs for a state directory (default ~/.pivra), and its calls logged in ~/.pivra.
    void writeKnobs(const QJsonObject &knobs, const QString &stateDirectory = {}) const;
    QList<QJsonObject> calls() const;

    // Stops the daemons, removes ~/.pivra and the launch agent: a bridge that never ran.
    void resetBridge();
    // Processes in this home but the daemons (which the tool detaches on purpose).
    QList<qint64> commandsStillRunning() const { return processes(false); }
    // Starts the bridge through the tool and waits for its pairing session.
    bool startBridge(int timeoutMs = 15000) const;
    // Writes `bytes` to `path`, making its folders.
    static bool writeFile(const QString &path, const QByteArray &bytes);

private:
    QList<qint64> processes(bool daemons) const;

    QString m_root;
    std::unique_ptr<QProcess> m_registry;
    QProcessEnvironment m_environment;
};
