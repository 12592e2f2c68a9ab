// Loading the bridge snapshot from the real stand-in tool: JSON status, the text-status
// fallback, every source of the state directory and state files in bad shapes.
#include "ServiceTestSupport.h"
#include "TestSandbox.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

QJsonObject json(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}

QStringList arguments(const QJsonObject &call)
{
    return call[u"argv"_s].toVariant().toStringList();
}

} // namespace

class TestBridgeServiceSnapshot : public QObject
{
    Q_OBJECT

    TestSandbox m_sandbox;

    QString state(const QString &file) const { return m_sandbox.stateDirectory() + u'/' + file; }
    QString dirs(const QString &name) const { return m_sandbox.root() + u"/dirs/"_s + name; }

    BridgeSnapshot load(const std::optional<QString> &relayOverride = std::nullopt)
    {
        TestBridgeControlService service;
        return awaitTask(service.loadSnapshot(relayOverride));
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString error = m_sandbox.setUp({.registry = false});
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    void cleanupTestCase() { m_sandbox.cleanUp(); }

    void init()
    {
        qunsetenv("PIVRA_DEVICE_STATE_DIR");
        m_sandbox.resetBridge({m_sandbox.root() + u"/dirs"_s});
    }

    // A running bridge. Its status as the tool's JSON is taken as it is: its platform is not the
    // fallback's "darwin", and no version is asked for. As lines, the version comes from
    // --version (run without the override) and the files from the state directory. Then values
    // the lines leave open, each on a later line that wins: an unrecognised "installed" falls
    // back to whether the launch agent exists, unreadable "launchd loaded" and "pid" are false
    // and absent, and an empty log line is an empty path rather than the default.
    void runningBridgeStatus()
    {
        TestBridgeControlService service;
        awaitTask(service.startBridge(std::nullopt));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(state(u"pairing-session.json"_s)), 10000);
        const BridgeSnapshot fromJson = load();
        QCOMPARE(fromJson.platform, u"linux"_s);
        QVERIFY(fromJson.launchdPid && fromJson.daemonConfig && fromJson.pairingSession);

        m_sandbox.writeKnobs(json(R"({"statusFormat": "text"})"));
        BridgeSnapshot snapshot = awaitTask(service.loadSnapshot(u" ws://override "_s));
        QCOMPARE(snapshot.currentVersion, u"0.4.2"_s);
        QCOMPARE(snapshot.platform, u"darwin"_s);
        QVERIFY(snapshot.installed && snapshot.launchdLoaded);
        QCOMPARE(snapshot.launchdPid, fromJson.launchdPid);
        QCOMPARE(snapshot.daemonConfig, fromJson.daemonConfig);
        QCOMPARE(snapshot.pairingSession, fromJson.pairingSession);
        QVERIFY(snapshot.bridgeStatus && snapshot.bridgeStatus->pid == snapshot.launchdPid);
        const auto calls = m_sandbox.calls();
        QCOMPARE(calls.size(), 4);
        QCOMPARE(arguments(calls[1]), QStringList({u"status"_s, u"--json"_s}));
        QCOMPARE(arguments(calls[2]), QStringList({u"status"_s, u"--json"_s}));
        QCOMPARE(calls[2][u"relay"_s].toString(), u"ws://override"_s);
        QCOMPARE(arguments(calls[3]), QStringList{u"--version"_s});
        QVERIFY(calls[3][u"relay"_s].isNull());

        m_sandbox.writeKnobs(json(
            R"({"statusFormat": "text", "statusExtraLines": ["[pivra] installed: true", "[pivra] launchd loaded: perhaps", "[pivra] pid: 12a", "[pivra] stderr log:"]})"));
        snapshot = load();
        QVERIFY(snapshot.installed && !snapshot.launchdLoaded && !snapshot.launchdPid);
        QCOMPARE(snapshot.stderrLogPath, QString());
        QVERIFY(QFile::remove(m_sandbox.launchAgentPath()));
        QVERIFY(!load().installed);
    }

    // Each source names a directory whose daemon configuration tells which one was read; every
    // step takes away the source that won, so all lower-ranked ones are in place each time.
    void stateDirectorySources()
    {
        for (const QString &name : {u"environment"_s, u"agent"_s, u"log"_s, u"default"_s}) {
            const QString directory = name == u"default" ? m_sandbox.stateDirectory() : dirs(name);
            QVERIFY(TestSandbox::writeFile(directory + u"/daemon-config.json"_s,
                                           "{\"relayUrl\": \"ws://" + name.toUtf8() + "\"}"));
        }
        const auto printLogLine = [&](const QString &line) {
            const QJsonObject knobs{{u"statusFormat"_s, u"text"_s},
                                    {u"statusExtraLines"_s, QJsonArray{line}}};
            m_sandbox.writeKnobs(knobs);
            m_sandbox.writeKnobs(knobs, dirs(u"environment"_s));
        };
        const auto relayRead = [&] {
            const BridgeSnapshot snapshot = load();
            return snapshot.daemonConfig ? snapshot.daemonConfig->relayUrl : QString();
        };

        printLogLine(u"[pivra] stdout log: "_s + dirs(u"log"_s) + u"/logs/out.log"_s);
        QVERIFY(TestSandbox::writeLaunchAgent(m_sandbox.launchAgentPath(), dirs(u"agent"_s), true));
        qputenv("PIVRA_DEVICE_STATE_DIR", QFile::encodeName(dirs(u"environment"_s)));
        QCOMPARE(relayRead(), u"ws://environment"_s);
        qunsetenv("PIVRA_DEVICE_STATE_DIR");
        QCOMPARE(relayRead(), u"ws://agent"_s);
        QVERIFY(QFile::remove(m_sandbox.launchAgentPath()));
        QCOMPARE(relayRead(), u"ws://log"_s);
        printLogLine(u"[pivra] stdout log:"_s);
        QCOMPARE(relayRead(), u"ws://default"_s);
    }

    void stateFiles_data()
    {
        QTest::addColumn<QString>("file");
        // A null array removes the file; "fifo", "zero" and "huge" put a FIFO, a link to
        // /dev/zero or a sparse 1 GB file in its place.
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("config missing") << u"daemon-config.json"_s << QByteArray();
        QTest::newRow("status truncated")
            << u"bridge-status.json"_s << QByteArray("{\"state\": \"runn");
        QTest::newRow("session not UTF-8")
            << u"pairing-session.json"_s << QByteArray("{\"createdAt\": \"\xff\"}");
        QTest::newRow("status is a FIFO") << u"bridge-status.json"_s << QByteArray("fifo");
        QTest::newRow("session links to /dev/zero")
            << u"pairing-session.json"_s << QByteArray("zero");
        QTest::newRow("config of 1 GB") << u"daemon-config.json"_s << QByteArray("huge");
        QTest::newRow("launch agent is a FIFO") << u"launch-agent"_s << QByteArray("fifo");
    }

    // Catches a bad state file that costs more than its own member: the snapshot still loads,
    // and a FIFO, a device or a huge file neither blocks the read nor swamps memory.
    void stateFiles()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        for (const char *name :
             {"daemon-config.json", "bridge-status.json", "pairing-session.json"})
            QVERIFY(TestSandbox::writeFile(state(QLatin1String(name)), "{}"));
        const QString path = file == u"launch-agent"_s ? m_sandbox.launchAgentPath() : state(file);
        QFile::remove(path);
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        const QByteArray native = QFile::encodeName(path);
        if (content == "fifo")
            QCOMPARE(::mkfifo(native.constData(), 0600), 0);
        else if (content == "zero")
            QVERIFY(QFile::link(u"/dev/zero"_s, path));
        else if (content == "huge")
            QVERIFY(QFile(path).open(QIODevice::WriteOnly) && QFile(path).resize(1LL << 30));
        else if (!content.isNull())
            QVERIFY(TestSandbox::writeFile(path, content));
        m_sandbox.writeKnobs(json(R"({"statusFormat": "text"})"));

        QElapsedTimer elapsed;
        elapsed.start();
        const BridgeSnapshot snapshot = load();
        QCOMPARE_LT(elapsed.elapsed(), 5000);
        QCOMPARE(snapshot.daemonConfig.has_value(), file != u"daemon-config.json");
        QCOMPARE(snapshot.bridgeStatus.has_value(), file != u"bridge-status.json");
        QCOMPARE(snapshot.pairingSession.has_value(), file != u"pairing-session.json");
        QFile::remove(path);
    }

    void unusableStatus_data()
    {
        QTest::addColumn<QByteArray>("knobs");
        QTest::addColumn<QString>("message");
        QTest::newRow("invalid UTF-8") << QByteArray(R"({"invalidUtf8": {"status": true}})")
                                       << u"Bridge status returned malformed JSON."_s;
        QTest::newRow("status fails")
            << QByteArray(R"({"fail": {"status": " Bridge exploded.\n"}})")
            << u"Bridge exploded."_s;
        QTest::newRow("version not UTF-8")
            << QByteArray(R"({"statusFormat": "text", "invalidUtf8": {"--version": true}})")
            << u"Bridge status returned an unreadable CLI version."_s;
        QTest::newRow("version fails")
            << QByteArray(R"({"statusFormat": "text", "fail": {"--version": "no version today"}})")
            << u"no version today"_s;
    }

    void unusableStatus()
    {
        QFETCH(QByteArray, knobs);
        QFETCH(QString, message);
        m_sandbox.writeKnobs(json(knobs));
        TestBridgeControlService service;
        const auto error = controlErrorOf(service.loadSnapshot(std::nullopt));
        QVERIFY(error);
        QCOMPARE(error->message(), message);
    }
};

QTEST_GUILESS_MAIN(TestBridgeServiceSnapshot)
#include "tst_bridgeservice_snapshot.moc"
