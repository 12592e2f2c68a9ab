// The start-up and memory benchmarks' baseline: the least a Qt Quick program does to show a
// window of the setup window's size, 390×640, with one Rectangle in it.
#include <QGuiApplication>
#include <QQuickView>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    QGuiApplication application(argc, argv);
    QQuickView view;
    view.setTitle(u"Baseline Quick Window"_s);
    view.setResizeMode(QQuickView::SizeRootObjectToView);
    view.setSource(QUrl(u"qrc:/baseline/Main.qml"_s));
    view.resize(390, 640);
    view.show();
    return application.exec();
}
