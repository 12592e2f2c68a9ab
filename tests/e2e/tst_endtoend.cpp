// The real windowed app from nothing installed to ready, seen from outside as a user and a phone
// would: its setup window under trayer as tray host, and its announcement in avahi-browse.
#include "TestSandbox.h"
#include "TrayHost.h"

#include <QDir>
#include <QImage>
#include <QRegularExpression>
#include <QTest>

#include <sys/prctl.h>

using namespace Qt::StringLiterals;

namespace {

QString run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(30000);
    return QString::fromUtf8(process.readAllStandardOutput());
}

// Pixels of the "Done" button's light blue in the header strip of the window's screenshot.
int headerBluePixels(const QString &window, const QString &name)
{
    const QString dir = QStringLiteral(PIVRA_BUILD_DIR "/screenshots/e2e/");
    QDir().mkpath(dir);
    run(u"import"_s, {u"-window"_s, window, dir + name + u".png"_s});
    const QImage image = QImage(dir + name + u".png"_s).convertToFormat(QImage::Format_RGB32);
    int count = 0;
    for (int y = 0; y < std::min(image.height(), 60); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += image.pixel(x, y) == qRgb(0x00, 0x7a, 0xff);
    return count;
}

// Whether a phone would resolve a _pivra._tcp service with a port and a pairing session.
bool announced()
{
    return run(u"avahi-browse"_s, {u"-rpt"_s, u"_pivra._tcp"_s})
        .contains(QRegularExpression(u"^=;.*;[1-9]\\d*;.*\"sessionId=."_s,
                                     QRegularExpression::MultilineOption));
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

    TrayHost m_tray;
    TestSandbox m_sandbox;

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs an X server (DISPLAY); scripts/test starts Xvfb");
        QCOMPARE(m_tray.start(), QString());
        const QString problem
            = m_sandbox.setUp({.registry = true, .install = TestSandbox::Install::None});
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }

    // Catches an app not getting ready alone, unseen by a phone, or not ending well on SIGTERM.
    void fromNothingToReady()
    {
        QProcess app;
        QString errors;
        connect(&app, &QProcess::readyReadStandardError,
                [&] { errors += QString::fromUtf8(app.readAllStandardError()); });
        qputenv("PIVRA_APPEARANCE", "light");
        // Qt leaves caches behind at exit; the UI tests check these windows for leaks in process.
        qputenv("ASAN_OPTIONS", qgetenv("ASAN_OPTIONS") + ":detect_leaks=0");
        app.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        app.start(QStringLiteral(PIVRA_MENUBAR_BINARY), {});
        QVERIFY(app.waitForStarted());

        const QStringList search
            = u"search --all --onlyvisible --pid %1 --name ^Pivra.Setup$"_s.arg(app.processId())
                  .split(u' ');
        QTRY_VERIFY2_WITH_TIMEOUT(!run(u"xdotool"_s, search).isEmpty(), qPrintable(errors), 30000);
        const QString setup = run(u"xdotool"_s, search).trimmed();
        QVERIFY(run(u"xwininfo"_s, {u"-id"_s, setup}).contains(u"-geometry 390x640"_s));
        QCOMPARE(headerBluePixels(setup, u"01-start-setup-window"_s), 0);

        QTRY_VERIFY2_WITH_TIMEOUT(
            announced(), qPrintable(u"never announced; the app said:\n"_s + errors), 180000);
        QTRY_VERIFY_WITH_TIMEOUT(headerBluePixels(setup, u"02-ready-setup-window"_s) > 400, 10000);

        app.terminate();
        QVERIFY(app.waitForFinished(20000));
        QTRY_VERIFY_WITH_TIMEOUT(!announced(), 15000);
        QVERIFY2(app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0,
                 qPrintable(errors));
        QVERIFY2(!errors.contains(u"qrc:/"_s), qPrintable(errors));
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
