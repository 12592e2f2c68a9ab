// How long until a pairing announcement can be resolved: LocalPairingAdvertiser::update() against
// avahi-publish -s publishing the same service, measured side by side on one daemon, round after
// round. Prints every round, the medians and their ratio (the advertiser should stay within 1.2
// times the reference). Needs the loopback test avahi-daemon (see scripts/lib/services.sh).
//
// Usage: bench_advertiser [rounds]

#include "LocalPairingAdvertiser.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QHash>
#include <QLoggingCategory>
#include <QMap>
#include <QProcess>
#include <QSet>

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

using namespace Qt::StringLiterals;
using Clock = std::chrono::steady_clock;

namespace {

// A phone's view: browses _pivra._tcp and resolves every new service on its own Avahi thread,
// noting the instant each name first resolved and whether it is still listed.
class Watcher
{
public:
    Watcher()
        : m_poll(avahi_threaded_poll_new())
    {
        int error = AVAHI_OK;
        m_client = avahi_client_new(avahi_threaded_poll_get(m_poll), AvahiClientFlags(0), nullptr,
                                    nullptr, &error);
        if (!m_client) {
            m_error = QString::fromUtf8(avahi_strerror(error));
            return;
        }
        m_browser = avahi_service_browser_new(m_client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                              "_pivra._tcp", "local", AvahiLookupFlags(0),
                                              &Watcher::onBrowse, this);
        if (!m_browser) {
            m_error = QString::fromUtf8(avahi_strerror(avahi_client_errno(m_client)));
            return;
        }
        avahi_threaded_poll_start(m_poll);
    }

    ~Watcher()
    {
        avahi_threaded_poll_stop(m_poll);
        if (m_client)
            avahi_client_free(m_client); // frees the browser and any resolver still running
        avahi_threaded_poll_free(m_poll);
    }

    QString error() const { return m_error; }

    std::optional<Clock::time_point> resolvedAt(const QString &name)
    {
        std::lock_guard lock(m_mutex);
        if (auto it = m_resolved.constFind(name); it != m_resolved.cend())
            return *it;
        return std::nullopt;
    }

    bool listed(const QString &name)
    {
        std::lock_guard lock(m_mutex);
        return m_listed.contains(name);
    }

private:
    static void onBrowse(AvahiServiceBrowser *, AvahiIfIndex interface, AvahiProtocol protocol,
                         AvahiBrowserEvent event, const char *name, const char *type,
                         const char *domain, AvahiLookupResultFlags, void *userdata)
    {
        auto *watcher = static_cast<Watcher *>(userdata);
        if (event == AVAHI_BROWSER_NEW) {
            {
                std::lock_guard lock(watcher->m_mutex);
                watcher->m_listed.insert(QString::fromUtf8(name));
            }
            avahi_service_resolver_new(watcher->m_client, interface, protocol, name, type, domain,
                                       AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0), &Watcher::onResolve,
                                       watcher);
        } else if (event == AVAHI_BROWSER_REMOVE) {
            std::lock_guard lock(watcher->m_mutex);
            watcher->m_listed.remove(QString::fromUtf8(name));
        }
    }

    static void onResolve(AvahiServiceResolver *resolver, AvahiIfIndex, AvahiProtocol,
                          AvahiResolverEvent event, const char *name, const char *, const char *,
                          const char *, const AvahiAddress *, uint16_t, AvahiStringList *,
                          AvahiLookupResultFlags, void *userdata)
    {
        const Clock::time_point now = Clock::now();
        auto *watcher = static_cast<Watcher *>(userdata);
        if (event == AVAHI_RESOLVER_FOUND) {
            std::lock_guard lock(watcher->m_mutex);
            watcher->m_resolved.insert(QString::fromUtf8(name), now);
        }
        avahi_service_resolver_free(resolver);
    }

    AvahiThreadedPoll *m_poll;
    AvahiClient *m_client = nullptr;
    AvahiServiceBrowser *m_browser = nullptr;
    QString m_error;
    std::mutex m_mutex;
    QHash<QString, Clock::time_point> m_resolved;
    QSet<QString> m_listed;
};

bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
}

BridgeSnapshot snapshotFor(const BridgePairingPayload &payload)
{
    BridgeSnapshot snapshot;
    snapshot.currentVersion = u"1.4.0"_s;
    snapshot.label = u"com.pivra.bridge"_s;
    snapshot.platform = u"darwin"_s;
    snapshot.installed = true;
    snapshot.launchdLoaded = true;
    snapshot.bridgeStatus.emplace().connectionStatus = u"connected"_s;
    snapshot.pairingSession.emplace().pairingPayload = payload;
    return snapshot;
}

BridgePairingPayload payloadFor(const QString &sessionId)
{
    return {.v = 1,
            .relay = u"wss://relay.example/pair"_s,
            .sessionId = sessionId,
            .macDeviceId = u"mac-device-bench"_s,
            .macIdentityPublicKey = u"MCowBQYDK2VwAyEAbenchmarkkey="_s,
            .expiresAt = QDateTime::currentMSecsSinceEpoch() + 3600 * 1000};
}

double milliseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

constexpr std::chrono::seconds resolveTimeout(15);

std::optional<double> timeAdvertiser(LocalPairingAdvertiser &advertiser, Watcher &watcher,
                                     const QString &tag)
{
    const QString name = u"Pivra Bench "_s + tag;
    advertiser.setComputerNameSource([tag] { return std::optional(u"Bench "_s + tag); });
    const BridgeSnapshot snapshot = snapshotFor(payloadFor(u"session-"_s + tag));
    const Clock::time_point start = Clock::now();
    advertiser.update(snapshot);
    const bool resolved
        = waitUntil([&] { return watcher.resolvedAt(name).has_value(); }, resolveTimeout);
    advertiser.stop();
    waitUntil([&] { return !watcher.listed(name); }, std::chrono::seconds(5));
    if (!resolved)
        return std::nullopt;
    return milliseconds(*watcher.resolvedAt(name) - start);
}

std::optional<double> timeReference(Watcher &watcher, const QString &tag)
{
    const QString name = u"Pivra Bench "_s + tag;
    QStringList arguments{u"-s"_s, name, u"_pivra._tcp"_s, u"49152"_s};
    const QMap<QString, QString> txt
        = LocalPairingAdvertiser::txtRecord(payloadFor(u"session-"_s + tag));
    for (auto it = txt.cbegin(); it != txt.cend(); ++it)
        arguments.append(it.key() + u'=' + it.value());
    QProcess publisher;
    publisher.setStandardOutputFile(QProcess::nullDevice());
    publisher.setStandardErrorFile(QProcess::nullDevice());
    const Clock::time_point start = Clock::now();
    publisher.start(u"avahi-publish"_s, arguments);
    const bool resolved
        = waitUntil([&] { return watcher.resolvedAt(name).has_value(); }, resolveTimeout);
    publisher.terminate();
    publisher.waitForFinished();
    waitUntil([&] { return !watcher.listed(name); }, std::chrono::seconds(5));
    if (!resolved)
        return std::nullopt;
    return milliseconds(*watcher.resolvedAt(name) - start);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 15;

    Watcher watcher;
    if (!watcher.error().isEmpty()) {
        std::fprintf(stderr, "bench_advertiser: no Avahi daemon to browse: %s\n",
                     qPrintable(watcher.error()));
        return 1;
    }
    // Silence the advertiser's own log lines; the table is the output.
    QLoggingCategory::setFilterRules(u"com.pivra.menubar.LocalPairingAdvertiser.info=false"_s);

    // One advertiser for the whole run, as the store keeps it. The first round of each side
    // (the advertiser's client connecting, the tool loading) is a warm-up and not counted.
    LocalPairingAdvertiser advertiser;
    const qint64 run = QDateTime::currentMSecsSinceEpoch() % 100000;
    QList<double> ours;
    QList<double> reference;
    std::printf("round  advertiser ms  avahi-publish ms\n");
    for (int round = 0; round <= rounds; ++round) {
        const QString tag = QString::number(run) + u'-' + QString::number(round);
        // Alternate which side goes first so that neither always meets a daemon just busied.
        std::optional<double> a;
        std::optional<double> b;
        if (round % 2) {
            b = timeReference(watcher, u"R"_s + tag);
            a = timeAdvertiser(advertiser, watcher, u"A"_s + tag);
        } else {
            a = timeAdvertiser(advertiser, watcher, u"A"_s + tag);
            b = timeReference(watcher, u"R"_s + tag);
        }
        if (!a || !b) {
            std::fprintf(stderr, "bench_advertiser: round %d: %s never became resolvable\n", round,
                         !a ? "the advertiser's service" : "avahi-publish's service");
            return 1;
        }
        std::printf("%5s  %13.1f  %16.1f\n", round ? qPrintable(QString::number(round)) : "warm",
                    *a, *b);
        if (round) {
            ours.append(*a);
            reference.append(*b);
        }
    }
    const double ratio = median(ours) / median(reference);
    std::printf("median %13.1f  %16.1f\n", median(ours), median(reference));
    std::printf("ratio advertiser / avahi-publish: %.3f (target at most 1.2)\n", ratio);
    return 0;
}
