#include "TestSandbox.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QThread>

#include <sys/prctl.h>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool waitUntil(const std::function<bool()> &condition, int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    while (!condition() && !deadline.hasExpired())
        QThread::msleep(20);
    return condition();
}

} // namespace

QString TestSandbox::setUp(const Options &options)
{
    QTemporaryDir directory(QDir::tempPath() + u"/pivra-sandbox-XXXXXX"_s);
    directory.setAutoRemove(false);
    m_root = QFileInfo(directory.path()).canonicalFilePath();
    m_environment = QProcessEnvironment::systemEnvironment();
    // The developer's own setup must not leak into a sandboxed command.
    const QStringList leaking{u"PIVRA_DEVICE_STATE_DIR"_s, u"PIVRA_BRIDGE_PACKAGE_PATH"_s,
                              u"PIVRA_SOURCE_ROOT"_s, u"PIVRA_RELAY"_s, u"ZDOTDIR"_s};
    for (const QString &name : m_environment.keys()) {
        if (leaking.contains(name) || name.startsWith(u"npm_config_"_s, Qt::CaseInsensitive))
            qunsetenv(name.toLocal8Bit().constData());
    }

    const QString sim = QStringLiteral(PIVRA_SOURCE_DIR "/tools/bridge-sim");
    QStringList arguments{sim + u"/make-sandbox"_s, home(), u"--install"_s,
                          options.install == Install::Local ? u"local"_s : u"none"_s};
    if (options.registry) {
        const QString portFile = m_root + u"/registry.port"_s;
        m_registry = std::make_unique<QProcess>();
        m_registry->setStandardErrorFile(m_root + u"/registry.log"_s);
        // A test killed by its time limit never reaches cleanUp(), but it goes too.
        m_registry->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_registry->start(u"node"_s,
                          {sim + u"/registry/server.js"_s, u"--package-dir"_s, sim + u"/package"_s,
                           u"--versions"_s, u"0.4.2,0.5.0"_s, u"--port-file"_s, portFile});
        const QByteArray port = waitUntil([&] { return QFileInfo(portFile).size() > 0; }, 60000)
            ? readAll(portFile).trimmed()
            : QByteArray();
        if (port.isEmpty())
            return u"the loopback registry did not start: "_s
                + QString::fromUtf8(readAll(m_root + u"/registry.log"_s));
        arguments << u"--registry"_s << u"http://127.0.0.1:%1/"_s.arg(QLatin1String(port));
    }
    if (!options.codex)
        arguments << u"--no-codex"_s;
    QProcess maker;
    maker.start(u"bash"_s, arguments);
    if (!maker.waitForFinished(180000) || maker.exitStatus() != QProcess::NormalExit
        || maker.exitCode() != 0)
        return u"make-sandbox failed: "_s + QString::fromUtf8(maker.readAllStandardError());

    qputenv("HOME", QFile::encodeName(home()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home() + u"/.local/share"_s));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home() + u"/.config"_s));
    qputenv("XDG_DATA_DIRS", QFile::encodeName(home() + u"/.local/share/empty-system"_s));
    return {};
}

void TestSandbox::cleanUp()
{
    if (m_root.isEmpty())
        return;
    resetBridge();
    if (m_registry)
        m_registry->terminate(), m_registry->waitForFinished(5000);
    m_registry.reset(); // kills it if it is still there
    QDir(m_root).removeRecursively();
    m_root.clear();
    for (const QString &name : QProcessEnvironment::systemEnvironment().keys())
        qunsetenv(name.toLocal8Bit().constData());
    for (const QString &name : m_environment.keys())
        qputenv(name.toLocal8Bit().constData(), m_environment.value(name).toLocal8Bit());
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
        // Dead once gone or a zombie, which whoever inherited the detached daemon reaps.
        const auto dead = [pid] {
            return ::kill(pid_t(pid), 0) != 0
                || readAll(u"/proc/%1/stat"_s.arg(pid)).contains(") Z ");
        };
        for (const int signal : {SIGTERM, SIGKILL}) {
            if (!dead())
                ::kill(pid_t(pid), signal), waitUntil(dead, 3000);
        }
    }
    QDir(stateDirectory()).removeRecursively();
    QFile::remove(home() + u"/Library/LaunchAgents/com.pivra.bridge.plist"_s);
}

// Processes whose environment names this home (not this process's: its own is unchanged in
// /proc; nor a zombie's, which reads as empty).
QList<qint64> TestSandbox::processes(bool daemons) const
{
    const QByteArray home = "HOME=" + QFile::encodeName(this->home());
    QList<qint64> pids;
    for (const QString &entry : QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const qint64 pid = entry.toLongLong();
        if (pid > 0 && readAll(u"/proc/%1/environ"_s.arg(pid)).split('\0').contains(home)
            && readAll(u"/proc/%1/cmdline"_s.arg(pid)).contains("daemon.js") == daemons)
            pids.append(pid);
    }
    return pids;
}

bool TestSandbox::startBridge(int timeoutMs) const
{
    QProcess pivra; // in the sandbox's login shell, as a user would type it
    pivra.setWorkingDirectory(home());
    pivra.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    pivra.start(u"/bin/zsh"_s, {u"-lc"_s, u"source ~/.zshrc >/dev/null 2>&1; pivra start"_s});
    pivra.waitForFinished(180000);
    const QString session = stateDirectory() + u"/pairing-session.json"_s;
    return waitUntil([&] { return QFileInfo::exists(session); }, timeoutMs);
}

bool TestSandbox::writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}
