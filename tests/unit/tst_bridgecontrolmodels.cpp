#include "BridgeControlModels.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// Every member set, with values that a careless decoder mangles: an empty string, blanks,
// non-ASCII text, a negative expiry, unknown keys.
const QByteArray fullStatus = [] {
    QFile file(QStringLiteral(PIVRA_TEST_DATA_DIR "/status-full.json"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}();

// Inserting an undefined value removes the key.
QJsonObject patched(QJsonObject object, QStringList path, const QJsonValue &value)
{
    const QString key = path.takeFirst();
    object.insert(key, path.isEmpty() ? value : patched(object[key].toObject(), path, value));
    return object;
}

// The full status document with one member, given as a path of keys, replaced or removed.
QByteArray statusWith(const QStringList &path, const QJsonValue &value)
{
    return QJsonDocument(patched(QJsonDocument::fromJson(fullStatus).object(), path, value))
        .toJson();
}

const QDateTime noon(QDate(2025, 1, 31), QTime(12, 0), Qt::UTC);

} // namespace

class TestBridgeControlModels : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Catches a decoder that trims, drops or reinterprets a member, or drops an empty string.
    void decodesEveryMemberExactly()
    {
        const auto snapshot = decodeRecord<BridgeSnapshot>(fullStatus);
        QVERIFY(snapshot);
        QCOMPARE(snapshot->launchdPid, 4242);
        // An empty string is a present value, not an absent one; text is never trimmed.
        QCOMPARE(snapshot->daemonConfig->relayUrl, u""_s);
        QCOMPARE(snapshot->daemonConfig->pushServiceUrl, u" https://push.example "_s);
        QCOMPARE(snapshot->daemonConfig->codexEndpoint, u"Ünïcode ✓"_s);
        QCOMPARE(snapshot->daemonConfig->refreshEnabled, false);
        QCOMPARE(snapshot->bridgeStatus->pid, -1);
        QCOMPARE(snapshot->pairingPayload()->expiresAt, -5);
        // A malformed timestamp never fails decoding; it only has no date.
        QCOMPARE(snapshot->bridgeStatus->updatedAt, u"not a date"_s);

        // The state files decode on their own; a payload has no optional member.
        QCOMPARE(decodeRecord<BridgeDaemonConfig>("{}"), BridgeDaemonConfig{});
        QCOMPARE(decodeRecord<BridgeRuntimeStatus>("{}"), BridgeRuntimeStatus{});
        QCOMPARE(decodeRecord<BridgePairingSession>("{}"), BridgePairingSession{});
        QVERIFY(!decodeRecord<BridgePairingPayload>("{}"));
    }

    void decodingRules_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<bool>("decodes");
        const QJsonValue removed(QJsonValue::Undefined);
        const QJsonValue null(QJsonValue::Null);
        const QStringList payload{u"pairingSession"_s, u"pairingPayload"_s};

        QTest::newRow("optional member missing") << statusWith({u"launchdPid"_s}, removed) << true;
        for (const char *member : {"launchdPid", "daemonConfig", "bridgeStatus", "pairingSession"})
            QTest::addRow("%s null", member)
                << statusWith({QString::fromLatin1(member)}, null) << true;
        QTest::newRow("required member missing")
            << statusWith({u"stdoutLogPath"_s}, removed) << false;
        QTest::newRow("required member null") << statusWith({u"currentVersion"_s}, null) << false;
        QTest::newRow("number for Bool") << statusWith({u"installed"_s}, 1) << false;
        QTest::newRow("number for text") << statusWith({u"label"_s}, 7) << false;
        QTest::newRow("largest 64-bit integer")
            << QByteArray(fullStatus).replace("4242", "9223372036854775807") << true;
        QTest::newRow("integer beyond 64 bits")
            << QByteArray(fullStatus).replace("4242", "9223372036854775808") << false;
        QTest::newRow("quoted integer") << statusWith({u"launchdPid"_s}, u"42"_s) << false;
        // A nested member that fails fails the container, not just the member.
        QTest::newRow("nested payload missing a member")
            << statusWith(payload + QStringList{u"expiresAt"_s}, removed) << false;
        QTest::newRow("nested record not an object")
            << statusWith({u"bridgeStatus"_s}, QJsonArray{}) << false;
        QTest::newRow("top level array") << QByteArray("[]") << false;
        QTest::newRow("truncated") << fullStatus.first(fullStatus.size() / 2) << false;
        QTest::newRow("invalid UTF-8") << QByteArray(fullStatus).replace("Ün", "\xff\xfe") << false;
    }

    // Catches a decoder looser or stricter than the rules, at any depth of the document.
    void decodingRules()
    {
        QFETCH(QByteArray, document);
        QFETCH(bool, decodes);
        QCOMPARE(decodeRecord<BridgeSnapshot>(document).has_value(), decodes);
    }

    void updateRule_data()
    {
        QTest::addColumn<QString>("installed");
        QTest::addColumn<QString>("latest");
        QTest::addColumn<bool>("available");
        // A null QString stands for an absent member.
        QTest::newRow("numeric, not textual") << u"0.9.0"_s << u"0.10.0"_s << true;
        QTest::newRow("newer installed") << u"0.10.0"_s << u"0.9.0"_s << false;
        QTest::newRow("equal") << u"1.2.0"_s << u"1.2.0"_s << false;
        QTest::newRow("leading zeros equal") << u"1.02.0"_s << u"1.2.0"_s << false;
        QTest::newRow("longer wins") << u"1.2"_s << u"1.2.1"_s << true;
        QTest::newRow("same length, beyond 64 bits")
            << u"1.99999999999999999998"_s << u"1.99999999999999999999"_s << true;
        QTest::newRow("character code, no locale") << u"1.0.0-Z"_s << u"1.0.0-a"_s << true;
        QTest::newRow("latest unknown") << u"0.9.0"_s << QString() << false;
        QTest::newRow("installed unknown") << QString() << u"0.9.0"_s << false;
    }

    // Catches a textual or locale-bound version comparison, or an update offered half-known.
    void updateRule()
    {
        QFETCH(QString, installed);
        QFETCH(QString, latest);
        const auto known = [](const QString &v) {
            return v.isNull() ? std::nullopt : std::optional(v);
        };
        QTEST(BridgePackageUpdateState({known(installed), known(latest), {}}).isUpdateAvailable(),
              "available");
    }

    void timestamps_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("msAfterNoon"); // -1: must not parse

        QTest::newRow("offset") << u"2025-01-31T13:00:00.123+01:00"_s << 123ll;
        QTest::newRow("negative offset, one digit") << u"2025-01-31T06:30:00.5-05:30"_s << 500ll;
        QTest::newRow("six digits") << u"2025-01-31T12:00:00.123456Z"_s << 123ll;
        QTest::newRow("no fraction") << u"2025-01-31T12:00:00Z"_s << -1ll;
        QTest::newRow("empty fraction") << u"2025-01-31T12:00:00.Z"_s << -1ll;
        QTest::newRow("no zone") << u"2025-01-31T12:00:00.123"_s << -1ll;
        QTest::newRow("zone minutes 60") << u"2025-01-31T12:00:00.123+01:60"_s << -1ll;
        QTest::newRow("zone hours 24") << u"2025-01-31T12:00:00.123+24:00"_s << -1ll;
        QTest::newRow("impossible day") << u"2025-02-30T12:00:00.123Z"_s << -1ll;
        QTest::newRow("hour 24") << u"2025-01-31T24:00:00.123Z"_s << -1ll;
        QTest::newRow("leading blank") << u" 2025-01-31T12:00:00.123Z"_s << -1ll;
        QTest::newRow("trailing text") << u"2025-01-31T12:00:00.123Zx"_s << -1ll;
        QTest::newRow("lower-case t") << u"2025-01-31t12:00:00.123Z"_s << -1ll;
    }

    // Catches a timestamp parser that accepts what the bridge never writes, or misreads a zone.
    void timestamps()
    {
        QFETCH(QString, text);
        const auto parsed = parseBridgeTimestamp(text);
        QTEST(parsed ? noon.msecsTo(*parsed) : -1, "msAfterNoon");
        QCOMPARE(BridgePairingSession({.createdAt = text, .pairingPayload = {}}).createdDate(),
                 parsed);
    }

    void relayClassification_data()
    {
        QTest::addColumn<QString>("relay");
        QTest::addColumn<QString>("kind");
        const QString local = u"Local"_s, remote = u"Remote"_s, none = u"Unconfigured"_s;

        QTest::newRow("blank in host") << u"ws://local host:9000/relay"_s << none;
        QTest::newRow("host and port, no scheme") << u"localhost:9000"_s << none;
        QTest::newRow("address and port, no scheme") << u"192.168.1.5:9000"_s << none;
        QTest::newRow("empty host") << u"file:///tmp/x"_s << none;
        QTest::newRow("non-ASCII") << u"wss://rélay.example.com"_s << none;
        QTest::newRow("bad port") << u"ws://localhost:90a0"_s << none;
        QTest::newRow("capitals") << u"wss://LOCALHOST/relay?x=1"_s << local;
        QTest::newRow("mDNS name") << u"ws://mac-mini.local:80"_s << local;
        QTest::newRow("loopback") << u"ws://127.0.0.1:9000"_s << local;
        QTest::newRow("IPv6 loopback") << u"ws://[::1]:9000/relay"_s << local;
        QTest::newRow("user info") << u"ws://me:pw@192.168.0.10/relay"_s << local;
        QTest::newRow("10 prefix on a name") << u"https://10.example.com"_s << local;
        QTest::newRow("172.15") << u"ws://172.15.0.1"_s << remote;
        QTest::newRow("172.16") << u"ws://172.16.0.1"_s << local;
        QTest::newRow("172.31") << u"ws://172.31.255.255"_s << local;
        QTest::newRow("172.32") << u"ws://172.32.0.1"_s << remote;
        // Decimal, and exactly four pieces.
        QTest::newRow("172.016") << u"ws://172.016.0.1"_s << local;
        QTest::newRow("172, five pieces") << u"ws://172.16.0.1.5"_s << remote;
        QTest::newRow("public name") << u"wss://relay.example.com/v1"_s << remote;
    }

    // Catches a relay classified by a loose host parse or off-by-one private ranges.
    void relayClassification()
    {
        QFETCH(QString, relay);
        QTEST(classifyRelay(relay), "kind");
    }

    // Catches trimming that misses Unicode blanks, and integer limits off by one.
    void textHelpers()
    {
        QCOMPARE(nonEmptyTrimmed(u" \t\n\r\u2003\u2028 "), std::nullopt);
        QCOMPARE(nonEmptyTrimmed(u"\u00a0 two words \n"), u"two words"_s);
        // The most negative value has no positive counterpart.
        QCOMPARE(parseDecimalInteger(u"-9223372036854775808"), std::numeric_limits<qint64>::min());
        QCOMPARE(parseDecimalInteger(u"9223372036854775807"), std::numeric_limits<qint64>::max());
        QCOMPARE(parseDecimalInteger(u"9223372036854775808"), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(TestBridgeControlModels)
#include "tst_bridgecontrolmodels.moc"
