#include "TrayMenu.h"

#include "DesktopFrontEnd.h"
#include "LaunchAtLogin.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QMenu>

using namespace Qt::StringLiterals;

namespace {
Q_LOGGING_CATEGORY(lcTrayMenu, "com.pivra.menubar.TrayMenu")
}

TrayMenu::TrayMenu(DesktopFrontEnd &frontEnd)
    : QObject(&frontEnd)
    , m_menu(std::make_unique<QMenu>())
{
    m_menu->addAction(u"Open Panel"_s, &frontEnd, &DesktopFrontEnd::openPanel);
    m_launchAtLogin = m_menu->addAction(u"Launch at Login"_s);
    m_launchAtLogin->setCheckable(true);
    m_launchAtLogin->setChecked(LaunchAtLogin::isEnabled());
    connect(m_launchAtLogin, &QAction::triggered, this, &TrayMenu::setLaunchAtLogin);
    m_menu->addSeparator();
    m_menu->addAction(u"Quit Pivra"_s, &frontEnd, &DesktopFrontEnd::quit);
    // The entry may have been added or removed outside the app since the menu was last shown.
    connect(m_menu.get(), &QMenu::aboutToShow, this,
            [this] { m_launchAtLogin->setChecked(LaunchAtLogin::isEnabled()); });
}

TrayMenu::~TrayMenu() = default;

void TrayMenu::setLaunchAtLogin(bool enabled)
{
    const QString error
        = LaunchAtLogin::setEnabled(enabled, QCoreApplication::applicationFilePath());
    if (!error.isEmpty())
        qCWarning(lcTrayMenu, "%s", qPrintable(error));
    // The check mark shows what the next login will do, not what was asked for.
    m_launchAtLogin->setChecked(LaunchAtLogin::isEnabled());
}
