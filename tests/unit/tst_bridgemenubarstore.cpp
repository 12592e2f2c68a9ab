// The store's ordering and messages against a scripted service: every service call suspends
// for a moment like a real command does, so interleavings can be set up and observed.
#include "BridgeMenuBarStore.h"
#include "ScriptedBridgeService.h"
#include "StoreHarness.h"

#include <QFile>
#include <QSettings>
#include <QTest>

#include <functional>

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

using scripted::connectedSnapshot;
using scripted::t0;

using Harness = scripted::StoreHarness;

namespace TestFiles {
bool write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}
} // namespace TestFiles

} // namespace

class TestBridgeMenuBarStore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void refreshCallers_data()
    {
        QTest::addColumn<QString>("caller");
        QTest::addColumn<bool>("showsSpinner");
        QTest::addColumn<bool>("clearsOnFailure");
        // Stop, resume and reset share one path; the update has its own.
        QTest::newRow("panel refresh") << u"refresh"_s << true << false;
        QTest::newRow("save override") << u"save"_s << true << false;
        QTest::newRow("clear override") << u"clear"_s << true << false;
        QTest::newRow("stop") << u"stop"_s << false << true;
        QTest::newRow("update") << u"update"_s << false << true;
    }

    // Catches a caller that shows the spinner, or keeps a stale snapshot, against its rule.
    void refreshCallers()
    {
        QFETCH(QString, caller);
        QFETCH(bool, showsSpinner);
        QFETCH(bool, clearsOnFailure);

        Harness h;
        h.make();
        QVERIFY(h.refresh());
        QVERIFY(h.store->snapshot());

        h.service->load = []() -> BridgeSnapshot {
            throw BridgeControlError::invalidSnapshot(u"Bridge status returned malformed JSON."_s);
        };
        bool sawSpinner = false;
        connect(h.store.get(), &BridgeMenuBarStore::stateChanged, h.store.get(),
                [&] { sawSpinner |= h.store->isRefreshing(); });
        BridgeMenuBarStore &store = *h.store;
        if (caller == "refresh"_L1)
            store.requestRefresh();
        else if (caller == "save"_L1)
            store.saveRelayOverride(u"ws://10.0.0.2/relay"_s);
        else if (caller == "clear"_L1)
            store.clearRelayOverride();
        else if (caller == "stop"_L1)
            store.stopBridge();
        else
            store.updateBridgePackage();
        QVERIFY(h.waitIdle());

        QCOMPARE(sawSpinner, showsSpinner);
        QVERIFY(!h.store->isRefreshing());
        QCOMPARE(h.store->snapshot().has_value(), !clearsOnFailure);
        QCOMPARE(h.store->state().errorMessage, u"Bridge status returned malformed JSON."_s);
        // A failed refresh at the end of an action fails the action: no success text.
        QCOMPARE(h.store->state().transientMessage, u""_s);
    }

    void reissueConditions_data()
    {
        QTest::addColumn<QString>("connection");
        QTest::addColumn<int>("expiresInSeconds"); // 0: expires exactly now; -1: no payload
        QTest::addColumn<QString>("relayUrl");
        QTest::addColumn<QString>("savedOverride");
        QTest::addColumn<QString>("restart"); // "" when the bridge is not restarted
        QTest::newRow("live payload") << u"connected"_s << 600 << u"ws://r"_s << u""_s << u""_s;
        QTest::newRow("expires exactly now")
            << u"connected"_s << 0 << u"ws://r"_s << u""_s << u"start ws://r"_s;
        QTest::newRow("no payload")
            << u"connected"_s << -1 << u"ws://r"_s << u""_s << u"start ws://r"_s;
        QTest::newRow("other letter case")
            << u"CONNECTED"_s << 0 << u"ws://r"_s << u""_s << u"start ws://r"_s;
        QTest::newRow("still connecting") << u"connecting"_s << 0 << u"ws://r"_s << u""_s << u""_s;
        QTest::newRow("no relay known") << u"connected"_s << 0 << u" "_s << u""_s << u""_s;
        QTest::newRow("saved override wins")
            << u"connected"_s << 0 << u"ws://r"_s << u"  wss://10.1.2.3/relay "_s
            << u"start wss://10.1.2.3/relay"_s;
    }

    // Catches a pairing re-issue under the wrong conditions or with the wrong address.
    void reissueConditions()
    {
        QFETCH(QString, connection);
        QFETCH(int, expiresInSeconds);
        QFETCH(QString, relayUrl);
        QFETCH(QString, savedOverride);
        QFETCH(QString, restart);

        Harness h;
        BridgeSnapshot stale = connectedSnapshot(t0.addSecs(-600), t0.addSecs(expiresInSeconds));
        stale.bridgeStatus->connectionStatus = connection;
        stale.daemonConfig->relayUrl = relayUrl;
        if (expiresInSeconds < 0)
            stale.pairingSession.reset();
        else
            stale.pairingSession->pairingPayload->relay = relayUrl;
        const BridgeSnapshot fresh = connectedSnapshot(t0, t0.addSecs(600), relayUrl);
        h.service->load = [&] {
            return h.service->count(u"start"_s) ? fresh : stale;
        };
        h.make();
        if (savedOverride.isEmpty())
            h.store->requestRefresh();
        else
            h.store->saveRelayOverride(savedOverride);
        QVERIFY(h.waitIdle());

        QCOMPARE(h.service->calls.filter(u"start"_s),
                 restart.isEmpty() ? QStringList{} : QStringList{restart});
        if (!restart.isEmpty()) {
            QCOMPARE(h.store->snapshot(), fresh);
            QCOMPARE(h.store->state().errorMessage, u""_s);
        }
    }

    // Catches overlapping refreshes restarting the bridge twice, or a guard never released.
    void secondReissueIsGuarded()
    {
        Harness h;
        const BridgeSnapshot stale = connectedSnapshot(t0.addSecs(-600), t0);
        const BridgeSnapshot fresh = connectedSnapshot(t0, t0.addSecs(600));
        h.service->load = [&] {
            return h.service->count(u"start"_s) ? fresh : stale;
        };
        h.service->delay = h.service->loadDelay = h.service->commandDelay = 20ms;
        h.make();
        h.store->requestRefresh();
        QVERIFY(h.refresh());
        QCOMPARE(h.service->count(u"start"_s), 1);

        // The guard is released afterwards: a later expiry is re-issued again.
        h.clock = t0.addSecs(3600);
        QVERIFY(h.refresh());
        QCOMPARE(h.service->count(u"start"_s), 2);
    }

    // Catches a pairing wait that stops early, hides a read error or drops the last read.
    void waitForFreshCode()
    {
        Harness h;
        const BridgeSnapshot old = connectedSnapshot(t0.addSecs(-60), t0.addSecs(600));
        const BridgeSnapshot fresh = connectedSnapshot(t0, t0.addSecs(600));
        std::function<BridgeSnapshot(int read)> afterStart = [&](int) {
            return old;
        };
        h.service->load = [&] {
            return h.service->count(u"start"_s) ? afterStart(h.service->count(u"load"_s)) : old;
        };
        h.make();
        QVERIFY(h.refresh());
        h.service->calls.clear();

        h.store->startBridge();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.service->count(u"load"_s), 20);
        // Each successful read also asks npm for the latest version.
        QCOMPARE(h.service->count(u"fetch"_s), 20);
        QCOMPARE(h.store->state().errorMessage,
                 BridgeMenuBarActionError::pairingTimeout().errorDescription());
        QCOMPARE(h.store->state().transientMessage, u""_s);
        QCOMPARE(h.store->snapshot(), old);
        QVERIFY(!h.store->isPerformingAction());

        afterStart = [&](int read) {
            if (read == 1)
                throw BridgeControlError::commandFailed(u"status"_s, u"status is busy"_s);
            return read < 4 ? old : fresh;
        };
        h.service->calls.clear();
        // Each new error text, from the one on screen before the action on.
        QStringList errors{h.store->state().errorMessage};
        connect(h.store.get(), &BridgeMenuBarStore::stateChanged, h.store.get(), [&] {
            if (errors.last() != h.store->state().errorMessage)
                errors << h.store->state().errorMessage;
        });
        h.store->startBridge();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.service->count(u"load"_s), 4);
        QCOMPARE(h.store->snapshot(), fresh);
        QCOMPARE(h.store->state().transientMessage, u"Mac connection started."_s);
        QCOMPARE(errors,
                 (QStringList{BridgeMenuBarActionError::pairingTimeout().errorDescription(), u""_s,
                              u"status is busy"_s}));
    }

    // Catches a second action run, or reported, while one is running.
    void secondActionIsDropped()
    {
        Harness h;
        h.make();
        QStringList messages;
        connect(h.store.get(), &BridgeMenuBarStore::stateChanged, h.store.get(), [&] {
            if (messages.isEmpty() || messages.last() != h.store->state().transientMessage)
                messages << h.store->state().transientMessage;
        });
        h.store->stopBridge();
        h.store->stopBridge();
        h.store->resetPairing();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.service->count(u"stop"_s), 1);
        QCOMPARE(h.service->count(u"reset"_s), 0);
        QCOMPARE(messages, (QStringList{u""_s, u"Mac connection stopped."_s}));
    }

    // Catches a start that waits against a session published after the press.
    void startNotesSessionAtPress()
    {
        Harness h;
        const BridgeSnapshot shown = connectedSnapshot(t0.addSecs(-60), t0.addSecs(600));
        const BridgeSnapshot newer = connectedSnapshot(t0, t0.addSecs(600));
        bool pressed = false;
        h.service->load = [&] {
            return pressed ? newer : shown;
        };
        h.make();
        QVERIFY(h.refresh());

        pressed = true;
        h.store->startBridge();
        h.store->requestRefresh(); // publishes `newer` while the action checks the tool
        QVERIFY(h.waitIdle());
        QCOMPARE(h.store->state().transientMessage, u"Mac connection started."_s);
        QCOMPARE(h.store->state().errorMessage, u""_s);
    }

    // Catches a bridge command run without a usable tool (a running check counts as none).
    void actionsNeedTheTool()
    {
        Harness h;
        h.service->availability = BridgeCLIAvailability::broken(u"node: bad option: --x"_s);
        h.make();
        h.store->resetPairing();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.store->state().errorMessage, u"node: bad option: --x"_s);
        QCOMPARE(h.service->count(u"reset"_s), 0);

        // A detection still running counts as missing.
        h.service->availability = BridgeCLIAvailability::checking();
        h.store->stopBridge();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.store->state().errorMessage,
                 BridgeMenuBarActionError::missingCLI().errorDescription());
    }

    // Catches setup without Codex, a skipped install, or an address adopted from nowhere.
    void setupNeedsCodexAndAdoptsAddress()
    {
        Harness h;
        h.service->availability = BridgeCLIAvailability::missing();
        h.service->codexPath.reset();
        h.make(true);
        QVERIFY(h.waitIdle());
        QCOMPARE(h.store->setupStatusMessage(), u""_s);
        QCOMPARE(h.service->count(u"install"_s), 0);

        h.store->runFirstRunSetup();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.store->setupStatusMessage(), u"Checking Codex on this Mac..."_s);
        QCOMPARE(h.store->state().errorMessage,
                 BridgeMenuBarActionError::missingCodex().errorDescription());

        h.service->codexPath = u"/opt/Codex"_s;
        h.service->command = [&](const QString &command) {
            if (command == "install"_L1)
                h.service->availability = BridgeCLIAvailability::available(u"0.4.2"_s);
        };
        h.store->runFirstRunSetup();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.service->count(u"install"_s), 1);
        QCOMPARE(h.store->state().transientMessage, u"Mac connection is ready."_s);
        QCOMPARE(h.store->relayOverride(), u""_s);

        // A bridge still connecting, with a blank configured relay and a relay in its payload.
        BridgeSnapshot connecting = connectedSnapshot(t0.addSecs(-60), t0.addSecs(600), u" "_s);
        connecting.bridgeStatus->connectionStatus = u"connecting"_s;
        connecting.pairingSession->pairingPayload->relay = u"ws://192.168.1.9/relay"_s;
        const BridgeSnapshot fresh = connectedSnapshot(t0, t0.addSecs(600));
        h.service->load = [&] {
            return h.service->count(u"start"_s) ? fresh : connecting;
        };
        h.service->calls.clear();
        QVERIFY(h.refresh());
        h.store->runFirstRunSetup();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.store->state().transientMessage, u"Mac connection is ready."_s);
        QCOMPARE(h.store->relayOverride(), u"ws://192.168.1.9/relay"_s);
        QCOMPARE(h.service->calls.filter(u"start"_s),
                 QStringList{u"start ws://192.168.1.9/relay"_s});
        QSettings saved(h.dir.filePath(u"settings.conf"_s), QSettings::NativeFormat);
        QCOMPARE(saved.value(u"pivra.menuBar.relayOverride"_s).toString(),
                 u"ws://192.168.1.9/relay"_s);
    }

    void settingsFileProblems_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("readable"); // no problem shown at start-up
        QTest::addColumn<bool>("saves");
        QTest::newRow("none yet") << u"none"_s << true << true;
        QTest::newRow("garbage around a good line") << u"garbage"_s << false << true;
        QTest::newRow("a folder in its place") << u"folder"_s << false << false;
        QTest::newRow("a FIFO in its place") << u"fifo"_s << false << false;
    }

    // Catches a settings file that hangs start-up (a FIFO), a good save reported as failed
    // because the file once held garbage, a failure that stops being shown while the store goes
    // on with the address in memory, and a blank address stored as none or a cleared one kept.
    void settingsFileProblems()
    {
        QFETCH(QString, kind);
        QFETCH(bool, readable);
        QFETCH(bool, saves);
        Harness h;
        const QString path = h.dir.filePath(u"settings.conf"_s);
        if (kind == u"garbage"_s)
            QVERIFY(TestFiles::write(path, "\xff\xfe [[[\n=== \x01\x02\n[General]\nother=kept\n"));
        else if (kind == u"folder"_s)
            QVERIFY(QDir().mkpath(path));
        else if (kind == u"fifo"_s)
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        h.make();
        QCOMPARE(h.store->state().errorMessage.isEmpty(), readable);
        const auto stored = [&] {
            return QSettings(path, QSettings::NativeFormat).value(u"pivra.menuBar.relayOverride"_s);
        };

        h.store->saveRelayOverride(u" \t\n"_s);
        QVERIFY(h.waitIdle());
        if (saves)
            QCOMPARE(stored(), QVariant(u""_s));
        h.store->saveRelayOverride(u"ws://10.0.0.2/relay"_s);
        QVERIFY(h.waitIdle());
        const QString problem = u"The connection address could not be saved to %1."_s.arg(path);
        QCOMPARE(h.store->state().errorMessage, saves ? QString() : problem);
        QVERIFY(h.service->calls.contains(u"load ws://10.0.0.2/relay"_s));
        h.store->stopBridge();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.store->state().transientMessage, u"Mac connection stopped."_s);
        QCOMPARE(h.store->state().errorMessage, saves ? QString() : problem);
        if (!saves)
            return;
        QCOMPARE(stored().toString(), u"ws://10.0.0.2/relay"_s);
        QCOMPARE(QSettings(path, QSettings::NativeFormat).value(u"other"_s).toString(),
                 kind == u"garbage"_s ? u"kept"_s : QString());
        h.store->clearRelayOverride();
        QVERIFY(h.waitIdle());
        QVERIFY(!stored().isValid());
    }

    // Catches a vanished tool leaving its last snapshot and messages on screen.
    void toolDisappears()
    {
        Harness h;
        h.make();
        h.store->stopBridge();
        QVERIFY(h.waitIdle());
        QVERIFY(!h.store->state().transientMessage.isEmpty());
        h.service->availability = BridgeCLIAvailability::missing();
        QVERIFY(h.refresh());
        QCOMPARE(h.store->snapshot(), std::nullopt);
        QCOMPARE(h.store->state().updateState, BridgePackageUpdateState{});
        QCOMPARE(h.store->state().transientMessage, u""_s);
        QVERIFY(!h.store->presentation().isSetupReady);
    }

    // Catches a blank log path opening a folder the user never meant.
    void openLogsFolder()
    {
        Harness h;
        h.service->load = [] {
            BridgeSnapshot snapshot = connectedSnapshot(t0, t0.addSecs(600));
            snapshot.stderrLogPath = u"  "_s;
            return snapshot;
        };
        h.make();
        h.store->openLogsFolder();
        QVERIFY(h.refresh());
        h.store->openLogsFolder();
        h.service->load = [] {
            return connectedSnapshot(t0, t0.addSecs(600));
        };
        QVERIFY(h.refresh());
        h.store->openLogsFolder();
        const QString fallback = QDir::homePath() + u"/.pivra"_s;
        QCOMPARE(h.opened, (QStringList{fallback, fallback, u"/state"_s}));
    }

    // Catches an update that starts a bridge the user had stopped.
    void updateLeavesAStoppedBridgeStopped()
    {
        Harness h;
        h.service->load = [] {
            BridgeSnapshot snapshot = connectedSnapshot(t0, t0.addSecs(600));
            snapshot.launchdLoaded = false;
            return snapshot;
        };
        h.make();
        QVERIFY(h.refresh());
        h.store->updateBridgePackage();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.service->count(u"start"_s), 0);
        QCOMPARE(h.store->state().transientMessage, u"Mac connector updated."_s);
        QCOMPARE(h.service->scriptedRunner().commands,
                 QStringList{u"npm install -g pivra@latest"_s});
    }
};

QTEST_GUILESS_MAIN(TestBridgeMenuBarStore)
#include "tst_bridgemenubarstore.moc"
