#include "BridgeMenuBarStore.h"

#include "BridgeControlService.h"
#include "LocalPairingAdvertiser.h"
#include "Logging.h"
#include "SavedSettings.h"
#include "ShellCommandRunner.h"

#include <QCoro/QCoroTimer>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace {

constexpr int pairingPollAttempts = 20;

// A session counts as fresh when it was created after the previous one, or, with no previous
// one known, as soon as it carries a payload.
bool isFreshPairingSnapshot(const BridgeSnapshot &snapshot, const std::optional<QDateTime> &after)
{
    if (!after)
        return snapshot.pairingPayload() != nullptr;
    const auto created = snapshot.pairingCreatedDate();
    return created && *created > *after;
}

void openWithDesktop(const QString &path)
{
    const QString opener = QStandardPaths::findExecutable(u"xdg-open"_s);
    if (opener.isEmpty() || !QProcess::startDetached(opener, {path}))
        qCInfo(lcStore, "Cannot open %s: no desktop opener available", qPrintable(path));
}

} // namespace

BridgeMenuBarStore::BridgeMenuBarStore()
    : BridgeMenuBarStore(Options{})
{
}

BridgeMenuBarStore::BridgeMenuBarStore(Options options, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
{
    m_advertiser = m_options.advertiser ? m_options.advertiser : new LocalPairingAdvertiser(this);
    m_service = m_options.service ? m_options.service : std::make_shared<BridgeControlService>();
    connect(m_advertiser, &LocalPairingAdvertiser::discoveryChanged, this,
            &BridgeMenuBarStore::discoveryChanged);
    if (!m_options.openPath)
        m_options.openPath = openWithDesktop;

    m_settings = std::make_unique<SavedSettings>(m_options.settingsPath);
    m_settingsProblem = m_settings->readProblem();
    m_state.errorMessage = m_settingsProblem;
    m_state.relayOverride = m_settings->value(QLatin1StringView(relayOverrideKey));
    m_state.discovery = m_advertiser->discovery();
    m_presentation = BridgeStatusPresentation::make(m_state, now());

    // The cadence is part of the behaviour: a coarse timer would drift by up to a second.
    m_refreshLoop.setTimerType(Qt::PreciseTimer);
    m_refreshLoop.setSingleShot(true);
    m_refreshLoop.setInterval(m_options.refreshInterval);
    connect(&m_refreshLoop, &QTimer::timeout, this, [this] { launch(backgroundRefresh()); });
    m_refreshLoop.start();

    m_discoverySettle.setTimerType(Qt::PreciseTimer);
    m_discoverySettle.setSingleShot(true);
    m_discoverySettle.setInterval(m_options.discoverySettleLimit);
    connect(&m_discoverySettle, &QTimer::timeout, this, [this] {
        if (isIdle())
            Q_EMIT idleChanged();
    });

    if (m_options.bootstrap)
        launch(bootstrap());
}

BridgeMenuBarStore::~BridgeMenuBarStore()
{
    cancelTasks();
    if (m_activity > 0) {
        // The tasks resume into this object: let each one finish before any member goes.
        QEventLoop drain;
        m_drain = &drain;
        drain.exec();
        m_drain = nullptr;
    }
}

void BridgeMenuBarStore::cancelTasks()
{
    m_cancelled = true;
    m_refreshLoop.stop();
    for (QTimer *sleep : std::as_const(m_sleeps))
        sleep->start(0);
    m_service->runner().cancelAll();
}

void BridgeMenuBarStore::launch(QCoro::Task<> task)
{
    own(this, std::move(task));
}

QCoro::Task<> BridgeMenuBarStore::own(BridgeMenuBarStore *store, QCoro::Task<> task)
{
    store->trackActivity(+1);
    try {
        co_await task;
    } catch (const OperationCancelled &) {
        // The store is going away; there is nobody left to tell.
    } catch (const std::exception &error) {
        qCWarning(lcStore, "A task ended with an error nobody handled: %s", error.what());
    }
    store->trackActivity(-1);
}

QCoro::Task<> BridgeMenuBarStore::sleep(std::chrono::milliseconds duration)
{
    if (m_cancelled)
        throw OperationCancelled();
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    timer.start(duration);
    m_sleeps.append(&timer);
    const auto unregister = qScopeGuard([this, &timer] { m_sleeps.removeOne(&timer); });
    co_await timer;
    if (m_cancelled)
        throw OperationCancelled();
}

bool BridgeMenuBarStore::isIdle() const
{
    const bool settling = m_state.discovery.state == LocalPairingDiscovery::State::Registering
        && m_discoverySettle.isActive();
    return m_activity == 0 && !m_state.isPerformingAction && !settling;
}

void BridgeMenuBarStore::renewView()
{
    m_presentation = BridgeStatusPresentation::make(m_state, now());
    Q_EMIT presentationChanged();
}

void BridgeMenuBarStore::requestRefresh()
{
    launch(refresh(RefreshOption::ShowSpinner));
}

void BridgeMenuBarStore::openStdoutLog()
{
    if (m_state.snapshot && !m_state.snapshot->stdoutLogPath.isEmpty())
        m_options.openPath(m_state.snapshot->stdoutLogPath);
}

void BridgeMenuBarStore::openStderrLog()
{
    if (m_state.snapshot && !m_state.snapshot->stderrLogPath.isEmpty())
        m_options.openPath(m_state.snapshot->stderrLogPath);
}

void BridgeMenuBarStore::withdrawAnnouncement()
{
    m_advertiser->stop();
}

QCoro::Task<> BridgeMenuBarStore::refresh(RefreshOptions options)
{
    try {
        co_await performRefresh(options);
    } catch (const OperationCancelled &) {
        throw;
    } catch (...) {
        // Already shown in errorMessage.
    }
}

QCoro::Task<> BridgeMenuBarStore::backgroundRefresh()
{
    // The loop never stops because of a failed refresh.
    co_await refresh({});
    m_refreshLoop.start();
}

void BridgeMenuBarStore::showSnapshot(std::optional<BridgeSnapshot> snapshot)
{
    // The announcement follows the snapshot within the same change, so no view ever sees a
    // snapshot beside the previous one's announcement.
    m_handingOver = true;
    m_advertiser->update(snapshot, now());
    m_handingOver = false;
    change([&](BridgeMenuBarState &s) {
        s.snapshot = std::move(snapshot);
        adoptDiscovery(s);
    });
}

QCoro::Task<std::optional<BridgeSnapshot>>
BridgeMenuBarStore::performRefresh(RefreshOptions options)
{
    if (options.testFlag(RefreshOption::ShowSpinner))
        set(&BridgeMenuBarState::isRefreshing, true);
    // Whichever way the refresh ends, the spinner stops with it.
    const auto stopSpinner = qScopeGuard([this] { set(&BridgeMenuBarState::isRefreshing, false); });

    const BridgeCLIAvailability availability = co_await m_service->detectCLIAvailability();
    set(&BridgeMenuBarState::cliAvailability, availability);
    if (!availability.isAvailable()) {
        showSnapshot(std::nullopt);
        set(&BridgeMenuBarState::updateState, {});
        set(&BridgeMenuBarState::transientMessage, {});
        set(&BridgeMenuBarState::errorMessage, m_settingsProblem);
        co_return std::nullopt;
    }

    std::optional<BridgeSnapshot> snapshot;
    std::exception_ptr failure;
    try {
        BridgeSnapshot loaded = co_await m_service->loadSnapshot(effectiveRelayOverride());
        snapshot = co_await freshenedSnapshotIfNeeded(std::move(loaded));
    } catch (const OperationCancelled &) {
        throw;
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        if (options.testFlag(RefreshOption::ClearSnapshotOnFailure)) {
            showSnapshot(std::nullopt);
            set(&BridgeMenuBarState::updateState, {});
        }
        set(&BridgeMenuBarState::errorMessage, errorDescription(failure));
        std::rethrow_exception(failure);
    }

    showSnapshot(snapshot);
    set(&BridgeMenuBarState::errorMessage, m_settingsProblem);
    const BridgePackageUpdateState update = co_await resolveUpdateState(snapshot->currentVersion);
    set(&BridgeMenuBarState::updateState, update);
    co_return snapshot;
}

QCoro::Task<BridgeSnapshot> BridgeMenuBarStore::freshenedSnapshotIfNeeded(BridgeSnapshot snapshot)
{
    if (!shouldRefreshExpiredLocalPairing(snapshot) || m_isRefreshingLocalPairing)
        co_return snapshot;

    m_isRefreshingLocalPairing = true;
    const auto clearFlag = qScopeGuard([this] { m_isRefreshingLocalPairing = false; });
    const auto after = snapshot.pairingCreatedDate();
    const auto relayOverride = relayOverrideForRestart(snapshot);
    co_await m_service->startBridge(relayOverride);
    co_return co_await waitForFreshPairingSnapshot(after, relayOverride);
}

bool BridgeMenuBarStore::shouldRefreshExpiredLocalPairing(const BridgeSnapshot &snapshot) const
{
    const BridgePairingPayload *payload = snapshot.pairingPayload();
    return snapshot.isConnected() && (!payload || !payload->isLive(now()))
        && !snapshot.relayCandidate().trimmed().isEmpty();
}

QCoro::Task<BridgeSnapshot>
BridgeMenuBarStore::waitForFreshPairingSnapshot(std::optional<QDateTime> after,
                                                std::optional<QString> relayOverride)
{
    for (int attempt = 0;;) {
        std::optional<BridgeSnapshot> read;
        std::exception_ptr failure;
        try {
            read = co_await m_service->loadSnapshot(relayOverride);
        } catch (const OperationCancelled &) {
            throw;
        } catch (...) {
            failure = std::current_exception();
        }
        if (read) {
            // Every successful read is shown, fresh or not.
            showSnapshot(read);
            const BridgePackageUpdateState update
                = co_await resolveUpdateState(read->currentVersion);
            set(&BridgeMenuBarState::updateState, update);
            if (isFreshPairingSnapshot(*read, after))
                co_return *read;
        } else {
            // A failed read is shown and the wait goes on; only the time limit ends it.
            set(&BridgeMenuBarState::errorMessage, errorDescription(failure));
        }
        co_await sleep(m_options.pairingPollInterval);
        if (++attempt == pairingPollAttempts)
            throw BridgeMenuBarActionError::pairingTimeout();
    }
}

QCoro::Task<BridgePackageUpdateState>
BridgeMenuBarStore::resolveUpdateState(QString installedVersion)
{
    const LatestVersionResult latest = co_await m_service->fetchLatestPackageVersion();
    BridgePackageUpdateState state{.installedVersion = installedVersion,
                                   .latestVersion = std::nullopt,
                                   .errorMessage = std::nullopt};
    if (latest.version)
        state.latestVersion = latest.version;
    else
        state.errorMessage = errorDescription(latest.error);
    co_return state;
}

std::optional<QString> BridgeMenuBarStore::effectiveRelayOverride() const
{
    if (m_state.relayOverride.isEmpty())
        return std::nullopt;
    return m_state.relayOverride;
}

std::optional<QString>
BridgeMenuBarStore::relayOverrideForRestart(const BridgeSnapshot &snapshot) const
{
    if (auto saved = effectiveRelayOverride())
        return saved;
    return nonEmptyTrimmed(snapshot.relayCandidate());
}

QCoro::Task<> BridgeMenuBarStore::bootstrap()
{
    const std::optional<QString> codex = m_service->detectCodexApplicationPath();
    set(&BridgeMenuBarState::codexAppPath, codex);
    const BridgeCLIAvailability availability = co_await m_service->detectCLIAvailability();
    set(&BridgeMenuBarState::cliAvailability, availability);
    if (!availability.isAvailable()) {
        set(&BridgeMenuBarState::snapshot, {});
        set(&BridgeMenuBarState::updateState, {});
        attemptAutomaticSetupIfPossible(u"Preparing Pivra on this Mac..."_s);
        co_return;
    }

    std::optional<BridgeSnapshot> refreshed;
    bool failed = false;
    try {
        refreshed = co_await performRefresh(RefreshOption::ShowSpinner);
    } catch (const OperationCancelled &) {
        throw;
    } catch (...) {
        failed = true;
    }
    if (failed) {
        attemptAutomaticSetupIfPossible(u"Repairing Pivra connection..."_s);
        co_return;
    }
    const BridgePairingPayload *payload = refreshed ? refreshed->pairingPayload() : nullptr;
    if (payload && payload->isLive(now()))
        co_return;
    attemptAutomaticSetupIfPossible(u"Refreshing phone pairing..."_s);
}

void BridgeMenuBarStore::attemptAutomaticSetupIfPossible(const QString &reason)
{
    if (m_didAttemptAutomaticSetup || m_state.isPerformingAction || !m_state.codexAppPath)
        return;
    m_didAttemptAutomaticSetup = true;
    set(&BridgeMenuBarState::setupStatusMessage, reason);
    runFirstRunSetup();
}

std::optional<QDateTime> BridgeMenuBarStore::previousSessionDate() const
{
    return m_state.snapshot ? m_state.snapshot->pairingCreatedDate() : std::nullopt;
}

void BridgeMenuBarStore::runFirstRunSetup()
{
    const auto after = previousSessionDate();
    runAction(u"Mac connection is ready."_s, [this, after]() -> QCoro::Task<> {
        const auto progress = [this](const QString &message) {
            set(&BridgeMenuBarState::setupStatusMessage, message);
        };
        progress(u"Checking Codex on this Mac..."_s);
        const std::optional<QString> codex = m_service->detectCodexApplicationPath();
        set(&BridgeMenuBarState::codexAppPath, codex);
        if (!codex)
            throw BridgeMenuBarActionError::missingCodex();

        progress(u"Preparing the Pivra Mac connector..."_s);
        const BridgeCLIAvailability availability = co_await m_service->detectCLIAvailability();
        set(&BridgeMenuBarState::cliAvailability, availability);
        if (!availability.isAvailable())
            co_await m_service->installBridgePackage();
        co_await requireCLIAvailability();
        restoreSavedRelayOverrideIfNeeded();

        progress(u"Starting the secure Mac connection..."_s);
        co_await m_service->startBridge(effectiveRelayOverride());

        progress(u"Preparing the phone pairing code..."_s);
        co_await waitForFreshPairingSnapshot(after, effectiveRelayOverride());
        progress(u"Ready to pair from iPhone."_s);
    });
}

void BridgeMenuBarStore::startBridge()
{
    // Noted before the wrapper looks, so the wait compares against the session on screen now.
    const auto after = previousSessionDate();
    runAction(u"Mac connection started."_s, [this, after]() -> QCoro::Task<> {
        co_await requireCLIAvailability();
        co_await m_service->startBridge(effectiveRelayOverride());
        co_await waitForFreshPairingSnapshot(after, effectiveRelayOverride());
    });
}

void BridgeMenuBarStore::stopBridge()
{
    runBridgeCommand(u"Mac connection stopped."_s, &BridgeControlService::stopBridge);
}

void BridgeMenuBarStore::resumeLastThread()
{
    runBridgeCommand(u"Last thread reopened in Codex."_s, &BridgeControlService::resumeLastThread);
}

void BridgeMenuBarStore::resetPairing()
{
    runBridgeCommand(u"Pairing reset."_s, &BridgeControlService::resetPairing);
}

void BridgeMenuBarStore::runBridgeCommand(const QString &successMessage, BridgeCommand command)
{
    runAction(successMessage, [this, command]() -> QCoro::Task<> {
        co_await requireCLIAvailability();
        co_await (m_service.get()->*command)(effectiveRelayOverride());
        co_await performRefresh(RefreshOption::ClearSnapshotOnFailure);
    });
}

void BridgeMenuBarStore::updateBridgePackage()
{
    runAction(u"Mac connector updated."_s, [this]() -> QCoro::Task<> {
        co_await requireCLIAvailability();
        co_await m_service->updateBridgePackage();
        // A loaded bridge keeps running the old version until it is restarted.
        if (m_state.snapshot && m_state.snapshot->launchdLoaded)
            co_await m_service->startBridge(effectiveRelayOverride());
        co_await performRefresh(RefreshOption::ClearSnapshotOnFailure);
    });
}

void BridgeMenuBarStore::runAction(const QString &successMessage,
                                   std::function<QCoro::Task<>()> operation)
{
    if (m_state.isPerformingAction || m_cancelled)
        return;
    set(&BridgeMenuBarState::isPerformingAction, true);
    set(&BridgeMenuBarState::transientMessage, {});
    set(&BridgeMenuBarState::errorMessage, m_settingsProblem);
    launch(runActionTask(successMessage, std::move(operation)));
}

QCoro::Task<> BridgeMenuBarStore::runActionTask(QString successMessage,
                                                std::function<QCoro::Task<>()> operation)
{
    // The flag falls with the task, also when the store cancels it.
    const auto done = qScopeGuard([this] { set(&BridgeMenuBarState::isPerformingAction, false); });
    std::exception_ptr failure;
    try {
        co_await operation();
    } catch (const OperationCancelled &) {
        throw;
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure)
        set(&BridgeMenuBarState::errorMessage, errorDescription(failure));
    else
        set(&BridgeMenuBarState::transientMessage, successMessage);
}

QCoro::Task<> BridgeMenuBarStore::requireCLIAvailability()
{
    const BridgeCLIAvailability availability = co_await m_service->detectCLIAvailability();
    set(&BridgeMenuBarState::cliAvailability, availability);
    switch (availability.kind()) {
    case BridgeCLIAvailability::Case::Available:
        co_return;
    case BridgeCLIAvailability::Case::Broken:
        throw BridgeMenuBarActionError::brokenCLI(availability.message());
    case BridgeCLIAvailability::Case::Checking:
    case BridgeCLIAvailability::Case::Missing:
        throw BridgeMenuBarActionError::missingCLI();
    }
}

void BridgeMenuBarStore::openLogsFolder()
{
    QString folder;
    // A blank log path would name the current directory's grandparent; fall back instead.
    if (m_state.snapshot && !m_state.snapshot->stderrLogPath.trimmed().isEmpty()) {
        const QFileInfo log(m_state.snapshot->stderrLogPath);
        folder = QFileInfo(log.absolutePath()).absolutePath().trimmed();
    }
    if (folder.isEmpty())
        folder = m_service->defaultStateDirectory();
    m_options.openPath(folder);
}

void BridgeMenuBarStore::saveRelayOverride(const QString &text)
{
    const QString relay = text.trimmed();
    set(&BridgeMenuBarState::relayOverride, relay);
    writeRelayOverride(relay);
    launch(refresh(RefreshOption::ShowSpinner));
}

void BridgeMenuBarStore::clearRelayOverride()
{
    set(&BridgeMenuBarState::relayOverride, {});
    writeRelayOverride(std::nullopt);
    launch(refresh(RefreshOption::ShowSpinner));
}

void BridgeMenuBarStore::restoreSavedRelayOverrideIfNeeded()
{
    if (!m_state.relayOverride.isEmpty() || !m_state.snapshot)
        return;
    const QString candidate = m_state.snapshot->relayCandidate();
    if (candidate.trimmed().isEmpty())
        return;
    set(&BridgeMenuBarState::relayOverride, candidate);
    writeRelayOverride(candidate);
}

void BridgeMenuBarStore::writeRelayOverride(const std::optional<QString> &value)
{
    if (m_settings->write(QLatin1StringView(relayOverrideKey), value)) {
        m_settingsProblem.clear();
        return;
    }
    m_settingsProblem
        = u"The connection address could not be saved to %1."_s.arg(m_settings->fileName());
    set(&BridgeMenuBarState::errorMessage, m_settingsProblem);
}

void BridgeMenuBarStore::discoveryChanged()
{
    // During a hand-over the store takes the new state itself, together with the snapshot.
    if (!m_handingOver)
        change([this](BridgeMenuBarState &s) { adoptDiscovery(s); });
}

void BridgeMenuBarStore::adoptDiscovery(BridgeMenuBarState &state)
{
    const LocalPairingDiscovery &discovery = m_advertiser->discovery();
    if (discovery.state == LocalPairingDiscovery::State::Registering) {
        // The limit runs from the moment registering began, not from each report.
        if (state.discovery.state != LocalPairingDiscovery::State::Registering)
            m_discoverySettle.start();
    } else {
        m_discoverySettle.stop();
    }
    state.discovery = discovery;
}

void BridgeMenuBarStore::trackActivity(int delta)
{
    const bool wasIdle = isIdle();
    m_activity += delta;
    if (m_activity == 0 && m_drain)
        m_drain->quit();
    if (wasIdle != isIdle())
        Q_EMIT idleChanged();
}

void BridgeMenuBarStore::change(const std::function<void(BridgeMenuBarState &)> &apply)
{
    const QString relayBefore = m_state.relayOverride;
    const bool wasIdle = isIdle();
    apply(m_state);
    if (m_state.relayOverride != relayBefore)
        Q_EMIT relayOverrideChanged();
    if (wasIdle != isIdle())
        Q_EMIT idleChanged();
    // Every assignment is news, as with an observed property: the setup window comes forward
    // again on each one while the computer is not ready.
    m_presentation = BridgeStatusPresentation::make(m_state, now());
    Q_EMIT stateChanged();
    Q_EMIT presentationChanged();
}
