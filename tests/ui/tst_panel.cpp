// The panel's wiring: items against the store's presentation, controls against store operations.
#include "UiTestSupport.h"

namespace {

QString dotted(const QString &text, std::optional<StatusTint> tint)
{
    return text.isEmpty() || !tint ? text
                                   : text + u' ' + Appearance::tintColor(*tint, false).name();
}

// The item's text, then its dot's colour when it has one; "" for an item that does not show.
QString shown(QQuickWindow *panel, const QString &path)
{
    QQuickItem *item = findItem(panel, path.section(u'/', 0, 0));
    QQuickItem *dot = findChildItem(item, u"dot"_s);
    if (!item || !item->isVisible())
        return {};
    const QString text = textOf(panel, path);
    return dot ? text + u' ' + dot->property("color").value<QColor>().name() : text;
}

void expectPresentation(QQuickWindow *panel, const BridgeStatusPresentation &p)
{
    QStringList sections;
    for (const QString &name :
         u"header setup status pairing advanced feedback footer"_s.split(u' '))
        if (findItem(panel, u"section."_s + name)->isVisible())
            sections << name;
    QCOMPARE(sections, p.sections);
    QCOMPARE(findItem(panel, u"setupButton"_s)->isEnabled(), !p.isPerformingAction);
    QCOMPARE(findItem(panel, u"footerRefresh"_s)->isEnabled(), !p.isPerformingAction);
    QList<std::pair<QString, QString>> expected{
        {u"statusIndicator/caption"_s, dotted(p.currentStatusTitle.toUpper(), p.statusTint)},
        {u"setupIndicator/caption"_s, dotted(p.setupStateTitle.toUpper(), p.setupTint)},
        {u"setupStatusLine/text"_s, dotted(p.setupProgress, StatusTint::Blue)},
        {u"setupButton"_s, p.setupButtonTitle}};
    for (const LabelValue &chip : p.chips)
        expected.append({u"chip."_s + chip.label + u"/value"_s, chip.value});
    for (const SetupChecklistRow &row : p.checklist) {
        expected += {{u"checklist."_s + row.title + u"/detail"_s, row.detail},
                     {u"checklist."_s + row.title + u"/mark"_s,
                      row.isComplete ? u"checkmark.circle.fill"_s : u"circle"_s}};
    }
    if (p.sections.contains(u"status"_s)) {
        for (const LabelValue &tile : p.tiles)
            expected.append({u"tile."_s + tile.label + u"/value"_s, tile.value});
        expected.append({u"statusNetwork/value"_s, p.networkDescription});
    }
    if (const PairingCard &card = p.pairing; p.sections.contains(u"pairing"_s)) {
        expected
            += {{u"pairingIndicator/caption"_s, dotted(card.indicatorText(), card.indicatorTint)},
                {u"pairingText"_s, card.text},
                {u"pairingDiscovery/value"_s, card.discoveryText()},
                {u"pairingVisibleOn/value"_s, card.visibleOnText()},
                {u"pairingRenews/value"_s, card.renewsText()}};
        if (card.textTint)
            QCOMPARE(findItem(panel, u"pairingText"_s)->property("color").value<QColor>(),
                     Appearance::tintColor(*card.textTint, false));
    }
    for (qsizetype i = 0; i < 4 && p.sections.contains(u"feedback"_s); ++i) {
        const FeedbackLine line = p.feedback.value(i);
        expected.append({u"feedback.%1/text"_s.arg(i), dotted(line.text, line.tint)});
    }
    if (findItem(panel, u"section.controls"_s)->isVisible())
        expected += {{u"update"_s, p.updateAvailable ? u"Update"_s : u""_s},
                     {u"stdoutLog/value"_s, p.logPaths.value(0).value},
                     {u"stderrLog/value"_s, p.logPaths.value(1).value}};
    for (const auto &[path, text] : expected)
        QCOMPARE(path + u": "_s + shown(panel, path), path + u": "_s + text);
}

} // namespace

class TestPanel : public QObject
{
    Q_OBJECT

    // Over a refreshed store, with the advanced group open.
    static QQuickWindow *openPanel(Harness &h)
    {
        if (!h.store)
            h.make();
        if (!h.refresh())
            return nullptr;
        h.makeDesktop(false);
        h.desktop->openPanel();
        QQuickWindow *panel = h.desktop->panelWindow();
        return QTest::qWaitForWindowActive(panel) && toggleAdvanced(panel, true) ? panel : nullptr;
    }

    static bool toggleAdvanced(QQuickWindow *panel, bool open)
    {
        QQuickItem *connection = findItem(panel, u"section.connection"_s);
        return click(findItem(panel, u"advancedToggle"_s))
            && QTest::qWaitFor([=] { return connection->isVisible() == open; });
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs an X server (DISPLAY); scripts/test starts Xvfb");
    }

    // Catches items not showing the presentation, and outside text rendered as markup.
    void feedbackLines()
    {
        QTcpServer tracker;
        QVERIFY(tracker.listen(QHostAddress::LocalHost));
        const QString markup = u"<img src=\"http://127.0.0.1:%1/t.png\"><b>relay</b> refused"_s.arg(
            tracker.serverPort());
        Harness h;
        h.service->latestVersion = u"0.5.0"_s;
        h.service->load = [&] {
            BridgeSnapshot snapshot = connectedSnapshot(t0.addSecs(-60), t0.addSecs(600));
            snapshot.bridgeStatus->lastError = markup;
            return snapshot;
        };
        QQuickWindow *panel = openPanel(h);
        QVERIFY(panel);
        h.store->stopBridge(); // connected, an update offered, a success line and the error
        QVERIFY(h.waitIdle());
        QVERIFY(!QTest::qWaitFor([&] { return tracker.hasPendingConnections(); }, 1000));
        expectPresentation(panel, h.store->presentation());
        h.service->availability = BridgeCLIAvailability::missing();
        h.service->commandDelay = 1s;
        h.store->runFirstRunSetup(); // nothing installed and setup running
        QVERIFY(QTest::qWaitFor([&] { return h.service->count(u"install"_s) == 1; }));
        expectPresentation(panel, h.store->presentation());
    }

    // Catches controls wired wrongly or out of the keyboard's reach, and a stale address draft.
    void controls()
    {
        Harness h;
        h.make();
        h.store->saveRelayOverride(u"ws://saved/relay"_s);
        QQuickWindow *panel = openPanel(h);
        QVERIFY(panel);
        auto &calls = h.service->calls;
        QQuickItem *field = findItem(panel, u"relayField"_s),
                   *log = findItem(panel, u"stderrLog/value"_s);
        QVERIFY(log->property("selectByMouse").toBool() && log->property("readOnly").toBool());
        QCOMPARE(field->property("text").toString(), u"ws://saved/relay"_s);
        QVERIFY(click(field));
        QTest::keyClick(panel, Qt::Key_End);
        QTest::keyClick(panel, '2');
        QVERIFY(toggleAdvanced(panel, false) && toggleAdvanced(panel, true));
        QCOMPARE(field->property("text").toString(), u"ws://saved/relay2"_s);
        calls.clear();
        QVERIFY(click(findItem(panel, u"saveRelay"_s)) && h.waitIdle());
        QCOMPARE(calls.filter(u"load"_s), QStringList{u"load ws://saved/relay2"_s});
        // Defaults empties the draft even when nothing is saved.
        h.store->clearRelayOverride();
        QCOMPARE(field->property("text").toString(), u""_s);
        QVERIFY(h.waitIdle()); // unsaved text; the store change took the focus, so not typed
        findItem(panel, u"panelContent"_s)->setProperty("relayDraft", u"x"_s);
        calls.clear();
        QVERIFY(click(findItem(panel, u"clearRelay"_s)) && h.waitIdle());
        QCOMPARE(field->property("text").toString(), u""_s);
        QCOMPARE(calls.filter(u"load"_s), QStringList{u"load -"_s});

        QVERIFY(!findItem(panel, u"update"_s)->isVisible());
        h.service->latestVersion = u"0.5.0"_s;
        QVERIFY(h.refresh());
        // Each store change brings the unready setup window forward.
        panel->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(panel));
        QStringList visited;
        for (QQuickItem *first = nullptr, *focused = nullptr; visited.size() < 40;
             first = first ? first : focused) {
            QTest::keyClick(panel, Qt::Key_Tab);
            if (!(focused = panel->activeFocusItem()) || focused == first)
                break;
            QTRY_VERIFY(inView(focused));
            visited << QAccessible::queryAccessibleInterface(focused)->text(QAccessible::Name);
        }
        QVERIFY2(visited.size() == 16 && !visited.contains(QString()),
                 qPrintable(visited.join(u'|')));
        findItem(panel, u"stop"_s)->forceActiveFocus(Qt::TabFocusReason);
        calls.clear();
        QTest::keyClick(panel, Qt::Key_Return);
        QVERIFY(h.waitIdle());
        QCOMPARE(calls.filter(u"stop"_s), QStringList{u"stop -"_s});
        connect(h.desktop.get(), &DesktopFrontEnd::quitRequested, [&h] { h.opened << u"quit"_s; });
        // The service's calls by first use, an install through the shell, what the desktop did.
        const QList<std::pair<const char *, QString>> table{
            {"start", u"detect, start -, load -, fetch"_s},
            {"resume", u"detect, resume -, load -, fetch"_s},
            {"resetPairing", u"detect, reset -, load -, fetch"_s},
            {"update", u"detect, start -, load -, fetch, npm"_s},
            {"controlsRefresh", u"detect, load -, fetch"_s},
            {"footerRefresh", u"detect, load -, fetch"_s},
            {"openFolder", u"/state"_s},
            {"openOutput", u"/state/logs/bridge.stdout.log"_s},
            {"openErrors", u"/state/logs/bridge.stderr.log"_s},
            {"quit", u"quit"_s},
            // Setup also saves the bridge's address as the override.
            {"setupButton",
             u"detect, start ws://127.0.0.1:9000/relay, load ws://127.0.0.1:9000/relay, fetch"_s}};
        for (const auto &[button, expected] : table) {
            calls.clear();
            h.service->scriptedRunner().commands.clear();
            h.opened.clear();
            QVERIFY2(click(findItem(panel, QLatin1StringView(button))) && h.waitIdle(), button);
            calls.removeDuplicates();
            calls += h.service->scriptedRunner().commands.isEmpty() ? h.opened
                                                                    : QStringList{u"npm"_s};
            QCOMPARE(calls.join(u", "_s), expected);
        }

        panel->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(panel));
        QTest::keyClick(panel, Qt::Key_Escape);
        QTRY_VERIFY(!panel->isVisible());
    }

    // Catches a pairing card not following discovery, or reading times before the panel opens.
    void pairingCardShowsDiscovery()
    {
        const QString testAvahi = QStringLiteral(PIVRA_SOURCE_DIR "/scripts/lib/test-avahi");
        const auto restart = qScopeGuard([&] { QProcess::execute(testAvahi, {u"start"_s}); });
        Harness h; // without a relay address an expired code is not re-issued
        h.service->load = [] {
            return connectedSnapshot(t0, t0.addSecs(600), u" "_s);
        };
        QQuickWindow *panel = openPanel(h);
        QVERIFY(panel);
        QTRY_COMPARE_WITH_TIMEOUT(shown(panel, u"pairingDiscovery/value"_s), u"Published"_s, 10000);
        QCOMPARE(textOf(panel, u"pairingVisibleOn/value"_s), u"pivra0 169.254.83.1"_s);
        expectPresentation(panel, h.store->presentation());
        reveal(findItem(panel, u"section.pairing"_s));
        QVERIFY(saveScreenshot(panel, u"pairing-published"_s));
        QCOMPARE(QProcess::execute(testAvahi, {u"stop"_s}), 0);
        QTRY_COMPARE_WITH_TIMEOUT(shown(panel, u"pairingDiscovery/value"_s),
                                  u"DNS-SD service stopped"_s, 5000);
        QVERIFY(textOf(panel, u"pairingText"_s).contains(u"sudo systemctl start avahi-daemon"_s));
        expectPresentation(panel, h.store->presentation());
        QVERIFY(saveScreenshot(panel, u"pairing-daemon-stopped"_s));
        // The code expires while the panel is closed.
        h.clock = t0.addSecs(700);
        h.desktop->dismissPanel();
        h.desktop->openPanel();
        QTRY_COMPARE(textOf(panel, u"pairingIndicator/caption"_s), u"Expired"_s);
    }
};

QTEST_MAIN(TestPanel)
#include "tst_panel.moc"
