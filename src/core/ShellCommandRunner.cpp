#include "ShellCommandRunner.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringDecoder>

#include <coroutine>

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

ProcessLaunchError::ProcessLaunchError(const QString &message)
    : m_message(message)
{
}

QString ProcessLaunchError::errorDescription() const
{
    return m_message;
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

QCoro::Task<ShellCommandResult> ShellCommandRunner::run(const QString &command,
                                                        const QMap<QString, QString> &environment)
{
    // The coroutine gets its own copies: a caller may keep the task and drop its arguments.
    return runProcess(command, environment);
}

QCoro::Task<ShellCommandResult> ShellCommandRunner::runProcess(QString command,
                                                               QMap<QString, QString> environment)
{
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

    // QProcess drains both pipes into its own buffers from the event loop while the child runs,
    // so neither pipe can fill up and stall it; the main thread only waits in co_await.
    process.start(QIODevice::ReadOnly);
    co_await ProcessEnd(process);
    if (process.error() == QProcess::FailedToStart)
        throw ProcessLaunchError(process.errorString());

    const QString standardOutput = decodeStream(process.readAllStandardOutput());
    const QString standardError = decodeStream(process.readAllStandardError());

    // A child killed by a signal has no exit status of its own: that is a failure too.
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        throw BridgeControlError::commandFailed(
            command, failureMessage(command, standardOutput, standardError));
    }
    co_return ShellCommandResult{standardOutput, standardError, 0};
}
