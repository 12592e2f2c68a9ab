#include "HeadlessFrontEnd.h"

#include "BridgeMenuBarStore.h"
#include "BridgeStatusPresentation.h"
#include "HeadlessCommand.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QTimer>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

Q_LOGGING_CATEGORY(lcHeadless, "com.pivra.menubar.HeadlessFrontEnd")

QJsonValue optionalText(const std::optional<QString> &text)
{
    return text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null);
}

QJsonObject availabilityJson(const BridgeCLIAvailability &availability)
{
    switch (availability.kind()) {
    case BridgeCLIAvailability::Case::Available:
        return {{"case"_L1, u"available"_s}, {"version"_L1, availability.version()}};
    case BridgeCLIAvailability::Case::Broken:
        return {{"case"_L1, u"broken"_s}, {"message"_L1, availability.message()}};
    case BridgeCLIAvailability::Case::Checking:
        return {{"case"_L1, u"checking"_s}};
    case BridgeCLIAvailability::Case::Missing:
        return {{"case"_L1, u"missing"_s}};
    }
    return {};
}

QJsonObject updateStateJson(const BridgePackageUpdateState &state)
{
    QJsonObject object;
    if (state.installedVersion)
        object.insert("installedVersion"_L1, *state.installedVersion);
    if (state.latestVersion)
        object.insert("latestVersion"_L1, *state.latestVersion);
    if (state.errorMessage)
        object.insert("errorMessage"_L1, *state.errorMessage);
    return object;
}

QJsonValue advertisementJson(const std::optional<LocalPairingAnnouncement> &announcement)
{
    if (!announcement)
        return QJsonValue::Null;
    QJsonObject txt;
    for (auto it = announcement->txt.cbegin(); it != announcement->txt.cend(); ++it)
        txt.insert(it.key(), it.value());
    return QJsonObject{{"name"_L1, announcement->name},
                       {"type"_L1, announcement->type},
                       {"domain"_L1, announcement->domain},
                       {"port"_L1, int(announcement->port)},
                       {"txt"_L1, txt}};
}

QString discoveryStateName(LocalPairingDiscovery::State state)
{
    switch (state) {
    case LocalPairingDiscovery::State::Inactive:
        return u"inactive"_s;
    case LocalPairingDiscovery::State::Registering:
        return u"registering"_s;
    case LocalPairingDiscovery::State::Published:
        return u"published"_s;
    case LocalPairingDiscovery::State::Failed:
        return u"failed"_s;
    }
    return {};
}

QJsonObject discoveryJson(const LocalPairingDiscovery &discovery)
{
    QJsonObject object{{"state"_L1, discoveryStateName(discovery.state)}};
    if (discovery.state == LocalPairingDiscovery::State::Failed)
        object.insert("reason"_L1, discovery.reason);
    if (discovery.state == LocalPairingDiscovery::State::Published) {
        QJsonArray interfaces;
        for (const DiscoveryInterface &interface : discovery.interfaces) {
            interfaces.append(QJsonObject{
                {"name"_L1, interface.name},
                {"addresses"_L1, QJsonArray::fromStringList(interface.addresses)},
            });
        }
        object.insert("interfaces"_L1, interfaces);
    }
    return object;
}

} // namespace

HeadlessFrontEnd::HeadlessFrontEnd(BridgeMenuBarStore &store, Options options, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_options(options)
{
    connect(&m_store, &BridgeMenuBarStore::stateChanged, this,
            &HeadlessFrontEnd::printStateIfChanged);
    // Queued: a command that finishes synchronously must not run the next one from inside the
    // store's own notification.
    connect(&m_store, &BridgeMenuBarStore::idleChanged, this, &HeadlessFrontEnd::runQueuedCommands,
            Qt::QueuedConnection);
    startReadingInput();
    printStateIfChanged();
    QTimer::singleShot(0, this, &HeadlessFrontEnd::runQueuedCommands);
}

HeadlessFrontEnd::~HeadlessFrontEnd() = default;

QJsonObject HeadlessFrontEnd::stateJson(const BridgeMenuBarStore &store)
{
    const BridgeMenuBarState &state = store.state();
    const BridgeStatusPresentation &presentation = store.presentation();
    return {
        {"snapshot"_L1, state.snapshot ? QJsonValue(state.snapshot->toJson()) : QJsonValue()},
        {"cliAvailability"_L1, availabilityJson(state.cliAvailability)},
        {"updateState"_L1, updateStateJson(state.updateState)},
        {"codexAppPath"_L1, optionalText(state.codexAppPath)},
        {"relayOverride"_L1, state.relayOverride},
        {"setupStatusMessage"_L1, state.setupStatusMessage},
        {"transientMessage"_L1, state.transientMessage},
        {"errorMessage"_L1, state.errorMessage},
        {"isRefreshing"_L1, state.isRefreshing},
        {"isPerformingAction"_L1, state.isPerformingAction},
        {"isSetupReady"_L1, presentation.isSetupReady},
        {"advertisement"_L1, advertisementJson(state.discovery.announcement)},
        {"discovery"_L1, discoveryJson(state.discovery)},
        {"view"_L1, presentation.toViewJson()},
    };
}

void HeadlessFrontEnd::printStateIfChanged()
{
    const QByteArray line = QJsonDocument(stateJson(m_store)).toJson(QJsonDocument::Compact);
    if (line == m_lastLine)
        return;
    m_lastLine = line;
    // A reader that went away is no reason to stop: the commands still run. (SIGPIPE is
    // ignored, so a closed pipe only makes these calls fail.)
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    std::clearerr(stdout);
}

void HeadlessFrontEnd::enqueueCommand(const QString &line)
{
    m_queue.append(line);
    runQueuedCommands();
}

void HeadlessFrontEnd::runQueuedCommands()
{
    if (m_options.exitWhenIdle && m_store.isIdle()) {
        quit();
        return;
    }
    while (!m_quitting && !m_queue.isEmpty() && m_store.isIdle()) {
        if (!runCommand(m_queue.takeFirst()))
            break;
    }
}

// Runs one command; false when it ended the program.
bool HeadlessFrontEnd::runCommand(const QString &line)
{
    const auto [command, argument] = HeadlessCommand::parse(line);
    if (command == "refresh"_L1)
        m_store.requestRefresh();
    else if (command == "setup"_L1)
        m_store.runFirstRunSetup();
    else if (command == "start"_L1)
        m_store.startBridge();
    else if (command == "stop"_L1)
        m_store.stopBridge();
    else if (command == "resume"_L1)
        m_store.resumeLastThread();
    else if (command == "reset-pairing"_L1)
        m_store.resetPairing();
    else if (command == "update"_L1)
        m_store.updateBridgePackage();
    else if (command == "save-relay"_L1)
        m_store.saveRelayOverride(argument);
    else if (command == "clear-relay"_L1)
        m_store.clearRelayOverride();
    else if (command == "open-logs"_L1)
        m_store.openLogsFolder();
    else if (command == "quit"_L1) {
        quit();
        return false;
    } else if (!command.isEmpty()) {
        std::fprintf(stderr, "pivra-menubar: unknown command: %s\n", qPrintable(line.trimmed()));
    }
    return true;
}

void HeadlessFrontEnd::anotherLaunchLeft()
{
    qCInfo(lcHeadless, "Another launch found this instance running and left");
}

void HeadlessFrontEnd::quit()
{
    if (m_quitting)
        return;
    m_quitting = true;
    m_store.withdrawAnnouncement();
    printStateIfChanged();
    QCoreApplication::exit(0);
}

void HeadlessFrontEnd::startReadingInput()
{
    // Whoever reads our output may go away; that must not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    // A blocking reader thread serves pipes, terminals and files alike; it hands each line to
    // the main thread and is left blocked at exit. It holds at most one line, of bounded length.
    QPointer<HeadlessFrontEnd> self(this);
    std::thread([self] {
        const auto deliver = [self](const HeadlessLineSplitter::Line &line) {
            if (line.overlong) {
                std::fprintf(stderr, "pivra-menubar: a command line over %lld bytes was ignored\n",
                             static_cast<long long>(HeadlessLineSplitter::defaultLimit));
                return;
            }
            QMetaObject::invokeMethod(
                qApp,
                [self, text = QString::fromUtf8(line.text)] {
                    if (self)
                        self->enqueueCommand(text);
                },
                Qt::QueuedConnection);
        };
        HeadlessLineSplitter splitter;
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            for (const HeadlessLineSplitter::Line &line :
                 splitter.feed(QByteArrayView(buffer, got)))
                deliver(line);
        }
        if (const auto last = splitter.finish())
            deliver(*last);
    }).detach();
}
