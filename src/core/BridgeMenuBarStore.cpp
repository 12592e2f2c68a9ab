#include "BridgeMenuBarStore.h"

#include "BridgeControlService.h"
#include "LocalPairingAdvertiser.h"
#include "ShellCommandRunner.h"

#include <QCoro/QCoroTimer>
#include <QDir>
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
        qInfo("Cannot open %s: no desktop opener available", qPrintable(path));
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
    connect(this, &BridgeMenuBarStore::stateChanged, this, &BridgeMenuBarStore::viewChanged);
    if (!m_options.openPath)
        m_options.openPath = openWithDesktop;

    m_settings = m_options.settingsPath.isEmpty()
        ? std::make_unique<QSettings>(u"Pivra"_s, u"PivraMenuBar"_s)
        : std::make_unique<QSettings>(m_options.settingsPath, QSettings::NativeFormat);
    if (m_settings->status() != QSettings::NoError) {
        m_settingsProblem
            = u"Saved settings could not be read from %1."_s.arg(m_settings->fileName());
        m_errorMessage = m_settingsProblem;
    }
    m_relayOverride = m_settings->value(QLatin1StringView(relayOverrideKey)).toString();

    m_refreshLoop.setSingleShot(true);
    m_refreshLoop.setInterval(m_options.refreshInterval);
    connect(&m_refreshLoop, &QTimer::timeout, this, [this] { backgroundRefresh(); });
    m_refreshLoop.start();

    if (m_options.bootstrap)
        bootstrap();
}

BridgeMenuBarStore::~BridgeMenuBarStore() = default;

bool BridgeMenuBarStore::isSetupReady() const
{
    if (!m_codexAppPath || !m_cliAvailability.isAvailable() || !m_snapshot)
        return false;
    const BridgePairingPayload *payload = m_snapshot->pairingPayload();
    return m_snapshot->isConnected() && payload && payload->isLive(now());
}

bool BridgeMenuBarStore::isIdle() const
{
    return m_activity == 0 && !m_isPerformingAction;
}

BridgeMenuBarState BridgeMenuBarStore::state() const
{
    return {
        .snapshot = m_snapshot,
        .updateState = m_updateState,
        .cliAvailability = m_cliAvailability,
        .codexAppPath = m_codexAppPath,
        .relayOverride = m_relayOverride,
        .isRefreshing = m_isRefreshing,
        .isPerformingAction = m_isPerformingAction,
        .setupStatusMessage = m_setupStatusMessage,
        .transientMessage = m_transientMessage,
        .errorMessage = m_errorMessage,
    };
}

namespace {

QString textStyleName(TextStyle style)
{
    switch (style) {
    case TextStyle::Primary:
        return u"primary"_s;
    case TextStyle::Secondary:
        return u"secondary"_s;
    case TextStyle::Tertiary:
        return u"tertiary"_s;
    }
    return {};
}

QVariant optionalTint(const std::optional<StatusTint> &tint)
{
    return tint ? QVariant(tintName(*tint)) : QVariant();
}

} // namespace

QVariantMap BridgeMenuBarStore::view() const
{
    const BridgeStatusPresentation presentation = BridgeStatusPresentation::make(state(), now());
    QVariantMap view = presentation.toViewJson().toVariantMap();
    QVariantMap pairing = view.value(u"pairing"_s).toMap();
    pairing.insert(u"indicatorTint"_s, optionalTint(presentation.pairing.indicatorTint));
    pairing.insert(u"textTint"_s, optionalTint(presentation.pairing.textTint));
    pairing.insert(u"textStyle"_s, textStyleName(presentation.pairing.textStyle));
    view.insert(u"pairing"_s, pairing);
    view.insert(u"labelDot"_s, optionalTint(presentation.labelDot));
    view.insert(u"labelDimmed"_s, presentation.labelDimmed);
    return view;
}

void BridgeMenuBarStore::requestRefresh()
{
    refresh();
}

void BridgeMenuBarStore::openStdoutLog()
{
    if (m_snapshot && !m_snapshot->stdoutLogPath.isEmpty())
        m_options.openPath(m_snapshot->stdoutLogPath);
}

void BridgeMenuBarStore::openStderrLog()
{
    if (m_snapshot && !m_snapshot->stderrLogPath.isEmpty())
        m_options.openPath(m_snapshot->stderrLogPath);
}

QCoro::Task<> BridgeMenuBarStore::refresh()
{
    try {
        co_await performRefresh(true, false);
    } catch (...) {
        // Already shown in errorMessage.
    }
}

QCoro::Task<> BridgeMenuBarStore::backgroundRefresh()
{
    try {
        co_await performRefresh(false, false);
    } catch (...) {
        // The loop never stops because of a failed refresh.
    }
    m_refreshLoop.start();
}

QCoro::Task<std::optional<BridgeSnapshot>>
BridgeMenuBarStore::performRefresh(bool showSpinner, bool clearSnapshotOnFailure)
{
    const ActivityScope activity(this);
    if (showSpinner)
        setIsRefreshing(true);

    setCliAvailability(co_await m_service->detectCLIAvailability());
    if (!m_cliAvailability.isAvailable()) {
        setSnapshot(std::nullopt);
        setUpdateState({});
        setTransientMessage({});
        setErrorMessage(m_settingsProblem);
        m_advertiser->stop();
        setIsRefreshing(false);
        co_return std::nullopt;
    }

    std::optional<BridgeSnapshot> snapshot;
    std::exception_ptr failure;
    try {
        BridgeSnapshot loaded = co_await m_service->loadSnapshot(effectiveRelayOverride());
        snapshot = co_await freshenedSnapshotIfNeeded(std::move(loaded));
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        if (clearSnapshotOnFailure) {
            setSnapshot(std::nullopt);
            setUpdateState({});
            m_advertiser->stop();
        }
        setErrorMessage(errorDescription(failure));
        setIsRefreshing(false);
        std::rethrow_exception(failure);
    }

    setSnapshot(snapshot);
    m_advertiser->update(snapshot, now());
    setErrorMessage(m_settingsProblem);
    setUpdateState(co_await resolveUpdateState(snapshot->currentVersion));
    setIsRefreshing(false);
    co_return snapshot;
}

QCoro::Task<BridgeSnapshot> BridgeMenuBarStore::freshenedSnapshotIfNeeded(BridgeSnapshot snapshot)
{
    if (!shouldRefreshExpiredLocalPairing(snapshot) || m_isRefreshingLocalPairing)
        co_return snapshot;

    m_isRefreshingLocalPairing = true;
    const auto clearFlag = qScopeGuard([store = QPointer(this)] {
        if (store)
            store->m_isRefreshingLocalPairing = false;
    });
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
        } catch (...) {
            failure = std::current_exception();
        }
        if (read) {
            // Every successful read is shown, fresh or not.
            setSnapshot(read);
            m_advertiser->update(read, now());
            setUpdateState(co_await resolveUpdateState(read->currentVersion));
            if (isFreshPairingSnapshot(*read, after))
                co_return *read;
        } else {
            // A failed read is shown and the wait goes on; only the time limit ends it.
            setErrorMessage(errorDescription(failure));
        }
        co_await QCoro::sleepFor(m_options.pairingPollInterval);
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
    if (m_relayOverride.isEmpty())
        return std::nullopt;
    return m_relayOverride;
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
    const ActivityScope activity(this);
    setCodexAppPath(m_service->detectCodexApplicationPath());
    setCliAvailability(co_await m_service->detectCLIAvailability());
    if (!m_cliAvailability.isAvailable()) {
        setSnapshot(std::nullopt);
        setUpdateState({});
        attemptAutomaticSetupIfPossible(u"Preparing Pivra on this Mac..."_s);
        co_return;
    }

    std::optional<BridgeSnapshot> refreshed;
    bool failed = false;
    try {
        refreshed = co_await performRefresh(true, false);
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
    if (m_didAttemptAutomaticSetup || m_isPerformingAction || !m_codexAppPath)
        return;
    m_didAttemptAutomaticSetup = true;
    setSetupStatusMessage(reason);
    runFirstRunSetup();
}

std::optional<QDateTime> BridgeMenuBarStore::previousSessionDate() const
{
    return m_snapshot ? m_snapshot->pairingCreatedDate() : std::nullopt;
}

void BridgeMenuBarStore::runFirstRunSetup()
{
    const auto after = previousSessionDate();
    runAction(u"Mac connection is ready."_s, [this, after]() -> QCoro::Task<> {
        setSetupStatusMessage(u"Checking Codex on this Mac..."_s);
        setCodexAppPath(m_service->detectCodexApplicationPath());
        if (!m_codexAppPath)
            throw BridgeMenuBarActionError::missingCodex();

        setSetupStatusMessage(u"Preparing the Pivra Mac connector..."_s);
        setCliAvailability(co_await m_service->detectCLIAvailability());
        if (!m_cliAvailability.isAvailable())
            co_await m_service->installBridgePackage();
        co_await requireCLIAvailability();
        restoreSavedRelayOverrideIfNeeded();

        setSetupStatusMessage(u"Starting the secure Mac connection..."_s);
        co_await m_service->startBridge(effectiveRelayOverride());

        setSetupStatusMessage(u"Preparing the phone pairing code..."_s);
        co_await waitForFreshPairingSnapshot(after, effectiveRelayOverride());
        setSetupStatusMessage(u"Ready to pair from iPhone."_s);
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
        co_await performRefresh(false, true);
    });
}

void BridgeMenuBarStore::updateBridgePackage()
{
    runAction(u"Mac connector updated."_s, [this]() -> QCoro::Task<> {
        co_await requireCLIAvailability();
        co_await m_service->runner().run(u"npm install -g pivra@latest"_s, {});
        // A loaded bridge keeps running the old version until it is restarted.
        if (m_snapshot && m_snapshot->launchdLoaded)
            co_await m_service->startBridge(effectiveRelayOverride());
        co_await performRefresh(false, true);
    });
}

void BridgeMenuBarStore::runAction(const QString &successMessage,
                                   std::function<QCoro::Task<>()> operation)
{
    if (m_isPerformingAction)
        return;
    setIsPerformingAction(true);
    setTransientMessage({});
    setErrorMessage(m_settingsProblem);
    runActionTask(successMessage, std::move(operation));
}

QCoro::Task<> BridgeMenuBarStore::runActionTask(QString successMessage,
                                                std::function<QCoro::Task<>()> operation)
{
    const ActivityScope activity(this);
    std::exception_ptr failure;
    try {
        co_await operation();
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure)
        setErrorMessage(errorDescription(failure));
    else
        setTransientMessage(successMessage);
    setIsPerformingAction(false);
}

QCoro::Task<> BridgeMenuBarStore::requireCLIAvailability()
{
    setCliAvailability(co_await m_service->detectCLIAvailability());
    switch (m_cliAvailability.kind()) {
    case BridgeCLIAvailability::Case::Available:
        co_return;
    case BridgeCLIAvailability::Case::Broken:
        throw BridgeMenuBarActionError::brokenCLI(m_cliAvailability.message());
    case BridgeCLIAvailability::Case::Checking:
    case BridgeCLIAvailability::Case::Missing:
        throw BridgeMenuBarActionError::missingCLI();
    }
}

void BridgeMenuBarStore::openLogsFolder()
{
    QString folder;
    // A blank log path would name the current directory's grandparent; fall back instead.
    if (m_snapshot && !m_snapshot->stderrLogPath.trimmed().isEmpty()) {
        const QFileInfo log(m_snapshot->stderrLogPath);
        folder = QFileInfo(log.absolutePath()).absolutePath().trimmed();
    }
    if (folder.isEmpty())
        folder = QDir::homePath() + u"/.pivra"_s;
    m_options.openPath(folder);
}

void BridgeMenuBarStore::saveRelayOverride(const QString &text)
{
    setRelayOverride(text.trimmed());
    writeRelayOverride(m_relayOverride);
    refreshAfterOverrideChange();
}

void BridgeMenuBarStore::clearRelayOverride()
{
    setRelayOverride({});
    writeRelayOverride(std::nullopt);
    refreshAfterOverrideChange();
}

QCoro::Task<> BridgeMenuBarStore::refreshAfterOverrideChange()
{
    try {
        co_await performRefresh(true, false);
    } catch (...) {
        // Shown in errorMessage by the refresh.
    }
}

void BridgeMenuBarStore::restoreSavedRelayOverrideIfNeeded()
{
    if (!m_relayOverride.isEmpty() || !m_snapshot)
        return;
    const QString candidate = m_snapshot->relayCandidate();
    if (candidate.trimmed().isEmpty())
        return;
    setRelayOverride(candidate);
    writeRelayOverride(candidate);
}

void BridgeMenuBarStore::writeRelayOverride(const std::optional<QString> &value)
{
    if (value)
        m_settings->setValue(QLatin1StringView(relayOverrideKey), *value);
    else
        m_settings->remove(QLatin1StringView(relayOverrideKey));
    m_settings->sync();
    if (m_settings->status() == QSettings::NoError) {
        m_settingsProblem.clear();
        return;
    }
    m_settingsProblem
        = u"The connection address could not be saved to %1."_s.arg(m_settings->fileName());
    setErrorMessage(m_settingsProblem);
}

void BridgeMenuBarStore::trackActivity(int delta)
{
    const bool wasIdle = isIdle();
    m_activity += delta;
    if (wasIdle != isIdle())
        Q_EMIT idleChanged();
}

BridgeMenuBarStore::ActivityScope::ActivityScope(BridgeMenuBarStore *store)
    : m_store(store)
{
    m_store->trackActivity(+1);
}

BridgeMenuBarStore::ActivityScope::~ActivityScope()
{
    if (m_store)
        m_store->trackActivity(-1);
}

template <typename T>
void BridgeMenuBarStore::assign(T &member, T value, void (BridgeMenuBarStore::*changed)())
{
    member = std::move(value);
    Q_EMIT(this->*changed)();
    Q_EMIT stateChanged();
}

void BridgeMenuBarStore::setSnapshot(std::optional<BridgeSnapshot> value)
{
    assign(m_snapshot, std::move(value), &BridgeMenuBarStore::snapshotChanged);
}

void BridgeMenuBarStore::setUpdateState(BridgePackageUpdateState value)
{
    assign(m_updateState, std::move(value), &BridgeMenuBarStore::updateStateChanged);
}

void BridgeMenuBarStore::setCliAvailability(BridgeCLIAvailability value)
{
    assign(m_cliAvailability, std::move(value), &BridgeMenuBarStore::cliAvailabilityChanged);
}

void BridgeMenuBarStore::setCodexAppPath(std::optional<QString> value)
{
    assign(m_codexAppPath, std::move(value), &BridgeMenuBarStore::codexAppPathChanged);
}

void BridgeMenuBarStore::setRelayOverride(QString value)
{
    assign(m_relayOverride, std::move(value), &BridgeMenuBarStore::relayOverrideChanged);
}

void BridgeMenuBarStore::setIsRefreshing(bool value)
{
    assign(m_isRefreshing, value, &BridgeMenuBarStore::isRefreshingChanged);
}

void BridgeMenuBarStore::setIsPerformingAction(bool value)
{
    const bool wasIdle = isIdle();
    assign(m_isPerformingAction, value, &BridgeMenuBarStore::isPerformingActionChanged);
    if (wasIdle != isIdle())
        Q_EMIT idleChanged();
}

void BridgeMenuBarStore::setSetupStatusMessage(QString value)
{
    assign(m_setupStatusMessage, std::move(value), &BridgeMenuBarStore::setupStatusMessageChanged);
}

void BridgeMenuBarStore::setTransientMessage(QString value)
{
    assign(m_transientMessage, std::move(value), &BridgeMenuBarStore::transientMessageChanged);
}

void BridgeMenuBarStore::setErrorMessage(QString value)
{
    assign(m_errorMessage, std::move(value), &BridgeMenuBarStore::errorMessageChanged);
}
