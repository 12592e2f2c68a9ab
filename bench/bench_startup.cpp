// How long the app takes from process start to the setup window's first frame, against a bare
// Qt Quick program showing one Rectangle in a window of the same size (bench/baseline_quick).
// Both are timed by the same preloaded probe (FirstFrameProbe.cpp) on the same X server, in
// alternating launches. The app runs in a sandbox home whose stand-in bridge is ready, with
// trayer as its tray host: its start-up checks run asynchronously and the first frame must not
// wait for them. Each app launch is ended once those checks are done, so launches do not overlap.
//   bench_startup [LAUNCHES]   (default 12, at least 10)
#include "GuiBench.h"

#include <QCoreApplication>

using namespace bench;

namespace {

struct Launch
{
    double firstFrame = 0;
    double application = 0;
};

std::optional<Launch> measure(std::unique_ptr<ProbedLaunch> launch, bool isApp)
{
    const std::optional<double> firstFrame = waitForFirstFrameAndStartUp(*launch, isApp);
    if (!firstFrame)
        return std::nullopt;
    launch->stop();
    return Launch{*firstFrame, launch->applicationMs().value_or(0)};
}

void printSummary(const char *name, const QList<Launch> &launches)
{
    QList<double> firstFrames, applications;
    for (const Launch &launch : launches) {
        firstFrames.append(launch.firstFrame);
        applications.append(launch.application);
    }
    std::printf("%-9s min %.1f, median %.1f, max %.1f ms (median %.1f ms to the application "
                "object)\n",
                name, *std::min_element(firstFrames.cbegin(), firstFrames.cend()),
                median(firstFrames), *std::max_element(firstFrames.cbegin(), firstFrames.cend()),
                median(applications));
}

double medianFirstFrame(const QList<Launch> &launches)
{
    QList<double> values;
    for (const Launch &launch : launches)
        values.append(launch.firstFrame);
    return median(values);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const int launches = std::max(10, argc > 1 ? QByteArray(argv[1]).toInt() : 12);
    ReadyDesktop desktop;
    if (!desktop.start())
        return 1;

    // Warm-up: the file system's cache, fontconfig's and the QML disk cache.
    if (!measure(launchApp(), true) || !measure(launchBaseline(), false))
        return 1;

    QList<Launch> appLaunches, baselineLaunches;
    for (int launch = 0; launch < launches; ++launch) {
        // Alternating which goes first evens out whatever the previous launch left behind.
        for (const bool isApp : {launch % 2 == 0, launch % 2 != 0}) {
            const auto measured = measure(isApp ? launchApp() : launchBaseline(), isApp);
            if (!measured)
                return 1;
            (isApp ? appLaunches : baselineLaunches).append(*measured);
        }
    }

    const double app = medianFirstFrame(appLaunches);
    const double baseline = medianFirstFrame(baselineLaunches);
    std::printf("launches: %d each, alternating; process start to first frame swapped\n", launches);
    printSummary("app:", appLaunches);
    printSummary("baseline:", baselineLaunches);
    std::printf("startup: app %.1f ms, baseline %.1f ms, ratio %.2f (target <= 1.5)\n", app,
                baseline, app / baseline);
    return 0;
}
