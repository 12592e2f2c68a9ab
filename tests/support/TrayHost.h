#pragma once

// trayer as the system tray host that the UI tests, the end-to-end test and the windowed
// benchmarks dock the app's icon in. Stopped by its process id, and by the kernel if the
// process that started it dies first.
#include <QProcess>
#include <QStringList>

#include <sys/prctl.h>

#include <csignal>

class TrayHost
{
public:
    ~TrayHost() { stop(); }

    // A panel at the top right of the screen; empty on success, else why it did not start.
    QString start(const QStringList &extraArguments = {})
    {
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        const QString arguments = QStringLiteral(
            "--edge top --align right --widthtype request --height 24 --SetDockType true");
        m_process.start(QStringLiteral("trayer"), arguments.split(u' ') + extraArguments);
        if (!m_process.waitForStarted(10000))
            return QStringLiteral("cannot start trayer: ") + m_process.errorString();
        return {};
    }

    bool isRunning() const { return m_process.state() == QProcess::Running; }

    void stop()
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
