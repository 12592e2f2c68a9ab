#include "BridgeStatusPresentation.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <functional>
#include <time.h>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(BridgeMenuBarState)

namespace {

// Far from the real clock, so a rule that reads the clock instead of `now` shows.
const QDateTime now = QDateTime::fromString(u"2031-03-14T12:00:00.000Z"_s, Qt::ISODateWithMs);
const qint64 nowMs = now.toMSecsSinceEpoch();

BridgeSnapshot bridge(std::optional<QString> connection, bool loaded = true)
{
    BridgeSnapshot snapshot;
    snapshot.currentVersion = u"1.2.0"_s;
    snapshot.label = u"com.pivra.bridge"_s;
    snapshot.platform = u"darwin"_s;
    snapshot.installed = true;
    snapshot.launchdLoaded = loaded;
    snapshot.stdoutLogPath = u"/tmp/out.log"_s;
    snapshot.stderrLogPath = u"/tmp/err.log"_s;
    if (connection)
        snapshot.bridgeStatus.emplace().connectionStatus = connection;
    return snapshot;
}

BridgeSnapshot withPayload(BridgeSnapshot snapshot, qint64 expiresAt)
{
    BridgePairingPayload &payload = snapshot.pairingSession.emplace().pairingPayload.emplace();
    payload.v = 1;
    payload.relay = u"ws://mac-mini.local:9000/relay"_s;
    payload.sessionId = u"session"_s;
    payload.macDeviceId = u"mac"_s;
    payload.macIdentityPublicKey = u"key"_s;
    payload.expiresAt = expiresAt;
    return snapshot;
}

BridgeMenuBarState with(const std::function<void(BridgeMenuBarState &)> &edit)
{
    BridgeMenuBarState state;
    edit(state);
    return state;
}

// A Mac whose tool and Codex are found; the rows add the rest.
BridgeMenuBarState ready(const std::function<void(BridgeMenuBarState &)> &edit)
{
    return with([&](BridgeMenuBarState &state) {
        state.cliAvailability = BridgeCLIAvailability::available(u"1.2.0"_s);
        state.codexAppPath = u"/Applications/Codex.app"_s;
        edit(state);
    });
}

const BridgePackageUpdateState updateOffered{u"1.2.0"_s, u"1.10.0"_s, std::nullopt};

BridgeStatusPresentation present(const BridgeMenuBarState &state)
{
    return BridgeStatusPresentation::make(state, now);
}

QStringList describe(const QList<FeedbackLine> &lines)
{
    QStringList described;
    for (const FeedbackLine &line : lines)
        described << tintName(line.tint) + u": "_s + line.text;
    return described;
}

QStringList keys(const QJsonValue &object)
{
    QStringList names = object.toObject().keys();
    names.sort();
    return names;
}

} // namespace

class TestBridgeStatusPresentation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void setupHeadline_data()
    {
        QTest::addColumn<BridgeMenuBarState>("state");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("tint");
        QTest::addColumn<QString>("pairingDetail");
        QTest::addColumn<QString>("pairingLabel");

        QTest::newRow("live payload wins over an action and a missing tool") << with([](auto &s) {
            s.snapshot = withPayload(bridge(u"connecting"_s), nowMs + 1);
            s.isPerformingAction = true;
            s.cliAvailability = BridgeCLIAvailability::missing();
        }) << u"Ready"_s << u"green"_s << u"Ready to scan"_s << u"Ready"_s;
        QTest::newRow("expiry equal to now is expired and wins over an action")
            << ready([](auto &s) {
                   s.snapshot = withPayload(bridge(u"connected"_s), nowMs);
                   s.isPerformingAction = true;
               })
            << u"Refresh Needed"_s << u"orange"_s << u"Expired - refresh pairing"_s << u"Expired"_s;
        QTest::newRow("action without payload")
            << ready([](auto &s) { s.isPerformingAction = true; }) << u"Working"_s << u"blue"_s
            << u"Waiting for setup"_s << u"Waiting"_s;
        QTest::newRow("no Codex") << with([](auto &s) {
            s.cliAvailability = BridgeCLIAvailability::available(u"1.2.0"_s);
        }) << u"Codex Needed"_s << u"orange"_s
                                  << u"Waiting for setup"_s << u"Waiting"_s;
        // With the tool available the setup tint follows the header tint.
        QTest::newRow("available, connected")
            << ready([](auto &s) { s.snapshot = bridge(u"Connected"_s); }) << u"Almost Ready"_s
            << u"green"_s << u"Waiting for setup"_s << u"Waiting"_s;
        QTest::newRow("available, update offered") << ready([](auto &s) {
            s.snapshot = bridge(u"Connected"_s);
            s.updateState = updateOffered;
        }) << u"Almost Ready"_s << u"orange"_s << u"Waiting for setup"_s
                                                   << u"Waiting"_s;
        // A missing tool gives an orange header but a yellow setup headline.
        QTest::newRow("missing tool") << with([](auto &s) {
            s.codexAppPath = u"/x"_s;
            s.cliAvailability = BridgeCLIAvailability::missing();
        }) << u"Setup Needed"_s << u"yellow"_s
                                      << u"Waiting for setup"_s << u"Waiting"_s;
        QTest::newRow("session without payload") << ready([](auto &s) {
            s.snapshot = bridge(u"connected"_s);
            s.snapshot->pairingSession.emplace().createdAt = u"x"_s;
        }) << u"Almost Ready"_s << u"green"_s << u"Waiting for setup"_s
                                                 << u"Waiting"_s;
    }

    void setupHeadline()
    {
        QFETCH(BridgeMenuBarState, state);
        const auto view = present(state);
        QTEST(view.setupStateTitle, "title");
        QTEST(tintName(view.setupTint), "tint");
        QTEST(view.pairingSetupDetail, "pairingDetail");
        QTEST(view.pairingStatusLabel, "pairingLabel");
        QCOMPARE(view.hasFreshPairingPayload, view.setupStateTitle == u"Ready"_s);
        QCOMPARE(view.setupButtonTitle,
                 view.hasFreshPairingPayload ? u"Refresh Pairing"_s : u"Repair Setup"_s);
    }

    void headerStatus_data()
    {
        QTest::addColumn<BridgeMenuBarState>("state");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("tint");

        QTest::newRow("no snapshot, available")
            << ready([](auto &) {}) << u"Loading"_s << u"gray"_s;
        QTest::newRow("no snapshot, broken")
            << with([](auto &s) { s.cliAvailability = BridgeCLIAvailability::broken(u"bad"_s); })
            << u"Setup Issue"_s << u"red"_s;
        QTest::newRow("no snapshot, checking")
            << BridgeMenuBarState{} << u"Checking"_s << u"yellow"_s;
        QTest::newRow("no snapshot, missing")
            << with([](auto &s) { s.cliAvailability = BridgeCLIAvailability::missing(); })
            << u"Setup Needed"_s << u"orange"_s;
        QTest::newRow("CONNECTED") << ready([](auto &s) { s.snapshot = bridge(u"CONNECTED"_s); })
                                   << u"Connected"_s << u"green"_s;
        // The title is trimmed; the tint compares the stored text untrimmed.
        QTest::newRow("padded connected")
            << ready([](auto &s) { s.snapshot = bridge(u" connected\n"_s, false); })
            << u"Connected"_s << u"gray"_s;
        QTest::newRow("several words")
            << ready([](auto &s) { s.snapshot = bridge(u"wAITING  for RELAY"_s); })
            << u"Waiting  For Relay"_s << u"blue"_s;
        QTest::newRow("blanks, loaded")
            << ready([](auto &s) { s.snapshot = bridge(u" \t "_s); }) << u"Running"_s << u"blue"_s;
        QTest::newRow("blanks, not loaded")
            << ready([](auto &s) { s.snapshot = bridge(u" \t "_s, false); }) << u"Stopped"_s
            << u"gray"_s;
        QTest::newRow("Starting") << ready([](auto &s) { s.snapshot = bridge(u"Starting"_s); })
                                  << u"Starting"_s << u"yellow"_s;
        QTest::newRow("ERROR") << ready([](auto &s) { s.snapshot = bridge(u"ERROR"_s); })
                               << u"Error"_s << u"red"_s;
        QTest::newRow("update hides green") << ready([](auto &s) {
            s.snapshot = bridge(u"connected"_s);
            s.updateState = updateOffered;
        }) << u"Connected"_s << u"orange"_s;
        QTest::newRow("same version is no update") << ready([](auto &s) {
            s.snapshot = bridge(u"connected"_s);
            s.updateState = {u"1.10.0"_s, u"1.10.0"_s, std::nullopt};
        }) << u"Connected"_s << u"green"_s;
        // The tool's state outranks the snapshot's colour but not its title.
        QTest::newRow("broken tool with a snapshot") << with([](auto &s) {
            s.snapshot = bridge(u"connected"_s);
            s.cliAvailability = BridgeCLIAvailability::broken(u"bad"_s);
        }) << u"Connected"_s << u"red"_s;
    }

    void headerStatus()
    {
        QFETCH(BridgeMenuBarState, state);
        const auto view = present(state);
        QTEST(view.currentStatusTitle, "title");
        QTEST(tintName(view.statusTint), "tint");
    }

    void chipsAndTiles_data()
    {
        QTest::addColumn<BridgeMenuBarState>("state");
        QTest::addColumn<QStringList>("chips");
        QTest::addColumn<QStringList>("tiles");
        QTest::addColumn<QString>("network");

        QTest::newRow("no snapshot, checking")
            << BridgeMenuBarState{} << QStringList{u"-"_s, u"-"_s, u"-"_s}
            << QStringList{u"Stopped"_s, u"unknown"_s, u"Waiting"_s, u"n/a"_s}
            << u"Not configured yet"_s;
        QTest::newRow("no snapshot, available, no latest")
            << ready(
                   [](auto &s) { s.cliAvailability = BridgeCLIAvailability::available(u"3.0"_s); })
            << QStringList{u"3.0"_s, u"..."_s, u"..."_s}
            << QStringList{u"Stopped"_s, u"unknown"_s, u"Waiting"_s, u"n/a"_s}
            << u"Not configured yet"_s;
        // The snapshot's version wins over the tool's; blank relayUrl falls back to the payload.
        QTest::newRow("blank relayUrl, payload relay")
            << ready([](auto &s) {
                   s.cliAvailability = BridgeCLIAvailability::available(u"9.9.9"_s);
                   s.snapshot = withPayload(bridge(u"  "_s, false), nowMs + 60'000);
                   s.snapshot->daemonConfig.emplace().relayUrl = u" \n"_s;
                   s.updateState.latestVersion = u"1.3.0"_s;
               })
            << QStringList{u"1.2.0"_s, u"1.3.0"_s, u"Local"_s}
            << QStringList{u"Stopped"_s, u"  "_s, u"Ready"_s, u"Not running"_s} << u"Local"_s;
        QTest::newRow("configured remote relay")
            << ready([](auto &s) {
                   s.snapshot = withPayload(bridge(u"CONNECTED"_s), nowMs);
                   s.snapshot->daemonConfig.emplace().relayUrl = u"wss://relay.example"_s;
               })
            << QStringList{u"1.2.0"_s, u"..."_s, u"Remote"_s}
            << QStringList{u"Ready"_s, u"CONNECTED"_s, u"Expired"_s, u"Ready in background"_s}
            << u"Remote"_s;
        QTest::newRow("no relay at all")
            << ready([](auto &s) { s.snapshot = bridge({}); })
            << QStringList{u"1.2.0"_s, u"..."_s, u"Unconfigured"_s}
            << QStringList{u"Ready"_s, u"unknown"_s, u"Waiting"_s, u"Ready in background"_s}
            << u"Unconfigured"_s;
    }

    void chipsAndTiles()
    {
        QFETCH(BridgeMenuBarState, state);
        const auto view = present(state);
        QStringList chipLabels, chipValues, tileLabels, tileValues;
        for (const auto &chip : view.chips) {
            chipLabels << chip.label;
            chipValues << chip.value;
        }
        for (const auto &tile : view.tiles) {
            tileLabels << tile.label;
            tileValues << tile.value;
        }
        QCOMPARE(chipLabels, (QStringList{u"Installed"_s, u"Latest"_s, u"Network"_s}));
        QCOMPARE(tileLabels,
                 (QStringList{u"Mac Service"_s, u"Connection"_s, u"Pairing"_s, u"Updated"_s}));
        QTEST(chipValues, "chips");
        QTEST(tileValues, "tiles");
        QTEST(view.networkDescription, "network");
    }

    void updatedTileUsesGivenInstant()
    {
        auto snapshot = bridge(u"connected"_s);
        snapshot.bridgeStatus->updatedAt = u"2031-03-14T09:00:00.000Z"_s;
        const auto view = present(ready([&](auto &s) { s.snapshot = snapshot; }));
        QCOMPARE(view.tiles.at(3).value, snapshot.statusFootnote(now));
        QVERIFY(view.tiles.at(3).value != snapshot.statusFootnote(QDateTime::currentDateTimeUtc()));
    }

    void checklist_data()
    {
        QTest::addColumn<BridgeMenuBarState>("state");
        QTest::addColumn<QStringList>("details");
        QTest::addColumn<QList<bool>>("complete");

        QTest::newRow("nothing yet")
            << BridgeMenuBarState{}
            << QStringList{u"Install Codex first"_s, u"Will be prepared automatically"_s,
                           u"Will be started"_s, u"Waiting for setup"_s}
            << QList<bool>{false, false, false, false};
        QTest::newRow("all done") << ready([](auto &s) {
            s.snapshot = withPayload(bridge(u"CONNECTED"_s), nowMs + 1);
        }) << QStringList{u"Found on this Mac"_s, u"Ready"_s, u"Connected"_s, u"Ready to scan"_s}
                                  << QList<bool>{true, true, true, true};
        // The row capitalizes without trimming, and blanks stay as they are.
        QTest::newRow("blanks") << ready([](auto &s) {
            s.snapshot = bridge(u" \t "_s);
        }) << QStringList{u"Found on this Mac"_s, u"Ready"_s, u" \t "_s, u"Waiting for setup"_s}
                                << QList<bool>{true, true, false, false};
        QTest::newRow("padded, broken tool, expired")
            << with([](auto &s) {
                   s.codexAppPath = u"/x"_s;
                   s.cliAvailability = BridgeCLIAvailability::broken(u"bad"_s);
                   s.snapshot = withPayload(bridge(u" connected "_s), nowMs - 1);
               })
            << QStringList{u"Found on this Mac"_s, u"Will be prepared automatically"_s,
                           u" Connected "_s, u"Expired - refresh pairing"_s}
            << QList<bool>{true, false, false, false};
    }

    void checklist()
    {
        QFETCH(BridgeMenuBarState, state);
        const auto view = present(state);
        QStringList titles, details;
        QList<bool> complete;
        for (const auto &row : view.checklist) {
            titles << row.title;
            details << row.detail;
            complete << row.isComplete;
        }
        QCOMPARE(titles,
                 (QStringList{u"Codex"_s, u"Mac Connector"_s, u"Connection"_s, u"Pairing"_s}));
        QTEST(details, "details");
        QTEST(complete, "complete");
    }

    void pairingCard()
    {
        // Expiring on the next day, 12:00 UTC: shown in the pinned zone (+05:30), without date.
        const auto live = present(
            with([](auto &s) { s.snapshot = withPayload(bridge({}), nowMs + 86'400'000); }));
        QCOMPARE(live.pairing.indicator, u"Ready"_s);
        QCOMPARE(live.pairing.indicatorTint, StatusTint::Green);
        QCOMPARE(live.pairing.text, u"iPhone can find this Mac automatically on the same Wi-Fi."_s);
        QCOMPARE(live.pairing.discovery, u"Published"_s);
        QCOMPARE(live.pairing.renews, u"17:30"_s);

        const auto expired
            = present(with([](auto &s) { s.snapshot = withPayload(bridge({}), nowMs); }));
        QCOMPARE(expired.pairing.indicator, u"Expired"_s);
        QCOMPARE(expired.pairing.indicatorTint, StatusTint::Orange);
        QCOMPARE(expired.pairing.textTint, StatusTint::Orange);
        QCOMPARE(expired.pairing.text,
                 u"Local discovery expired. Refresh setup so iPhone can find this Mac again."_s);
        QCOMPARE(expired.pairing.discovery, std::nullopt);
        QCOMPARE(expired.pairing.renews, std::nullopt);

        const auto none = present(with([](auto &s) { s.snapshot = bridge(u"connected"_s); }));
        QCOMPARE(none.pairing.indicator, std::nullopt);
        QCOMPARE(none.pairing.textStyle, TextStyle::Tertiary);
        QCOMPARE(none.pairing.text, u"Set up this Mac to publish local iPhone discovery."_s);
    }

    void feedbackAndSections_data()
    {
        QTest::addColumn<BridgeMenuBarState>("state");
        QTest::addColumn<QStringList>("feedback");
        QTest::addColumn<QStringList>("sections");

        const QStringList bare{u"header"_s, u"setup"_s, u"footer"_s};
        const QStringList full{u"header"_s,   u"setup"_s,    u"status"_s, u"pairing"_s,
                               u"advanced"_s, u"feedback"_s, u"footer"_s};
        QTest::newRow("checking, quiet") << BridgeMenuBarState{} << QStringList{} << bare;
        // The setup step shows inside the setup card, not as feedback.
        QTest::newRow("missing, setup message only") << with([](auto &s) {
            s.cliAvailability = BridgeCLIAvailability::missing();
            s.setupStatusMessage = u"Preparing Pivra on this Mac..."_s;
            s.updateState.errorMessage = u""_s;
        }) << QStringList{} << bare;
        QTest::newRow("available, quiet")
            << ready([](auto &s) { s.snapshot = bridge(u"connected"_s); }) << QStringList{}
            << QStringList{u"header"_s,  u"setup"_s,    u"status"_s,
                           u"pairing"_s, u"advanced"_s, u"footer"_s};
        // Only emptiness hides a store message; a blank one still shows.
        QTest::newRow("every line, in order")
            << ready([](auto &s) {
                   s.snapshot = bridge(u"error"_s);
                   s.snapshot->bridgeStatus->lastError = u"  relay refused\n"_s;
                   s.updateState.errorMessage = u"npm is offline"_s;
                   s.errorMessage = u"Stop failed"_s;
                   s.transientMessage = u" "_s;
               })
            << QStringList{u"green:  "_s, u"red: Stop failed"_s, u"pink: relay refused"_s,
                           u"orange: npm is offline"_s}
            << full;
        QTest::newRow("blank lastError, update error alone")
            << with([](auto &s) {
                   s.cliAvailability = BridgeCLIAvailability::broken(u"bad"_s);
                   s.snapshot = bridge(u"connected"_s);
                   s.snapshot->bridgeStatus->lastError = u" \n\t"_s;
                   s.updateState.errorMessage = u"npm returned an unreadable version."_s;
               })
            << QStringList{u"orange: npm returned an unreadable version."_s}
            << QStringList{u"header"_s, u"setup"_s, u"feedback"_s, u"footer"_s};
    }

    void feedbackAndSections()
    {
        QFETCH(BridgeMenuBarState, state);
        const auto view = present(state);
        QTEST(describe(view.feedback), "feedback");
        QTEST(view.sections, "sections");
    }

    void menuBarLabel_data()
    {
        QTest::addColumn<BridgeMenuBarState>("state");
        QTest::addColumn<std::optional<StatusTint>>("dot");
        QTest::addColumn<bool>("dimmed");

        QTest::newRow("refreshing, no snapshot")
            << with([](auto &s) { s.isRefreshing = true; }) << std::optional<StatusTint>() << true;
        QTest::newRow("action, connected") << with([](auto &s) {
            s.isPerformingAction = true;
            s.snapshot = bridge(u"Connected"_s);
        }) << std::optional(StatusTint::Green)
                                           << true;
        QTest::newRow("connected, update") << with([](auto &s) {
            s.snapshot = bridge(u"connected"_s);
            s.updateState = updateOffered;
        }) << std::optional(StatusTint::Orange)
                                           << false;
        QTest::newRow("connected, latest unknown") << with([](auto &s) {
            s.snapshot = bridge(u"connected"_s);
            s.updateState.installedVersion = u"0.1"_s;
        }) << std::optional(StatusTint::Green) << false;
        QTest::newRow("connecting") << with([](auto &s) { s.snapshot = bridge(u"connecting"_s); })
                                    << std::optional<StatusTint>() << false;
    }

    void menuBarLabel()
    {
        QFETCH(BridgeMenuBarState, state);
        const auto view = present(state);
        QTEST(view.labelDot, "dot");
        QTEST(view.labelDimmed, "dimmed");
        QCOMPARE(view.updateAvailable, view.labelDot == StatusTint::Orange);
    }

    void capitalization_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("upper") << u"CONNECTED"_s << u"Connected"_s;
        QTest::newRow("words and delimiters kept")
            << u" not\tCONNECTED\nyet  "_s << u" Not\tConnected\nYet  "_s;
        QTest::newRow("non-ASCII") << u"éTAT ñ"_s << u"État Ñ"_s;
        QTest::newRow("blanks") << u" \t\n"_s << u" \t\n"_s;
        QTest::newRow("empty") << QString() << QString();
    }

    void capitalization()
    {
        QFETCH(QString, text);
        QTEST(capitalizedWords(text), "expected");
    }

    void viewJsonShape()
    {
        const QJsonObject empty = present(BridgeMenuBarState{}).toViewJson();
        const auto expected = QJsonDocument::fromJson(R"({
            "currentStatusTitle": "Checking", "statusTint": "yellow",
            "setupStateTitle": "Codex Needed", "setupTint": "orange",
            "setupButtonTitle": "Repair Setup", "hasFreshPairingPayload": false,
            "updateAvailable": false,
            "chips": {"Installed": "-", "Latest": "-", "Network": "-"},
            "tiles": {"Mac Service": "Stopped", "Connection": "unknown", "Pairing": "Waiting",
                      "Updated": "n/a", "Network": "Not configured yet"},
            "checklist": [
                {"title": "Codex", "detail": "Install Codex first", "complete": false},
                {"title": "Mac Connector", "detail": "Will be prepared automatically",
                 "complete": false},
                {"title": "Connection", "detail": "Will be started", "complete": false},
                {"title": "Pairing", "detail": "Waiting for setup", "complete": false}],
            "pairing": {"indicator": null,
                        "text": "Set up this Mac to publish local iPhone discovery.",
                        "discovery": null, "renews": null},
            "feedback": [],
            "sections": ["header", "setup", "footer"]})");
        QVERIFY(expected.isObject());
        QCOMPARE(empty, expected.object());

        const QJsonObject live = present(ready([](auto &s) {
                                     s.snapshot = withPayload(bridge(u"connected"_s), nowMs + 1);
                                     s.errorMessage = u"x"_s;
                                 })).toViewJson();
        QCOMPARE(keys(live), keys(empty));
        QCOMPARE(live[u"statusTint"_s], u"green"_s);
        QCOMPARE(live[u"hasFreshPairingPayload"_s], true);
        QCOMPARE(live[u"pairing"_s][u"indicator"_s], u"Ready"_s);
        QCOMPARE(live[u"pairing"_s][u"discovery"_s], u"Published"_s);
        QVERIFY(live[u"pairing"_s][u"renews"_s].isString());
        QCOMPARE(live[u"feedback"_s][0][u"tint"_s], u"red"_s);
        QCOMPARE(live[u"checklist"_s][2][u"complete"_s], true);
    }
};

int main(int argc, char *argv[])
{
    // Renewal times are local clock times in the user's format: pin a zone with a half-hour
    // offset (no tz database needed) and a 24-hour locale before anything reads them.
    qputenv("TZ", "XST-5:30");
    qunsetenv("LC_ALL");
    qputenv("LC_TIME", "de_DE");
    tzset();
    QCoreApplication app(argc, argv);
    TestBridgeStatusPresentation test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_bridgestatuspresentation.moc"
