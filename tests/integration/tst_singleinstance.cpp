// One app per user and home: later launches of `pivra-menubar --headless` find the running one
// on its private socket, ask it to come forward and leave before they make a store.
#include "SingleInstance.h"
#include "TestSandbox.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// One launch of the app with its own output collected.
class Launch : public QProcess
{
public:
    explicit Launch(const QString &socket)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (!socket.isEmpty())
            environment.insert(QString::fromLatin1(SingleInstance::socketVariable), socket);
        setProcessEnvironment(environment);
        connect(this, &QProcess::readyReadStandardOutput,
                [this] { out += readAllStandardOutput(); });
        connect(this, &QProcess::readyReadStandardError, [this] { err += readAllStandardError(); });
        start(QStringLiteral(PIVRA_MENUBAR_BINARY), {u"--headless"_s});
    }

    ~Launch() override
    {
        if (state() != NotRunning) {
            terminate();
            if (!waitForFinished(10000))
                kill();
            waitForFinished();
        }
    }

    bool running() const { return state() == Running; }
    // Left by itself within `timeoutMs` because another instance runs, and said so: a script
    // that starts a second headless instance must learn that its own never ran.
    bool leavesForTheRunningOne(int timeoutMs)
    {
        return QTest::qWaitFor([this] { return state() == NotRunning; }, timeoutMs)
            && exitStatus() == NormalExit && exitCode() == 1
            && err.contains("another instance is already running");
    }
    bool hasPrintedState()
    {
        return QTest::qWaitFor([this] { return out.contains('\n'); }, 30000);
    }

    QByteArray out;
    QByteArray err;
};

// Puts back a variable as qgetenv read it: null for unset.
void restoreVariable(const char *name, const QByteArray &value)
{
    if (value.isNull())
        qunsetenv(name);
    else
        qputenv(name, value);
}

} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

private:
    TestSandbox m_sandbox;
    std::unique_ptr<QTemporaryDir> m_socketDirectory;
    QString m_socket;

private Q_SLOTS:
    void init()
    {
        const QString problem
            = m_sandbox.setUp({.registry = false, .install = TestSandbox::Install::Local});
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        m_socketDirectory = std::make_unique<QTemporaryDir>();
        QVERIFY(m_socketDirectory->isValid());
        m_socket = m_socketDirectory->filePath(u"instance.socket"_s);
    }

    void cleanup()
    {
        m_sandbox.cleanUp();
        m_socketDirectory.reset();
    }

    // A socket file left by an instance that was killed: nobody answers on it, so the next
    // launch takes its place instead of leaving for a dead instance. A launch after that leaves
    // at once, saying so, and never gets as far as a store: no state line, no command to the
    // tool, no announcement. The running one keeps running and hears of it.
    void secondLaunchLeaves()
    {
        {
            Launch killed(m_socket);
            QVERIFY(killed.hasPrintedState());
            killed.kill();
            killed.waitForFinished();
        }
        QVERIFY(QFile::exists(m_socket));

        Launch first(m_socket);
        // Let the first finish its start-up, so that any later call to the tool is the second's:
        // a ready, idle last line, then quiet, as the announcement follows readiness once the
        // daemon has registered it.
        QByteArray firstOutput;
        QElapsedTimer quiet;
        quiet.start();
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         if (first.out != firstOutput) {
                             firstOutput = first.out;
                             quiet.restart();
                         }
                         const QByteArray line = firstOutput.mid(
                             firstOutput.lastIndexOf('\n', firstOutput.size() - 2) + 1);
                         return quiet.elapsed() > 2500 && line.contains("\"isSetupReady\":true")
                             && line.contains("\"isRefreshing\":false")
                             && line.contains("\"isPerformingAction\":false");
                     },
                     60000),
                 first.err.constData());
        const qsizetype callsBefore = m_sandbox.calls().size();

        // The socket is the user's alone, whatever the umask.
        struct stat info
        {
        };
        QCOMPARE(::stat(QFile::encodeName(m_socket).constData(), &info), 0);
        QVERIFY(S_ISSOCK(info.st_mode));
        QCOMPARE(info.st_uid, ::geteuid());
        QCOMPARE(info.st_mode & 077, 0u);

        Launch second(m_socket);
        QVERIFY2(second.leavesForTheRunningOne(5000), second.err.constData());
        QCOMPARE(second.out, QByteArray());
        QVERIFY(QTest::qWaitFor(
            [&] { return first.err.contains("Another launch found this instance"); }, 5000));

        QTest::qWait(1000);
        QVERIFY(first.running());
        QCOMPARE(m_sandbox.calls().size(), callsBefore);
        // The first's state did not move either: nothing it does depends on the second.
        QCOMPARE(first.out, firstOutput);
    }

    // Launches that race each other: exactly one runs. Checking for a server and listening
    // without a lock lets two both find nothing, and the later one removes the earlier one's
    // socket.
    void simultaneousLaunches()
    {
        std::vector<std::unique_ptr<Launch>> launches;
        for (int i = 0; i < 4; ++i)
            launches.push_back(std::make_unique<Launch>(m_socket));
        QTest::qWait(4000);
        int running = 0;
        for (auto &launch : launches) {
            if (launch->running()) {
                ++running;
                QVERIFY(launch->hasPrintedState());
            } else {
                QVERIFY2(launch->leavesForTheRunningOne(0), launch->err.constData());
                QCOMPARE(launch->out, QByteArray());
            }
        }
        QCOMPARE(running, 1);
    }

    // The request travels: a launch that finds a running instance makes it emit
    // activationRequested, which the desktop front end turns into a raised window.
    void activationReachesTheRunningInstance()
    {
        SingleInstance running;
        QCOMPARE(running.claim(m_socket), SingleInstance::Role::Primary);
        QSignalSpy activations(&running, &SingleInstance::activationRequested);
        Launch second(m_socket);
        QVERIFY(activations.wait(5000));
        QVERIFY(second.leavesForTheRunningOne(5000));
        QCOMPARE(activations.size(), 1);

        // Anything else on the socket is not a request.
        QLocalSocket stranger;
        stranger.connectToServer(m_socket);
        QVERIFY(stranger.waitForConnected(1000));
        stranger.write("open everything\n");
        QVERIFY(stranger.waitForBytesWritten(1000));
        QTest::qWait(300);
        QCOMPARE(activations.size(), 1);
    }

    // Where the socket goes without an override: a private runtime directory, else a private
    // folder of this user under /tmp; a run in another home is another instance.
    void defaultSocketPath()
    {
        // HOME goes back with the sandbox.
        const QByteArray override = qgetenv(SingleInstance::socketVariable);
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        const auto restore = qScopeGuard([&] {
            restoreVariable(SingleInstance::socketVariable, override);
            restoreVariable("XDG_RUNTIME_DIR", runtime);
        });
        qunsetenv(SingleInstance::socketVariable);

        QTemporaryDir runtimeDirectory;
        QVERIFY(runtimeDirectory.isValid());
        QVERIFY(QFile::setPermissions(runtimeDirectory.path(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDirectory.path()));
        const QString inRuntime = SingleInstance::socketPath();
        QVERIFY2(inRuntime.startsWith(runtimeDirectory.path() + u'/'), qPrintable(inRuntime));

        // The same user in another home gets another socket; the same home the same one.
        QTemporaryDir otherHome;
        qputenv("HOME", QFile::encodeName(otherHome.path()));
        const QString inOtherHome = SingleInstance::socketPath();
        QVERIFY(inOtherHome != inRuntime);
        qputenv("HOME", QFile::encodeName(otherHome.path() + u"/"_s));
        QCOMPARE(SingleInstance::socketPath(), inOtherHome);

        // A runtime directory others may enter is no place for it.
        QVERIFY(QFile::setPermissions(runtimeDirectory.path(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                          | QFile::ReadOther | QFile::ExeOther));
        const QString fallback = SingleInstance::socketPath();
        const QString folder
            = QDir::tempPath() + u"/pivra-menubar-"_s + QString::number(::geteuid());
        QVERIFY2(fallback.startsWith(folder + u'/'), qPrintable(fallback));
        struct stat info
        {
        };
        QCOMPARE(::lstat(QFile::encodeName(folder).constData(), &info), 0);
        QVERIFY(S_ISDIR(info.st_mode));
        QCOMPARE(info.st_mode & 077, 0u);

        // A fallback folder someone else could read, or that another user made first: no guard
        // rather than a socket others could take over, and the app says so.
        qunsetenv("XDG_RUNTIME_DIR");
        const QByteArray native = QFile::encodeName(folder);
        QVERIFY(::chmod(native.constData(), 0755) == 0);
        const QString exposed = SingleInstance::socketPath();
        QVERIFY(::chmod(native.constData(), 0700) == 0);
        QCOMPARE(exposed, QString());
        QVERIFY(::chown(native.constData(), 65534, 65534) == 0);
        const auto giveBack
            = qScopeGuard([&] { (void)::chown(native.constData(), ::geteuid(), ::getegid()); });
        QCOMPARE(SingleInstance::socketPath(), QString());
        Launch unguarded(QString{});
        QVERIFY(QTest::qWaitFor(
            [&] { return unguarded.err.contains("is not a folder that only you can use"); },
            10000));
        QVERIFY(unguarded.hasPrintedState());
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
