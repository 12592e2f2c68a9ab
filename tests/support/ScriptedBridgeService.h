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

// A connected bridge whose session was created at `created` and expires at `expires`.
inline BridgeSnapshot connectedSnapshot(const QDateTime &created, const QDateTime &expires,
                                        const QString &relayUrl = u"ws://127.0.0.1:9000/relay"_s)
{
    BridgeSnapshot snapshot;
    snapshot.currentVersion = u"0.4.2"_s;
    snapshot.launchdLoaded = true;
    snapshot.stdoutLogPath = u"/state/logs/bridge.stdout.log"_s;
    snapshot.stderrLogPath = u"/state/logs/bridge.stderr.log"_s;
    snapshot.daemonConfig.emplace().relayUrl = relayUrl;
    snapshot.bridgeStatus.emplace().connectionStatus = u"connected"_s;
    const QString session = created.toUTC().toString(Qt::ISODateWithMs);
    snapshot.pairingSession
        = BridgePairingSession{session,
                               BridgePairingPayload{.v = 1,
                                                    .relay = relayUrl,
                                                    .sessionId = session,
                                                    .macDeviceId = u"mac"_s,
                                                    .macIdentityPublicKey = u"key"_s,
                                                    .expiresAt = expires.toMSecsSinceEpoch()}};
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
    ScriptedService()
        : BridgeControlService(std::make_shared<ScriptedRunner>())
    {
    }

    ScriptedRunner &scriptedRunner() const { return static_cast<ScriptedRunner &>(runner()); }

    BridgeCLIAvailability availability = BridgeCLIAvailability::available(u"0.4.2"_s);
    std::function<BridgeSnapshot()> load = [] {
        return connectedSnapshot(t0, t0.addSecs(600));
    };
    QString latestVersion = u"0.4.2"_s;
    // Runs after every scripted command; may throw to fail it.
    std::function<void(const QString &command)> command = [](const QString &) {
    };
    std::optional<QString> codexPath = u"/Applications/Codex.app"_s;
    // How long checks and reads, and bridge commands, take; long ones hold a state on screen.
    std::chrono::milliseconds delay = 5ms;
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
        co_return LatestVersionResult{latestVersion, nullptr};
    }
    QCoro::Task<> installBridgePackage() override { return perform(u"install"_s, {}); }
    QCoro::Task<BridgeSnapshot> loadSnapshot(std::optional<QString> relayOverride) override
    {
        calls << u"load "_s + relayOverride.value_or(u"-"_s);
        co_await QCoro::sleepFor(delay);
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
};

} // namespace scripted
