// Peak memory of the headless app when its files and tools turn hostile, against the same app
// in the same sandbox with ordinary ones: a 1 GB state file, a state file that links to
// /dev/zero, and a tool whose status prints 200 MB. Each run goes from launch to the first idle
// state (--exit-when-idle); the peak is VmHWM, read until the process exits. No Codex entry, so
// no automatic setup replaces the files under test.
//   bench_hostile [ROUNDS]   (default 3; medians)
#include "BenchSupport.h"
#include "TestSandbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <cstdio>

using namespace Qt::StringLiterals;
using namespace bench;

namespace {

constexpr double limitMiB = 100;

// VmHWM of `pid` in MiB, or nothing once the process is gone.
std::optional<double> peakMiB(qint64 pid)
{
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return std::nullopt;
}

// One launch to idle: its peak memory and how long it took.
std::pair<double, double> launch()
{
    QProcess app;
    app.setStandardOutputFile(QProcess::nullDevice());
    app.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    app.start(QStringLiteral(PIVRA_MENUBAR_BINARY), {u"--headless"_s, u"--exit-when-idle"_s});
    app.waitForStarted();
    double peak = 0;
    while (const auto now = peakMiB(app.processId())) {
        peak = std::max(peak, *now);
        if (app.waitForFinished(20))
            break;
    }
    app.waitForFinished(120000);
    return {peak, double(clock.elapsed())};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;

    TestSandbox sandbox;
    const QString problem = sandbox.setUp({.registry = false, .codex = false});
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "bench_hostile: %s\n", qPrintable(problem));
        return 1;
    }
    const QString state = sandbox.stateDirectory();
    QDir().mkpath(state);
    const auto ordinary = [&] {
        sandbox.writeKnobs(QJsonObject{{u"statusFormat"_s, u"text"_s}});
        for (const char *name :
             {"daemon-config.json", "bridge-status.json", "pairing-session.json"}) {
            QFile::remove(state + u'/' + QLatin1String(name));
            TestSandbox::writeFile(state + u'/' + QLatin1String(name), "{}");
        }
    };
    const std::vector<std::pair<const char *, std::function<void()>>> cases{
        {"ordinary files and output", ordinary},
        {"1 GB state file, /dev/zero link",
         [&] {
             ordinary();
             QFile::remove(state + u"/bridge-status.json"_s);
             QFile big(state + u"/bridge-status.json"_s);
             big.open(QIODevice::WriteOnly);
             big.resize(1LL << 30);
             QFile::remove(state + u"/pairing-session.json"_s);
             QFile::link(u"/dev/zero"_s, state + u"/pairing-session.json"_s);
         }},
        {"200 MB of status output",
         [&] {
             ordinary();
             sandbox.writeKnobs(
                 QJsonObject{{u"statusFormat"_s, u"text"_s},
                             {u"padBytes"_s, QJsonObject{{u"status"_s, 200 * 1024 * 1024}}}});
         }},
    };

    std::printf("bench_hostile: peak memory from launch to idle, median of %d\n", rounds);
    QList<double> peaks;
    for (const auto &[name, prepare] : cases) {
        QList<double> memory, time;
        for (int round = 0; round < rounds; ++round) {
            prepare();
            const auto [peak, ms] = launch();
            memory.append(peak);
            time.append(ms);
        }
        peaks.append(median(memory));
        std::printf("  %-34s %7.1f MiB  %7.0f ms\n", name, median(memory), median(time));
    }
    const double worst = std::max(peaks[1], peaks[2]);
    std::printf("bench_hostile: hostile peak %.1f MiB, %.2fx the ordinary run's (limit %.0f MiB): "
                "%s\n",
                worst, worst / peaks[0], limitMiB, worst < limitMiB ? "within" : "OVER");
    return worst < limitMiB ? 0 : 1;
}
