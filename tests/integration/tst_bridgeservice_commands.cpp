// The four bridge commands against the stand-in tool and its simulated daemon, the connection
// address override on its way to the tool, and paths a careless quoting would let the shell
// reinterpret.
#include "ServiceTestSupport.h"
#include "TestSandbox.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTest>

using namespace Qt::StringLiterals;

using OptionalText = std::optional<QString>;

class TestBridgeServiceCommands : public QObject
{
    Q_OBJECT

    TestSandbox m_sandbox;

    QString state(const QString &file) const { return m_sandbox.stateDirectory() + u'/' + file; }

    QStringList lastArguments() const
    {
        const auto calls = m_sandbox.calls();
        return calls.isEmpty() ? QStringList() : calls.last()[u"argv"_s].toVariant().toStringList();
    }

    std::optional<BridgePairingSession> session() const
    {
        QFile file(state(u"pairing-session.json"_s));
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        return decodeRecord<BridgePairingSession>(file.readAll());
    }

    bool pwned() const
    {
        return QFileInfo::exists(m_sandbox.home() + u"/PWNED"_s)
            || QFileInfo::exists(m_sandbox.root() + u"/PWNED"_s);
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString error = m_sandbox.setUp({.registry = false});
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    void cleanupTestCase() { m_sandbox.cleanUp(); }

    void init() { m_sandbox.resetBridge(); }

    void lifecycle()
    {
        TestBridgeControlService service;
        awaitTask(service.startBridge(std::nullopt));
        QCOMPARE(lastArguments(), QStringList{u"start"_s});
        QTRY_VERIFY_WITH_TIMEOUT(session().has_value(), 10000);
        BridgeSnapshot snapshot = awaitTask(service.loadSnapshot(std::nullopt));
        QVERIFY(snapshot.installed && snapshot.launchdLoaded && snapshot.launchdPid);
        QVERIFY(snapshot.isConnected());
        const auto first = session()->createdDate();

        awaitTask(service.resetPairing(std::nullopt));
        QCOMPARE(lastArguments(), QStringList{u"reset-pairing"_s});
        QTRY_VERIFY_WITH_TIMEOUT(session() && session()->createdDate() > first, 10000);

        awaitTask(service.resumeLastThread(std::nullopt));
        QCOMPARE(lastArguments(), QStringList{u"resume"_s});
        QFile log(state(u"logs/bridge.stdout.log"_s));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("resume requested"));

        awaitTask(service.stopBridge(std::nullopt));
        QCOMPARE(lastArguments(), QStringList{u"stop"_s});
        snapshot = awaitTask(service.loadSnapshot(std::nullopt));
        QVERIFY(!snapshot.launchdLoaded && !snapshot.isConnected());
    }

    void relayOverride_data()
    {
        QTest::addColumn<OptionalText>("relayOverride");
        QTest::addColumn<QJsonValue>("received");
        const QString hostile
            = u"ws://x/\"q'$HOME`touch PWNED`;|&\n$(touch PWNED) * ${PATH} \\ !!"_s;
        QTest::newRow("none") << OptionalText() << QJsonValue(QJsonValue::Null);
        QTest::newRow("blank") << OptionalText(u" \t\n"_s) << QJsonValue(QJsonValue::Null);
        QTest::newRow("trimmed") << OptionalText(u"  ws://10.0.0.2:9000/relay\n"_s)
                                 << QJsonValue(u"ws://10.0.0.2:9000/relay"_s);
        QTest::newRow("shell metacharacters") << OptionalText(hostile) << QJsonValue(hostile);
    }

    // Every command and the status query carry the override, exactly as given (trimmed), and
    // the shell never evaluates it.
    void relayOverride()
    {
        QFETCH(OptionalText, relayOverride);
        QFETCH(QJsonValue, received);
        TestBridgeControlService service;
        awaitTask(service.startBridge(relayOverride));
        awaitTask(service.loadSnapshot(relayOverride));
        awaitTask(service.resumeLastThread(relayOverride));
        awaitTask(service.resetPairing(relayOverride));
        awaitTask(service.stopBridge(relayOverride));
        const auto calls = m_sandbox.calls();
        QCOMPARE(calls.size(), 5);
        for (const QJsonObject &call : calls)
            QCOMPARE(call[u"relay"_s], received);
        if (received.isString()) {
            QFile config(state(u"daemon-config.json"_s));
            QVERIFY(config.open(QIODevice::ReadOnly));
            QCOMPARE(decodeRecord<BridgeDaemonConfig>(config.readAll())->relayUrl,
                     received.toString());
        }
        QVERIFY(!pwned());
    }

    void failures()
    {
        TestBridgeControlService service;
        m_sandbox.writeKnobs(
            QJsonObject{{u"fail"_s, QJsonObject{{u"reset-pairing"_s, u"  Pairing refused.\n"_s}}}});
        const BridgeCLIInvocation invocation = awaitTask(service.resolveCLIInvocation());
        auto error = controlErrorOf(service.resetPairing(u"ws://a"_s));
        QVERIFY(error);
        QCOMPARE(error->command(), invocation.commandLine({u"reset-pairing"_s}));
        QCOMPARE(error->message(), u"Pairing refused."_s);

        // With the tool gone, only the lookups run and the tool is never called.
        const QString link = m_sandbox.home() + u"/.npm-global/bin/pivra"_s;
        QVERIFY(QFile::rename(link, link + u".away"_s));
        const qsizetype callsBefore = m_sandbox.calls().size();
        error = controlErrorOf(service.stopBridge(std::nullopt));
        QVERIFY(QFile::rename(link + u".away"_s, link));
        QVERIFY(error);
        QCOMPARE(error->message(), u"pivra was not found in the app shell environment."_s);
        QCOMPARE(m_sandbox.calls().size(), callsBefore);
    }

    // A carried copy of node and the tool under a path holding a blank, a quote, `$`, a
    // backtick and a line break. A decoy at the path's first word would run if the shell ever
    // split it; the copy's own version shows that the intended script ran.
    void hostilePaths()
    {
        const QString parent = m_sandbox.root() + u"/it's a $HOME `touch PWNED`\n$(touch PWNED)"_s;
        const QString resources = parent + u"/share"_s;
        QVERIFY(QDir().mkpath(resources + u"/node/bin"_s));
        QVERIFY(QFile::link(QFileInfo(u"/usr/bin/node"_s).canonicalFilePath(),
                            resources + u"/node/bin/node"_s));
        QCOMPARE(QProcess::execute(u"cp"_s,
                                   {u"-R"_s, TestSandbox::bridgeSimDirectory() + u"/package"_s,
                                    resources + u"/pivra-bridge"_s}),
                 0);
        QFile manifest(resources + u"/pivra-bridge/package.json"_s);
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        QJsonObject json = QJsonDocument::fromJson(manifest.readAll()).object();
        manifest.close();
        json.insert(u"version"_s, u"9.9.9-carried"_s);
        QVERIFY(TestSandbox::writeFile(manifest.fileName(), QJsonDocument(json).toJson()));
        const QString decoy = m_sandbox.root() + u"/it"_s;
        QVERIFY(TestSandbox::writeFile(decoy, "#!/bin/sh\ntouch \"$HOME/PWNED\"\n"));
        QVERIFY(QFile::setPermissions(decoy, QFile::permissions(decoy) | QFile::ExeOwner));

        TestBridgeControlService service;
        service.resources = resources;
        QCOMPARE(awaitTask(service.resolveCLIInvocation()),
                 (BridgeCLIInvocation{resources + u"/node/bin/node"_s,
                                      resources + u"/pivra-bridge/bin/pivra.js"_s}));
        QCOMPARE(awaitTask(service.detectCLIAvailability()),
                 BridgeCLIAvailability::available(u"9.9.9-carried"_s));
        awaitTask(service.resumeLastThread(std::nullopt));
        QCOMPARE(lastArguments(), QStringList{u"resume"_s});
        QVERIFY(!pwned());
    }
};

QTEST_GUILESS_MAIN(TestBridgeServiceCommands)
#include "tst_bridgeservice_commands.moc"
