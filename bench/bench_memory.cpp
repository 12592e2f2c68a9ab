// Peak memory of the app against the bare Qt Quick baseline (bench/baseline_quick): the peak
// resident set size (VmHWM) of each process a few seconds after its first frame, once the app's
// start-up checks have ended, in alternating launches. Same sandbox, tray host and probe as
// bench_startup.
//   bench_memory [LAUNCHES]   (default 5, at least 3)
#include "GuiBench.h"

#include <QCoreApplication>

using namespace bench;

namespace {

constexpr int settleMs = 3000;

std::optional<double> peakMiB(std::unique_ptr<ProbedLaunch> launch, bool isApp)
{
    if (!waitForFirstFrameAndStartUp(*launch, isApp))
        return std::nullopt;
    QThread::msleep(settleMs);
    const std::optional<qint64> peak = peakResidentKiB(launch->pid());
    launch->stop();
    if (!peak)
        std::fprintf(stderr, "cannot read VmHWM\n");
    return peak ? std::optional(double(*peak) / 1024.0) : std::nullopt;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const int launches = std::max(3, argc > 1 ? QByteArray(argv[1]).toInt() : 5);
    ReadyDesktop desktop;
    if (!desktop.start())
        return 1;

    QList<double> appPeaks, baselinePeaks;
    for (int launch = 0; launch < launches; ++launch) {
        for (const bool isApp : {launch % 2 == 0, launch % 2 != 0}) {
            const auto peak = peakMiB(isApp ? launchApp() : launchBaseline(), isApp);
            if (!peak)
                return 1;
            (isApp ? appPeaks : baselinePeaks).append(*peak);
        }
    }

    const double app = median(appPeaks), baseline = median(baselinePeaks);
    std::printf("launches: %d each, alternating; VmHWM %d s after the first frame\n", launches,
                settleMs / 1000);
    std::printf("memory: app %.1f MiB, baseline %.1f MiB, ratio %.2f (target <= 1.3)\n", app,
                baseline, app / baseline);
    return 0;
}
