#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QQuickWindow>
#include <QRect>

#include <memory>

class Appearance;
class BridgeMenuBarLabel;
class BridgeMenuBarStore;
class BridgeSetupWindowController;
class QQmlEngine;
class QSystemTrayIcon;

// The windowed front end: the tray label, the panel that opens from it and the setup window,
// all over one store. Without a system tray the panel is an ordinary window, opened from the
// setup window, so every control stays reachable. The QML views see this object as `host`.
class DesktopFrontEnd : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool trayAvailable READ trayAvailable CONSTANT)

public:
    struct Options
    {
        // Use the system tray when there is one; false forces the ordinary-window panel.
        bool useTray = true;
    };

    DesktopFrontEnd(BridgeMenuBarStore &store, Options options, QObject *parent = nullptr);
    ~DesktopFrontEnd() override;

    bool trayAvailable() const;
    QSystemTrayIcon *trayIcon() const;
    BridgeMenuBarLabel &label() const { return *m_label; }
    QQuickWindow *setupWindow() const;
    // Made on first use.
    QQuickWindow *panelWindow();

    // Beside the tray icon as a frameless panel, or as an ordinary window without a tray.
    Q_INVOKABLE void openPanel();
    Q_INVOKABLE void togglePanel();
    // Escape and the tray click: hide the panel.
    Q_INVOKABLE void dismissPanel();
    // "Quit Pivra".
    Q_INVOKABLE void quit();
    // Another launch asked for this one: the setup window while it is up, since that is what
    // the user has to finish, else the panel.
    void bringForward();

Q_SIGNALS:
    void quitRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QQuickWindow *createWindow(const QString &file);
    QRect panelGeometryBeside(const QRect &anchor) const;
    void focusWindowChanged();

    BridgeMenuBarStore &m_store;
    Options m_options;
    std::unique_ptr<QQmlEngine> m_engine;
    std::unique_ptr<Appearance> m_appearance;
    std::unique_ptr<BridgeMenuBarLabel> m_label;
    std::unique_ptr<BridgeSetupWindowController> m_setupController;
    QPointer<QQuickWindow> m_panel;
    bool m_panelWasFocused = false;
    // A press held on the tray icon takes the focus from the panel before its release clicks;
    // that click must not open the panel again.
    QElapsedTimer m_sinceFocusDismissal;
};
