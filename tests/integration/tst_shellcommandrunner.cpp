// The runner against a real login zsh in a sandbox home.
#include "ServiceTestSupport.h"
#include "ShellCommandRunner.h"
#include "TestSandbox.h"

#include <QElapsedTimer>
#include <QTest>

using namespace Qt::StringLiterals;

using Environment = QMap<QString, QString>;

class TestShellCommandRunner : public QObject
{
    Q_OBJECT

    TestSandbox m_sandbox;
    ShellCommandRunner m_runner;

    ShellCommandResult run(const QString &command, const Environment &environment = {})
    {
        return awaitTask(m_runner.run(command, environment));
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString error
            = m_sandbox.setUp({.registry = false, .install = TestSandbox::Install::None});
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    void cleanupTestCase() { m_sandbox.cleanUp(); }

    void outcomes_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<Environment>("environment");
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<QString>("output"); // standard output, or the failure's message
        QTest::addColumn<QString>("error"); // standard error of a success

        const Environment none;
        QTest::newRow("blank lines only")
            << u"print; print '  '; print"_s << none << true << QString() << QString();
        QTest::newRow("warning with status 0") << u"print -r -- ok; print -r -- ' careful ' >&2"_s
                                               << none << true << u"ok"_s << u"careful"_s;
        // The caller's text reaches zsh verbatim: its own quoting decides the words.
        QTest::newRow("quoting is the caller's") << u"print -r -- 'a  b' \"c\\$d\" e\\ f"_s << none
                                                 << true << u"a  b c$d e f"_s << QString();
        QTest::newRow("home is the working directory")
            << u"pwd -P"_s << none << true << u"$HOME"_s << QString();
        QTest::newRow("~/.zshrc is read") << u"print -r -- $NPM_CONFIG_PREFIX"_s << none << true
                                          << u"$HOME/.npm-global"_s << QString();
        QTest::newRow("caller's variables win")
            << u"print -r -- \"$PIVRA_RUNNER_TEST|${PATH##*:/custom/bin:}\""_s
            << Environment{{u"PIVRA_RUNNER_TEST"_s, u"from caller"_s},
                           {u"PATH"_s, u"/custom/bin:/usr/bin:/bin"_s}}
            << true << u"from caller|/usr/bin:/bin"_s << QString();
        QTest::newRow("invalid UTF-8 output reads as empty")
            << u"printf 'ok\\xff\\xfe'; printf 'warn\\xc3' >&2"_s << none << true << QString()
            << QString();

        QTest::newRow("exit 3, one word on stdout")
            << u"print -r -- word; exit 3"_s << none << false << u"word"_s << QString();
        QTest::newRow("stderr wins over stdout")
            << u"print out; print -r -- '  the reason  ' >&2; exit 1"_s << none << false
            << u"the reason"_s << QString();
        // The message names the caller's command, not the composed script.
        QTest::newRow("exit 1, silent")
            << u"exit 1"_s << none << false << u"Command failed: exit 1"_s << QString();
        QTest::newRow("unreadable stderr falls through to stdout")
            << u"print fallback; printf '\\xff\\xfe' >&2; exit 2"_s << none << false
            << u"fallback"_s << QString();
        QTest::newRow("both unreadable")
            << u"printf '\\xff'; printf '\\xfe' >&2; exit 2"_s << none << false
            << u"Command failed: printf '\\xff'; printf '\\xfe' >&2; exit 2"_s << QString();
        // Killed by a signal there is no exit status; it must not pass for success.
        QTest::newRow("killed by SIGKILL after output")
            << u"print -r -- partial; kill -KILL $$"_s << none << false << u"partial"_s
            << QString();
        QTest::newRow("killed by SIGTERM, silent")
            << u"kill -TERM $$"_s << none << false << u"Command failed: kill -TERM $$"_s
            << QString();
    }

    void outcomes()
    {
        QFETCH(QString, command);
        QFETCH(Environment, environment);
        QFETCH(bool, succeeds);
        QFETCH(QString, output);
        QFETCH(QString, error);
        qputenv("PIVRA_RUNNER_TEST", "from the application");
        output.replace(u"$HOME"_s, m_sandbox.home());

        if (succeeds) {
            const ShellCommandResult result = run(command, environment);
            QCOMPARE(result.standardOutput, output);
            QCOMPARE(result.standardError, error);
            QCOMPARE(result.exitCode, 0);
        } else {
            const auto failure = controlErrorOf(m_runner.run(command, environment));
            QVERIFY(failure);
            QCOMPARE(failure->kind(), BridgeControlError::Case::CommandFailed);
            QCOMPARE(failure->command(), command);
            QCOMPARE(failure->message(), output);
        }
        qunsetenv("PIVRA_RUNNER_TEST");
    }

    void brokenOrMissingZshrcDoesNotFail()
    {
        const QString zshrc = m_sandbox.home() + u"/.zshrc"_s;
        QFile original(zshrc);
        QVERIFY(original.open(QIODevice::ReadOnly));
        const QByteArray saved = original.readAll();
        original.close();
        for (const QByteArray &content : {QByteArray("print -r -- noise; print oops >&2; false"),
                                          QByteArray("if then ((( syntax error"), QByteArray()}) {
            if (content.isEmpty())
                QVERIFY(QFile::remove(zshrc));
            else
                QVERIFY(TestSandbox::writeFile(zshrc, content));
            const ShellCommandResult result = run(u"print -r -- ran"_s);
            QCOMPARE(result.standardOutput, u"ran"_s);
            QCOMPARE(result.standardError, QString());
        }
        QVERIFY(TestSandbox::writeFile(zshrc, saved));
    }

    // Each stream well beyond a pipe's buffer, the larger one written first: a runner that reads
    // one stream to its end before the other, or waits for the exit before reading, stalls.
    void largeOutputOnBothStreams()
    {
        const ShellCommandResult result
            = run(u"head -c 1300000 /dev/zero | tr '\\0' e >&2; "
                  u"head -c 1200000 /dev/zero | tr '\\0' o; print -n ' '; "
                  u"head -c 1100000 /dev/zero | tr '\\0' e >&2"_s);
        QCOMPARE(result.standardOutput.size(), 1200000);
        QCOMPARE(result.standardError.size(), 2400000);
        QVERIFY(result.standardOutput.count(u'o') == 1200000);
    }

    // The main thread keeps serving events while commands run, and two commands overlap.
    void runsWithoutBlockingAndOverlaps()
    {
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
        ticker.start(20);
        QElapsedTimer clock;
        clock.start();
        const auto both = [this]() -> QCoro::Task<> {
            auto first = m_runner.run(u"sleep 0.6"_s, {});
            auto second = m_runner.run(u"sleep 0.6"_s, {});
            co_await first;
            co_await second;
        };
        awaitTask(both());
        QVERIFY2(clock.elapsed() < 1100, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(ticks >= 15, qPrintable(QString::number(ticks)));
    }

    // zsh cannot start in a home that does not exist: the platform's error, not a command
    // failure.
    void launchFailureIsPassedOn()
    {
        const QByteArray home = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(m_sandbox.root() + u"/no such home"_s));
        const std::exception_ptr failure = failureOf(m_runner.run(u"true"_s, {}));
        qputenv("HOME", home);
        QVERIFY(failure);
        try {
            std::rethrow_exception(failure);
        } catch (const ProcessLaunchError &error) {
            QVERIFY(!error.errorDescription().trimmed().isEmpty());
        } catch (...) {
            QFAIL("expected a ProcessLaunchError");
        }
    }
};

QTEST_GUILESS_MAIN(TestShellCommandRunner)
#include "tst_shellcommandrunner.moc"
