#pragma once

// What the benchmarks of the windowed app share: a sandbox whose bridge is running and ready to
// pair, the tray host, and launches of the app or of the bare Qt Quick baseline with the
// first-frame probe preloaded.
#include "BenchSupport.h"
#include "TestSandbox.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QThread>

#include <sys/prctl.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>

namespace bench {

inline bool waitUntil(const std::function<bool()> &condition, int milliseconds, int stepMs = 10)
{
    QDeadlineTimer deadline(milliseconds);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(stepMs);
    }
    return true;
}

// A sandbox home with the stand-in tool installed and its bridge connected with a live pairing
// code, so the app finds everything ready and its start-up only looks. Empty on success.
inline QString setUpReadySandbox(TestSandbox &sandbox)
{
    if (const QString error = sandbox.setUp(); !error.isEmpty())
        return error;
    int exitCode = -1;
    sandbox.shell(QStringLiteral("pivra start"), &exitCode);
    const QString session = sandbox.stateDirectory() + QStringLiteral("/pairing-session.json");
    if (exitCode != 0 || !waitUntil([&] { return QFileInfo::exists(session); }, 15000))
        return QStringLiteral("the stand-in bridge did not start");
    return {};
}

// trayer, so the app docks its icon as on a desktop; stopped by its process id.
class TrayHost
{
public:
    QString start()
    {
        m_process.setProgram(QStringLiteral("trayer"));
        m_process.setArguments({QStringLiteral("--edge"), QStringLiteral("top"),
                                QStringLiteral("--align"), QStringLiteral("right"),
                                QStringLiteral("--widthtype"), QStringLiteral("request"),
                                QStringLiteral("--height"), QStringLiteral("24"),
                                QStringLiteral("--SetDockType"), QStringLiteral("true")});
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_process.start();
        if (!m_process.waitForStarted(10000))
            return QStringLiteral("cannot start trayer: ") + m_process.errorString();
        // trayer owns the tray selection before its panel shows; give it that moment.
        QThread::msleep(500);
        return m_process.state() == QProcess::Running ? QString()
                                                      : QStringLiteral("trayer exited at once");
    }

    ~TrayHost()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

private:
    QProcess m_process;
};

// What every windowed benchmark runs the app in: the ready sandbox with trayer as tray host.
struct ReadyDesktop
{
    TestSandbox sandbox;
    TrayHost tray;

    // Empty on success, else what went wrong.
    QString start()
    {
        if (const QString error = setUpReadySandbox(sandbox); !error.isEmpty())
            return QStringLiteral("sandbox: ") + error;
        return tray.start();
    }
};

// Every live descendant of `pid`, from the kernel's children lists.
inline QSet<qint64> descendants(qint64 pid)
{
    QSet<qint64> found;
    QList<qint64> pending{pid};
    while (!pending.isEmpty()) {
        const qint64 parent = pending.takeLast();
        const QString tasks = QStringLiteral("/proc/%1/task").arg(parent);
        for (const QString &tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QByteArray children
                = readProcFile(tasks + u'/' + tid + QStringLiteral("/children")).trimmed();
            for (const QByteArray &child : children.split(' ')) {
                if (const qint64 id = child.toLongLong(); id > 0 && !found.contains(id)) {
                    found.insert(id);
                    pending.append(id);
                }
            }
        }
    }
    return found;
}

// One run of a Qt Quick program with the first-frame probe preloaded.
class ProbedLaunch
{
public:
    ProbedLaunch(const QString &program, const QStringList &arguments, const QString &windowTitle,
                 bool probe = true)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (probe) {
            environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(PIVRA_BENCH_PROBE));
            environment.insert(QStringLiteral("PIVRA_PROBE_TITLE"), windowTitle);
        }
        m_process.setProcessEnvironment(environment);
        m_process.setStandardInputFile(QProcess::nullDevice());
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setReadChannel(QProcess::StandardError);
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_startedAt = monotonicNanoseconds();
        m_process.start(program, arguments);
    }

    ~ProbedLaunch() { stop(); }

    qint64 pid() const { return m_process.processId(); }
    // From the start to the application object's construction: loading and linking.
    std::optional<double> applicationMs() const { return m_applicationMs; }
    QByteArray standardError() const { return m_stderr; }

    // Milliseconds from just before the process was started to its first frame.
    std::optional<double> waitForFirstFrame(int timeoutMs = 30000)
    {
        static const QByteArray application = "pivra-probe application ";
        static const QByteArray firstFrame = "pivra-probe first-frame ";
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            while (m_process.canReadLine()) {
                const QByteArray line = m_process.readLine();
                m_stderr += line;
                if (line.startsWith(application))
                    m_applicationMs = sinceStart(line.mid(application.size()));
                if (line.startsWith(firstFrame))
                    return sinceStart(line.mid(firstFrame.size()));
            }
            if (m_process.state() == QProcess::NotRunning)
                return std::nullopt;
            m_process.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
        }
        return std::nullopt;
    }

    // Waits until start-up work has ended: no child process for `quietMs` in a row.
    bool waitForChildrenToEnd(int timeoutMs = 30000, int quietMs = 400)
    {
        QDeadlineTimer quietSince(quietMs);
        return waitUntil(
            [&] {
                if (!descendants(pid()).isEmpty())
                    quietSince.setRemainingTime(quietMs);
                return quietSince.hasExpired();
            },
            timeoutMs, 20);
    }

    // SIGTERM by process id; then waits for the children it left, if any, so the next launch
    // does not share the processor with them. The exit code, or nothing when it did not end
    // normally (a program without a SIGTERM handler).
    std::optional<int> stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return m_exitCode;
        const QSet<qint64> children = descendants(pid());
        m_process.terminate();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
        m_stderr += m_process.readAllStandardError();
        (void)waitUntil(
            [&] {
                return std::none_of(children.cbegin(), children.cend(),
                                    [](qint64 child) { return ::kill(pid_t(child), 0) == 0; });
            },
            5000, 20);
        if (m_process.exitStatus() == QProcess::NormalExit)
            m_exitCode = m_process.exitCode();
        return m_exitCode;
    }

private:
    double sinceStart(const QByteArray &nanoseconds) const
    {
        return double(nanoseconds.trimmed().toLongLong() - m_startedAt) / 1e6;
    }

    QProcess m_process;
    qint64 m_startedAt = 0;
    std::optional<double> m_applicationMs;
    QByteArray m_stderr;
    std::optional<int> m_exitCode;
};

inline const QString appTitle = QStringLiteral("Pivra Setup");
inline const QString baselineTitle = QStringLiteral("Baseline Quick Window");

inline std::unique_ptr<ProbedLaunch> launchApp(bool probe = true)
{
    return std::make_unique<ProbedLaunch>(QStringLiteral(PIVRA_MENUBAR_BINARY), QStringList{},
                                          appTitle, probe);
}

inline std::unique_ptr<ProbedLaunch> launchBaseline()
{
    return std::make_unique<ProbedLaunch>(QStringLiteral(PIVRA_BASELINE_QUICK_BINARY),
                                          QStringList{}, baselineTitle);
}

// The benchmarks that show windows need an X server; scripts/lib/services.sh starts one.
inline bool hasDisplay()
{
    if (!qEnvironmentVariableIsEmpty("DISPLAY"))
        return true;
    std::fprintf(stderr, "needs an X server: set DISPLAY (bench/run starts Xvfb)\n");
    return false;
}

} // namespace bench
