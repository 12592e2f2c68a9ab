#include "BridgeSetupWindowController.h"

#include "BridgeMenuBarStore.h"
#include "Windows.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QQuickWindow>
#include <QScreen>

using namespace Qt::StringLiterals;

namespace {

Qt::WindowFlags setupWindowFlags(bool closable)
{
    // Titled and minimizable, never resizable or maximizable.
    Qt::WindowFlags flags
        = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint;
    if (closable)
        flags |= Qt::WindowCloseButtonHint;
    return flags;
}

} // namespace

BridgeSetupWindowController::BridgeSetupWindowController(std::function<QQuickWindow *()> makeWindow,
                                                         QObject *parent)
    : QObject(parent)
    , m_makeWindow(std::move(makeWindow))
{
}

BridgeSetupWindowController::~BridgeSetupWindowController()
{
    if (QQuickWindow *window = m_window) {
        // The window's hide on the way out is no close request.
        window->removeEventFilter(this);
        delete window;
    }
}

void BridgeSetupWindowController::createWindow()
{
    m_window = m_makeWindow();
    if (!m_window)
        return;
    m_window->setTitle(u"Pivra Setup"_s);
    m_window->resize(Windows::setupWindowSize);
    m_window->setMinimumSize(Windows::setupWindowSize);
    m_window->setMaximumSize(Windows::setupWindowSize);
    m_window->setFlags(setupWindowFlags(m_closable));
    if (QScreen *screen
        = m_window->screen() ? m_window->screen() : QGuiApplication::primaryScreen())
        m_window->setPosition(
            screen->availableGeometry().center()
            - QPoint(Windows::setupWindowSize.width() / 2, Windows::setupWindowSize.height() / 2));
    m_window->installEventFilter(this);
}

void BridgeSetupWindowController::update(const BridgeMenuBarStore &store)
{
    if (!m_window)
        createWindow();
    if (!m_window)
        return;

    const bool ready = store.presentation().isSetupReady;
    setClosable(ready);
    if (ready && m_didShowSetupWindow)
        return;

    m_didShowSetupWindow = true;
    Windows::bringToFront(m_window);
}

void BridgeSetupWindowController::setClosable(bool closable)
{
    if (closable == m_closable)
        return;
    m_closable = closable;
    m_window->setFlags(setupWindowFlags(closable));
}

bool BridgeSetupWindowController::eventFilter(QObject *watched, QEvent *event)
{
    // A window manager may still offer closing while the button is withdrawn; refuse it.
    if (watched == m_window && event->type() == QEvent::Close && !m_closable) {
        event->ignore();
        return true;
    }
    return QObject::eventFilter(watched, event);
}
