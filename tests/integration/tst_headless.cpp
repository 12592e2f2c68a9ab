// `pivra-menubar --headless` as a script sees it, in a sandbox home with the stand-in tool.
#include "SingleInstance.h"
#include "TestSandbox.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

using State = QJsonObject;

// One launch of the app: its state lines as they arrive, its standard error, its input.
class HeadlessApp : public QProcess
{
public:
    explicit HeadlessApp(const QStringList &arguments = {})
    {
        connect(this, &QProcess::readyReadStandardOutput, [this] { readLines(); });
        connect(this, &QProcess::readyReadStandardError, [this] { err += readAllStandardError(); });
        start(QStringLiteral(PIVRA_MENUBAR_BINARY), QStringList{u"--headless"_s} + arguments);
    }
    ~HeadlessApp() override { terminate(), waitForFinished(10000); } // else QProcess kills it

    static bool idle(const State &s)
    {
        return !s["isPerformingAction"_L1].toBool() && !s["isRefreshing"_L1].toBool();
    }
    void send(const QString &command) { write(command.toUtf8() + '\n'); }

    // The first state line after the last one found that passes `check`; empty if none comes.
    State next(const std::function<bool(const State &)> &check, int timeoutMs = 60000)
    {
        (void)QTest::qWaitFor(
            [&] {
                while (m_seen < states.size() && !check(states[m_seen]))
                    ++m_seen;
                return m_seen < states.size() || state() == NotRunning;
            },
            timeoutMs);
        return m_seen < states.size() ? states[m_seen++] : QJsonObject();
    }
    static bool any(const State &) { return true; }
    static bool isReady(const State &s) { return idle(s) && s["isSetupReady"_L1].toBool(); }
    bool printsState() { return !next(any).isEmpty(); }
    bool ready() { return !next(isReady).isEmpty(); } // start-up is over, ready to pair
    // Sends `command` and gives the state once the work it started has ended.
    QJsonObject run(const QString &command)
    {
        m_seen = states.size();
        send(command);
        next([](const State &s) { return !idle(s); }, 90000);
        return next(idle, 90000);
    }

    bool exitsWith(int code, int timeoutMs = 90000)
    {
        waitForFinished(timeoutMs);
        readLines();
        return state() == NotRunning && exitStatus() == NormalExit && exitCode() == code;
    }
    bool quit() { return (send(u"quit\r"_s), exitsWith(0)); } // CR: from a Windows-made script
    // Gone with status 1 and the reason, before a store printed a line: a script must know.
    bool leaves()
    {
        return exitsWith(1, 20000) && err.contains("another instance is already running")
            && states.isEmpty();
    }

    // Each distinct value a top-level key took, in order.
    QStringList history(const QString &key) const
    {
        QStringList values;
        for (const State &state : states)
            values << state[key].toString();
        values.erase(std::unique(values.begin(), values.end()), values.end());
        return values;
    }

    QList<QJsonObject> states;
    QByteArray err;

private:
    void readLines()
    {
        while (canReadLine()) {
            states.append(QJsonDocument::fromJson(readLine()).object());
            QVERIFY2(!states.last().isEmpty(), "not a state line");
        }
    }

    qsizetype m_seen = 0;
};

class TestHeadless : public QObject
{
    Q_OBJECT

    TestSandbox m_sandbox;

    // An instance socket for each test: no other run gets in its way.
    void setUp(TestSandbox::Options options = {}, bool startBridge = true)
    {
        QCOMPARE(m_sandbox.setUp(options), QString());
        qputenv(SingleInstance::socketVariable, QFile::encodeName(socket()));
        QVERIFY(!startBridge || m_sandbox.startBridge());
    }
    QString socket() const { return m_sandbox.root() + u"/instance.socket"_s; }
    QVariant savedRelay() const
    {
        return QSettings(m_sandbox.home() + u"/.config/Pivra/PivraMenuBar.conf"_s,
                         QSettings::IniFormat)
            .value(u"pivra.menuBar.relayOverride"_s);
    }
    // The address each call of the tool with this first word carried.
    QStringList relaysOf(const QString &word) const
    {
        QStringList relays;
        for (const State &call : m_sandbox.calls()) {
            if (call["argv"_L1][0] == word)
                relays << (call["relay"_L1].isNull() ? u"<none>"_s : call["relay"_L1].toString());
        }
        return relays;
    }
    static bool avahi(const char *command)
    {
        return QProcess::execute(QStringLiteral(PIVRA_SOURCE_DIR "/scripts/lib/test-avahi"),
                                 {QLatin1String(command)})
            == 0;
    }
    static QString row(const State &s)
    {
        return s["view"_L1]["pairing"_L1]["discovery"_L1].toString();
    }
    static QString text(const State &s, const char *k) { return s[QLatin1String(k)].toString(); }

private Q_SLOTS:
    void cleanup() { m_sandbox.cleanUp(); }

    // Catches setup steps missed or out of order, an early exit, a hidden rename, no withdrawal.
    void launchFromNothing()
    {
        setUp({.install = TestSandbox::Install::None}, false);
        qputenv("PIVRA_COMPUTER_NAME", "Headless Mac");
        QProcess other;
        other.start(u"avahi-publish"_s,
                    {u"-s"_s, u"Pivra Headless Mac"_s, u"_pivra._tcp"_s, u"9"_s});
        const auto stopOther = qScopeGuard([&] { other.terminate(), other.waitForFinished(); });
        other.setReadChannel(QProcess::StandardError);
        QTRY_VERIFY_WITH_TIMEOUT(other.peek(1024).contains("Established"), 10000);
        HeadlessApp app({u"--exit-when-idle"_s});
        QVERIFY2(app.exitsWith(0), app.err.constData());
        QCOMPARE(app.history(u"setupStatusMessage"_s),
                 (QStringList{
                     u""_s, u"Preparing Pivra on this Mac..."_s, u"Checking Codex on this Mac..."_s,
                     u"Preparing the Pivra Mac connector..."_s,
                     u"Starting the secure Mac connection..."_s,
                     u"Preparing the phone pairing code..."_s, u"Ready to pair from iPhone."_s}));
        const State ready = app.states.at(app.states.size() - 2);
        QVERIFY(ready["isSetupReady"_L1].toBool());
        QCOMPARE(ready["cliAvailability"_L1]["version"_L1].toString(), u"0.5.0"_s);
        QCOMPARE(row(ready), u"Published"_s);
        QCOMPARE(ready["advertisement"_L1]["name"_L1].toString(), u"Pivra Headless Mac #2"_s);
        QCOMPARE(ready["advertisement"_L1]["txt"_L1]["sessionId"_L1],
                 ready["snapshot"_L1]["pairingSession"_L1]["pairingPayload"_L1]["sessionId"_L1]);
        QVERIFY(app.states.last()["advertisement"_L1].isNull());
    }

    // Catches a discovery state that needs a refresh to follow the daemon's absence, start, death.
    void discoveryFollowsDaemon()
    {
        setUp();
        const auto restart = qScopeGuard([] { avahi("start"); });
        QVERIFY(avahi("stop"));
        HeadlessApp app;
        State line = app.next([](auto &s) { return row(s) == u"DNS-SD service stopped"_s; });
        QCOMPARE(line["discovery"_L1]["reason"_L1].toString(), u"avahi-daemon is not running."_s);
        QVERIFY(line["advertisement"_L1].isNull());
        QVERIFY(avahi("start"));
        line = app.next([](auto &s) { return row(s) == u"Published"_s; }, 5000);
        QCOMPARE(line["discovery"_L1]["interfaces"_L1].toArray().size(), 2);
        QVERIFY(avahi("kill"));
        line = app.next([](auto &s) { return s["discovery"_L1]["state"_L1] == u"failed"_s; }, 5000);
        QVERIFY2(!line.isEmpty(), "the state did not follow the daemon within 5 s");
    }

    // Catches setup on a running bridge, a stale code kept, a lost address, a wrong outcome.
    void actionsAndTheSavedAddress()
    {
        setUp({}, false);
        m_sandbox.writeKnobs({{"pairingLifetimeMs"_L1, -60000}});
        QVERIFY(m_sandbox.startBridge());
        m_sandbox.writeKnobs({});
        const QString relay = u"ws://10.9.8.7:9000/relay?token=$HOME&x='y'"_s;
        {
            HeadlessApp app;
            QVERIFY(app.ready());
            // The start-up refresh re-issued the expired code, with the bridge's own address.
            QCOMPARE(relaysOf(u"start"_s),
                     (QStringList{u"<none>"_s, u"ws://127.0.0.1:9000/relay"_s}));
            QCOMPARE(text(app.run(u"save-relay   "_s + relay + u"  "_s), "relayOverride"), relay);
            m_sandbox.writeKnobs({{"garbage"_L1, QJsonObject{{"status"_L1, true}}}});
            const State state = app.run(u"refresh"_s);
            QCOMPARE(text(state, "errorMessage"), u"Bridge status returned malformed JSON."_s);
            QVERIFY(state["snapshot"_L1].isObject()); // the last good state stays on display
            QVERIFY(app.quit());
            QCOMPARE(app.history(u"setupStatusMessage"_s), QStringList{u""_s}); // ready: no setup
        }
        QCOMPARE(savedRelay().toString(), relay);
        m_sandbox.writeKnobs({});
        HeadlessApp app;
        QVERIFY(app.ready());
        QCOMPARE(text(app.states.first(), "relayOverride"), relay);
        State state = app.run(u"update"_s);
        QCOMPARE(text(state, "transientMessage"), u"Mac connector updated."_s);
        QCOMPARE(state["snapshot"_L1]["currentVersion"_L1].toString(), u"0.5.0"_s);
        QCOMPARE(relaysOf(u"start"_s).last(), relay);
        state = app.run(u"stop"_s);
        QCOMPARE(text(state, "transientMessage"), u"Mac connection stopped."_s);
        QVERIFY(!state["snapshot"_L1]["launchdLoaded"_L1].toBool());
        QCOMPARE(text(app.run(u"resume"_s), "transientMessage"),
                 u"Last thread reopened in Codex."_s);
        QCOMPARE(relaysOf(u"resume"_s), QStringList{relay});

        QVERIFY(m_sandbox.startBridge());
        const QJsonValue before = app.run(u"refresh"_s)["snapshot"_L1]["pairingSession"_L1];
        state = app.run(u"reset-pairing"_s);
        QCOMPARE(text(state, "transientMessage"), u"Pairing reset."_s);
        QVERIFY(before.isObject() && state["snapshot"_L1]["pairingSession"_L1] != before);
        m_sandbox.writeKnobs({{"fail"_L1, QJsonObject{{"stop"_L1, u"launchctl: refused"_s}}}});
        QCOMPARE(text(app.run(u"stop"_s), "errorMessage"), u"launchctl: refused"_s);

        QCOMPARE(text(app.run(u"clear-relay"_s), "relayOverride"), u""_s);
        QCOMPARE(relaysOf(u"status"_s).last(), u"<none>"_s);
        app.send(u"no-such-command"_s);
        QVERIFY(app.quit());
        QVERIFY(app.err.contains("unknown command: no-such-command"));
        QCOMPARE(app.history(u"setupStatusMessage"_s), QStringList{u""_s});
        QVERIFY(!savedRelay().isValid());
    }

    // Catches input that kills or hangs the app, a silent second launch, a SIGTERM leaving a child.
    void hostileInputAndTermination()
    {
        setUp();
        HeadlessApp app;
        QVERIFY(app.ready());
        QVERIFY(HeadlessApp().leaves());
        QTRY_VERIFY_WITH_TIMEOUT(app.err.contains("Another launch found this instance"), 5000);
        app.send(QString(300 * 1024, u'x'));
        QVERIFY(!app.run(u"  refresh \r"_s).isEmpty());
        QVERIFY(app.err.contains("a command line over 65536 bytes was ignored"));
        QVERIFY(!app.err.contains("unknown command"));
        // Nobody reads the state lines any more (SIGPIPE must not end the app), and start hangs.
        app.closeReadChannel(QProcess::StandardOutput);
        m_sandbox.writeKnobs({{"hangMs"_L1, QJsonObject{{"start"_L1, 60000}}}});
        app.send(u"refresh"_s);
        app.send(u"start"_s);
        QTRY_COMPARE_WITH_TIMEOUT(relaysOf(u"start"_s).size(), 2, 10000);
        const QDeadlineTimer limit(10000);
        app.terminate();
        QVERIFY2(app.exitsWith(0, 10000), app.err.constData());
        QCOMPARE_GT(limit.remainingTime(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(m_sandbox.commandsStillRunning().isEmpty(), 3000);
    }

    // Catches a stale or open socket, lost or forged activation, a second store, two racing runs.
    void laterLaunchesFindTheRunningOne()
    {
        setUp({.registry = false}, false);
        // What a killed instance leaves: a socket file that nobody listens on.
        QCOMPARE(::mknod(QFile::encodeName(socket()), S_IFSOCK | 0600, 0), 0);
        {
            SingleInstance running;
            QCOMPARE(running.claim(socket()), SingleInstance::Role::Primary);
            struct stat info = {};
            QCOMPARE(::stat(QFile::encodeName(socket()), &info), 0);
            QVERIFY(S_ISSOCK(info.st_mode) && info.st_uid == ::geteuid()
                    && (info.st_mode & 077) == 0);
            QSignalSpy activations(&running, &SingleInstance::activationRequested);
            HeadlessApp second;
            QVERIFY(activations.wait(5000));
            QVERIFY2(second.leaves(), second.err.constData());
            QVERIFY(m_sandbox.calls().isEmpty());
            // A stranger's line, then a request: the request's activation shows the line was read.
            QLocalSocket stranger;
            stranger.connectToServer(socket());
            QVERIFY(stranger.waitForConnected(1000));
            stranger.write("open everything\nactivate\n");
            QTRY_VERIFY_WITH_TIMEOUT(activations.size() >= 2, 5000);
            QCOMPARE(activations.size(), 2);
        }
        HeadlessApp launches[4];
        QTRY_COMPARE_WITH_TIMEOUT(
            std::ranges::count(launches, QProcess::NotRunning, &QProcess::state), 3, 20000);
        for (HeadlessApp &launch : launches)
            QVERIFY2(launch.state() == QProcess::NotRunning ? launch.leaves()
                                                            : launch.printsState(),
                     launch.err.constData());
    }

    // Catches a socket where others reach it, or shared between homes; and a silent fallback.
    void defaultSocketPath()
    {
        setUp({.registry = false}, false);
        qunsetenv(SingleInstance::socketVariable);
        QTemporaryDir runtime;
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        const QString inRuntime = SingleInstance::socketPath();
        QVERIFY2(inRuntime.startsWith(runtime.path() + u'/'), qPrintable(inRuntime));
        qputenv("HOME", QFile::encodeName(m_sandbox.root()));
        QVERIFY(SingleInstance::socketPath() != inRuntime);
        qputenv("HOME", QFile::encodeName(m_sandbox.home() + u'/'));
        QCOMPARE(SingleInstance::socketPath(), inRuntime);

        QVERIFY(::chmod(QFile::encodeName(runtime.path()), 0755) == 0);
        const QString folder
            = QDir::tempPath() + u"/pivra-menubar-"_s + QString::number(::geteuid());
        QVERIFY2(SingleInstance::socketPath().startsWith(folder + u'/'), qPrintable(folder));
        const QByteArray native = QFile::encodeName(folder);
        struct stat info = {};
        QVERIFY(::lstat(native, &info) == 0 && S_ISDIR(info.st_mode) && (info.st_mode & 077) == 0);
        qunsetenv("XDG_RUNTIME_DIR");
        QVERIFY(::chmod(native, 0755) == 0);
        const QString exposed = SingleInstance::socketPath();
        QVERIFY(::chmod(native, 0700) == 0 && exposed.isEmpty());
        QVERIFY(::chown(native, 65534, 65534) == 0);
        const auto giveBack = qScopeGuard([&] { (void)::chown(native, ::geteuid(), ::getegid()); });
        QCOMPARE(SingleInstance::socketPath(), QString());
        HeadlessApp unguarded;
        QTRY_VERIFY_WITH_TIMEOUT(unguarded.err.contains("is not a folder that only you can use"),
                                 10000);
        QVERIFY(unguarded.printsState());
    }
};

QTEST_GUILESS_MAIN(TestHeadless)
#include "tst_headless.moc"
