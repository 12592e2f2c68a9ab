#include "TestSandbox.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QThread>

#include <sys/prctl.h>

#include <csignal>

using namespace Qt::StringLiterals;

extern char **environ;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool waitUntil(const std::function<bool()> &condition, int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

// Alive and not a zombie.
bool isLive(qint64 pid)
{
    const QByteArray stat = readAll(u"/proc/%1/stat"_s.arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close > 0 && stat.mid(close + 2, 1) != "Z";
}

} // namespace

QString TestSandbox::setUp(const Options &options)
{
    QTemporaryDir directory(QDir::tempPath() + u"/pivra-sandbox-XXXXXX"_s);
    if (!directory.isValid())
        return u"cannot create a temporary directory: "_s + directory.errorString();
    directory.setAutoRemove(false);
    m_root = QFileInfo(directory.path()).canonicalFilePath();
    m_home = m_root + u"/home"_s;

    // The developer's own setup must not leak into a sandboxed command.
    QList<QByteArray> leaking{"PIVRA_DEVICE_STATE_DIR", "PIVRA_BRIDGE_PACKAGE_PATH",
                              "PIVRA_SOURCE_ROOT", "PIVRA_RELAY", "ZDOTDIR"};
    for (char **entry = environ; *entry; ++entry) {
        if (QByteArray(*entry).toLower().startsWith("npm_config_"))
            leaking.append(QByteArray(*entry).left(QByteArray(*entry).indexOf('=')));
    }
    for (const QByteArray &name : std::as_const(leaking))
        setVariable(name.constData(), std::nullopt);

    const QString sim = QStringLiteral(PIVRA_SOURCE_DIR "/tools/bridge-sim");
    QStringList arguments{sim + u"/make-sandbox"_s, m_home, u"--install"_s};
    arguments.append(options.install == Install::Local          ? u"local"_s
                         : options.install == Install::Registry ? u"registry"_s
                                                                : u"none"_s);
    if (options.registry) {
        const QString portFile = m_root + u"/registry.port"_s;
        m_registry = std::make_unique<QProcess>();
        m_registry->setStandardOutputFile(m_root + u"/registry.out"_s);
        m_registry->setStandardErrorFile(m_root + u"/registry.log"_s);
        // A test killed by its time limit never reaches cleanUp(): the registry must not
        // outlive it.
        m_registry->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_registry->start(u"node"_s,
                          {sim + u"/registry/server.js"_s, u"--package-dir"_s, sim + u"/package"_s,
                           u"--versions"_s, u"0.4.2,0.5.0"_s, u"--port-file"_s, portFile});
        waitUntil(
            [&] {
                return QFileInfo(portFile).size() > 0
                    || m_registry->state() == QProcess::NotRunning;
            },
            60000);
        const QByteArray port = readAll(portFile).trimmed();
        if (port.isEmpty())
            return u"the loopback registry did not start: "_s
                + QString::fromUtf8(readAll(m_root + u"/registry.log"_s));
        arguments.append(
            {u"--registry"_s, u"http://127.0.0.1:%1/"_s.arg(QString::fromLatin1(port))});
    }
    if (!options.codex)
        arguments.append(u"--no-codex"_s);
    QProcess maker;
    maker.setStandardOutputFile(QProcess::nullDevice());
    maker.start(u"bash"_s, arguments);
    if (!maker.waitForFinished(180000) || maker.exitStatus() != QProcess::NormalExit
        || maker.exitCode() != 0)
        return u"make-sandbox failed: "_s + QString::fromUtf8(maker.readAllStandardError());

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
    resetBridge();
    if (m_registry) {
        m_registry->terminate();
        m_registry->waitForFinished(5000);
        m_registry.reset(); // kills it if it is still there
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
}

void TestSandbox::setVariable(const char *name, const std::optional<QByteArray> &value)
{
    if (!m_savedEnvironment.contains(name))
        m_savedEnvironment.insert(name,
                                  qEnvironmentVariableIsSet(name)
                                      ? std::optional<QByteArray>(qgetenv(name))
                                      : std::nullopt);
    if (value)
        qputenv(name, *value);
    else
        qunsetenv(name);
}

void TestSandbox::writeKnobs(const QJsonObject &knobs, const QString &stateDirectory) const
{
    writeFile((stateDirectory.isEmpty() ? this->stateDirectory() : stateDirectory)
                  + u"/sim-knobs.json"_s,
              QJsonDocument(knobs).toJson());
}

QList<QJsonObject> TestSandbox::calls() const
{
    QList<QJsonObject> calls;
    for (const QByteArray &line : readAll(stateDirectory() + u"/sim-calls.log"_s).split('\n')) {
        if (!line.isEmpty())
            calls.append(QJsonDocument::fromJson(line).object());
    }
    return calls;
}

void TestSandbox::resetBridge()
{
    for (const qint64 pid : processes(true)) {
        for (const int signal : {SIGTERM, SIGKILL}) {
            if (isLive(pid))
                ::kill(pid_t(pid), signal);
            waitUntil([pid] { return !isLive(pid); }, 3000);
        }
    }
    QDir(stateDirectory()).removeRecursively();
    QFile::remove(m_home + u"/Library/LaunchAgents/com.pivra.bridge.plist"_s);
}

QList<qint64> TestSandbox::processes(bool daemons) const
{
    const QByteArray home = "HOME=" + QFile::encodeName(m_home);
    QList<qint64> pids;
    for (const QString &entry : QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const qint64 pid = entry.toLongLong();
        if (pid <= 0 || pid == QCoreApplication::applicationPid() || !isLive(pid)
            || !readAll(u"/proc/%1/environ"_s.arg(pid)).split('\0').contains(home))
            continue;
        if (readAll(u"/proc/%1/cmdline"_s.arg(pid)).contains("daemon.js") == daemons)
            pids.append(pid);
    }
    return pids;
}

bool TestSandbox::startBridge(int timeoutMs) const
{
    int exitCode = -1;
    shell(u"pivra start"_s, &exitCode);
    return exitCode == 0
        && waitUntil(
               [this] { return QFileInfo::exists(stateDirectory() + u"/pairing-session.json"_s); },
               timeoutMs);
}

QString TestSandbox::shell(const QString &command, int *exitCode) const
{
    QProcess process;
    process.setWorkingDirectory(m_home);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(u"/bin/zsh"_s,
                  {u"-lc"_s,
                   u"export TERM=dumb; source ~/.zshrc >/dev/null "
                   u"2>/dev/null || true; "_s
                       + command});
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
