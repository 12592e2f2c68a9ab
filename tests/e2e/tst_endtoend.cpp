// The real windowed app from nothing installed to ready, seen only from outside as a user and a
// phone would see it: its windows on the X server (with trayer as tray host), the tool npm put
// into the sandbox, the bridge's own status, and the announcement in avahi-browse. The app's
// state is not printed in windowed mode, so nothing here reads it. Writes screenshots of the
// start and the end into <build>/screenshots/e2e (or $PIVRA_SCREENSHOT_DIR/e2e).
#include "TestSandbox.h"
#include "TrayHost.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <sys/prctl.h>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

constexpr int readyTimeoutMs = 180000;

struct Run
{
    int exitCode = -1;
    QByteArray output;
};

Run run(const QString &program, const QStringList &arguments, int timeoutMs = 30000)
{
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput()};
}

QString screenshotDirectory()
{
    QString dir = qEnvironmentVariable("PIVRA_SCREENSHOT_DIR");
    if (dir.isEmpty())
        dir = QStringLiteral(PIVRA_BUILD_DIR) + u"/screenshots"_s;
    dir += u"/e2e"_s;
    QDir().mkpath(dir);
    return dir;
}

// `window` is an X window id, or "root" for the whole screen.
QString screenshot(const QString &window, const QString &name, bool announce = true)
{
    const QString path = screenshotDirectory() + u'/' + name + u".png"_s;
    if (run(u"import"_s, {u"-window"_s, window, path}).exitCode != 0)
        return {};
    if (announce)
        qInfo("screenshot: %s", qPrintable(path));
    return path;
}

// The app's visible top-level windows with this exact title.
QStringList windowsNamed(qint64 pid, const QString &title)
{
    const Run found
        = run(u"xdotool"_s,
              {u"search"_s, u"--all"_s, u"--onlyvisible"_s, u"--pid"_s, QString::number(pid),
               u"--name"_s, u"^%1$"_s.arg(QRegularExpression::escape(title))});
    return QString::fromLatin1(found.output).split(u'\n', Qt::SkipEmptyParts);
}

QString windowGeometry(const QString &window)
{
    static const QRegularExpression geometry(uR"(-geometry (\d+x\d+))"_s);
    const Run info = run(u"xwininfo"_s, {u"-id"_s, window});
    return geometry.match(QString::fromLatin1(info.output)).captured(1);
}

// The close function in the window's Motif hints: whether the window manager may offer closing.
std::optional<bool> offersClose(const QString &window)
{
    const Run hints = run(u"xprop"_s, {u"-id"_s, window, u"_MOTIF_WM_HINTS"_s});
    const QStringList values
        = QString::fromLatin1(hints.output).section(u'=', 1).split(u',', Qt::SkipEmptyParts);
    bool ok = false;
    const uint flags = values.value(0).trimmed().toUInt(&ok, 16);
    const uint functions = values.value(1).trimmed().toUInt(nullptr, 16);
    constexpr uint functionsGiven = 0x1, closeFunction = 0x20;
    if (!ok || !(flags & functionsGiven))
        return std::nullopt;
    return (functions & closeFunction) != 0;
}

// Whether some ancestor of `window` belongs to trayer: the icon is docked in the tray.
bool isDockedInTrayer(const QString &window)
{
    static const QRegularExpression parent(uR"(Parent window id: (0x[0-9a-f]+))"_s);
    static const QRegularExpression root(uR"(Root window id: (0x[0-9a-f]+))"_s);
    QString current = window;
    for (int depth = 0; depth < 10; ++depth) {
        const QString tree
            = QString::fromLatin1(run(u"xwininfo"_s, {u"-tree"_s, u"-id"_s, current}).output);
        const QString up = parent.match(tree).captured(1);
        if (up.isEmpty() || up == root.match(tree).captured(1))
            return false;
        if (run(u"xprop"_s, {u"-id"_s, up, u"WM_CLASS"_s}).output.contains("\"trayer\""))
            return true;
        current = up;
    }
    return false;
}

// Pixels of the Done button's light-mode blue (#007aff) in the window's header strip.
int headerBluePixels(const QString &screenshotPath)
{
    const QImage image(screenshotPath);
    int count = 0;
    for (int y = 0; y < std::min(image.height(), 60); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (std::abs(pixel.red() - 0x00) < 12 && std::abs(pixel.green() - 0x7a) < 12
                && std::abs(pixel.blue() - 0xff) < 12)
                ++count;
        }
    }
    return count;
}

struct Announcement
{
    QString name;
    quint16 port = 0;
    QMap<QString, QString> txt;
};

// avahi-browse -p escapes bytes of a name as \DDD (decimal).
QString unescapeName(const QByteArray &text)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && std::isdigit(uchar(text[i + 1]))) {
            bytes += char(text.mid(i + 1, 3).toInt());
            i += 3;
        } else if (text[i] == '\\' && i + 1 < text.size()) {
            bytes += text[++i];
        } else {
            bytes += text[i];
        }
    }
    return QString::fromUtf8(bytes);
}

// Every resolved _pivra._tcp service, as a phone on this network would see it; nullopt when
// avahi-browse itself fails.
std::optional<QList<Announcement>> browse()
{
    const Run browsed = run(u"avahi-browse"_s, {u"-rpt"_s, u"_pivra._tcp"_s}, 20000);
    if (browsed.exitCode != 0)
        return std::nullopt;
    static const QRegularExpression txtString(uR"re("([^"=]*)=([^"]*)")re"_s);
    QList<Announcement> found;
    for (const QByteArray &line : browsed.output.split('\n')) {
        // = ; interface ; protocol ; name ; type ; domain ; host ; address ; port ; txt
        const QList<QByteArray> fields = line.split(';');
        if (fields.size() < 10 || fields[0] != "=")
            continue;
        Announcement announcement{unescapeName(fields[3]), quint16(fields[8].toUInt()), {}};
        const QString txt = QString::fromUtf8(fields.mid(9).join(';'));
        for (auto it = txtString.globalMatch(txt); it.hasNext();) {
            const auto match = it.next();
            announcement.txt.insert(match.captured(1), match.captured(2));
        }
        found.append(announcement);
    }
    return found;
}

std::optional<Announcement> announcementWithSession(const QString &sessionId)
{
    const auto announcements = browse();
    for (const Announcement &announcement : announcements.value_or(QList<Announcement>{})) {
        if (announcement.txt.value(u"sessionId"_s) == sessionId)
            return announcement;
    }
    return std::nullopt;
}

QJsonObject readJson(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                          : QJsonObject{};
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

    TrayHost m_tray;
    TestSandbox m_sandbox;
    std::unique_ptr<QProcess> m_app;
    QString m_appErrors;

    QString appErrors() const
    {
        QFile file(m_appErrors);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    // What the bridge itself reports, through the tool in the sandbox's login shell.
    QJsonObject bridgeStatus() const
    {
        int exitCode = -1;
        const QString output = m_sandbox.shell(u"pivra status --json"_s, &exitCode);
        return exitCode == 0 ? QJsonDocument::fromJson(output.toUtf8()).object() : QJsonObject{};
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs an X server (DISPLAY); scripts/test starts Xvfb");
        for (const QString &tool : {u"trayer"_s, u"xdotool"_s, u"xwininfo"_s, u"xprop"_s,
                                    u"import"_s, u"avahi-browse"_s}) {
            QVERIFY2(!QStandardPaths::findExecutable(tool).isEmpty(),
                     qPrintable(tool + u" is missing (scripts/setup installs it)"_s));
        }
        QVERIFY2(browse().has_value(),
                 "avahi-browse fails: start the loopback avahi-daemon (scripts/lib/services.sh)");

        QCOMPARE(m_tray.start(), QString());
        qInfo("trayer started, pid %lld", m_tray.processId());
        QTRY_VERIFY_WITH_TIMEOUT(
            run(u"xwininfo"_s, {u"-root"_s, u"-tree"_s}).output.contains("(\"panel\" \"trayer\")"),
            10000);
        qInfo("screenshots go to %s", qPrintable(screenshotDirectory()));
    }

    void cleanupTestCase() { m_tray.stop(); }

    void cleanup()
    {
        if (m_app && m_app->state() != QProcess::NotRunning) {
            m_app->kill();
            m_app->waitForFinished();
        }
        m_app.reset();
        m_sandbox.cleanUp();
    }

    void fromNothingToReady()
    {
        const QString problem = m_sandbox.setUp(
            {.registry = true, .install = TestSandbox::Install::None, .codex = true});
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        const QString installedTool = m_sandbox.home() + u"/.npm-global/bin/pivra"_s;
        QVERIFY(!QFileInfo::exists(installedTool));

        m_appErrors = m_sandbox.root() + u"/app.stderr"_s;
        m_app = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // The colour checks below and the screenshots must not depend on the desktop's theme.
        environment.insert(u"PIVRA_APPEARANCE"_s, u"light"_s);
        // Under the sanitizers, leaks are checked by the in-process UI tests, which build and
        // tear down the same windows many times. At this process's exit Qt itself leaves two
        // things behind that LeakSanitizer cannot tell from ours without full unwinding: its
        // D-Bus thread's read buffer and the raster scene graph's texture cache.
        if (const QString asan = environment.value(u"ASAN_OPTIONS"_s); !asan.isEmpty())
            environment.insert(u"ASAN_OPTIONS"_s, asan + u":detect_leaks=0"_s);
        m_app->setProcessEnvironment(environment);
        m_app->setStandardInputFile(QProcess::nullDevice());
        m_app->setStandardOutputFile(m_sandbox.root() + u"/app.stdout"_s);
        m_app->setStandardErrorFile(m_appErrors);
        m_app->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_app->start(QStringLiteral(PIVRA_MENUBAR_BINARY), {});
        QVERIFY(m_app->waitForStarted());
        const qint64 pid = m_app->processId();

        // The setup window comes at launch, before any of the work, and cannot be closed yet.
        QStringList setupWindows;
        QTRY_VERIFY2_WITH_TIMEOUT(!(setupWindows = windowsNamed(pid, u"Pivra Setup"_s)).isEmpty(),
                                  qPrintable(appErrors()), 30000);
        QCOMPARE(setupWindows.size(), 1);
        const QString setup = setupWindows.first();
        QCOMPARE(windowGeometry(setup), u"390x640"_s);
        QCOMPARE(offersClose(setup), std::optional(false));
        QTest::qWait(300);
        QVERIFY(!screenshot(u"root"_s, u"01-start-screen"_s).isEmpty());
        const QString startShot = screenshot(setup, u"01-start-setup-window"_s);
        QVERIFY(!startShot.isEmpty());
        // No "Done" yet.
        QCOMPARE(headerBluePixels(startShot), 0);
        // The tray icon: a window of the app docked in trayer.
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                const Run all = run(u"xdotool"_s, {u"search"_s, u"--pid"_s, QString::number(pid)});
                const auto windows
                    = QString::fromLatin1(all.output).split(u'\n', Qt::SkipEmptyParts);
                return std::any_of(windows.cbegin(), windows.cend(), isDockedInTrayer);
            }(),
            10000);

        // Ready, through the world: the bridge connected with a live pairing session, and that
        // session announced to the network.
        QString sessionId;
        std::optional<Announcement> announced;
        const QString sessionFile = m_sandbox.stateDirectory() + u"/pairing-session.json"_s;
        QTRY_VERIFY2_WITH_TIMEOUT(
            [&] {
                sessionId = readJson(sessionFile)["pairingPayload"_L1]
                                .toObject()["sessionId"_L1]
                                .toString();
                return !sessionId.isEmpty()
                    && (announced = announcementWithSession(sessionId)).has_value();
            }(),
            qPrintable(u"never announced a live pairing session; the app said:\n"_s + appErrors()),
            readyTimeoutMs);
        QVERIFY(announced->port > 0);

        const QJsonObject status = bridgeStatus();
        QCOMPARE(status["bridgeStatus"_L1].toObject()["connectionStatus"_L1].toString(),
                 u"connected"_s);
        QVERIFY(status["launchdLoaded"_L1].toBool());
        QCOMPARE(status["pairingSession"_L1]
                     .toObject()["pairingPayload"_L1]
                     .toObject()["sessionId"_L1]
                     .toString(),
                 sessionId);
        // Installed from the registry into the sandbox's prefix: its latest version.
        QVERIFY(QFileInfo::exists(installedTool));
        QCOMPARE(m_sandbox.shell(u"pivra --version"_s), u"0.5.0"_s);
        // One automatic setup starts the bridge once; a setup that ran again, or a refresh that
        // restarted a connected bridge, would show here.
        QList<QJsonObject> starts;
        for (const QJsonObject &call : m_sandbox.calls()) {
            if (call["argv"_L1].toArray().first().toString() == "start"_L1)
                starts << call;
        }
        QCOMPARE(starts.size(), 1);

        // The setup window says so: it may close now and shows "Done".
        QTRY_COMPARE_WITH_TIMEOUT(offersClose(setup), std::optional(true), 10000);
        // The button may come a frame after the close hint.
        QTRY_VERIFY_WITH_TIMEOUT(
            headerBluePixels(screenshot(setup, u"02-ready-setup-window"_s, false)) > 400, 10000);
        qInfo("screenshot: %s/02-ready-setup-window.png", qPrintable(screenshotDirectory()));
        QVERIFY(!screenshot(u"root"_s, u"02-ready-screen"_s).isEmpty());
        QCOMPARE(windowGeometry(setup), u"390x640"_s);

        // SIGTERM, as a desktop session sends when it ends, withdraws the announcement and ends
        // the app normally.
        m_app->terminate();
        QVERIFY(m_app->waitForFinished(20000));
        QTRY_VERIFY_WITH_TIMEOUT(!announcementWithSession(sessionId).has_value(), 15000);
        const QString ending = m_app->exitStatus() == QProcess::NormalExit
            ? u"exit %1"_s.arg(m_app->exitCode())
            : u"killed by signal %1"_s.arg(m_app->exitCode());
        QVERIFY2(ending == "exit 0"_L1, qPrintable(ending + u"; the app said:\n"_s + appErrors()));

        // The views loaded and bound without a complaint from QML.
        const QString errors = appErrors();
        QVERIFY2(!errors.contains(u"qrc:/"_s), qPrintable(errors));
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
