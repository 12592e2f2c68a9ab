// Finding, probing and installing the tool with real zsh, node and npm: availability and its
// classification, the node search, npm's latest version through the loopback registry, and
// installs from a local package directory and from the registry.
#include "ServiceTestSupport.h"
#include "TestSandbox.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTest>

using namespace Qt::StringLiterals;

class TestBridgeServiceCli : public QObject
{
    Q_OBJECT

    TestSandbox m_sandbox;

    QString home(const QString &relative) const { return m_sandbox.home() + u'/' + relative; }

    BridgeCLIAvailability detect(TestBridgeControlService &service)
    {
        return awaitTask(service.detectCLIAvailability());
    }

    // Runs `check` with ~/.zshrc extended by `lines`, then restores it.
    void withZshrc(const QByteArray &lines, const std::function<void()> &check)
    {
        QFile zshrc(home(u".zshrc"_s));
        QVERIFY(zshrc.open(QIODevice::ReadOnly));
        const QByteArray saved = zshrc.readAll();
        zshrc.close();
        QVERIFY(TestSandbox::writeFile(zshrc.fileName(), saved + '\n' + lines + '\n'));
        check();
        QVERIFY(TestSandbox::writeFile(zshrc.fileName(), saved));
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString error = m_sandbox.setUp({.install = TestSandbox::Install::None});
        QVERIFY2(error.isEmpty(), qPrintable(error));
        for (const char *place : {"/opt/homebrew/bin", "/usr/local/bin"}) {
            for (const char *name : {"pivra", "node"}) {
                if (QFileInfo::exists(QString::fromLatin1(place) + u'/' + QLatin1String(name)))
                    QSKIP("a system-wide pivra or node would be found before the sandbox's");
            }
        }
    }

    void cleanupTestCase() { m_sandbox.cleanUp(); }

    void init() { m_sandbox.resetBridge(); }

    // Not installed anywhere: the search's own message, which carries no not-found marker.
    // Then installed from a local package directory whose path a shell would mangle; the
    // version shows that this copy, and nothing else, was installed and runs.
    void installFromLocalPackage()
    {
        TestBridgeControlService service;
        QCOMPARE(
            detect(service),
            BridgeCLIAvailability::broken(u"pivra was not found in the app shell environment."_s));

        const QString package
            = m_sandbox.root() + u"/it's a $HOME `touch PWNED` dir\n$(touch PWNED)/pivra"_s;
        QVERIFY(QDir().mkpath(package));
        QCOMPARE(
            QProcess::execute(
                u"cp"_s, {u"-R"_s, TestSandbox::bridgeSimDirectory() + u"/package/."_s, package}),
            0);
        QFile manifest(package + u"/package.json"_s);
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        QJsonObject json = QJsonDocument::fromJson(manifest.readAll()).object();
        manifest.close();
        json.insert(u"version"_s, u"0.4.9-local"_s);
        QVERIFY(TestSandbox::writeFile(manifest.fileName(), QJsonDocument(json).toJson()));
        qputenv("PIVRA_BRIDGE_PACKAGE_PATH", QFile::encodeName(package));

        awaitTask(service.installBridgePackage());
        qunsetenv("PIVRA_BRIDGE_PACKAGE_PATH");
        QCOMPARE(detect(service), BridgeCLIAvailability::available(u"0.4.9-local"_s));
        QVERIFY(!QFileInfo::exists(m_sandbox.home() + u"/PWNED"_s));
        QVERIFY(!QFileInfo::exists(m_sandbox.root() + u"/PWNED"_s));
    }

    // With no local package, npm installs pivra@latest from the registry; a failing registry
    // makes the install fail with npm's own text.
    void installFromRegistry()
    {
        TestBridgeControlService service;
        QVERIFY(m_sandbox.setRegistryFailing(true));
        const auto failure = controlErrorOf(service.installBridgePackage());
        QVERIFY(m_sandbox.setRegistryFailing(false));
        QVERIFY(failure);
        QCOMPARE(failure->command(), u"npm install -g pivra@latest"_s);
        QVERIFY2(failure->message().contains(u"500"_s), qPrintable(failure->message()));

        awaitTask(service.installBridgePackage());
        QCOMPARE(detect(service), BridgeCLIAvailability::available(u"0.5.0"_s));
    }

    void latestPackageVersion()
    {
        TestBridgeControlService service;
        const LatestVersionResult latest = awaitTask(service.fetchLatestPackageVersion());
        QCOMPARE(latest.version, std::optional(u"0.5.0"_s));
        QVERIFY(!latest.error);

        QVERIFY(m_sandbox.setRegistryFailing(true));
        const LatestVersionResult failed = awaitTask(service.fetchLatestPackageVersion());
        QVERIFY(m_sandbox.setRegistryFailing(false));
        QVERIFY(!failed.version && failed.error);
        try {
            std::rethrow_exception(failed.error);
        } catch (const BridgeControlError &error) {
            QCOMPARE(error.command(), u"npm view pivra version --json"_s);
            QVERIFY2(error.message().contains(u"E500"_s), qPrintable(error.message()));
        }
    }

    void availability_data()
    {
        QTest::addColumn<QByteArray>("knobs");
        QTest::addColumn<QString>("broken"); // "" for available 0.5.0
        const QString unreadable = u"The installed CLI returned an unreadable version."_s;
        QTest::newRow("text version") << QByteArray("{}") << QString();
        QTest::newRow("JSON version") << QByteArray(R"({"versionFormat": "json"})") << QString();
        QTest::newRow("no output") << QByteArray(
            R"({"fail": {"--version": {"message": "", "stream": "none", "exitCode": 0}}})")
                                   << unreadable;
        QTest::newRow("output not UTF-8")
            << QByteArray(R"({"invalidUtf8": {"--version": true}})") << unreadable;
        QTest::newRow("the tool's error")
            << QByteArray(R"({"fail": {"--version": "  Error: config unreadable \n"}})")
            << u"Error: config unreadable"_s;
        QTest::newRow("silent failure")
            << QByteArray(R"({"fail": {"--version": {"stream": "none", "exitCode": 4}}})")
            << u"Command failed: COMMAND"_s;
    }

    void availability()
    {
        QFETCH(QByteArray, knobs);
        QFETCH(QString, broken);
        TestBridgeControlService service;
        const BridgeCLIInvocation invocation = awaitTask(service.resolveCLIInvocation());
        broken.replace(u"COMMAND"_s, invocation.commandLine({u"--version"_s}));
        m_sandbox.writeKnobs(QJsonDocument::fromJson(knobs).object());
        QCOMPARE(detect(service),
                 broken.isEmpty() ? BridgeCLIAvailability::available(u"0.5.0"_s)
                                  : BridgeCLIAvailability::broken(broken));
    }

    // A stale node shim beside the tool's link (its interpreter is gone) is taken as the
    // colocated node; running it fails with zsh's "no such file or directory": missing.
    void staleColocatedNodeIsMissing()
    {
        const QString shim = home(u".npm-global/bin/node"_s);
        QVERIFY(TestSandbox::writeFile(shim, "#!/nonexistent/interpreter\n"));
        QVERIFY(QFile::setPermissions(shim, QFile::permissions(shim) | QFile::ExeOwner));
        TestBridgeControlService service;
        const BridgeCLIAvailability availability = detect(service);
        QVERIFY(QFile::remove(shim));
        QCOMPARE(availability, BridgeCLIAvailability::missing());
    }

    // `command -v node` answering with an alias is ignored; the fixed places follow, nvm's
    // newest version first, ~/.local/bin before nvm.
    void nodeSearchFallsBack()
    {
        const QString nvm = home(u".nvm/versions/node/"_s);
        for (const QString &version : {u"v18.19.0"_s, u"v20.11.1"_s, u"v20.9.0"_s, u"system"_s}) {
            QVERIFY(QDir().mkpath(nvm + version + u"/bin"_s));
            QVERIFY(QFile::link(u"/usr/bin/node"_s, nvm + version + u"/bin/node"_s));
        }
        withZshrc("alias node=/usr/bin/node", [&] {
            TestBridgeControlService service;
            BridgeCLIInvocation invocation = awaitTask(service.resolveCLIInvocation());
            QCOMPARE(invocation.nodePath, nvm + u"v20.11.1/bin/node"_s);
            QCOMPARE(invocation.scriptPath, home(u".npm-global/bin/pivra"_s));
            QCOMPARE(detect(service), BridgeCLIAvailability::available(u"0.5.0"_s));

            QVERIFY(QDir().mkpath(home(u".local/bin"_s)));
            QVERIFY(QFile::link(u"/usr/bin/node"_s, home(u".local/bin/node"_s)));
            invocation = awaitTask(service.resolveCLIInvocation());
            QCOMPARE(invocation.nodePath, home(u".local/bin/node"_s));
        });
        QVERIFY(QDir(home(u".nvm"_s)).removeRecursively());
        QVERIFY(QFile::remove(home(u".local/bin/node"_s)));
    }
};

QTEST_GUILESS_MAIN(TestBridgeServiceCli)
#include "tst_bridgeservice_cli.moc"
