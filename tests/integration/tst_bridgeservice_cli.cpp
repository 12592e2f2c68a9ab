// Finding, probing and installing the tool with real zsh, node and npm: availability and its
// classification, the node search, a failing loopback registry and an install from a local
// package directory.
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

    // The functions run in order: the install leaves 0.4.9-local in place for those that follow.
    TestSandbox m_sandbox;

    QString home(const QString &relative) const { return m_sandbox.home() + u'/' + relative; }

    BridgeCLIAvailability detect(TestBridgeControlService &service)
    {
        return awaitTask(service.detectCLIAvailability());
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

    // Not installed anywhere: the search's own message, which carries no not-found marker. With
    // no local package the install asks the registry, and a failing registry fails it and the
    // latest-version query with npm's own text. Then installed from a local package directory
    // whose path a shell would mangle; the version shows that this copy, and nothing else, was
    // installed and runs. (A working registry is the headless front end's test.)
    void install()
    {
        TestBridgeControlService service;
        QCOMPARE(
            detect(service),
            BridgeCLIAvailability::broken(u"pivra was not found in the app shell environment."_s));

        QVERIFY(m_sandbox.setRegistryFailing(true));
        const LatestVersionResult unavailable = awaitTask(service.fetchLatestPackageVersion());
        const auto installFailure = controlErrorOf(service.installBridgePackage());
        QVERIFY(m_sandbox.setRegistryFailing(false));
        QVERIFY(!unavailable.version);
        const QString viewMessage = errorDescription(unavailable.error);
        QVERIFY2(viewMessage.contains(u"E500"_s), qPrintable(viewMessage));
        QVERIFY(installFailure);
        QVERIFY2(installFailure->message().contains(u"500"_s),
                 qPrintable(installFailure->message()));

        const QString package
            = m_sandbox.root() + u"/it's a $HOME `touch PWNED` dir\n$(touch PWNED)/pivra"_s;
        QVERIFY(QDir().mkpath(package));
        QCOMPARE(
            QProcess::execute(
                u"cp"_s, {u"-R"_s, TestSandbox::bridgeSimDirectory() + u"/package/."_s, package}),
            0);
        const QByteArray manifest
            = R"({"name": "pivra", "version": "0.4.9-local", "bin": {"pivra": "bin/pivra.js"}})";
        QVERIFY(TestSandbox::writeFile(package + u"/package.json"_s, manifest));
        qputenv("PIVRA_BRIDGE_PACKAGE_PATH", QFile::encodeName(package));
        awaitTask(service.installBridgePackage());
        qunsetenv("PIVRA_BRIDGE_PACKAGE_PATH");
        QCOMPARE(detect(service), BridgeCLIAvailability::available(u"0.4.9-local"_s));
        QVERIFY(!QFileInfo::exists(m_sandbox.home() + u"/PWNED"_s));
        QVERIFY(!QFileInfo::exists(m_sandbox.root() + u"/PWNED"_s));
    }

    void availability_data()
    {
        QTest::addColumn<QByteArray>("knobs");
        QTest::addColumn<QString>("broken"); // "" for available 0.4.9-local
        QTest::newRow("JSON version") << QByteArray(R"({"versionFormat": "json"})") << QString();
        QTest::newRow("output not UTF-8") << QByteArray(R"({"invalidUtf8": {"--version": true}})")
                                          << u"The installed CLI returned an unreadable version."_s;
        QTest::newRow("the tool's error")
            << QByteArray(R"({"fail": {"--version": "  Error: config unreadable \n"}})")
            << u"Error: config unreadable"_s;
    }

    void availability()
    {
        QFETCH(QByteArray, knobs);
        QFETCH(QString, broken);
        m_sandbox.writeKnobs(QJsonDocument::fromJson(knobs).object());
        TestBridgeControlService service;
        QCOMPARE(detect(service),
                 broken.isEmpty() ? BridgeCLIAvailability::available(u"0.4.9-local"_s)
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

    // zsh's `command -v node` answering with an alias is ignored; the fixed places follow, nvm's
    // newest version first.
    void nodeSearchFallsBack()
    {
        const QString nvm = home(u".nvm/versions/node/"_s);
        for (const QString &version : {u"v18.19.0"_s, u"v20.11.1"_s, u"v20.9.0"_s, u"system"_s}) {
            QVERIFY(QDir().mkpath(nvm + version + u"/bin"_s));
            QVERIFY(QFile::link(u"/usr/bin/node"_s, nvm + version + u"/bin/node"_s));
        }
        QFile zshrc(home(u".zshrc"_s));
        QVERIFY(zshrc.open(QIODevice::ReadWrite | QIODevice::Append));
        const qint64 size = zshrc.size();
        zshrc.write("\nalias node=/usr/bin/node\n");
        zshrc.close();
        TestBridgeControlService service;
        const BridgeCLIInvocation invocation = awaitTask(service.resolveCLIInvocation());
        const BridgeCLIAvailability availability = detect(service);
        QVERIFY(zshrc.resize(size));
        QVERIFY(QDir(home(u".nvm"_s)).removeRecursively());
        QCOMPARE(invocation.nodePath, nvm + u"v20.11.1/bin/node"_s);
        QCOMPARE(invocation.scriptPath, home(u".npm-global/bin/pivra"_s));
        QCOMPARE(availability, BridgeCLIAvailability::available(u"0.4.9-local"_s));
    }
};

QTEST_GUILESS_MAIN(TestBridgeServiceCli)
#include "tst_bridgeservice_cli.moc"
