#pragma once

#include <QJsonObject>
#include <QObject>
#include <QStringList>

class BridgeMenuBarStore;

// The store without any window: state lines out, commands in. Scripts, headless machines and
// every black-box test drive the application through it.
class HeadlessFrontEnd : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        bool exitWhenIdle = false;
    };

    HeadlessFrontEnd(BridgeMenuBarStore &store, Options options, QObject *parent = nullptr);
    ~HeadlessFrontEnd() override;

    // The state line as printed: every observable property, the announcement and the view.
    static QJsonObject stateJson(const BridgeMenuBarStore &store);

    // Queues one command line; it runs once the store is idle and the commands before it ran.
    void enqueueCommand(const QString &line);

    // Withdraws the announcement, prints the last state line and leaves the event loop.
    void quit();
    // Nothing to bring forward; the standard error says why nothing else happened.
    void anotherLaunchLeft();

private:
    void printStateIfChanged();
    void runQueuedCommands();
    bool runCommand(const QString &line);
    void startReadingInput();

    BridgeMenuBarStore &m_store;
    Options m_options;
    QByteArray m_lastLine;
    QStringList m_queue;
    bool m_quitting = false;
};
