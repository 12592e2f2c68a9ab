#pragma once

// A store over a scripted service with a fixed clock, settings in a throwaway folder and opened
// paths recorded instead of opened: the state every store and UI test starts from.
#include "BridgeMenuBarStore.h"
#include "ScriptedBridgeService.h"

#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <memory>

namespace scripted {

struct StoreHarness
{
    QTemporaryDir dir;
    std::shared_ptr<ScriptedService> service = std::make_shared<ScriptedService>();
    QDateTime clock = t0;
    QStringList opened;
    std::unique_ptr<BridgeMenuBarStore> store;

    ~StoreHarness()
    {
        // A failed check returns early; the store's coroutines must finish before it goes.
        if (store)
            (void)waitIdle();
    }

    void make(bool bootstrap = false)
    {
        store = std::make_unique<BridgeMenuBarStore>(BridgeMenuBarStore::Options{
            .service = service,
            .now = [this] { return clock; },
            .refreshInterval = std::chrono::hours(1),
            .pairingPollInterval = std::chrono::milliseconds(1),
            // Store logic does not wait for the loopback daemon; the headless tests do.
            .discoverySettleLimit = std::chrono::milliseconds(0),
            .settingsPath = dir.filePath(QStringLiteral("settings.conf")),
            .openPath = [this](const QString &path) { opened << path; },
            .bootstrap = bootstrap,
        });
    }

    bool waitIdle()
    {
        return QTest::qWaitFor([this] { return store->isIdle(); }, 10000);
    }

    // Runs one refresh to completion.
    bool refresh()
    {
        store->requestRefresh();
        return waitIdle();
    }
};

} // namespace scripted
