#include "AvahiRegistrar.h"

#include "Logging.h"

#include <QNetworkInterface>

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/address.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <map>
#include <mutex>

using namespace Qt::StringLiterals;

namespace {

using State = LocalPairingDiscovery::State;
using Failure = LocalPairingDiscovery::Failure;

// While no system bus answers at all, a new client is tried this often.
constexpr unsigned clientRetryMilliseconds = 2000;
// A name that keeps colliding this often is given up rather than renamed forever.
constexpr int maximumRenames = 20;
// The self-browse normally settles within about a second of the registration; a daemon that
// never says so must not leave the announcement "registering" for good.
constexpr unsigned settleMilliseconds = 3000;

template <auto Free>
struct AvahiDeleter
{
    template <typename T>
    void operator()(T *object) const
    {
        if (object)
            Free(object);
    }
};

using ThreadedPollPtr = std::unique_ptr<AvahiThreadedPoll, AvahiDeleter<avahi_threaded_poll_free>>;
using ClientPtr = std::unique_ptr<AvahiClient, AvahiDeleter<avahi_client_free>>;
using EntryGroupPtr = std::unique_ptr<AvahiEntryGroup, AvahiDeleter<avahi_entry_group_free>>;
using BrowserPtr = std::unique_ptr<AvahiServiceBrowser, AvahiDeleter<avahi_service_browser_free>>;
using ResolverPtr
    = std::unique_ptr<AvahiServiceResolver, AvahiDeleter<avahi_service_resolver_free>>;
using StringListPtr = std::unique_ptr<AvahiStringList, AvahiDeleter<avahi_string_list_free>>;
using AvahiTextPtr = std::unique_ptr<char, AvahiDeleter<avahi_free>>;

QString avahiError(int error)
{
    return QString::fromUtf8(avahi_strerror(error));
}

StringListPtr toStringList(const QMap<QString, QString> &txt)
{
    AvahiStringList *list = nullptr;
    for (auto it = txt.cbegin(); it != txt.cend(); ++it) {
        const QByteArray key = it.key().toUtf8();
        const QByteArray value = it.value().toUtf8();
        list = avahi_string_list_add_pair_arbitrary(
            list, key.constData(), reinterpret_cast<const uint8_t *>(value.constData()),
            size_t(value.size()));
    }
    return StringListPtr(list);
}

bool isConnected(AvahiClient *client)
{
    switch (avahi_client_get_state(client)) {
    case AVAHI_CLIENT_S_REGISTERING:
    case AVAHI_CLIENT_S_RUNNING:
    case AVAHI_CLIENT_S_COLLISION:
        return true;
    case AVAHI_CLIENT_FAILURE:
    case AVAHI_CLIENT_CONNECTING:
        break;
    }
    return false;
}

} // namespace

class AvahiRegistrar::Worker
{
public:
    explicit Worker(Reporter reporter)
        : m_reporter(std::move(reporter))
        , m_poll(avahi_threaded_poll_new())
        , m_wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    {
        if (!m_poll || m_wakeFd < 0) {
            qCCritical(lcAdvertiser, "Local pairing Bonjour listener failed: %s",
                       "cannot start the DNS-SD thread");
            return;
        }
        m_api = avahi_threaded_poll_get(m_poll.get());
        // Created before the thread runs, so no lock is needed.
        m_api->watch_new(m_api, m_wakeFd, AVAHI_WATCH_IN, &Worker::onWake, this);
        m_retry = m_api->timeout_new(m_api, nullptr, &Worker::onRetry, this);
        m_settle = m_api->timeout_new(m_api, nullptr, &Worker::onSettleTimeout, this);
        m_running = avahi_threaded_poll_start(m_poll.get()) == 0;
    }

    ~Worker()
    {
        if (m_running)
            avahi_threaded_poll_stop(m_poll.get());
        // The thread is gone: free children before their client, the poll (with its watch and
        // timeouts) last.
        releaseClientObjects();
        m_client.reset();
        m_poll.reset();
        if (m_wakeFd >= 0)
            close(m_wakeFd);
    }

    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    void want(std::optional<Wanted> wanted)
    {
        {
            std::lock_guard lock(m_mutex);
            m_wanted = std::move(wanted);
        }
        if (m_running)
            eventfd_write(m_wakeFd, 1);
    }

private:
    // One place where the daemon shows our instance: an interface and an address family.
    struct Sighting
    {
        ResolverPtr resolver;
        std::optional<QString> address;
        bool resolved = false;
    };
    using SightingKey = std::pair<AvahiIfIndex, AvahiProtocol>;

    static Worker *self(void *userdata) { return static_cast<Worker *>(userdata); }

    static void onWake(AvahiWatch *, int fd, AvahiWatchEvent, void *userdata)
    {
        eventfd_t count;
        eventfd_read(fd, &count);
        Worker *worker = self(userdata);
        {
            std::lock_guard lock(worker->m_mutex);
            worker->m_target = worker->m_wanted;
        }
        worker->reconcile();
    }

    static void onRetry(AvahiTimeout *, void *userdata) { self(userdata)->reconcile(); }

    static void onSettleTimeout(AvahiTimeout *, void *userdata)
    {
        Worker *worker = self(userdata);
        worker->m_browseSettled = true;
        for (auto &[key, sighting] : worker->m_sightings)
            sighting.resolved = true;
        worker->reportWhereSeen();
    }

    static void onClientState(AvahiClient *client, AvahiClientState state, void *userdata)
    {
        Worker *worker = self(userdata);
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            worker->m_lastFailure.clear();
            // During avahi_client_new the client is not stored yet; reconcile() carries on
            // once it is.
            if (worker->m_client.get() == client)
                worker->reconcile();
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host name is being (re)registered; services go back up once it runs again.
            worker->dropRegistration();
            if (worker->m_target)
                worker->report(LocalPairingDiscovery::registering());
            break;
        case AVAHI_CLIENT_CONNECTING:
            worker->dropRegistration();
            if (worker->m_target)
                worker->fail(Failure::NoDaemon, u"avahi-daemon is not running."_s);
            break;
        case AVAHI_CLIENT_FAILURE:
            // A client that lost its daemon never comes back by itself. It must not be freed
            // inside its own callback, so a fresh one is made from the poll loop; while nothing
            // is to be published, the next publication makes it.
            worker->dropRegistration();
            if (worker->m_target) {
                worker->fail(Failure::NoDaemon, u"avahi-daemon is not running."_s);
                worker->armRetry(0);
            }
            break;
        }
    }

    static void onGroupState(AvahiEntryGroup *group, AvahiEntryGroupState state, void *userdata)
    {
        Worker *worker = self(userdata);
        if (group != worker->m_group.get() || worker->m_registeredGeneration == 0)
            return;
        switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            worker->m_established = true;
            worker->logChange(u"added "_s + worker->fullName());
            worker->browseForOwnInstance();
            break;
        case AVAHI_ENTRY_GROUP_COLLISION: {
            // Another host announces this name: take Avahi's alternative and register again.
            const QString previous = worker->fullName();
            worker->rename();
            worker->logChange(u"name conflict, renamed "_s + previous + u" to "_s
                              + worker->fullName());
            worker->stopBrowsing();
            worker->m_established = false;
            avahi_entry_group_reset(group);
            worker->addAndCommit();
            break;
        }
        case AVAHI_ENTRY_GROUP_FAILURE:
            worker->stopBrowsing();
            worker->m_established = false;
            worker->fail(Failure::Daemon,
                         avahiError(avahi_client_errno(avahi_entry_group_get_client(group))));
            break;
        case AVAHI_ENTRY_GROUP_UNCOMMITED:
        case AVAHI_ENTRY_GROUP_REGISTERING:
            break;
        }
    }

    static void onBrowse(AvahiServiceBrowser *browser, AvahiIfIndex interface,
                         AvahiProtocol protocol, AvahiBrowserEvent event, const char *name,
                         const char *type, const char *domain, AvahiLookupResultFlags flags,
                         void *userdata)
    {
        Worker *worker = self(userdata);
        if (browser != worker->m_browser.get())
            return;
        switch (event) {
        case AVAHI_BROWSER_NEW:
        case AVAHI_BROWSER_REMOVE: {
            // Only our own instance counts: the daemon refuses a second local service of the
            // same name, so a local one with our name is ours. (A removal carries no flags.)
            if (QString::fromUtf8(name) != worker->m_name)
                return;
            const SightingKey key{interface, protocol};
            if (event == AVAHI_BROWSER_REMOVE) {
                worker->m_sightings.erase(key);
            } else if ((flags & AVAHI_LOOKUP_RESULT_LOCAL) && !worker->m_sightings.contains(key)) {
                Sighting &sighting = worker->m_sightings[key];
                // The resolver stays while the instance is seen there and reports an address
                // that changes.
                sighting.resolver.reset(avahi_service_resolver_new(
                    worker->m_client.get(), interface, protocol, name, type, domain, protocol,
                    AvahiLookupFlags(0), &Worker::onResolve, worker));
                sighting.resolved = !sighting.resolver;
            }
            worker->reportWhereSeen();
            break;
        }
        case AVAHI_BROWSER_ALL_FOR_NOW:
            worker->m_browseSettled = true;
            worker->reportWhereSeen();
            break;
        case AVAHI_BROWSER_FAILURE:
            qCWarning(lcAdvertiser, "Local pairing Bonjour registration changed: %s",
                      qUtf8Printable(u"cannot browse for the announcement: "_s
                                     + avahiError(avahi_client_errno(worker->m_client.get()))));
            worker->m_browseSettled = true;
            worker->reportWhereSeen();
            break;
        case AVAHI_BROWSER_CACHE_EXHAUSTED:
            break;
        }
    }

    static void onResolve(AvahiServiceResolver *resolver, AvahiIfIndex interface,
                          AvahiProtocol protocol, AvahiResolverEvent event, const char *,
                          const char *, const char *, const char *, const AvahiAddress *address,
                          uint16_t, AvahiStringList *, AvahiLookupResultFlags, void *userdata)
    {
        Worker *worker = self(userdata);
        const auto found = worker->m_sightings.find({interface, protocol});
        if (found == worker->m_sightings.end() || found->second.resolver.get() != resolver)
            return;
        Sighting &sighting = found->second;
        sighting.resolved = true;
        if (event == AVAHI_RESOLVER_FOUND && address) {
            char text[AVAHI_ADDRESS_STR_MAX];
            avahi_address_snprint(text, sizeof text, address);
            sighting.address = QString::fromUtf8(text);
        }
        worker->reportWhereSeen();
    }

    // Brings the daemon in line with m_target. Runs on the poll thread, never inside a client
    // callback that could free the client.
    void reconcile()
    {
        if (!m_target) {
            dropRegistration();
            m_group.reset();
            m_api->timeout_update(m_retry, nullptr);
            m_lastReport.reset();
            return;
        }
        if (m_client && avahi_client_get_state(m_client.get()) == AVAHI_CLIENT_FAILURE) {
            releaseClientObjects();
            m_client.reset();
        }
        if (!m_client) {
            int error = AVAHI_OK;
            // NO_FAIL: without a daemon the client waits for one to appear. It still fails when
            // there is no system bus at all, hence the timer.
            m_client.reset(avahi_client_new(m_api, AVAHI_CLIENT_NO_FAIL, &Worker::onClientState,
                                            this, &error));
            if (!m_client) {
                fail(Failure::NoSystemBus, u"The D-Bus system bus is not running."_s);
                armRetry(clientRetryMilliseconds);
                return;
            }
        }
        switch (avahi_client_get_state(m_client.get())) {
        case AVAHI_CLIENT_S_RUNNING:
            break;
        case AVAHI_CLIENT_FAILURE:
            fail(Failure::NoDaemon, u"avahi-daemon is not running."_s);
            armRetry(clientRetryMilliseconds);
            return;
        default:
            return; // the client's callback calls back in once the daemon runs
        }
        if (m_group && m_registeredGeneration == m_target->generation)
            return;
        registerService();
    }

    void registerService()
    {
        dropRegistration();
        m_lastFailure.clear();
        m_registeredGeneration = m_target->generation;
        m_registered = m_target->announcement;
        m_name = m_registered.name;
        // A fresh group per publication: state reports still on their way for the old one then
        // name a group that no longer exists and are dropped.
        m_group.reset(avahi_entry_group_new(m_client.get(), &Worker::onGroupState, this));
        if (!m_group) {
            fail(Failure::Daemon, avahiError(avahi_client_errno(m_client.get())));
            return;
        }
        addAndCommit();
    }

    void addAndCommit()
    {
        const LocalPairingAnnouncement &announcement = m_registered;
        const StringListPtr txt = toStringList(announcement.txt);
        const QByteArray type = announcement.type.toUtf8();
        const QByteArray domain = announcement.domain.toUtf8();
        int result = AVAHI_OK;
        for (int renames = 0;; ++renames) {
            result = avahi_entry_group_add_service_strlst(
                m_group.get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                m_name.toUtf8().constData(), type.constData(), domain.constData(), nullptr,
                announcement.port, txt.get());
            // A name already taken on this daemon is refused at once rather than reported as a
            // collision later.
            if (result != AVAHI_ERR_COLLISION || renames == maximumRenames)
                break;
            const QString previous = fullName();
            rename();
            logChange(u"name conflict, renamed "_s + previous + u" to "_s + fullName());
        }
        if (result == AVAHI_OK)
            result = avahi_entry_group_commit(m_group.get());
        if (result != AVAHI_OK) {
            fail(Failure::Daemon, avahiError(result));
            avahi_entry_group_reset(m_group.get());
            return;
        }
        qCInfo(lcAdvertiser, "Local pairing Bonjour listener is ready");
        report(LocalPairingDiscovery::registering());
    }

    void rename()
    {
        const AvahiTextPtr next(avahi_alternative_service_name(m_name.toUtf8().constData()));
        if (next)
            m_name = QString::fromUtf8(next.get());
    }

    // A fresh browse per registration, so that its "all for now" says when every interface
    // the daemon shows the new instance on has been seen.
    void browseForOwnInstance()
    {
        stopBrowsing();
        const QByteArray type = m_registered.type.toUtf8();
        const QByteArray domain = m_registered.domain.toUtf8();
        m_browser.reset(avahi_service_browser_new(
            m_client.get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type.constData(),
            domain.constData(), AvahiLookupFlags(0), &Worker::onBrowse, this));
        if (!m_browser) {
            m_browseSettled = true;
            reportWhereSeen();
            return;
        }
        struct timeval when;
        avahi_elapse_time(&when, settleMilliseconds, 0);
        m_api->timeout_update(m_settle, &when);
    }

    void stopBrowsing()
    {
        m_sightings.clear();
        m_browser.reset();
        m_browseSettled = false;
        if (m_api)
            m_api->timeout_update(m_settle, nullptr);
    }

    // Published, with where it is seen, once the first browse has settled; after that every
    // change of where it is seen.
    void reportWhereSeen()
    {
        if (!m_established || !m_browseSettled)
            return;
        for (const auto &[key, sighting] : m_sightings) {
            if (!sighting.resolved)
                return;
        }
        m_api->timeout_update(m_settle, nullptr);
        LocalPairingAnnouncement announcement = m_registered;
        announcement.name = m_name;
        report(LocalPairingDiscovery::published(announcement, interfacesSeen()));
    }

    QList<DiscoveryInterface> interfacesSeen() const
    {
        std::map<QString, DiscoveryInterface> byName;
        for (const auto &[key, sighting] : m_sightings) {
            const QNetworkInterface interface = QNetworkInterface::interfaceFromIndex(key.first);
            // An interface that has just gone away no longer has a name.
            if (!interface.isValid())
                continue;
            DiscoveryInterface &seen = byName[interface.name()];
            seen.name = interface.name();
            seen.isLoopback = interface.flags().testFlag(QNetworkInterface::IsLoopBack);
            if (sighting.address && !seen.addresses.contains(*sighting.address))
                seen.addresses.append(*sighting.address);
        }
        QList<DiscoveryInterface> interfaces;
        for (auto &[name, seen] : byName) {
            // IPv4 before IPv6: the address a user compares with the phone's Wi-Fi first.
            std::stable_sort(seen.addresses.begin(), seen.addresses.end(),
                             [](const QString &a, const QString &b) {
                                 return !a.contains(u':') && b.contains(u':');
                             });
            interfaces.append(seen);
        }
        return interfaces;
    }

    // Withdraws whatever this client has registered. Safe inside callbacks: the group is only
    // reset, never freed.
    void dropRegistration()
    {
        stopBrowsing();
        if (m_group && m_client && isConnected(m_client.get()))
            avahi_entry_group_reset(m_group.get());
        if (m_established)
            logChange(u"removed "_s + fullName());
        m_established = false;
        m_registeredGeneration = 0;
    }

    // Children of the client, which frees them itself when it goes.
    void releaseClientObjects()
    {
        stopBrowsing();
        m_group.reset();
    }

    void report(LocalPairingDiscovery discovery)
    {
        if (!m_target)
            return;
        const Report next{m_target->generation, std::move(discovery)};
        if (m_lastReport && m_lastReport->generation == next.generation
            && m_lastReport->discovery == next.discovery)
            return;
        m_lastReport = next;
        m_reporter(next);
    }

    // Logs a failure once; the same failure repeated by a retry is not logged again.
    void fail(Failure failure, const QString &reason)
    {
        if (reason != m_lastFailure) {
            m_lastFailure = reason;
            qCCritical(lcAdvertiser, "Local pairing Bonjour listener failed: %s",
                       qUtf8Printable(reason));
        }
        report(LocalPairingDiscovery::failed(failure, reason));
    }

    void logChange(const QString &change)
    {
        qCInfo(lcAdvertiser, "Local pairing Bonjour registration changed: %s",
               qUtf8Printable(change));
    }

    QString fullName() const
    {
        return m_name + u'.' + m_registered.type + u'.' + m_registered.domain;
    }

    void armRetry(unsigned milliseconds)
    {
        struct timeval when;
        avahi_elapse_time(&when, milliseconds, 0);
        m_api->timeout_update(m_retry, &when);
    }

    const Reporter m_reporter;
    ThreadedPollPtr m_poll;
    const int m_wakeFd;
    const AvahiPoll *m_api = nullptr;
    AvahiTimeout *m_retry = nullptr;
    AvahiTimeout *m_settle = nullptr;
    bool m_running = false;

    std::mutex m_mutex;
    std::optional<Wanted> m_wanted; // guarded by m_mutex

    // Poll thread only.
    std::optional<Wanted> m_target;
    ClientPtr m_client;
    EntryGroupPtr m_group;
    BrowserPtr m_browser;
    std::map<SightingKey, Sighting> m_sightings;
    quint64 m_registeredGeneration = 0; // 0: nothing added to the group
    LocalPairingAnnouncement m_registered;
    QString m_name; // the registered name, after any renames
    bool m_established = false;
    bool m_browseSettled = false;
    QString m_lastFailure;
    std::optional<Report> m_lastReport;
};

AvahiRegistrar::AvahiRegistrar(Reporter reporter)
    : m_worker(std::make_unique<Worker>(std::move(reporter)))
{
}

AvahiRegistrar::~AvahiRegistrar() = default;

void AvahiRegistrar::want(std::optional<Wanted> wanted)
{
    m_worker->want(std::move(wanted));
}
