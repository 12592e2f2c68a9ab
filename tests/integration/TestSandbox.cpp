#include "TestSandbox.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>

#include <plist/plist.h>

#include <sys/prctl.h>

#include <csignal>

using namespace Qt::StringLiterals;

extern char **environ;

namespace {

// Variables that would let the developer's own setup leak into a sandboxed command.
QList<QByteArray> leakingVariables()
{
    QList<QByteArray> names{"PIVRA_DEVICE_STATE_DIR", "PIVRA_BRIDGE_PACKAGE_PATH",
                            "PIVRA_SOURCE_ROOT", "PIVRA_RELAY", "ZDOTDIR"};
    for (char **entry = environ; *entry; ++entry) {
        const QByteArray variable(*entry);
        const QByteArray name = variable.left(variable.indexOf('='));
        if (name.toLower().startsWith("npm_config_"))
            names.append(name);
    }
    return names;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A simulated daemon, alive and not a zombie. A recycled pid that now belongs to some other
// program is left alone.
bool isSimulatedDaemon(qint64 pid)
{
    const QByteArray stat = readAll(u"/proc/%1/stat"_s.arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0 || stat.mid(close + 2, 1) == "Z")
        return false;
    return readAll(u"/proc/%1/cmdline"_s.arg(pid)).contains("daemon.js");
}

bool waitUntil(const std::function<bool()> &condition, int milliseconds)
{
    QDeadlineTimer deadline(milliseconds);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

} // namespace

TestSandbox::~TestSandbox()
{
    cleanUp();
}

QString TestSandbox::bridgeSimDirectory()
{
    return QStringLiteral(PIVRA_SOURCE_DIR "/tools/bridge-sim");
}

QString TestSandbox::setUp()
{
    return setUp(Options{});
}

QString TestSandbox::setUp(const Options &options)
{
    QTemporaryDir directory(QDir::tempPath() + u"/pivra-sandbox-XXXXXX"_s);
    if (!directory.isValid())
        return u"cannot create a temporary directory: "_s + directory.errorString();
    directory.setAutoRemove(false);
    m_root = QFileInfo(directory.path()).canonicalFilePath();
    m_home = m_root + u"/home"_s;

    for (const QByteArray &name : leakingVariables())
        setVariable(name.constData(), std::nullopt);

    const QString sim = bridgeSimDirectory();
    if (options.registry) {
        const QString portFile = m_root + u"/registry.port"_s;
        m_registry = std::make_unique<QProcess>();
        m_registry->setProgram(u"node"_s);
        m_registry->setArguments({sim + u"/registry/server.js"_s, u"--package-dir"_s,
                                  sim + u"/package"_s, u"--versions"_s, options.registryVersions,
                                  u"--port-file"_s, portFile});
        m_registry->setStandardInputFile(QProcess::nullDevice());
        m_registry->setStandardOutputFile(m_root + u"/registry.out"_s);
        m_registry->setStandardErrorFile(m_root + u"/registry.log"_s);
        // A test killed by its time limit never reaches cleanUp(): the registry must not
        // outlive it.
        m_registry->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_registry->start();
        if (!m_registry->waitForStarted(30000))
            return u"cannot start the loopback registry: "_s + m_registry->errorString();
        const bool listening = waitUntil(
            [&] {
                return QFileInfo(portFile).size() > 0
                    || m_registry->state() == QProcess::NotRunning;
            },
            60000);
        const QByteArray port = readAll(portFile).trimmed();
        if (!listening || port.isEmpty())
            return u"the loopback registry did not start: "_s
                + QString::fromUtf8(readAll(m_root + u"/registry.log"_s));
        m_registryUrl = u"http://127.0.0.1:%1/"_s.arg(QString::fromLatin1(port));
    }

    QStringList arguments{sim + u"/make-sandbox"_s, m_home, u"--install"_s};
    arguments.append(options.install == Install::Local          ? u"local"_s
                         : options.install == Install::Registry ? u"registry"_s
                                                                : u"none"_s);
    if (!m_registryUrl.isEmpty())
        arguments.append({u"--registry"_s, m_registryUrl});
    if (!options.codex)
        arguments.append(u"--no-codex"_s);
    QProcess maker;
    maker.setStandardInputFile(QProcess::nullDevice());
    maker.setStandardOutputFile(m_root + u"/make-sandbox.out"_s);
    maker.setStandardErrorFile(m_root + u"/make-sandbox.log"_s);
    maker.start(u"bash"_s, arguments);
    if (!maker.waitForFinished(180000) || maker.exitStatus() != QProcess::NormalExit
        || maker.exitCode() != 0) {
        return u"make-sandbox failed: "_s
            + QString::fromUtf8(readAll(m_root + u"/make-sandbox.log"_s));
    }

    setVariable("HOME", QFile::encodeName(m_home));
    setVariable("XDG_DATA_HOME", QFile::encodeName(m_home + u"/.local/share"_s));
    setVariable("XDG_CONFIG_HOME", QFile::encodeName(m_home + u"/.config"_s));
    setVariable("XDG_DATA_DIRS", QFile::encodeName(m_home + u"/.local/share/empty-system"_s));
    return {};
}

void TestSandbox::cleanUp()
{
    if (m_root.isEmpty())
        return;
    stopDaemons();
    if (m_registry) {
        m_registry->terminate();
        if (!m_registry->waitForFinished(5000)) {
            m_registry->kill();
            m_registry->waitForFinished(5000);
        }
        m_registry.reset();
    }
    QDir(m_root).removeRecursively();
    for (auto it = m_savedEnvironment.cbegin(); it != m_savedEnvironment.cend(); ++it) {
        if (it.value())
            qputenv(it.key().constData(), *it.value());
        else
            qunsetenv(it.key().constData());
    }
    m_savedEnvironment.clear();
    m_root.clear();
    m_home.clear();
    m_registryUrl.clear();
}

void TestSandbox::setVariable(const char *name, const std::optional<QByteArray> &value)
{
    if (!m_savedEnvironment.contains(name)) {
        m_savedEnvironment.insert(name,
                                  qEnvironmentVariableIsSet(name)
                                      ? std::optional<QByteArray>(qgetenv(name))
                                      : std::nullopt);
    }
    if (value)
        qputenv(name, *value);
    else
        qunsetenv(name);
}

QString TestSandbox::stateDirectory() const
{
    return m_home + u"/.pivra"_s;
}

QString TestSandbox::launchAgentPath() const
{
    return m_home + u"/Library/LaunchAgents/com.pivra.bridge.plist"_s;
}

bool TestSandbox::setRegistryFailing(bool failing)
{
    if (!m_registry)
        return false;
    if (failing == m_registryFailing)
        return true;
    const QString log = m_root + u"/registry.log"_s;
    const QByteArray expected = failing ? "failure mode on" : "failure mode off";
    const qsizetype before = readAll(log).count(expected);
    ::kill(pid_t(m_registry->processId()), SIGUSR2);
    m_registryFailing = failing;
    return waitUntil([&] { return readAll(log).count(expected) > before; }, 5000);
}

void TestSandbox::writeKnobs(const QJsonObject &knobs, const QString &stateDirectory) const
{
    const QString directory = stateDirectory.isEmpty() ? this->stateDirectory() : stateDirectory;
    writeFile(directory + u"/sim-knobs.json"_s, QJsonDocument(knobs).toJson());
}

QList<QJsonObject> TestSandbox::calls(const QString &stateDirectory) const
{
    const QString directory = stateDirectory.isEmpty() ? this->stateDirectory() : stateDirectory;
    QList<QJsonObject> calls;
    for (const QByteArray &line : readAll(directory + u"/sim-calls.log"_s).split('\n')) {
        if (!line.isEmpty())
            calls.append(QJsonDocument::fromJson(line).object());
    }
    return calls;
}

void TestSandbox::resetBridge(const QStringList &extraStateDirectories)
{
    stopDaemons();
    QDir(stateDirectory()).removeRecursively();
    QFile::remove(launchAgentPath());
    for (const QString &directory : extraStateDirectories)
        QDir(directory).removeRecursively();
}

QList<qint64> TestSandbox::commandsStillRunning() const
{
    const QByteArray home = "HOME=" + QFile::encodeName(m_home);
    QList<qint64> pids;
    const auto entries = QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok || pid == QCoreApplication::applicationPid() || isSimulatedDaemon(pid))
            continue;
        const QList<QByteArray> environment = readAll(u"/proc/%1/environ"_s.arg(pid)).split('\0');
        const QByteArray stat = readAll(u"/proc/%1/stat"_s.arg(pid));
        const bool zombie = stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
        if (!zombie && environment.contains(home))
            pids.append(pid);
    }
    return pids;
}

void TestSandbox::stopDaemons()
{
    if (m_root.isEmpty())
        return;
    QList<qint64> pids;
    QDirIterator it(m_root, QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileName() != u"bridge.pid")
            continue;
        bool ok = false;
        const qint64 pid = readAll(path).trimmed().toLongLong(&ok);
        if (ok && pid > 0)
            pids.append(pid);
    }
    for (const qint64 pid : std::as_const(pids)) {
        for (const int signal : {SIGTERM, SIGKILL}) {
            if (!isSimulatedDaemon(pid))
                break;
            ::kill(pid_t(pid), signal);
            waitUntil([pid] { return !isSimulatedDaemon(pid); }, 3000);
        }
    }
}

bool TestSandbox::startBridge(int timeoutMs) const
{
    int exitCode = -1;
    shell(QStringLiteral("pivra start"), &exitCode);
    if (exitCode != 0)
        return false;
    const QString session = stateDirectory() + QStringLiteral("/pairing-session.json");
    const QDeadlineTimer deadline(timeoutMs);
    while (!QFileInfo::exists(session)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

QString TestSandbox::shell(const QString &command, int *exitCode) const
{
    QProcess process;
    process.setWorkingDirectory(m_home);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(
        u"/bin/zsh"_s,
        {u"-lc"_s,
         u"export TERM=dumb; source ~/.zshrc >/dev/null 2>/dev/null || true; "_s + command});
    process.waitForFinished(180000);
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

bool TestSandbox::writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

bool TestSandbox::writeLaunchAgent(const QString &path, const QString &stateDirectory, bool binary)
{
    const std::unique_ptr<std::remove_pointer_t<plist_t>, void (*)(plist_t)> root(plist_new_dict(),
                                                                                  plist_free);
    plist_t variables = plist_new_dict();
    plist_dict_set_item(variables, "PIVRA_DEVICE_STATE_DIR",
                        plist_new_string(stateDirectory.toUtf8().constData()));
    plist_dict_set_item(root.get(), "Label", plist_new_string("com.pivra.bridge"));
    plist_dict_set_item(root.get(), "EnvironmentVariables", variables);
    char *data = nullptr;
    uint32_t length = 0;
    if (binary)
        plist_to_bin(root.get(), &data, &length);
    else
        plist_to_xml(root.get(), &data, &length);
    const QByteArray bytes(data, qsizetype(length));
    binary ? plist_to_bin_free(data) : plist_to_xml_free(data);
    return !bytes.isEmpty() && writeFile(path, bytes);
}
