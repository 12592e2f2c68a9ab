// What the windowed app costs while it waits between refreshes: the processor time (utime +
// stime from /proc/<pid>/stat, every thread) it uses in 60 seconds once its start-up has ended,
// in a sandbox whose stand-in bridge is ready, with trayer as tray host and the setup window
// open as a launch leaves it. Also counts each thread's wakeups (voluntary context switches: a
// thread asleep in poll has none) and reads the main loop's current poll timeout from
// /proc/<pid>/task/<tid>/syscall: with only the refresh loop armed, that is the time left until
// the next refresh.
//   bench_idle [SECONDS]   (default 60)
#include "GuiBench.h"

#include <QCoreApplication>
#include <QHash>

#include <unistd.h>

using namespace bench;

namespace {

constexpr double targetSeconds = 0.05;

// What a thread is blocked in: for poll(2), the timeout it sleeps with.
QString waitOf(qint64 pid, qint64 tid)
{
    const QList<QByteArray> fields
        = readProcFile(QStringLiteral("/proc/%1/task/%2/syscall").arg(pid).arg(tid))
              .trimmed()
              .split(' ');
    if (fields.value(0) == "running")
        return QStringLiteral("running");
    if (fields.value(0) != "7" || fields.size() < 4)
        return QStringLiteral("syscall %1").arg(QString::fromLatin1(fields.value(0)));
    bool ok = false;
    const int timeout = int(fields[3].toULongLong(&ok, 16));
    if (!ok)
        return QStringLiteral("poll");
    return timeout < 0 ? QStringLiteral("poll, no timeout")
                       : QStringLiteral("poll, timeout %1 s").arg(timeout / 1000.0, 0, 'f', 1);
}

// Start-up has ended once no child runs and the process used no processor time for a while.
bool waitUntilSettled(ProbedLaunch &app)
{
    if (!app.waitForChildrenToEnd(60000))
        return false;
    const int quietMs = 3000;
    std::optional<qint64> last = cpuTicks(app.pid());
    QDeadlineTimer quietSince(quietMs);
    return waitUntil(
        [&] {
            const std::optional<qint64> now = cpuTicks(app.pid());
            if (now != last || !descendants(app.pid()).isEmpty()) {
                last = now;
                quietSince.setRemainingTime(quietMs);
            }
            return quietSince.hasExpired();
        },
        60000, 100);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const int seconds = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 60;
    ReadyDesktop desktop;
    if (!desktop.start())
        return 1;

    const auto app = launch(true);
    if (!app->waitForFirstFrame()) {
        std::fprintf(stderr, "the app showed no frame:\n%s\n", app->standardError().constData());
        return 1;
    }
    if (!waitUntilSettled(*app)) {
        std::fprintf(stderr, "the app did not settle within a minute\n");
        return 1;
    }
    const qsizetype callsBefore = desktop.sandbox.calls().size();
    const qint64 pid = app->pid();
    const std::optional<qint64> ticksBefore = cpuTicks(pid);
    const auto threadTimesBefore = threadCpuNanoseconds(pid);
    const QList<ThreadWakeups> threadsBefore = threadWakeups(pid);
    const QString mainWaitBefore = waitOf(pid, pid);

    std::printf("idling for %d s (pid %lld)...\n", seconds, pid);
    std::fflush(stdout);
    ::sleep(unsigned(seconds));

    const std::optional<qint64> ticksAfter = cpuTicks(pid);
    const auto threadTimesAfter = threadCpuNanoseconds(pid);
    const QList<ThreadWakeups> threadsAfter = threadWakeups(pid);
    QHash<qint64, QString> waitsAfter;
    for (const ThreadWakeups &thread : threadsAfter)
        waitsAfter.insert(thread.tid, waitOf(pid, thread.tid));

    const qsizetype callsDuring = desktop.sandbox.calls().size() - callsBefore;
    if (!ticksBefore || !ticksAfter) {
        std::fprintf(stderr, "the app exited while idling:\n%s\n",
                     app->standardError().constData());
        return 1;
    }
    app->stop();

    QHash<qint64, ThreadWakeups> before;
    for (const ThreadWakeups &thread : threadsBefore)
        before.insert(thread.tid, thread);
    qint64 wakeups = 0;
    QStringList perThread;
    for (const ThreadWakeups &thread : threadsAfter) {
        const ThreadWakeups earlier = before.value(thread.tid, ThreadWakeups{});
        const qint64 count = thread.voluntary - earlier.voluntary;
        wakeups += count;
        if (count > 0 || thread.tid == pid) {
            perThread << QStringLiteral("%1 [%2%3] %4: %5")
                             .arg(thread.name)
                             .arg(thread.tid)
                             .arg(thread.tid == pid ? QStringLiteral(", main") : QString())
                             .arg(count)
                             .arg(waitsAfter.value(thread.tid));
        }
    }

    const double cpuSeconds = double(*ticksAfter - *ticksBefore) / double(sysconf(_SC_CLK_TCK));
    std::printf("threads: %lld; wakeups in %d s: %lld (%s)\n",
                static_cast<long long>(threadsAfter.size()), seconds,
                static_cast<long long>(wakeups), qPrintable(perThread.join(QStringLiteral(", "))));
    std::printf("main loop: before %s; after %s (the refresh loop runs 480 s after the last "
                "refresh)\n",
                qPrintable(mainWaitBefore), qPrintable(waitsAfter.value(pid)));
    std::printf("stand-in tool calls while idling: %lld\n", static_cast<long long>(callsDuring));
    std::printf("idle: app %.3f s CPU in %d s (%.1f ms by the threads' schedstat), target <= "
                "%.2f s\n",
                cpuSeconds, seconds,
                double(cpuNanosecondsBetween(threadTimesBefore, threadTimesAfter)) / 1e6,
                targetSeconds);
    return 0;
}
