// The store's ordering and messages against a scripted service: every service call suspends
// for a moment like a real command does, so interleavings can be set up and observed.
#include "BridgeMenuBarStore.h"
#include "LocalPairingAdvertiser.h"
#include "ScriptedBridgeService.h"
#include "StoreHarness.h"

#include <QCoro/QCoroTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

using scripted::connectedSnapshot;
using scripted::ScriptedService;
using scripted::t0;

using Harness = scripted::StoreHarness;

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
        QTest::newRow("panel refresh") << u"refresh"_s << true << false;
        QTest::newRow("save override") << u"save"_s << true << false;
        QTest::newRow("clear override") << u"clear"_s << true << false;
        QTest::newRow("stop") << u"stop"_s << false << true;
        QTest::newRow("resume") << u"resume"_s << false << true;
        QTest::newRow("reset") << u"reset"_s << false << true;
        QTest::newRow("update") << u"update"_s << false << true;
    }

    // Which callers show the spinner and which empty the snapshot when their refresh fails.
    void refreshCallers()
    {
        QFETCH(QString, caller);
        QFETCH(bool, showsSpinner);
        QFETCH(bool, clearsOnFailure);

        Harness h;
        const BridgeSnapshot shown = connectedSnapshot(t0, t0.addSecs(600));
        h.service->load = [&] {
            return shown;
        };
        h.make();
        h.store->refresh();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.store->snapshot(), shown);

        h.service->load = []() -> BridgeSnapshot {
            throw BridgeControlError::invalidSnapshot(u"Bridge status returned malformed JSON."_s);
        };
        bool sawSpinner = false;
        connect(h.store.get(), &BridgeMenuBarStore::isRefreshingChanged, h.store.get(),
                [&] { sawSpinner |= h.store->isRefreshing(); });
        const QMap<QString, std::function<void()>> callers{
            {u"refresh"_s,
             [&] {
                 h.store->refresh();
             }},
            {u"save"_s,
             [&] {
                 h.store->saveRelayOverride(u" ws://10.0.0.2/relay \n"_s);
             }},
            {u"clear"_s,
             [&] {
                 h.store->clearRelayOverride();
             }},
            {u"stop"_s,
             [&] {
                 h.store->stopBridge();
             }},
            {u"resume"_s,
             [&] {
                 h.store->resumeLastThread();
             }},
            {u"reset"_s,
             [&] {
                 h.store->resetPairing();
             }},
            {u"update"_s,
             [&] {
                 h.store->updateBridgePackage();
             }},
        };
        callers[caller]();
        QVERIFY(h.waitIdle());

        QCOMPARE(sawSpinner, showsSpinner);
        QVERIFY(!h.store->isRefreshing());
        QCOMPARE(h.store->snapshot().has_value(), !clearsOnFailure);
        QCOMPARE(h.store->errorMessage(), u"Bridge status returned malformed JSON."_s);
        // A failed refresh at the end of an action fails the action: no success text.
        QCOMPARE(h.store->transientMessage(), u""_s);
    }

    void reissueConditions_data()
    {
        QTest::addColumn<QString>("connection");
        QTest::addColumn<int>("expiresInSeconds"); // 0: expires exactly now; -1: no payload
        QTest::addColumn<QString>("relayUrl");
        QTest::addColumn<bool>("reissues");
        QTest::newRow("live payload") << u"connected"_s << 600 << u"ws://r"_s << false;
        QTest::newRow("expires exactly now") << u"connected"_s << 0 << u"ws://r"_s << true;
        QTest::newRow("no payload") << u"connected"_s << -1 << u"ws://r"_s << true;
        QTest::newRow("other letter case") << u"CONNECTED"_s << 0 << u"ws://r"_s << true;
        QTest::newRow("still connecting") << u"connecting"_s << 0 << u"ws://r"_s << false;
        QTest::newRow("no relay known") << u"connected"_s << 0 << u" "_s << false;
    }

    // The bridge is restarted for a new pairing code only when it is connected, its code is
    // missing or expired, and some relay address is known; the restart carries that address.
    void reissueConditions()
    {
        QFETCH(QString, connection);
        QFETCH(int, expiresInSeconds);
        QFETCH(QString, relayUrl);
        QFETCH(bool, reissues);

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
        h.store->refresh();
        QVERIFY(h.waitIdle());

        QCOMPARE(h.service->count(u"start"_s), reissues ? 1 : 0);
        if (reissues) {
            QCOMPARE(h.service->calls.filter(u"start"_s).constFirst(), u"start ws://r"_s);
            QCOMPARE(h.store->snapshot(), fresh);
            QCOMPARE(h.store->errorMessage(), u""_s);
        }
    }

    // A saved override wins over the bridge's own address for the restart.
    void reissueUsesSavedOverride()
    {
        Harness h;
        const BridgeSnapshot stale = connectedSnapshot(t0.addSecs(-600), t0);
        const BridgeSnapshot fresh = connectedSnapshot(t0, t0.addSecs(600));
        h.service->load = [&] {
            return h.service->count(u"start"_s) ? fresh : stale;
        };
        h.make();
        h.store->saveRelayOverride(u"  wss://10.1.2.3/relay "_s);
        QVERIFY(h.waitIdle());
        QCOMPARE(h.service->calls.filter(u"start"_s), QStringList{u"start wss://10.1.2.3/relay"_s});
        QVERIFY(h.service->calls.contains(u"load wss://10.1.2.3/relay"_s));
    }

    // Two refreshes that both find the code expired restart the bridge once.
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
        h.store->refresh();
        h.store->refresh();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.service->count(u"start"_s), 1);

        // The guard is released afterwards: a later expiry is re-issued again.
        h.clock = t0.addSecs(3600);
        h.store->refresh();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.service->count(u"start"_s), 2);
    }

    // A read error during the wait is shown and the wait goes on; the error stays after a
    // fresh read ends the wait, beside the action's success text.
    void readErrorDuringWaitIsKept()
    {
        Harness h;
        const BridgeSnapshot old = connectedSnapshot(t0.addSecs(-60), t0.addSecs(600));
        const BridgeSnapshot fresh = connectedSnapshot(t0, t0.addSecs(600));
        int reads = 0;
        h.service->load = [&]() -> BridgeSnapshot {
            ++reads;
            if (!h.service->count(u"start"_s))
                return old;
            if (reads == 2)
                throw BridgeControlError::commandFailed(u"status"_s, u"status is busy"_s);
            return reads < 5 ? old : fresh;
        };
        h.make();
        h.store->refresh();
        QVERIFY(h.waitIdle());

        QStringList errors;
        connect(h.store.get(), &BridgeMenuBarStore::errorMessageChanged, h.store.get(),
                [&] { errors << h.store->errorMessage(); });
        h.store->startBridge();
        QVERIFY(h.waitIdle());
        QCOMPARE(reads, 5);
        QCOMPARE(h.store->snapshot(), fresh);
        QCOMPARE(h.store->transientMessage(), u"Mac connection started."_s);
        QCOMPARE(h.store->errorMessage(), u"status is busy"_s);
        QCOMPARE(errors, (QStringList{u""_s, u"status is busy"_s}));
    }

    // The wait gives up after exactly twenty reads, keeping the last snapshot it read.
    void pairingTimeoutAfterTwentyReads()
    {
        Harness h;
        const BridgeSnapshot old = connectedSnapshot(t0.addSecs(-60), t0.addSecs(600));
        h.service->load = [&] {
            return old;
        };
        h.make();
        h.store->refresh();
        QVERIFY(h.waitIdle());
        h.service->calls.clear();

        h.store->startBridge();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.service->count(u"load"_s), 20);
        // Each successful read also asks npm for the latest version.
        QCOMPARE(h.service->count(u"fetch"_s), 20);
        QCOMPARE(h.store->errorMessage(),
                 BridgeMenuBarActionError::pairingTimeout().errorDescription());
        QCOMPARE(h.store->transientMessage(), u""_s);
        QCOMPARE(h.store->snapshot(), old);
        QVERIFY(!h.store->isPerformingAction());
    }

    // A second press while an action runs is dropped without any message.
    void secondActionIsDropped()
    {
        Harness h;
        h.service->load = [&] {
            return connectedSnapshot(t0, t0.addSecs(600));
        };
        h.make();
        QStringList messages;
        connect(h.store.get(), &BridgeMenuBarStore::transientMessageChanged, h.store.get(),
                [&] { messages << h.store->transientMessage(); });
        h.store->stopBridge();
        h.store->stopBridge();
        h.store->resetPairing();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.service->count(u"stop"_s), 1);
        QCOMPARE(h.service->count(u"reset"_s), 0);
        QCOMPARE(messages, (QStringList{u""_s, u"Mac connection stopped."_s}));
    }

    // The start action compares against the session shown when the button was pressed, even
    // if a newer one is published while the tool check runs.
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
        h.store->refresh();
        QVERIFY(h.waitIdle());

        pressed = true;
        h.store->startBridge();
        h.store->refresh(); // publishes `newer` while the action checks the tool
        QVERIFY(h.waitIdle());
        QCOMPARE(h.store->transientMessage(), u"Mac connection started."_s);
        QCOMPARE(h.store->errorMessage(), u""_s);
    }

    // A missing tool fails every bridge action before any command runs.
    void actionsNeedTheTool()
    {
        Harness h;
        h.service->availability = BridgeCLIAvailability::broken(u"node: bad option: --x"_s);
        h.service->load = [&] {
            return connectedSnapshot(t0, t0.addSecs(600));
        };
        h.make();
        h.store->resetPairing();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.store->errorMessage(), u"node: bad option: --x"_s);
        QCOMPARE(h.service->count(u"reset"_s), 0);

        // A detection still running counts as missing.
        h.service->availability = BridgeCLIAvailability::checking();
        h.store->stopBridge();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.store->errorMessage(),
                 BridgeMenuBarActionError::missingCLI().errorDescription());
    }

    // Start-up with nothing installed: every step text in order, the package installed, the
    // bridge's address adopted as the saved override, and ready at the end.
    void firstRunSetup()
    {
        Harness h;
        h.service->availability = BridgeCLIAvailability::missing();
        const BridgeSnapshot ready = connectedSnapshot(t0, t0.addSecs(600));
        h.service->load = [&] {
            return ready;
        };
        h.service->command = [&](const QString &command) {
            if (command == "install"_L1)
                h.service->availability = BridgeCLIAvailability::available(u"0.4.2"_s);
        };
        QStringList steps;
        h.make(true);
        connect(h.store.get(), &BridgeMenuBarStore::setupStatusMessageChanged, h.store.get(),
                [&] { steps << h.store->setupStatusMessage(); });
        QVERIFY(h.waitIdle());

        QCOMPARE(steps,
                 (QStringList{
                     u"Preparing Pivra on this Mac..."_s, u"Checking Codex on this Mac..."_s,
                     u"Preparing the Pivra Mac connector..."_s,
                     u"Starting the secure Mac connection..."_s,
                     u"Preparing the phone pairing code..."_s, u"Ready to pair from iPhone."_s}));
        QCOMPARE(h.store->transientMessage(), u"Mac connection is ready."_s);
        QVERIFY(h.store->isSetupReady());
        QCOMPARE(h.service->count(u"install"_s), 1);
        // Nothing was known about the bridge before it started, so no address was adopted.
        QCOMPARE(h.store->relayOverride(), u""_s);
    }

    // A Mac without Codex never starts the automatic setup, and the panel's setup stops at
    // once; with Codex, setup saves the address the bridge already uses.
    void setupNeedsCodexAndAdoptsAddress()
    {
        Harness h;
        h.service->availability = BridgeCLIAvailability::missing();
        h.service->codexPath.reset();
        h.service->load = [] {
            return connectedSnapshot(t0, t0.addSecs(600));
        };
        h.make(true);
        QVERIFY(h.waitIdle());
        QCOMPARE(h.store->setupStatusMessage(), u""_s);
        QCOMPARE(h.service->count(u"install"_s), 0);

        h.store->runFirstRunSetup();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.store->setupStatusMessage(), u"Checking Codex on this Mac..."_s);
        QCOMPARE(h.store->errorMessage(),
                 BridgeMenuBarActionError::missingCodex().errorDescription());

        // A bridge still connecting, with a blank configured relay and a relay in its payload.
        BridgeSnapshot connecting = connectedSnapshot(t0.addSecs(-60), t0.addSecs(600), u" "_s);
        connecting.bridgeStatus->connectionStatus = u"connecting"_s;
        connecting.pairingSession->pairingPayload->relay = u"ws://192.168.1.9/relay"_s;
        const BridgeSnapshot fresh = connectedSnapshot(t0, t0.addSecs(600));
        h.service->availability = BridgeCLIAvailability::available(u"0.4.2"_s);
        h.service->codexPath = u"/opt/Codex"_s;
        h.service->load = [&] {
            return h.service->count(u"start"_s) ? fresh : connecting;
        };
        h.store->refresh();
        QVERIFY(h.waitIdle());
        h.store->runFirstRunSetup();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.store->transientMessage(), u"Mac connection is ready."_s);
        QCOMPARE(h.store->relayOverride(), u"ws://192.168.1.9/relay"_s);
        QCOMPARE(h.service->calls.filter(u"start"_s),
                 QStringList{u"start ws://192.168.1.9/relay"_s});
        QSettings saved(h.dir.filePath(u"settings.conf"_s), QSettings::NativeFormat);
        QCOMPARE(saved.value(u"pivra.menuBar.relayOverride"_s).toString(),
                 u"ws://192.168.1.9/relay"_s);
    }

    // Saving trims, stores even an empty text, clearing removes the key, and a new store reads
    // what was saved.
    void overridePersistence()
    {
        Harness h;
        h.service->load = [&] {
            return connectedSnapshot(t0, t0.addSecs(600));
        };
        h.make();
        const QString path = h.dir.filePath(u"settings.conf"_s);
        h.store->saveRelayOverride(u" \t\n"_s);
        QVERIFY(h.waitIdle());
        QVERIFY(
            QSettings(path, QSettings::NativeFormat).contains(u"pivra.menuBar.relayOverride"_s));
        QVERIFY(h.service->calls.contains(u"load -"_s));

        h.store->saveRelayOverride(u"ws://10.0.0.2:9000/relay\n"_s);
        QVERIFY(h.waitIdle());
        h.store.reset();
        h.make();
        QCOMPARE(h.store->relayOverride(), u"ws://10.0.0.2:9000/relay"_s);

        h.store->clearRelayOverride();
        QVERIFY(h.waitIdle());
        QVERIFY(
            !QSettings(path, QSettings::NativeFormat).contains(u"pivra.menuBar.relayOverride"_s));
        h.store.reset();
        h.make();
        QCOMPARE(h.store->relayOverride(), u""_s);
    }

    // A settings file that cannot be written is reported and keeps being reported; the store
    // goes on working with the address in memory.
    void unwritableSettings()
    {
        Harness h;
        h.service->load = [&] {
            return connectedSnapshot(t0, t0.addSecs(600));
        };
        QVERIFY(QDir(h.dir.path()).mkpath(u"settings.conf"_s)); // a folder where the file goes
        h.make();
        h.store->saveRelayOverride(u"ws://10.0.0.2/relay"_s);
        QVERIFY(h.waitIdle());
        QCOMPARE(h.store->relayOverride(), u"ws://10.0.0.2/relay"_s);
        QVERIFY(h.store->errorMessage().contains(u"could not be saved"_s));
        QVERIFY(h.service->calls.contains(u"load ws://10.0.0.2/relay"_s));
        h.store->stopBridge();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.store->transientMessage(), u"Mac connection stopped."_s);
        QVERIFY(h.store->errorMessage().contains(u"could not be saved"_s));
    }

    // A refresh that finds the tool gone empties everything and both messages.
    void toolDisappears()
    {
        Harness h;
        h.service->load = [&] {
            return connectedSnapshot(t0, t0.addSecs(600));
        };
        h.make();
        h.store->stopBridge();
        QVERIFY(h.waitIdle());
        QVERIFY(!h.store->transientMessage().isEmpty());
        h.service->availability = BridgeCLIAvailability::missing();
        h.store->refresh();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.store->snapshot(), std::nullopt);
        QCOMPARE(h.store->updateState(), BridgePackageUpdateState{});
        QCOMPARE(h.store->transientMessage(), u""_s);
        QVERIFY(!h.store->isSetupReady());
    }

    void openLogsFolder()
    {
        Harness h;
        h.make();
        h.store->openLogsFolder();
        h.service->load = [&] {
            return connectedSnapshot(t0, t0.addSecs(600));
        };
        h.store->refresh();
        QVERIFY(h.waitIdle());
        h.store->openLogsFolder();
        QCOMPARE(h.opened, (QStringList{QDir::homePath() + u"/.pivra"_s, u"/state"_s}));
    }

    // The update restarts a loaded bridge only.
    void updateRestartsLoadedBridge()
    {
        Harness h;
        BridgeSnapshot snapshot = connectedSnapshot(t0, t0.addSecs(600));
        h.service->load = [&] {
            return snapshot;
        };
        h.make();
        h.store->refresh();
        QVERIFY(h.waitIdle());
        h.store->updateBridgePackage();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.service->count(u"start"_s), 1);

        snapshot.launchdLoaded = false;
        h.store->refresh();
        QVERIFY(h.waitIdle());
        h.store->updateBridgePackage();
        QVERIFY(h.waitIdle());
        QCOMPARE(h.service->count(u"start"_s), 1);
        QCOMPARE(h.store->transientMessage(), u"Mac connector updated."_s);
        QCOMPARE(h.service->scriptedRunner().commands,
                 (QStringList{u"npm install -g pivra@latest"_s, u"npm install -g pivra@latest"_s}));
    }
};

QTEST_GUILESS_MAIN(TestBridgeMenuBarStore)
#include "tst_bridgemenubarstore.moc"
