#include "LocalPairingAdvertiser.h"

#include <QFile>
#include <QLoggingCategory>
#include <QSysInfo>
#include <QTcpServer>
#include <QTcpSocket>

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <mutex>

using namespace Qt::StringLiterals;

Q_LOGGING_CATEGORY(lcAdvertiser, "com.pivra.menubar.LocalPairingAdvertiser")

namespace {

constexpr auto serviceType = "_pivra._tcp"_L1;
constexpr auto serviceDomain = "local"_L1;

// While no system bus answers at all, a new client is tried this often.
constexpr unsigned clientRetryMilliseconds = 2000;
// A name that keeps colliding this often is given up rather than renamed forever.
constexpr int maximumRenames = 20;

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

QString fullName(const QString &name)
{
    return name + u'.' + serviceType + u'.' + serviceDomain;
}

} // namespace

// The Avahi side. Every Avahi object lives on the threaded poll's thread and is touched only
// there; the main thread hands over what it wants registered through a mutex-guarded slot and an
// eventfd, so it never waits on the poll's lock, which is held across blocking D-Bus calls.
class LocalPairingAdvertiser::Registrar
{
public:
    struct Wanted
    {
        quint64 generation = 0;
        Announcement announcement;
    };
    // Called on the poll thread with the name now registered, or nothing when it was withdrawn.
    using Report = std::function<void(quint64 generation, std::optional<QString> name)>;

    explicit Registrar(Report report)
        : m_report(std::move(report))
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
        m_api->watch_new(m_api, m_wakeFd, AVAHI_WATCH_IN, &Registrar::onWake, this);
        m_retry = m_api->timeout_new(m_api, nullptr, &Registrar::onRetry, this);
        m_running = avahi_threaded_poll_start(m_poll.get()) == 0;
    }

    ~Registrar()
    {
        if (m_running)
            avahi_threaded_poll_stop(m_poll.get());
        // The thread is gone: free in dependency order here, the poll (with its watch and
        // timeout) last.
        m_group.reset();
        m_client.reset();
        m_poll.reset();
        if (m_wakeFd >= 0)
            close(m_wakeFd);
    }

    Registrar(const Registrar &) = delete;
    Registrar &operator=(const Registrar &) = delete;

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
    static Registrar *self(void *userdata) { return static_cast<Registrar *>(userdata); }

    static void onWake(AvahiWatch *, int fd, AvahiWatchEvent, void *userdata)
    {
        eventfd_t count;
        eventfd_read(fd, &count);
        Registrar *registrar = self(userdata);
        {
            std::lock_guard lock(registrar->m_mutex);
            registrar->m_target = registrar->m_wanted;
        }
        registrar->reconcile();
    }

    static void onRetry(AvahiTimeout *, void *userdata) { self(userdata)->reconcile(); }

    static void onClientState(AvahiClient *client, AvahiClientState state, void *userdata)
    {
        Registrar *registrar = self(userdata);
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            registrar->m_lastFailure.clear();
            // During avahi_client_new the client is not stored yet; reconcile() carries on
            // once it is.
            if (registrar->m_client.get() == client)
                registrar->reconcile();
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host name is being (re)registered; services go back up once it runs again.
            registrar->dropRegistration();
            break;
        case AVAHI_CLIENT_CONNECTING:
            registrar->dropRegistration();
            if (registrar->m_target)
                registrar->reportFailure(avahiError(AVAHI_ERR_NO_DAEMON));
            break;
        case AVAHI_CLIENT_FAILURE:
            // A client that lost its daemon never comes back by itself. It must not be freed
            // inside its own callback, so a fresh one is made from the poll loop; while nothing
            // is to be published, the next publication makes it.
            registrar->dropRegistration();
            if (registrar->m_target) {
                registrar->reportFailure(avahiError(avahi_client_errno(client)));
                registrar->armRetry(0);
            }
            break;
        }
    }

    static void onGroupState(AvahiEntryGroup *group, AvahiEntryGroupState state, void *userdata)
    {
        Registrar *registrar = self(userdata);
        if (group != registrar->m_group.get() || registrar->m_registeredGeneration == 0)
            return;
        switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            registrar->m_established = true;
            qCInfo(lcAdvertiser, "Local pairing Bonjour registration changed: %s",
                   qUtf8Printable(u"added "_s + fullName(registrar->m_name)));
            registrar->m_report(registrar->m_registeredGeneration, registrar->m_name);
            break;
        case AVAHI_ENTRY_GROUP_COLLISION: {
            // Another host announces this name: take Avahi's alternative and register again.
            const QString previous = registrar->m_name;
            registrar->rename();
            qCInfo(lcAdvertiser, "Local pairing Bonjour registration changed: %s",
                   qUtf8Printable(u"name conflict, renamed "_s + fullName(previous) + u" to "_s
                                  + fullName(registrar->m_name)));
            if (registrar->m_established) {
                registrar->m_established = false;
                registrar->m_report(registrar->m_registeredGeneration, std::nullopt);
            }
            avahi_entry_group_reset(group);
            registrar->addAndCommit();
            break;
        }
        case AVAHI_ENTRY_GROUP_FAILURE:
            registrar->reportFailure(
                avahiError(avahi_client_errno(avahi_entry_group_get_client(group))));
            if (registrar->m_established) {
                registrar->m_established = false;
                registrar->m_report(registrar->m_registeredGeneration, std::nullopt);
            }
            break;
        case AVAHI_ENTRY_GROUP_UNCOMMITED:
        case AVAHI_ENTRY_GROUP_REGISTERING:
            break;
        }
    }

    // Brings the daemon in line with m_target. Runs on the poll thread, never inside a client
    // callback that could free the client.
    void reconcile()
    {
        if (!m_target) {
            dropRegistration();
            m_group.reset();
            m_api->timeout_update(m_retry, nullptr);
            return;
        }
        if (m_client && avahi_client_get_state(m_client.get()) == AVAHI_CLIENT_FAILURE) {
            m_group.reset();
            m_client.reset();
        }
        if (!m_client) {
            int error = AVAHI_OK;
            // NO_FAIL: without a daemon the client waits for one to appear. It still fails when
            // there is no system bus at all, hence the timer.
            m_client.reset(avahi_client_new(m_api, AVAHI_CLIENT_NO_FAIL, &Registrar::onClientState,
                                            this, &error));
            if (!m_client) {
                reportFailure(avahiError(error));
                armRetry(clientRetryMilliseconds);
                return;
            }
        }
        switch (avahi_client_get_state(m_client.get())) {
        case AVAHI_CLIENT_S_RUNNING:
            break;
        case AVAHI_CLIENT_FAILURE:
            reportFailure(avahiError(avahi_client_errno(m_client.get())));
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
        m_name = m_target->announcement.name;
        // A fresh group per publication: state reports still on their way for the old one then
        // name a group that no longer exists and are dropped.
        m_group.reset(avahi_entry_group_new(m_client.get(), &Registrar::onGroupState, this));
        if (!m_group) {
            reportFailure(avahiError(avahi_client_errno(m_client.get())));
            return;
        }
        addAndCommit();
    }

    void addAndCommit()
    {
        const Announcement &announcement = m_target->announcement;
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
            const QString previous = m_name;
            rename();
            qCInfo(lcAdvertiser, "Local pairing Bonjour registration changed: %s",
                   qUtf8Printable(u"name conflict, renamed "_s + fullName(previous) + u" to "_s
                                  + fullName(m_name)));
        }
        if (result == AVAHI_OK)
            result = avahi_entry_group_commit(m_group.get());
        if (result != AVAHI_OK) {
            reportFailure(avahiError(result));
            avahi_entry_group_reset(m_group.get());
            return;
        }
        qCInfo(lcAdvertiser, "Local pairing Bonjour listener is ready");
    }

    void rename()
    {
        const AvahiTextPtr next(avahi_alternative_service_name(m_name.toUtf8().constData()));
        if (next)
            m_name = QString::fromUtf8(next.get());
    }

    // Withdraws whatever this client has registered. Safe inside callbacks: the group is only
    // reset, never freed.
    void dropRegistration()
    {
        if (m_group && m_client && isConnected(m_client.get()))
            avahi_entry_group_reset(m_group.get());
        if (m_established) {
            qCInfo(lcAdvertiser, "Local pairing Bonjour registration changed: %s",
                   qUtf8Printable(u"removed "_s + fullName(m_name)));
            m_established = false;
            m_report(m_registeredGeneration, std::nullopt);
        }
        m_registeredGeneration = 0;
    }

    // Logs a failure once; the same failure repeated by a retry is not logged again.
    void reportFailure(const QString &message)
    {
        if (message == m_lastFailure)
            return;
        m_lastFailure = message;
        qCCritical(lcAdvertiser, "Local pairing Bonjour listener failed: %s",
                   qUtf8Printable(message));
    }

    void armRetry(unsigned milliseconds)
    {
        struct timeval when;
        avahi_elapse_time(&when, milliseconds, 0);
        m_api->timeout_update(m_retry, &when);
    }

    const Report m_report;
    ThreadedPollPtr m_poll;
    const int m_wakeFd;
    const AvahiPoll *m_api = nullptr;
    AvahiTimeout *m_retry = nullptr;
    bool m_running = false;

    std::mutex m_mutex;
    std::optional<Wanted> m_wanted; // guarded by m_mutex

    // Poll thread only.
    std::optional<Wanted> m_target;
    ClientPtr m_client;
    EntryGroupPtr m_group;
    quint64 m_registeredGeneration = 0; // 0: nothing added to the group
    QString m_name; // the registered name, after any renames
    bool m_established = false;
    QString m_lastFailure;
};

LocalPairingAdvertiser::LocalPairingAdvertiser(QObject *parent)
    : QObject(parent)
    , m_computerName(&LocalPairingAdvertiser::localizedComputerName)
{
    // Reports cross to the main thread as queued calls on this object, so none arrives after it
    // is gone and none touches its state from the poll thread.
    m_registrar
        = std::make_unique<Registrar>([this](quint64 generation, std::optional<QString> name) {
              QMetaObject::invokeMethod(
                  this, [this, generation, name] { registrationChanged(generation, name); },
                  Qt::QueuedConnection);
          });
}

LocalPairingAdvertiser::~LocalPairingAdvertiser()
{
    m_registrar.reset();
}

void LocalPairingAdvertiser::update(const std::optional<BridgeSnapshot> &snapshot,
                                    const QDateTime &now)
{
    const BridgePairingPayload *payload
        = snapshot && snapshot->isConnected() ? snapshot->pairingPayload() : nullptr;
    if (!payload || !payload->isLive(now)) {
        stop();
        return;
    }
    if (m_publishedPayload == *payload)
        return;
    publish(*payload);
}

void LocalPairingAdvertiser::stop()
{
    ++m_generation;
    m_publishedPayload.reset();
    m_listener.reset();
    m_registrar->want(std::nullopt);
    setAnnouncement(std::nullopt);
}

void LocalPairingAdvertiser::publish(const BridgePairingPayload &payload)
{
    stop();

    // The listener only lends its port to the announcement and turns every caller away, so it
    // need not be reachable from the network.
    auto listener = std::make_unique<QTcpServer>();
    if (!listener->listen(QHostAddress::LocalHost, 0)) {
        qCCritical(lcAdvertiser, "Failed to create local pairing Bonjour listener: %s",
                   qUtf8Printable(listener->errorString()));
        return;
    }
    // The payload travels in the TXT record only; whoever connects is turned away.
    QTcpServer *server = listener.get();
    connect(server, &QTcpServer::newConnection, server, [server] {
        while (QTcpSocket *socket = server->nextPendingConnection()) {
            socket->abort();
            socket->deleteLater();
        }
    });

    const std::optional<QString> computerName = m_computerName ? m_computerName() : std::nullopt;
    const QString name = serviceName(payload, computerName.value_or(QString()));
    m_listener = std::move(listener);
    m_publishedPayload = payload;
    m_registrar->want(Registrar::Wanted{
        .generation = m_generation,
        .announcement = {.name = name,
                         .type = serviceType,
                         .domain = serviceDomain,
                         .port = m_listener->serverPort(),
                         .txt = txtRecord(payload)},
    });
    qCInfo(lcAdvertiser, "Publishing local pairing service %s", qUtf8Printable(name));
}

void LocalPairingAdvertiser::registrationChanged(quint64 generation,
                                                 const std::optional<QString> &registeredName)
{
    if (generation != m_generation || !m_publishedPayload || !m_listener)
        return;
    if (!registeredName) {
        setAnnouncement(std::nullopt);
        return;
    }
    setAnnouncement(Announcement{.name = *registeredName,
                                 .type = serviceType,
                                 .domain = serviceDomain,
                                 .port = m_listener->serverPort(),
                                 .txt = txtRecord(*m_publishedPayload)});
}

void LocalPairingAdvertiser::setAnnouncement(const std::optional<Announcement> &announcement)
{
    if (m_announcement == announcement)
        return;
    m_announcement = announcement;
    Q_EMIT announcementChanged();
}

std::optional<BridgePairingPayload> LocalPairingAdvertiser::publishedPayload() const
{
    return m_publishedPayload;
}

std::optional<LocalPairingAdvertiser::Announcement> LocalPairingAdvertiser::announcement() const
{
    return m_announcement;
}

void LocalPairingAdvertiser::setComputerNameSource(ComputerNameSource source)
{
    m_computerName = std::move(source);
}

QString LocalPairingAdvertiser::serviceName(const BridgePairingPayload &payload,
                                            const QString &computerName)
{
    QString name = computerName.trimmed();
    if (name.isEmpty())
        name = payload.macDeviceId;
    name = name.remove(".local"_L1, Qt::CaseSensitive).trimmed();
    return name.isEmpty() ? u"Pivra Mac"_s : u"Pivra "_s + name;
}

QMap<QString, QString> LocalPairingAdvertiser::txtRecord(const BridgePairingPayload &payload)
{
    return {
        {u"v"_s, QString::number(payload.v)},
        {u"relay"_s, payload.relay},
        {u"sessionId"_s, payload.sessionId},
        {u"macDeviceId"_s, payload.macDeviceId},
        {u"macIdentityPublicKey"_s, payload.macIdentityPublicKey},
        {u"expiresAt"_s, QString::number(payload.expiresAt)},
    };
}

std::optional<QString> LocalPairingAdvertiser::localizedComputerName()
{
    if (qEnvironmentVariableIsSet("PIVRA_COMPUTER_NAME"))
        return qEnvironmentVariable("PIVRA_COMPUTER_NAME");
    QFile machineInfo(u"/etc/machine-info"_s);
    if (machineInfo.open(QIODevice::ReadOnly)) {
        if (auto pretty = prettyHostName(machineInfo.readAll()))
            return pretty;
    }
    const QString hostName = QSysInfo::machineHostName();
    if (hostName.isEmpty())
        return std::nullopt;
    return hostName;
}

std::optional<QString> LocalPairingAdvertiser::prettyHostName(const QByteArray &machineInfo)
{
    std::optional<QString> found;
    for (const QByteArray &rawLine : machineInfo.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (!line.startsWith("PRETTY_HOSTNAME="))
            continue;
        // The file is an environment file: shell quoting, backslash escapes.
        const QByteArray value = line.mid(qsizetype(sizeof("PRETTY_HOSTNAME=") - 1));
        QByteArray text;
        char quote = 0;
        for (qsizetype i = 0; i < value.size(); ++i) {
            const char c = value[i];
            if (quote == '\'') {
                if (c == '\'')
                    quote = 0;
                else
                    text += c;
            } else if (c == '\\' && i + 1 < value.size()) {
                const char next = value[i + 1];
                if (quote == '"' && !QByteArrayView("\"\\$`").contains(next)) {
                    text += c;
                } else {
                    text += next;
                    ++i;
                }
            } else if (quote == '"' && c == '"') {
                quote = 0;
            } else if (!quote && (c == '"' || c == '\'')) {
                quote = c;
            } else {
                text += c;
            }
        }
        found = QString::fromUtf8(text);
    }
    if (!found || found->trimmed().isEmpty())
        return std::nullopt;
    return found;
}
