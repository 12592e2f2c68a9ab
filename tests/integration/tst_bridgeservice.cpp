// The service against the stand-in tool through real zsh and node.
#include "BridgeMenuBarStore.h"
#include "ServiceTestSupport.h"
#include "TestSandbox.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

using Service = TestBridgeControlService;

class TestBridgeService : public QObject
{
    Q_OBJECT

    TestSandbox m_sandbox;

    static QJsonObject json(const char *text) { return QJsonDocument::fromJson(text).object(); }

    QString state(const QString &file) const { return m_sandbox.stateDirectory() + u'/' + file; }
    QString home(const QString &relative) const { return m_sandbox.home() + u'/' + relative; }
    QString agent() const { return home(u"Library/LaunchAgents/com.pivra.bridge.plist"_s); }

    BridgeSnapshot load(std::optional<QString> r = {})
    {
        return awaitTask(Service().loadSnapshot(r));
    }

    QStringList commandsRun() const
    {
        QStringList commands;
        for (const QJsonObject &call : m_sandbox.calls())
            commands.append(call[u"argv"_s].toVariant().toStringList().join(u' '));
        return commands;
    }

private Q_SLOTS:
    void initTestCase() { QCOMPARE(m_sandbox.setUp({.registry = false}), QString()); }

    void cleanupTestCase() { m_sandbox.cleanUp(); }

    void init() { m_sandbox.resetBridge(); }

    // Catches a JSON status not taken as it is, and text status lines or files read wrongly.
    void runningBridgeStatus()
    {
        TestBridgeControlService service;
        awaitTask(service.startBridge(std::nullopt));
        QTRY_VERIFY(QFile::exists(state(u"pairing-session.json"_s)));
        const BridgeSnapshot fromJson = load();
        QCOMPARE(fromJson.platform, u"linux"_s);
        QVERIFY(fromJson.launchdPid && fromJson.daemonConfig && fromJson.pairingSession);

        m_sandbox.writeKnobs(json(R"({"statusFormat": "text"})"));
        BridgeSnapshot snapshot = load(u" ws://override "_s);
        QCOMPARE(snapshot.currentVersion, u"0.4.2"_s);
        QCOMPARE(snapshot.platform, u"darwin"_s);
        QVERIFY(snapshot.installed && snapshot.launchdLoaded);
        QVERIFY(std::tie(snapshot.launchdPid, snapshot.daemonConfig, snapshot.pairingSession)
                == std::tie(fromJson.launchdPid, fromJson.daemonConfig, fromJson.pairingSession));
        QVERIFY(snapshot.bridgeStatus && snapshot.bridgeStatus->pid == snapshot.launchdPid);
        QCOMPARE(commandsRun(),
                 (QStringList{u"start"_s, u"status --json"_s, u"status --json"_s, u"--version"_s}));
        QCOMPARE(m_sandbox.calls()[2][u"relay"_s].toString(), u"ws://override"_s);
        QVERIFY(m_sandbox.calls()[3][u"relay"_s].isNull());

        // Unreadable values: the launch agent decides "installed"; not loaded, no pid, no log.
        m_sandbox.writeKnobs(json(
            R"({"statusFormat": "text", "statusExtraLines": ["[pivra] installed: true", "[pivra] launchd loaded: perhaps", "[pivra] pid: 12a", "[pivra] stderr log:"]})"));
        snapshot = load();
        QVERIFY(snapshot.installed && !snapshot.launchdLoaded && !snapshot.launchdPid);
        QCOMPARE(snapshot.stderrLogPath, QString());
        QVERIFY(QFile::remove(agent()));
        QVERIFY(!load().installed);
    }

    // Catches state-directory sources taken in the wrong order (each step removes the winner).
    void stateDirectorySources()
    {
        const QString dirs = m_sandbox.root() + u"/dirs/"_s;
        for (const QString &name : {u"environment"_s, u"agent"_s, u"log"_s, u"default"_s}) {
            const QString directory = name == u"default" ? m_sandbox.stateDirectory() : dirs + name;
            QVERIFY(TestSandbox::writeFile(directory + u"/daemon-config.json"_s,
                                           "{\"relayUrl\": \"ws://" + name.toUtf8() + "\"}"));
        }
        const auto printLogLine = [&](const QString &line) {
            const QJsonObject knobs{{u"statusFormat"_s, u"text"_s},
                                    {u"statusExtraLines"_s, QJsonArray{line}}};
            m_sandbox.writeKnobs(knobs);
            m_sandbox.writeKnobs(knobs, dirs + u"environment"_s);
        };
        const auto relayRead = [&] {
            const BridgeSnapshot snapshot = load();
            return snapshot.daemonConfig ? snapshot.daemonConfig->relayUrl : QString();
        };
        printLogLine(u"[pivra] stdout log: "_s + dirs + u"log/logs/out.log"_s);
        QVERIFY(TestSandbox::writeFile(
            agent(),
            "<plist><dict><key>EnvironmentVariables</key><dict><key>PIVRA_DEVICE_STATE_DIR"
            "</key><string>"
                + dirs.toUtf8() + "agent</string></dict></dict></plist>"));
        qputenv("PIVRA_DEVICE_STATE_DIR", QFile::encodeName(dirs + u"environment"_s));
        QCOMPARE(relayRead(), u"ws://environment"_s);
        qunsetenv("PIVRA_DEVICE_STATE_DIR");
        QCOMPARE(relayRead(), u"ws://agent"_s);
        QVERIFY(QFile::remove(agent()));
        QCOMPARE(relayRead(), u"ws://log"_s);
        printLogLine(u"[pivra] stdout log:"_s);
        QCOMPARE(relayRead(), u"ws://default"_s);
    }

    // Catches a bad state file that blocks the load, swamps memory or costs other members.
    void stateFiles()
    {
        m_sandbox.writeKnobs(json(R"({"statusFormat": "text"})"));
        for (const auto &[file, content] : {std::pair(u"daemon-config.json"_s, ""),
                                            {u"bridge-status.json"_s, "fifo"},
                                            {u"pairing-session.json"_s, "zero"},
                                            {u"daemon-config.json"_s, "huge"},
                                            {u"launch-agent"_s, "fifo"}}) {
            for (const char *name :
                 {"daemon-config.json", "bridge-status.json", "pairing-session.json"})
                QVERIFY(TestSandbox::writeFile(state(QLatin1String(name)), "{}"));
            const QString path = file == u"launch-agent"_s ? agent() : state(file);
            QFile::remove(path);
            if (content == "fifo"_ba)
                QCOMPARE(::mkfifo(QFile::encodeName(path), 0600), 0);
            else if (content == "zero"_ba)
                QVERIFY(QFile::link(u"/dev/zero"_s, path));
            else if (content == "huge"_ba)
                QVERIFY(QFile(path).open(QIODevice::WriteOnly) && QFile(path).resize(1LL << 30));
            const QDeadlineTimer limit(5000);
            const BridgeSnapshot snapshot = load();
            QCOMPARE_GT(limit.remainingTime(), 0);
            QCOMPARE(snapshot.daemonConfig.has_value(), file != u"daemon-config.json");
            QCOMPARE(snapshot.bridgeStatus.has_value(), file != u"bridge-status.json");
            QCOMPARE(snapshot.pairingSession.has_value(), file != u"pairing-session.json");
            QFile::remove(path);
        }
    }

    // Catches a status the service cannot use that passes for a snapshot, or loses its reason.
    void unusableStatus()
    {
        for (const auto &[knobs, message] :
             {std::pair(R"({"invalidUtf8": {"status": true}})",
                        u"Bridge status returned malformed JSON."_s),
              {R"({"fail": {"status": " Bridge exploded.\n"}})", u"Bridge exploded."_s},
              {R"({"statusFormat": "text", "invalidUtf8": {"--version": true}})",
               u"Bridge status returned an unreadable CLI version."_s},
              {R"({"statusFormat": "text", "fail": {"--version": "no version today"}})",
               u"no version today"_s}}) {
            m_sandbox.writeKnobs(json(knobs));
            QCOMPARE(controlErrorOf(Service().loadSnapshot({})).value().message(), message);
        }
    }

    // Catches an override that reaches a command altered (blank is none) or evaluated by the shell.
    void relayOverride()
    {
        const QString hostile
            = u"ws://x/\"q'$HOME`touch PWNED`;|&\n$(touch PWNED) * ${PATH} \\ !!"_s;
        for (const auto &[given, received] : {std::pair(u" \t\n"_s, QJsonValue()),
                                              {u"  "_s + hostile + u"\n"_s, QJsonValue(hostile)}}) {
            m_sandbox.resetBridge();
            Service service;
            awaitTask(service.startBridge(given));
            const BridgeSnapshot snapshot = awaitTask(service.loadSnapshot(given));
            awaitTask(service.resumeLastThread(given));
            awaitTask(service.resetPairing(given));
            awaitTask(service.stopBridge(given));
            for (const QJsonObject &call : m_sandbox.calls())
                QCOMPARE(call[u"relay"_s], received);
            QCOMPARE(commandsRun(),
                     QStringList({u"start"_s, u"status --json"_s, u"resume"_s, u"reset-pairing"_s,
                                  u"stop"_s}));
            QCOMPARE(snapshot.daemonConfig->relayUrl,
                     received.toString(u"ws://127.0.0.1:9000/relay"_s));
        }
        QVERIFY(!QFile::exists(home(u"PWNED"_s)));
    }

    // Catches a store whose hung tasks outlive it (use after free) or leave commands running.
    void storeGoesAwayWithCommandsInFlight()
    {
        m_sandbox.writeKnobs(json(R"({"hangMs": {"status": 30000, "start": 30000}})"));
        BridgeMenuBarStore::Options options;
        options.settingsPath = m_sandbox.root() + u"/settings.conf"_s;
        options.bootstrap = false;
        auto store = std::make_unique<BridgeMenuBarStore>(options);
        store->requestRefresh();
        store->startBridge();
        QTRY_VERIFY_WITH_TIMEOUT(commandsRun().contains(u"status --json"_s)
                                     && commandsRun().contains(u"start"_s),
                                 20000);
        const QDeadlineTimer limit(10000);
        store.reset();
        QCOMPARE_GT(limit.remainingTime(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(m_sandbox.commandsStillRunning().isEmpty(), 3000);
    }
};

QTEST_GUILESS_MAIN(TestBridgeService)
#include "tst_bridgeservice.moc"
