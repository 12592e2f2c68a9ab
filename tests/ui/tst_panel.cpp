// The panel as the user sees it: for each state the presentation rules single out, which cards
// show, what they say and which buttons work; each button's one store operation; the address
// draft; keyboard use. The store runs for real over a scripted service.
#include "Appearance.h"
#include "UiTestSupport.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>

using namespace ui;

namespace {

const QStringList allSections{u"header"_s,   u"setup"_s,    u"status"_s, u"pairing"_s,
                              u"advanced"_s, u"feedback"_s, u"footer"_s};

QStringList visibleSections(QQuickWindow *window)
{
    QStringList names;
    for (const QString &name : allSections) {
        QQuickItem *section = findItem(window, u"section."_s + name);
        if (section && section->isVisible())
            names << name;
    }
    return names;
}

// An indicator's or feedback line's text and dot colour, as "<text> <tint name>".
QString indicator(QQuickWindow *window, const QString &objectName,
                  const QString &textItem = u"caption"_s)
{
    QQuickItem *dot = findChildItem(findItem(window, objectName), u"dot"_s);
    if (!dot)
        return u"<missing>"_s;
    const QColor color = dot->property("color").value<QColor>();
    QString tint = color.name();
    for (const StatusTint candidate :
         {StatusTint::Green, StatusTint::Orange, StatusTint::Yellow, StatusTint::Blue,
          StatusTint::Red, StatusTint::Gray, StatusTint::Pink}) {
        if (color.rgb() == Appearance::tintColor(candidate, false).rgb())
            tint = tintName(candidate);
    }
    return textOf(window, objectName, textItem) + u' ' + tint;
}

} // namespace

class TestPanel : public QObject
{
    Q_OBJECT

    QQuickWindow *openPanel(Harness &h)
    {
        h.makeDesktop(false);
        h.desktop->openPanel();
        QQuickWindow *panel = h.desktop->panelWindow();
        if (panel)
            (void)QTest::qWaitForWindowExposed(panel);
        return panel;
    }

    // The panel over a refreshed store, active, with its advanced group open.
    QQuickWindow *openAdvancedPanel(Harness &h)
    {
        if (!h.store)
            h.make();
        QQuickWindow *panel = h.refresh() ? openPanel(h) : nullptr;
        if (!panel || !expandAdvanced(panel))
            return nullptr;
        panel->requestActivate();
        return QTest::qWaitForWindowActive(panel) ? panel : nullptr;
    }

    static bool expandAdvanced(QQuickWindow *panel)
    {
        const auto expanded = [panel] {
            QQuickItem *connection = findItem(panel, u"section.connection"_s);
            return connection && connection->isVisible() && findItem(panel, u"relayField"_s);
        };
        if (expanded())
            return true;
        return click(findItem(panel, u"advancedToggle"_s)) && QTest::qWaitFor(expanded, 2000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!hasDisplay())
            QSKIP("needs an X server (DISPLAY); scripts/test starts Xvfb");
    }

    void presentationEdgeCases_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<QStringList>("sections");
        QTest::addColumn<QString>("status"); // header caption and dot
        QTest::addColumn<QString>("setup"); // setup caption and dot
        QTest::addColumn<QStringList>("checklist"); // detail, "+" prefix when complete
        QTest::addColumn<QStringList>("chips"); // "*" skips one
        QTest::addColumn<QStringList>("tiles"); // empty when the status card is absent
        QTest::addColumn<QString>("pairing"); // indicator and dot; "" when none
        QTest::addColumn<QString>("buttons"); // enabled: setup, footer refresh, controls
                                              // refresh; then whether "Update" shows

        const QStringList base{u"header"_s,  u"setup"_s,    u"status"_s,
                               u"pairing"_s, u"advanced"_s, u"footer"_s};
        QTest::newRow("checking, no snapshot")
            << u"checking"_s << QStringList{u"header"_s, u"setup"_s, u"footer"_s}
            << u"CHECKING yellow"_s << u"CODEX NEEDED orange"_s
            << QStringList{u"Install Codex first"_s, u"Will be prepared automatically"_s,
                           u"Will be started"_s, u"Waiting for setup"_s}
            << QStringList{u"-"_s, u"-"_s, u"-"_s} << QStringList{} << u""_s << u"111-"_s;
        QTest::newRow("available, snapshot loading")
            << u"loading"_s << base << u"LOADING gray"_s << u"ALMOST READY gray"_s
            << QStringList{u"+Found on this Mac"_s, u"+Ready"_s, u"Will be started"_s,
                           u"Waiting for setup"_s}
            << QStringList{u"0.4.2"_s, u"..."_s, u"..."_s}
            << QStringList{u"Stopped"_s, u"unknown"_s, u"Waiting"_s, u"n/a"_s} << u""_s
            << u"111-"_s;
        QTest::newRow("payload expires exactly now")
            << u"expired"_s << base << u"CONNECTED green"_s << u"REFRESH NEEDED orange"_s
            << QStringList{u"Install Codex first"_s, u"+Ready"_s, u"+Connected"_s,
                           u"Expired - refresh pairing"_s}
            << QStringList{u"0.4.2"_s, u"0.4.2"_s, u"*"_s}
            << QStringList{u"Ready"_s, u"connected"_s, u"Expired"_s, u"*"_s} << u"Expired orange"_s
            << u"111-"_s;
        // A live payload wins over a running action; only the footer refresh and the setup
        // button wait for the action. An update turns the header orange, not the setup card.
        QTest::newRow("live payload and an update while an action runs")
            << u"live-busy"_s << base << u"CONNECTED orange"_s << u"READY green"_s
            << QStringList{u"Install Codex first"_s, u"+Ready"_s, u"+Connected"_s,
                           u"+Ready to scan"_s}
            << QStringList{u"0.4.2"_s, u"0.10.0"_s, u"*"_s}
            << QStringList{u"Ready"_s, u"CONNECTED"_s, u"Ready"_s, u"*"_s} << u"Ready green"_s
            << u"001+"_s;
    }

    void presentationEdgeCases()
    {
        QFETCH(QString, state);
        QFETCH(QStringList, sections);
        QFETCH(QString, status);
        QFETCH(QString, setup);
        QFETCH(QStringList, checklist);
        QFETCH(QStringList, chips);
        QFETCH(QStringList, tiles);
        QFETCH(QString, pairing);
        QFETCH(QString, buttons);

        Harness h;
        auto &service = *h.service;
        if (state == "loading"_L1) {
            service.loadDelay = 1500ms;
            h.make(true);
            QVERIFY(QTest::qWaitFor([&] { return service.count(u"load"_s) == 1; }, 5000));
        } else {
            // Without a relay address the expired code is not re-issued by the refresh.
            BridgeSnapshot snapshot = state == "expired"_L1
                ? connectedSnapshot(t0.addSecs(-600), t0, u" "_s)
                : connectedSnapshot(t0.addSecs(-60), t0.addSecs(600));
            if (state == "live-busy"_L1) {
                snapshot.bridgeStatus->connectionStatus = u"CONNECTED"_s;
                service.latestVersion = u"0.10.0"_s;
            }
            service.load = [snapshot] {
                return snapshot;
            };
            h.make();
            if (state != "checking"_L1)
                QVERIFY(h.refresh());
            if (state == "live-busy"_L1) {
                service.commandDelay = 1500ms;
                h.store->stopBridge();
            }
        }

        QQuickWindow *panel = openPanel(h);
        QVERIFY(panel);
        QVERIFY(QTest::qWaitFor([&] { return visibleSections(panel) == sections; }, 2000));
        QCOMPARE(visibleSections(panel), sections);
        QCOMPARE(indicator(panel, u"statusIndicator"_s), status);
        QCOMPARE(indicator(panel, u"setupIndicator"_s), setup);

        const QStringList titles{u"Codex"_s, u"Mac Connector"_s, u"Connection"_s, u"Pairing"_s};
        for (qsizetype i = 0; i < titles.size(); ++i) {
            QQuickItem *row = findItem(panel, u"checklist."_s + titles[i]);
            QVERIFY2(row, qPrintable(titles[i]));
            const bool complete = row->property("complete").toBool();
            const QString detail = textOf(panel, u"checklist."_s + titles[i], u"detail"_s);
            QCOMPARE((complete ? u"+"_s : u""_s) + detail, checklist[i]);
            // The mark follows completion.
            QCOMPARE(findChildItem(row, u"mark"_s)->property("name").toString(),
                     complete ? u"checkmark.circle.fill"_s : u"circle"_s);
        }

        const QStringList chipNames{u"Installed"_s, u"Latest"_s, u"Network"_s};
        for (qsizetype i = 0; i < chipNames.size(); ++i) {
            if (chips[i] != "*"_L1)
                QCOMPARE(textOf(panel, u"chip."_s + chipNames[i], u"value"_s), chips[i]);
        }
        const QStringList tileNames{u"Mac Service"_s, u"Connection"_s, u"Pairing"_s, u"Updated"_s};
        for (qsizetype i = 0; i < tiles.size(); ++i) {
            if (tiles[i] != "*"_L1)
                QCOMPARE(textOf(panel, u"tile."_s + tileNames[i], u"value"_s), tiles[i]);
        }

        if (pairing.isEmpty()) {
            // Hidden sections are not built at all.
            QQuickItem *pairingIndicator = findItem(panel, u"pairingIndicator"_s);
            QVERIFY(!pairingIndicator || !pairingIndicator->isVisible());
        } else {
            // The pairing caption keeps its case.
            QCOMPARE(indicator(panel, u"pairingIndicator"_s), pairing);
        }

        QCOMPARE(findItem(panel, u"setupButton"_s)->isEnabled(), buttons[0] == u'1');
        QCOMPARE(findItem(panel, u"footerRefresh"_s)->isEnabled(), buttons[1] == u'1');
        if (sections.contains(u"advanced"_s)) {
            QVERIFY(expandAdvanced(panel));
            // The controls card never disables anything: the store drops a second action itself.
            QCOMPARE(findItem(panel, u"controlsRefresh"_s)->isEnabled(), buttons[2] == u'1');
            QCOMPARE(findItem(panel, u"update"_s)->isVisible(), buttons[3] == u'+');
        }
        QVERIFY(h.waitIdle());
    }

    // The feedback card shows the store's lines in order, each with its colour and the bridge's
    // error trimmed, and goes away with its last line. Catches outside text rendered as markup:
    // an image tag in the bridge's error must show as text and fetch nothing.
    void feedbackLines()
    {
        QTcpServer tracker;
        QVERIFY(tracker.listen(QHostAddress::LocalHost));
        const QString markup = u"<img src=\"http://127.0.0.1:%1/t.png\"><b>relay</b> refused"_s.arg(
            tracker.serverPort());
        Harness h;
        h.service->load = [&] {
            BridgeSnapshot snapshot = connectedSnapshot(t0.addSecs(-60), t0.addSecs(600));
            snapshot.bridgeStatus->lastError = u"  "_s + markup + u" \n"_s;
            return snapshot;
        };
        h.make();
        h.store->stopBridge();
        QVERIFY(h.waitIdle());

        QQuickWindow *panel = openPanel(h);
        QVERIFY(panel);
        QVERIFY(findItem(panel, u"section.feedback"_s)->isVisible());
        QCOMPARE(indicator(panel, u"feedback.0"_s, u"text"_s), u"Mac connection stopped. green"_s);
        QCOMPARE(indicator(panel, u"feedback.1"_s, u"text"_s), markup + u" pink"_s);
        QVERIFY(!findItem(panel, u"feedback.2"_s)->isVisible());
        QVERIFY(!QTest::qWaitFor([&] { return tracker.hasPendingConnections(); }, 1000));

        // A refresh that finds no tool empties the messages: no card at all.
        h.service->availability = BridgeCLIAvailability::missing();
        QVERIFY(h.refresh());
        QTRY_VERIFY(!findItem(panel, u"section.feedback"_s)->isVisible());
    }

    // Each button calls its one store operation.
    void buttonsCallTheirOperation()
    {
        Harness h;
        QQuickWindow *panel = openAdvancedPanel(h);
        QVERIFY(panel);
        auto &calls = h.service->calls;
        const auto press = [&](const QString &button) {
            calls.clear();
            return click(findItem(panel, button)) && h.waitIdle();
        };

        // Save: the draft, trimmed by the store, reaches the status read of its refresh.
        QQuickItem *field = findItem(panel, u"relayField"_s);
        QVERIFY(click(field));
        QTRY_VERIFY(field->hasActiveFocus());
        typeText(panel, u"  ws://10.0.0.5:9000/relay "_s);
        QCOMPARE(h.store->relayOverride(), u""_s); // typing alone changes nothing
        QVERIFY(press(u"saveRelay"_s));
        QCOMPARE(calls.filter(u"load"_s), QStringList{u"load ws://10.0.0.5:9000/relay"_s});

        // Defaults: the field empties at once, then the store clears the override.
        calls.clear();
        h.service->loadDelay = 300ms;
        QVERIFY(click(findItem(panel, u"clearRelay"_s)));
        QCOMPARE(field->property("text").toString(), u""_s);
        QVERIFY(h.waitIdle());
        QCOMPARE(calls.filter(u"load"_s), QStringList{u"load -"_s});
        h.service->loadDelay = 5ms;

        QVERIFY(press(u"stop"_s));
        QCOMPARE(calls.filter(QRegularExpression(u"^(start|stop) "_s)), QStringList{u"stop -"_s});
        QVERIFY(press(u"footerRefresh"_s));
        QCOMPARE(calls, (QStringList{u"detect"_s, u"load -"_s, u"fetch"_s}));
        QVERIFY(press(u"resume"_s));
        QCOMPARE(calls.filter(u"resume"_s), QStringList{u"resume -"_s});

        QVERIFY(click(findItem(panel, u"openFolder"_s)));
        QVERIFY(click(findItem(panel, u"openOutput"_s)));
        QVERIFY(click(findItem(panel, u"openErrors"_s)));
        QCOMPARE(h.opened,
                 (QStringList{u"/state"_s, u"/state/logs/bridge.stdout.log"_s,
                              u"/state/logs/bridge.stderr.log"_s}));

        QSignalSpy quit(h.desktop.get(), &DesktopFrontEnd::quitRequested);
        QVERIFY(click(findItem(panel, u"quit"_s)));
        QCOMPARE(quit.size(), 1);
    }

    // Catches a pairing card that does not show the store's discovery state: published on the
    // link-local interface of the tests' namespace, then the daemon stopped. The two cards are
    // kept as screenshots.
    void pairingCardShowsDiscovery()
    {
        const auto testAvahi = [](const QString &command) {
            QProcess process;
            process.start(u"bash"_s,
                          {QStringLiteral(PIVRA_SOURCE_DIR "/scripts/lib/test-avahi"), command});
            return process.waitForFinished(20000) && process.exitCode() == 0;
        };
        const auto restart = qScopeGuard([&] { testAvahi(u"start"_s); });
        Harness h;
        h.make();
        QVERIFY(h.refresh());
        QQuickWindow *panel = openPanel(h);
        QVERIFY(panel);
        const auto row = [panel](const QString &name) {
            return textOf(panel, name, u"value"_s);
        };
        QTRY_COMPARE_WITH_TIMEOUT(row(u"pairingDiscovery"_s), u"Published"_s, 10000);
        QCOMPARE(row(u"pairingVisibleOn"_s), u"pivra0 169.254.83.1"_s);
        QCOMPARE(textOf(panel, u"pairingText"_s),
                 u"iPhone can find this Mac automatically on the same Wi-Fi."_s);
        reveal(findItem(panel, u"section.pairing"_s));
        QVERIFY(!saveScreenshot(panel, u"pairing-published"_s).isEmpty());

        QVERIFY(testAvahi(u"stop"_s));
        QTRY_COMPARE_WITH_TIMEOUT(row(u"pairingDiscovery"_s), u"DNS-SD service stopped"_s, 5000);
        QVERIFY(!findItem(panel, u"pairingVisibleOn"_s)->isVisible());
        QVERIFY(textOf(panel, u"pairingText"_s).contains(u"sudo systemctl start avahi-daemon"_s));
        QVERIFY(!saveScreenshot(panel, u"pairing-daemon-stopped"_s).isEmpty());
    }

    // Times on screen are read against the clock when the panel opens, not when the state last
    // changed: a code that expired while the panel was closed shows as expired.
    void panelShowsThePresentWhenItOpens()
    {
        Harness h;
        h.service->load = [] {
            BridgeSnapshot snapshot = connectedSnapshot(t0.addSecs(-60), t0.addSecs(600), u" "_s);
            snapshot.bridgeStatus->updatedAt = stamp(t0.addSecs(-60));
            return snapshot;
        };
        h.make();
        QVERIFY(h.refresh());
        QQuickWindow *panel = openPanel(h);
        QVERIFY(panel);
        const QString updatedBefore = textOf(panel, u"tile.Updated"_s, u"value"_s);
        QVERIFY(updatedBefore.contains(u'1'));
        QCOMPARE(textOf(panel, u"pairingIndicator"_s, u"caption"_s), u"Ready"_s);

        h.clock = t0.addSecs(700);
        h.desktop->dismissPanel();
        h.desktop->openPanel();
        QTRY_COMPARE(textOf(panel, u"pairingIndicator"_s, u"caption"_s), u"Expired"_s);
        const QString updatedAfter = textOf(panel, u"tile.Updated"_s, u"value"_s);
        QVERIFY2(updatedAfter.contains(u"12"_s), qPrintable(updatedAfter));
    }

    // The draft starts as the saved override, keeps unsaved typing across collapsing the
    // advanced group, and is overwritten when the store's override changes.
    void relayDraftFollowsTheStore()
    {
        Harness h;
        h.make();
        h.store->saveRelayOverride(u"ws://saved/relay"_s);
        QQuickWindow *panel = openAdvancedPanel(h);
        QVERIFY(panel);
        QQuickItem *field = findItem(panel, u"relayField"_s);
        QCOMPARE(field->property("text").toString(), u"ws://saved/relay"_s);

        QVERIFY(click(field));
        QTest::keyClick(panel, Qt::Key_End);
        typeText(panel, u"2"_s);
        QCOMPARE(field->property("text").toString(), u"ws://saved/relay2"_s);
        QVERIFY(click(findItem(panel, u"advancedToggle"_s)));
        QTRY_VERIFY(!field->isVisible());
        QVERIFY(expandAdvanced(panel));
        QCOMPARE(field->property("text").toString(), u"ws://saved/relay2"_s);
        QCOMPARE(h.store->relayOverride(), u"ws://saved/relay"_s);

        h.store->saveRelayOverride(u"ws://elsewhere/relay"_s);
        QCOMPARE(field->property("text").toString(), u"ws://elsewhere/relay"_s);
        QVERIFY(h.waitIdle());
    }

    // Tab visits every control, each with a name for assistive technology; Enter presses the
    // focused button; Escape closes the panel.
    void keyboard()
    {
        Harness h;
        h.service->latestVersion = u"0.5.0"_s; // "Update" shows too
        QQuickWindow *panel = openAdvancedPanel(h);
        QVERIFY(panel);

        QStringList visited;
        QQuickItem *first = nullptr;
        for (int i = 0; i < 40; ++i) {
            QTest::keyClick(panel, Qt::Key_Tab);
            QQuickItem *focused = panel->activeFocusItem();
            QVERIFY(focused);
            if (focused == first)
                break;
            if (!first)
                first = focused;
            // A focused control is scrolled into view.
            const auto inView = [&] {
                const QRectF inWindow = focused->mapRectToScene(focused->boundingRect());
                return QRectF(0, 0, panel->width(), panel->height()).contains(inWindow);
            };
            QVERIFY2(QTest::qWaitFor(inView, 1000), qPrintable(focused->objectName()));
            const QString name = accessibleName(focused);
            QVERIFY2(!name.isEmpty(), qPrintable(focused->objectName()));
            visited << name;
        }
        const QStringList expected = u"Refresh Pairing|Advanced|Connection Address|Save|Defaults|"
                                     u"Start|Stop|Resume|Refresh|Reset Pair|Update|Folder|Output|"
                                     u"Errors|Quit Pivra"_s.split(u'|');
        for (const QString &name : expected)
            QVERIFY2(visited.contains(name), qPrintable(name + u" in "_s + visited.join(u", ")));
        QCOMPARE(visited.count(u"Refresh"_s), 2);

        findItem(panel, u"stop"_s)->forceActiveFocus(Qt::TabFocusReason);
        h.service->calls.clear();
        QTest::keyClick(panel, Qt::Key_Return);
        QVERIFY(h.waitIdle());
        QCOMPARE(h.service->calls.filter(u"stop"_s), QStringList{u"stop -"_s});

        // The stop changed the store, which brought the unready setup window to the front.
        panel->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(panel));
        QTest::keyClick(panel, Qt::Key_Escape);
        QTRY_VERIFY(!panel->isVisible());
    }

    // A log path can be selected and copied, but not edited.
    void logPathsCanBeCopied()
    {
        Harness h;
        QQuickWindow *panel = openAdvancedPanel(h);
        QVERIFY(panel);
        QQuickItem *value = findChildItem(findItem(panel, u"stderrLog"_s), u"value"_s);
        QVERIFY(value->property("selectByMouse").toBool());
        QVERIFY(value->property("readOnly").toBool());
        QVERIFY(click(value));
        QTRY_VERIFY(value->hasActiveFocus());
        QTest::keyClick(panel, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(value->property("selectedText").toString(), u"/state/logs/bridge.stderr.log"_s);
        QTest::keyClick(panel, Qt::Key_C, Qt::ControlModifier);
        QTRY_COMPARE(QGuiApplication::clipboard()->text(), u"/state/logs/bridge.stderr.log"_s);
    }
};

PIVRA_UI_TEST_MAIN(TestPanel)
#include "tst_panel.moc"
