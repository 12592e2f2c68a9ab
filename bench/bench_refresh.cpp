// What a manual refresh costs beyond the commands it runs. The headless app runs in a sandbox
// home whose stand-in bridge is ready, with the loopback registry; each round sends it `refresh`
// and times it from the write to the state line that ends the refresh, then runs the same child
// command lines back to back from a plain shell script (bench/baseline.sh); rounds alternate so
// both see the same machine. The command lines are those a BridgeControlService in this process
// runs for one refresh (version check with its lookups, status --json, npm view), recorded once.
//   bench_refresh [ROUNDS]   (default 15, at least 10)
#include "BenchSupport.h"
#include "ServiceTestSupport.h"
#include "TestSandbox.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/prctl.h>

#include <csignal>
#include <cstdio>

using namespace Qt::StringLiterals;
using namespace bench;

namespace {

constexpr double target = 1.05;

class HeadlessApp
{
public:
    explicit HeadlessApp(const QString &stderrFile)
    {
        m_process.setStandardErrorFile(stderrFile);
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_process.start(QStringLiteral(PIVRA_MENUBAR_BINARY), {u"--headless"_s});
    }

    ~HeadlessApp()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // Reads state lines until one satisfies `condition`; false on timeout or exit.
    bool readUntil(const std::function<bool(const QJsonObject &)> &condition, int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            while (m_process.canReadLine()) {
                const QJsonObject state = QJsonDocument::fromJson(m_process.readLine()).object();
                if (condition(state))
                    return true;
            }
            if (m_process.state() == QProcess::NotRunning)
                return false;
            m_process.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
        }
        return false;
    }

    void send(const QByteArray &command) { m_process.write(command + '\n'); }

    bool quit()
    {
        send("quit");
        return m_process.waitForFinished(30000) && m_process.exitStatus() == QProcess::NormalExit
            && m_process.exitCode() == 0;
    }

private:
    QProcess m_process;
};

bool isIdle(const QJsonObject &state)
{
    return !state["isRefreshing"_L1].toBool() && !state["isPerformingAction"_L1].toBool();
}

// One refresh in the app, in milliseconds from sending the command to the line that ends it.
std::optional<double> appRound(HeadlessApp &app)
{
    QElapsedTimer clock;
    clock.start();
    app.send("refresh");
    if (!app.readUntil([](const QJsonObject &s) { return s["isRefreshing"_L1].toBool(); }, 60000)
        || !app.readUntil(isIdle, 60000)) {
        return std::nullopt;
    }
    return double(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const int rounds = roundsArgument(argc, argv);
    TestSandbox sandbox;
    if (!setUpSandbox(sandbox))
        return 1;
    if (!sandbox.startBridge()) {
        std::fprintf(stderr, "the stand-in bridge did not start\n");
        return 1;
    }

    // The command lines of one refresh, recorded from the same service the app runs; the tool's
    // own call log tells how many of them reach it.
    const auto runner = std::make_shared<RecordingRunner>();
    BridgeControlService service(runner);
    qsizetype toolCallsBefore = sandbox.calls().size();
    awaitTask(service.detectCLIAvailability());
    awaitTask(service.loadSnapshot(std::nullopt));
    awaitTask(service.fetchLatestPackageVersion());
    const QStringList commands = runner->commands;
    const qsizetype toolCallsPerRound = sandbox.calls().size() - toolCallsBefore;

    HeadlessApp app(sandbox.root() + u"/app.stderr"_s);
    if (!app.readUntil(
            [](const QJsonObject &s) { return s["isSetupReady"_L1].toBool() && isIdle(s); },
            120000)) {
        std::fprintf(stderr, "the app never became ready; see %s/app.stderr\n",
                     qPrintable(sandbox.root()));
        return 1;
    }
    // Warm-up of both sides.
    if (!appRound(app) || !scriptRound(commands)) {
        std::fprintf(stderr, "warm-up round failed\n");
        return 1;
    }

    QList<double> appTimes, scriptTimes;
    for (int round = 0; round < rounds; ++round) {
        toolCallsBefore = sandbox.calls().size();
        const auto appTime = appRound(app);
        if (!appTime) {
            std::fprintf(stderr, "app round %d did not end\n", round);
            return 1;
        }
        // A refresh that ran other commands than the recorded ones would not be comparable.
        if (const qsizetype calls = sandbox.calls().size() - toolCallsBefore;
            calls != toolCallsPerRound) {
            std::fprintf(stderr, "app round %d called the tool %lld times, expected %lld\n", round,
                         static_cast<long long>(calls), static_cast<long long>(toolCallsPerRound));
            return 1;
        }
        const auto scriptTime = scriptRound(commands);
        if (!scriptTime) {
            std::fprintf(stderr, "script round %d failed\n", round);
            return 1;
        }
        appTimes.append(*appTime);
        scriptTimes.append(*scriptTime);
    }
    if (!app.quit())
        std::fprintf(stderr, "the app did not quit cleanly\n");

    const double appMedian = median(appTimes), scriptMedian = median(scriptTimes);
    std::printf("rounds: %d; each runs %lld child commands:\n", rounds,
                static_cast<long long>(commands.size()));
    for (const QString &command : commands)
        std::printf("  %s\n", qPrintable(command));
    std::printf("refresh: app %.1f ms, baseline %.1f ms, ratio %.3f (target <= %.2f)\n", appMedian,
                scriptMedian, appMedian / scriptMedian, target);
    return 0;
}
