// The advertiser against a real avahi-daemon, checked the way a phone's resolver sees it: every
// test browses with avahi-browse, an Avahi client independent of the one under test, and
// compares with the discovery state the advertiser reports. The daemon belongs to the tests'
// own namespace (scripts/lib/isolated): loopback plus the link-local interface pivra0.
#include "LocalPairingAdvertiser.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

using Txt = QMap<QString, QString>;
using State = LocalPairingDiscovery::State;
using Failure = LocalPairingDiscovery::Failure;

namespace {

// avahi-browse -p escapes a name's bytes as \DDD (decimal) or \c, and writes each TXT string in
// double quotes with the same escapes. Decodes from `at` up to `end`, leaving `at` there.
QByteArray unescape(QByteArrayView text, qsizetype &at, char end = 0)
{
    const auto digit = [&](qsizetype k) {
        return at + k < text.size() && std::isdigit(uchar(text[at + k]));
    };
    QByteArray bytes;
    for (; at < text.size() && text[at] != end; ++at) {
        if (text[at] != '\\' || at + 1 == text.size()) {
            bytes += text[at];
        } else if (digit(1) && digit(2) && digit(3)) {
            bytes += char((text[at + 1] - '0') * 100 + (text[at + 2] - '0') * 10
                          + (text[at + 3] - '0'));
            at += 3;
        } else {
            bytes += text[++at];
        }
    }
    return bytes;
}

struct Browsed
{
    QString name;
    QString type;
    QString domain;
    quint16 port = 0;
    Txt txt = {};
    // How many strings the record holds: a doubled key would vanish in `txt`.
    int txtStrings = 0;
    // Interface name to the address avahi-browse resolved there.
    QMap<QString, QString> seenOn = {};
};

QProcessEnvironment servicesEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The child of retriesWithoutSystemBus points its own bus address at nothing; the tools it
    // runs must still reach the real bus.
    if (qEnvironmentVariableIsSet("PIVRA_TEST_BUS_TARGET"))
        environment.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s,
                           u"unix:path="_s + qEnvironmentVariable("PIVRA_TEST_BUS_TARGET"));
    return environment;
}

// Runs a program without blocking the event loop, so the advertiser keeps working meanwhile.
int run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.setProcessEnvironment(servicesEnvironment());
    process.start(program, arguments);
    if (!process.waitForStarted())
        return -1;
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 20000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (output)
        *output = process.readAllStandardOutput() + process.readAllStandardError();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// What the last browse printed, for the failure message.
QByteArray lastBrowseOutput;

// Resolved services of type _pivra._tcp, one per name.
QList<Browsed> browse()
{
    QByteArray output;
    const int exitCode = run(u"avahi-browse"_s, {u"-rpt"_s, u"_pivra._tcp"_s}, &output);
    lastBrowseOutput = "exit " + QByteArray::number(exitCode) + ":\n" + output;
    QList<Browsed> services;
    for (const QByteArray &line : output.split('\n')) {
        // = ; interface ; protocol ; name ; type ; domain ; host ; address ; port ; txt
        const QList<QByteArray> fields = line.split(';');
        if (exitCode != 0 || fields.size() < 10 || fields[0] != "=")
            continue;
        qsizetype at = 0;
        Browsed service{.name = QString::fromUtf8(unescape(fields[3], at)),
                        .type = QString::fromUtf8(fields[4]),
                        .domain = QString::fromUtf8(fields[5]),
                        .port = quint16(fields[8].toUInt())};
        const QByteArray record = fields.mid(9).join(';');
        for (at = record.indexOf('"'); at >= 0; at = record.indexOf('"', at + 1)) {
            ++at;
            const QByteArray string = unescape(record, at, '"');
            const qsizetype equals = string.indexOf('=');
            service.txt.insert(QString::fromUtf8(string.left(equals)),
                               QString::fromUtf8(string.mid(equals + 1)));
            ++service.txtStrings;
        }
        auto known = std::find_if(services.begin(), services.end(),
                                  [&](const Browsed &s) { return s.name == service.name; });
        if (known == services.end()) {
            services.append(service);
            known = std::prev(services.end());
        }
        known->seenOn.insert(QString::fromUtf8(fields[1]), QString::fromUtf8(fields[7]));
    }
    return services;
}

std::optional<Browsed> browseFor(const QString &name, const QList<Browsed> &services)
{
    for (const Browsed &service : services) {
        if (service.name == name)
            return service;
    }
    return std::nullopt;
}

// Browses until the check holds or the time is up; gives the last result either way.
QList<Browsed> browseUntil(const std::function<bool(const QList<Browsed> &)> &check,
                           int timeout = 20000)
{
    const QDeadlineTimer deadline(timeout);
    QList<Browsed> services = browse();
    while (!check(services) && !deadline.hasExpired()) {
        QTest::qWait(100);
        services = browse();
    }
    if (!check(services)) {
        // Two daemons on one loopback fight over the host name; name them if that happened.
        QByteArray daemons;
        run(u"pgrep"_s, {u"-a"_s, u"avahi-daemon"_s}, &daemons);
        qWarning("avahi-browse never showed what was expected; last output: %s\ndaemons: %s",
                 lastBrowseOutput.constData(), daemons.constData());
    }
    return services;
}

// The service called `name` once avahi-browse shows it (satisfying `check`), or nothing.
std::optional<Browsed> waitForBrowsed(const QString &name,
                                      const std::function<bool(const Browsed &)> &check = {},
                                      int timeout = 20000)
{
    return browseFor(name,
                     browseUntil(
                         [&](const QList<Browsed> &services) {
                             const auto service = browseFor(name, services);
                             return service && (!check || check(*service));
                         },
                         timeout));
}

bool testAvahi(const QString &command)
{
    return run(u"bash"_s, {QStringLiteral(PIVRA_SOURCE_DIR "/scripts/lib/test-avahi"), command})
        == 0;
}

bool ownsTestDaemon()
{
    return QFile::exists(qEnvironmentVariable("PIVRA_SERVICES_DIR") + u"/avahi.pid"_s);
}

// Starts the test daemon again however a fault test ends.
struct DaemonRestorer
{
    ~DaemonRestorer()
    {
        if (!ownsTestDaemon())
            testAvahi(u"start"_s);
    }
};

const qint64 inOneHour = QDateTime::currentMSecsSinceEpoch() + 3600 * 1000;

BridgePairingPayload payload(const QString &sessionId, qint64 expiresAt = inOneHour)
{
    return {.v = 1,
            .relay = u"wss://relay.example/pair"_s,
            .sessionId = sessionId,
            .macDeviceId = u"mac-device-1"_s,
            .macIdentityPublicKey = u"MCowBQYDK2VwAyEAq3v+/key="_s,
            .expiresAt = expiresAt};
}

BridgeSnapshot snapshot(std::optional<BridgePairingPayload> payload,
                        std::optional<QString> connectionStatus = u"connected"_s)
{
    BridgeSnapshot snapshot;
    snapshot.bridgeStatus.emplace().connectionStatus = connectionStatus;
    snapshot.pairingSession.emplace().pairingPayload = payload;
    return snapshot;
}

// An advertiser on a computer called `computerName`.
std::unique_ptr<LocalPairingAdvertiser> advertiserOn(const QString &computerName)
{
    auto advertiser = std::make_unique<LocalPairingAdvertiser>();
    advertiser->setComputerNameSource([computerName] { return std::optional(computerName); });
    return advertiser;
}

bool waitForState(const LocalPairingAdvertiser &advertiser, State state, int timeout = 20000)
{
    return QTest::qWaitFor([&] { return advertiser.discovery().state == state; }, timeout);
}

bool waitForPublished(const LocalPairingAdvertiser &advertiser,
                      const std::function<bool(const LocalPairingAnnouncement &)> &check = {},
                      int timeout = 20000)
{
    return QTest::qWaitFor(
        [&] {
            const auto &announcement = advertiser.discovery().announcement;
            return advertiser.discovery().state == State::Published && announcement
                && (!check || check(*announcement));
        },
        timeout);
}

// Interface name to addresses, as the advertiser says the daemon shows the announcement.
QMap<QString, QString> seenOn(const LocalPairingDiscovery &discovery)
{
    QMap<QString, QString> seen;
    for (const DiscoveryInterface &interface : discovery.interfaces)
        seen.insert(interface.name, interface.addresses.join(u','));
    return seen;
}

} // namespace

class TestLocalPairingAdvertiser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsSet("PIVRA_TEST_BUS_LINK"))
            return; // the child of retriesWithoutSystemBus has no bus yet
        QVERIFY2(run(u"avahi-browse"_s, {u"-pt"_s, u"_pivra._tcp"_s}) == 0,
                 "no avahi-daemon answers: run the tests through scripts/test, which starts one "
                 "in a namespace of their own");
        QVERIFY2(ownsTestDaemon(), "the avahi-daemon is not the tests' own (scripts/lib/isolated)");
    }

    void announcesEveryField_data()
    {
        QTest::addColumn<QString>("computerName");
        QTest::addColumn<BridgePairingPayload>("payload");
        QTest::addColumn<QDateTime>("now");

        QTest::newRow("ordinary") << u"Studio Mac"_s << payload(u"session-ordinary"_s)
                                  << QDateTime::currentDateTimeUtc();
        // UTF-8, the characters a hand-made encoder might escape and minus signs go out
        // unchanged; a payload that expires before 1970 is still live before then.
        const BridgePairingPayload unusual{.v = -2,
                                           .relay = u"wss://relé.example/ü?x=1;y=\"2\""_s,
                                           .sessionId = u"séance ✓"_s,
                                           .macDeviceId = u"mac-ü"_s,
                                           .macIdentityPublicKey = u"clé\\publique=;\""_s,
                                           .expiresAt = -1000};
        QTest::newRow("unusual") << u"Büro ✓ «Ω»"_s << unusual
                                 << QDateTime::fromMSecsSinceEpoch(-5000, Qt::UTC);
    }

    // Catches a TXT record that loses, doubles or re-encodes an entry, and a discovery state
    // that claims interfaces the daemon does not show the service on.
    void announcesEveryField()
    {
        QFETCH(QString, computerName);
        QFETCH(BridgePairingPayload, payload);
        QFETCH(QDateTime, now);
        const QString name = u"Pivra "_s + computerName;
        const Txt expected{{u"v"_s, QString::number(payload.v)},
                           {u"relay"_s, payload.relay},
                           {u"sessionId"_s, payload.sessionId},
                           {u"macDeviceId"_s, payload.macDeviceId},
                           {u"macIdentityPublicKey"_s, payload.macIdentityPublicKey},
                           {u"expiresAt"_s, QString::number(payload.expiresAt)}};

        const auto advertiser = advertiserOn(computerName);
        advertiser->update(snapshot(payload), now);
        QCOMPARE(advertiser->publishedPayload(), payload);
        QCOMPARE(advertiser->discovery().state, State::Registering);

        QVERIFY(waitForPublished(*advertiser));
        const LocalPairingDiscovery discovery = advertiser->discovery();
        QCOMPARE(discovery.announcement->name, name);
        QCOMPARE(discovery.announcement->txt, expected);
        QVERIFY(discovery.isOnNetwork());

        const auto browsed = waitForBrowsed(
            name, [&](const Browsed &s) { return s.seenOn.size() == discovery.interfaces.size(); });
        QVERIFY2(browsed, "the service never showed up in avahi-browse");
        QCOMPARE(browsed->type, u"_pivra._tcp"_s);
        QCOMPARE(browsed->domain, u"local"_s);
        QCOMPARE(browsed->port, discovery.announcement->port);
        // Exactly six strings: no extra entry, none doubled.
        QCOMPARE(browsed->txtStrings, 6);
        QCOMPARE(browsed->txt, expected);
        QCOMPARE(seenOn(discovery), browsed->seenOn);
    }

    // Catches a re-registration for an unchanged payload (a new port and a second probing
    // round each time) and a payload change that is not announced.
    void keepsSamePayloadAndReplacesChangedOne()
    {
        const auto advertiser = advertiserOn(u"Keep Mac"_s);
        const BridgePairingPayload first = payload(u"session-keep"_s);
        advertiser->update(snapshot(first));
        advertiser->update(snapshot(first));
        QVERIFY(waitForPublished(*advertiser));
        const LocalPairingDiscovery published = advertiser->discovery();
        QSignalSpy changed(advertiser.get(), &LocalPairingAdvertiser::discoveryChanged);
        advertiser->update(snapshot(first));
        QCOMPARE(changed.count(), 0);
        QCOMPARE(advertiser->discovery(), published);

        // Only the expiry differs: that is a new payload and a new announcement.
        BridgePairingPayload renewed = first;
        renewed.expiresAt += 60000;
        const QString expiresAt = QString::number(renewed.expiresAt);
        advertiser->update(snapshot(renewed));
        QVERIFY(waitForPublished(
            *advertiser, [&](const auto &a) { return a.txt.value(u"expiresAt"_s) == expiresAt; }));
        const auto browsed = waitForBrowsed(u"Pivra Keep Mac"_s, [&](const Browsed &s) {
            return s.txt.value(u"expiresAt"_s) == expiresAt;
        });
        QVERIFY(browsed);
        QCOMPARE(browsed->port, advertiser->discovery().announcement->port);
    }

    void followsSnapshot_data()
    {
        QTest::addColumn<bool>("viaStop");
        QTest::addColumn<std::optional<BridgeSnapshot>>("next");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<bool>("announced");

        const qint64 t = inOneHour - 1800 * 1000;
        const QDateTime now = QDateTime::fromMSecsSinceEpoch(t, Qt::UTC);
        const BridgePairingPayload next = payload(u"session-next"_s);
        using Snapshot = std::optional<BridgeSnapshot>;
        BridgeSnapshot noStatus = snapshot(next);
        noStatus.bridgeStatus.reset();

        QTest::newRow("stop") << true << Snapshot() << now << false;
        QTest::newRow("no snapshot") << false << Snapshot() << now << false;
        QTest::newRow("connecting")
            << false << Snapshot(snapshot(next, u"connecting"_s)) << now << false;
        // Compared after lower-casing only, never trimmed.
        QTest::newRow("leading blank")
            << false << Snapshot(snapshot(next, u" connected"_s)) << now << false;
        QTest::newRow("no bridge status") << false << Snapshot(noStatus) << now << false;
        QTest::newRow("no payload") << false << Snapshot(snapshot(std::nullopt)) << now << false;
        QTest::newRow("expires now")
            << false << Snapshot(snapshot(payload(u"session-next"_s, t))) << now << false;
        QTest::newRow("live for one more millisecond")
            << false << Snapshot(snapshot(payload(u"session-next"_s, t + 1))) << now << true;
        QTest::newRow("CONNECTED")
            << false << Snapshot(snapshot(next, u"CONNECTED"_s)) << now << true;
    }

    // Catches an announcement left up (or dropped) against the withdrawal rules.
    void followsSnapshot()
    {
        QFETCH(bool, viaStop);
        QFETCH(std::optional<BridgeSnapshot>, next);
        QFETCH(QDateTime, now);
        QFETCH(bool, announced);

        // Each row has its own name: the goodbye of the previous row may still be in the cache.
        const QString computerName = u"Rules "_s + QString::fromLatin1(QTest::currentDataTag());
        const QString name = u"Pivra "_s + computerName;
        const auto advertiser = advertiserOn(computerName);
        advertiser->update(snapshot(payload(u"session-first"_s)), now);
        QVERIFY(waitForPublished(*advertiser));

        if (viaStop)
            advertiser->stop();
        else
            advertiser->update(next, now);

        if (announced) {
            QCOMPARE(advertiser->publishedPayload(), *next->pairingPayload());
            QVERIFY(waitForPublished(*advertiser, [&](const auto &a) {
                return a.txt.value(u"sessionId"_s) == u"session-next"_s;
            }));
            return;
        }
        QCOMPARE(advertiser->publishedPayload(), std::nullopt);
        QCOMPARE(advertiser->discovery(), LocalPairingDiscovery());
        const auto services
            = browseUntil([&](const auto &services) { return !browseFor(name, services); });
        QVERIFY2(!browseFor(name, services), "still announced on the daemon");
    }

    // Catches a listener that serves callers, or a port left open after the withdrawal.
    void closesIncomingConnectionsAtOnce()
    {
        const auto advertiser = advertiserOn(u"Door Mac"_s);
        advertiser->update(snapshot(payload(u"session-door"_s)));
        QVERIFY(waitForPublished(*advertiser));
        const quint16 port = advertiser->discovery().announcement->port;
        const auto closed = [](const QTcpSocket &socket) {
            return QTest::qWaitFor(
                [&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 2000);
        };

        // The second caller checks that the first one did not take the listener down.
        for (int attempt = 0; attempt < 2; ++attempt) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(socket.waitForConnected(2000));
            socket.write("hello");
            QVERIFY(closed(socket));
            QCOMPARE(socket.readAll(), QByteArray());
        }

        advertiser->stop();
        QTcpSocket late;
        late.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(closed(late));
        QCOMPARE(late.error(), QAbstractSocket::ConnectionRefusedError);
    }

    // Catches a collision that leaves the service unannounced, or a state that names the
    // original rather than the renamed service.
    void takesAlternativeNameOnCollision()
    {
        QProcess other;
        other.setProcessEnvironment(servicesEnvironment());
        other.setProcessChannelMode(QProcess::MergedChannels);
        other.start(u"avahi-publish"_s,
                    {u"-s"_s, u"Pivra Clash Mac"_s, u"_pivra._tcp"_s, u"9"_s, u"origin=other"_s});
        const auto stopOther = qScopeGuard([&] {
            other.terminate();
            other.waitForFinished();
        });
        QByteArray otherOutput;
        QVERIFY(QTest::qWaitFor(
            [&] { return (otherOutput += other.readAll()).contains("Established"); }, 10000));

        const auto advertiser = advertiserOn(u"Clash Mac"_s);
        advertiser->update(snapshot(payload(u"session-clash"_s)));
        QVERIFY(waitForPublished(*advertiser));
        QCOMPARE(advertiser->discovery().announcement->name, u"Pivra Clash Mac #2"_s);
        const auto ours = waitForBrowsed(u"Pivra Clash Mac #2"_s);
        QVERIFY(ours);
        QCOMPARE(ours->txt.value(u"sessionId"_s), u"session-clash"_s);
    }

    // Catches a state that does not follow the daemon: absent at start, then started (published
    // within 5 s), then killed (failed within 5 s), then back, all without a call from the owner.
    void followsDaemonComingAndGoing()
    {
        DaemonRestorer restorer;
        QVERIFY(testAvahi(u"stop"_s));

        const auto advertiser = advertiserOn(u"Phoenix Mac"_s);
        QElapsedTimer elapsed;
        elapsed.start();
        advertiser->update(snapshot(payload(u"session-phoenix"_s)));
        // The main thread never waits for the daemon.
        QCOMPARE_LT(elapsed.elapsed(), 200);
        QVERIFY(waitForState(*advertiser, State::Failed, 5000));
        QCOMPARE(advertiser->discovery().failure, Failure::NoDaemon);

        QVERIFY(testAvahi(u"start"_s));
        QVERIFY2(waitForPublished(*advertiser, {}, 5000), "not published within 5 s");
        const LocalPairingAnnouncement before = *advertiser->discovery().announcement;

        QVERIFY(testAvahi(u"kill"_s));
        QVERIFY2(waitForState(*advertiser, State::Failed, 5000), "still published 5 s later");
        QCOMPARE(advertiser->discovery().failure, Failure::NoDaemon);
        QCOMPARE(advertiser->publishedPayload(), payload(u"session-phoenix"_s));

        QVERIFY(testAvahi(u"start"_s));
        QVERIFY(waitForPublished(*advertiser, {}, 5000));
        QCOMPARE(*advertiser->discovery().announcement, before);
        const auto browsed = waitForBrowsed(before.name, {}, 5000);
        QVERIFY2(browsed, "not announced again within 5 seconds of the daemon's return");
        QCOMPARE(browsed->port, before.port);
    }

    // Catches interfaces taken from anywhere but the daemon's own answers: a link going down
    // takes the computer off the network until it comes back.
    void followsInterfaceGoingDownAndUp()
    {
        const auto link = [](const QString &state) {
            return run(u"ip"_s, {u"link"_s, u"set"_s, u"pivra0"_s, state}) == 0;
        };
        const auto restoreLink = qScopeGuard([&] { link(u"up"_s); });
        const auto advertiser = advertiserOn(u"Link Mac"_s);
        advertiser->update(snapshot(payload(u"session-link"_s)));
        QVERIFY(waitForPublished(*advertiser, [&](const auto &) {
            return seenOn(advertiser->discovery()).contains(u"pivra0"_s);
        }));
        QCOMPARE(seenOn(advertiser->discovery()).value(u"pivra0"_s), u"169.254.83.1"_s);

        QVERIFY(link(u"down"_s));
        QVERIFY(QTest::qWaitFor([&] { return !advertiser->discovery().isOnNetwork(); }, 5000));
        QCOMPARE(advertiser->discovery().state, State::Published);
        QCOMPARE(seenOn(advertiser->discovery()).keys(), QStringList{u"lo"_s});

        QVERIFY(link(u"up"_s));
        QVERIFY(QTest::qWaitFor([&] { return advertiser->discovery().isOnNetwork(); }, 10000));
    }

    // Catches a refused record reported as anything but a failure with the daemon's reason.
    void reportsTxtStringTooLong()
    {
        const auto advertiser = advertiserOn(u"Long Mac"_s);

        // "relay=" and 250 more bytes: one over what a DNS-SD string holds.
        BridgePairingPayload tooLong = payload(u"session-long"_s);
        tooLong.relay = u"wss://"_s + QString(244, u'r');
        advertiser->update(snapshot(tooLong));
        QVERIFY(waitForState(*advertiser, State::Failed));
        QCOMPARE(advertiser->discovery().failure, Failure::Daemon);
        QCOMPARE(advertiser->discovery().reason, u"Invalid record"_s);

        // Exactly 255 bytes fit, and go out whole.
        BridgePairingPayload longest = tooLong;
        longest.relay.chop(1);
        advertiser->update(snapshot(longest));
        QVERIFY(waitForPublished(*advertiser));
        const auto browsed = waitForBrowsed(u"Pivra Long Mac"_s);
        QVERIFY(browsed);
        QCOMPARE(browsed->txt.value(u"relay"_s), longest.relay);
    }

    // Catches a failed listener that is never tried again, or not reported.
    void retriesListenerAfterFailedCreation()
    {
        const auto advertiser = advertiserOn(u"Retry Mac"_s);
        const BridgeSnapshot live = snapshot(payload(u"session-retry"_s));

        // No descriptor left: the listener cannot be created.
        rlimit original{};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &original), 0);
        const int lowestFree = dup(0);
        QVERIFY(lowestFree >= 0);
        close(lowestFree);
        rlimit exhausted = original;
        exhausted.rlim_cur = rlim_t(lowestFree);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &exhausted), 0);
        advertiser->update(live);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &original), 0);

        QCOMPARE(advertiser->discovery().state, State::Failed);
        QCOMPARE(advertiser->discovery().failure, Failure::Listener);
        QCOMPARE(advertiser->publishedPayload(), std::nullopt);

        advertiser->update(live);
        QVERIFY(waitForPublished(*advertiser));
    }

    // Catches a missing system bus that is reported as a missing daemon, or never retried.
    void retriesWithoutSystemBus()
    {
        if (!qEnvironmentVariableIsSet("PIVRA_TEST_BUS_LINK")) {
            // The bus address is read once per process, so the scenario runs in a child whose
            // address names a socket that does not exist yet.
            QTemporaryDir dir;
            QVERIFY(dir.isValid());
            QString target = u"/run/dbus/system_bus_socket"_s;
            const QString current = qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS");
            if (current.startsWith(u"unix:path="_s))
                target = current.mid(10).section(u',', 0, 0);
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            const QString link = dir.filePath(u"bus"_s);
            environment.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s, u"unix:path="_s + link);
            environment.insert(u"PIVRA_TEST_BUS_LINK"_s, link);
            environment.insert(u"PIVRA_TEST_BUS_TARGET"_s, target);
            QProcess child;
            child.setProcessEnvironment(environment);
            child.setProcessChannelMode(QProcess::MergedChannels);
            child.start(QCoreApplication::applicationFilePath(), {u"retriesWithoutSystemBus"_s});
            QVERIFY(child.waitForFinished(60000));
            QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                     child.readAll().constData());
            return;
        }

        const auto advertiser = advertiserOn(u"Busless Mac"_s);
        advertiser->update(snapshot(payload(u"session-busless"_s)));
        QVERIFY(waitForState(*advertiser, State::Failed));
        QCOMPARE(advertiser->discovery().failure, Failure::NoSystemBus);

        QVERIFY(QFile::link(qEnvironmentVariable("PIVRA_TEST_BUS_TARGET"),
                            qEnvironmentVariable("PIVRA_TEST_BUS_LINK")));
        QVERIFY(waitForPublished(*advertiser, {}, 10000));
        QVERIFY(waitForBrowsed(u"Pivra Busless Mac"_s));
    }
};

QTEST_GUILESS_MAIN(TestLocalPairingAdvertiser)
#include "tst_localpairingadvertiser.moc"
