#include "BridgeControlService.h"

#include "PlatformPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <plist/plist.h>

#include <unistd.h>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

const QString cliName = u"pivra"_s;
const QString nodeName = u"node"_s;
const QString npmViewCommand = u"npm view pivra version --json"_s;
const QString npmInstallLatestCommand = u"npm install -g pivra@latest"_s;
const QString unreadableInstalledVersion = u"The installed CLI returned an unreadable version."_s;

// Note for the coroutines below: g++ 12 fails on a braced list built inside a co_await
// expression ("array used as initializer"), so they build each command text in a statement of
// its own before awaiting it.

// `directory` + "/" + `relative`, without doubling a slash the directory already ends with.
QString appendPath(const QString &directory, const QString &relative)
{
    if (directory.endsWith(u'/'))
        return directory + relative;
    return directory + u'/' + relative;
}

// A directory named by a path text: used as written (no tilde expansion), relative to the
// current directory when not absolute.
QString directoryAt(const QString &path)
{
    return QDir::cleanPath(QDir::current().absoluteFilePath(path));
}

// An executable regular file: a directory is searchable but cannot run.
bool isExecutableFile(const QString &path)
{
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return false;
    return ::access(QFile::encodeName(path).constData(), X_OK) == 0;
}

std::optional<QString> lineValue(const QMap<QString, QString> &statusLines, const QString &key)
{
    const auto it = statusLines.constFind(key);
    if (it == statusLines.cend())
        return std::nullopt;
    return it.value();
}

template <typename Record>
std::optional<Record> readStateFile(const QString &path)
{
    const std::optional<QByteArray> content = PlatformPaths::readSmallFile(path);
    return content ? decodeRecord<Record>(*content) : std::nullopt;
}

struct PlistFree
{
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistHandle = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

// The child `key` of a dictionary node, or null when `node` is not a dictionary or lacks it.
plist_t dictionaryItem(plist_t node, const char *key)
{
    if (!node || plist_get_node_type(node) != PLIST_DICT)
        return nullptr;
    return plist_dict_get_item(node, key);
}

} // namespace

QString BridgeCLIInvocation::commandLine(const QStringList &arguments) const
{
    QString line = shellQuote(nodePath) + u' ' + shellQuote(scriptPath);
    for (const QString &argument : arguments)
        line += u' ' + argument;
    return line;
}

QString shellQuote(const QString &text)
{
    QString quoted = text;
    quoted.replace(u'\'', u"'\\''"_s);
    return u'\'' + quoted + u'\'';
}

BridgeControlService::BridgeControlService(std::shared_ptr<ShellCommandRunner> runner)
    : m_runner(std::move(runner))
    , m_defaultStateDirectory(appendPath(PlatformPaths::homeDirectory(), u".pivra"_s))
    , m_launchAgentPlistPath(appendPath(PlatformPaths::homeDirectory(),
                                        u"Library/LaunchAgents/com.pivra.bridge.plist"_s))
{
}

BridgeControlService::~BridgeControlService() = default;

ShellCommandRunner &BridgeControlService::runner() const
{
    return *m_runner;
}

QString BridgeControlService::defaultStateDirectory() const
{
    return m_defaultStateDirectory;
}

QString BridgeControlService::launchAgentPlistPath() const
{
    return m_launchAgentPlistPath;
}

std::optional<QString> BridgeControlService::resourcesDirectory() const
{
    return PlatformPaths::resourcesDirectory();
}

// ---------------------------------------------------------------------------------------------
// Locating node and the tool

QCoro::Task<BridgeCLIInvocation> BridgeControlService::resolveCLIInvocation()
{
    if (auto bundled = resolveBundledCLIInvocation())
        co_return *bundled;
    const QString cliPath = co_await resolveExecutable(cliName);
    if (auto colocated = resolveColocatedNodePath(cliPath))
        co_return BridgeCLIInvocation{*colocated, cliPath};
    const QString nodePath = co_await resolveExecutable(nodeName);
    co_return BridgeCLIInvocation{nodePath, cliPath};
}

std::optional<BridgeCLIInvocation> BridgeControlService::resolveBundledCLIInvocation() const
{
    const auto resources = resourcesDirectory();
    if (!resources)
        return std::nullopt;

    std::optional<QString> packageDirectory;
    for (const QString &name : {u"pivra-bridge"_s, u"PivraBridge"_s}) {
        const QString candidate = appendPath(*resources, name);
        if (QFileInfo::exists(appendPath(candidate, u"bin/pivra.js"_s))) {
            packageDirectory = candidate;
            break;
        }
    }
    if (!packageDirectory)
        return std::nullopt;

    // The carried node sits beside the package directories, not inside one.
    for (const QString &relative : {u"node/bin/node"_s, u"node"_s}) {
        const QString nodePath = appendPath(*resources, relative);
        if (isExecutableFile(nodePath))
            return BridgeCLIInvocation{nodePath, appendPath(*packageDirectory, u"bin/pivra.js"_s)};
    }
    return std::nullopt;
}

std::optional<QString> BridgeControlService::bundledOrDevelopmentBridgePackagePath() const
{
    QStringList candidates;
    if (const auto resources = resourcesDirectory()) {
        candidates.append(appendPath(*resources, u"pivra-bridge"_s));
        candidates.append(appendPath(*resources, u"PivraBridge"_s));
    }
    // A development variable counts only when the application carries no package of its own.
    // A relative one means this process's folder, where it is checked; npm, which runs in the
    // home folder and reads a bare name as a registry package, must get it absolute.
    if (!qEnvironmentVariableIsEmpty("PIVRA_BRIDGE_PACKAGE_PATH"))
        candidates.append(directoryAt(qEnvironmentVariable("PIVRA_BRIDGE_PACKAGE_PATH")));
    if (!qEnvironmentVariableIsEmpty("PIVRA_SOURCE_ROOT"))
        candidates.append(
            directoryAt(appendPath(qEnvironmentVariable("PIVRA_SOURCE_ROOT"), u"pivra-bridge"_s)));

    for (const QString &candidate : std::as_const(candidates)) {
        if (QFileInfo::exists(appendPath(candidate, u"package.json"_s)))
            return candidate;
    }
    return std::nullopt;
}

QCoro::Task<QString> BridgeControlService::resolveExecutable(QString name)
{
    std::optional<ShellCommandResult> lookup;
    try {
        const QString command = u"command -v "_s + name;
        lookup = co_await runner().run(command, {});
    } catch (const OperationCancelled &) {
        throw;
    } catch (...) {
        // Not found by the login shell (or no shell at all): the usual locations may have it.
    }
    if (lookup) {
        // An alias or a function prints its definition instead of a path.
        if (const auto path = parseExecutablePath(lookup->standardOutput);
            path && isExecutableFile(*path)) {
            co_return *path;
        }
    }
    for (const QString &candidate : fallbackExecutableCandidates(name)) {
        if (isExecutableFile(candidate))
            co_return candidate;
    }
    throw BridgeControlError::commandFailed(
        name, name + u" was not found in the app shell environment."_s);
}

std::optional<QString> BridgeControlService::parseExecutablePath(const QString &output)
{
    return nonEmptyTrimmed(output);
}

std::optional<QString> BridgeControlService::resolveColocatedNodePath(const QString &cliPath)
{
    const QFileInfo cli(cliPath);
    const QString resolved = cli.canonicalFilePath();
    // Beside the link an installer put on the search path, then beside the real script.
    const QStringList directories{
        cli.absolutePath(),
        resolved.isEmpty() ? cli.absolutePath() : QFileInfo(resolved).absolutePath(),
    };
    QSet<QString> tried;
    for (const QString &directory : directories) {
        if (tried.contains(directory))
            continue;
        tried.insert(directory);
        const QString candidate = appendPath(directory, nodeName);
        if (isExecutableFile(candidate))
            return candidate;
    }
    return std::nullopt;
}

QStringList BridgeControlService::fallbackExecutableCandidates(const QString &name)
{
    const QString home = PlatformPaths::homeDirectory();
    QStringList candidates{
        u"/opt/homebrew/bin/"_s + name,
        u"/usr/local/bin/"_s + name,
        home + u"/.local/bin/"_s + name,
        home + u"/.volta/bin/"_s + name,
    };
    candidates.append(nvmExecutableCandidates(name, home));
    return candidates;
}

QStringList BridgeControlService::nvmExecutableCandidates(const QString &name,
                                                          const QString &homeDirectory)
{
    const QDir versions(homeDirectory + u"/.nvm/versions/node"_s);
    // Files count too, like directories; only hidden entries are left out.
    QStringList entries
        = versions.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDir::Name);
    std::stable_sort(entries.begin(), entries.end(), [](const QString &a, const QString &b) {
        return compareVersionDirectoryNames(a, b) == ComparisonResult::Descending;
    });
    QStringList candidates;
    for (const QString &entry : std::as_const(entries))
        candidates.append(versions.path() + u'/' + entry + u"/bin/"_s + name);
    return candidates;
}

std::optional<QList<qint64>> BridgeControlService::parseVersionDirectoryName(const QString &name)
{
    QString text = name.trimmed();
    if (text.startsWith(u'v'))
        text.remove(0, 1);
    // What follows the first "-" is a pre-release or other suffix.
    const QStringList pieces = text.split(u'-', Qt::SkipEmptyParts);
    if (pieces.isEmpty())
        return std::nullopt;
    QList<qint64> components;
    for (const QString &piece : pieces.first().split(u'.')) {
        const auto value = parseDecimalInteger(piece);
        if (!value)
            return std::nullopt;
        components.append(*value);
    }
    return components;
}

ComparisonResult BridgeControlService::compareVersionComponents(const QList<qint64> &left,
                                                                const QList<qint64> &right)
{
    const qsizetype count = std::max(left.size(), right.size());
    for (qsizetype i = 0; i < count; ++i) {
        const qint64 a = i < left.size() ? left[i] : 0;
        const qint64 b = i < right.size() ? right[i] : 0;
        if (a != b)
            return a < b ? ComparisonResult::Ascending : ComparisonResult::Descending;
    }
    return ComparisonResult::Same;
}

ComparisonResult BridgeControlService::compareVersionDirectoryNames(const QString &left,
                                                                    const QString &right)
{
    const auto a = parseVersionDirectoryName(left);
    const auto b = parseVersionDirectoryName(right);
    if (a && b)
        return compareVersionComponents(*a, *b);
    if (a)
        return ComparisonResult::Descending;
    if (b)
        return ComparisonResult::Ascending;
    const int c = PlatformPaths::localizedStandardCompare(left, right);
    return c < 0 ? ComparisonResult::Ascending
                 : (c > 0 ? ComparisonResult::Descending : ComparisonResult::Same);
}

QMap<QString, QString>
BridgeControlService::commandEnvironment(const std::optional<QString> &relayOverride)
{
    if (!relayOverride)
        return {};
    if (const auto relay = nonEmptyTrimmed(*relayOverride))
        return {{u"PIVRA_RELAY"_s, *relay}};
    return {};
}

// ---------------------------------------------------------------------------------------------
// Probing and installing the tool

QCoro::Task<BridgeCLIAvailability> BridgeControlService::detectCLIAvailability()
{
    ShellCommandResult result;
    try {
        const BridgeCLIInvocation invocation = co_await resolveCLIInvocation();
        const QString command = invocation.commandLine({u"--version"_s});
        result = co_await runner().run(command, {});
    } catch (const OperationCancelled &) {
        throw;
    } catch (...) {
        co_return classifyCLIAvailability(std::current_exception());
    }
    if (const auto version = parseLatestVersion(result.standardOutput))
        co_return BridgeCLIAvailability::available(*version);
    co_return BridgeCLIAvailability::broken(unreadableInstalledVersion);
}

BridgeCLIAvailability BridgeControlService::classifyCLIAvailability(const std::exception_ptr &error)
{
    const QString message = errorDescription(error).trimmed();
    const QString lowered = message.toLower();
    // What shells and node print when a program or a file is absent.
    static const QStringList notFoundMarkers{
        u"command not found: pivra"_s,
        u"pivra: command not found"_s,
        u"pivra: not found"_s,
        u"no such file or directory"_s,
    };
    for (const QString &marker : notFoundMarkers) {
        if (lowered.contains(marker))
            return BridgeCLIAvailability::missing();
    }
    if (message.isEmpty())
        return BridgeCLIAvailability::broken(u"The CLI returned an unknown error."_s);
    return BridgeCLIAvailability::broken(message);
}

std::optional<QString> BridgeControlService::parseLatestVersion(const QString &output)
{
    if (output.isEmpty())
        return std::nullopt;
    // npm's --json form of one version is a single JSON string. Wrapping the text in a list lets
    // the document reader take a bare value; only a list of exactly one string matches.
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson('[' + output.toUtf8() + ']', &error);
    if (error.error == QJsonParseError::NoError && document.isArray()) {
        const QJsonArray values = document.array();
        if (values.size() == 1 && values.first().isString()) {
            const QString version = values.first().toString();
            if (!version.isEmpty())
                return version;
        }
    }
    return nonEmptyTrimmed(output);
}

QCoro::Task<LatestVersionResult> BridgeControlService::fetchLatestPackageVersion()
{
    ShellCommandResult result;
    try {
        result = co_await runner().run(npmViewCommand, {});
    } catch (const OperationCancelled &) {
        throw;
    } catch (...) {
        co_return LatestVersionResult{std::nullopt, std::current_exception()};
    }
    if (auto version = parseLatestVersion(result.standardOutput))
        co_return LatestVersionResult{std::move(version), nullptr};
    co_return LatestVersionResult{std::nullopt,
                                  std::make_exception_ptr(BridgeControlError::commandFailed(
                                      npmViewCommand, u"npm returned an unreadable version."_s))};
}

QCoro::Task<> BridgeControlService::installBridgePackage()
{
    const auto packagePath = bundledOrDevelopmentBridgePackagePath();
    const QString command
        = packagePath ? u"npm install -g "_s + shellQuote(*packagePath) : npmInstallLatestCommand;
    co_await runner().run(command, {}, ShellCommandRunner::Kind::Install);
}

QCoro::Task<> BridgeControlService::updateBridgePackage()
{
    co_await runner().run(npmInstallLatestCommand, {}, ShellCommandRunner::Kind::Install);
}

// ---------------------------------------------------------------------------------------------
// Bridge state

QCoro::Task<BridgeSnapshot> BridgeControlService::loadSnapshot(std::optional<QString> relayOverride)
{
    const BridgeCLIInvocation invocation = co_await resolveCLIInvocation();
    const QString command = invocation.commandLine({u"status"_s, u"--json"_s});
    const ShellCommandResult result
        = co_await runner().run(command, commandEnvironment(relayOverride));
    const QString &output = result.standardOutput;
    if (!output.isValidUtf16())
        throw BridgeControlError::invalidSnapshot(u"Bridge status returned invalid UTF-8."_s);
    if (auto snapshot = decodeRecord<BridgeSnapshot>(output.toUtf8()))
        co_return *snapshot;
    // A tool that prints its status as text lines is still served.
    co_return co_await loadFallbackSnapshot(output, invocation);
}

QCoro::Task<BridgeSnapshot>
BridgeControlService::loadFallbackSnapshot(QString output, BridgeCLIInvocation invocation)
{
    const QMap<QString, QString> statusLines = parseStatusLines(output);
    if (statusLines.isEmpty())
        throw BridgeControlError::invalidSnapshot(u"Bridge status returned malformed JSON."_s);

    const QString versionCommand = invocation.commandLine({u"--version"_s});
    const ShellCommandResult versionResult = co_await runner().run(versionCommand, {});
    const auto currentVersion = parseLatestVersion(versionResult.standardOutput);
    if (!currentVersion) {
        throw BridgeControlError::invalidSnapshot(
            u"Bridge status returned an unreadable CLI version."_s);
    }

    const QString stateDirectory = resolveStateDirectory(statusLines);
    BridgeSnapshot snapshot;
    snapshot.currentVersion = *currentVersion;
    snapshot.daemonConfig
        = readStateFile<BridgeDaemonConfig>(appendPath(stateDirectory, u"daemon-config.json"_s));
    snapshot.bridgeStatus
        = readStateFile<BridgeRuntimeStatus>(appendPath(stateDirectory, u"bridge-status.json"_s));
    snapshot.pairingSession = readStateFile<BridgePairingSession>(
        appendPath(stateDirectory, u"pairing-session.json"_s));
    snapshot.stdoutLogPath = lineValue(statusLines, u"stdout log"_s)
                                 .value_or(appendPath(stateDirectory, u"logs/bridge.stdout.log"_s));
    snapshot.stderrLogPath = lineValue(statusLines, u"stderr log"_s)
                                 .value_or(appendPath(stateDirectory, u"logs/bridge.stderr.log"_s));
    snapshot.launchdPid = parsePid(lineValue(statusLines, u"pid"_s));
    snapshot.launchdLoaded
        = parseYesNo(lineValue(statusLines, u"launchd loaded"_s)).value_or(false);
    snapshot.installed = parseYesNo(lineValue(statusLines, u"installed"_s))
                             .value_or(QFileInfo::exists(m_launchAgentPlistPath));
    snapshot.label = lineValue(statusLines, u"service label"_s).value_or(u"com.pivra.bridge"_s);
    snapshot.platform = u"darwin"_s;
    co_return snapshot;
}

QMap<QString, QString> BridgeControlService::parseStatusLines(const QString &text)
{
    static const QString prefix = u"[pivra] "_s;
    QMap<QString, QString> lines;
    for (const QString &piece : text.split(u'\n', Qt::SkipEmptyParts)) {
        const QString line = piece.trimmed();
        if (!line.startsWith(prefix))
            continue;
        const QStringView rest = QStringView(line).sliced(prefix.size());
        const qsizetype colon = rest.indexOf(u':');
        if (colon < 0)
            continue;
        lines.insert(rest.first(colon).trimmed().toString().toLower(),
                     rest.sliced(colon + 1).trimmed().toString());
    }
    return lines;
}

std::optional<qint64> BridgeControlService::parsePid(const std::optional<QString> &text)
{
    const auto value = normalizeNonEmptyString(text);
    if (!value)
        return std::nullopt;
    return parseDecimalInteger(*value);
}

std::optional<bool> BridgeControlService::parseYesNo(const std::optional<QString> &text)
{
    if (!text)
        return std::nullopt;
    const QString word = text->trimmed().toLower();
    if (word == u"yes")
        return true;
    if (word == u"no")
        return false;
    return std::nullopt;
}

std::optional<QString>
BridgeControlService::normalizeNonEmptyString(const std::optional<QString> &text)
{
    if (!text)
        return std::nullopt;
    return nonEmptyTrimmed(*text);
}

std::optional<QString>
BridgeControlService::deriveStateDirectory(const std::optional<QString> &logPath)
{
    const auto path = normalizeNonEmptyString(logPath);
    if (!path)
        return std::nullopt;
    // Two levels up from the log file: past its name and past the folder that holds it.
    QString directory = directoryAt(*path);
    for (int level = 0; level < 2 && directory != u"/"; ++level) {
        const qsizetype slash = directory.lastIndexOf(u'/');
        directory = slash <= 0 ? u"/"_s : directory.first(slash);
    }
    return directory;
}

QString BridgeControlService::resolveStateDirectory(const QMap<QString, QString> &statusLines) const
{
    std::optional<QString> fromEnvironment;
    if (qEnvironmentVariableIsSet("PIVRA_DEVICE_STATE_DIR"))
        fromEnvironment = qEnvironmentVariable("PIVRA_DEVICE_STATE_DIR");
    if (const auto directory = normalizeNonEmptyString(fromEnvironment))
        return directoryAt(*directory);
    if (const auto directory = readLaunchAgentStateDirectory())
        return *directory;
    // Only the first log line present counts, even when its value is empty.
    const auto logPath = statusLines.contains(u"stdout log"_s)
        ? lineValue(statusLines, u"stdout log"_s)
        : lineValue(statusLines, u"stderr log"_s);
    if (const auto directory = deriveStateDirectory(logPath))
        return *directory;
    return m_defaultStateDirectory;
}

std::optional<QString> BridgeControlService::readLaunchAgentStateDirectory() const
{
    const std::optional<QByteArray> data = PlatformPaths::readSmallFile(m_launchAgentPlistPath);
    return data ? launchAgentStateDirectory(*data) : std::nullopt;
}

std::optional<QString> BridgeControlService::launchAgentStateDirectory(const QByteArray &plist)
{
    if (plist.isEmpty())
        return std::nullopt;
    // libplist tells the binary form from XML by its header.
    plist_t parsed = nullptr;
    plist_from_memory(plist.constData(), uint32_t(plist.size()), &parsed);
    const PlistHandle root(parsed);
    const plist_t variables = dictionaryItem(root.get(), "EnvironmentVariables");
    if (!variables || plist_get_node_type(variables) != PLIST_DICT)
        return std::nullopt;
    const plist_t value = dictionaryItem(variables, "PIVRA_DEVICE_STATE_DIR");
    if (!value || plist_get_node_type(value) != PLIST_STRING)
        return std::nullopt;
    uint64_t length = 0;
    const char *text = plist_get_string_ptr(value, &length);
    if (!text)
        return std::nullopt;
    const auto directory = nonEmptyTrimmed(QString::fromUtf8(text, qsizetype(length)));
    if (!directory)
        return std::nullopt;
    return directoryAt(*directory);
}

// ---------------------------------------------------------------------------------------------
// Bridge commands and the Codex application

QCoro::Task<> BridgeControlService::runBridgeCommand(QString argument,
                                                     std::optional<QString> relayOverride)
{
    const BridgeCLIInvocation invocation = co_await resolveCLIInvocation();
    const QString command = invocation.commandLine({argument});
    co_await runner().run(command, commandEnvironment(relayOverride),
                          ShellCommandRunner::Kind::Command);
}

QCoro::Task<> BridgeControlService::startBridge(std::optional<QString> relayOverride)
{
    return runBridgeCommand(u"start"_s, std::move(relayOverride));
}

QCoro::Task<> BridgeControlService::stopBridge(std::optional<QString> relayOverride)
{
    return runBridgeCommand(u"stop"_s, std::move(relayOverride));
}

QCoro::Task<> BridgeControlService::resumeLastThread(std::optional<QString> relayOverride)
{
    return runBridgeCommand(u"resume"_s, std::move(relayOverride));
}

QCoro::Task<> BridgeControlService::resetPairing(std::optional<QString> relayOverride)
{
    return runBridgeCommand(u"reset-pairing"_s, std::move(relayOverride));
}

std::optional<QString> BridgeControlService::detectCodexApplicationPath() const
{
    if (auto entry = PlatformPaths::desktopEntryPath(u"com.openai.codex.desktop"_s))
        return entry;
    const QString fixedLocation = u"/Applications/Codex.app"_s;
    if (QFileInfo::exists(fixedLocation))
        return fixedLocation;
    return std::nullopt;
}
