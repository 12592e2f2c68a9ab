// The advertiser against a real avahi-daemon, checked the way a phone's resolver sees it: the
// tests browse with avahi-browse, an Avahi client independent of the one under test, and compare
// with the discovery state the advertiser reports. The daemon belongs to the tests' own
// namespace (scripts/lib/isolated): loopback plus the link-local interface pivra0.
#include "LocalPairingAdvertiser.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
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

// Runs a program without blocking the event loop, so the advertiser keeps working meanwhile.
int run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    const bool ended
        = QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 20000);
    if (output)
        *output = process.readAllStandardOutput();
    return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool testAvahi(const QString &command)
{
    return run(u"bash"_s, {QStringLiteral(PIVRA_SOURCE_DIR "/scripts/lib/test-avahi"), command})
        == 0;
}

// avahi-browse -p writes bytes of names and TXT strings as \DDD (decimal), others as \c.
QString unescape(const QByteArray &text)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size())
            bytes += text[i];
        else if (i + 3 < text.size() && std::isdigit(uchar(text[i + 1])))
            bytes += char(text.mid(i + 1, 3).toInt()), i += 3;
        else
            bytes += text[++i];
    }
    return QString::fromUtf8(bytes);
}

struct Browsed
{
    quint16 port = 0;
    Txt txt;
    int txtStrings = 0; // a doubled key would vanish in `txt`
    QMap<QString, QString> seenOn; // interface to the address resolved there
};

QByteArray lastBrowse;

// What avahi-browse resolves of type _pivra._tcp, by service name.
QMap<QString, Browsed> browse()
{
    static const QRegularExpression quoted(uR"re("((?:\\.|[^"\\])*)")re"_s);
    QMap<QString, Browsed> services;
    if (run(u"avahi-browse"_s, {u"-rpt"_s, u"_pivra._tcp"_s}, &lastBrowse) != 0)
        return services;
    for (const QByteArray &line : lastBrowse.split('\n')) {
        // = ; interface ; protocol ; name ; type ; domain ; host ; address ; port ; txt
        const QList<QByteArray> fields = line.split(';');
        if (fields.size() < 10 || fields[0] != "=")
            continue;
        Browsed &service = services[unescape(fields[3])];
        service.port = fields[8].toUShort();
        service.seenOn.insert(QString::fromUtf8(fields[1]), QString::fromUtf8(fields[7]));
        service.txt.clear();
        service.txtStrings = 0;
        for (const auto &match : quoted.globalMatch(QString::fromLatin1(fields.mid(9).join(';')))) {
            const QString string = unescape(match.captured(1).toLatin1());
            service.txt.insert(string.section(u'=', 0, 0), string.section(u'=', 1));
            ++service.txtStrings;
        }
    }
    return services;
}

// The service called `name` once avahi-browse shows it satisfying `check`, or nothing.
std::optional<Browsed> browsed(const QString &name,
                               const std::function<bool(const Browsed &)> &check = {},
                               int timeout = 20000)
{
    std::optional<Browsed> found;
    const bool shown = QTest::qWaitFor(
        [&] {
            const auto services = browse();
            found = services.contains(name) ? std::optional(services[name]) : std::nullopt;
            return found && (!check || check(*found));
        },
        timeout);
    if (!shown)
        qWarning("avahi-browse never showed it; last output:\n%s", lastBrowse.constData());
    return shown ? found : std::nullopt;
}

bool vanishes(const QString &name)
{
    return QTest::qWaitFor([&] { return !browse().contains(name); }, 20000);
}

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
                 "no avahi-daemon answers: run the tests through scripts/test");
        QVERIFY2(QFile::exists(qEnvironmentVariable("PIVRA_SERVICES_DIR") + u"/avahi.pid"_s),
                 "the avahi-daemon is not the tests' own (scripts/lib/isolated)");
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
        QCOMPARE(discovery.announcement->name, u"Pivra "_s + computerName);
        QCOMPARE(discovery.announcement->txt, expected);
        QVERIFY(discovery.isOnNetwork());
        const auto service = browsed(discovery.announcement->name, [&](const Browsed &s) {
            return s.seenOn.size() == discovery.interfaces.size();
        });
        QVERIFY(service);
        QCOMPARE(service->port, discovery.announcement->port);
        QCOMPARE(service->txtStrings, 6);
        QCOMPARE(service->txt, expected);
        QCOMPARE(seenOn(discovery), service->seenOn);
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
        const auto service = browsed(u"Pivra Keep Mac"_s, [&](const Browsed &s) {
            return s.txt.value(u"expiresAt"_s) == expiresAt;
        });
        QVERIFY(service);
        QCOMPARE(service->port, advertiser->discovery().announcement->port);
    }

    void followsSnapshot_data()
    {
        QTest::addColumn<bool>("viaStop");
        QTest::addColumn<std::optional<BridgeSnapshot>>("next");
        QTest::addColumn<bool>("announced");
        using Snapshot = std::optional<BridgeSnapshot>;
        const qint64 now = inOneHour - 1800 * 1000;
        const BridgePairingPayload next = payload(u"session-next"_s);
        BridgeSnapshot noStatus = snapshot(next);
        noStatus.bridgeStatus.reset();
        QTest::newRow("stop") << true << Snapshot() << false;
        QTest::newRow("no snapshot") << false << Snapshot() << false;
        QTest::newRow("connecting") << false << Snapshot(snapshot(next, u"connecting"_s)) << false;
        // Compared after lower-casing only, never trimmed.
        QTest::newRow("leading blank")
            << false << Snapshot(snapshot(next, u" connected"_s)) << false;
        QTest::newRow("no bridge status") << false << Snapshot(noStatus) << false;
        QTest::newRow("no payload") << false << Snapshot(snapshot(std::nullopt)) << false;
        QTest::newRow("expires now")
            << false << Snapshot(snapshot(payload(u"session-next"_s, now))) << false;
        QTest::newRow("live for one more millisecond")
            << false << Snapshot(snapshot(payload(u"session-next"_s, now + 1))) << true;
        QTest::newRow("CONNECTED") << false << Snapshot(snapshot(next, u"CONNECTED"_s)) << true;
    }

    // Catches an announcement left up (or dropped) against the withdrawal rules.
    void followsSnapshot()
    {
        QFETCH(bool, viaStop);
        QFETCH(std::optional<BridgeSnapshot>, next);
        QFETCH(bool, announced);
        const QDateTime now = QDateTime::fromMSecsSinceEpoch(inOneHour - 1800 * 1000, Qt::UTC);
        // Each row has its own name: the goodbye of the previous row may still be in the cache.
        const QString computerName = u"Rules "_s + QString::fromLatin1(QTest::currentDataTag());
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
        } else {
            QCOMPARE(advertiser->publishedPayload(), std::nullopt);
            QCOMPARE(advertiser->discovery(), LocalPairingDiscovery());
            QVERIFY2(vanishes(u"Pivra "_s + computerName), "still announced on the daemon");
        }
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
        other.start(u"avahi-publish"_s, {u"-s"_s, u"Pivra Clash Mac"_s, u"_pivra._tcp"_s, u"9"_s});
        const auto stopOther = qScopeGuard([&] { other.terminate(), other.waitForFinished(); });
        QVERIFY(browsed(u"Pivra Clash Mac"_s));

        const auto advertiser = advertiserOn(u"Clash Mac"_s);
        advertiser->update(snapshot(payload(u"session-clash"_s)));
        QVERIFY(waitForPublished(*advertiser));
        QCOMPARE(advertiser->discovery().announcement->name, u"Pivra Clash Mac #2"_s);
        const auto ours = browsed(u"Pivra Clash Mac #2"_s);
        QVERIFY(ours);
        QCOMPARE(ours->txt.value(u"sessionId"_s), u"session-clash"_s);
    }

    // Catches a state that does not follow the daemon: absent at start, then started (published
    // within 5 s), then killed (failed within 5 s), then back, all without a call from the owner.
    void followsDaemonComingAndGoing()
    {
        const auto restart = qScopeGuard([] { testAvahi(u"start"_s); });
        QVERIFY(testAvahi(u"stop"_s));
        const auto advertiser = advertiserOn(u"Phoenix Mac"_s);
        QElapsedTimer elapsed;
        elapsed.start();
        advertiser->update(snapshot(payload(u"session-phoenix"_s)));
        QCOMPARE_LT(elapsed.elapsed(), 200); // the main thread never waits for the daemon
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
        const auto service = browsed(before.name, {}, 5000);
        QVERIFY2(service, "not announced again within 5 seconds of the daemon's return");
        QCOMPARE(service->port, before.port);
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

        BridgePairingPayload longest = tooLong;
        longest.relay.chop(1);
        advertiser->update(snapshot(longest));
        QVERIFY(waitForPublished(*advertiser));
        const auto service = browsed(u"Pivra Long Mac"_s);
        QVERIFY(service);
        QCOMPARE(service->txt.value(u"relay"_s), longest.relay);
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
        const QString link = qEnvironmentVariable("PIVRA_TEST_BUS_LINK");
        if (link.isEmpty()) {
            // The bus address is read once per process, so the scenario runs in a child whose
            // address names a link that does not exist yet. The tests' own namespace
            // (scripts/lib/isolated) keeps its bus at the standard path.
            QTemporaryDir dir;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s,
                               u"unix:path="_s + dir.filePath(u"bus"_s));
            environment.insert(u"PIVRA_TEST_BUS_LINK"_s, dir.filePath(u"bus"_s));
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
        // The link now leads to the bus, for the advertiser and for avahi-browse alike.
        QVERIFY(QFile::link(u"/run/dbus/system_bus_socket"_s, link));
        QVERIFY(waitForPublished(*advertiser, {}, 10000));
        QVERIFY(browsed(u"Pivra Busless Mac"_s));
    }
};

QTEST_GUILESS_MAIN(TestLocalPairingAdvertiser)
#include "tst_localpairingadvertiser.moc"
