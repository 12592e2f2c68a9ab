#pragma once

#include "BridgeControlModels.h"
#include "BridgeStatusPresentation.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QSettings>
#include <QTimer>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class BridgeControlService;
class LocalPairingAdvertiser;

// The one observable state of the application. The tray label, the panel, the setup window and
// the headless front end read its properties and call its operations; everything it does to the
// bridge goes through its service, and every snapshot it obtains goes to its advertiser.
// Confined to the main thread; every operation returns at once or is a coroutine that resumes
// there.
class BridgeMenuBarStore : public QObject
{
    Q_OBJECT
    // What the Qt Quick views bind to. `view` is the presentation of the current state: the
    // headless `view` object plus the pairing card's tints and the tray label's dot.
    Q_PROPERTY(QVariantMap view READ view NOTIFY viewChanged)
    Q_PROPERTY(bool setupReady READ isSetupReady NOTIFY stateChanged)
    Q_PROPERTY(bool busy READ isBusy NOTIFY stateChanged)
    Q_PROPERTY(QString relayOverride READ relayOverride NOTIFY relayOverrideChanged)
    Q_PROPERTY(bool isRefreshing READ isRefreshing NOTIFY isRefreshingChanged)
    Q_PROPERTY(bool isPerformingAction READ isPerformingAction NOTIFY isPerformingActionChanged)
    Q_PROPERTY(QString setupStatusMessage READ setupStatusMessage NOTIFY setupStatusMessageChanged)
    Q_PROPERTY(bool hasSnapshot READ hasSnapshot NOTIFY snapshotChanged)
    Q_PROPERTY(QString stdoutLogPath READ stdoutLogPath NOTIFY snapshotChanged)
    Q_PROPERTY(QString stderrLogPath READ stderrLogPath NOTIFY snapshotChanged)

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

    std::optional<BridgeSnapshot> snapshot() const { return m_snapshot; }
    BridgePackageUpdateState updateState() const { return m_updateState; }
    BridgeCLIAvailability cliAvailability() const { return m_cliAvailability; }
    std::optional<QString> codexAppPath() const { return m_codexAppPath; }
    QString relayOverride() const { return m_relayOverride; }
    bool isRefreshing() const { return m_isRefreshing; }
    bool isPerformingAction() const { return m_isPerformingAction; }
    QString setupStatusMessage() const { return m_setupStatusMessage; }
    QString transientMessage() const { return m_transientMessage; }
    QString errorMessage() const { return m_errorMessage; }

    // Codex found, the tool available, the bridge connected and its pairing payload live.
    bool isSetupReady() const;
    // A spinner refresh or an action runs: the tray label dims.
    bool isBusy() const { return m_isRefreshing || m_isPerformingAction; }
    bool hasSnapshot() const { return m_snapshot.has_value(); }
    QString stdoutLogPath() const { return m_snapshot ? m_snapshot->stdoutLogPath : QString(); }
    QString stderrLogPath() const { return m_snapshot ? m_snapshot->stderrLogPath : QString(); }
    QVariantMap view() const;
    // Nothing is in flight: start-up done, no action, no refresh, no pairing re-issue.
    bool isIdle() const;
    QDateTime now() const { return m_options.now(); }
    BridgeMenuBarState state() const;
    BridgeControlService &service() const { return *m_service; }
    LocalPairingAdvertiser &localPairingAdvertiser() const { return *m_advertiser; }

    // The panel's manual refresh; its error has already reached `errorMessage`.
    QCoro::Task<> refresh();

    // The panel's refresh buttons: starts `refresh()` and returns at once.
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
    // The view reads the clock: "Updated" times and a code's expiry move on with no change of
    // state. A window calls this as it appears, so it shows the present without a timer waking
    // the idle app.
    Q_INVOKABLE void renewView() { Q_EMIT viewChanged(); }

Q_SIGNALS:
    // With every `stateChanged`, and when `renewView()` asks for the present.
    void viewChanged();
    // Every assignment to an observable property emits its signal, then `stateChanged`, also
    // when the value did not change.
    void snapshotChanged();
    void updateStateChanged();
    void cliAvailabilityChanged();
    void codexAppPathChanged();
    void relayOverrideChanged();
    void isRefreshingChanged();
    void isPerformingActionChanged();
    void setupStatusMessageChanged();
    void transientMessageChanged();
    void errorMessageChanged();
    void stateChanged();
    void idleChanged();

private:
    QCoro::Task<> bootstrap();
    QCoro::Task<std::optional<BridgeSnapshot>> performRefresh(bool showSpinner,
                                                              bool clearSnapshotOnFailure);
    QCoro::Task<BridgeSnapshot> freshenedSnapshotIfNeeded(BridgeSnapshot snapshot);
    bool shouldRefreshExpiredLocalPairing(const BridgeSnapshot &snapshot) const;
    QCoro::Task<BridgeSnapshot> waitForFreshPairingSnapshot(std::optional<QDateTime> after,
                                                            std::optional<QString> relayOverride);
    QCoro::Task<BridgePackageUpdateState> resolveUpdateState(QString installedVersion);
    std::optional<QString> effectiveRelayOverride() const;
    std::optional<QString> relayOverrideForRestart(const BridgeSnapshot &snapshot) const;

    void attemptAutomaticSetupIfPossible(const QString &reason);
    void runAction(const QString &successMessage, std::function<QCoro::Task<>()> operation);
    QCoro::Task<> runActionTask(QString successMessage, std::function<QCoro::Task<>()> operation);
    QCoro::Task<> requireCLIAvailability();
    void restoreSavedRelayOverrideIfNeeded();
    void startRefreshTask();
    QCoro::Task<> backgroundRefresh();
    QCoro::Task<> refreshAfterOverrideChange();
    std::optional<QDateTime> previousSessionDate() const;

    using BridgeCommand = QCoro::Task<> (BridgeControlService::*)(std::optional<QString>);
    void runBridgeCommand(const QString &successMessage, BridgeCommand command);
    void writeRelayOverride(const std::optional<QString> &value);

    // Counts one piece of work in flight for as long as it lives, so the store knows when it is
    // idle. Held by coroutine frames, hence the guarded pointer.
    class ActivityScope
    {
    public:
        explicit ActivityScope(BridgeMenuBarStore *store);
        ~ActivityScope();
        ActivityScope(const ActivityScope &) = delete;
        ActivityScope &operator=(const ActivityScope &) = delete;

    private:
        QPointer<BridgeMenuBarStore> m_store;
    };
    void trackActivity(int delta);

    template <typename T>
    void assign(T &member, T value, void (BridgeMenuBarStore::*changed)());

    void setSnapshot(std::optional<BridgeSnapshot> value);
    void setUpdateState(BridgePackageUpdateState value);
    void setCliAvailability(BridgeCLIAvailability value);
    void setCodexAppPath(std::optional<QString> value);
    void setRelayOverride(QString value);
    void setIsRefreshing(bool value);
    void setIsPerformingAction(bool value);
    void setSetupStatusMessage(QString value);
    void setTransientMessage(QString value);
    void setErrorMessage(QString value);

    Options m_options;
    std::unique_ptr<QSettings> m_settings;
    std::shared_ptr<BridgeControlService> m_service;
    LocalPairingAdvertiser *m_advertiser = nullptr;
    QTimer m_refreshLoop;

    std::optional<BridgeSnapshot> m_snapshot;
    BridgePackageUpdateState m_updateState;
    BridgeCLIAvailability m_cliAvailability = BridgeCLIAvailability::checking();
    std::optional<QString> m_codexAppPath;
    QString m_relayOverride;
    bool m_isRefreshing = false;
    bool m_isPerformingAction = false;
    QString m_setupStatusMessage;
    QString m_transientMessage;
    QString m_errorMessage;

    bool m_isRefreshingLocalPairing = false;
    bool m_didAttemptAutomaticSetup = false;
    // A settings file that cannot be read or written: shown wherever the error line would
    // otherwise be emptied, so the problem stays visible until a save succeeds.
    QString m_settingsProblem;
    // Refreshes, the start-up sequence, actions and re-issues now in flight.
    int m_activity = 0;
};
