// Black-box runs of `pivra-menubar --headless` in a sandbox home with the stand-in tool, the
// loopback registry and real npm: what a script or a headless machine sees.
#include "TestSandbox.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// One running app: its state lines as they arrive, and its standard input.
class HeadlessApp
{
public:
    explicit HeadlessApp(const QStringList &arguments = {})
    {
        m_process.setProgram(QStringLiteral(PIVRA_MENUBAR_BINARY));
        m_process.setArguments(QStringList{u"--headless"_s} + arguments);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { readLines(); });
        QObject::connect(&m_process, &QProcess::readyReadStandardError,
                         [this] { m_stderr += m_process.readAllStandardError(); });
        m_process.start();
    }

    ~HeadlessApp()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(10000))
                m_process.kill();
            m_process.waitForFinished();
        }
    }

    void send(const QString &command) { m_process.write(command.toUtf8() + '\n'); }

    // Waits until some state line from `from` on satisfies `condition`; gives that line.
    std::optional<QJsonObject> waitFor(const std::function<bool(const QJsonObject &)> &condition,
                                       int timeoutMs = 60000, qsizetype from = 0)
    {
        std::optional<QJsonObject> found;
        (void)QTest::qWaitFor(
            [&] {
                for (qsizetype i = from; i < m_states.size(); ++i) {
                    if (condition(m_states[i])) {
                        found = m_states[i];
                        return true;
                    }
                }
                return m_process.state() == QProcess::NotRunning;
            },
            timeoutMs);
        return found;
    }

    // Once the app is idle, sends `command` and waits until the action or refresh it starts
    // has ended; gives the state then.
    QJsonObject run(const QString &command, int timeoutMs = 90000)
    {
        if (!QTest::qWaitFor([this] { return !m_states.isEmpty() && !isBusy(last()); }, timeoutMs))
            return {};
        static const QStringList actions{u"setup"_s,  u"start"_s,         u"stop"_s,
                                         u"resume"_s, u"reset-pairing"_s, u"update"_s};
        const QString flag = actions.contains(command.section(u' ', 0, 0)) ? u"isPerformingAction"_s
                                                                           : u"isRefreshing"_s;
        const qsizetype from = m_states.size();
        send(command);
        const auto started
            = waitFor([&](const QJsonObject &s) { return s[flag].toBool(); }, timeoutMs, from);
        if (!started)
            return {};
        const qsizetype startedAt = m_states.indexOf(*started, from);
        return waitFor([](const QJsonObject &s) { return !isBusy(s); }, timeoutMs, startedAt)
            .value_or(QJsonObject{});
    }

    // Waits for a ready, idle state: start-up has finished on a bridge that is ready to pair.
    bool waitUntilReady(int timeoutMs = 60000)
    {
        const auto ready = [](const QJsonObject &s) {
            return s["isSetupReady"_L1].toBool() && !isBusy(s);
        };
        return waitFor(ready, timeoutMs).has_value();
    }

    bool waitForExit(int timeoutMs = 90000)
    {
        if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(timeoutMs))
            return false;
        readLines();
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }

    static bool isBusy(const QJsonObject &state)
    {
        return state["isPerformingAction"_L1].toBool() || state["isRefreshing"_L1].toBool();
    }

    bool quit()
    {
        send(u"quit"_s);
        return waitForExit();
    }

    const QList<QJsonObject> &states() const { return m_states; }
    void closeOutput() { m_process.closeReadChannel(QProcess::StandardOutput); }
    void terminate() { m_process.terminate(); }
    int exitCode() const { return m_process.exitCode(); }
    QJsonObject last() const { return m_states.isEmpty() ? QJsonObject{} : m_states.last(); }
    QByteArray standardError() const { return m_stderr; }

    // Each distinct value a top-level key took, in order.
    QStringList history(const QString &key) const
    {
        QStringList values;
        for (const QJsonObject &state : m_states) {
            const QString value = state[key].toString();
            if (values.isEmpty() || values.last() != value)
                values << value;
        }
        return values;
    }

private:
    void readLines()
    {
        while (m_process.canReadLine()) {
            const QByteArray line = m_process.readLine();
            QJsonParseError error;
            const QJsonDocument document = QJsonDocument::fromJson(line, &error);
            if (error.error != QJsonParseError::NoError || !document.isObject())
                qFatal("not a state line: %s", line.constData());
            m_states.append(document.object());
        }
    }

    QProcess m_process;
    QList<QJsonObject> m_states;
    QByteArray m_stderr;
};

QJsonObject snapshotOf(const QJsonObject &state)
{
    return state["snapshot"_L1].toObject();
}

QString sessionOf(const QJsonObject &state)
{
    return snapshotOf(state)["pairingSession"_L1]
        .toObject()["pairingPayload"_L1]
        .toObject()["sessionId"_L1]
        .toString();
}

// Runs a program to its end and gives what it printed.
QByteArray run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForFinished(20000);
    return process.readAll();
}

bool testAvahi(const QString &command)
{
    QProcess process;
    process.start(u"bash"_s, {QStringLiteral(PIVRA_SOURCE_DIR "/scripts/lib/test-avahi"), command});
    return process.waitForFinished(20000) && process.exitCode() == 0;
}

QString settingsPath(const TestSandbox &sandbox)
{
    return sandbox.home() + u"/.config/Pivra/PivraMenuBar.conf"_s;
}

QVariant savedRelay(const TestSandbox &sandbox)
{
    return QSettings(settingsPath(sandbox), QSettings::IniFormat)
        .value(u"pivra.menuBar.relayOverride"_s);
}

QStringList relaysOf(const TestSandbox &sandbox, const QString &word)
{
    QStringList relays;
    for (const QJsonObject &call : sandbox.calls()) {
        if (call["argv"_L1].toArray().first().toString() == word)
            relays << (call["relay"_L1].isNull() ? u"<none>"_s : call["relay"_L1].toString());
    }
    return relays;
}

} // namespace

class TestHeadless : public QObject
{
    Q_OBJECT

private:
    TestSandbox m_sandbox;

    void setUpSandbox(TestSandbox::Options options)
    {
        const QString problem = m_sandbox.setUp(options);
        if (!problem.isEmpty())
            QFAIL(qPrintable(problem));
    }

private Q_SLOTS:
    void cleanup() { m_sandbox.cleanUp(); }

    // Nothing installed: the automatic setup installs the tool from the registry, starts the
    // bridge and ends ready; the app is idle only once the announcement has settled, so the
    // last line before it exits already says what the phone can see.
    void launchFromNothing()
    {
        setUpSandbox({.registry = true, .install = TestSandbox::Install::None});
        HeadlessApp app({u"--exit-when-idle"_s});
        QVERIFY2(app.waitForExit(), app.standardError().constData());

        QCOMPARE(app.history(u"setupStatusMessage"_s),
                 (QStringList{
                     u""_s, u"Preparing Pivra on this Mac..."_s, u"Checking Codex on this Mac..."_s,
                     u"Preparing the Pivra Mac connector..."_s,
                     u"Starting the secure Mac connection..."_s,
                     u"Preparing the phone pairing code..."_s, u"Ready to pair from iPhone."_s}));
        const QJsonObject ready = app.states().at(app.states().size() - 2);
        QVERIFY(ready["isSetupReady"_L1].toBool());
        QCOMPARE(ready["transientMessage"_L1].toString(), u"Mac connection is ready."_s);
        QCOMPARE(ready["errorMessage"_L1].toString(), u""_s);
        QCOMPARE(ready["cliAvailability"_L1].toObject()["version"_L1].toString(), u"0.5.0"_s);
        QCOMPARE(ready["discovery"_L1].toObject()["state"_L1].toString(), u"published"_s);
        QCOMPARE(ready["view"_L1].toObject()["pairing"_L1].toObject()["discovery"_L1].toString(),
                 u"Published"_s);
        const QJsonObject advertisement = ready["advertisement"_L1].toObject();
        QCOMPARE(advertisement["type"_L1].toString(), u"_pivra._tcp"_s);
        QCOMPARE(advertisement["txt"_L1].toObject()["sessionId"_L1].toString(), sessionOf(ready));
        // Leaving withdraws the announcement.
        QVERIFY(app.last()["advertisement"_L1].isNull());
        QCOMPARE(app.last()["discovery"_L1].toObject(), (QJsonObject{{"state"_L1, u"inactive"_s}}));
    }

    // Catches a card that keeps saying "Published" while the daemon is gone, or a state that
    // needs a refresh to follow it: absent at start, started (published within 5 s), killed
    // (failed within 5 s); and a collision, which shows the renamed service.
    void discoveryFollowsDaemon()
    {
        setUpSandbox({});
        QVERIFY(m_sandbox.startBridge(10000));
        qputenv("PIVRA_COMPUTER_NAME", "Headless Mac");
        const auto restore = qScopeGuard([] {
            qunsetenv("PIVRA_COMPUTER_NAME");
            testAvahi(u"start"_s);
        });
        const auto discoveryRow = [](const QJsonObject &s) {
            return s["view"_L1].toObject()["pairing"_L1].toObject()["discovery"_L1].toString();
        };
        const auto discoveryState = [](const QJsonObject &s) {
            return s["discovery"_L1].toObject()["state"_L1].toString();
        };
        QVERIFY(testAvahi(u"stop"_s));
        {
            HeadlessApp app;
            const auto stopped = app.waitFor([&](const QJsonObject &s) {
                return discoveryRow(s) == u"DNS-SD service stopped"_s;
            });
            QVERIFY2(stopped, app.standardError().constData());
            QCOMPARE((*stopped)["discovery"_L1].toObject()["reason"_L1].toString(),
                     u"avahi-daemon is not running."_s);
            QVERIFY((*stopped)["advertisement"_L1].isNull());

            QVERIFY(testAvahi(u"start"_s));
            qsizetype from = app.states().size();
            const auto published = app.waitFor(
                [&](const QJsonObject &s) { return discoveryRow(s) == u"Published"_s; }, 5000,
                from);
            QVERIFY2(published, "not published within 5 s of the daemon's start");
            QCOMPARE((*published)["advertisement"_L1].toObject()["name"_L1].toString(),
                     u"Pivra Headless Mac"_s);
            QCOMPARE((*published)["discovery"_L1].toObject()["interfaces"_L1].toArray().size(), 2);

            QVERIFY(testAvahi(u"kill"_s));
            from = app.states().size();
            QVERIFY2(
                app.waitFor([&](const QJsonObject &s) { return discoveryState(s) == u"failed"_s; },
                            5000, from),
                "the state did not follow the daemon within 5 s");
            QVERIFY(app.quit());
        }

        QVERIFY(testAvahi(u"start"_s));
        QProcess other;
        other.start(u"avahi-publish"_s,
                    {u"-s"_s, u"Pivra Headless Mac"_s, u"_pivra._tcp"_s, u"9"_s});
        const auto stopOther = qScopeGuard([&] {
            other.terminate();
            other.waitForFinished();
        });
        QVERIFY(QTest::qWaitFor(
            [&] {
                return run(u"avahi-browse"_s, {u"-pt"_s, u"_pivra._tcp"_s})
                    .contains("Pivra\\032Headless\\032Mac");
            },
            10000));
        HeadlessApp app({u"--exit-when-idle"_s});
        QVERIFY(app.waitForExit());
        const QJsonObject idle = app.states().at(app.states().size() - 2);
        QCOMPARE(idle["advertisement"_L1].toObject()["name"_L1].toString(),
                 u"Pivra Headless Mac #2"_s);
        QCOMPARE(discoveryRow(idle), u"Published"_s);
    }

    // Start-up states that must not run the automatic setup: a connected bridge with a live
    // code, one with an expired code (re-issued by the start-up refresh itself, with the
    // bridge's own address), and no Codex entry at all.
    void startUpWithoutSetup_data()
    {
        QTest::addColumn<bool>("codex");
        QTest::addColumn<int>("pairingLifetimeMs");
        QTest::addColumn<QStringList>("startRelays");

        QTest::newRow("ready") << true << 600000 << QStringList{u"<none>"_s};
        QTest::newRow("expired code")
            << true << -60000 << QStringList{u"<none>"_s, u"ws://127.0.0.1:9000/relay"_s};
        QTest::newRow("no Codex") << false << 0 << QStringList{};
    }

    void startUpWithoutSetup()
    {
        QFETCH(bool, codex);
        QFETCH(int, pairingLifetimeMs);
        QFETCH(QStringList, startRelays);

        if (codex) {
            setUpSandbox({});
            m_sandbox.writeKnobs({{"pairingLifetimeMs"_L1, pairingLifetimeMs}});
            QVERIFY(m_sandbox.startBridge(10000));
            m_sandbox.writeKnobs({});
        } else {
            setUpSandbox({.registry = true, .install = TestSandbox::Install::None, .codex = false});
        }
        HeadlessApp app({u"--exit-when-idle"_s});
        QVERIFY(app.waitForExit());
        QCOMPARE(app.history(u"setupStatusMessage"_s), QStringList{u""_s});
        QCOMPARE(relaysOf(m_sandbox, u"start"_s), startRelays);
        QCOMPARE(app.last()["isSetupReady"_L1].toBool(), codex);
        QCOMPARE(app.last()["codexAppPath"_L1].isNull(), !codex);
    }

    // Every action on a running bridge ends with its message and a refreshed state.
    void bridgeCommands()
    {
        setUpSandbox({});
        QVERIFY(m_sandbox.startBridge(10000));
        HeadlessApp app;
        const auto offered = app.waitFor([](const QJsonObject &s) {
            return s["view"_L1].toObject()["updateAvailable"_L1].toBool();
        });
        QVERIFY(offered);
        QCOMPARE((*offered)["updateState"_L1].toObject()["latestVersion"_L1].toString(),
                 u"0.5.0"_s);

        // The update installs the newer version from the registry and restarts the bridge.
        QJsonObject state = app.run(u"update"_s);
        QCOMPARE(state["transientMessage"_L1].toString(), u"Mac connector updated."_s);
        QCOMPARE(snapshotOf(state)["currentVersion"_L1].toString(), u"0.5.0"_s);
        QVERIFY(!state["view"_L1].toObject()["updateAvailable"_L1].toBool());
        QCOMPARE(relaysOf(m_sandbox, u"start"_s).size(), 2);

        state = app.run(u"stop"_s);
        QCOMPARE(state["transientMessage"_L1].toString(), u"Mac connection stopped."_s);
        QCOMPARE(snapshotOf(state)["launchdLoaded"_L1].toBool(), false);
        QVERIFY(state["advertisement"_L1].isNull());

        state = app.run(u"resume"_s);
        QCOMPARE(state["transientMessage"_L1].toString(), u"Last thread reopened in Codex."_s);
        QCOMPARE(relaysOf(m_sandbox, u"resume"_s).size(), 1);

        QVERIFY(m_sandbox.startBridge(10000));
        const QString before = sessionOf(app.run(u"refresh"_s));
        QVERIFY(!before.isEmpty());
        state = app.run(u"reset-pairing"_s);
        QCOMPARE(state["transientMessage"_L1].toString(), u"Pairing reset."_s);
        QCOMPARE(state["errorMessage"_L1].toString(), u""_s);
        QVERIFY(sessionOf(state) != before);

        // A bridge that never publishes a new code: start gives up after twenty reads half a
        // second apart.
        m_sandbox.writeKnobs({{"freshSession"_L1, false}});
        QElapsedTimer elapsed;
        elapsed.start();
        state = app.run(u"start"_s);
        QCOMPARE_GE(elapsed.elapsed(), 9500);
        QCOMPARE(state["errorMessage"_L1].toString(),
                 u"The Mac connection did not publish a fresh pairing code in time. Open "
                 u"diagnostics and try again."_s);
        QCOMPARE(state["transientMessage"_L1].toString(), u""_s);

        m_sandbox.writeKnobs({{"fail"_L1, QJsonObject{{"stop"_L1, u"launchctl: refused"_s}}}});
        state = app.run(u"stop"_s);
        QCOMPARE(state["errorMessage"_L1].toString(), u"launchctl: refused"_s);
        QCOMPARE(state["transientMessage"_L1].toString(), u""_s);

        app.send(u"no-such-command"_s);
        QVERIFY(app.quit());
        QVERIFY(app.standardError().contains("unknown command: no-such-command"));
    }

    // A saved address reaches the tool unchanged, survives a restart of the app, and clearing
    // removes the key.
    void relayOverride()
    {
        setUpSandbox({});
        QVERIFY(m_sandbox.startBridge(10000));
        const QString relay = u"ws://10.9.8.7:9000/relay?token=$HOME&x='y'"_s;
        {
            HeadlessApp app;
            QVERIFY(app.waitUntilReady());
            const QJsonObject state = app.run(u"save-relay   "_s + relay + u"  "_s);
            QCOMPARE(state["relayOverride"_L1].toString(), relay);
            QCOMPARE(relaysOf(m_sandbox, u"status"_s).last(), relay);
            QVERIFY(app.quit());
        }
        QCOMPARE(savedRelay(m_sandbox).toString(), relay);
        {
            HeadlessApp app;
            QVERIFY(app.waitUntilReady());
            QCOMPARE(app.states().first()["relayOverride"_L1].toString(), relay);
            app.run(u"start"_s);
            QCOMPARE(relaysOf(m_sandbox, u"start"_s).last(), relay);
            const QJsonObject state = app.run(u"clear-relay"_s);
            QCOMPARE(state["relayOverride"_L1].toString(), u""_s);
            QCOMPARE(relaysOf(m_sandbox, u"status"_s).last(), u"<none>"_s);
            QVERIFY(app.quit());
        }
        QVERIFY(!savedRelay(m_sandbox).isValid());
    }

    // Bad input never loses the saved address: a tool that prints garbage, then one that
    // hangs, then one that prints a huge status, with a settings file that cannot be written.
    void badInput()
    {
        setUpSandbox({});
        QVERIFY(m_sandbox.startBridge(10000));
        const QString relay = u"ws://10.1.1.1:9000/relay"_s;
        QVERIFY(TestSandbox::writeFile(settingsPath(m_sandbox),
                                       "[General]\npivra.menuBar.relayOverride=" + relay.toUtf8()
                                           + "\n"));
        HeadlessApp app;
        QVERIFY(app.waitUntilReady());

        m_sandbox.writeKnobs({{"garbage"_L1, QJsonObject{{"status"_L1, true}}}});
        QJsonObject state = app.run(u"refresh"_s);
        QCOMPARE(state["errorMessage"_L1].toString(), u"Bridge status returned malformed JSON."_s);
        QVERIFY(state["snapshot"_L1].isObject()); // the last good state stays on display

        m_sandbox.writeKnobs({{"hangMs"_L1, QJsonObject{{"status"_L1, 3000}}}});
        state = app.run(u"refresh"_s);
        QCOMPARE(state["errorMessage"_L1].toString(), u""_s);

        m_sandbox.writeKnobs({{"padBytes"_L1, QJsonObject{{"status"_L1, 8 * 1024 * 1024}}}});
        state = app.run(u"refresh"_s);
        QCOMPARE(state["errorMessage"_L1].toString(), u""_s);
        QVERIFY(state["isSetupReady"_L1].toBool());
        QCOMPARE(savedRelay(m_sandbox).toString(), relay);

        // The settings folder replaced by a file: saving fails visibly, in memory it still works.
        const QString settingsDir = m_sandbox.home() + u"/.config/Pivra"_s;
        QVERIFY(QDir(settingsDir).removeRecursively());
        QVERIFY(TestSandbox::writeFile(settingsDir, "not a folder"));
        state = app.run(u"save-relay ws://10.2.2.2/relay"_s);
        QCOMPARE(state["relayOverride"_L1].toString(), u"ws://10.2.2.2/relay"_s);
        QVERIFY2(state["errorMessage"_L1].toString().contains(u"could not be saved"_s),
                 qPrintable(state["errorMessage"_L1].toString()));
        QCOMPARE(relaysOf(m_sandbox, u"status"_s).last(), u"ws://10.2.2.2/relay"_s);
        QVERIFY(app.quit());
        QVERIFY(QFile::remove(settingsDir));
    }

    // A state directory that is a file: the tool cannot work there; the error shows and the
    // app stays usable.
    void stateDirectoryIsAFile()
    {
        setUpSandbox({});
        QVERIFY(TestSandbox::writeFile(m_sandbox.home() + u"/.pivra"_s, "not a folder"));
        HeadlessApp app;
        QVERIFY(app.waitFor([](const QJsonObject &s) {
            return !s["errorMessage"_L1].toString().isEmpty() && !HeadlessApp::isBusy(s);
        }));
        app.send(u"open-logs"_s);
        QVERIFY(app.quit());
    }

    // Catches input that hangs or kills the front end: an endless line (dropped, and reading
    // goes on after it), commands padded with blanks or ending in CR, and a reader that closed
    // our output (SIGPIPE must not end the app).
    void hostileInput()
    {
        setUpSandbox({});
        QVERIFY(m_sandbox.startBridge(10000));
        HeadlessApp app;
        QVERIFY(app.waitUntilReady());
        app.send(QString(300 * 1024, u'x'));
        QVERIFY(app.run(u"  refresh \r"_s)["isRefreshing"_L1].isBool());
        QVERIFY(app.standardError().contains("a command line over 65536 bytes was ignored"));
        QVERIFY(!app.standardError().contains("unknown command"));

        app.closeOutput();
        app.send(u"refresh"_s);
        app.send(u"quit\r"_s);
        QVERIFY2(app.waitForExit(), app.standardError().constData());
    }

    // Catches a SIGTERM (a session ending) that leaves the running command behind, reparented
    // to init, or waits for it for good.
    void terminatedDuringAnAction()
    {
        setUpSandbox({});
        QVERIFY(m_sandbox.startBridge(10000));
        HeadlessApp app;
        QVERIFY(app.waitUntilReady());
        m_sandbox.writeKnobs({{"hangMs"_L1, QJsonObject{{"start"_L1, 60000}}}});
        app.send(u"start"_s);
        QVERIFY(
            app.waitFor([](const QJsonObject &s) { return s["isPerformingAction"_L1].toBool(); }));
        QVERIFY(
            QTest::qWaitFor([&] { return !m_sandbox.commandsStillRunning().isEmpty(); }, 10000));
        QElapsedTimer elapsed;
        elapsed.start();
        app.terminate();
        QVERIFY2(app.waitForExit(10000), app.standardError().constData());
        QCOMPARE_LT(elapsed.elapsed(), 10000);
        QVERIFY(QTest::qWaitFor([&] { return m_sandbox.commandsStillRunning().isEmpty(); }, 3000));
    }

    // Catches a second headless launch that leaves silently with success: a script must learn
    // that its instance never ran.
    void secondHeadlessLaunch()
    {
        setUpSandbox({});
        HeadlessApp first;
        QVERIFY(first.waitFor([](const QJsonObject &) { return true; }));
        HeadlessApp second;
        QVERIFY(!second.waitForExit(20000));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(second.standardError().contains("another instance is already running"));
        QVERIFY(first.quit());
    }
};

QTEST_GUILESS_MAIN(TestHeadless)
#include "tst_headless.moc"
