#pragma once

// The UI tests' store over a scripted service with the windowed front end, and item helpers.
#include "Appearance.h"
#include "BridgeMenuBarLabel.h"
#include "DesktopFrontEnd.h"
#include "StoreHarness.h"
#include "TrayHost.h"

#include <QAccessible>
#include <QDir>
#include <QProcess>
#include <QQuickItem>
#include <QScopeGuard>
#include <QScreen>
#include <QStyleHints>
#include <QSystemTrayIcon>
#include <QTcpServer>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using namespace scripted;

struct Harness : scripted::StoreHarness
{
    std::unique_ptr<DesktopFrontEnd> desktop;

    void makeDesktop(bool tray)
    {
        desktop = std::make_unique<DesktopFrontEnd>(*store, DesktopFrontEnd::Options{tray});
    }
};

// By object name in the visual tree, which Repeater delegates also belong to.
inline QQuickItem *findChildItem(QQuickItem *parent, const QString &name)
{
    for (QQuickItem *child : parent ? parent->childItems() : QList<QQuickItem *>{}) {
        if (QQuickItem *found = child->objectName() == name ? child : findChildItem(child, name))
            return found;
    }
    return nullptr;
}

// The item at `path`: object names from the window down, separated by '/'.
inline QQuickItem *findItem(QQuickWindow *window, const QString &path)
{
    QQuickItem *item = window->contentItem();
    for (const QString &name : path.split(u'/'))
        item = findChildItem(item, name);
    return item;
}

// Its text, or an icon's symbol name.
inline QString textOf(QQuickWindow *window, const QString &path)
{
    QQuickItem *item = findItem(window, path);
    return item ? item->property(item->property("text").isValid() ? "text" : "name").toString()
                : u"<missing>"_s;
}

inline void reveal(QQuickItem *item)
{
    QQuickItem *flick = item->parentItem();
    while (flick && !flick->inherits("QQuickFlickable"))
        flick = flick->parentItem();
    if (!flick)
        return;
    const qreal top
        = item->mapToItem(flick->property("contentItem").value<QQuickItem *>(), QPointF()).y();
    const qreal end = flick->property("contentHeight").toReal() - flick->height();
    flick->setProperty("contentY", std::clamp<qreal>(top - 14, 0, std::max<qreal>(0, end)));
}

inline bool inView(QQuickItem *item)
{
    return QRectF(QPointF(), item->window()->size())
        .contains(item->mapRectToScene(item->boundingRect()));
}

// A real mouse click at the centre of `item`. Layouts place a section that has just appeared,
// or move one whose neighbour went, a frame or two later: reveal until it stays in the window.
inline bool click(QQuickItem *item)
{
    const auto revealed = [item] {
        QTest::qWait(50);
        reveal(item);
        QTest::qWait(50);
        return inView(item);
    };
    if (!item || !item->isVisible() || !QTest::qWaitFor(revealed, 2000))
        return false;
    QTest::mouseClick(item->window(), Qt::LeftButton, {},
                      item->mapToScene(item->boundingRect().center()).toPoint());
    return true;
}

inline bool saveScreenshot(QQuickWindow *window, const QString &name)
{
    const QString dir = qEnvironmentVariable("PIVRA_SCREENSHOT_DIR",
                                             QStringLiteral(PIVRA_BUILD_DIR "/screenshots"));
    QTest::qWait(50);
    return QDir().mkpath(dir) && window->grabWindow().save(dir + u'/' + name + u".png"_s);
}
