// Peak memory of the app against the floor (bench/baseline_quick), on Qt Quick's software
// renderer and on OpenGL, the same for both programs: the peak resident set size (VmHWM) of each
// process a few seconds after its first frame, once the app's start-up checks have ended, in
// alternating launches. Same sandbox, tray host and probe as bench_startup.
//   bench_memory [ROUNDS]   (default 5, at least 3; each launches both programs twice)
#include "GuiBench.h"

#include <QCoreApplication>

using namespace bench;

namespace {

constexpr int settleMs = 3000;
constexpr double target = 1.1;

std::optional<double> peakMiB(bool isApp, const Renderer &renderer)
{
    const auto launched = launch(isApp, &renderer);
    if (!waitForFirstFrameAndStartUp(*launched, isApp))
        return std::nullopt;
    QThread::msleep(settleMs);
    const std::optional<qint64> peak = peakResidentKiB(launched->pid());
    launched->stop();
    if (!peak)
        std::fprintf(stderr, "cannot read VmHWM\n");
    return peak ? std::optional(double(*peak) / 1024.0) : std::nullopt;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const int rounds = std::max(3, argc > 1 ? QByteArray(argv[1]).toInt() : 5);
    ReadyDesktop desktop;
    if (!desktop.start())
        return 1;

    const auto samples = alternateLaunches<double>(rounds, peakMiB);
    if (!samples)
        return 1;
    std::printf("launches: %d of each program on each renderer, alternating; VmHWM %d s after the "
                "first frame\n",
                rounds, settleMs / 1000);
    for (size_t renderer = 0; renderer < renderers.size(); ++renderer) {
        const auto &[floor, app] = (*samples)[renderer];
        std::printf("memory %s: app %.1f MiB, floor %.1f MiB, ratio %.2f (target <= %.1f)\n",
                    renderers[renderer].name, median(app), median(floor),
                    median(app) / median(floor), target);
    }
    return 0;
}
