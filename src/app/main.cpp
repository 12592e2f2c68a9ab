#include "BridgeMenuBarStore.h"
#include "DesktopFrontEnd.h"
#include "HeadlessFrontEnd.h"
#include "SingleInstance.h"
#include "TerminationSignals.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFontDatabase>

#include <cstdio>
#include <cstring>
#include <future>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

// Decided before any application object exists: a headless run must not need a display.
bool wantsHeadless(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    const bool headlessRun = wantsHeadless(argc, argv);
    std::unique_ptr<QCoreApplication> app;
    if (headlessRun)
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
    // Reading the font database (fontconfig's list of every font) took a fifth of the app's
    // processor time before its first frame, on the main thread at the window's first text.
    // Read here on another thread, it runs beside the engine's start and the QML loading.
    std::future<void> fontDatabase;
    if (!headlessRun)
        fontDatabase = std::async(std::launch::async, [] { (void)QFontDatabase::families(); });
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
    parser.process(*app);

    // Before the store exists: a second launch must not start a refresh loop or announce
    // anything, even for a moment.
    SingleInstance instance;
    if (instance.claim() == SingleInstance::Role::Secondary) {
        // A script that starts a second headless instance must learn that its own never ran.
        if (!headlessRun)
            return 0;
        std::fprintf(stderr,
                     "pivra-menubar: another instance is already running for this user "
                     "and home; this one leaves.\n");
        return 1;
    }

    BridgeMenuBarStore store;
    TerminationSignals terminationSignals;
    if (headlessRun) {
        HeadlessFrontEnd frontEnd(store, {.exitWhenIdle = parser.isSet(exitWhenIdle)});
        QObject::connect(&terminationSignals, &TerminationSignals::received, &frontEnd,
                         &HeadlessFrontEnd::quit);
        QObject::connect(&instance, &SingleInstance::activationRequested, &frontEnd,
                         &HeadlessFrontEnd::anotherLaunchLeft);
        return app->exec();
    }

    // The app lives in the tray; closing its windows does not end it, "Quit Pivra" does.
    QApplication::setQuitOnLastWindowClosed(false);
    DesktopFrontEnd frontEnd(store, {});
    QObject::connect(&frontEnd, &DesktopFrontEnd::quitRequested, app.get(),
                     &QCoreApplication::quit);
    QObject::connect(&terminationSignals, &TerminationSignals::received, &frontEnd,
                     &DesktopFrontEnd::quit);
    QObject::connect(&instance, &SingleInstance::activationRequested, &frontEnd,
                     &DesktopFrontEnd::bringForward);
    return app->exec();
}
