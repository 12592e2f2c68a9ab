#pragma once

#include "BridgeControlModels.h"
#include "LocalPairingDiscovery.h"

#include <QString>

#include <optional>

// The store's whole observable state as one plain value: what every front end shows is derived
// from it and the current instant.
struct BridgeMenuBarState
{
    std::optional<BridgeSnapshot> snapshot;
    BridgePackageUpdateState updateState;
    BridgeCLIAvailability cliAvailability = BridgeCLIAvailability::checking();
    std::optional<QString> codexAppPath;
    QString relayOverride;
    bool isRefreshing = false;
    bool isPerformingAction = false;
    QString setupStatusMessage;
    QString transientMessage;
    QString errorMessage;
    // Where the pairing announcement stands, as the advertiser last said.
    LocalPairingDiscovery discovery;

    bool operator==(const BridgeMenuBarState &) const = default;
};
