#include "DesktopFrontEnd.h"

#include "Appearance.h"
#include "BridgeMenuBarLabel.h"
#include "BridgeMenuBarStore.h"
#include "BridgeSetupWindowController.h"
#include "SymbolImageProvider.h"
#include "TrayMenu.h"
#include "Windows.h"

#include <QGuiApplication>
#include <QLoggingCategory>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

Q_LOGGING_CATEGORY(lcDesktop, "com.pivra.menubar.DesktopFrontEnd")

// Two small windows of flat shapes, text and icons that change a few times a minute do not need
// a GPU context: Qt Quick's raster renderer draws them with less memory and starts without
// loading a graphics driver, which on machines that fall back to software OpenGL costs most of
// a window's start-up. Whoever asks Qt for a backend explicitly still gets it.
void chooseSceneGraphBackend()
{
    // Once per process: Qt settles the backend with the first window.
    static const bool chosen = [] {
        if (!qEnvironmentVariableIsSet("QT_QUICK_BACKEND")
            && !qEnvironmentVariableIsSet("QSG_RHI_BACKEND"))
            QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
        return true;
    }();
    Q_UNUSED(chosen);
}

} // namespace

DesktopFrontEnd::DesktopFrontEnd(BridgeMenuBarStore &store, Options options, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_options(options)
    , m_engine(std::make_unique<QQmlEngine>())
    , m_appearance(std::make_unique<Appearance>())
{
    chooseSceneGraphBackend();
    Appearance::registerQmlType();
    m_engine->addImageProvider(u"symbol"_s, new SymbolImageProvider);

    m_label = std::make_unique<BridgeMenuBarLabel>(m_store, *m_appearance);
    connect(m_label.get(), &BridgeMenuBarLabel::clicked, this, &DesktopFrontEnd::togglePanel);
    if (QSystemTrayIcon *tray = trayIcon())
        tray->setContextMenu((new TrayMenu(*this))->menu());

    m_setupController = std::make_unique<BridgeSetupWindowController>(
        [this] { return createWindow(u"SetupWindow.qml"_s); });
    connect(&m_store, &BridgeMenuBarStore::stateChanged, this,
            [this] { m_setupController->update(m_store); });
    m_setupController->update(m_store);
    if (QQuickWindow *setup = m_setupController->window())
        setup->installEventFilter(this);

    // Drawing the icon and docking it in the tray delayed the setup window's first frame by
    // several milliseconds; nothing in that frame needs it, so it shows right after.
    if (QSystemTrayIcon *tray = trayIcon()) {
        QQuickWindow *setup = setupWindow();
        if (setup && setup->isVisible()) {
            connect(setup, &QQuickWindow::frameSwapped, tray, &QSystemTrayIcon::show,
                    Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection));
            // A window that is not exposed (on another workspace) draws no frame.
            QTimer::singleShot(500, tray, &QSystemTrayIcon::show);
        } else {
            tray->show();
        }
    }

    connect(qGuiApp, &QGuiApplication::focusWindowChanged, this,
            &DesktopFrontEnd::focusWindowChanged);
}

DesktopFrontEnd::~DesktopFrontEnd()
{
    // The windows' QML belongs to the engine: they go first, and hiding them on the way out
    // must not bring the other one back.
    disconnect(&m_store, nullptr, this, nullptr);
    if (QQuickWindow *setup = setupWindow())
        setup->removeEventFilter(this);
    if (m_panel)
        m_panel->removeEventFilter(this);
    m_setupController.reset();
    delete m_panel;
}

bool DesktopFrontEnd::trayAvailable() const
{
    return m_options.useTray && m_label->trayIcon() != nullptr;
}

QSystemTrayIcon *DesktopFrontEnd::trayIcon() const
{
    return trayAvailable() ? m_label->trayIcon() : nullptr;
}

QQuickWindow *DesktopFrontEnd::setupWindow() const
{
    return m_setupController->window();
}

QQuickWindow *DesktopFrontEnd::createWindow(const QString &file)
{
    QQmlComponent component(m_engine.get(), QUrl(u"qrc:/Pivra/MenuBar/"_s + file));
    QObject *object = component.createWithInitialProperties({
        {u"store"_s, QVariant::fromValue<QObject *>(&m_store)},
        {u"host"_s, QVariant::fromValue<QObject *>(this)},
    });
    auto *window = qobject_cast<QQuickWindow *>(object);
    if (!window) {
        qCCritical(lcDesktop, "Cannot create %s: %s", qPrintable(file),
                   qPrintable(component.errorString()));
        delete object;
        return nullptr;
    }
    return window;
}

QQuickWindow *DesktopFrontEnd::panelWindow()
{
    if (m_panel)
        return m_panel;
    m_panel = createWindow(u"PanelWindow.qml"_s);
    if (!m_panel)
        return nullptr;
    m_panel->resize(Windows::panelSize);
    m_panel->setMinimumSize(Windows::panelSize);
    m_panel->setMaximumSize(Windows::panelSize);
    m_panel->setTitle(u"Pivra"_s);
    m_panel->setProperty("popup", trayAvailable());
    if (trayAvailable())
        m_panel->setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    else
        m_panel->setFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    m_panel->installEventFilter(this);
    return m_panel;
}

QRect DesktopFrontEnd::panelGeometryBeside(const QRect &anchor) const
{
    QScreen *screen = anchor.isValid() ? QGuiApplication::screenAt(anchor.center()) : nullptr;
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QRect available = screen->availableGeometry();
    const QRect full = screen->geometry();
    const int panelWidth = Windows::panelSize.width();
    const int panelHeight = Windows::panelSize.height();
    QRect panel(QPoint(0, 0), Windows::panelSize);
    if (!anchor.isValid()) {
        // No icon geometry: the top-right corner, where a tray usually is.
        panel.moveTopRight(available.topRight() + QPoint(-8, 8));
        return panel;
    }
    const int gap = 4;
    panel.moveLeft(anchor.center().x() - panelWidth / 2);
    // Open away from the screen edge the tray is on.
    if (anchor.center().y() < full.center().y())
        panel.moveTop(anchor.bottom() + 1 + gap);
    else
        panel.moveBottom(anchor.top() - 1 - gap);
    panel.moveLeft(std::clamp(panel.left(), available.left(),
                              std::max(available.left(), available.right() + 1 - panelWidth)));
    panel.moveTop(std::clamp(panel.top(), available.top(),
                             std::max(available.top(), available.bottom() + 1 - panelHeight)));
    return panel;
}

void DesktopFrontEnd::openPanel()
{
    QQuickWindow *panel = panelWindow();
    if (!panel)
        return;
    if (trayAvailable())
        panel->setGeometry(panelGeometryBeside(trayIcon()->geometry()));
    m_panelWasFocused = false;
    Windows::bringToFront(panel);
}

void DesktopFrontEnd::togglePanel()
{
    if (m_panel && m_panel->isVisible())
        dismissPanel();
    else if (!m_sinceFocusDismissal.isValid() || m_sinceFocusDismissal.elapsed() > 400)
        openPanel();
}

void DesktopFrontEnd::dismissPanel()
{
    if (m_panel)
        m_panel->close();
}

void DesktopFrontEnd::bringForward()
{
    QQuickWindow *setup = setupWindow();
    if (!setup || !setup->isVisible()) {
        openPanel();
        return;
    }
    Windows::bringToFront(setup);
}

void DesktopFrontEnd::quit()
{
    Q_EMIT quitRequested();
}

void DesktopFrontEnd::focusWindowChanged()
{
    if (!m_panel || !m_panel->isVisible() || !trayAvailable())
        return;
    QWindow *focus = QGuiApplication::focusWindow();
    if (focus == m_panel) {
        m_panelWasFocused = true;
        return;
    }
    // Like a menu: the panel goes away once the user works in another application. Our own
    // setup window taking focus does not count.
    if (!focus && m_panelWasFocused) {
        m_sinceFocusDismissal.start();
        dismissPanel();
    }
}

bool DesktopFrontEnd::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Hide && !trayAvailable()) {
        // Without a tray a hidden window cannot be found again: when one of the two windows
        // goes away and the other is not showing, bring the other one.
        QQuickWindow *setup = setupWindow();
        if (watched == setup && !(m_panel && m_panel->isVisible()))
            QMetaObject::invokeMethod(this, &DesktopFrontEnd::openPanel, Qt::QueuedConnection);
        else if (watched == m_panel && setup && !setup->isVisible())
            QMetaObject::invokeMethod(
                this, [setup] { Windows::bringToFront(setup); }, Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}
