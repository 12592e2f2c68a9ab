#include "BridgeStatusPresentation.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <functional>
#include <time.h>
#include <unicode/locid.h>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(BridgeMenuBarState)
Q_DECLARE_METATYPE(LocalPairingDiscovery)

namespace {

// Far from the real clock, so a rule that reads the clock instead of `now` shows.
const QDateTime now = QDateTime::fromString(u"2031-03-14T12:00:00.000Z"_s, Qt::ISODateWithMs);
const qint64 nowMs = now.toMSecsSinceEpoch();

BridgeSnapshot bridge(std::optional<QString> connection, bool loaded = true)
{
    BridgeSnapshot snapshot;
    snapshot.currentVersion = u"1.2.0"_s;
    snapshot.launchdLoaded = loaded;
    if (connection)
        snapshot.bridgeStatus.emplace().connectionStatus = connection;
    return snapshot;
}

BridgeSnapshot withPayload(BridgeSnapshot snapshot, qint64 expiresAt)
{
    snapshot.pairingSession.emplace().pairingPayload = BridgePairingPayload{
        1, u"ws://mac-mini.local:9000/relay"_s, u"session"_s, u"mac"_s, u"key"_s, expiresAt};
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

// The headless view with the checklist keyed by title ("+" marks a complete row), feedback as
// "tint: text" and the tray label's dot and dimming added.
QJsonObject observed(const BridgeMenuBarState &state)
{
    const auto view = BridgeStatusPresentation::make(state, now);
    QJsonObject object = view.toViewJson();
    QJsonObject checklist;
    for (const auto &row : view.checklist)
        checklist.insert(row.title, (row.isComplete ? u"+"_s : QString()) + row.detail);
    QJsonArray feedback;
    for (const FeedbackLine &line : view.feedback)
        feedback.append(tintName(line.tint) + u": "_s + line.text);
    object[u"checklist"_s] = checklist;
    object[u"feedback"_s] = feedback;
    object[u"labelDot"_s] = view.labelDot ? QJsonValue(tintName(*view.labelDot)) : QJsonValue();
    object[u"labelDimmed"_s] = view.labelDimmed;
    return object;
}

// The members of `expected` that `actual` does not match; objects are compared member by
// member, everything else whole.
QStringList mismatches(const QJsonObject &actual, const QJsonObject &expected,
                       const QString &path = {})
{
    QStringList found;
    for (auto it = expected.begin(); it != expected.end(); ++it) {
        const QJsonValue value = actual.value(it.key());
        if (it->isObject() && value.isObject())
            found << mismatches(value.toObject(), it->toObject(), path + it.key() + u'.');
        else if (value != *it)
            found << path + it.key() + u" = "_s
                    + QString::fromUtf8(
                         QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact));
    }
    return found;
}

} // namespace

class TestBridgeStatusPresentation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rules_data()
    {
        QTest::addColumn<BridgeMenuBarState>("state");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("live payload beats an action and a missing tool") << with([](auto &s) {
            s.snapshot = withPayload(bridge(u"connecting"_s), nowMs + 1);
            s.isPerformingAction = true;
            s.cliAvailability = BridgeCLIAvailability::missing();
        }) << QByteArray(R"({"setupStateTitle": "Ready", "setupTint": "green",
            "hasFreshPairingPayload": true, "setupButtonTitle": "Refresh Pairing",
            "checklist": {"Pairing": "+Ready to scan"}, "tiles": {"Pairing": "Ready"},
            "currentStatusTitle": "Connecting", "statusTint": "orange",
            "labelDot": null, "labelDimmed": true, "sections": ["header", "setup", "footer"]})");
        QTest::newRow("expiry equal to now is expired and beats an action") << ready([](auto &s) {
            s.snapshot = withPayload(bridge(u"connected"_s), nowMs);
            s.isPerformingAction = true;
        }) << QByteArray(R"({"setupStateTitle": "Refresh Needed", "setupTint": "orange",
            "hasFreshPairingPayload": false, "setupButtonTitle": "Repair Setup",
            "checklist": {"Connection": "+Connected", "Pairing": "Expired - refresh pairing"},
            "tiles": {"Pairing": "Expired"}, "labelDot": "green", "labelDimmed": true,
            "pairing": {"indicator": "Expired", "discovery": null, "renews": null, "text":
                "Local discovery expired. Refresh setup so iPhone can find this Mac again."}})");
        QTest::newRow("action, no runtime status") << ready([](auto &s) {
            s.snapshot = bridge({});
            s.isPerformingAction = true;
        }) << QByteArray(R"({"setupStateTitle": "Working", "setupTint": "blue",
            "currentStatusTitle": "Running", "statusTint": "blue",
            "chips": {"Installed": "1.2.0", "Latest": "...", "Network": "Unconfigured"},
            "tiles": {"Mac Service": "Ready", "Connection": "unknown", "Pairing": "Waiting",
                      "Updated": "Ready in background", "Network": "Unconfigured"},
            "checklist": {"Connection": "Will be started", "Pairing": "Waiting for setup"}})");
        QTest::newRow("no Codex, no snapshot, refreshing") << with([](auto &s) {
            s.cliAvailability = BridgeCLIAvailability::available(u"3.0"_s);
            s.isRefreshing = true;
        }) << QByteArray(R"({"setupStateTitle": "Codex Needed", "setupTint": "orange",
            "currentStatusTitle": "Loading", "statusTint": "gray",
            "chips": {"Installed": "3.0", "Latest": "...", "Network": "..."},
            "checklist": {"Codex": "Install Codex first", "Mac Connector": "+Ready"},
            "labelDot": null, "labelDimmed": true})");
        // A session without a payload waits; equal versions are no update.
        QTest::newRow("connected, quiet") << ready([](auto &s) {
            s.snapshot = bridge(u"Connected"_s);
            s.snapshot->pairingSession.emplace().createdAt = u"x"_s;
            s.updateState = {u"1.10.0"_s, u"1.10.0"_s, std::nullopt};
        }) << QByteArray(R"({"setupStateTitle": "Almost Ready", "setupTint": "green",
            "currentStatusTitle": "Connected", "statusTint": "green", "updateAvailable": false,
            "labelDot": "green", "labelDimmed": false, "tiles": {"Pairing": "Waiting"},
            "checklist": {"Pairing": "Waiting for setup"}, "feedback": [],
            "sections": ["header", "setup", "status", "pairing", "advanced", "footer"]})");
        QTest::newRow("update hides green") << ready([](auto &s) {
            s.snapshot = bridge(u"connected"_s);
            s.updateState = {u"1.2.0"_s, u"1.10.0"_s, std::nullopt};
        }) << QByteArray(R"({"setupStateTitle": "Almost Ready", "setupTint": "orange",
            "currentStatusTitle": "Connected", "statusTint": "orange", "updateAvailable": true,
            "labelDot": "orange", "chips": {"Latest": "1.10.0"}})");
        // The setup step shows inside the setup card, not as feedback.
        QTest::newRow("missing tool, setup message only") << with([](auto &s) {
            s.codexAppPath = u"/x"_s;
            s.cliAvailability = BridgeCLIAvailability::missing();
            s.setupStatusMessage = u"Preparing Pivra on this Mac..."_s;
            s.updateState.errorMessage = u""_s;
        }) << QByteArray(R"({"setupStateTitle": "Setup Needed", "setupTint": "yellow",
            "currentStatusTitle": "Setup Needed", "statusTint": "orange",
            "chips": {"Installed": "-", "Latest": "-", "Network": "-"},
            "checklist": {"Codex": "+Found on this Mac",
                          "Mac Connector": "Will be prepared automatically"},
            "feedback": [], "sections": ["header", "setup", "footer"]})");
        QTest::newRow("broken tool, no snapshot")
            << with([](auto &s) { s.cliAvailability = BridgeCLIAvailability::broken(u"bad"_s); })
            << QByteArray(R"({"currentStatusTitle": "Setup Issue", "statusTint": "red"})");
        // The Updated tile is relative to the given instant, not to the clock.
        QTest::newRow("CONNECTED, configured remote relay") << ready([](auto &s) {
            s.snapshot = withPayload(bridge(u"CONNECTED"_s), nowMs);
            s.snapshot->daemonConfig.emplace().relayUrl = u"wss://relay.example"_s;
            s.snapshot->bridgeStatus->updatedAt = u"2031-03-14T09:00:00.000Z"_s;
        }) << QByteArray(R"({"currentStatusTitle": "Connected", "statusTint": "green",
            "chips": {"Installed": "1.2.0", "Latest": "...", "Network": "Remote"},
            "tiles": {"Mac Service": "Ready", "Connection": "CONNECTED", "Pairing": "Expired",
                      "Updated": "3 hr. ago", "Network": "Remote"},
            "checklist": {"Connection": "+Connected"}})");
        // Expiring on the next day, 12:00 UTC: shown in the pinned zone (+05:30), without date.
        QTest::newRow("all done") << ready([](auto &s) {
            s.snapshot = withPayload(bridge(u"CONNECTED"_s), nowMs + 86'400'000);
            s.discovery = LocalPairingDiscovery::published({}, {{u"eth0"_s, {u"10.0.0.5"_s}}});
        }) << QByteArray(R"({"checklist": {"Codex": "+Found on this Mac", "Mac Connector": "+Ready",
                          "Connection": "+Connected", "Pairing": "+Ready to scan"},
            "pairing": {"indicator": "Ready", "discovery": "Published", "renews": "17:30",
                "text": "iPhone can find this Mac automatically on the same Wi-Fi."}})");
        // The title is trimmed; the tint and the Connected rule compare the stored text.
        QTest::newRow("padded connected, not loaded")
            << ready([](auto &s) { s.snapshot = bridge(u" connected\n"_s, false); })
            << QByteArray(R"({"currentStatusTitle": "Connected", "statusTint": "gray",
            "checklist": {"Connection": " Connected\n"}, "labelDot": null,
            "tiles": {"Mac Service": "Stopped", "Connection": " connected\n"}})");
        // Words split at any white space, which stays as it is; title case beyond ASCII.
        QTest::newRow("several words")
            << ready([](auto &s) { s.snapshot = bridge(u"éTAT  not\tCONNECTED\nyet"_s); })
            << QByteArray(R"({"currentStatusTitle": "État  Not\tConnected\nYet",
            "statusTint": "blue"})");
        QTest::newRow("Starting") << ready([](auto &s) {
            s.snapshot = bridge(u"Starting"_s);
        }) << QByteArray(R"({"currentStatusTitle": "Starting", "statusTint": "yellow"})");
        QTest::newRow("blanks, loaded")
            << ready([](auto &s) { s.snapshot = bridge(u" \t "_s); })
            << QByteArray(R"({"currentStatusTitle": "Running", "statusTint": "blue",
            "tiles": {"Connection": " \t "},
            "checklist": {"Connection": " \t ", "Pairing": "Waiting for setup"}})");
        // The snapshot's version wins over the tool's; a blank relayUrl falls back to the payload.
        QTest::newRow("blanks, not loaded, payload relay") << ready([](auto &s) {
            s.cliAvailability = BridgeCLIAvailability::available(u"9.9.9"_s);
            s.snapshot = withPayload(bridge(u"  "_s, false), nowMs + 60'000);
            s.snapshot->daemonConfig.emplace().relayUrl = u" \n"_s;
            s.updateState.latestVersion = u"1.3.0"_s;
        }) << QByteArray(R"({"currentStatusTitle": "Stopped", "statusTint": "gray",
            "chips": {"Installed": "1.2.0", "Latest": "1.3.0", "Network": "Local"},
            "tiles": {"Mac Service": "Stopped", "Connection": "  ", "Pairing": "Ready",
                      "Updated": "Not running", "Network": "Local"}})");
        // Only emptiness hides a store message; a blank one still shows.
        QTest::newRow("ERROR, every feedback line in order") << ready([](auto &s) {
            s.snapshot = bridge(u"ERROR"_s);
            s.snapshot->bridgeStatus->lastError = u"  relay refused\n"_s;
            s.updateState.errorMessage = u"npm is offline"_s;
            s.errorMessage = u"Stop failed"_s;
            s.transientMessage = u" "_s;
        }) << QByteArray(R"({"currentStatusTitle": "Error", "statusTint": "red",
            "feedback": ["green:  ", "red: Stop failed", "pink: relay refused",
                         "orange: npm is offline"],
            "sections": ["header", "setup", "status", "pairing", "advanced", "feedback",
                         "footer"]})");
        // The tool's state outranks the snapshot's colour but not its title.
        QTest::newRow("broken tool, blank lastError, update error alone") << with([](auto &s) {
            s.cliAvailability = BridgeCLIAvailability::broken(u"bad"_s);
            s.snapshot = bridge(u"connected"_s);
            s.snapshot->bridgeStatus->lastError = u" \n\t"_s;
            s.updateState.errorMessage = u"npm returned an unreadable version."_s;
        }) << QByteArray(R"({"currentStatusTitle": "Connected", "statusTint": "red",
            "checklist": {"Mac Connector": "Will be prepared automatically"},
            "feedback": ["orange: npm returned an unreadable version."],
            "sections": ["header", "setup", "feedback", "footer"]})");
    }

    // Catches a headline, colour, chip, tile, checklist row, card or feedback line against its
    // rule.
    void rules()
    {
        QFETCH(BridgeMenuBarState, state);
        QFETCH(QByteArray, expected);
        const QJsonDocument document = QJsonDocument::fromJson(expected);
        QVERIFY2(document.isObject(), expected.constData());
        const QStringList found = mismatches(observed(state), document.object());
        QVERIFY2(found.isEmpty(), qPrintable(found.join(u"; "_s)));
    }

    void pairingCardFollowsDiscovery_data()
    {
        QTest::addColumn<LocalPairingDiscovery>("discovery");
        QTest::addColumn<QString>("row"); // the "Discovery" row
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("visibleOn"); // the "Interface" row, "-" when absent

        using D = LocalPairingDiscovery;
        const DiscoveryInterface lo{u"lo"_s, {u"127.0.0.1"_s}, true};
        QTest::newRow("published on Wi-Fi")
            << D::published({}, {lo, {u"wlan0"_s, {u"192.168.1.23"_s, u"fe80::1"_s}, false}})
            << u"Published"_s << u"iPhone can find this Mac automatically on the same Wi-Fi."_s
            << u"wlan0 192.168.1.23, fe80::1"_s;
        QTest::newRow("published on loopback only")
            << D::published({}, {lo}) << u"This computer only"_s
            << u"iPhone cannot find this Mac: it is announced only to itself. Connect to the "
               u"iPhone's Wi-Fi, or add that network to allow-interfaces in "
               u"/etc/avahi/avahi-daemon.conf."_s
            << u"-"_s;
        QTest::newRow("published nowhere")
            << D::published({}, {}) << u"No network"_s
            << u"iPhone cannot find this Mac: no network carries its announcement. Connect to "
               u"the same Wi-Fi as the iPhone."_s
            << u"-"_s;
        QTest::newRow("registering") << D::registering() << u"Announcing..."_s
                                     << u"Announcing this Mac on the local network..."_s << u"-"_s;
        QTest::newRow("bridge not connected")
            << D() << u"Not announced"_s
            << u"iPhone can find this Mac once the Mac connection is connected."_s << u"-"_s;
        QTest::newRow("no daemon")
            << D::failed(D::Failure::NoDaemon, u"avahi-daemon is not running."_s)
            << u"DNS-SD service stopped"_s
            << u"iPhone cannot find this Mac: the DNS-SD service (avahi-daemon) is not running. "
               u"Start it with: sudo systemctl start avahi-daemon"_s
            << u"-"_s;
        QTest::newRow("no system bus")
            << D::failed(D::Failure::NoSystemBus, u"The D-Bus system bus is not running."_s)
            << u"System bus not running"_s
            << u"iPhone cannot find this Mac: the D-Bus system bus is not running, so the "
               u"DNS-SD service cannot be reached. Start it with: sudo systemctl start dbus"_s
            << u"-"_s;
        QTest::newRow("daemon refused")
            << D::failed(D::Failure::Daemon, u"Invalid record"_s) << u"Announcement failed"_s
            << u"iPhone cannot find this Mac: avahi-daemon refused the announcement "
               u"(Invalid record)."_s
            << u"-"_s;
        QTest::newRow("no port")
            << D::failed(D::Failure::Listener, u"Too many open files"_s) << u"Announcement failed"_s
            << u"iPhone cannot find this Mac: no port could be opened for the announcement "
               u"(Too many open files)."_s
            << u"-"_s;
    }

    // Catches "Published" shown while the phone cannot see the computer.
    void pairingCardFollowsDiscovery()
    {
        QFETCH(LocalPairingDiscovery, discovery);
        QFETCH(QString, row);
        QFETCH(QString, text);
        QFETCH(QString, visibleOn);
        const BridgeMenuBarState state = ready([&](auto &s) {
            s.snapshot = withPayload(bridge(u"connected"_s), nowMs + 60'000);
            s.discovery = discovery;
        });
        const auto view = BridgeStatusPresentation::make(state, now);
        QCOMPARE(view.pairing.discovery, row);
        QCOMPARE(view.pairing.text, text);
        QCOMPARE(view.pairing.visibleOn.value_or(u"-"_s), visibleOn);
        QCOMPARE(view.pairing.indicator, u"Ready"_s);
        QCOMPARE(view.setupStateTitle, u"Ready"_s);
        // A problem reads as a warning; everything else in the card's usual style.
        QCOMPARE(view.pairing.textTint.has_value(), text.startsWith(u"iPhone cannot"_s));
    }

    // Catches a headless view with a key missing, renamed or shaped differently in some state.
    void viewJsonShape()
    {
        const auto view = [](const BridgeMenuBarState &state) {
            return BridgeStatusPresentation::make(state, now).toViewJson();
        };
        const QJsonObject empty = view(BridgeMenuBarState{});
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

        // Every key is there in every state; complete rows and feedback lines keep their shape.
        const QJsonObject live = view(ready([](auto &s) {
            s.snapshot = withPayload(bridge(u"connected"_s), nowMs + 1);
            s.errorMessage = u"x"_s;
        }));
        QCOMPARE(live.keys(), empty.keys());
        QCOMPARE(live[u"pairing"_s].toObject().keys(), empty[u"pairing"_s].toObject().keys());
        QCOMPARE(live[u"checklist"_s][2][u"complete"_s], true);
        QCOMPARE(live[u"feedback"_s],
                 (QJsonArray{QJsonObject{{u"text"_s, u"x"_s}, {u"tint"_s, u"red"_s}}}));
    }
};

int main(int argc, char *argv[])
{
    // Renewal times are local clock times in the user's format: pin a zone with a half-hour
    // offset (no tz database needed) and a 24-hour locale before anything reads them. The
    // relative phrases follow ICU's default locale.
    qputenv("TZ", "XST-5:30");
    qunsetenv("LC_ALL");
    qputenv("LC_TIME", "de_DE");
    tzset();
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("en_US"), status);
    QCoreApplication app(argc, argv);
    TestBridgeStatusPresentation test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_bridgestatuspresentation.moc"
