// The floor of the start-up and memory benchmarks: the least any tray app with a Qt Quick setup
// window does. A tray icon with a one-item menu (QApplication, since the tray needs Widgets) and
// a window of the setup window's size and title with one line of text, drawn by the renderer
// the app would pick.
#include <QApplication>
#include <QMenu>
#include <QQuickView>
#include <QSystemTrayIcon>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    // The app's rule: the software renderer unless the environment names one.
    if (!qEnvironmentVariableIsSet("QT_QUICK_BACKEND")
        && !qEnvironmentVariableIsSet("QSG_RHI_BACKEND"))
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);

    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::darkGray);
    QSystemTrayIcon tray{QIcon(pixmap)};
    QMenu menu;
    menu.addAction(u"Quit"_s, &application, &QCoreApplication::quit);
    tray.setContextMenu(&menu);
    tray.show();

    QQuickView view;
    view.setTitle(u"Pivra Setup"_s);
    view.setResizeMode(QQuickView::SizeRootObjectToView);
    view.setSource(QUrl(u"qrc:/baseline/Main.qml"_s));
    view.resize(390, 640);
    view.show();
    return application.exec();
}
