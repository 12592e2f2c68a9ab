#pragma once

#include "BridgeMenuBarState.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// Everything the panel, the tray label and the headless front end show is derived here from a
// plain copy of the store's state and the current instant, so the three stay in agreement and
// the rules can be checked without a display.

// The named colours of the interface; each front end maps them to its own palette.
enum class StatusTint
{
    Green,
    Orange,
    Yellow,
    Blue,
    Red,
    Gray,
    Pink
};

// "green", "orange", ...: the names the headless output uses.
QString tintName(StatusTint tint);

// Hierarchical text styles, dimmer from primary to tertiary.
enum class TextStyle
{
    Primary,
    Secondary,
    Tertiary
};

struct LabelValue
{
    QString label;
    QString value;

    bool operator==(const LabelValue &) const = default;
};

struct SetupChecklistRow
{
    QString title;
    QString detail;
    bool isComplete = false;

    bool operator==(const SetupChecklistRow &) const = default;
};

struct FeedbackLine
{
    QString text;
    StatusTint tint = StatusTint::Gray;

    bool operator==(const FeedbackLine &) const = default;
};

struct PairingCard
{
    enum class State
    {
        None, // no pairing payload yet
        Live, // the payload's expiry lies after now
        Expired, // expiry at or before now
    };

    State state = State::None;
    std::optional<QString> indicator; // "Ready" or "Expired"; not upper-cased for display
    std::optional<StatusTint> indicatorTint;
    QString text;
    std::optional<StatusTint> textTint; // takes precedence over textStyle
    TextStyle textStyle = TextStyle::Primary;
    // "Published" only when a phone on the network can see the announcement; otherwise what
    // keeps it from seeing it.
    std::optional<QString> discovery;
    // Where it is published: each network interface with this computer's address there, for
    // comparing with the phone's Wi-Fi.
    std::optional<QString> visibleOn;
    // The expiry as a local clock time in the user's short time format, without the date.
    std::optional<QString> renews;

    bool operator==(const PairingCard &) const = default;
};

class BridgeStatusPresentation
{
public:
    static BridgeStatusPresentation make(const BridgeMenuBarState &state, const QDateTime &now);

    // The `view` object of the headless output.
    QJsonObject toViewJson() const;

    bool hasFreshPairingPayload = false;
    QString pairingSetupDetail;
    QString pairingStatusLabel;
    QString setupStateTitle;
    StatusTint setupTint = StatusTint::Yellow;
    QString currentStatusTitle;
    StatusTint statusTint = StatusTint::Yellow;
    QString setupButtonTitle;
    // Also decides whether the controls offer "Update".
    bool updateAvailable = false;

    QList<LabelValue> chips; // "Installed", "Latest", "Network"
    QList<LabelValue> tiles; // "Mac Service", "Connection", "Pairing", "Updated"
    QString networkDescription; // the status card's "Network" row
    QList<SetupChecklistRow> checklist; // "Codex", "Mac Connector", "Connection", "Pairing"
    PairingCard pairing;
    QList<FeedbackLine> feedback;
    // The panel's cards in order, from "header", "setup", "status", "pairing", "advanced",
    // "feedback", "footer".
    QStringList sections;

    // Tray label: an update outranks the connected dot; dimmed while the store is busy.
    std::optional<StatusTint> labelDot;
    bool labelDimmed = false;

    bool operator==(const BridgeStatusPresentation &) const = default;
};

// Each word, delimited by white space or line breaks, gets its first character in title case
// and the rest in lower case; the delimiters stay exactly as they are.
QString capitalizedWords(QStringView text);
