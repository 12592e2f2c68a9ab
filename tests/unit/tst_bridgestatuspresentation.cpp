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

// Version 1.2.0; with an expiry, a pairing payload relayed through an mDNS name.
BridgeSnapshot bridge(std::optional<QString> connection, bool loaded = true,
                      std::optional<qint64> expiresAt = {})
{
    BridgeSnapshot snapshot;
    snapshot.currentVersion = u"1.2.0"_s;
    snapshot.launchdLoaded = loaded;
    if (connection)
        snapshot.bridgeStatus.emplace().connectionStatus = connection;
    if (expiresAt)
        snapshot.pairingSession.emplace().pairingPayload = BridgePairingPayload{
            1, u"ws://mac-mini.local:9000/relay"_s, u"session"_s, u"mac"_s, u"key"_s, *expiresAt};
    return snapshot;
}

// A Mac whose tool and Codex are found; the rows change the rest.
BridgeMenuBarState ready(const std::function<void(BridgeMenuBarState &)> &edit)
{
    BridgeMenuBarState state;
    state.cliAvailability = BridgeCLIAvailability::available(u"1.2.0"_s);
    state.codexAppPath = u"/Applications/Codex.app"_s;
    edit(state);
    return state;
}

// The headless view with its checklist keyed by title ("+" marks a complete row) and the tray
// label's dot and dimming added.
QJsonObject observed(const BridgeMenuBarState &state)
{
    const auto view = BridgeStatusPresentation::make(state, now);
    QJsonObject object = view.toViewJson(), checklist;
    for (const QJsonValue row : object[u"checklist"_s].toArray())
        checklist.insert(row[u"title"_s].toString(),
                         (row[u"complete"_s].toBool() ? u"+"_s : QString())
                             + row[u"detail"_s].toString());
    object[u"checklist"_s] = checklist;
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

        QTest::newRow("nothing known yet")
            << BridgeMenuBarState() << QByteArray(R"({"currentStatusTitle": "Checking",
            "statusTint": "yellow", "setupButtonTitle": "Repair Setup",
            "chips": {"Installed": "-", "Latest": "-", "Network": "-"},
            "tiles": {"Mac Service": "Stopped", "Connection": "unknown", "Pairing": "Waiting",
                      "Updated": "n/a", "Network": "Not configured yet"},
            "checklist": {"Codex": "Install Codex first", "Connection": "Will be started",
                "Mac Connector": "Will be prepared automatically", "Pairing": "Waiting for setup"},
            "pairing": {"indicator": null, "discovery": null, "renews": null,
                        "text": "Set up this Mac to publish local iPhone discovery."},
            "feedback": [], "sections": ["header", "setup", "footer"], "labelDot": null})");
        QTest::newRow("live payload beats an action, starting") << ready([](auto &s) {
            s.snapshot = bridge(u"starting"_s, true, nowMs + 1);
            s.isPerformingAction = true;
        }) << QByteArray(R"({"setupStateTitle": "Ready", "setupTint": "green",
            "hasFreshPairingPayload": true, "setupButtonTitle": "Refresh Pairing",
            "currentStatusTitle": "Starting", "statusTint": "yellow", "labelDimmed": true})");
        QTest::newRow("expiry equal to now is expired and beats an action") << ready([](auto &s) {
            s.snapshot = bridge(u"connected"_s, true, nowMs);
            s.snapshot->bridgeStatus->updatedAt = u"2031-03-14T12:02:00.000Z"_s;
            s.isPerformingAction = true;
        }) << QByteArray(R"({"setupStateTitle": "Refresh Needed", "setupTint": "orange",
            "checklist": {"Pairing": "Expired - refresh pairing"},
            "tiles": {"Pairing": "Expired", "Updated": "in 2 min."},
            "pairing": {"indicator": "Expired", "discovery": null, "renews": null, "text":
                "Local discovery expired. Refresh setup so iPhone can find this Mac again."}})");
        QTest::newRow("action, no runtime status") << ready([](auto &s) {
            s.snapshot = bridge({});
            s.isPerformingAction = true;
        }) << QByteArray(R"({"setupStateTitle": "Working", "setupTint": "blue",
            "currentStatusTitle": "Running", "statusTint": "blue",
            "chips": {"Installed": "1.2.0", "Latest": "...", "Network": "Unconfigured"},
            "tiles": {"Mac Service": "Ready", "Updated": "Ready in background",
                      "Network": "Unconfigured"}})");
        QTest::newRow("no Codex, no snapshot, refreshing") << ready([](auto &s) {
            s.codexAppPath.reset();
            s.isRefreshing = true;
        }) << QByteArray(R"({"setupStateTitle": "Codex Needed", "setupTint": "orange",
            "currentStatusTitle": "Loading", "statusTint": "gray", "labelDimmed": true,
            "chips": {"Installed": "1.2.0", "Latest": "...", "Network": "..."}})");
        // A session without a payload waits; equal versions are no update.
        QTest::newRow("connected, quiet") << ready([](auto &s) {
            s.snapshot = bridge(u"Connected"_s);
            s.snapshot->pairingSession.emplace().createdAt = u"x"_s;
            s.updateState = {u"1.10.0"_s, u"1.10.0"_s, std::nullopt};
        }) << QByteArray(R"({"setupStateTitle": "Almost Ready", "setupTint": "green",
            "statusTint": "green", "updateAvailable": false, "labelDot": "green",
            "labelDimmed": false, "tiles": {"Pairing": "Waiting"},
            "sections": ["header", "setup", "status", "pairing", "advanced", "footer"]})");
        QTest::newRow("update hides green") << ready([](auto &s) {
            s.snapshot = bridge(u"connected"_s);
            s.updateState = {u"1.2.0"_s, u"1.10.0"_s, std::nullopt};
        }) << QByteArray(R"({"setupTint": "orange", "statusTint": "orange",
            "updateAvailable": true, "labelDot": "orange", "chips": {"Latest": "1.10.0"}})");
        // The setup step shows inside the setup card, not as feedback.
        QTest::newRow("missing tool, setup message only") << ready([](auto &s) {
            s.cliAvailability = BridgeCLIAvailability::missing();
            s.setupStatusMessage = u"Preparing Pivra on this Mac..."_s;
            s.updateState.errorMessage = u""_s;
        }) << QByteArray(R"({"setupStateTitle": "Setup Needed", "setupTint": "yellow",
            "currentStatusTitle": "Setup Needed", "statusTint": "orange", "feedback": []})");
        QTest::newRow("broken tool, no snapshot")
            << ready([](auto &s) { s.cliAvailability = BridgeCLIAvailability::broken(u"bad"_s); })
            << QByteArray(R"({"currentStatusTitle": "Setup Issue", "statusTint": "red"})");
        // The configured relay beats the payload's; Updated is relative to the given instant in
        // the largest unit it fills; the renewal shows in the pinned zone (+05:30), no date.
        QTest::newRow("all done, CONNECTED, remote relay") << ready([](auto &s) {
            s.snapshot = bridge(u"CONNECTED"_s, true, nowMs + 86'400'000);
            s.snapshot->daemonConfig.emplace().relayUrl = u"wss://relay.example"_s;
            s.snapshot->bridgeStatus->updatedAt = u"2031-03-14T09:00:00.000Z"_s;
        }) << QByteArray(R"({"currentStatusTitle": "Connected", "statusTint": "green",
            "chips": {"Network": "Remote"}, "pairing": {"indicator": "Ready", "renews": "17:30"},
            "tiles": {"Connection": "CONNECTED", "Updated": "3 hr. ago", "Network": "Remote"},
            "checklist": {"Codex": "+Found on this Mac", "Mac Connector": "+Ready",
                          "Connection": "+Connected", "Pairing": "+Ready to scan"}})");
        // The title is trimmed; the tint and the Connected rule compare the stored text.
        QTest::newRow("padded connected, not loaded")
            << ready([](auto &s) { s.snapshot = bridge(u" connected\n"_s, false); })
            << QByteArray(R"({"currentStatusTitle": "Connected", "statusTint": "gray",
            "checklist": {"Connection": " Connected\n"}, "labelDot": null,
            "tiles": {"Connection": " connected\n"}})");
        // Words split at any white space, which stays as it is; title case beyond ASCII.
        QTest::newRow("several words")
            << ready([](auto &s) { s.snapshot = bridge(u"éTAT  not\tCONNECTED\nyet"_s); })
            << QByteArray(R"({"currentStatusTitle": "État  Not\tConnected\nYet"})");
        // The snapshot's version wins over the tool's; a blank relayUrl falls back to the payload;
        // a date that does not parse leaves the Updated tile to the service.
        QTest::newRow("blanks, not loaded, payload relay") << ready([](auto &s) {
            s.cliAvailability = BridgeCLIAvailability::available(u"9.9.9"_s);
            s.snapshot = bridge(u"  "_s, false, nowMs + 60'000);
            s.snapshot->daemonConfig.emplace().relayUrl = u" \n"_s;
            s.snapshot->bridgeStatus->updatedAt = u"2031-03-14T11:58:00Z"_s; // no fraction
            s.updateState.latestVersion = u"1.3.0"_s;
        }) << QByteArray(R"({"currentStatusTitle": "Stopped", "statusTint": "gray",
            "chips": {"Installed": "1.2.0", "Latest": "1.3.0", "Network": "Local"},
            "tiles": {"Mac Service": "Stopped", "Pairing": "Ready", "Updated": "Not running",
                      "Network": "Local", "Connection": "  "},
            "checklist": {"Connection": "  "}})");
        // Only emptiness hides a store message; a blank one still shows.
        QTest::newRow("ERROR, every feedback line in order") << ready([](auto &s) {
            s.snapshot = bridge(u"ERROR"_s);
            s.snapshot->bridgeStatus->lastError = u"  relay refused\n"_s;
            s.snapshot->bridgeStatus->updatedAt = u"2031-03-11T11:00:00.000Z"_s;
            s.updateState.errorMessage = u"npm is offline"_s;
            s.errorMessage = u"Stop failed"_s;
            s.transientMessage = u" "_s;
        }) << QByteArray(R"({"currentStatusTitle": "Error", "statusTint": "red",
            "tiles": {"Updated": "3 days ago"},
            "feedback": [{"text": " ", "tint": "green"}, {"text": "Stop failed", "tint": "red"},
                         {"text": "relay refused", "tint": "pink"},
                         {"text": "npm is offline", "tint": "orange"}],
            "sections": ["header", "setup", "status", "pairing", "advanced", "feedback",
                         "footer"]})");
        // The tool's state outranks the snapshot's colour but not its title.
        QTest::newRow("broken tool, blank lastError, update error alone") << ready([](auto &s) {
            s.cliAvailability = BridgeCLIAvailability::broken(u"bad"_s);
            s.snapshot = bridge(u"connected"_s);
            s.snapshot->bridgeStatus->lastError = u" \n\t"_s;
            s.updateState.errorMessage = u"npm returned an unreadable version."_s;
        }) << QByteArray(R"({"currentStatusTitle": "Connected", "statusTint": "red",
            "feedback": [{"text": "npm returned an unreadable version.", "tint": "orange"}],
            "sections": ["header", "setup", "feedback", "footer"]})");
    }

    // Catches any headline, colour, chip, tile, checklist row, card, feedback line or view key.
    void rules()
    {
        QFETCH(BridgeMenuBarState, state);
        QFETCH(QByteArray, expected);
        const QJsonObject object = QJsonDocument::fromJson(expected).object();
        QVERIFY2(!object.isEmpty(), expected.constData());
        const QStringList found = mismatches(observed(state), object);
        QVERIFY2(found.isEmpty(), qPrintable(found.join(u"; "_s)));
    }

    void pairingCardFollowsDiscovery_data()
    {
        QTest::addColumn<LocalPairingDiscovery>("discovery");
        QTest::addColumn<QString>("row"); // the card's "Discovery" row
        QTest::addColumn<QString>("advice"); // the part of the text only this case gives

        using D = LocalPairingDiscovery;
        const DiscoveryInterface lo{u"lo"_s, {u"127.0.0.1"_s}, true};
        const DiscoveryInterface wlan{u"wlan0"_s, {u"192.168.1.23"_s, u"fe80::1"_s}, false};
        const QString failed = u"Announcement failed"_s;
        QTest::newRow("on Wi-Fi") << D::published({}, {lo, wlan}) << u"Published"_s
                                  << u"can find this Mac automatically on the same Wi-Fi"_s;
        QTest::newRow("loopback only")
            << D::published({}, {lo}) << u"This computer only"_s << u"to allow-interfaces in"_s;
        QTest::newRow("no network")
            << D::published({}, {}) << u"No network"_s << u"no network carries"_s;
        QTest::newRow("registering")
            << D::registering() << u"Announcing..."_s << u"Announcing this Mac"_s;
        QTest::newRow("bridge not connected")
            << D() << u"Not announced"_s << u"once the Mac connection is connected"_s;
        QTest::newRow("no daemon") << D::failed(D::Failure::NoDaemon, {})
                                   << u"DNS-SD service stopped"_s << u"start avahi-daemon"_s;
        QTest::newRow("no system bus") << D::failed(D::Failure::NoSystemBus, {})
                                       << u"System bus not running"_s << u"start dbus"_s;
        QTest::newRow("daemon refused") << D::failed(D::Failure::Daemon, u"x"_s) << failed
                                        << u"avahi-daemon refused the announcement (x)"_s;
        QTest::newRow("no port") << D::failed(D::Failure::Listener, u"x"_s) << failed
                                 << u"no port could be opened for the announcement (x)"_s;
    }

    // Catches "Published" shown while the phone cannot see the computer, or a missing remedy.
    void pairingCardFollowsDiscovery()
    {
        QFETCH(LocalPairingDiscovery, discovery);
        QFETCH(QString, row);
        QFETCH(QString, advice);
        const BridgeMenuBarState state = ready([&](auto &s) {
            s.snapshot = bridge(u"connected"_s, true, nowMs + 60'000);
            s.discovery = discovery;
        });
        const PairingCard card = BridgeStatusPresentation::make(state, now).pairing;
        QCOMPARE(card.discovery, row);
        QVERIFY2(card.text.contains(advice), qPrintable(card.text));
        // The code itself stays ready; only a problem reads as a warning.
        QCOMPARE(card.indicator, u"Ready"_s);
        QCOMPARE(card.textTint.has_value(), card.text.startsWith(u"iPhone cannot"_s));
        QCOMPARE(card.visibleOn.value_or(u"-"_s),
                 row == u"Published"_s ? u"wlan0 192.168.1.23, fe80::1"_s : u"-"_s);
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
