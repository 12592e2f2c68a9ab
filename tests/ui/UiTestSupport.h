#pragma once

// Shared by the UI tests: a store over a scripted service, so every state on screen is set up
// exactly, and helpers to find, reveal and click items of the live Qt Quick tree.
#include "BridgeControlService.h"
#include "BridgeMenuBarStore.h"
#include "DesktopFrontEnd.h"
#include "ShellCommandRunner.h"

#include <QAccessible>
#include <QApplication>
#include <QCoro/QCoroTimer>
#include <QDir>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <functional>
#include <memory>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace ui {

inline const QDateTime t0 = QDateTime::fromString(u"2025-01-31T12:00:00.000Z"_s, Qt::ISODateWithMs);

inline QString stamp(const QDateTime &instant)
{
    return instant.toUTC().toString(Qt::ISODateWithMs);
}

// A connected bridge whose session was created at `created` and expires at `expires`.
inline BridgeSnapshot connectedSnapshot(const QDateTime &created, const QDateTime &expires,
                                        const QString &relayUrl = u"ws://127.0.0.1:9000/relay"_s)
{
    BridgeSnapshot snapshot;
    snapshot.currentVersion = u"0.4.2"_s;
    snapshot.label = u"com.pivra.bridge"_s;
    snapshot.platform = u"linux"_s;
    snapshot.installed = true;
    snapshot.launchdLoaded = true;
    snapshot.stdoutLogPath = u"/state/logs/bridge.stdout.log"_s;
    snapshot.stderrLogPath = u"/state/logs/bridge.stderr.log"_s;
    snapshot.daemonConfig.emplace().relayUrl = relayUrl;
    snapshot.bridgeStatus.emplace().connectionStatus = u"connected"_s;
    BridgePairingPayload payload;
    payload.v = 1;
    payload.relay = relayUrl;
    payload.sessionId = stamp(created);
    payload.macDeviceId = u"mac"_s;
    payload.macIdentityPublicKey = u"key"_s;
    payload.expiresAt = expires.toMSecsSinceEpoch();
    snapshot.pairingSession = BridgePairingSession{stamp(created), payload};
    return snapshot;
}

// Stands in for the login shell; only the update action reaches it directly.
class ScriptedRunner : public ShellCommandRunner
{
public:
    QStringList commands;

    QCoro::Task<ShellCommandResult> run(const QString &command,
                                        const QMap<QString, QString> &) override
    {
        commands << command;
        co_await QCoro::sleepFor(5ms);
        co_return ShellCommandResult{};
    }
};

class ScriptedService : public BridgeControlService
{
public:
    explicit ScriptedService(std::shared_ptr<ScriptedRunner> runner)
        : BridgeControlService(runner)
    {
    }

    BridgeCLIAvailability availability = BridgeCLIAvailability::available(u"0.4.2"_s);
    std::function<BridgeSnapshot()> load = [] {
        return connectedSnapshot(t0, t0.addSecs(600));
    };
    QString latestVersion = u"0.4.2"_s;
    // The npm query fails with this text when set.
    std::optional<QString> fetchError;
    std::optional<QString> codexPath = u"/Applications/Codex.app"_s;
    std::chrono::milliseconds delay = 5ms;
    // How long a status read and a bridge command take; long ones hold a state on screen.
    std::chrono::milliseconds loadDelay = 5ms;
    std::chrono::milliseconds commandDelay = 5ms;
    // "detect", "load <override>", "start <override>", "stop <override>", "fetch", ...
    QStringList calls;

    int count(const QString &prefix) const
    {
        return int(std::count_if(calls.cbegin(), calls.cend(),
                                 [&](const QString &call) { return call.startsWith(prefix); }));
    }

    QCoro::Task<BridgeCLIAvailability> detectCLIAvailability() override
    {
        calls << u"detect"_s;
        co_await QCoro::sleepFor(delay);
        // An explicit copy: g++ 12 moves from a member named in `co_return`, which would
        // leave the scripted availability without its version after the first check.
        const BridgeCLIAvailability answer = availability;
        co_return answer;
    }
    QCoro::Task<LatestVersionResult> fetchLatestPackageVersion() override
    {
        calls << u"fetch"_s;
        co_await QCoro::sleepFor(delay);
        if (fetchError) {
            co_return LatestVersionResult{std::nullopt,
                                          std::make_exception_ptr(BridgeControlError::commandFailed(
                                              u"npm view"_s, *fetchError))};
        }
        co_return LatestVersionResult{latestVersion, nullptr};
    }
    QCoro::Task<> installBridgePackage() override { return perform(u"install"_s, {}); }
    QCoro::Task<BridgeSnapshot> loadSnapshot(std::optional<QString> relayOverride) override
    {
        calls << u"load "_s + relayOverride.value_or(u"-"_s);
        co_await QCoro::sleepFor(loadDelay);
        co_return load();
    }
    QCoro::Task<> startBridge(std::optional<QString> o) override { return perform(u"start"_s, o); }
    QCoro::Task<> stopBridge(std::optional<QString> o) override { return perform(u"stop"_s, o); }
    QCoro::Task<> resumeLastThread(std::optional<QString> o) override
    {
        return perform(u"resume"_s, o);
    }
    QCoro::Task<> resetPairing(std::optional<QString> o) override { return perform(u"reset"_s, o); }
    std::optional<QString> detectCodexApplicationPath() const override { return codexPath; }

private:
    QCoro::Task<> perform(QString name, std::optional<QString> relayOverride)
    {
        calls << name + u' ' + relayOverride.value_or(u"-"_s);
        co_await QCoro::sleepFor(commandDelay);
    }
};

struct Harness
{
    QTemporaryDir dir;
    std::shared_ptr<ScriptedService> service
        = std::make_shared<ScriptedService>(std::make_shared<ScriptedRunner>());
    QDateTime clock = t0;
    QStringList opened;
    std::unique_ptr<BridgeMenuBarStore> store;
    std::unique_ptr<DesktopFrontEnd> desktop;

    void makeStore(bool bootstrap = false)
    {
        store = std::make_unique<BridgeMenuBarStore>(BridgeMenuBarStore::Options{
            .service = service,
            .advertiser = nullptr,
            .now = [this] { return clock; },
            .refreshInterval = std::chrono::hours(1),
            .pairingPollInterval = 1ms,
            .settingsPath = dir.filePath(u"settings.conf"_s),
            .openPath = [this](const QString &path) { opened << path; },
            .bootstrap = bootstrap,
        });
    }

    void makeDesktop(bool useTray)
    {
        desktop = std::make_unique<DesktopFrontEnd>(*store,
                                                    DesktopFrontEnd::Options{.useTray = useTray});
    }

    ~Harness()
    {
        // A failed check returns early; the store's coroutines must finish before it goes.
        if (store)
            (void)waitIdle();
        desktop.reset();
        store.reset();
    }

    bool waitIdle()
    {
        return QTest::qWaitFor([this] { return store->isIdle(); }, 10000);
    }

    // Runs one refresh to completion.
    bool refresh()
    {
        store->requestRefresh();
        return waitIdle();
    }
};

inline void collectItems(QQuickItem *item, QList<QQuickItem *> &into)
{
    into << item;
    const auto children = item->childItems();
    for (QQuickItem *child : children)
        collectItems(child, into);
}

inline QList<QQuickItem *> allItems(QQuickWindow *window)
{
    QList<QQuickItem *> items;
    if (window)
        collectItems(window->contentItem(), items);
    return items;
}

// Items are found by object name in the visual tree, which Repeater delegates also belong to.
inline QQuickItem *findItem(QQuickWindow *window, const QString &objectName)
{
    const auto items = allItems(window);
    for (QQuickItem *item : items) {
        if (item->objectName() == objectName)
            return item;
    }
    return nullptr;
}

inline QQuickItem *findChildItem(QQuickItem *parent, const QString &objectName)
{
    QList<QQuickItem *> items;
    collectItems(parent, items);
    for (QQuickItem *item : std::as_const(items)) {
        if (item != parent && item->objectName() == objectName)
            return item;
    }
    return nullptr;
}

inline QString accessibleName(QQuickItem *item)
{
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(item);
    return iface ? iface->text(QAccessible::Name) : QString();
}

// Scrolls the panel so that `item` lies inside its viewport.
inline void reveal(QQuickItem *item)
{
    for (QQuickItem *up = item->parentItem(); up; up = up->parentItem()) {
        if (!up->inherits("QQuickFlickable"))
            continue;
        QQuickItem *content = up->property("contentItem").value<QQuickItem *>();
        const QRectF rect = item->mapRectToItem(content, item->boundingRect());
        const qreal y = up->property("contentY").toReal();
        if (rect.top() < y || rect.bottom() > y + up->height()) {
            const qreal maxY = std::max<qreal>(0, content->height() - up->height());
            up->setProperty("contentY", std::clamp<qreal>(rect.top() - 14, 0, maxY));
        }
        return;
    }
}

// A real mouse click in the window at the centre of `item`.
inline bool click(QQuickItem *item)
{
    if (!item || !item->isVisible() || !item->window())
        return false;
    // Let the layouts place a section that has just appeared.
    QTest::qWait(50);
    reveal(item);
    QTest::qWait(50);
    const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    QTest::mouseClick(item->window(), Qt::LeftButton, {}, centre.toPoint());
    return true;
}

// QTest has keyClicks for widgets only.
inline void typeText(QWindow *window, const QString &text)
{
    for (const QChar c : text)
        QTest::keyClick(window, char(c.toLatin1()));
}

// Where screenshots go: $PIVRA_SCREENSHOT_DIR, else <build>/screenshots.
inline QString screenshotDirectory()
{
    QString dir = qEnvironmentVariable("PIVRA_SCREENSHOT_DIR");
    if (dir.isEmpty())
        dir = QStringLiteral(PIVRA_BUILD_DIR) + u"/screenshots"_s;
    QDir().mkpath(dir);
    return dir;
}

inline QString saveScreenshot(QQuickWindow *window, const QString &name)
{
    QTest::qWait(50);
    const QImage image = window->grabWindow();
    const QString path = screenshotDirectory() + u'/' + name + u".png"_s;
    if (image.isNull() || !image.save(path))
        return {};
    qInfo("screenshot: %s", qPrintable(path));
    return path;
}

// Without an X server the application object starts on the offscreen platform, where the label
// can still be drawn; the tests that show windows skip themselves.
inline bool hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY");
}

inline void prepareEnvironment()
{
    if (!hasDisplay() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Screenshots and pixel checks must not depend on the desktop's theme.
    if (qEnvironmentVariableIsEmpty("PIVRA_APPEARANCE"))
        qputenv("PIVRA_APPEARANCE", "light");
}

} // namespace ui

#define PIVRA_UI_TEST_MAIN(TestClass)                                                              \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        ui::prepareEnvironment();                                                                  \
        QApplication app(argc, argv);                                                              \
        QApplication::setQuitOnLastWindowClosed(false);                                            \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
