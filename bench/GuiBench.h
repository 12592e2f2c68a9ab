#pragma once

// What the benchmarks of the windowed app share: a sandbox whose bridge is running and ready to
// pair, the tray host, the two renderers, and launches of the app or of the floor program
// (bench/baseline_quick) with the first-frame probe preloaded.
#include "BenchSupport.h"
#include "TestSandbox.h"
#include "TrayHost.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QSet>
#include <QThread>

#include <array>

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

// What every windowed benchmark runs the app in: the ready sandbox with trayer as tray host.
struct ReadyDesktop
{
    TestSandbox sandbox;
    TrayHost tray;

    // False, after saying why on standard error, when there is no X server (bench/run starts
    // Xvfb) or the sandbox or tray host cannot be set up.
    bool start()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY")) {
            std::fprintf(stderr, "needs an X server: set DISPLAY (bench/run starts Xvfb)\n");
            return false;
        }
        // The stand-in tool is installed and its bridge connected with a live pairing code, so
        // the app finds everything ready and its start-up only looks.
        QString error = sandbox.setUp();
        if (!error.isEmpty())
            error.prepend(QStringLiteral("sandbox: "));
        else if (!sandbox.startBridge())
            error = QStringLiteral("the stand-in bridge did not start");
        else
            error = tray.start();
        if (!error.isEmpty())
            std::fprintf(stderr, "%s\n", qPrintable(error));
        return error.isEmpty();
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

// A Qt Quick renderer, chosen by the variable Qt reads for it; the app and the floor get the
// same one, so a ratio compares programs, not renderers.
struct Renderer
{
    const char *name;
    const char *variable;
    const char *value;
};

inline constexpr std::array<Renderer, 2> renderers{{
    {"software", "QT_QUICK_BACKEND", "software"},
    {"opengl", "QSG_RHI_BACKEND", "opengl"},
}};

// One run of a Qt Quick program with the first-frame probe preloaded; with a renderer, only that
// renderer's variable is set.
class ProbedLaunch
{
public:
    ProbedLaunch(const QString &program, const QStringList &arguments, const QString &windowTitle,
                 const Renderer *renderer = nullptr)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(PIVRA_BENCH_PROBE));
        environment.insert(QStringLiteral("PIVRA_PROBE_TITLE"), windowTitle);
        if (renderer) {
            for (const Renderer &other : renderers)
                environment.remove(QString::fromLatin1(other.variable));
            environment.insert(QString::fromLatin1(renderer->variable),
                               QString::fromLatin1(renderer->value));
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
    // From the start to the window's first expose: all but rendering the first frame.
    std::optional<double> exposeMs() const { return m_exposeMs; }
    // Processor time of the process, all threads, up to its first frame.
    std::optional<double> cpuMs() const { return m_cpuMs; }
    QByteArray standardError() const { return m_stderr; }

    // Milliseconds from just before the process was started to its first frame.
    std::optional<double> waitForFirstFrame(int timeoutMs = 30000)
    {
        static const QByteArray application = "pivra-probe application ";
        static const QByteArray expose = "pivra-probe expose ";
        static const QByteArray cpu = "pivra-probe cpu ";
        static const QByteArray firstFrame = "pivra-probe first-frame ";
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            while (m_process.canReadLine()) {
                const QByteArray line = m_process.readLine();
                m_stderr += line;
                if (line.startsWith(application))
                    m_applicationMs = sinceStart(line.mid(application.size()));
                if (line.startsWith(expose))
                    m_exposeMs = sinceStart(line.mid(expose.size()));
                if (line.startsWith(cpu))
                    m_cpuMs = double(line.mid(cpu.size()).trimmed().toLongLong()) / 1e6;
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
    std::optional<double> m_exposeMs;
    std::optional<double> m_cpuMs;
    QByteArray m_stderr;
    std::optional<int> m_exitCode;
};

// Waits for a launch's first frame and, for the app, for its start-up commands to end, so the
// next launch does not share the processor with them. Without a frame, says so with what the
// program printed.
inline std::optional<double> waitForFirstFrameAndStartUp(ProbedLaunch &launch, bool isApp)
{
    const std::optional<double> firstFrame = launch.waitForFirstFrame();
    if (!firstFrame) {
        std::fprintf(stderr, "%s showed no frame:\n%s\n", isApp ? "the app" : "the floor",
                     launch.standardError().constData());
        return std::nullopt;
    }
    if (isApp && !launch.waitForChildrenToEnd())
        std::fprintf(stderr, "the app's start-up commands were still running after 30 s\n");
    return firstFrame;
}

// The floor shows a window of the same title, so the probe times both alike.
inline std::unique_ptr<ProbedLaunch> launch(bool isApp, const Renderer *renderer = nullptr)
{
    return std::make_unique<ProbedLaunch>(isApp ? QStringLiteral(PIVRA_MENUBAR_BINARY)
                                                : QStringLiteral(PIVRA_BASELINE_QUICK_BINARY),
                                          QStringList{}, QStringLiteral("Pivra Setup"), renderer);
}

// What a benchmark measured, by renderer and program: [renderer][isApp].
template <typename T>
using Samples = std::array<std::array<QList<T>, 2>, 2>;

// `rounds` rounds, each launching the app and the floor on both renderers; which renderer and
// which program go first alternate from round to round, so neither always follows the other.
// `measure(isApp, renderer)` launches and measures one; nothing when one launch failed.
template <typename T, typename Measure>
std::optional<Samples<T>> alternateLaunches(int rounds, Measure measure)
{
    Samples<T> samples;
    for (int round = 0; round < rounds; ++round) {
        for (const int renderer : {round % 2, 1 - round % 2}) {
            for (const bool isApp : {round / 2 % 2 == 0, round / 2 % 2 != 0}) {
                const std::optional<T> value = measure(isApp, renderers[size_t(renderer)]);
                if (!value)
                    return std::nullopt;
                samples[size_t(renderer)][isApp].append(*value);
            }
        }
    }
    return samples;
}

} // namespace bench
