// How long the app takes from process start to the setup window's first frame, against the
// floor (bench/baseline_quick: a tray icon and a window of the same size and title with one line
// of text), on Qt Quick's software renderer and on OpenGL, the same for both programs. Both are
// timed by the same preloaded probe (FirstFrameProbe.cpp) on the same X server, in alternating
// launches. The app runs in a sandbox home whose stand-in bridge is ready, with trayer as its
// tray host: its start-up checks run asynchronously and the first frame must not wait for them.
// Each app launch is ended once those checks are done, so launches do not overlap.
//   bench_startup [ROUNDS]   (default 12, at least 10; each launches both programs twice)
#include "GuiBench.h"

#include <QCoreApplication>

using namespace bench;

namespace {

constexpr double target = 1.2;

struct Launch
{
    double firstFrame = 0;
    double application = 0;
    double expose = 0;
    double cpu = 0;
};

std::optional<Launch> measure(bool isApp, const Renderer &renderer)
{
    const auto launched = launch(isApp, &renderer);
    const std::optional<double> firstFrame = waitForFirstFrameAndStartUp(*launched, isApp);
    if (!firstFrame)
        return std::nullopt;
    launched->stop();
    return Launch{*firstFrame, launched->applicationMs().value_or(0),
                  launched->exposeMs().value_or(0), launched->cpuMs().value_or(0)};
}

double medianOf(const QList<Launch> &launches, double Launch::*field)
{
    QList<double> values;
    for (const Launch &launch : launches)
        values.append(launch.*field);
    return median(values);
}

void printSummary(const char *name, QList<Launch> launches)
{
    std::sort(launches.begin(), launches.end(),
              [](const Launch &a, const Launch &b) { return a.firstFrame < b.firstFrame; });
    std::printf("  %-6s min %.1f, median %.1f, max %.1f ms; medians: %.1f ms to the application "
                "object, %.1f ms to the window's expose, %.1f ms of processor time\n",
                name, launches.first().firstFrame, medianOf(launches, &Launch::firstFrame),
                launches.last().firstFrame, medianOf(launches, &Launch::application),
                medianOf(launches, &Launch::expose), medianOf(launches, &Launch::cpu));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const int rounds = std::max(10, argc > 1 ? QByteArray(argv[1]).toInt() : 12);
    ReadyDesktop desktop;
    if (!desktop.start())
        return 1;

    // Warm-up: the file system's cache, fontconfig's, the QML disk cache and Mesa's shader cache.
    if (!alternateLaunches<Launch>(1, measure))
        return 1;
    const auto samples = alternateLaunches<Launch>(rounds, measure);
    if (!samples)
        return 1;

    std::printf("launches: %d of each program on each renderer, alternating; process start to "
                "first frame swapped\n",
                rounds);
    for (size_t renderer = 0; renderer < renderers.size(); ++renderer) {
        const auto &[floor, app] = (*samples)[renderer];
        std::printf("%s:\n", renderers[renderer].name);
        printSummary("app:", app);
        printSummary("floor:", floor);
    }
    for (size_t renderer = 0; renderer < renderers.size(); ++renderer) {
        const auto &[floor, app] = (*samples)[renderer];
        const double appMs = medianOf(app, &Launch::firstFrame);
        const double floorMs = medianOf(floor, &Launch::firstFrame);
        std::printf("startup %s: app %.1f ms, floor %.1f ms, ratio %.2f (target <= %.1f); "
                    "processor time ratio %.2f\n",
                    renderers[renderer].name, appMs, floorMs, appMs / floorMs, target,
                    medianOf(app, &Launch::cpu) / medianOf(floor, &Launch::cpu));
    }
    return 0;
}
