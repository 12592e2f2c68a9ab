#pragma once

// Pieces the benchmarks share: the median, a runner that records the command lines a round runs,
// the plain-shell baseline round (bench/baseline.sh), and readings of a running process from
// /proc.
#include "ShellCommandRunner.h"
#include "TestSandbox.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <optional>

namespace bench {

// The rounds asked for as the first argument: at least 10, 15 unless told.
inline int roundsArgument(int argc, char **argv)
{
    return std::max(10, argc > 1 ? QByteArray(argv[1]).toInt() : 15);
}

// A fresh sandbox home; false, once it has said why, if there is none.
inline bool setUpSandbox(TestSandbox &sandbox)
{
    const QString error = sandbox.setUp();
    if (!error.isEmpty())
        std::fprintf(stderr, "sandbox: %s\n", qPrintable(error));
    return error.isEmpty();
}

inline double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Keeps the command lines of a round, so the script is known to run exactly the same ones.
class RecordingRunner : public ShellCommandRunner
{
public:
    QStringList commands;

    QCoro::Task<ShellCommandResult>
    run(const QString &command, const QMap<QString, QString> &environment, Kind kind) override
    {
        commands.append(command);
        return ShellCommandRunner::run(command, environment, kind);
    }
};

// One round of `commands` from the shell script, in milliseconds; its own clock, so bash's
// start-up is not counted.
inline std::optional<double> scriptRound(const QStringList &commands)
{
    QProcess script;
    script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    script.start(QStringLiteral("bash"),
                 QStringList{QStringLiteral(PIVRA_SOURCE_DIR "/bench/baseline.sh")} + commands);
    if (!script.waitForFinished(-1) || script.exitStatus() != QProcess::NormalExit
        || script.exitCode() != 0) {
        return std::nullopt;
    }
    bool ok = false;
    const double microseconds = script.readAllStandardOutput().trimmed().toDouble(&ok);
    return ok ? std::optional(microseconds / 1000.0) : std::nullopt;
}

// CLOCK_MONOTONIC in nanoseconds: the clock the first-frame probe writes, the same in every
// process of the machine.
inline qint64 monotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

inline QByteArray readProcFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A "Key:   123 kB" line of /proc/<pid>/status (or of a task's status), as a number.
inline std::optional<qint64> statusField(const QString &statusPath, QByteArrayView key)
{
    for (const QByteArray &line : readProcFile(statusPath).split('\n')) {
        if (!line.startsWith(key) || line.size() <= key.size() || line[key.size()] != ':')
            continue;
        bool ok = false;
        const qint64 value = line.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong(&ok);
        return ok ? std::optional(value) : std::nullopt;
    }
    return std::nullopt;
}

// Peak resident set size of a live process, in KiB.
inline std::optional<qint64> peakResidentKiB(qint64 pid)
{
    return statusField(QStringLiteral("/proc/%1/status").arg(pid), "VmHWM");
}

// utime + stime of a live process (all its threads, not its children), in clock ticks.
inline std::optional<qint64> cpuTicks(qint64 pid)
{
    const QByteArray stat = readProcFile(QStringLiteral("/proc/%1/stat").arg(pid));
    // The command name may hold spaces and parentheses: fields are counted after the last ')'.
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    // utime and stime are fields 14 and 15 of the whole line, 12 and 13 after the name.
    if (fields.size() < 13)
        return std::nullopt;
    return fields[11].toLongLong() + fields[12].toLongLong();
}

// Processor time of each live thread of a process in nanoseconds, from its schedstat: finer
// than the clock ticks of utime and stime.
inline QHash<QString, qint64> threadCpuNanoseconds(qint64 pid)
{
    QHash<QString, qint64> times;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString &tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        times.insert(tid,
                     readProcFile(tasks + u'/' + tid + QStringLiteral("/schedstat"))
                         .split(' ')
                         .value(0)
                         .toLongLong());
    return times;
}

// What the threads alive at the second reading used since the first; a thread that ended in
// between is left out rather than subtracted.
inline qint64 cpuNanosecondsBetween(const QHash<QString, qint64> &before,
                                    const QHash<QString, qint64> &after)
{
    qint64 total = 0;
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        total += it.value() - before.value(it.key(), 0);
    return total;
}

struct ThreadWakeups
{
    qint64 tid = 0;
    QString name;
    // Voluntary context switches: each is one sleep, so the difference between two readings
    // counts the times the thread woke up and went back to sleep.
    qint64 voluntary = 0;
};

inline QList<ThreadWakeups> threadWakeups(qint64 pid)
{
    QList<ThreadWakeups> threads;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    const QStringList entries = QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &tid : entries) {
        const QString status = tasks + u'/' + tid + QStringLiteral("/status");
        threads.append({
            .tid = tid.toLongLong(),
            .name = QString::fromUtf8(
                readProcFile(tasks + u'/' + tid + QStringLiteral("/comm")).trimmed()),
            .voluntary = statusField(status, "voluntary_ctxt_switches").value_or(0),
        });
    }
    return threads;
}

} // namespace bench
