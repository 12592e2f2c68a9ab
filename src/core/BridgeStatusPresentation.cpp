#include "BridgeStatusPresentation.h"

#include <QJsonArray>
#include <QLocale>

using namespace Qt::StringLiterals;

QString tintName(StatusTint tint)
{
    switch (tint) {
    case StatusTint::Green:
        return u"green"_s;
    case StatusTint::Orange:
        return u"orange"_s;
    case StatusTint::Yellow:
        return u"yellow"_s;
    case StatusTint::Blue:
        return u"blue"_s;
    case StatusTint::Red:
        return u"red"_s;
    case StatusTint::Gray:
        return u"gray"_s;
    case StatusTint::Pink:
        return u"pink"_s;
    }
    Q_UNREACHABLE();
    return {};
}

QString capitalizedWords(QStringView text)
{
    QString result;
    result.reserve(text.size());
    bool atWordStart = true;
    qsizetype pos = 0;
    while (pos < text.size()) {
        const bool pair = text[pos].isHighSurrogate() && pos + 1 < text.size()
            && text[pos + 1].isLowSurrogate();
        const qsizetype length = pair ? 2 : 1;
        const QStringView unit = text.mid(pos, length);
        const char32_t codePoint
            = pair ? QChar::surrogateToUcs4(unit[0], unit[1]) : unit[0].unicode();
        if (QChar::isSpace(codePoint)) {
            result += unit;
            atWordStart = true;
        } else if (atWordStart) {
            const char32_t title = QChar::toTitleCase(codePoint);
            result += QStringView(QChar::fromUcs4(title));
            atWordStart = false;
        } else {
            result += unit.toString().toLower();
        }
        pos += length;
    }
    return result;
}

namespace {

enum class PayloadState
{
    None,
    Live,
    Expired
};

QString shortLocalTime(qint64 millisecondsSinceEpoch)
{
    const QDateTime expiry = QDateTime::fromMSecsSinceEpoch(millisecondsSinceEpoch).toLocalTime();
    return QLocale::system().toString(expiry.time(), QLocale::ShortFormat);
}

struct Rules
{
    const BridgeMenuBarState &state;
    const QDateTime &now;

    const BridgeSnapshot *snapshot() const { return state.snapshot ? &*state.snapshot : nullptr; }

    const BridgePairingPayload *payload() const
    {
        return snapshot() ? snapshot()->pairingPayload() : nullptr;
    }

    PayloadState payloadState() const
    {
        const BridgePairingPayload *current = payload();
        if (!current)
            return PayloadState::None;
        return current->isLive(now) ? PayloadState::Live : PayloadState::Expired;
    }

    const std::optional<QString> &connectionStatus() const
    {
        static const std::optional<QString> absent;
        const BridgeSnapshot *current = snapshot();
        return current && current->bridgeStatus ? current->bridgeStatus->connectionStatus : absent;
    }

    bool isConnected() const { return snapshot() && snapshot()->isConnected(); }

    bool isAvailable() const { return state.cliAvailability.isAvailable(); }

    QString currentStatusTitle() const
    {
        if (const BridgeSnapshot *current = snapshot()) {
            if (const auto &status = connectionStatus()) {
                if (auto trimmed = nonEmptyTrimmed(*status))
                    return capitalizedWords(*trimmed);
            }
            return current->launchdLoaded ? u"Running"_s : u"Stopped"_s;
        }
        switch (state.cliAvailability.kind()) {
        case BridgeCLIAvailability::Case::Available:
            return u"Loading"_s;
        case BridgeCLIAvailability::Case::Broken:
            return u"Setup Issue"_s;
        case BridgeCLIAvailability::Case::Checking:
            return u"Checking"_s;
        case BridgeCLIAvailability::Case::Missing:
            return u"Setup Needed"_s;
        }
        Q_UNREACHABLE();
        return {};
    }

    StatusTint statusTint() const
    {
        switch (state.cliAvailability.kind()) {
        case BridgeCLIAvailability::Case::Broken:
            return StatusTint::Red;
        case BridgeCLIAvailability::Case::Checking:
            return StatusTint::Yellow;
        case BridgeCLIAvailability::Case::Missing:
            return StatusTint::Orange;
        case BridgeCLIAvailability::Case::Available:
            break;
        }
        if (state.updateState.isUpdateAvailable())
            return StatusTint::Orange;
        if (const auto &status = connectionStatus()) {
            const QString lowered = status->toLower();
            if (lowered == "connected"_L1)
                return StatusTint::Green;
            if (lowered == "connecting"_L1 || lowered == "starting"_L1)
                return StatusTint::Yellow;
            if (lowered == "error"_L1)
                return StatusTint::Red;
        }
        if (snapshot() && snapshot()->launchdLoaded)
            return StatusTint::Blue;
        return StatusTint::Gray;
    }

    QString setupStateTitle(PayloadState payload) const
    {
        if (payload == PayloadState::Live)
            return u"Ready"_s;
        if (payload == PayloadState::Expired)
            return u"Refresh Needed"_s;
        if (state.isPerformingAction)
            return u"Working"_s;
        if (!state.codexAppPath)
            return u"Codex Needed"_s;
        if (isAvailable())
            return u"Almost Ready"_s;
        return u"Setup Needed"_s;
    }

    StatusTint setupTint(PayloadState payload, StatusTint statusTint) const
    {
        if (payload == PayloadState::Live)
            return StatusTint::Green;
        if (payload == PayloadState::Expired)
            return StatusTint::Orange;
        if (state.isPerformingAction)
            return StatusTint::Blue;
        if (!state.codexAppPath)
            return StatusTint::Orange;
        if (isAvailable())
            return statusTint;
        return StatusTint::Yellow;
    }

    QList<LabelValue> chips() const
    {
        const BridgeSnapshot *current = snapshot();
        const QString pending = isAvailable() ? u"..."_s : u"-"_s;

        QString installed = u"-"_s;
        if (current)
            installed = current->currentVersion;
        else if (isAvailable())
            installed = state.cliAvailability.version();

        return {
            {u"Installed"_s, installed},
            {u"Latest"_s, state.updateState.latestVersion.value_or(pending)},
            {u"Network"_s, current ? classifyRelay(current->relayCandidate()) : pending},
        };
    }

    QList<LabelValue> tiles(const QString &pairingStatusLabel) const
    {
        const BridgeSnapshot *current = snapshot();
        return {
            {u"Mac Service"_s, current && current->launchdLoaded ? u"Ready"_s : u"Stopped"_s},
            {u"Connection"_s, connectionStatus().value_or(u"unknown"_s)},
            {u"Pairing"_s, pairingStatusLabel},
            {u"Updated"_s, current ? current->statusFootnote(now) : u"n/a"_s},
        };
    }

    QString networkDescription() const
    {
        const BridgeSnapshot *current = snapshot();
        return current ? classifyRelay(current->relayCandidate()) : u"Not configured yet"_s;
    }

    QList<SetupChecklistRow> checklist(const QString &pairingSetupDetail, bool fresh) const
    {
        const auto &status = connectionStatus();
        return {
            {u"Codex"_s, state.codexAppPath ? u"Found on this Mac"_s : u"Install Codex first"_s,
             state.codexAppPath.has_value()},
            {u"Mac Connector"_s, isAvailable() ? u"Ready"_s : u"Will be prepared automatically"_s,
             isAvailable()},
            {u"Connection"_s, status ? capitalizedWords(*status) : u"Will be started"_s,
             isConnected()},
            {u"Pairing"_s, pairingSetupDetail, fresh},
        };
    }

    PairingCard pairingCard(PayloadState payloadState) const
    {
        PairingCard card;
        switch (payloadState) {
        case PayloadState::Live:
            card.indicator = u"Ready"_s;
            card.indicatorTint = StatusTint::Green;
            card.renews = shortLocalTime(payload()->expiresAt);
            describeDiscovery(card);
            break;
        case PayloadState::Expired:
            card.indicator = u"Expired"_s;
            card.indicatorTint = StatusTint::Orange;
            card.text
                = u"Local discovery expired. Refresh setup so iPhone can find this Mac again."_s;
            card.textTint = StatusTint::Orange;
            break;
        case PayloadState::None:
            card.text = u"Set up this Mac to publish local iPhone discovery."_s;
            card.textStyle = TextStyle::Tertiary;
            break;
        }
        return card;
    }

    // A live code is only as good as the announcement that carries it: the card says
    // "Published" when a phone on the network can see it, and otherwise what is in the way and
    // what the user can do about it.
    void describeDiscovery(PairingCard &card) const
    {
        using State = LocalPairingDiscovery::State;
        using Failure = LocalPairingDiscovery::Failure;
        const LocalPairingDiscovery &discovery = state.discovery;
        const auto problem = [&card](const QString &row, const QString &text) {
            card.discovery = row;
            card.text = text;
            card.textTint = StatusTint::Orange;
        };
        switch (discovery.state) {
        case State::Published:
            if (discovery.isOnNetwork()) {
                card.text = u"iPhone can find this Mac automatically on the same Wi-Fi."_s;
                card.discovery = u"Published"_s;
                card.visibleOn = visibleOn(discovery.interfaces);
            } else if (!discovery.interfaces.isEmpty()) {
                problem(u"This computer only"_s,
                        u"iPhone cannot find this Mac: it is announced only to itself. Connect "
                        u"to the iPhone's Wi-Fi, or add that network to allow-interfaces in "
                        u"/etc/avahi/avahi-daemon.conf."_s);
            } else {
                problem(u"No network"_s,
                        u"iPhone cannot find this Mac: no network carries its announcement. "
                        u"Connect to the same Wi-Fi as the iPhone."_s);
            }
            return;
        case State::Registering:
            card.discovery = u"Announcing..."_s;
            card.text = u"Announcing this Mac on the local network..."_s;
            card.textStyle = TextStyle::Secondary;
            return;
        case State::Inactive:
            card.discovery = u"Not announced"_s;
            card.text = u"iPhone can find this Mac once the Mac connection is connected."_s;
            card.textStyle = TextStyle::Secondary;
            return;
        case State::Failed:
            break;
        }
        switch (discovery.failure) {
        case Failure::NoDaemon:
            problem(u"DNS-SD service stopped"_s,
                    u"iPhone cannot find this Mac: the DNS-SD service (avahi-daemon) is not "
                    u"running. Start it with: sudo systemctl start avahi-daemon"_s);
            return;
        case Failure::NoSystemBus:
            problem(u"System bus not running"_s,
                    u"iPhone cannot find this Mac: the D-Bus system bus is not running, so the "
                    u"DNS-SD service cannot be reached. Start it with: sudo systemctl start "
                    u"dbus"_s);
            return;
        case Failure::Listener:
            problem(u"Announcement failed"_s,
                    u"iPhone cannot find this Mac: no port could be opened for the "
                    u"announcement (%1)."_s.arg(discovery.reason));
            return;
        case Failure::Daemon:
        case Failure::None:
            problem(u"Announcement failed"_s,
                    u"iPhone cannot find this Mac: avahi-daemon refused the announcement "
                    u"(%1)."_s.arg(discovery.reason));
            return;
        }
    }

    // "wlan0 192.168.1.23; eth0 10.0.0.5, fe80::1": the interfaces a phone can see it on.
    static QString visibleOn(const QList<DiscoveryInterface> &interfaces)
    {
        QStringList parts;
        for (const DiscoveryInterface &interface : interfaces) {
            if (interface.isLoopback)
                continue;
            parts.append(QStringList{interface.name, interface.addresses.join(u", "_s)}
                             .join(u' ')
                             .trimmed());
        }
        return parts.join(u"; "_s);
    }

    QList<FeedbackLine> feedback() const
    {
        QList<FeedbackLine> lines;
        if (!state.transientMessage.isEmpty())
            lines.append({state.transientMessage, StatusTint::Green});
        if (!state.errorMessage.isEmpty())
            lines.append({state.errorMessage, StatusTint::Red});
        if (const BridgeSnapshot *current = snapshot();
            current && current->bridgeStatus && current->bridgeStatus->lastError) {
            if (auto lastError = nonEmptyTrimmed(*current->bridgeStatus->lastError))
                lines.append({*lastError, StatusTint::Pink});
        }
        if (const auto &updateError = state.updateState.errorMessage;
            updateError && !updateError->isEmpty())
            lines.append({*updateError, StatusTint::Orange});
        return lines;
    }

    QStringList sections(bool hasFeedback) const
    {
        QStringList names{u"header"_s, u"setup"_s};
        // Status, pairing and the advanced controls mean nothing without a usable tool.
        if (isAvailable())
            names << u"status"_s << u"pairing"_s << u"advanced"_s;
        if (hasFeedback)
            names << u"feedback"_s;
        names << u"footer"_s;
        return names;
    }

    bool isSetupReady(PayloadState payload) const
    {
        return state.codexAppPath && isAvailable() && isConnected()
            && payload == PayloadState::Live;
    }

    std::optional<StatusTint> labelDot() const
    {
        if (state.updateState.isUpdateAvailable())
            return StatusTint::Orange;
        if (isConnected())
            return StatusTint::Green;
        return std::nullopt;
    }
};

QJsonObject labelValueObject(const QList<LabelValue> &pairs)
{
    QJsonObject object;
    for (const LabelValue &pair : pairs)
        object.insert(pair.label, pair.value);
    return object;
}

QJsonValue optionalText(const std::optional<QString> &text)
{
    return text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null);
}

} // namespace

BridgeStatusPresentation BridgeStatusPresentation::make(const BridgeMenuBarState &state,
                                                        const QDateTime &now)
{
    const Rules rules{state, now};
    const PayloadState payload = rules.payloadState();

    BridgeStatusPresentation p;
    p.hasFreshPairingPayload = payload == PayloadState::Live;
    switch (payload) {
    case PayloadState::None:
        p.pairingSetupDetail = u"Waiting for setup"_s;
        p.pairingStatusLabel = u"Waiting"_s;
        break;
    case PayloadState::Expired:
        p.pairingSetupDetail = u"Expired - refresh pairing"_s;
        p.pairingStatusLabel = u"Expired"_s;
        break;
    case PayloadState::Live:
        p.pairingSetupDetail = u"Ready to scan"_s;
        p.pairingStatusLabel = u"Ready"_s;
        break;
    }
    p.currentStatusTitle = rules.currentStatusTitle();
    p.statusTint = rules.statusTint();
    p.setupStateTitle = rules.setupStateTitle(payload);
    p.setupTint = rules.setupTint(payload, p.statusTint);
    p.setupButtonTitle = p.hasFreshPairingPayload ? u"Refresh Pairing"_s : u"Repair Setup"_s;
    p.updateAvailable = state.updateState.isUpdateAvailable();

    p.chips = rules.chips();
    p.tiles = rules.tiles(p.pairingStatusLabel);
    p.networkDescription = rules.networkDescription();
    p.checklist = rules.checklist(p.pairingSetupDetail, p.hasFreshPairingPayload);
    p.pairing = rules.pairingCard(payload);
    p.feedback = rules.feedback();
    p.sections = rules.sections(!p.feedback.isEmpty());

    p.setupProgress = state.setupStatusMessage;
    p.isSetupReady = rules.isSetupReady(payload);
    p.setupWindowSubtitle = p.isSetupReady ? u"Mac connection is ready for iPhone."_s
                                           : u"Keep this window open until setup finishes."_s;
    p.isPerformingAction = state.isPerformingAction;
    if (state.snapshot) {
        p.logPaths = {{u"Output"_s, state.snapshot->stdoutLogPath},
                      {u"Errors"_s, state.snapshot->stderrLogPath}};
    }

    p.labelDot = rules.labelDot();
    p.labelDimmed = state.isRefreshing || state.isPerformingAction;
    return p;
}

QString PairingCard::textStyleName() const
{
    switch (textStyle) {
    case TextStyle::Primary:
        return u"primary"_s;
    case TextStyle::Secondary:
        return u"secondary"_s;
    case TextStyle::Tertiary:
        return u"tertiary"_s;
    }
    return {};
}

QJsonObject BridgeStatusPresentation::toViewJson() const
{
    QJsonObject tilesObject = labelValueObject(tiles);
    tilesObject.insert(u"Network"_s, networkDescription);

    QJsonArray checklistArray;
    for (const SetupChecklistRow &row : checklist) {
        checklistArray.append(QJsonObject{
            {u"title"_s, row.title},
            {u"detail"_s, row.detail},
            {u"complete"_s, row.isComplete},
        });
    }

    QJsonArray feedbackArray;
    for (const FeedbackLine &line : feedback)
        feedbackArray.append(QJsonObject{{u"text"_s, line.text}, {u"tint"_s, tintName(line.tint)}});

    return QJsonObject{
        {u"currentStatusTitle"_s, currentStatusTitle},
        {u"statusTint"_s, tintName(statusTint)},
        {u"setupStateTitle"_s, setupStateTitle},
        {u"setupTint"_s, tintName(setupTint)},
        {u"setupButtonTitle"_s, setupButtonTitle},
        {u"hasFreshPairingPayload"_s, hasFreshPairingPayload},
        {u"updateAvailable"_s, updateAvailable},
        {u"chips"_s, labelValueObject(chips)},
        {u"tiles"_s, tilesObject},
        {u"checklist"_s, checklistArray},
        {u"pairing"_s,
         QJsonObject{
             {u"indicator"_s, optionalText(pairing.indicator)},
             {u"text"_s, pairing.text},
             {u"discovery"_s, optionalText(pairing.discovery)},
             {u"renews"_s, optionalText(pairing.renews)},
         }},
        {u"feedback"_s, feedbackArray},
        {u"sections"_s, QJsonArray::fromStringList(sections)},
    };
}
