#pragma once

#include "BridgeMenuBarState.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include <optional>

// Everything the panel, the setup window, the tray label and the headless front end show is
// derived here from the store's state and one instant, so they stay in agreement and the rules
// can be checked without a display. The records are gadgets: the Qt Quick views bind to their
// properties by name, and the headless front end writes the same values as JSON.

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

// "green", "orange", ...: the names the headless output and the views use.
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
    Q_GADGET
    Q_PROPERTY(QString label MEMBER label CONSTANT)
    Q_PROPERTY(QString value MEMBER value CONSTANT)

public:
    QString label;
    QString value;

    bool operator==(const LabelValue &) const = default;
};

struct SetupChecklistRow
{
    Q_GADGET
    Q_PROPERTY(QString title MEMBER title CONSTANT)
    Q_PROPERTY(QString detail MEMBER detail CONSTANT)
    Q_PROPERTY(bool isComplete MEMBER isComplete CONSTANT)

public:
    QString title;
    QString detail;
    bool isComplete = false;

    bool operator==(const SetupChecklistRow &) const = default;
};

struct FeedbackLine
{
    Q_GADGET
    Q_PROPERTY(QString text MEMBER text CONSTANT)
    Q_PROPERTY(QString tint READ tintName CONSTANT)

public:
    QString text;
    StatusTint tint = StatusTint::Gray;

    QString tintName() const { return ::tintName(tint); }
    bool operator==(const FeedbackLine &) const = default;
};

// The pairing card. For the views an absent text reads as an empty one.
struct PairingCard
{
    Q_GADGET
    Q_PROPERTY(QString indicator READ indicatorText CONSTANT)
    Q_PROPERTY(QString indicatorTint READ indicatorTintName CONSTANT)
    Q_PROPERTY(QString text MEMBER text CONSTANT)
    Q_PROPERTY(QString textTint READ textTintName CONSTANT)
    Q_PROPERTY(QString textStyle READ textStyleName CONSTANT)
    Q_PROPERTY(QString discovery READ discoveryText CONSTANT)
    Q_PROPERTY(QString visibleOn READ visibleOnText CONSTANT)
    Q_PROPERTY(QString renews READ renewsText CONSTANT)

public:
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

    QString indicatorText() const { return indicator.value_or(QString()); }
    QString indicatorTintName() const
    {
        return indicatorTint ? tintName(*indicatorTint) : QString();
    }
    QString textTintName() const { return textTint ? tintName(*textTint) : QString(); }
    QString textStyleName() const;
    QString discoveryText() const { return discovery.value_or(QString()); }
    QString visibleOnText() const { return visibleOn.value_or(QString()); }
    QString renewsText() const { return renews.value_or(QString()); }
    bool operator==(const PairingCard &) const = default;
};

class BridgeStatusPresentation
{
    Q_GADGET
    Q_PROPERTY(QString currentStatusTitle MEMBER currentStatusTitle CONSTANT)
    Q_PROPERTY(QString statusTint READ statusTintName CONSTANT)
    Q_PROPERTY(QString setupStateTitle MEMBER setupStateTitle CONSTANT)
    Q_PROPERTY(QString setupTint READ setupTintName CONSTANT)
    Q_PROPERTY(QString setupButtonTitle MEMBER setupButtonTitle CONSTANT)
    Q_PROPERTY(QString setupProgress MEMBER setupProgress CONSTANT)
    Q_PROPERTY(bool isSetupReady MEMBER isSetupReady CONSTANT)
    Q_PROPERTY(QString setupWindowSubtitle MEMBER setupWindowSubtitle CONSTANT)
    Q_PROPERTY(bool isPerformingAction MEMBER isPerformingAction CONSTANT)
    Q_PROPERTY(bool updateAvailable MEMBER updateAvailable CONSTANT)
    Q_PROPERTY(QList<LabelValue> chips MEMBER chips CONSTANT)
    Q_PROPERTY(QList<LabelValue> tiles MEMBER tiles CONSTANT)
    Q_PROPERTY(QString networkDescription MEMBER networkDescription CONSTANT)
    Q_PROPERTY(QList<SetupChecklistRow> checklist MEMBER checklist CONSTANT)
    Q_PROPERTY(PairingCard pairing MEMBER pairing CONSTANT)
    Q_PROPERTY(QList<FeedbackLine> feedback MEMBER feedback CONSTANT)
    Q_PROPERTY(QStringList sections MEMBER sections CONSTANT)
    Q_PROPERTY(QList<LabelValue> logPaths MEMBER logPaths CONSTANT)

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
    // The setup card's progress line; nothing shows while it is empty.
    QString setupProgress;
    // Codex found, the tool available, the bridge connected and its pairing payload live: the
    // setup window may close.
    bool isSetupReady = false;
    QString setupWindowSubtitle;
    // No second action starts while one runs: the setup button and the footer's refresh wait.
    bool isPerformingAction = false;
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
    // The diagnostics card's "Output" and "Errors" rows; none without a snapshot.
    QList<LabelValue> logPaths;

    // Tray label: an update outranks the connected dot; dimmed while the store is busy.
    std::optional<StatusTint> labelDot;
    bool labelDimmed = false;

    QString statusTintName() const { return tintName(statusTint); }
    QString setupTintName() const { return tintName(setupTint); }
    bool operator==(const BridgeStatusPresentation &) const = default;
};

// Each word, delimited by white space or line breaks, gets its first character in title case
// and the rest in lower case; the delimiters stay exactly as they are.
QString capitalizedWords(QStringView text);
