// The desktop front end on a real X server: the tray icon in a real tray host (trayer), the
// panel it opens, the setup window's show and close rules, and the same without any tray
// (PIVRA_UI_TRAY=0), where the panel is an ordinary window opened from the setup window.
// Also writes the screenshots of the panel and the setup window, light and dark.
#include "Appearance.h"
#include "BridgeMenuBarLabel.h"
#include "BridgeSetupWindowController.h"
#include "TrayHost.h"
#include "UiTestSupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QStandardPaths>
#include <QStyleHints>
#include <QSystemTrayIcon>

using namespace ui;

namespace {

QString run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(10000))
        return {};
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

// The windows trayer's panel holds, as "WxH+X+Y" in root coordinates.
QStringList trayPanelChildren()
{
    const QStringList lines = run(u"xwininfo"_s, {u"-root"_s, u"-tree"_s}).split(u'\n');
    static const QRegularExpression geometry(
        uR"(\s(\d+x\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+))"_s);
    QStringList children;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (!lines[i].contains(uR"(("panel" "trayer"))"_s))
            continue;
        const qsizetype indent = lines[i].indexOf(u'0');
        for (qsizetype j = i + 1; j < lines.size(); ++j) {
            const qsizetype childIndent = lines[j].indexOf(u'0');
            if (lines[j].trimmed().isEmpty() || (childIndent >= 0 && childIndent <= indent))
                break;
            const auto match = geometry.match(lines[j]);
            if (match.hasMatch())
                children << match.captured(1) + u'+' + match.captured(2) + u'+' + match.captured(3);
        }
    }
    return children;
}

QString geometryText(const QRect &rect)
{
    return u"%1x%2+%3+%4"_s.arg(rect.width()).arg(rect.height()).arg(rect.x()).arg(rect.y());
}

BridgeSnapshot stoppedSnapshot()
{
    BridgeSnapshot snapshot = connectedSnapshot(t0.addSecs(-60), t0.addSecs(600));
    snapshot.bridgeStatus->connectionStatus = u"stopped"_s;
    snapshot.launchdLoaded = false;
    snapshot.pairingSession.reset();
    return snapshot;
}

} // namespace

class TestDesktop : public QObject
{
    Q_OBJECT

    bool m_withTray = true;
    TrayHost m_tray;

    // A store that becomes ready at start-up: Codex found, bridge connected, payload live.
    static void makeReadyStore(Harness &h)
    {
        h.make(true);
        QVERIFY(h.waitIdle());
        QVERIFY(h.store->isSetupReady());
    }

    static void makeUnreadyStore(Harness &h)
    {
        h.service->load = [] {
            return stoppedSnapshot();
        };
        h.service->codexPath.reset();
        h.make(true);
        QVERIFY(h.waitIdle());
        QVERIFY(!h.store->isSetupReady());
    }

    void openPanel(Harness &h)
    {
        if (m_withTray) {
            QSystemTrayIcon *icon = h.desktop->trayIcon();
            QVERIFY(icon);
            QTRY_VERIFY(icon->geometry().isValid());
            const QPoint centre = icon->geometry().center();
            run(u"xdotool"_s,
                {u"mousemove"_s, QString::number(centre.x()), QString::number(centre.y()),
                 u"click"_s, u"1"_s});
        } else {
            QVERIFY(click(findItem(h.desktop->setupWindow(), u"openPanel"_s)));
        }
        QTRY_VERIFY(h.desktop->panelWindow() && h.desktop->panelWindow()->isExposed());
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!hasDisplay())
            QSKIP("needs an X server (DISPLAY); scripts/test starts Xvfb");
        m_withTray = qEnvironmentVariable("PIVRA_UI_TRAY") != "0"_L1;
        if (!m_withTray) {
            QVERIFY2(!QSystemTrayIcon::isSystemTrayAvailable(),
                     "another tray host runs on this display");
            return;
        }
        QVERIFY2(!QStandardPaths::findExecutable(u"trayer"_s).isEmpty(), "trayer is missing");
        QCOMPARE(m_tray.start({u"--expand"_s, u"true"_s}), QString());
        qInfo("trayer started, pid %lld", m_tray.processId());
        QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 10000);
    }

    void cleanupTestCase() { m_tray.stop(); }

    // Ready at launch, the setup window shows all the same, with "Done", and closes on request.
    // Then the icon sits in the tray host and shows the state; a click opens the panel beside
    // it and a second click closes it. Without a tray, closing the setup window opens the panel
    // as an ordinary window.
    void panelFromTrayOrSetupWindow()
    {
        Harness h;
        makeReadyStore(h);
        h.makeDesktop(true);
        QCOMPARE(h.desktop->trayAvailable(), m_withTray);
        QQuickWindow *setup = h.desktop->setupWindow();
        QVERIFY(QTest::qWaitForWindowExposed(setup));
        QVERIFY(findItem(setup, u"done"_s)->isVisible());
        QCOMPARE(findItem(setup, u"openPanel"_s)->isVisible(), !m_withTray);
        setup->close();
        QTRY_VERIFY(!setup->isVisible());

        if (!m_withTray) {
            QVERIFY(!h.desktop->trayIcon());
            QTRY_VERIFY(h.desktop->panelWindow() && h.desktop->panelWindow()->isExposed());
            QQuickWindow *panel = h.desktop->panelWindow();
            // An ordinary window with a frame, not a borderless pop-up.
            QVERIFY(!(panel->flags() & Qt::FramelessWindowHint));
            QCOMPARE(panel->size(), QSize(360, 600));
            QVERIFY(findItem(panel, u"section.header"_s)->isVisible());
            return;
        }

        // The icon shows right after the setup window's first frame.
        QSystemTrayIcon *icon = h.desktop->trayIcon();
        QVERIFY(icon);
        QTRY_VERIFY(icon->isVisible());
        QTRY_VERIFY(icon->geometry().isValid());
        // trayer embedded the icon: its panel holds a window exactly where the icon is.
        QTRY_VERIFY_WITH_TIMEOUT(trayPanelChildren().contains(geometryText(icon->geometry())),
                                 5000);

        // Connected, no update: the green dot shows in the tray.
        const QRect g = icon->geometry();
        QTest::qWait(200);
        const QImage tray = QGuiApplication::primaryScreen()
                                ->grabWindow(0, g.x(), g.y(), g.width(), g.height())
                                .toImage();
        const QColor green = Appearance::tintColor(StatusTint::Green, false);
        bool sawGreen = false;
        for (int y = 0; y < tray.height() && !sawGreen; ++y) {
            for (int x = 0; x < tray.width() && !sawGreen; ++x)
                sawGreen = tray.pixelColor(x, y).rgb() == green.rgb();
        }
        QVERIFY2(sawGreen, "no green dot on the tray icon");
        tray.scaled(tray.size() * 4, Qt::KeepAspectRatio, Qt::FastTransformation)
            .save(screenshotDirectory() + u"/tray-icon-connected.png"_s);
        qInfo("screenshot: %s/tray-icon-connected.png", qPrintable(screenshotDirectory()));

        openPanel(h);
        QQuickWindow *panel = h.desktop->panelWindow();
        QVERIFY(panel->flags() & Qt::FramelessWindowHint);
        // Beside the icon: just below the top tray, across the icon's column, on screen.
        const QRect frame = panel->geometry();
        QCOMPARE(frame.size(), QSize(360, 600));
        QVERIFY2(frame.top() > g.bottom() && frame.top() - g.bottom() <= 8,
                 qPrintable(geometryText(frame) + u" vs "_s + geometryText(g)));
        QVERIFY(QGuiApplication::primaryScreen()->geometry().contains(frame));
        QVERIFY(frame.left() <= g.center().x() || frame.right() >= g.center().x() - 360);

        // Past the double-click interval, so the tray reports a second single click.
        const int pause = QGuiApplication::styleHints()->mouseDoubleClickInterval() + 100;
        QTest::qWait(pause);
        run(u"xdotool"_s, {u"click"_s, u"1"_s});
        QTRY_VERIFY(!panel->isVisible());

        // Like a menu, the panel goes when another application takes the focus; the tray
        // click that took it must not open the panel straight again.
        QTest::qWait(pause);
        run(u"xdotool"_s, {u"click"_s, u"1"_s});
        QTRY_VERIFY(panel->isVisible());
        QTRY_COMPARE(QGuiApplication::focusWindow(), panel);
        // trayer's own panel window, which is mapped and can take the focus.
        const QString trayerWindow = run(u"xdotool"_s, {u"search"_s, u"--name"_s, u"^panel$"_s})
                                         .split(u'\n', Qt::SkipEmptyParts)
                                         .value(0);
        QVERIFY(!trayerWindow.isEmpty());
        QTest::qWait(pause);
        run(u"xdotool"_s, {u"windowfocus"_s, u"--sync"_s, trayerWindow});
        QTRY_VERIFY(!panel->isVisible());
        // A press held on the icon moves the focus before its release clicks.
        run(u"xdotool"_s, {u"click"_s, u"1"_s});
        QTest::qWait(pause);
        QVERIFY(!panel->isVisible());
    }

    // The label follows the store: dimmed while an action runs, orange once an update shows.
    void labelFollowsTheStore()
    {
        Harness h;
        makeReadyStore(h);
        h.makeDesktop(true);
        BridgeMenuBarLabel &label = h.desktop->label();
        QCOMPARE(label.currentLook().dot, std::optional(StatusTint::Green));
        QVERIFY(!label.currentLook().dimmed);

        h.service->commandDelay = 500ms;
        h.service->latestVersion = u"0.5.0"_s;
        h.store->stopBridge();
        QVERIFY(label.currentLook().dimmed);
        QVERIFY(h.waitIdle());
        QVERIFY(!label.currentLook().dimmed);
        QCOMPARE(label.currentLook().dot, std::optional(StatusTint::Orange));
    }

    // Not ready at launch: shown, not closable, brought back to the front by every store
    // change; once ready: "Done" closes it and it stays away until the computer stops being
    // ready, when the same window comes back.
    void setupWindowRules()
    {
        Harness h;
        makeUnreadyStore(h);
        h.makeDesktop(true);
        QQuickWindow *setup = h.desktop->setupWindow();
        QVERIFY(setup);
        QVERIFY(QTest::qWaitForWindowExposed(setup));
        QCOMPARE(setup->title(), u"Pivra Setup"_s);
        QCOMPARE(setup->size(), QSize(390, 640));
        QCOMPARE(setup->minimumSize(), setup->maximumSize());
        QVERIFY(setup->flags() & Qt::WindowMinimizeButtonHint);
        QVERIFY(!(setup->flags() & Qt::WindowCloseButtonHint));
        QVERIFY(!(setup->flags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(textOf(setup, u"setupTitle"_s), u"Pivra Setup"_s);
        QCOMPARE(textOf(setup, u"setupSubtitle"_s),
                 u"Keep this window open until setup finishes."_s);
        QVERIFY(!findItem(setup, u"done"_s)->isVisible());

        // A close request is refused while not ready.
        setup->close();
        QTest::qWait(100);
        QVERIFY(setup->isVisible());

        // Every store change brings it forward again, even over the panel.
        openPanel(h);
        QQuickWindow *panel = h.desktop->panelWindow();
        panel->requestActivate();
        QTRY_COMPARE(QGuiApplication::focusWindow(), panel);
        QVERIFY(h.refresh());
        QTRY_COMPARE(QGuiApplication::focusWindow(), setup);
        if (m_withTray)
            h.desktop->dismissPanel();

        // Setup finishes: the header changes, "Done" shows, closing is allowed.
        h.service->codexPath = u"/Applications/Codex.app"_s;
        h.service->load = [&h] {
            return h.service->count(u"start"_s)
                ? connectedSnapshot(t0.addSecs(-10), t0.addSecs(600))
                : stoppedSnapshot();
        };
        h.store->runFirstRunSetup();
        QVERIFY(h.waitIdle());
        QVERIFY(h.store->isSetupReady());
        QCOMPARE(textOf(setup, u"setupSubtitle"_s), u"Mac connection is ready for iPhone."_s);
        QVERIFY(setup->flags() & Qt::WindowCloseButtonHint);
        QQuickItem *done = findItem(setup, u"done"_s);
        QVERIFY(done->isVisible());
        QCOMPARE(accessibleName(done), u"Done"_s);
        QVERIFY(click(done));
        QTRY_VERIFY(!setup->isVisible());

        // Further changes while ready leave it closed.
        QVERIFY(h.refresh());
        QTest::qWait(100);
        QVERIFY(!setup->isVisible());
        if (!m_withTray) {
            // Without a tray, closing the setup window leaves the panel as the way back in.
            QTRY_VERIFY(h.desktop->panelWindow()->isVisible());
        }

        // The pairing code expires: the next change brings the same window back.
        h.service->load = [] {
            return stoppedSnapshot();
        };
        QVERIFY(h.refresh());
        QTRY_VERIFY(setup->isVisible());
        QCOMPARE(h.desktop->setupWindow(), setup);
        QVERIFY(!(setup->flags() & Qt::WindowCloseButtonHint));
        QCOMPARE(textOf(setup, u"setupSubtitle"_s),
                 u"Keep this window open until setup finishes."_s);
    }

    // The panel and the setup window, light and dark, ready and not ready.
    void screenshots()
    {
        const QByteArray saved = qgetenv("PIVRA_APPEARANCE");
        for (const char *appearance : {"light", "dark"}) {
            qputenv("PIVRA_APPEARANCE", appearance);
            for (const bool ready : {false, true}) {
                Harness h;
                if (ready) {
                    h.service->latestVersion = u"0.4.3"_s;
                    makeReadyStore(h);
                } else {
                    makeUnreadyStore(h);
                    h.service->codexPath = u"/Applications/Codex.app"_s;
                    h.service->availability = BridgeCLIAvailability::missing();
                    h.service->commandDelay = 2s;
                    // Holds "Preparing the Pivra Mac connector..." on screen.
                    h.store->runFirstRunSetup();
                }
                h.makeDesktop(true);
                const QString name
                    = QString::fromLatin1(appearance) + (ready ? u"-ready"_s : u"-not-ready"_s);
                QQuickWindow *setup = h.desktop->setupWindow();
                QVERIFY(QTest::qWaitForWindowExposed(setup));
                QVERIFY(!saveScreenshot(setup, u"setup-"_s + name).isEmpty());

                openPanel(h);
                QQuickWindow *panel = h.desktop->panelWindow();
                QVERIFY(!saveScreenshot(panel, u"panel-"_s + name).isEmpty());
                if (ready) {
                    QVERIFY(click(findItem(panel, u"advancedToggle"_s)));
                    QQuickItem *diagnostics = findItem(panel, u"section.diagnostics"_s);
                    QTRY_VERIFY(diagnostics->isVisible());
                    QTest::qWait(100);
                    reveal(findItem(panel, u"section.footer"_s));
                    QVERIFY(!saveScreenshot(panel, u"panel-"_s + name + u"-advanced"_s).isEmpty());
                }
                h.desktop->dismissPanel();
            }
        }
        qputenv("PIVRA_APPEARANCE", saved);
        qInfo("screenshots in %s", qPrintable(screenshotDirectory()));
    }
};

PIVRA_UI_TEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
