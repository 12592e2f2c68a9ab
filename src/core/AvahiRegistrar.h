#pragma once

#include "LocalPairingDiscovery.h"

#include <functional>
#include <memory>
#include <optional>

// Keeps one DNS-SD service registered with avahi-daemon and finds out where the daemon really
// shows it: after each registration it browses its own service type and resolves its own
// instance, and every result names the interface it was seen on. It survives the daemon going
// away and coming back, and takes the daemon's alternative name on a collision.
//
// Every Avahi object lives on the registrar's own poll thread. want() may be called from any
// thread and never waits for that thread; reports are made on it.
class AvahiRegistrar
{
public:
    struct Wanted
    {
        // Tells reports about an earlier registration from ones about this one.
        quint64 generation = 0;
        LocalPairingAnnouncement announcement;
    };
    struct Report
    {
        quint64 generation = 0;
        // Never Inactive: withdrawing is the owner's own decision.
        LocalPairingDiscovery discovery;
    };
    using Reporter = std::function<void(const Report &report)>;

    explicit AvahiRegistrar(Reporter reporter);
    ~AvahiRegistrar();
    AvahiRegistrar(const AvahiRegistrar &) = delete;
    AvahiRegistrar &operator=(const AvahiRegistrar &) = delete;

    // Registers this announcement in place of any earlier one, or withdraws it.
    void want(std::optional<Wanted> wanted);

private:
    class Worker;
    std::unique_ptr<Worker> m_worker;
};
