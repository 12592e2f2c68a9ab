#include "ShellCommandRunner.h"

#include "Logging.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QScopeGuard>
#include <QStringDecoder>
#include <QTimer>

#include <sys/prctl.h>
#include <unistd.h>

#include <coroutine>
#include <csignal>

using namespace Qt::StringLiterals;

namespace {

// A stream that is not valid UTF-8 as a whole is dropped rather than shown half-decoded.
QString decodeStream(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (utf8.hasError())
        return {};
    return text.trimmed();
}

QString seconds(std::chrono::milliseconds limit)
{
    return QString::number(std::chrono::duration_cast<std::chrono::seconds>(limit).count());
}

// Suspends a coroutine until the process has exited or has failed to start. The coroutine
// resumes from a posted call, never inside QProcess's own signal emission, so it may destroy the
// process at once. (Awaiting QProcess's private-tagged signals through QCoro binds a reference
// to null on queued delivery.)
class ProcessEnd
{
public:
    explicit ProcessEnd(QProcess &process)
        : m_process(process)
    {
    }

    bool await_ready() const noexcept { return m_process.state() == QProcess::NotRunning; }

    void await_suspend(std::coroutine_handle<> awaiting)
    {
        const auto wake = [this, awaiting] {
            QObject::disconnect(m_finished);
            QObject::disconnect(m_failed);
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [awaiting] { awaiting.resume(); },
                Qt::QueuedConnection);
        };
        m_finished = QObject::connect(&m_process, &QProcess::finished, &m_process,
                                      [wake](int, QProcess::ExitStatus) { wake(); });
        m_failed = QObject::connect(&m_process, &QProcess::errorOccurred, &m_process,
                                    [wake](QProcess::ProcessError error) {
                                        if (error == QProcess::FailedToStart)
                                            wake();
                                    });
    }

    void await_resume() const noexcept { }

private:
    QProcess &m_process;
    QMetaObject::Connection m_finished;
    QMetaObject::Connection m_failed;
};

} // namespace

// One command in flight: its process, what it printed so far within the limit, and why it is
// being ended early, if it is.
class ShellCommandRunner::Running
{
public:
    enum class Stop
    {
        None,
        TimedOut,
        Cancelled,
    };

    Running(QProcess &process, const Limits &limits)
        : m_process(process)
        , m_limits(limits)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                         [this] { drain(QProcess::StandardOutput, m_standardOutput); });
        QObject::connect(&process, &QProcess::readyReadStandardError, &process,
                         [this] { drain(QProcess::StandardError, m_standardError); });
        m_kill.setSingleShot(true);
        m_kill.setInterval(m_limits.grace);
        QObject::connect(&m_kill, &QTimer::timeout, &process, [this] { signal(SIGKILL); });
    }

    // Asks the whole group to end, and kills it if it has not after the grace period.
    void stop(Stop reason)
    {
        if (m_stop != Stop::None || m_process.state() == QProcess::NotRunning)
            return;
        m_stop = reason;
        signal(SIGTERM);
        m_kill.start();
    }

    // Reads what is left once the process has ended.
    void finish()
    {
        m_kill.stop();
        drain(QProcess::StandardOutput, m_standardOutput);
        drain(QProcess::StandardError, m_standardError);
    }

    Stop stopReason() const { return m_stop; }
    bool overflowed() const { return m_overflowed; }
    const QByteArray &standardOutput() const { return m_standardOutput; }
    const QByteArray &standardError() const { return m_standardError; }

private:
    // Keeps the pipe flowing whatever the child prints, but holds no more than the limit.
    void drain(QProcess::ProcessChannel channel, QByteArray &kept)
    {
        m_process.setReadChannel(channel);
        const QByteArray chunk = m_process.readAll();
        if (m_overflowed || chunk.size() > m_limits.outputBytes - kept.size()) {
            // The command fails for printing too much: nothing it printed is used any more.
            m_overflowed = true;
            kept = QByteArray();
            return;
        }
        kept.append(chunk);
    }

    void signal(int number)
    {
        const qint64 pid = m_process.processId();
        // The child leads its own group; the group outlives it only while its children do.
        if (pid > 0)
            ::kill(-pid_t(pid), number);
    }

    QProcess &m_process;
    const Limits &m_limits;
    QTimer m_kill;
    Stop m_stop = Stop::None;
    bool m_overflowed = false;
    QByteArray m_standardOutput;
    QByteArray m_standardError;
};

ProcessLaunchError::ProcessLaunchError(const QString &message)
    : m_message(message)
{
}

QString ProcessLaunchError::errorDescription() const
{
    return m_message;
}

ShellCommandRunner::ShellCommandRunner()
    : ShellCommandRunner(Limits{})
{
}

ShellCommandRunner::ShellCommandRunner(Limits limits)
    : m_limits(limits)
{
}

ShellCommandRunner::~ShellCommandRunner() = default;

QString ShellCommandRunner::script(const QString &command)
{
    return QStringList{u"export TERM=dumb"_s, u"source ~/.zshrc >/dev/null 2>/dev/null || true"_s,
                       command}
        .join(u"; "_s);
}

QString ShellCommandRunner::failureMessage(const QString &command, const QString &standardOutput,
                                           const QString &standardError)
{
    if (!standardError.isEmpty())
        return standardError;
    if (!standardOutput.isEmpty())
        return standardOutput;
    return u"Command failed: "_s + command;
}

void ShellCommandRunner::cancelAll()
{
    m_cancelled = true;
    for (Running *running : std::as_const(m_running))
        running->stop(Running::Stop::Cancelled);
}

QCoro::Task<ShellCommandResult> ShellCommandRunner::run(const QString &command,
                                                        const QMap<QString, QString> &environment,
                                                        Kind kind)
{
    // The coroutine gets its own copies: a caller may keep the task and drop its arguments.
    return runProcess(command, environment, kind);
}

QCoro::Task<ShellCommandResult>
ShellCommandRunner::runProcess(QString command, QMap<QString, QString> environment, Kind kind)
{
    if (m_cancelled)
        throw OperationCancelled();

    QProcessEnvironment processEnvironment = QProcessEnvironment::systemEnvironment();
    for (auto it = environment.cbegin(); it != environment.cend(); ++it)
        processEnvironment.insert(it.key(), it.value());

    QProcess process;
    process.setProgram(u"/bin/zsh"_s);
    process.setArguments({u"-lc"_s, script(command)});
    process.setWorkingDirectory(QDir::homePath());
    process.setProcessEnvironment(processEnvironment);
    // Our own standard input may carry the headless front end's commands: a child must never
    // read them, and must not wait for input that never comes.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setChildProcessModifier([] {
        ::setpgid(0, 0);
        // An ignored signal stays ignored across exec; the headless front end ignores SIGPIPE
        // for itself only.
        ::signal(SIGPIPE, SIG_DFL);
        // Should this application die without a chance to end it, the shell (or the program it
        // turned into) is told too.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    });

    Running running(process, m_limits);
    m_running.insert(&running);
    const auto forget = qScopeGuard([this, &running] { m_running.erase(&running); });

    QTimer deadline;
    deadline.setSingleShot(true);
    const std::chrono::milliseconds limit = kind == Kind::Probe ? m_limits.probe : m_limits.command;
    QObject::connect(&deadline, &QTimer::timeout, &process,
                     [&running] { running.stop(Running::Stop::TimedOut); });

    // The runner drains both pipes into bounded buffers from the event loop while the child
    // runs, so neither pipe can fill up and stall it; the main thread only waits in co_await.
    process.start(QIODevice::ReadOnly);
    if (kind != Kind::Install)
        deadline.start(limit);
    co_await ProcessEnd(process);
    deadline.stop();
    if (process.error() == QProcess::FailedToStart)
        throw ProcessLaunchError(process.errorString());
    running.finish();

    switch (running.stopReason()) {
    case Running::Stop::Cancelled:
        throw OperationCancelled();
    case Running::Stop::TimedOut:
        qCWarning(lcRunner, "Gave up on a command after %s s: %s", qPrintable(seconds(limit)),
                  qPrintable(command));
        throw BridgeControlError::commandFailed(
            command,
            u"The command did not finish within %1 seconds and was stopped: %2"_s.arg(
                seconds(limit), command));
    case Running::Stop::None:
        break;
    }
    if (running.overflowed()) {
        throw BridgeControlError::commandFailed(
            command,
            u"The command printed more than %1 MiB, more than any answer it gives: %2"_s
                .arg(m_limits.outputBytes / (1024 * 1024))
                .arg(command));
    }

    const QString standardOutput = decodeStream(running.standardOutput());
    const QString standardError = decodeStream(running.standardError());

    // A child killed by a signal has no exit status of its own: that is a failure too.
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        throw BridgeControlError::commandFailed(
            command, failureMessage(command, standardOutput, standardError));
    }
    co_return ShellCommandResult{standardOutput, standardError, 0};
}
