// The runner against a real login zsh in a sandbox home.
#include "ServiceTestSupport.h"
#include "ShellCommandRunner.h"
#include "TestSandbox.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

class TestShellCommandRunner : public QObject
{
    Q_OBJECT

    TestSandbox m_sandbox;
    ShellCommandRunner m_runner;

private Q_SLOTS:
    void initTestCase()
    {
        QCOMPARE(m_sandbox.setUp({.registry = false, .install = TestSandbox::Install::None}),
                 QString());
        // Every outcome below shows that this ~/.zshrc neither fails a command nor adds output.
        QFile zshrc(m_sandbox.home() + u"/.zshrc"_s);
        QVERIFY(zshrc.open(QIODevice::Append));
        zshrc.write("\nprint -r -- noise; print oops >&2; false\nif then ((( syntax error\n");
        qputenv("PIVRA_RUNNER_TEST", "from the application");
    }

    void cleanupTestCase() { m_sandbox.cleanUp(); }

    void outcomes_data()
    {
        QTest::addColumn<QString>("command");
        // "standard output | standard error" of a success, "failed: message" of a failure
        QTest::addColumn<QString>("outcome");
        QTest::newRow("both streams trimmed")
            << u"print; print -r -- ' ok '; print -r -- ' careful ' >&2"_s << u"ok | careful"_s;
        // The caller's text reaches zsh verbatim: its own quoting decides the words.
        QTest::newRow("quoting is the caller's")
            << u"print -r -- 'a  b' \"c\\$d\" e\\ f"_s << u"a  b c$d e f | "_s;
        QTest::newRow("in the home, after ~/.zshrc")
            << u"print -r -- \"$(pwd -P) $NPM_CONFIG_PREFIX\""_s << u"$HOME $HOME/.npm-global | "_s;
        QTest::newRow("caller's variables win")
            << u"print -r -- \"$PIVRA_RUNNER_TEST|${PATH##*:/custom/bin:}\""_s
            << u"from caller|/usr/bin:/bin | "_s;
        QTest::newRow("invalid UTF-8 output reads as empty")
            << u"printf 'ok\\xff\\xfe'; printf 'warn\\xc3' >&2"_s << u" | "_s;
        QTest::newRow("stderr wins over stdout")
            << u"print out; print -r -- '  the reason  ' >&2; exit 1"_s << u"failed: the reason"_s;
        QTest::newRow("unreadable stderr falls through to stdout")
            << u"print fallback; printf '\\xff\\xfe' >&2; exit 2"_s << u"failed: fallback"_s;
        // Killed by a signal there is no exit status; it must not pass for success.
        QTest::newRow("killed by SIGKILL after output")
            << u"print -r -- partial; kill -KILL $$"_s << u"failed: partial"_s;
        // The message names the caller's command, not the composed script.
        QTest::newRow("killed by SIGTERM, silent")
            << u"kill -TERM $$"_s << u"failed: Command failed: kill -TERM $$"_s;
    }

    // Catches output or errors that reach the caller altered, mixed up or from the wrong place.
    void outcomes()
    {
        QFETCH(QString, command);
        QFETCH(QString, outcome);
        QString actual;
        try {
            const ShellCommandResult result
                = awaitTask(m_runner.run(command,
                                         {{u"PIVRA_RUNNER_TEST"_s, u"from caller"_s},
                                          {u"PATH"_s, u"/custom/bin:/usr/bin:/bin"_s}}));
            actual = result.standardOutput + u" | "_s + result.standardError;
        } catch (const BridgeControlError &error) {
            QCOMPARE(error.kind(), BridgeControlError::Case::CommandFailed);
            QCOMPARE(error.command(), command);
            actual = u"failed: "_s + error.message();
        }
        QCOMPARE(actual, QString(outcome).replace(u"$HOME"_s, m_sandbox.home()));
    }

    // Catches a blocked main thread, commands run one after another, or one stream drained first.
    void runsWithoutBlockingAndOverlaps()
    {
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
        ticker.start(20);
        const QDeadlineTimer limit(1150);
        auto first = m_runner.run(u"sleep 0.6"_s, {});
        const ShellCommandResult result
            = awaitTask(m_runner.run(u"sleep 0.6; head -c 1300000 /dev/zero | tr '\\0' e >&2; "
                                     u"head -c 1200000 /dev/zero | tr '\\0' o; print -n ' '; "
                                     u"head -c 1100000 /dev/zero | tr '\\0' e >&2"_s,
                                     {}));
        awaitTask(std::move(first));
        QCOMPARE_GT(limit.remainingTime(), 0);
        QCOMPARE_GE(ticks, 15);
        QCOMPARE(result.standardOutput, QString(1200000, u'o'));
        QCOMPARE(result.standardError.size(), 2400000);
    }

    // Catches hung probes, unbounded output, limited installs, children left, hidden launch errors.
    void limitsAndCancelling()
    {
        ShellCommandRunner runner({.probe = std::chrono::milliseconds(400),
                                   .command = std::chrono::milliseconds(400),
                                   .outputBytes = 1024 * 1024,
                                   .grace = std::chrono::milliseconds(300)});
        // A child that ignores SIGTERM, so only the kill after the grace period ends it.
        const QString hang = u"trap '' TERM; (trap '' TERM; sleep 30) & wait"_s;
        QCOMPARE(controlErrorOf(runner.run(hang, {})).value().message().left(43),
                 u"The command did not finish within 0 seconds"_s);
        QTRY_VERIFY_WITH_TIMEOUT(m_sandbox.commandsStillRunning().isEmpty(), 3000);
        QCOMPARE(controlErrorOf(runner.run(u"head -c 3000000 /dev/zero"_s, {}))
                     .value()
                     .message()
                     .left(35),
                 u"The command printed more than 1 MiB"_s);
        QCOMPARE(
            awaitTask(runner.run(u"sleep 0.6; print done"_s, {}, ShellCommandRunner::Kind::Install))
                .standardOutput,
            u"done"_s);

        QTimer::singleShot(300, [&runner] { runner.cancelAll(); });
        QVERIFY_THROWS_EXCEPTION(
            OperationCancelled, awaitTask(runner.run(hang, {}, ShellCommandRunner::Kind::Install)));
        QTRY_VERIFY_WITH_TIMEOUT(m_sandbox.commandsStillRunning().isEmpty(), 3000);
        QVERIFY_THROWS_EXCEPTION(OperationCancelled, awaitTask(runner.run(u"true"_s, {})));

        // zsh cannot start without a home: the platform's error, not a failed command.
        qputenv("HOME", QFile::encodeName(m_sandbox.root() + u"/no such home"_s));
        QVERIFY_THROWS_EXCEPTION(ProcessLaunchError, awaitTask(m_runner.run(u"true"_s, {})));
    }
};

QTEST_GUILESS_MAIN(TestShellCommandRunner)
#include "tst_shellcommandrunner.moc"
