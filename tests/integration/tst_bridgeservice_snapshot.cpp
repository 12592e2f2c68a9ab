// Loading the bridge snapshot from the real stand-in tool: JSON status, the text-status
// fallback, every source of the state directory and state files in every bad shape.
#include "ServiceTestSupport.h"
#include "TestSandbox.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

QJsonObject json(const char *text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

const QByteArray validConfig = R"({"relayUrl": "ws://config", "refreshEnabled": false})";
const QByteArray validStatus
    = R"({"state": "running", "connectionStatus": "connected", "pid": 77, "updatedAt": "2025-01-01T00:00:00.000Z"})";
const QByteArray validSession
    = R"({"createdAt": "2025-01-01T00:00:00.000Z", "pairingPayload": { "v": 1, "relay": "ws://r", "sessionId": "s", "macDeviceId": "m", "macIdentityPublicKey": "k", "expiresAt": 1735689600000}})";

} // namespace

class TestBridgeServiceSnapshot : public QObject
{
    Q_OBJECT

    TestSandbox m_sandbox;

    QString state(const QString &file = {}) const
    {
        return file.isEmpty() ? m_sandbox.stateDirectory()
                              : m_sandbox.stateDirectory() + u'/' + file;
    }
    QString dirs(const QString &name) const { return m_sandbox.root() + u"/dirs/"_s + name; }

    BridgeSnapshot load(const std::optional<QString> &relayOverride = std::nullopt)
    {
        TestBridgeControlService service;
        return awaitTask(service.loadSnapshot(relayOverride));
    }

    void writeStateFiles(const QString &directory)
    {
        QVERIFY(TestSandbox::writeFile(directory + u"/daemon-config.json"_s, validConfig));
        QVERIFY(TestSandbox::writeFile(directory + u"/bridge-status.json"_s, validStatus));
        QVERIFY(TestSandbox::writeFile(directory + u"/pairing-session.json"_s, validSession));
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

    // The tool's own JSON is taken as it is: its platform is not the fallback's "darwin", and no
    // version is asked for. A document over a megabyte reads the same.
    void jsonStatus()
    {
        writeStateFiles(state());
        const BridgeSnapshot snapshot = load();
        QCOMPARE(snapshot.platform, u"linux"_s);
        QCOMPARE(snapshot.currentVersion, u"0.4.2"_s);
        QCOMPARE(snapshot.label, u"com.pivra.bridge"_s);
        QVERIFY(!snapshot.installed && !snapshot.launchdLoaded && !snapshot.launchdPid);
        QCOMPARE(snapshot.daemonConfig, decodeRecord<BridgeDaemonConfig>(validConfig));
        QCOMPARE(snapshot.bridgeStatus, decodeRecord<BridgeRuntimeStatus>(validStatus));
        QCOMPARE(snapshot.pairingSession, decodeRecord<BridgePairingSession>(validSession));
        QCOMPARE(snapshot.stdoutLogPath, state(u"logs/bridge.stdout.log"_s));
        QCOMPARE(snapshot.stderrLogPath, state(u"logs/bridge.stderr.log"_s));
        const auto calls = m_sandbox.calls();
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls[0][u"argv"_s].toVariant().toStringList(),
                 QStringList({u"status"_s, u"--json"_s}));

        m_sandbox.writeKnobs(json(R"({"padBytes": {"status": 1200000}})"));
        QCOMPARE(load(), snapshot);
    }

    void textStatus_data()
    {
        QTest::addColumn<QString>("versionFormat");
        QTest::newRow("version as text") << u"text"_s;
        QTest::newRow("version as JSON string") << u"json"_s;
    }

    // A running bridge that prints its status as lines: the version comes from --version (run
    // without the override), the files from the state directory.
    void textStatus()
    {
        QFETCH(QString, versionFormat);
        TestBridgeControlService service;
        awaitTask(service.startBridge(std::nullopt));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(state(u"pairing-session.json"_s)), 10000);
        m_sandbox.writeKnobs({{u"statusFormat"_s, u"text"_s}, {u"versionFormat"_s, versionFormat}});

        const BridgeSnapshot snapshot = awaitTask(service.loadSnapshot(u" ws://override "_s));
        QCOMPARE(snapshot.currentVersion, u"0.4.2"_s);
        QCOMPARE(snapshot.platform, u"darwin"_s);
        QCOMPARE(snapshot.label, u"com.pivra.bridge"_s);
        QVERIFY(snapshot.installed);
        QVERIFY(snapshot.launchdLoaded);
        QFile pidFile(state(u"bridge.pid"_s));
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        QCOMPARE(snapshot.launchdPid, pidFile.readAll().trimmed().toLongLong());
        QCOMPARE(snapshot.daemonConfig->relayUrl, u"ws://127.0.0.1:9000/relay"_s);
        QVERIFY(snapshot.bridgeStatus && snapshot.bridgeStatus->pid == snapshot.launchdPid);
        QVERIFY(snapshot.pairingSession && snapshot.pairingSession->pairingPayload);
        QCOMPARE(snapshot.stdoutLogPath, state(u"logs/bridge.stdout.log"_s));
        QCOMPARE(snapshot.stderrLogPath, state(u"logs/bridge.stderr.log"_s));

        const auto calls = m_sandbox.calls();
        QCOMPARE(calls.size(), 3);
        QCOMPARE(calls[1][u"argv"_s].toVariant().toStringList(),
                 QStringList({u"status"_s, u"--json"_s}));
        QCOMPARE(calls[1][u"relay"_s].toString(), u"ws://override"_s);
        QCOMPARE(calls[2][u"argv"_s].toVariant().toStringList(), QStringList{u"--version"_s});
        QVERIFY(calls[2][u"relay"_s].isNull());
    }

    // Values the lines leave open: an unrecognised "installed" falls back to whether the launch
    // agent exists; unreadable "launchd loaded" and "pid" are false and absent.
    void textStatusOddValues()
    {
        m_sandbox.writeKnobs(json(
            R"({"statusFormat": "text", "statusExtraLines": [ "[pivra] installed: true", "[pivra] launchd loaded: perhaps", "[pivra] pid: 12a", "[pivra] service label: custom.label", "[pivra] stderr log:"]})"));
        BridgeSnapshot snapshot = load();
        QVERIFY(!snapshot.installed);
        QVERIFY(!snapshot.launchdLoaded);
        QCOMPARE(snapshot.launchdPid, std::nullopt);
        QCOMPARE(snapshot.label, u"custom.label"_s);
        QCOMPARE(snapshot.stderrLogPath, QString());
        QVERIFY(TestSandbox::writeFile(m_sandbox.launchAgentPath(), "not a property list"));
        snapshot = load();
        QVERIFY(snapshot.installed);
    }

    void stateDirectorySources_data()
    {
        QTest::addColumn<QString>("source");
        for (const char *source : {"environment", "xml", "binary", "log", "default"})
            QTest::newRow(source) << QString::fromLatin1(source);
    }

    // Each source names a directory whose daemon configuration tells which one was read; every
    // lower-ranked source points somewhere else.
    void stateDirectorySources()
    {
        QFETCH(QString, source);
        for (const QString &name : {u"environment"_s, u"xml"_s, u"binary"_s, u"log"_s, u"decoy"_s})
            QVERIFY(TestSandbox::writeFile(dirs(name) + u"/daemon-config.json"_s,
                                           "{\"relayUrl\": \"ws://" + name.toUtf8() + "\"}"));
        const QByteArray defaultConfig = R"({"relayUrl": "ws://default"})";
        QVERIFY(TestSandbox::writeFile(state(u"daemon-config.json"_s), defaultConfig));

        QString toolState = state();
        QString logLine = u"[pivra] stdout log: "_s + dirs(u"decoy"_s) + u"/logs/out.log"_s;
        if (source == u"environment") {
            toolState = dirs(u"environment"_s);
            qputenv("PIVRA_DEVICE_STATE_DIR", QFile::encodeName(toolState));
            QVERIFY(TestSandbox::writeLaunchAgent(m_sandbox.launchAgentPath(), dirs(u"decoy"_s),
                                                  false));
        } else if (source == u"xml" || source == u"binary") {
            QVERIFY(TestSandbox::writeLaunchAgent(m_sandbox.launchAgentPath(), dirs(source),
                                                  source == u"binary"));
            QFile agent(m_sandbox.launchAgentPath());
            QVERIFY(agent.open(QIODevice::ReadOnly));
            QCOMPARE(agent.read(8) == "bplist00", source == u"binary");
        } else if (source == u"log") {
            logLine = u"[pivra] stdout log: "_s + dirs(u"log"_s) + u"/logs/out.log"_s;
        } else {
            logLine = u"[pivra] stdout log:"_s;
        }
        m_sandbox.writeKnobs(
            {{u"statusFormat"_s, u"text"_s}, {u"statusExtraLines"_s, QJsonArray{logLine}}},
            toolState);

        const BridgeSnapshot snapshot = load();
        qunsetenv("PIVRA_DEVICE_STATE_DIR");
        QVERIFY(snapshot.daemonConfig);
        QCOMPARE(snapshot.daemonConfig->relayUrl, u"ws://"_s + source);
        if (source == u"default")
            QCOMPARE(snapshot.stdoutLogPath, QString());
    }

    void stateFiles_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("content"); // a null array removes the file
        QTest::newRow("config missing") << u"daemon-config.json"_s << QByteArray();
        QTest::newRow("status empty") << u"bridge-status.json"_s << QByteArray("");
        QTest::newRow("session truncated") << u"pairing-session.json"_s << validSession.left(60);
        QTest::newRow("config flag as text")
            << u"daemon-config.json"_s << QByteArray(R"({"refreshEnabled": "true"})");
        QTest::newRow("status pid as text")
            << u"bridge-status.json"_s << QByteArray(R"({"pid": "77"})");
        QTest::newRow("payload lacks macDeviceId")
            << u"pairing-session.json"_s
            << QByteArray(validSession).replace("\"macDeviceId\"", "\"x\"");
        QTest::newRow("session is a list") << u"pairing-session.json"_s << QByteArray("[]");
        QTest::newRow("session not UTF-8")
            << u"pairing-session.json"_s << QByteArray("{\"createdAt\": \"\xff\"}");
    }

    // A bad state file drops only its own member; the snapshot still loads.
    void stateFiles()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        writeStateFiles(state());
        if (content.isNull())
            QVERIFY(QFile::remove(state(file)));
        else
            QVERIFY(TestSandbox::writeFile(state(file), content));
        m_sandbox.writeKnobs(json(R"({"statusFormat": "text"})"));

        const BridgeSnapshot snapshot = load();
        QCOMPARE(snapshot.daemonConfig.has_value(), file != u"daemon-config.json");
        QCOMPARE(snapshot.bridgeStatus.has_value(), file != u"bridge-status.json");
        QCOMPARE(snapshot.pairingSession.has_value(), file != u"pairing-session.json");
        if (file != u"daemon-config.json")
            QCOMPARE(snapshot.daemonConfig, decodeRecord<BridgeDaemonConfig>(validConfig));
        if (file != u"pairing-session.json")
            QCOMPARE(snapshot.pairingSession, decodeRecord<BridgePairingSession>(validSession));
    }

    void unusableStatus_data()
    {
        QTest::addColumn<QString>("knobs");
        QTest::addColumn<QString>("message");
        const QString malformed = u"Bridge status returned malformed JSON."_s;
        const QString unreadable = u"Bridge status returned an unreadable CLI version."_s;
        QTest::newRow("invalid UTF-8")
            << QString::fromUtf8(R"({"invalidUtf8": {"status": true}})") << malformed;
        QTest::newRow("neither JSON nor lines")
            << QString::fromUtf8(R"({"garbage": {"status": true}})") << malformed;
        QTest::newRow("status fails")
            << QString::fromUtf8(R"({"fail": {"status": " Bridge exploded.\n"}})")
            << u"Bridge exploded."_s;
        QTest::newRow("version prints nothing") << QString::fromUtf8(
            R"({"statusFormat": "text", "fail": {"--version": {"message": "", "stream": "none", "exitCode": 0}}})")
                                                << unreadable;
        QTest::newRow("version not UTF-8")
            << QString::fromUtf8(R"({"statusFormat": "text", "invalidUtf8": {"--version": true}})")
            << unreadable;
        QTest::newRow("version fails") << QString::fromUtf8(
            R"({"statusFormat": "text", "fail": {"--version": "no version today"}})")
                                       << u"no version today"_s;
    }

    void unusableStatus()
    {
        QFETCH(QString, knobs);
        QFETCH(QString, message);
        m_sandbox.writeKnobs(QJsonDocument::fromJson(knobs.toUtf8()).object());
        TestBridgeControlService service;
        const auto error = controlErrorOf(service.loadSnapshot(std::nullopt));
        QVERIFY(error);
        QCOMPARE(error->message(), message);
    }
};

QTEST_GUILESS_MAIN(TestBridgeServiceSnapshot)
#include "tst_bridgeservice_snapshot.moc"
