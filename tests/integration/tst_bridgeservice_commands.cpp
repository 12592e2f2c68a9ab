// The four bridge commands against the stand-in tool: the connection address override on its
// way to the tool and paths a careless quoting would let the shell reinterpret. What each
// command does to the bridge, and a failing one, are the headless front end's test.
#include "BridgeMenuBarStore.h"
#include "ServiceTestSupport.h"
#include "TestSandbox.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

using OptionalText = std::optional<QString>;

class TestBridgeServiceCommands : public QObject
{
    Q_OBJECT

    TestSandbox m_sandbox;

    // Every call the tool logged, as its arguments joined by blanks.
    QStringList commandsRun() const
    {
        QStringList commands;
        for (const QJsonObject &call : m_sandbox.calls())
            commands.append(call[u"argv"_s].toVariant().toStringList().join(u' '));
        return commands;
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

    void relayOverride_data()
    {
        QTest::addColumn<OptionalText>("relayOverride");
        QTest::addColumn<QJsonValue>("received");
        const QString hostile
            = u"ws://x/\"q'$HOME`touch PWNED`;|&\n$(touch PWNED) * ${PATH} \\ !!"_s;
        QTest::newRow("blank") << OptionalText(u" \t\n"_s) << QJsonValue(QJsonValue::Null);
        QTest::newRow("shell metacharacters")
            << OptionalText(u"  "_s + hostile + u"\n"_s) << QJsonValue(hostile);
    }

    // Every command and the status query carry the override exactly as given (trimmed; blank is
    // none), and the shell never evaluates it.
    void relayOverride()
    {
        QFETCH(OptionalText, relayOverride);
        QFETCH(QJsonValue, received);
        TestBridgeControlService service;
        awaitTask(service.startBridge(relayOverride));
        const BridgeSnapshot snapshot = awaitTask(service.loadSnapshot(relayOverride));
        awaitTask(service.resumeLastThread(relayOverride));
        awaitTask(service.resetPairing(relayOverride));
        awaitTask(service.stopBridge(relayOverride));
        for (const QJsonObject &call : m_sandbox.calls())
            QCOMPARE(call[u"relay"_s], received);
        QCOMPARE(commandsRun(),
                 QStringList(
                     {u"start"_s, u"status --json"_s, u"resume"_s, u"reset-pairing"_s, u"stop"_s}));
        if (received.isString())
            QCOMPARE(snapshot.daemonConfig->relayUrl, received.toString());
        QVERIFY(!pwned());
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
        const QByteArray manifest
            = R"({"name": "pivra", "version": "9.9.9-carried", "bin": {"pivra": "bin/pivra.js"}})";
        QVERIFY(TestSandbox::writeFile(resources + u"/pivra-bridge/package.json"_s, manifest));
        const QString decoy = m_sandbox.root() + u"/it"_s;
        QVERIFY(TestSandbox::writeFile(decoy, "#!/bin/sh\ntouch \"$HOME/PWNED\"\n"));
        QVERIFY(QFile::setPermissions(decoy, QFile::permissions(decoy) | QFile::ExeOwner));

        TestBridgeControlService service;
        service.resources = resources;
        QCOMPARE(awaitTask(service.detectCLIAvailability()),
                 BridgeCLIAvailability::available(u"9.9.9-carried"_s));
        awaitTask(service.resumeLastThread(std::nullopt));
        QCOMPARE(commandsRun(), QStringList({u"--version"_s, u"resume"_s}));
        QVERIFY(!pwned());
    }

    // Catches a store whose tasks outlive it (a frame resuming into freed memory, which ASan
    // reports) or leave their commands running: it goes away while a refresh and an action
    // wait on commands that hang.
    void storeGoesAwayWithCommandsInFlight()
    {
        m_sandbox.writeKnobs(
            QJsonObject{{u"hangMs"_s, QJsonObject{{u"status"_s, 30000}, {u"start"_s, 30000}}}});
        QTemporaryDir settings;
        BridgeMenuBarStore::Options options;
        options.settingsPath = settings.filePath(u"settings.conf"_s);
        options.bootstrap = false;
        auto store = std::make_unique<BridgeMenuBarStore>(options);
        store->requestRefresh();
        store->startBridge();
        QVERIFY(QTest::qWaitFor(
            [&] {
                const QStringList run = commandsRun();
                return run.contains(u"status --json"_s) && run.contains(u"start"_s);
            },
            20000));
        QElapsedTimer elapsed;
        elapsed.start();
        store.reset();
        QCOMPARE_LT(elapsed.elapsed(), 10000);
        QVERIFY(QTest::qWaitFor([&] { return m_sandbox.commandsStillRunning().isEmpty(); }, 3000));
    }
};

QTEST_GUILESS_MAIN(TestBridgeServiceCommands)
#include "tst_bridgeservice_commands.moc"
