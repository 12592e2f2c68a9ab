#include "BridgeMenuBarStore.h"
#include "HeadlessFrontEnd.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <memory>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(u"Pivra"_s);
    QCoreApplication::setApplicationName(u"PivraMenuBar"_s);

    QCommandLineParser parser;
    parser.setApplicationDescription(u"Connects the Pivra iPhone app to this computer."_s);
    parser.addHelpOption();
    const QCommandLineOption headless(u"headless"_s,
                                      u"Run without windows: state lines out, commands in."_s);
    const QCommandLineOption exitWhenIdle(u"exit-when-idle"_s,
                                          u"With --headless: exit once start-up is done."_s);
    parser.addOptions({headless, exitWhenIdle});
    parser.process(app);

    BridgeMenuBarStore store;
    HeadlessFrontEnd frontEnd(store, {.exitWhenIdle = parser.isSet(exitWhenIdle)});
    return app.exec();
}
