#pragma once

#include "BridgeControlModels.h"

#include <QCoroTask>
#include <QMap>
#include <QString>

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
// variables. Holds no state; calls are independent and may overlap. Virtual so that tests can
// script its answers.
class ShellCommandRunner
{
public:
    ShellCommandRunner() = default;
    virtual ~ShellCommandRunner();

    // Completes once the command has exited and both of its streams are read, with no time
    // limit. Throws BridgeControlError::commandFailed when the command exits non-zero or is
    // killed by a signal, ProcessLaunchError when zsh cannot start.
    virtual QCoro::Task<ShellCommandResult> run(const QString &command,
                                                const QMap<QString, QString> &environment);

    // The script handed to `zsh -lc`: the preamble lines, then `command`, joined by "; ".
    static QString script(const QString &command);

    // The most useful text a failed command printed: its error output, else its output, else a
    // line naming the command.
    static QString failureMessage(const QString &command, const QString &standardOutput,
                                  const QString &standardError);

private:
    static QCoro::Task<ShellCommandResult> runProcess(QString command,
                                                      QMap<QString, QString> environment);
};
