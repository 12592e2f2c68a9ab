// The advertiser against a real avahi-daemon, checked with avahi-browse, an Avahi client
// independent of the one under test, the way a phone's resolver sees it. The daemon belongs to
// the tests' own namespace (scripts/lib/isolated): loopback plus the link-local pivra0.
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
using Advertiser = std::unique_ptr<LocalPairingAdvertiser>;

struct Browsed
{
    quint16 port = 0; // 0: not shown
    Txt txt;
    int txtStrings = 0; // a doubled key would vanish in `txt`
    QMap<QString, QString> seenOn; // interface to the address resolved there
};

class TestLocalPairingAdvertiser : public QObject
{
    Q_OBJECT

    static inline const qint64 inOneHour = QDateTime::currentMSecsSinceEpoch() + 3600 * 1000;

    // Runs a program without blocking the event loop, so the advertiser keeps working meanwhile.
    static int run(const QString &program, const QStringList &arguments, QByteArray *out = nullptr)
    {
        QProcess process;
        process.start(program, arguments);
        const bool ended
            = QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 20000);
        if (out)
            *out = process.readAllStandardOutput();
        return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    static bool avahi(const QString &command)
    {
        return run(u"bash"_s, {QStringLiteral(PIVRA_SOURCE_DIR "/scripts/lib/test-avahi"), command})
            == 0;
    }

    // avahi-browse -p writes bytes of names and TXT strings as \DDD (decimal), others as \c.
    static QString unescape(const QByteArray &text)
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

    // What avahi-browse resolves of type _pivra._tcp, by service name.
    static QMap<QString, Browsed> browse()
    {
        QByteArray output;
        static const QRegularExpression quoted(u"\"((?:\\\\.|[^\"\\\\])*)\""_s);
        QMap<QString, Browsed> services;
        run(u"avahi-browse"_s, {u"-rpt"_s, u"_pivra._tcp"_s}, &output);
        for (const QByteArray &line : output.split('\n')) {
            // = ; interface ; protocol ; name ; type ; domain ; host ; address ; port ; txt
            const QList<QByteArray> fields = line.split(';');
            if (fields.size() < 10 || fields[0] != "=")
                continue;
            Browsed &service = services[unescape(fields[3])];
            service = {fields[8].toUShort(), {}, 0, service.seenOn};
            service.seenOn.insert(QString::fromUtf8(fields[1]), QString::fromUtf8(fields[7]));
            for (const auto &match :
                 quoted.globalMatch(QString::fromLatin1(fields.mid(9).join(';')))) {
                const QString string = unescape(match.captured(1).toLatin1());
                service.txt.insert(string.section(u'=', 0, 0), string.section(u'=', 1));
                ++service.txtStrings;
            }
        }
        return services;
    }

    // The service called `name` once avahi-browse shows it satisfying `check`; port 0 if never.
    static Browsed browsed(const QString &name,
                           const std::function<bool(const Browsed &)> &check = {},
                           int timeout = 20000)
    {
        Browsed found;
        const bool shown = QTest::qWaitFor(
            [&] { return (found = browse().value(name)).port && (!check || check(found)); },
            timeout);
        return shown ? found : Browsed();
    }

    static BridgePairingPayload payload(const QString &sessionId, qint64 expiresAt = inOneHour)
    {
        return {1,          u"wss://relay.example/pair"_s, sessionId,
                u"mac-1"_s, u"MCowBQYDK2VwAyEA+/="_s,      expiresAt};
    }
    static BridgeSnapshot snapshot(std::optional<BridgePairingPayload> payload,
                                   QString connection = u"connected"_s)
    {
        BridgeSnapshot snapshot;
        snapshot.bridgeStatus.emplace().connectionStatus = connection;
        snapshot.pairingSession.emplace().pairingPayload = payload;
        return snapshot;
    }

    // An advertiser on a computer called `computerName`, given a live payload for `sessionId`.
    static Advertiser advertiserOn(const QString &computerName, const QString &sessionId = {})
    {
        auto advertiser = std::make_unique<LocalPairingAdvertiser>();
        advertiser->setComputerNameSource([computerName] { return std::optional(computerName); });
        if (!sessionId.isEmpty())
            advertiser->update(snapshot(payload(sessionId)));
        return advertiser;
    }

    // Waits until the advertiser reports `state` and, once published, an announcement passing
    // `check`.
    static bool reaches(const Advertiser &advertiser, State state, int timeout = 20000,
                        const std::function<bool(const LocalPairingAnnouncement &)> &check = {})
    {
        const LocalPairingDiscovery &d = advertiser->discovery();
        return QTest::qWaitFor(
            [&] {
                return d.state == state
                    && (state != State::Published || !check || check(*d.announcement));
            },
            timeout);
    }

    // Interface name to addresses, as the advertiser says the daemon shows the announcement.
    static QMap<QString, QString> seenOn(const Advertiser &advertiser)
    {
        QMap<QString, QString> seen;
        for (const DiscoveryInterface &interface : advertiser->discovery().interfaces)
            seen.insert(interface.name, interface.addresses.join(u','));
        return seen;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsSet("PIVRA_TEST_BUS_LINK"))
            return; // the child of retriesWithoutSystemBus has no bus yet
        QVERIFY2(QFile::exists(qEnvironmentVariable("PIVRA_SERVICES_DIR") + u"/avahi.pid"_s)
                     && run(u"avahi-browse"_s, {u"-pt"_s, u"_pivra._tcp"_s}) == 0,
                 "no avahi-daemon of the tests' own answers: run them through scripts/test");
    }

    // Catches a TXT record that loses, doubles or re-encodes an entry, and a discovery state
    // that claims interfaces the daemon does not show the service on. UTF-8, the characters a
    // hand-made encoder might escape and minus signs go out unchanged; a payload that expires
    // before 1970 is still live before then.
    void announcesEveryField()
    {
        const BridgePairingPayload unusual{-2,
                                           u"wss://relé.example/ü?x=1;y=\"2\""_s,
                                           u"séance ✓"_s,
                                           u"mac-ü"_s,
                                           u"clé\\publique=;\""_s,
                                           -1000};
        for (const auto &[computerName, payload, now] :
             {std::tuple(u"Studio Mac"_s, payload(u"session-ordinary"_s),
                         QDateTime::currentDateTimeUtc()),
              std::tuple(u"Büro ✓ «Ω»"_s, unusual,
                         QDateTime::fromMSecsSinceEpoch(-5000, Qt::UTC))}) {
            const Txt expected{{u"v"_s, QString::number(payload.v)},
                               {u"relay"_s, payload.relay},
                               {u"sessionId"_s, payload.sessionId},
                               {u"macDeviceId"_s, payload.macDeviceId},
                               {u"macIdentityPublicKey"_s, payload.macIdentityPublicKey},
                               {u"expiresAt"_s, QString::number(payload.expiresAt)}};
            const Advertiser advertiser = advertiserOn(computerName);
            advertiser->update(snapshot(payload), now);
            QCOMPARE(advertiser->publishedPayload(), payload);
            QCOMPARE(advertiser->discovery().state, State::Registering);
            QVERIFY(reaches(advertiser, State::Published));
            const LocalPairingAnnouncement announcement = *advertiser->discovery().announcement;
            QCOMPARE(announcement.name, u"Pivra "_s + computerName);
            QCOMPARE(announcement.txt, expected);
            QVERIFY(advertiser->discovery().isOnNetwork());
            const Browsed service = browsed(announcement.name, [&](const Browsed &s) {
                return s.seenOn == seenOn(advertiser);
            });
            QCOMPARE(service.port, announcement.port);
            QCOMPARE(service.txtStrings, 6);
            QCOMPARE(service.txt, expected);
        }
    }

    // Catches a re-registration for an unchanged payload (a new port and a second probing
    // round each time), a changed one not announced, a refused record not reported with the
    // daemon's reason, and a listener that serves callers or stays open after the withdrawal.
    void publicationLifecycle()
    {
        const Advertiser advertiser = advertiserOn(u"Keep Mac"_s, u"session-keep"_s);
        advertiser->update(snapshot(payload(u"session-keep"_s)));
        QVERIFY(reaches(advertiser, State::Published));
        const LocalPairingDiscovery published = advertiser->discovery();
        QSignalSpy changed(advertiser.get(), &LocalPairingAdvertiser::discoveryChanged);
        advertiser->update(snapshot(payload(u"session-keep"_s)));
        QCOMPARE(changed.count(), 0);
        QCOMPARE(advertiser->discovery(), published);

        // Only the expiry differs: that is a new payload and a new announcement.
        const QString expiresAt = QString::number(inOneHour + 60000);
        advertiser->update(snapshot(payload(u"session-keep"_s, inOneHour + 60000)));
        QVERIFY(reaches(advertiser, State::Published, 20000,
                        [&](const auto &a) { return a.txt[u"expiresAt"_s] == expiresAt; }));
        QCOMPARE(browsed(u"Pivra Keep Mac"_s,
                         [&](const Browsed &s) { return s.txt[u"expiresAt"_s] == expiresAt; })
                     .port,
                 advertiser->discovery().announcement->port);

        // "relay=" and 250 more bytes: one over what a DNS-SD string holds; 255 fit.
        BridgePairingPayload tooLong = payload(u"session-keep"_s);
        tooLong.relay = u"wss://"_s + QString(244, u'r');
        advertiser->update(snapshot(tooLong));
        QVERIFY(reaches(advertiser, State::Failed));
        QCOMPARE(advertiser->discovery().failure, Failure::Daemon);
        QCOMPARE(advertiser->discovery().reason, u"Invalid record"_s);
        tooLong.relay.chop(1);
        advertiser->update(snapshot(tooLong));
        QVERIFY(reaches(advertiser, State::Published));
        QVERIFY(browsed(u"Pivra Keep Mac"_s, [&](const Browsed &s) {
                    return s.txt[u"relay"_s] == tooLong.relay;
                }).port);

        // Callers are let in and sent away at once (the second shows that the first did not take
        // the listener down), and refused after the withdrawal.
        const quint16 port = advertiser->discovery().announcement->port;
        for (int caller = 0; caller < 3; ++caller) {
            if (caller == 2)
                advertiser->stop();
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            QCOMPARE(socket.waitForConnected(2000), caller < 2);
            QVERIFY(caller < 2 || socket.error() == QAbstractSocket::ConnectionRefusedError);
            socket.write("hello");
            QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 2000);
            QCOMPARE(socket.readAll(), QByteArray());
        }
    }

    void followsSnapshot_data()
    {
        QTest::addColumn<bool>("viaStop");
        QTest::addColumn<std::optional<BridgeSnapshot>>("next");
        QTest::addColumn<bool>("announced");
        using Snapshot = std::optional<BridgeSnapshot>;
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
            << false << Snapshot(snapshot(payload(u"session-next"_s, inOneHour - 1800000)))
            << false;
        QTest::newRow("live for one more millisecond")
            << false << Snapshot(snapshot(payload(u"session-next"_s, inOneHour - 1799999))) << true;
        QTest::newRow("CONNECTED") << false << Snapshot(snapshot(next, u"CONNECTED"_s)) << true;
    }

    // Catches an announcement left up (or dropped) against the withdrawal rules.
    void followsSnapshot()
    {
        QFETCH(bool, viaStop);
        QFETCH(std::optional<BridgeSnapshot>, next);
        QFETCH(bool, announced);
        // Each row has its own name: the goodbye of the previous row may still be in the cache.
        const QString name = u"Rules "_s + QString::fromLatin1(QTest::currentDataTag());
        const Advertiser advertiser = advertiserOn(name, u"session-first"_s);
        QVERIFY(reaches(advertiser, State::Published));
        if (viaStop)
            advertiser->stop();
        else
            advertiser->update(next, QDateTime::fromMSecsSinceEpoch(inOneHour - 1800000, Qt::UTC));
        if (announced) {
            QCOMPARE(advertiser->publishedPayload(), *next->pairingPayload());
            QVERIFY(reaches(advertiser, State::Published, 20000, [](const auto &a) {
                return a.txt[u"sessionId"_s] == u"session-next"_s;
            }));
        } else {
            QCOMPARE(advertiser->publishedPayload(), std::nullopt);
            QCOMPARE(advertiser->discovery(), LocalPairingDiscovery());
            QTRY_VERIFY_WITH_TIMEOUT(!browse().contains(u"Pivra "_s + name), 20000);
        }
    }

    // Catches a collision that leaves the service unannounced, or a state that names the
    // original rather than the renamed service.
    void takesAlternativeNameOnCollision()
    {
        QProcess other;
        other.start(u"avahi-publish"_s, {u"-s"_s, u"Pivra Clash Mac"_s, u"_pivra._tcp"_s, u"9"_s});
        const auto stopOther = qScopeGuard([&] { other.terminate(), other.waitForFinished(); });
        QVERIFY(browsed(u"Pivra Clash Mac"_s).port);
        const Advertiser advertiser = advertiserOn(u"Clash Mac"_s, u"session-clash"_s);
        QVERIFY(reaches(advertiser, State::Published));
        QCOMPARE(advertiser->discovery().announcement->name, u"Pivra Clash Mac #2"_s);
        QCOMPARE(browsed(u"Pivra Clash Mac #2"_s).txt[u"sessionId"_s], u"session-clash"_s);
    }

    // Catches a state that does not follow the daemon: absent at start, then started (published
    // within 5 s), then killed (failed within 5 s), then back, all without a call from the owner.
    void followsDaemonComingAndGoing()
    {
        const auto restart = qScopeGuard([] { avahi(u"start"_s); });
        QVERIFY(avahi(u"stop"_s));
        const Advertiser advertiser = advertiserOn(u"Phoenix Mac"_s);
        QElapsedTimer elapsed;
        elapsed.start();
        advertiser->update(snapshot(payload(u"session-phoenix"_s)));
        QCOMPARE_LT(elapsed.elapsed(), 200); // the main thread never waits for the daemon
        QVERIFY(reaches(advertiser, State::Failed, 5000));
        QCOMPARE(advertiser->discovery().failure, Failure::NoDaemon);
        QVERIFY(avahi(u"start"_s));
        QVERIFY2(reaches(advertiser, State::Published, 5000), "not published within 5 s");
        const LocalPairingAnnouncement before = *advertiser->discovery().announcement;
        QVERIFY(avahi(u"kill"_s));
        QVERIFY2(reaches(advertiser, State::Failed, 5000), "still published 5 s later");
        QCOMPARE(advertiser->discovery().failure, Failure::NoDaemon);
        QCOMPARE(advertiser->publishedPayload(), payload(u"session-phoenix"_s));
        QVERIFY(avahi(u"start"_s));
        QVERIFY(reaches(advertiser, State::Published, 5000));
        QCOMPARE(*advertiser->discovery().announcement, before);
        QCOMPARE(browsed(before.name, {}, 5000).port, before.port);
    }

    // Catches interfaces taken from anywhere but the daemon's own answers: a link going down
    // takes the computer off the network until it comes back.
    void followsInterfaceGoingDownAndUp()
    {
        const auto link = [](const char *state) {
            return run(u"ip"_s, {u"link"_s, u"set"_s, u"pivra0"_s, QString::fromLatin1(state)})
                == 0;
        };
        const auto restoreLink = qScopeGuard([&] { link("up"); });
        const Advertiser advertiser = advertiserOn(u"Link Mac"_s, u"session-link"_s);
        QTRY_COMPARE_WITH_TIMEOUT(seenOn(advertiser).value(u"pivra0"_s), u"169.254.83.1"_s, 20000);
        QVERIFY(link("down"));
        QTRY_VERIFY_WITH_TIMEOUT(!advertiser->discovery().isOnNetwork(), 5000);
        QCOMPARE(advertiser->discovery().state, State::Published);
        QCOMPARE(seenOn(advertiser).keys(), QStringList{u"lo"_s});
        QVERIFY(link("up"));
        QTRY_VERIFY_WITH_TIMEOUT(advertiser->discovery().isOnNetwork(), 10000);
    }

    // Catches a failed listener that is never tried again, or not reported.
    void retriesListenerAfterFailedCreation()
    {
        const Advertiser advertiser = advertiserOn(u"Retry Mac"_s);
        // No descriptor left: the listener cannot be created.
        rlimit original{};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &original), 0);
        const int lowestFree = dup(0);
        QVERIFY(lowestFree >= 0);
        close(lowestFree);
        rlimit exhausted = original;
        exhausted.rlim_cur = rlim_t(lowestFree);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &exhausted), 0);
        advertiser->update(snapshot(payload(u"session-retry"_s)));
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &original), 0);
        QCOMPARE(advertiser->discovery().failure, Failure::Listener);
        QCOMPARE(advertiser->publishedPayload(), std::nullopt);
        advertiser->update(snapshot(payload(u"session-retry"_s)));
        QVERIFY(reaches(advertiser, State::Published));
    }

    // Catches a missing system bus that is reported as a missing daemon, or never retried.
    void retriesWithoutSystemBus()
    {
        const QString link = qEnvironmentVariable("PIVRA_TEST_BUS_LINK");
        if (link.isEmpty()) {
            // The bus address is read once per process, so the scenario runs in a child whose
            // address names a link that does not exist yet; the tests' own namespace
            // (scripts/lib/isolated) keeps the bus at the standard path.
            QTemporaryDir dir;
            QProcess child;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s,
                               u"unix:path="_s + dir.filePath(u"bus"_s));
            environment.insert(u"PIVRA_TEST_BUS_LINK"_s, dir.filePath(u"bus"_s));
            child.setProcessEnvironment(environment);
            child.setProcessChannelMode(QProcess::MergedChannels);
            child.start(QCoreApplication::applicationFilePath(), {u"retriesWithoutSystemBus"_s});
            QVERIFY(child.waitForFinished(60000));
            QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                     child.readAll().constData());
            return;
        }
        const Advertiser advertiser = advertiserOn(u"Busless Mac"_s, u"session-busless"_s);
        QVERIFY(reaches(advertiser, State::Failed));
        QCOMPARE(advertiser->discovery().failure, Failure::NoSystemBus);
        // The link now leads to the bus, for the advertiser and for avahi-browse alike.
        QVERIFY(QFile::link(u"/run/dbus/system_bus_socket"_s, link));
        QVERIFY(reaches(advertiser, State::Published, 10000));
        QVERIFY(browsed(u"Pivra Busless Mac"_s).port);
    }
};

QTEST_GUILESS_MAIN(TestLocalPairingAdvertiser)
#include "tst_localpairingadvertiser.moc"
