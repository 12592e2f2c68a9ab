// The service's rules that need no process: quoting, the tool and node search order, text
// status, version and error classification, state-directory resolution. Commands are answered by
// a scripted runner.
#include "BridgeControlService.h"
#include "ScriptedBridgeService.h"
#include "ServiceTestSupport.h"
#include "TestSandbox.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

using StringMap = QMap<QString, QString>;
using OptionalText = std::optional<QString>;

class TestBridgeControlServiceUnit : public QObject
{
    Q_OBJECT

    QTemporaryDir m_temp;

    static bool makeFile(const QString &path, bool executable = false)
    {
        return TestSandbox::writeFile(path, "x")
            && (!executable
                || QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner));
    }

private Q_SLOTS:
    // Relative paths in these tests land in the temporary directory. Each test sets every
    // variable it depends on, so none is restored.
    void initTestCase() { QVERIFY(QDir::setCurrent(m_temp.path())); }

    // Catches a path the shell splits or expands, and quoted argument words.
    void quotingAndCommandLine()
    {
        const BridgeCLIInvocation invocation{u"/Users/Shared/it's/node"_s, u"/opt/pivra"_s};
        QCOMPARE(invocation.commandLine({u"status"_s, u"--json"_s}),
                 u"'/Users/Shared/it'\\''s/node' '/opt/pivra' status --json"_s);
    }

    // Catches an nvm folder name read as a version it is not, or a version missed.
    void versionDirectoryNames()
    {
        const auto parse = &BridgeControlService::parseVersionDirectoryName;
        QCOMPARE(parse(u" v18.17.0-rc.1\n"_s), (QList<qint64>{18, 17, 0}));
        QCOMPARE(parse(u"-18-rc"_s), QList<qint64>{18});
        // Only one leading v goes; a name of dashes alone has no first piece.
        for (const QString &name : {u"system"_s, u"vv20"_s, u"-"_s})
            QVERIFY2(!parse(name), qPrintable(name));
    }

    // Catches the wrong search order: fixed places, then nvm's newest node first.
    void searchCandidates()
    {
        const QString home = m_temp.filePath(u"nvm-home"_s);
        const QString versions = home + u"/.nvm/versions/node/"_s;
        for (const QString &name : {u"v18.19.0"_s, u"v20.9.0"_s, u"system"_s, u"node9"_s,
                                    u"v20.11.1"_s, u"node10"_s, u"v20.0"_s, u"v20"_s, u".v99"_s})
            QVERIFY(QDir().mkpath(versions + name));
        QVERIFY(makeFile(versions + u"notes.txt"_s));

        QStringList expected{u"/opt/homebrew/bin/node"_s, u"/usr/local/bin/node"_s,
                             home + u"/.local/bin/node"_s, home + u"/.volta/bin/node"_s};
        for (const QString &name :
             {u"v20.11.1"_s, u"v20.9.0"_s, u"v20"_s, u"v20.0"_s, u"v18.19.0"_s, u"system"_s,
              u"notes.txt"_s, u"node10"_s, u"node9"_s})
            expected.append(versions + name + u"/bin/node"_s);
        qputenv("HOME", home.toUtf8());
        QCOMPARE(BridgeControlService::fallbackExecutableCandidates(u"node"_s), expected);
    }

    // Catches a node beside the tool missed, or a folder taken for a program.
    void colocatedNode()
    {
        // bin/pivra is a link to the package's script, as npm and Homebrew install it.
        const QString root = m_temp.filePath(u"colocated"_s);
        QVERIFY(makeFile(root + u"/lib/pivra/bin/pivra.js"_s));
        // A folder beside the link passes the access test but cannot run.
        QVERIFY(QDir().mkpath(root + u"/bin/node"_s));
        QVERIFY(QFile::link(u"../lib/pivra/bin/pivra.js"_s, root + u"/bin/pivra"_s));
        const QString cli = root + u"/bin/pivra"_s;
        const auto colocated = &BridgeControlService::resolveColocatedNodePath;

        QCOMPARE(colocated(cli), OptionalText());
        QVERIFY(makeFile(root + u"/lib/pivra/bin/node"_s, true));
        QCOMPARE(colocated(cli), OptionalText(root + u"/lib/pivra/bin/node"_s));
        QVERIFY(QDir().rmdir(root + u"/bin/node"_s));
        QVERIFY(makeFile(root + u"/bin/node"_s, true));
        QCOMPARE(colocated(cli), OptionalText(root + u"/bin/node"_s));
    }

    // Catches the carried tool or install source chosen in the wrong order, or a relative one
    // handed to npm.
    void bundledInvocationAndPackagePath()
    {
        const QString resources = m_temp.filePath(u"resources"_s);
        TestBridgeControlService service(std::make_shared<scripted::ScriptedRunner>());
        service.resources = resources;
        const auto bundled = [&] {
            const auto invocation = service.resolveBundledCLIInvocation();
            return invocation ? invocation->nodePath + u' ' + invocation->scriptPath : QString();
        };
        const auto package = [&] {
            return service.bundledOrDevelopmentBridgePackagePath().value_or(QString());
        };

        // The package without a runnable node next to it is no invocation.
        QVERIFY(makeFile(resources + u"/PivraBridge/bin/pivra.js"_s));
        QVERIFY(makeFile(resources + u"/node/bin/node"_s));
        QCOMPARE(bundled(), QString());
        QVERIFY(makeFile(resources + u"/node/bin/node"_s, true));
        QCOMPARE(bundled(),
                 resources + u"/node/bin/node "_s + resources + u"/PivraBridge/bin/pivra.js"_s);
        QVERIFY(QDir(resources + u"/node"_s).removeRecursively());
        QVERIFY(makeFile(resources + u"/node"_s, true));
        QVERIFY(makeFile(resources + u"/pivra-bridge/package.json"_s));
        QCOMPARE(bundled(), resources + u"/node "_s + resources + u"/PivraBridge/bin/pivra.js"_s);
        QVERIFY(makeFile(resources + u"/pivra-bridge/bin/pivra.js"_s));
        QCOMPARE(bundled(), resources + u"/node "_s + resources + u"/pivra-bridge/bin/pivra.js"_s);

        // The install source: the carried package, then the two development variables.
        const QString development = m_temp.filePath(u"dev"_s);
        QVERIFY(makeFile(development + u"/package/package.json"_s));
        QVERIFY(makeFile(development + u"/root/pivra-bridge/package.json"_s));
        // A relative variable means this process's folder, where it is checked; npm runs in the
        // home folder and would read it as a registry name, so it leaves here absolute.
        qputenv("PIVRA_BRIDGE_PACKAGE_PATH", "dev/./package");
        qputenv("PIVRA_SOURCE_ROOT", (development + u"/root"_s).toUtf8());
        QCOMPARE(package(), resources + u"/pivra-bridge"_s);
        QVERIFY(QFile::remove(resources + u"/pivra-bridge/package.json"_s));
        QVERIFY(makeFile(resources + u"/PivraBridge/package.json"_s));
        QCOMPARE(package(), resources + u"/PivraBridge"_s);
        service.resources.reset();
        QCOMPARE(package(), development + u"/package"_s);
        QVERIFY(QFile::remove(development + u"/package/package.json"_s));
        QCOMPARE(package(), development + u"/root/pivra-bridge"_s);
    }

    // Catches status lines split at the wrong colon or keys not folded, and yes or no read
    // loosely. Unreadable values are the integration test's.
    void statusText()
    {
        // Only the first colon splits; keys are trimmed and lower-cased, values only trimmed.
        QCOMPARE(BridgeControlService::parseStatusLines(
                     u"[pivra] Launchd Loaded : YES \r\n\n[pivra] log: /a:b\n[pivra] pid: 1\n"
                     "[pivra] pid: 2\n[PIVRA] case: 1\n[pivra] no colon\nbare: 1"_s),
                 (StringMap{
                     {u"launchd loaded"_s, u"YES"_s}, {u"log"_s, u"/a:b"_s}, {u"pid"_s, u"2"_s}}));

        QCOMPARE(BridgeControlService::parseYesNo(u" YES "_s), std::optional(true));
        QCOMPARE(BridgeControlService::parseYesNo(u"No\n"_s), std::optional(false));
    }

    // Catches npm's answer misread: a list, two strings or blanks taken for a version.
    void latestVersion()
    {
        const auto parse = &BridgeControlService::parseLatestVersion;
        // One JSON string is taken as decoded, untrimmed; anything else as trimmed text.
        QCOMPARE(parse(u"\" 1.0-\\u00e9 \"\n"_s), u" 1.0-é "_s);
        QCOMPARE(parse(u" 0.4.2\n"_s), u"0.4.2"_s);
        for (const QString &text : {u"[\"0.4.2\"]"_s, u"\"a\", \"b\""_s, u"\"\""_s})
            QCOMPARE(parse(text), text);
        QCOMPARE(parse(u"\n  \n"_s), std::nullopt);

        // The scripted shell answers the npm query with nothing.
        TestBridgeControlService service(std::make_shared<scripted::ScriptedRunner>());
        const LatestVersionResult result = awaitTask(service.fetchLatestPackageVersion());
        QCOMPARE(errorDescription(result.error), u"npm returned an unreadable version."_s);
    }

    // Catches a broken tool reported as missing, or the other way round.
    void availabilityClassification()
    {
        const auto classify = &BridgeControlService::classifyCLIAvailability;
        const auto failed = [](const QString &message) {
            return std::make_exception_ptr(BridgeControlError::commandFailed(u"c"_s, message));
        };
        for (const std::exception_ptr &error :
             {failed(u"zsh:1: command not found: pivra"_s),
              failed(u"bash: PIVRA: Command Not Found"_s),
              failed(u"/bin/sh: 1: pivra: not found"_s),
              std::make_exception_ptr(ProcessLaunchError(u"execve: No such file or directory"_s))})
            QCOMPARE(classify(error), BridgeCLIAvailability::missing());
        // A marker names the tool; another program's complaint means the tool is broken.
        const auto broken = &BridgeCLIAvailability::broken;
        QCOMPARE(classify(failed(u"node: command not found"_s)),
                 broken(u"node: command not found"_s));
        QCOMPARE(classify(std::make_exception_ptr(BridgeControlError::invalidSnapshot(u" \n"_s))),
                 broken(u"The CLI returned an unknown error."_s));
        QCOMPARE(classify(std::make_exception_ptr(std::runtime_error("bad_alloc-ish"))),
                 broken(u"bad_alloc-ish"_s));
    }

    // Catches a source of the state folder that wins when it should fail, and a log path taken
    // up the wrong number of levels. Their order is the integration test's.
    void stateDirectoryResolution()
    {
        const QString home = m_temp.filePath(u"state-home"_s);
        qputenv("HOME", home.toUtf8());
        const TestBridgeControlService service(std::make_shared<scripted::ScriptedRunner>());
        const StringMap logs{{u"stdout log"_s, u"/a/b/logs/out.log"_s},
                             {u"stderr log"_s, u"/e/f/logs/err.log"_s}};
        // The same minimal property list with a string value is read, so each variant below
        // fails for its own reason.
        const QString variables
            = u"<plist><dict><key>EnvironmentVariables</key>%1</dict></plist>"_s;
        const QString entry = u"<dict><key>PIVRA_DEVICE_STATE_DIR</key>%1</dict>"_s;
        const QString agentPath = service.launchAgentPlistPath();
        qputenv("PIVRA_DEVICE_STATE_DIR", "  ");
        QVERIFY(TestSandbox::writeFile(
            agentPath, variables.arg(entry.arg(u"<string>/tmp/s</string>"_s)).toUtf8()));
        QCOMPARE(service.resolveStateDirectory(logs), u"/tmp/s"_s);
        for (const QString &agent : {variables.arg(entry.arg(u"<string> </string>"_s)),
                                     variables.arg(entry.arg(u"<integer>1</integer>"_s)),
                                     variables.arg(u"<array><string>/x</string></array>"_s),
                                     u"{\"EnvironmentVariables\": 1"_s}) {
            QVERIFY(TestSandbox::writeFile(agentPath, agent.toUtf8()));
            QVERIFY2(service.resolveStateDirectory(logs) == u"/a/b"_s, qPrintable(agent));
        }

        QCOMPARE(service.resolveStateDirectory({{u"stderr log"_s, u"/e/f/logs/err.log/\n"_s}}),
                 u"/e/f"_s);
        QCOMPARE(service.resolveStateDirectory({{u"stdout log"_s, u"/out.log"_s}}), u"/"_s);
        // An empty stdout log line hides the stderr line and falls to the default.
        QCOMPARE(service.resolveStateDirectory(
                     {{u"stdout log"_s, u""_s}, {u"stderr log"_s, u"/e/f/logs/err.log"_s}}),
                 home + u"/.pivra"_s);
        // Relative to the current directory, no tilde expansion.
        QCOMPARE(BridgeControlService::deriveStateDirectory(u"~/s/logs/out.log"_s),
                 OptionalText(QDir::currentPath() + u"/~/s"_s));
    }

    // Catches the Codex entry looked up outside the XDG places, or in the wrong order.
    void codexApplication()
    {
        const QString dataHome = m_temp.filePath(u"xdg/home"_s);
        const QString system = m_temp.filePath(u"xdg/system"_s);
        qputenv("HOME", m_temp.filePath(u"xdg/user"_s).toUtf8());
        qputenv("XDG_DATA_HOME", dataHome.toUtf8());
        qputenv("XDG_DATA_DIRS", (u"relative/share:"_s + system).toUtf8());
        const QString entry = u"/applications/com.openai.codex.desktop"_s;
        QVERIFY(makeFile(u"relative/share"_s + entry));
        const BridgeControlService service(std::make_shared<scripted::ScriptedRunner>());

        if (!QFileInfo::exists(u"/Applications/Codex.app"_s))
            QCOMPARE(service.detectCodexApplicationPath(), OptionalText());
        QVERIFY(makeFile(system + entry));
        QCOMPARE(service.detectCodexApplicationPath(), OptionalText(system + entry));
        QVERIFY(makeFile(dataHome + entry));
        QCOMPARE(service.detectCodexApplicationPath(), OptionalText(dataHome + entry));
        // With XDG_DATA_HOME unset, ~/.local/share stands in.
        qunsetenv("XDG_DATA_HOME");
        QVERIFY(makeFile(m_temp.filePath(u"xdg/user/.local/share"_s) + entry));
        QCOMPARE(service.detectCodexApplicationPath(),
                 OptionalText(m_temp.filePath(u"xdg/user/.local/share"_s) + entry));
    }
};

QTEST_GUILESS_MAIN(TestBridgeControlServiceUnit)
#include "tst_bridgecontrolservice_unit.moc"
