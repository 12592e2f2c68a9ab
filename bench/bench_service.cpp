// Measures what the service adds to the commands it runs. In a sandbox home with the loopback
// registry, each round runs the availability check, a snapshot load and the npm version query
// through BridgeControlService, then the same child command lines back to back from a plain
// shell script (bench/baseline.sh); rounds alternate so both see the same machine. Prints the
// medians and their ratio service/script.
//   bench_service [ROUNDS]   (default 15, at least 10)
#include "BenchSupport.h"
#include "ServiceTestSupport.h"
#include "TestSandbox.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

using bench::median;
using bench::RecordingRunner;
using bench::roundsArgument;
using bench::scriptRound;
using bench::setUpSandbox;

// One round through the service; false when an answer is not the expected one.
bool serviceRound(BridgeControlService &service)
{
    const BridgeCLIAvailability availability = awaitTask(service.detectCLIAvailability());
    const BridgeSnapshot snapshot = awaitTask(service.loadSnapshot(std::nullopt));
    const LatestVersionResult latest = awaitTask(service.fetchLatestPackageVersion());
    return availability == BridgeCLIAvailability::available(u"0.4.2"_s)
        && snapshot.currentVersion == u"0.4.2"_s && latest.version == u"0.5.0"_s;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    TestSandbox sandbox;
    if (!setUpSandbox(sandbox))
        return 1;
    const auto runner = std::make_shared<RecordingRunner>();
    BridgeControlService service(runner);

    // The warm-up round (npm's cache, the file system's) records the command lines of a round.
    if (!serviceRound(service)) {
        std::fprintf(stderr, "warm-up round gave unexpected answers\n");
        return 1;
    }
    const QStringList commands = runner->commands;
    if (!scriptRound(commands)) {
        std::fprintf(stderr, "warm-up script round failed\n");
        return 1;
    }
    const int rounds = roundsArgument(argc, argv);
    QList<double> serviceTimes, scriptTimes;
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer clock;
        clock.start();
        runner->commands.clear();
        if (!serviceRound(service) || runner->commands != commands) {
            std::fprintf(stderr, "service round %d gave unexpected answers\n", round);
            return 1;
        }
        serviceTimes.append(double(clock.nsecsElapsed()) / 1e6);
        const auto scriptTime = scriptRound(commands);
        if (!scriptTime) {
            std::fprintf(stderr, "script round %d failed\n", round);
            return 1;
        }
        scriptTimes.append(*scriptTime);
    }

    const double serviceMedian = median(serviceTimes), scriptMedian = median(scriptTimes);
    std::printf("rounds: %d (each: availability check, snapshot load, npm version query; "
                "%lld child commands)\n",
                rounds, static_cast<long long>(commands.size()));
    std::printf("service median: %.1f ms\n", serviceMedian);
    std::printf("script median:  %.1f ms\n", scriptMedian);
    std::printf("ratio service/script: %.3f\n", serviceMedian / scriptMedian);
    return 0;
}
