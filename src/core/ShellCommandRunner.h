#pragma once

#include "BridgeControlModels.h"

#include <QCoroTask>
#include <QMap>
#include <QString>

#include <chrono>
#include <set>

class QProcess;

// What a command printed, decoded as UTF-8 (a stream that is not valid UTF-8 reads as empty) and
// trimmed. Only commands that exit with status 0 give a result, so `exitCode` is 0.
struct ShellCommandResult
{
    QString standardOutput;
    QString standardError;
    int exitCode = 0;
};

// The login shell could not be started at all; the text is the platform's own.
class ProcessLaunchError : public UserFacingError
{
public:
    explicit ProcessLaunchError(const QString &message);
    QString errorDescription() const override;

private:
    QString m_message;
};

// Runs one command line the way the user's own terminal would: a login zsh that has also read
// ~/.zshrc, started in the home directory, with this process's environment plus the caller's
// variables. Calls are independent and may overlap. Virtual so that tests can script its answers.
//
// Each command runs in a process group of its own, so that the whole of it (the shell, node,
// npm and what they start) can be ended together, and a Ctrl-C meant for this application does
// not cut an install short behind its back.
class ShellCommandRunner
{
public:
    // What a command does decides how long it may take.
    enum class Kind
    {
        Probe, // only reads: a version, a status, a registry answer
        Command, // tells the bridge to do something
        Install, // npm installing a package: as long as it takes
    };
    struct Limits
    {
        std::chrono::milliseconds probe = std::chrono::seconds(60);
        std::chrono::milliseconds command = std::chrono::seconds(180);
        // Per stream; what a command prints beyond this is dropped and the command fails.
        qint64 outputBytes = 16 * 1024 * 1024;
        // Between asking a command to end and killing it.
        std::chrono::milliseconds grace = std::chrono::seconds(2);
    };

    ShellCommandRunner();
    explicit ShellCommandRunner(Limits limits);
    virtual ~ShellCommandRunner();
    ShellCommandRunner(const ShellCommandRunner &) = delete;
    ShellCommandRunner &operator=(const ShellCommandRunner &) = delete;

    // Completes once the command has exited and both of its streams are read. Throws
    // BridgeControlError::commandFailed when the command exits non-zero, is killed, overruns its
    // time or prints too much; ProcessLaunchError when zsh cannot start; OperationCancelled once
    // cancelAll() was called.
    virtual QCoro::Task<ShellCommandResult>
    run(const QString &command, const QMap<QString, QString> &environment, Kind kind = Kind::Probe);

    // Ends every running command (its whole process group, killed after the grace period) and
    // makes every later run fail at once: the owner is going away.
    void cancelAll();
    bool isCancelled() const { return m_cancelled; }

    // The script handed to `zsh -lc`: the preamble lines, then `command`, joined by "; ".
    static QString script(const QString &command);

    // The most useful text a failed command printed: its error output, else its output, else a
    // line naming the command.
    static QString failureMessage(const QString &command, const QString &standardOutput,
                                  const QString &standardError);

private:
    class Running;
    QCoro::Task<ShellCommandResult> runProcess(QString command, QMap<QString, QString> environment,
                                               Kind kind);

    const Limits m_limits;
    bool m_cancelled = false;
    std::set<Running *> m_running;
};
