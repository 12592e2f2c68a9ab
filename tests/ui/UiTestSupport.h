#pragma once

// Shared by the UI tests: a store over a scripted service, so every state on screen is set up
// exactly, and helpers to find, reveal and click items of the live Qt Quick tree.
#include "BridgeMenuBarStore.h"
#include "DesktopFrontEnd.h"
#include "ScriptedBridgeService.h"
#include "StoreHarness.h"

#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

#include <chrono>
#include <memory>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace ui {

using scripted::connectedSnapshot;
using scripted::stamp;
using scripted::t0;

// The store harness plus the windowed front end over its store.
struct Harness : scripted::StoreHarness
{
    std::unique_ptr<DesktopFrontEnd> desktop;

    void makeDesktop(bool useTray)
    {
        desktop = std::make_unique<DesktopFrontEnd>(*store,
                                                    DesktopFrontEnd::Options{.useTray = useTray});
    }

    ~Harness()
    {
        if (store)
            (void)waitIdle();
        desktop.reset();
    }
};

// Items are found by object name in the visual tree, which Repeater delegates also belong to.
inline QQuickItem *findChildItem(QQuickItem *parent, const QString &objectName)
{
    if (!parent)
        return nullptr;
    const auto children = parent->childItems();
    for (QQuickItem *child : children) {
        if (child->objectName() == objectName)
            return child;
        if (QQuickItem *found = findChildItem(child, objectName))
            return found;
    }
    return nullptr;
}

inline QQuickItem *findItem(QQuickWindow *window, const QString &objectName)
{
    return window ? findChildItem(window->contentItem(), objectName) : nullptr;
}

// The text of `objectName` in `window`, or of its descendant `child` when given.
inline QString textOf(QQuickWindow *window, const QString &objectName, const QString &child = {})
{
    QQuickItem *item = findItem(window, objectName);
    if (item && !child.isEmpty())
        item = findChildItem(item, child);
    return item ? item->property("text").toString() : u"<missing>"_s;
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
