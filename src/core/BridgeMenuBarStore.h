#pragma once

#include "BridgeMenuBarState.h"
#include "BridgeStatusPresentation.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class BridgeControlService;
class LocalPairingAdvertiser;
class SavedSettings;
class QEventLoop;

// The one observable state of the application. The tray label, the panel, the setup window and
// the headless front end read its properties and call its operations; everything it does to the
// bridge goes through its service, and every snapshot it obtains goes to its advertiser.
//
// Confined to the main thread. Every operation returns at once; the work it starts is a task the
// store owns: destroying the store cancels what waits, ends the commands still running and lets
// every task finish before anything it uses goes away.
class BridgeMenuBarStore : public QObject
{
    Q_OBJECT
    // What the Qt Quick views bind to: the presentation of the state at one instant, and the
    // saved address, whose changes overwrite the panel's draft.
    Q_PROPERTY(BridgeStatusPresentation presentation READ presentation NOTIFY presentationChanged)
    Q_PROPERTY(QString relayOverride READ relayOverride NOTIFY relayOverrideChanged)

public:
    static constexpr const char *relayOverrideKey = "pivra.menuBar.relayOverride";

    struct Options
    {
        // A service made over a new runner when absent.
        std::shared_ptr<BridgeControlService> service;
        // A new advertiser owned by the store when absent.
        LocalPairingAdvertiser *advertiser = nullptr;
        std::function<QDateTime()> now = [] {
            return QDateTime::currentDateTimeUtc();
        };
        std::chrono::milliseconds refreshInterval = std::chrono::seconds(480);
        std::chrono::milliseconds pairingPollInterval = std::chrono::milliseconds(500);
        // How long the announcement may stay "registering" before the store counts as idle.
        std::chrono::milliseconds discoverySettleLimit = std::chrono::seconds(5);
        // Settings file; the platform's per-user store when empty.
        QString settingsPath;
        // Opens a folder or file for the user; the desktop's opener when absent.
        std::function<void(const QString &path)> openPath;
        // Runs the start-up sequence from the constructor.
        bool bootstrap = true;
    };

    BridgeMenuBarStore();
    explicit BridgeMenuBarStore(Options options, QObject *parent = nullptr);
    ~BridgeMenuBarStore() override;

    const BridgeMenuBarState &state() const { return m_state; }
    const std::optional<BridgeSnapshot> &snapshot() const { return m_state.snapshot; }
    const BridgeCLIAvailability &cliAvailability() const { return m_state.cliAvailability; }
    const LocalPairingDiscovery &discovery() const { return m_state.discovery; }
    QString relayOverride() const { return m_state.relayOverride; }
    bool isRefreshing() const { return m_state.isRefreshing; }
    bool isPerformingAction() const { return m_state.isPerformingAction; }
    QString setupStatusMessage() const { return m_state.setupStatusMessage; }

    // The state as the views show it, computed when it last changed or a window last asked for
    // the present (renewView()), from one reading of the clock.
    const BridgeStatusPresentation &presentation() const { return m_presentation; }
    // Nothing is in flight: start-up done, no action, no refresh, no pairing re-issue, and the
    // announcement settled (published, failed or withdrawn) or given up waiting for.
    bool isIdle() const;
    QDateTime now() const { return m_options.now(); }

    // The panel's refresh buttons and the headless `refresh`.
    Q_INVOKABLE void requestRefresh();

    Q_INVOKABLE void runFirstRunSetup();
    Q_INVOKABLE void startBridge();
    Q_INVOKABLE void stopBridge();
    Q_INVOKABLE void resumeLastThread();
    Q_INVOKABLE void resetPairing();
    Q_INVOKABLE void updateBridgePackage();
    Q_INVOKABLE void openLogsFolder();
    Q_INVOKABLE void saveRelayOverride(const QString &text);
    Q_INVOKABLE void clearRelayOverride();
    // The diagnostics card's "Output" and "Errors": the bridge's log files, nothing without a
    // snapshot.
    Q_INVOKABLE void openStdoutLog();
    Q_INVOKABLE void openStderrLog();
    // Withdraws the announcement, as the application does on its way out.
    void withdrawAnnouncement();
    // The presentation reads the clock: "Updated" times and a code's expiry move on with no
    // change of state. A window calls this as it appears, so it shows the present without a
    // timer waking the idle app.
    Q_INVOKABLE void renewView();

Q_SIGNALS:
    // With every `stateChanged`, and when `renewView()` asks for the present.
    void presentationChanged();
    // Every change of the observable state.
    void stateChanged();
    void relayOverrideChanged();
    void idleChanged();

public:
    enum class RefreshOption
    {
        ShowSpinner = 0x1, // the panel's spinner turns while it runs
        ClearSnapshotOnFailure = 0x2, // a failed status read leaves no stale state on display
    };
    Q_DECLARE_FLAGS(RefreshOptions, RefreshOption)

private:
    // Starts `task` as one the store owns: counted until it ends; a cancelled one ends quietly.
    void launch(QCoro::Task<> task);
    static QCoro::Task<> own(BridgeMenuBarStore *store, QCoro::Task<> task);
    // Waits, unless the store is going away: then it throws OperationCancelled at once.
    QCoro::Task<> sleep(std::chrono::milliseconds duration);
    void cancelTasks();

    QCoro::Task<> bootstrap();
    QCoro::Task<> refresh(RefreshOptions options);
    QCoro::Task<std::optional<BridgeSnapshot>> performRefresh(RefreshOptions options);
    QCoro::Task<BridgeSnapshot> freshenedSnapshotIfNeeded(BridgeSnapshot snapshot);
    bool shouldRefreshExpiredLocalPairing(const BridgeSnapshot &snapshot) const;
    QCoro::Task<BridgeSnapshot> waitForFreshPairingSnapshot(std::optional<QDateTime> after,
                                                            std::optional<QString> relayOverride);
    QCoro::Task<BridgePackageUpdateState> resolveUpdateState(QString installedVersion);
    std::optional<QString> effectiveRelayOverride() const;
    std::optional<QString> relayOverrideForRestart(const BridgeSnapshot &snapshot) const;
    void showSnapshot(std::optional<BridgeSnapshot> snapshot);

    void attemptAutomaticSetupIfPossible(const QString &reason);
    void runAction(const QString &successMessage, std::function<QCoro::Task<>()> operation);
    QCoro::Task<> runActionTask(QString successMessage, std::function<QCoro::Task<>()> operation);
    QCoro::Task<> requireCLIAvailability();
    void restoreSavedRelayOverrideIfNeeded();
    QCoro::Task<> backgroundRefresh();
    std::optional<QDateTime> previousSessionDate() const;

    using BridgeCommand = QCoro::Task<> (BridgeControlService::*)(std::optional<QString>);
    void runBridgeCommand(const QString &successMessage, BridgeCommand command);
    void writeRelayOverride(const std::optional<QString> &value);

    void trackActivity(int delta);
    void discoveryChanged();
    void adoptDiscovery(BridgeMenuBarState &state);

    // Applies `change` to the state and tells the views: each call is one observable
    // assignment, as the views and the headless lines see them.
    void change(const std::function<void(BridgeMenuBarState &)> &change);
    template <typename T>
    void set(T BridgeMenuBarState::*member, std::type_identity_t<T> value)
    {
        change([&](BridgeMenuBarState &state) { state.*member = std::move(value); });
    }

    Options m_options;
    std::unique_ptr<SavedSettings> m_settings;
    std::shared_ptr<BridgeControlService> m_service;
    LocalPairingAdvertiser *m_advertiser = nullptr;
    QTimer m_refreshLoop;
    // Runs while the announcement is registering; the store counts as idle once it fires.
    QTimer m_discoverySettle;

    BridgeMenuBarState m_state;
    BridgeStatusPresentation m_presentation;

    // The store is handing a snapshot to the advertiser and takes its discovery state itself.
    bool m_handingOver = false;
    bool m_isRefreshingLocalPairing = false;
    bool m_didAttemptAutomaticSetup = false;
    // A settings file that cannot be read or written: shown wherever the error line would
    // otherwise be emptied, so the problem stays visible until a save succeeds.
    QString m_settingsProblem;
    // Tasks the store owns that have not ended yet.
    int m_activity = 0;
    // Set once the store is going away: nothing new starts, every wait ends.
    bool m_cancelled = false;
    QList<QTimer *> m_sleeps;
    QEventLoop *m_drain = nullptr;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(BridgeMenuBarStore::RefreshOptions)
