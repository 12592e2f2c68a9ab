// The store's ordering and messages against the scripted service, whose calls interleave.
#include "BridgeMenuBarStore.h"
#include "StoreHarness.h"

#include <QFile>
#include <QSettings>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace scripted;

class TestBridgeMenuBarStore : public QObject
{
    Q_OBJECT

    // Runs one of the panel's calls, and whatever it starts, to completion.
    static bool finish(StoreHarness &h, const char *call)
    {
        return QMetaObject::invokeMethod(h.store.get(), call) && h.waitIdle();
    }

private Q_SLOTS:
    void refreshCallers_data()
    {
        QTest::addColumn<QByteArray>("caller");
        // Only the panel's refresh shows the spinner and keeps the snapshot when it fails. Saving
        // and clearing the override take the panel's path; resume and reset take stop's.
        QTest::addColumn<bool>("fromPanel");
        QTest::newRow("panel refresh") << "requestRefresh"_ba << true;
        QTest::newRow("stop") << "stopBridge"_ba << false;
        QTest::newRow("update") << "updateBridgePackage"_ba << false;
    }

    // Catches a caller that shows the spinner, or keeps a stale snapshot, against its rule, and
    // an update that starts a bridge the user had stopped.
    void refreshCallers()
    {
        QFETCH(QByteArray, caller);
        QFETCH(bool, fromPanel);

        StoreHarness h;
        BridgeSnapshot stopped = connectedSnapshot(t0, t0.addSecs(600));
        stopped.launchdLoaded = false;
        h.service->load = [&] {
            return stopped;
        };
        h.make();
        QVERIFY(h.refresh());
        h.service->load = []() -> BridgeSnapshot {
            throw BridgeControlError::invalidSnapshot(u"Bridge status returned malformed JSON."_s);
        };
        bool sawSpinner = false;
        connect(h.store.get(), &BridgeMenuBarStore::stateChanged, h.store.get(),
                [&] { sawSpinner |= h.store->isRefreshing(); });
        QVERIFY(finish(h, caller.constData()));

        QCOMPARE(sawSpinner, fromPanel);
        QCOMPARE(h.service->count(u"start"_s), 0);
        QVERIFY(!h.store->isRefreshing());
        QCOMPARE(h.store->snapshot().has_value(), fromPanel);
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
        QTest::addColumn<QString>("restart"); // the address started with; "" for none
        QTest::newRow("live payload") << u"connected"_s << 600 << u"ws://r"_s << u""_s << u""_s;
        QTest::newRow("expires now") << u"connected"_s << 0 << u"ws://r"_s << u""_s << u"ws://r"_s;
        QTest::newRow("no payload") << u"connected"_s << -1 << u"ws://r"_s << u""_s << u"ws://r"_s;
        QTest::newRow("still connecting") << u"connecting"_s << 0 << u"ws://r"_s << u""_s << u""_s;
        QTest::newRow("no relay known") << u"connected"_s << 0 << u" "_s << u""_s << u""_s;
        QTest::newRow("saved override wins")
            << u"connected"_s << 0 << u"ws://r"_s << u"  wss://10.1.2.3/relay "_s
            << u"wss://10.1.2.3/relay"_s;
    }

    // Catches a pairing re-issue under the wrong conditions or with the wrong address, repeated
    // by an overlapping refresh, or never allowed again.
    void reissueConditions()
    {
        QFETCH(QString, connection);
        QFETCH(int, expiresInSeconds);
        QFETCH(QString, relayUrl);
        QFETCH(QString, savedOverride);
        QFETCH(QString, restart);

        StoreHarness h;
        BridgeSnapshot stale
            = connectedSnapshot(t0.addSecs(-600), t0.addSecs(expiresInSeconds), relayUrl);
        stale.bridgeStatus->connectionStatus = connection;
        if (expiresInSeconds < 0)
            stale.pairingSession.reset();
        const BridgeSnapshot fresh = connectedSnapshot(t0, t0.addSecs(600), relayUrl);
        // Fresh once a start has finished, so that an overlapping refresh still reads stale.
        bool started = false;
        h.service->command = [&](const QString &command) {
            started |= command == "start"_L1;
        };
        h.service->load = [&] {
            return started ? fresh : stale;
        };
        h.make();
        if (!savedOverride.isEmpty())
            h.store->saveRelayOverride(savedOverride);
        h.store->requestRefresh();
        h.store->requestRefresh();
        QVERIFY(h.waitIdle());

        QCOMPARE(h.service->calls.filter(u"start"_s),
                 restart.isEmpty() ? QStringList{} : QStringList{u"start "_s + restart});
        if (!restart.isEmpty()) {
            QCOMPARE(h.store->snapshot(), fresh);
            // A later expiry is re-issued again.
            h.clock = t0.addSecs(3600);
            QVERIFY(h.refresh());
            QCOMPARE(h.service->count(u"start"_s), 2);
        }
    }

    // Catches a pairing wait that stops early, or hides or stops at a failed read.
    void waitForFreshCode()
    {
        StoreHarness h;
        h.service->load = [&] {
            if (h.service->count(u"start"_s) && h.service->count(u"load"_s) == 2)
                throw BridgeControlError::commandFailed(u"status"_s, u"status is busy"_s);
            return connectedSnapshot(t0.addSecs(-60), t0.addSecs(600));
        };
        h.make();
        QVERIFY(h.refresh());
        h.service->latestVersion = u"0.5.0"_s; // learnt from a read during the wait
        // Each new error text, from the one on screen before the action on.
        QStringList errors{h.store->state().errorMessage};
        connect(h.store.get(), &BridgeMenuBarStore::stateChanged, h.store.get(), [&] {
            if (errors.last() != h.store->state().errorMessage)
                errors << h.store->state().errorMessage;
        });

        QVERIFY(finish(h, "startBridge"));
        QCOMPARE(h.service->count(u"load"_s), 21);
        // Each successful read also asks npm for the latest version.
        QCOMPARE(h.service->count(u"fetch"_s), 20);
        QCOMPARE(errors,
                 (QStringList{u""_s, u"status is busy"_s,
                              BridgeMenuBarActionError::pairingTimeout().errorDescription()}));
        QCOMPARE(h.store->state().transientMessage, u""_s); // a timed-out start is no success
        QCOMPARE(h.store->state().updateState.latestVersion, u"0.5.0"_s);
    }

    // Catches a second action run, or reported, while one is running, and a start that waits
    // against a session published after the press.
    void actionInFlight()
    {
        StoreHarness h;
        // The session on screen at the press, and a newer one published after it.
        bool pressed = false;
        h.service->load = [&] {
            return connectedSnapshot(pressed ? t0 : t0.addSecs(-60), t0.addSecs(600));
        };
        h.make();
        QVERIFY(h.refresh());
        QStringList messages;
        connect(h.store.get(), &BridgeMenuBarStore::stateChanged, h.store.get(), [&] {
            if (messages.isEmpty() || messages.last() != h.store->state().transientMessage)
                messages << h.store->state().transientMessage;
        });

        pressed = true;
        h.service->delay = 20ms; // the action's tool check outlasts the refresh below
        h.store->startBridge();
        h.service->delay = 5ms;
        h.store->stopBridge();
        h.store->requestRefresh(); // publishes the newer session while the action checks the tool
        QVERIFY(h.waitIdle());
        QCOMPARE(h.service->count(u"stop"_s), 0);
        QCOMPARE(messages, (QStringList{u""_s, u"Mac connection started."_s}));
    }

    // Catches a vanished tool leaving its last snapshot and messages on screen, and a bridge
    // command run without a usable tool (a running check counts as none).
    void withoutTheTool()
    {
        StoreHarness h;
        h.make();
        QVERIFY(finish(h, "stopBridge")); // leaves "Mac connection stopped." on screen
        h.service->availability = BridgeCLIAvailability::missing();
        QVERIFY(h.refresh());
        QCOMPARE(h.store->snapshot(), std::nullopt);
        QCOMPARE(h.store->state().updateState, BridgePackageUpdateState{});
        QCOMPARE(h.store->state().transientMessage, u""_s);
        QVERIFY(!h.store->presentation().isSetupReady);

        h.service->availability = BridgeCLIAvailability::broken(u"node: bad option: --x"_s);
        QVERIFY(finish(h, "resetPairing"));
        QCOMPARE(h.store->state().errorMessage, u"node: bad option: --x"_s);
        h.service->availability = BridgeCLIAvailability::checking();
        QVERIFY(finish(h, "stopBridge"));
        QCOMPARE(h.store->state().errorMessage,
                 BridgeMenuBarActionError::missingCLI().errorDescription());
        QCOMPARE(h.service->count(u"stop"_s) + h.service->count(u"reset"_s), 1);
    }

    // Catches setup without Codex, a skipped install, or an address adopted from nowhere.
    void setupNeedsCodexAndAdoptsAddress()
    {
        StoreHarness h;
        h.service->availability = BridgeCLIAvailability::missing();
        h.service->codexPath.reset();
        h.make(true);
        QVERIFY(h.waitIdle());
        QCOMPARE(h.store->setupStatusMessage(), u""_s);
        QVERIFY(finish(h, "runFirstRunSetup"));
        QCOMPARE(h.store->state().errorMessage,
                 BridgeMenuBarActionError::missingCodex().errorDescription());

        h.service->codexPath = u"/opt/Codex"_s;
        h.service->command = [&](const QString &command) {
            if (command == "install"_L1)
                h.service->availability = BridgeCLIAvailability::available(u"0.4.2"_s);
        };
        QVERIFY(finish(h, "runFirstRunSetup"));
        QCOMPARE(h.service->count(u"install"_s), 1); // none in the run without Codex
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
        QVERIFY(finish(h, "runFirstRunSetup"));
        QCOMPARE(h.service->calls.filter(u"start"_s),
                 QStringList{u"start ws://192.168.1.9/relay"_s});
        QSettings saved(h.dir.filePath(u"settings.conf"_s), QSettings::NativeFormat);
        QCOMPARE(saved.value(u"pivra.menuBar.relayOverride"_s).toString(),
                 u"ws://192.168.1.9/relay"_s);
    }

    void settingsFileProblems_data()
    {
        // Only the file holding garbage can still be written; a folder fails as the FIFO does.
        QTest::addColumn<bool>("saves");
        QTest::newRow("garbage around a good line") << true;
        QTest::newRow("a FIFO in its place") << false;
    }

    // Catches a settings file that hangs start-up (a FIFO), a good save reported as failed
    // because the file once held garbage, a failure that stops being shown while the store goes
    // on with the address in memory, and a blank address stored as none.
    void settingsFileProblems()
    {
        QFETCH(bool, saves);
        StoreHarness h;
        const QString path = h.dir.filePath(u"settings.conf"_s);
        if (saves) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly)
                    && file.write("\xff\xfe [[[\n=== \x01\x02\n[General]\nother=kept\n") > 0);
        } else {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        }
        h.make();
        QVERIFY(!h.store->state().errorMessage.isEmpty());
        const auto stored = [&](const QString &key) {
            return QSettings(path, QSettings::NativeFormat).value(key);
        };

        h.store->saveRelayOverride(u" \t\n"_s);
        QVERIFY(h.waitIdle());
        if (saves)
            QCOMPARE(stored(u"pivra.menuBar.relayOverride"_s), QVariant(u""_s));
        h.store->saveRelayOverride(u"ws://10.0.0.2/relay"_s);
        QVERIFY(h.waitIdle());
        const QString problem = u"The connection address could not be saved to %1."_s.arg(path);
        QCOMPARE(h.store->state().errorMessage, saves ? QString() : problem);
        QVERIFY(h.service->calls.contains(u"load ws://10.0.0.2/relay"_s));
        QVERIFY(finish(h, "stopBridge"));
        QCOMPARE(h.store->state().transientMessage, u"Mac connection stopped."_s);
        QCOMPARE(h.store->state().errorMessage, saves ? QString() : problem);
        if (!saves)
            return;
        QCOMPARE(stored(u"pivra.menuBar.relayOverride"_s).toString(), u"ws://10.0.0.2/relay"_s);
        QCOMPARE(stored(u"other"_s).toString(), u"kept"_s);
    }

    // Catches a blank log path opening a folder the user never meant.
    void openLogsFolder()
    {
        StoreHarness h;
        BridgeSnapshot snapshot = connectedSnapshot(t0, t0.addSecs(600));
        h.service->load = [&] {
            return snapshot;
        };
        h.make();
        h.store->openLogsFolder();
        QVERIFY(h.refresh());
        h.store->openLogsFolder();
        snapshot.stderrLogPath = u"  "_s;
        QVERIFY(h.refresh());
        h.store->openLogsFolder();
        const QString fallback = QDir::homePath() + u"/.pivra"_s;
        QCOMPARE(h.opened, (QStringList{fallback, u"/state"_s, fallback}));
    }
};

QTEST_GUILESS_MAIN(TestBridgeMenuBarStore)
#include "tst_bridgemenubarstore.moc"
