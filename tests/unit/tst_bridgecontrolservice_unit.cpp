// The service's rules that need no process: quoting, the tool and node search order, version
// ordering, text status, version and error classification, state-directory resolution. Commands
// are answered by a scripted runner.
#include "BridgeControlService.h"
#include "PlatformPaths.h"
#include "ServiceTestSupport.h"
#include "TestSandbox.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace Qt::StringLiterals;

using StringMap = QMap<QString, QString>;
using Components = std::optional<QList<qint64>>;
using OptionalText = std::optional<QString>;

Q_DECLARE_METATYPE(Components)
Q_DECLARE_METATYPE(OptionalText)
Q_DECLARE_METATYPE(ComparisonResult)

namespace {

bool makeFile(const QString &path, const QByteArray &content = "x", bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) < 0)
        return false;
    file.close();
    return !executable || file.setPermissions(file.permissions() | QFile::ExeOwner);
}

// Answers commands from a table; anything else fails as a login shell would.
class ScriptedRunner : public ShellCommandRunner
{
public:
    QMap<QString, ShellCommandResult> answers;
    QStringList commands;

    QCoro::Task<ShellCommandResult> run(const QString &command, const StringMap &) override
    {
        commands.append(command);
        if (!answers.contains(command))
            throw BridgeControlError::commandFailed(command, u"zsh: command not found"_s);
        co_return answers.value(command);
    }
};

// Sets an environment variable for one scope.
class ScopedVariable
{
public:
    ScopedVariable(const char *name, const std::optional<QString> &value)
        : m_name(name)
        , m_saved(qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt)
    {
        if (value)
            qputenv(name, value->toUtf8());
        else
            qunsetenv(name);
    }
    ~ScopedVariable()
    {
        if (m_saved)
            qputenv(m_name, *m_saved);
        else
            qunsetenv(m_name);
    }

private:
    const char *m_name;
    std::optional<QByteArray> m_saved;
};

} // namespace

class TestBridgeControlServiceUnit : public QObject
{
    Q_OBJECT

    QTemporaryDir m_temp;

    QString tempPath(const QString &relative) const { return m_temp.filePath(relative); }

private Q_SLOTS:
    // Relative paths in these tests land in the temporary directory.
    void initTestCase() { QVERIFY(QDir::setCurrent(m_temp.path())); }

    void quotingAndCommandLine()
    {
        const QList<std::pair<QString, QString>> cases{
            {u"/opt/homebrew/bin/node"_s, u"'/opt/homebrew/bin/node'"_s},
            {u"/Users/Shared/it's/node"_s, u"'/Users/Shared/it'\\''s/node'"_s},
            {u"''"_s, u"''\\'''\\'''"_s},
            {QString(), u"''"_s},
            // Nothing but the quote character is special inside single quotes.
            {u"a b$HOME`id`\\\n\"c\""_s, u"'a b$HOME`id`\\\n\"c\"'"_s},
        };
        for (const auto &[text, quoted] : cases)
            QCOMPARE(shellQuote(text), quoted);

        const BridgeCLIInvocation invocation{u"/opt/homebrew/bin/node"_s,
                                             u"/opt/homebrew/bin/pivra"_s};
        QCOMPARE(invocation.commandLine({u"status"_s, u"--json"_s}),
                 u"'/opt/homebrew/bin/node' '/opt/homebrew/bin/pivra' status --json"_s);
        QCOMPARE((BridgeCLIInvocation{u"it's"_s, u"x"_s}.commandLine({})), u"'it'\\''s' 'x'"_s);
    }

    void commandEnvironment()
    {
        const auto environment = &BridgeControlService::commandEnvironment;
        QCOMPARE(environment(std::nullopt), StringMap());
        QCOMPARE(environment(u""_s), StringMap());
        QCOMPARE(environment(u" \t\n "_s), StringMap());
        QCOMPARE(environment(u"  ws://10.0.0.2:9000/relay \n"_s),
                 (StringMap{{u"PIVRA_RELAY"_s, u"ws://10.0.0.2:9000/relay"_s}}));
        QCOMPARE(environment(u"a $b 'c'"_s), (StringMap{{u"PIVRA_RELAY"_s, u"a $b 'c'"_s}}));
    }

    void versionDirectoryNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<Components>("components");
        const Components none;
        QTest::newRow("v20.11.1") << u"v20.11.1"_s << Components(QList<qint64>{20, 11, 1});
        QTest::newRow("pre-release dropped")
            << u"v18.17.0-rc.1"_s << Components(QList<qint64>{18, 17, 0});
        QTest::newRow("one number") << u"22"_s << Components(QList<qint64>{22});
        QTest::newRow("blanks around") << u" v1.2\n"_s << Components(QList<qint64>{1, 2});
        QTest::newRow("leading dash skipped") << u"-18-rc"_s << Components(QList<qint64>{18});
        QTest::newRow("system") << u"system"_s << none;
        QTest::newRow("empty piece") << u"v20..1"_s << none;
        QTest::newRow("capital V kept") << u"V20.1"_s << none;
        QTest::newRow("only the first v goes") << u"vv20"_s << none;
        QTest::newRow("v alone") << u"v"_s << none;
        QTest::newRow("beyond 64 bits") << u"v1.9223372036854775808"_s << none;
        QTest::newRow("64-bit maximum")
            << u"9223372036854775807"_s << Components(QList<qint64>{9223372036854775807LL});
    }

    void versionDirectoryNames()
    {
        QFETCH(QString, name);
        QFETCH(Components, components);
        QCOMPARE(BridgeControlService::parseVersionDirectoryName(name), components);
    }

    void versionOrdering_data()
    {
        QTest::addColumn<QString>("left");
        QTest::addColumn<QString>("right");
        QTest::addColumn<ComparisonResult>("order");
        using enum ComparisonResult;
        QTest::newRow("missing component is 0") << u"v20.0"_s << u"v20"_s << Same;
        QTest::newRow("numeric, not textual") << u"v20.11"_s << u"v20.9.5"_s << Descending;
        QTest::newRow("shorter older") << u"1"_s << u"1.0.1"_s << Ascending;
        QTest::newRow("versions before names") << u"v1"_s << u"system"_s << Descending;
        QTest::newRow("names after versions") << u"system"_s << u"v0.1"_s << Ascending;
        QTest::newRow("names in natural order") << u"node9"_s << u"node10"_s << Ascending;
    }

    void versionOrdering()
    {
        QFETCH(QString, left);
        QFETCH(QString, right);
        QFETCH(ComparisonResult, order);
        QCOMPARE(BridgeControlService::compareVersionDirectoryNames(left, right), order);
        QCOMPARE(BridgeControlService::compareVersionComponents({}, {}), ComparisonResult::Same);
    }

    // Newest nvm node first, versions before other names (which sort descending too), equal
    // versions in listing order, hidden entries left out, files kept; the fixed places first.
    void searchCandidates()
    {
        const QString home = tempPath(u"nvm-home"_s);
        const QString versions = home + u"/.nvm/versions/node/"_s;
        for (const QString &name : {u"v18.19.0"_s, u"v20.9.0"_s, u"system"_s, u"v20.11.1"_s,
                                    u"v20.0"_s, u"v20"_s, u".v99"_s})
            QVERIFY(QDir().mkpath(versions + name));
        QVERIFY(makeFile(versions + u"notes.txt"_s));

        QStringList expected;
        for (const QString &name : {u"v20.11.1"_s, u"v20.9.0"_s, u"v20"_s, u"v20.0"_s,
                                    u"v18.19.0"_s, u"system"_s, u"notes.txt"_s})
            expected.append(versions + name + u"/bin/node"_s);
        QCOMPARE(BridgeControlService::nvmExecutableCandidates(u"node"_s, home), expected);
        QCOMPARE(BridgeControlService::nvmExecutableCandidates(u"node"_s, tempPath(u"none"_s)),
                 QStringList());

        const ScopedVariable scopedHome("HOME", home);
        expected.prepend(home + u"/.volta/bin/node"_s);
        expected.prepend(home + u"/.local/bin/node"_s);
        expected.prepend(u"/usr/local/bin/node"_s);
        expected.prepend(u"/opt/homebrew/bin/node"_s);
        QCOMPARE(BridgeControlService::fallbackExecutableCandidates(u"node"_s), expected);
    }

    void colocatedNode()
    {
        // bin/pivra is a link to the package's script, as npm and Homebrew install it.
        const QString root = tempPath(u"colocated"_s);
        QVERIFY(makeFile(root + u"/lib/pivra/bin/pivra.js"_s));
        QVERIFY(QDir().mkpath(root + u"/bin"_s));
        QVERIFY(QFile::link(u"../lib/pivra/bin/pivra.js"_s, root + u"/bin/pivra"_s));
        const QString cli = root + u"/bin/pivra"_s;
        const auto colocated = &BridgeControlService::resolveColocatedNodePath;

        QCOMPARE(colocated(cli), OptionalText());
        QVERIFY(makeFile(root + u"/lib/pivra/bin/node"_s, "x", true));
        QCOMPARE(colocated(cli), OptionalText(root + u"/lib/pivra/bin/node"_s));
        // A folder or a file without execute permission beside the link does not count.
        QVERIFY(QDir().mkpath(root + u"/bin/node"_s));
        QCOMPARE(colocated(cli), OptionalText(root + u"/lib/pivra/bin/node"_s));
        QVERIFY(QDir().rmdir(root + u"/bin/node"_s));
        QVERIFY(makeFile(root + u"/bin/node"_s));
        QCOMPARE(colocated(cli), OptionalText(root + u"/lib/pivra/bin/node"_s));
        QVERIFY(makeFile(root + u"/bin/node"_s, "x", true));
        QCOMPARE(colocated(cli), OptionalText(root + u"/bin/node"_s));
    }

    void bundledInvocationAndPackagePath()
    {
        const QString resources = tempPath(u"resources"_s);
        TestBridgeControlService service(std::make_shared<ScriptedRunner>());
        const ScopedVariable packagePath("PIVRA_BRIDGE_PACKAGE_PATH", std::nullopt);
        const ScopedVariable sourceRoot("PIVRA_SOURCE_ROOT", std::nullopt);
        using Invocation = std::optional<BridgeCLIInvocation>;

        QCOMPARE(service.resolveBundledCLIInvocation(), Invocation());
        service.resources = resources;
        QVERIFY(makeFile(resources + u"/PivraBridge/bin/pivra.js"_s));
        // The package without a runnable node next to it is no invocation.
        QCOMPARE(service.resolveBundledCLIInvocation(), Invocation());
        QVERIFY(makeFile(resources + u"/node/bin/node"_s));
        QCOMPARE(service.resolveBundledCLIInvocation(), Invocation());
        QVERIFY(makeFile(resources + u"/node/bin/node"_s, "x", true));
        QCOMPARE(service.resolveBundledCLIInvocation(),
                 Invocation({resources + u"/node/bin/node"_s,
                             resources + u"/PivraBridge/bin/pivra.js"_s}));
        QVERIFY(QDir(resources + u"/node"_s).removeRecursively());
        QVERIFY(makeFile(resources + u"/node"_s, "x", true));
        QVERIFY(makeFile(resources + u"/pivra-bridge/package.json"_s));
        QCOMPARE(service.resolveBundledCLIInvocation(),
                 Invocation({resources + u"/node"_s, resources + u"/PivraBridge/bin/pivra.js"_s}));
        QVERIFY(makeFile(resources + u"/pivra-bridge/bin/pivra.js"_s));
        QCOMPARE(service.resolveBundledCLIInvocation()->scriptPath,
                 resources + u"/pivra-bridge/bin/pivra.js"_s);

        // The install source: the carried package, then the two development variables.
        const QString development = tempPath(u"dev"_s);
        QVERIFY(makeFile(development + u"/package/package.json"_s));
        QVERIFY(makeFile(development + u"/root/pivra-bridge/package.json"_s));
        const ScopedVariable packageVariable("PIVRA_BRIDGE_PACKAGE_PATH",
                                             development + u"/package"_s);
        const ScopedVariable rootVariable("PIVRA_SOURCE_ROOT", development + u"/root"_s);
        QCOMPARE(service.bundledOrDevelopmentBridgePackagePath(),
                 OptionalText(resources + u"/pivra-bridge"_s));
        QVERIFY(QFile::remove(resources + u"/pivra-bridge/package.json"_s));
        QVERIFY(makeFile(resources + u"/PivraBridge/package.json"_s));
        QCOMPARE(service.bundledOrDevelopmentBridgePackagePath(),
                 OptionalText(resources + u"/PivraBridge"_s));
        service.resources.reset();
        QCOMPARE(service.bundledOrDevelopmentBridgePackagePath(),
                 OptionalText(development + u"/package"_s));
        QVERIFY(QFile::remove(development + u"/package/package.json"_s));
        QCOMPARE(service.bundledOrDevelopmentBridgePackagePath(),
                 OptionalText(development + u"/root/pivra-bridge"_s));
        QVERIFY(QFile::remove(development + u"/root/pivra-bridge/package.json"_s));
        QCOMPARE(service.bundledOrDevelopmentBridgePackagePath(), OptionalText());
    }

    void statusLines_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<StringMap>("lines");
        QTest::newRow("one pid line") << u"[pivra] pid: 42"_s << StringMap{{u"pid"_s, u"42"_s}};
        QTest::newRow("key case and blanks")
            << u"[pivra] Launchd Loaded : YES \r\n"_s << StringMap{{u"launchd loaded"_s, u"YES"_s}};
        QTest::newRow("first colon splits")
            << u"[pivra] stdout log: /a:b/c.log"_s << StringMap{{u"stdout log"_s, u"/a:b/c.log"_s}};
        QTest::newRow("indented line")
            << u"   [pivra] installed: no"_s << StringMap{{u"installed"_s, u"no"_s}};
        QTest::newRow("later line wins")
            << u"[pivra] pid: 1\n\n[pivra] pid: 2\n"_s << StringMap{{u"pid"_s, u"2"_s}};
        QTest::newRow("empty key and value")
            << u"[pivra] : v\n[pivra] k:"_s << StringMap{{QString(), u"v"_s}, {u"k"_s, QString()}};
        QTest::newRow("prefix case, prefix blank, no colon")
            << u"[PIVRA] pid: 1\n[pivra]pid: 2\n[pivra] pid 3\npid: 4"_s << StringMap();
        QTest::newRow("JSON") << u"{\"pid\": 1}"_s << StringMap();
    }

    void statusLines()
    {
        QFETCH(QString, text);
        QFETCH(StringMap, lines);
        QCOMPARE(BridgeControlService::parseStatusLines(text), lines);
    }

    void statusValues()
    {
        using Pid = std::optional<qint64>;
        const auto pid = [](const char *text) {
            return BridgeControlService::parsePid(QString::fromUtf8(text));
        };
        QCOMPARE(BridgeControlService::parsePid(std::nullopt), Pid());
        QCOMPARE(pid(" 123 "), Pid(123));
        QCOMPARE(pid("0"), Pid(0));
        QCOMPARE(pid("-1"), Pid(-1));
        QCOMPARE(pid("+7"), Pid(7));
        for (const char *bad : {"12a", "", "  ", "+", "9223372036854775808", "1 2", "0x10"})
            QVERIFY2(!pid(bad), bad);

        using Flag = std::optional<bool>;
        const auto yesNo = [](const char *text) {
            return BridgeControlService::parseYesNo(QString::fromUtf8(text));
        };
        QCOMPARE(BridgeControlService::parseYesNo(std::nullopt), Flag());
        QCOMPARE(yesNo("yes"), Flag(true));
        QCOMPARE(yesNo(" YES "), Flag(true));
        QCOMPARE(yesNo("No\n"), Flag(false));
        for (const char *other : {"true", "1", "", "y", "yes!"})
            QCOMPARE(yesNo(other), Flag());
    }

    void latestVersion_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<OptionalText>("version");
        QTest::newRow("JSON string") << u"\"0.4.2\""_s << OptionalText(u"0.4.2"_s);
        QTest::newRow("JSON string, line break") << u"\"0.4.2\"\n"_s << OptionalText(u"0.4.2"_s);
        QTest::newRow("JSON escapes") << u"\"1.0.0-\\u00e9\""_s << OptionalText(u"1.0.0-é"_s);
        QTest::newRow("JSON string kept as decoded") << u"\" 1.0 \""_s << OptionalText(u" 1.0 "_s);
        QTest::newRow("plain text") << u" 0.4.2\n"_s << OptionalText(u"0.4.2"_s);
        QTest::newRow("a list is given whole")
            << u"[\"0.4.2\", \"0.5.0\"]"_s << OptionalText(u"[\"0.4.2\", \"0.5.0\"]"_s);
        QTest::newRow("two strings are not one")
            << u"\"a\", \"b\""_s << OptionalText(u"\"a\", \"b\""_s);
        QTest::newRow("empty JSON string") << u"\"\""_s << OptionalText(u"\"\""_s);
        QTest::newRow("empty") << QString() << OptionalText();
        QTest::newRow("blank lines") << u"\n  \n"_s << OptionalText();
    }

    void latestVersion()
    {
        QFETCH(QString, output);
        QFETCH(OptionalText, version);
        QCOMPARE(BridgeControlService::parseLatestVersion(output), version);
    }

    void availabilityClassification_data()
    {
        QTest::addColumn<QString>("origin");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("broken"); // empty: missing
        QTest::newRow("zsh") << u"command"_s << u"zsh:1: command not found: pivra"_s << QString();
        QTest::newRow("bash, capitals")
            << u"command"_s << u"bash: PIVRA: Command Not Found"_s << QString();
        QTest::newRow("sh") << u"command"_s << u"/bin/sh: 1: pivra: not found"_s << QString();
        QTest::newRow("node") << u"command"_s
                              << u"Error: ENOENT: No such file or directory, open 'x'"_s
                              << QString();
        QTest::newRow("launch") << u"launch"_s << u"execve: No such file or directory"_s
                                << QString();
        // The executable search's own message names no marker: the tool counts as broken.
        QTest::newRow("not found by the search")
            << u"command"_s << u"pivra was not found in the app shell environment."_s
            << u"pivra was not found in the app shell environment."_s;
        QTest::newRow("other tool's message")
            << u"command"_s << u"node: command not found"_s << u"node: command not found"_s;
        QTest::newRow("trimmed") << u"command"_s << u"  Error: boom \n"_s << u"Error: boom"_s;
        QTest::newRow("empty") << u"command"_s << QString()
                               << u"The CLI returned an unknown error."_s;
        QTest::newRow("blank") << u"snapshot"_s << u" \n"_s
                               << u"The CLI returned an unknown error."_s;
        QTest::newRow("platform error") << u"other"_s << u"bad_alloc-ish"_s << u"bad_alloc-ish"_s;
    }

    void availabilityClassification()
    {
        QFETCH(QString, origin);
        QFETCH(QString, message);
        QFETCH(QString, broken);
        std::exception_ptr error;
        if (origin == u"command")
            error = std::make_exception_ptr(BridgeControlError::commandFailed(u"c"_s, message));
        else if (origin == u"snapshot")
            error = std::make_exception_ptr(BridgeControlError::invalidSnapshot(message));
        else if (origin == u"launch")
            error = std::make_exception_ptr(ProcessLaunchError(message));
        else
            error = std::make_exception_ptr(std::runtime_error(message.toStdString()));
        QCOMPARE(BridgeControlService::classifyCLIAvailability(error),
                 broken.isEmpty() ? BridgeCLIAvailability::missing()
                                  : BridgeCLIAvailability::broken(broken));
    }

    void stateDirectoryResolution_data()
    {
        QTest::addColumn<OptionalText>("environment");
        QTest::addColumn<QString>("launchAgent"); // "", "xml:DIR", "binary:DIR" or raw text
        QTest::addColumn<StringMap>("statusLines");
        QTest::addColumn<QString>("expected"); // relative to the temporary home
        const StringMap logs{{u"stdout log"_s, u"/a/b/logs/out.log"_s},
                             {u"stderr log"_s, u"/e/f/logs/err.log"_s}};
        const OptionalText unset;
        QTest::newRow("environment first")
            << OptionalText(u" /env/dir "_s) << u"xml:/x"_s << logs << u"/env/dir"_s;
        QTest::newRow("blank environment, XML agent")
            << OptionalText(u"  "_s) << u"xml:/tmp/s"_s << logs << u"/tmp/s"_s;
        QTest::newRow("binary agent") << unset << u"binary:/bin/s/"_s << logs << u"/bin/s"_s;
        QTest::newRow("agent value blank") << unset << u"xml: "_s << logs << u"/a/b"_s;
        QTest::newRow("agent value not a string")
            << unset
            << u"<plist><dict><key>EnvironmentVariables</key><dict>"
               u"<key>PIVRA_DEVICE_STATE_DIR</key><integer>1</integer></dict></dict></plist>"_s
            << logs << u"/a/b"_s;
        QTest::newRow("variables not a dictionary")
            << unset
            << u"<plist><dict><key>EnvironmentVariables</key><array>"
               u"<string>/x</string></array></dict></plist>"_s
            << logs << u"/a/b"_s;
        QTest::newRow("top level not a dictionary")
            << unset << u"<plist><array><string>/x</string></array></plist>"_s << logs << u"/a/b"_s;
        QTest::newRow("not a property list")
            << unset << u"{\"EnvironmentVariables\": 1"_s << logs << u"/a/b"_s;
        QTest::newRow("stderr log alone")
            << unset << QString() << StringMap{{u"stderr log"_s, u"/e/f/logs/err.log"_s}}
            << u"/e/f"_s;
        // An empty stdout log line hides the stderr line and falls to the default.
        QTest::newRow("empty stdout log")
            << unset << QString()
            << StringMap{{u"stdout log"_s, u""_s}, {u"stderr log"_s, u"/e/f/logs/err.log"_s}}
            << u"~/.pivra"_s;
        QTest::newRow("log at the root")
            << unset << QString() << StringMap{{u"stdout log"_s, u"/out.log"_s}} << u"/"_s;
        QTest::newRow("nothing") << unset << QString() << StringMap() << u"~/.pivra"_s;
    }

    void stateDirectoryResolution()
    {
        QFETCH(OptionalText, environment);
        QFETCH(QString, launchAgent);
        QFETCH(StringMap, statusLines);
        QFETCH(QString, expected);
        const QString home = tempPath(u"state-home"_s);
        const ScopedVariable scopedHome("HOME", home);
        const ScopedVariable stateVariable("PIVRA_DEVICE_STATE_DIR", environment);
        const TestBridgeControlService service(std::make_shared<ScriptedRunner>());
        QCOMPARE(service.launchAgentPlistPath(),
                 home + u"/Library/LaunchAgents/com.pivra.bridge.plist"_s);
        QFile::remove(service.launchAgentPlistPath());

        if (launchAgent.startsWith(u"xml:"_s) || launchAgent.startsWith(u"binary:"_s)) {
            QVERIFY(TestSandbox::writeLaunchAgent(service.launchAgentPlistPath(),
                                                  launchAgent.section(u':', 1),
                                                  launchAgent.startsWith(u"binary:"_s)));
        } else if (!launchAgent.isEmpty()) {
            QVERIFY(makeFile(service.launchAgentPlistPath(), launchAgent.toUtf8()));
        }
        expected.replace(u"~"_s, home);
        QCOMPARE(service.resolveStateDirectory(statusLines), expected);
    }

    void logPathDerivation()
    {
        const auto derive = &BridgeControlService::deriveStateDirectory;
        QCOMPARE(derive(std::nullopt), OptionalText());
        QCOMPARE(derive(u" \n"_s), OptionalText());
        QCOMPARE(derive(u" /a/b/logs/out.log\n"_s), OptionalText(u"/a/b"_s));
        QCOMPARE(derive(u"/a/b/logs/out.log/"_s), OptionalText(u"/a/b"_s));
        // Relative to the current directory, no tilde expansion.
        QCOMPARE(derive(u"~/s/logs/out.log"_s), OptionalText(QDir::currentPath() + u"/~/s"_s));
    }

    void codexApplication()
    {
        const QString dataHome = tempPath(u"xdg/home"_s);
        const QString system = tempPath(u"xdg/system"_s);
        const ScopedVariable home("HOME", tempPath(u"xdg/user"_s));
        const ScopedVariable dataHomeVariable("XDG_DATA_HOME", dataHome);
        const ScopedVariable dataDirs(
            "XDG_DATA_DIRS", u"relative/share:"_s + tempPath(u"xdg/other"_s) + u':' + system);
        QDir().mkpath(u"relative/share/applications"_s);
        makeFile(u"relative/share/applications/com.openai.codex.desktop"_s);
        const BridgeControlService service(std::make_shared<ScriptedRunner>());
        const QString entry = u"/applications/com.openai.codex.desktop"_s;

        if (!QFileInfo::exists(u"/Applications/Codex.app"_s))
            QCOMPARE(service.detectCodexApplicationPath(), OptionalText());
        QVERIFY(makeFile(system + entry));
        QCOMPARE(service.detectCodexApplicationPath(), OptionalText(system + entry));
        QVERIFY(makeFile(dataHome + entry));
        QCOMPARE(service.detectCodexApplicationPath(), OptionalText(dataHome + entry));
        // With XDG_DATA_HOME unset, ~/.local/share stands in.
        const ScopedVariable unset("XDG_DATA_HOME", std::nullopt);
        QVERIFY(makeFile(tempPath(u"xdg/user/.local/share"_s) + entry));
        QCOMPARE(service.detectCodexApplicationPath(),
                 OptionalText(tempPath(u"xdg/user/.local/share"_s) + entry));
    }

    // What the scripted runner answers decides the result; the commands asked are recorded.
    void scriptedCommands()
    {
        const auto runner = std::make_shared<ScriptedRunner>();
        TestBridgeControlService service(runner);
        const QString home = tempPath(u"scripted-home"_s);
        const ScopedVariable scopedHome("HOME", home);
        const ScopedVariable packagePath("PIVRA_BRIDGE_PACKAGE_PATH", std::nullopt);
        const ScopedVariable sourceRoot("PIVRA_SOURCE_ROOT", std::nullopt);

        // An alias printed by `command -v` is skipped in favour of the fixed places.
        runner->answers.insert(u"command -v node"_s, {u"alias node='/opt/node/bin/node'"_s, {}});
        QVERIFY(makeFile(home + u"/.volta/bin/node"_s, "x", true));
        QCOMPARE(awaitTask(service.resolveExecutable(u"node"_s)), home + u"/.volta/bin/node"_s);
        auto error = controlErrorOf(service.resolveExecutable(u"pivra"_s));
        QVERIFY(error);
        QCOMPARE(error->command(), u"pivra"_s);
        QCOMPARE(error->message(), u"pivra was not found in the app shell environment."_s);

        const QString npmView = u"npm view pivra version --json"_s;
        runner->answers.insert(npmView, {});
        const LatestVersionResult unreadable = awaitTask(service.fetchLatestPackageVersion());
        QVERIFY(!unreadable.version && unreadable.error);
        QCOMPARE(errorDescription(unreadable.error), u"npm returned an unreadable version."_s);
        runner->answers.insert(npmView, {u"\"0.5.0\""_s, u"npm warn something"_s});
        const LatestVersionResult latest = awaitTask(service.fetchLatestPackageVersion());
        QCOMPARE(latest.version, OptionalText(u"0.5.0"_s));
        QVERIFY(!latest.error);

        // A JSON status lacking a required member is malformed; it is not rescued by the
        // fallback, which finds no status lines in JSON and asks for no version.
        const QString resources = tempPath(u"scripted-resources/it's"_s);
        QVERIFY(makeFile(resources + u"/pivra-bridge/bin/pivra.js"_s));
        QVERIFY(makeFile(resources + u"/pivra-bridge/package.json"_s));
        QVERIFY(makeFile(resources + u"/node/bin/node"_s, "x", true));
        service.resources = resources;
        const BridgeCLIInvocation invocation = *service.resolveBundledCLIInvocation();
        const QString status = invocation.commandLine({u"status"_s, u"--json"_s});
        runner->answers.insert(status,
                               {u"{\"currentVersion\": \"1\", \"label\": \"l\", "
                                u"\"platform\": \"p\", \"installed\": true, "
                                u"\"launchdLoaded\": false, \"stdoutLogPath\": \"o\"}"_s,
                                {}});
        runner->commands.clear();
        error = controlErrorOf(service.loadSnapshot(std::nullopt));
        QVERIFY(error);
        QCOMPARE(error->kind(), BridgeControlError::Case::InvalidSnapshot);
        QCOMPARE(error->message(), u"Bridge status returned malformed JSON."_s);
        QCOMPARE(runner->commands, QStringList{status});

        const QString localInstall
            = u"npm install -g "_s + shellQuote(resources + u"/pivra-bridge"_s);
        runner->answers.insert(localInstall, {});
        runner->answers.insert(u"npm install -g pivra@latest"_s, {});
        awaitTask(service.installBridgePackage());
        QCOMPARE(runner->commands.last(), localInstall);
        service.resources.reset();
        awaitTask(service.installBridgePackage());
        QCOMPARE(runner->commands.last(), u"npm install -g pivra@latest"_s);
    }
};

QTEST_GUILESS_MAIN(TestBridgeControlServiceUnit)
#include "tst_bridgecontrolservice_unit.moc"
