// The desktop front end on a real X server, with its icon in a real tray host (trayer) or, with
// PIVRA_UI_TRAY=0, without any tray, where the panel is an ordinary window.
#include "UiTestSupport.h"

class TestDesktop : public QObject
{
    Q_OBJECT

    const bool m_withTray = qEnvironmentVariable("PIVRA_UI_TRAY") != "0"_L1;
    TrayHost m_tray;

    static void xdotool(const QString &arguments)
    {
        QProcess::execute(u"xdotool"_s, arguments.split(u' '));
    }

    // As a user does: a click on the tray icon, past the double-click interval so that the tray
    // reports a single click, or on "Open Panel" without a tray.
    void clickToOpen(Harness &h)
    {
        if (!m_withTray) {
            QVERIFY(click(findItem(h.desktop->setupWindow(), u"openPanel"_s)));
            return;
        }
        QTRY_VERIFY(h.desktop->trayIcon()->geometry().isValid());
        QTest::qWait(QGuiApplication::styleHints()->mouseDoubleClickInterval() + 100);
        const QPoint at = h.desktop->trayIcon()->geometry().center();
        xdotool(u"mousemove %1 %2 click 1"_s.arg(at.x()).arg(at.y()));
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs an X server (DISPLAY); scripts/test starts Xvfb");
        if (m_withTray)
            QCOMPARE(m_tray.start({u"--expand"_s, u"true"_s}), QString());
        QTRY_COMPARE_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), m_withTray, 10000);
    }

    void windows_data()
    {
        QTest::addColumn<QString>("appearance");
        QTest::newRow("light") << u"light"_s;
        QTest::newRow("dark") << u"dark"_s;
    }

    // Catches setup window, panel, tray label or tray clicks out of step with readiness or focus.
    void windows()
    {
        QFETCH(QString, appearance);
        qputenv("PIVRA_APPEARANCE", appearance.toLatin1());
        const auto shoot = [&](QQuickWindow *window, const QString &name) {
            QVERIFY(!m_withTray || saveScreenshot(window, name.arg(appearance)));
        };
        Harness h;
        h.make(true);
        QVERIFY(h.waitIdle());
        h.makeDesktop(true);
        QQuickWindow *setup = h.desktop->setupWindow();
        const auto expectLook = [&](std::optional<StatusTint> dot, bool dimmed) {
            const BridgeMenuBarLabel::Look look{dot, dimmed, appearance == "dark"_L1};
            QVERIFY(h.desktop->label().currentLook() == look);
            QSystemTrayIcon *icon = h.desktop->trayIcon();
            QVERIFY(!icon
                    || icon->icon().pixmap(22).toImage()
                        == BridgeMenuBarLabel::render(look, 22, 1));
        };
        expectLook(StatusTint::Green, false);
        // Ready at launch: shown all the same, closable, with "Done".
        QVERIFY(QTest::qWaitForWindowExposed(setup));
        QCOMPARE(setup->minimumSize(), setup->maximumSize());
        QVERIFY(setup->flags() & Qt::WindowCloseButtonHint);
        QQuickItem *done = findItem(setup, u"done"_s);
        QCOMPARE(QAccessible::queryAccessibleInterface(done)->text(QAccessible::Name), u"Done"_s);
        QCOMPARE(findItem(setup, u"openPanel"_s)->isVisible(), !m_withTray);
        shoot(setup, u"setup-%1-ready"_s);
        clickToOpen(h);
        QTRY_VERIFY(h.desktop->panelWindow() && h.desktop->panelWindow()->isExposed());
        QQuickWindow *panel = h.desktop->panelWindow();
        QCOMPARE(bool(panel->flags() & Qt::FramelessWindowHint), m_withTray);
        shoot(panel, u"panel-%1-ready"_s);
        h.desktop->dismissPanel();
        QVERIFY(click(done));
        QTRY_VERIFY(!setup->isVisible());
        QTRY_COMPARE(panel->isVisible(), !m_withTray); // without a tray, the way back in
        QVERIFY(h.refresh());
        QTest::qWait(100);
        QVERIFY(!setup->isVisible());

        // The code expires, and without an address it is not re-issued.
        h.service->load = [] {
            return connectedSnapshot(t0, t0.addSecs(-100), u" "_s);
        };
        QVERIFY(h.refresh());
        QTRY_VERIFY(setup->isVisible());
        QCOMPARE(setup->flags() & (Qt::WindowCloseButtonHint | Qt::WindowMaximizeButtonHint),
                 Qt::WindowFlags());
        QVERIFY(h.desktop->setupWindow() == setup && setup->flags() & Qt::WindowMinimizeButtonHint);
        QVERIFY(!done->isVisible());
        setup->close();
        QTest::qWait(100);
        QVERIFY(setup->isVisible());
        clickToOpen(h);
        QTRY_VERIFY(panel->isExposed());
        shoot(setup, u"setup-%1-not-ready"_s);
        shoot(panel, u"panel-%1-not-ready"_s);
        // Every store change brings the setup window forward, even over the panel.
        panel->requestActivate();
        QTRY_COMPARE(QGuiApplication::focusWindow(), panel);
        QVERIFY(h.refresh());
        QTRY_COMPARE(QGuiApplication::focusWindow(), setup);
        if (m_withTray) {
            const QRect frame = panel->geometry(), icon = h.desktop->trayIcon()->geometry();
            QCOMPARE(frame.size(), QSize(360, 600));
            QVERIFY(frame.top() > icon.bottom() && frame.top() - icon.bottom() <= 8);
            QVERIFY(QGuiApplication::primaryScreen()->geometry().contains(frame));
            clickToOpen(h);
            QTRY_VERIFY(!panel->isVisible());
            clickToOpen(h);
            QTRY_COMPARE(QGuiApplication::focusWindow(), panel);
            // Another application takes the focus; a press held on the icon does so before its
            // release clicks, which must not open the panel again.
            xdotool(u"sleep 0.6 search --name ^panel$ windowfocus --sync"_s);
            QTRY_VERIFY(!panel->isVisible());
            xdotool(u"click 1"_s);
            QVERIFY(!QTest::qWaitFor([&] { return panel->isVisible(); }, 500));
        }

        h.service->latestVersion = u"0.5.0"_s;
        h.service->load = [&h] {
            return connectedSnapshot(t0.addSecs(h.service->count(u"start"_s)), t0.addSecs(600));
        };
        h.store->runFirstRunSetup();
        expectLook(StatusTint::Green, true);
        QVERIFY(h.waitIdle());
        expectLook(StatusTint::Orange, false);
        QCOMPARE(textOf(setup, u"setupSubtitle"_s), h.store->presentation().setupWindowSubtitle);
        QVERIFY(done->isVisible() && setup->flags() & Qt::WindowCloseButtonHint);

        // The desktop turns dark while the app runs: the label follows without a store change.
        qunsetenv("PIVRA_APPEARANCE");
        const auto lightAgain = qScopeGuard([] { QGuiApplication::setPalette(QPalette()); });
        QPalette dark;
        dark.setColor(QPalette::Window, Qt::black);
        QGuiApplication::setPalette(dark);
        QVERIFY(h.desktop->label().currentLook().dark); // at once, not at the next store change
    }
};

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
