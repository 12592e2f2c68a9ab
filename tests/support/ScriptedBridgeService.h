#pragma once

// A bridge control service whose answers a test scripts: every call is logged and suspends for a
// moment like a real command, so the store's interleavings can be set up and observed.
#include "BridgeControlService.h"
#include "ShellCommandRunner.h"

#include <QCoro/QCoroTimer>
#include <QDateTime>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>

namespace scripted {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

inline const QDateTime t0 = QDateTime::fromString(u"2025-01-31T12:00:00.000Z"_s, Qt::ISODateWithMs);

inline QString stamp(const QDateTime &instant)
{
    return instant.toUTC().toString(Qt::ISODateWithMs);
}

// A connected bridge whose session was created at `created` and expires at `expires`.
inline BridgeSnapshot connectedSnapshot(const QDateTime &created, const QDateTime &expires,
                                        const QString &relayUrl = u"ws://127.0.0.1:9000/relay"_s)
{
    BridgeSnapshot snapshot;
    snapshot.currentVersion = u"0.4.2"_s;
    snapshot.label = u"com.pivra.bridge"_s;
    snapshot.platform = u"linux"_s;
    snapshot.installed = true;
    snapshot.launchdLoaded = true;
    snapshot.stdoutLogPath = u"/state/logs/bridge.stdout.log"_s;
    snapshot.stderrLogPath = u"/state/logs/bridge.stderr.log"_s;
    snapshot.daemonConfig.emplace().relayUrl = relayUrl;
    snapshot.bridgeStatus.emplace().connectionStatus = u"connected"_s;
    BridgePairingPayload payload;
    payload.v = 1;
    payload.relay = relayUrl;
    payload.sessionId = stamp(created);
    payload.macDeviceId = u"mac"_s;
    payload.macIdentityPublicKey = u"key"_s;
    payload.expiresAt = expires.toMSecsSinceEpoch();
    snapshot.pairingSession = BridgePairingSession{stamp(created), payload};
    return snapshot;
}

// Stands in for the login shell; only the update action reaches it directly.
class ScriptedRunner : public ShellCommandRunner
{
public:
    QStringList commands;

    QCoro::Task<ShellCommandResult> run(const QString &command, const QMap<QString, QString> &,
                                        Kind) override
    {
        commands << command;
        co_await QCoro::sleepFor(5ms);
        co_return ShellCommandResult{};
    }
};

class ScriptedService : public BridgeControlService
{
public:
    explicit ScriptedService(std::shared_ptr<ScriptedRunner> runner
                             = std::make_shared<ScriptedRunner>())
        : BridgeControlService(runner)
        , m_runner(std::move(runner))
    {
    }

    ScriptedRunner &scriptedRunner() const { return *m_runner; }

    BridgeCLIAvailability availability = BridgeCLIAvailability::available(u"0.4.2"_s);
    std::function<BridgeSnapshot()> load = [] {
        return connectedSnapshot(t0, t0.addSecs(600));
    };
    QString latestVersion = u"0.4.2"_s;
    // The npm query fails with this text when set.
    std::optional<QString> fetchError;
    // Runs after every scripted command; may throw to fail it.
    std::function<void(const QString &command)> command = [](const QString &) {
    };
    std::optional<QString> codexPath = u"/Applications/Codex.app"_s;
    std::chrono::milliseconds delay = 5ms;
    // How long a status read and a bridge command take; long ones hold a state on screen.
    std::chrono::milliseconds loadDelay = 5ms;
    std::chrono::milliseconds commandDelay = 5ms;
    // "detect", "load <override>", "start <override>", "stop <override>", "fetch", ...
    QStringList calls;

    int count(const QString &prefix) const
    {
        return int(std::count_if(calls.cbegin(), calls.cend(),
                                 [&](const QString &call) { return call.startsWith(prefix); }));
    }

    QCoro::Task<BridgeCLIAvailability> detectCLIAvailability() override
    {
        calls << u"detect"_s;
        co_await QCoro::sleepFor(delay);
        // An explicit copy: g++ 12 moves from a member named in `co_return`, which would
        // leave the scripted availability without its version after the first check.
        const BridgeCLIAvailability answer = availability;
        co_return answer;
    }
    QCoro::Task<LatestVersionResult> fetchLatestPackageVersion() override
    {
        calls << u"fetch"_s;
        co_await QCoro::sleepFor(delay);
        if (fetchError) {
            co_return LatestVersionResult{std::nullopt,
                                          std::make_exception_ptr(BridgeControlError::commandFailed(
                                              u"npm view"_s, *fetchError))};
        }
        co_return LatestVersionResult{latestVersion, nullptr};
    }
    QCoro::Task<> installBridgePackage() override { return perform(u"install"_s, {}); }
    QCoro::Task<BridgeSnapshot> loadSnapshot(std::optional<QString> relayOverride) override
    {
        calls << u"load "_s + relayOverride.value_or(u"-"_s);
        co_await QCoro::sleepFor(loadDelay);
        co_return load();
    }
    QCoro::Task<> startBridge(std::optional<QString> o) override { return perform(u"start"_s, o); }
    QCoro::Task<> stopBridge(std::optional<QString> o) override { return perform(u"stop"_s, o); }
    QCoro::Task<> resumeLastThread(std::optional<QString> o) override
    {
        return perform(u"resume"_s, o);
    }
    QCoro::Task<> resetPairing(std::optional<QString> o) override { return perform(u"reset"_s, o); }
    std::optional<QString> detectCodexApplicationPath() const override { return codexPath; }

private:
    QCoro::Task<> perform(QString name, std::optional<QString> relayOverride)
    {
        calls << name + u' ' + relayOverride.value_or(u"-"_s);
        co_await QCoro::sleepFor(commandDelay);
        command(name);
    }

    std::shared_ptr<ScriptedRunner> m_runner;
};

} // namespace scripted
