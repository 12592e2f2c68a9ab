#pragma once

// trayer as the system tray host that the UI tests, the end-to-end test and the windowed
// benchmarks dock the app's icon in. Stopped by its process id, and by the kernel if the
// process that started it dies first.
#include <QDeadlineTimer>
#include <QProcess>
#include <QStringList>

#include <sys/prctl.h>

#include <csignal>

class TrayHost
{
public:
    ~TrayHost() { stop(); }

    // A panel at the top right of the screen, shown and so owning the tray: an app started
    // before that takes the desktop for one without a tray. Empty on success, else why not.
    // trayer now and then quits silently at start-up; that is tried again.
    QString start(const QStringList &extraArguments = {})
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        const QString arguments = QStringLiteral(
            "--edge top --align right --widthtype request --height 24 --SetDockType true");
        QString said;
        for (int attempt = 0; attempt < 3; ++attempt) {
            m_process.start(QStringLiteral("trayer"), arguments.split(u' ') + extraArguments);
            m_process.waitForStarted(10000);
            const QDeadlineTimer deadline(10000);
            while (isRunning() && !deadline.hasExpired()) {
                QProcess xwininfo;
                xwininfo.start(QStringLiteral("xwininfo"),
                               QStringLiteral("-root -tree").split(u' '));
                if (xwininfo.waitForFinished() && xwininfo.readAll().contains("\"trayer\""))
                    return {};
                m_process.waitForFinished(100);
            }
            said += QString::fromLocal8Bit(m_process.readAll()) + m_process.errorString();
            stop();
        }
        return QStringLiteral("trayer showed no panel: ") + said;
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
