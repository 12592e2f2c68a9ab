#pragma once

#include <QObject>

#include <memory>

class DesktopFrontEnd;
class QAction;
class QMenu;

// The tray icon's context menu: "Open Panel", "Launch at Login" and "Quit Pivra".
class TrayMenu : public QObject
{
    Q_OBJECT

public:
    explicit TrayMenu(DesktopFrontEnd &frontEnd);
    ~TrayMenu() override;

    QMenu *menu() const { return m_menu.get(); }

private:
    void setLaunchAtLogin(bool enabled);

    std::unique_ptr<QMenu> m_menu;
    QAction *m_launchAtLogin = nullptr;
};
