// The advertiser against the tests' own avahi-daemon (loopback and the link-local pivra0),
// checked with avahi-browse, an independent client that resolves the way a phone does.
#include "LocalPairingAdvertiser.h"

#include <QDeadlineTimer>
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
    static inline const qint64 ruleTime = inOneHour - 1800 * 1000; // followsSnapshot's "now"

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
    static bool avahi(const char *command)
    {
        return run(QStringLiteral(PIVRA_SOURCE_DIR "/scripts/lib/test-avahi"),
                   {QLatin1String(command)})
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
                           const std::function<bool(const Browsed &)> &check = {})
    {
        Browsed found;
        const bool shown = QTest::qWaitFor(
            [&] { return (found = browse().value(name)).port && (!check || check(found)); }, 20000);
        return shown ? found : Browsed();
    }

    static BridgePairingPayload payload(const QString &sessionId, qint64 expiresAt = inOneHour)
    {
        return {1,          u"wss://relay.example/pair"_s, sessionId,
                u"mac-1"_s, u"MCowBQYDK2VwAyEA+/="_s,      expiresAt};
    }
    static BridgeSnapshot snapshot(const BridgePairingPayload &payload,
                                   const QString &connection = u"connected"_s)
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
        QVERIFY2(QFile::exists(qEnvironmentVariable("PIVRA_SERVICES_DIR") + u"/avahi.pid"_s),
                 "not the tests' own avahi-daemon: run the tests through scripts/test");
    }

    // Catches TXT, interfaces or renames unlike the daemon's, wrong re-registration, bad listeners.
    void publication()
    {
        // UTF-8, escapable characters and minus signs go out unchanged; expiry before 1970.
        BridgePairingPayload unusual = payload(u"séance ✓"_s, -1000);
        unusual.v = -2;
        unusual.relay = u"wss://relé.example/ü?x=1;y=\"2\""_s;
        unusual.macDeviceId = u"mac-ü"_s;
        unusual.macIdentityPublicKey = u"clé\\publique=;\""_s;
        const QDateTime before1970 = QDateTime::fromMSecsSinceEpoch(-5000, Qt::UTC);
        const Advertiser advertiser = advertiserOn({});
        // No descriptor left for the listener: a failure, and the next update tries again. Left
        // to the plain build: the sanitizers' own memory probe needs a descriptor too.
#ifndef __SANITIZE_ADDRESS__
        rlimit original{};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &original), 0);
        rlimit exhausted = original;
        exhausted.rlim_cur = rlim_t(dup(0));
        close(int(exhausted.rlim_cur));
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &exhausted), 0);
        advertiser->update(snapshot(payload(u"session-ordinary"_s)));
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &original), 0);
        QCOMPARE(advertiser->discovery().failure, Failure::Listener);
        QCOMPARE(advertiser->publishedPayload(), std::nullopt);
#endif
        // Another service has the first name: this one takes "#2".
        QProcess other;
        other.start(u"avahi-publish"_s, {u"-s"_s, u"Pivra Studio Mac"_s, u"_pivra._tcp"_s, u"9"_s});
        const auto stopOther = qScopeGuard([&] { other.terminate(), other.waitForFinished(); });
        QVERIFY(browsed(u"Pivra Studio Mac"_s).port);
        for (const auto &[computerName, serviceName, payload, now] :
             {std::tuple(u"Studio Mac"_s, u"Pivra Studio Mac #2"_s, payload(u"session-ordinary"_s),
                         QDateTime::currentDateTimeUtc()),
              std::tuple(u"Büro ✓ «Ω»"_s, u"Pivra Büro ✓ «Ω»"_s, unusual, before1970)}) {
            const Txt expected{{u"v"_s, QString::number(payload.v)},
                               {u"relay"_s, payload.relay},
                               {u"sessionId"_s, payload.sessionId},
                               {u"macDeviceId"_s, payload.macDeviceId},
                               {u"macIdentityPublicKey"_s, payload.macIdentityPublicKey},
                               {u"expiresAt"_s, QString::number(payload.expiresAt)}};
            advertiser->setComputerNameSource(
                [name = computerName] { return std::optional(name); });
            advertiser->update(snapshot(payload), now);
            advertiser->update(snapshot(payload), now);
            QCOMPARE(advertiser->publishedPayload(), payload);
            QCOMPARE(advertiser->discovery().state, State::Registering);
            QTRY_COMPARE_WITH_TIMEOUT(advertiser->discovery().state, State::Published, 20000);
            const LocalPairingAnnouncement announcement = *advertiser->discovery().announcement;
            QCOMPARE(announcement.name, serviceName);
            QCOMPARE(announcement.txt, expected);
            QVERIFY(advertiser->discovery().isOnNetwork());
            const Browsed service = browsed(announcement.name, [&](const Browsed &s) {
                return s.seenOn == seenOn(advertiser) && s.txt == expected;
            });
            QCOMPARE(service.port, announcement.port);
            QCOMPARE(service.txtStrings, 6);
        }
        const QString name = u"Pivra Büro ✓ «Ω»"_s;

        const auto link = [](const char *state) {
            return run(u"ip"_s, {u"link"_s, u"set"_s, u"pivra0"_s, QLatin1String(state)}) == 0;
        };
        const auto restoreLink = qScopeGuard([&] { link("up"); });
        QCOMPARE(seenOn(advertiser).value(u"pivra0"_s), u"169.254.83.1"_s);
        QVERIFY(link("down"));
        QTRY_VERIFY_WITH_TIMEOUT(!advertiser->discovery().isOnNetwork(), 5000);
        QCOMPARE(advertiser->discovery().state, State::Published);
        QCOMPARE(seenOn(advertiser).keys(), QStringList{u"lo"_s});
        QVERIFY(link("up"));
        QTRY_VERIFY_WITH_TIMEOUT(advertiser->discovery().isOnNetwork(), 10000);

        // The same payload again changes nothing; one that differs only in its expiry is new.
        const LocalPairingDiscovery published = advertiser->discovery();
        QSignalSpy changed(advertiser.get(), &LocalPairingAdvertiser::discoveryChanged);
        advertiser->update(snapshot(unusual), before1970);
        QCOMPARE(changed.count(), 0);
        QCOMPARE(advertiser->discovery(), published);
        ++unusual.expiresAt;
        advertiser->update(snapshot(unusual), before1970);
        QCOMPARE(advertiser->discovery().state, State::Registering);
        QTRY_COMPARE_WITH_TIMEOUT(advertiser->discovery().state, State::Published, 20000);
        QCOMPARE(browsed(name, [&](const Browsed &s) { return s.txt[u"expiresAt"_s] == u"-999"_s; })
                     .port,
                 advertiser->discovery().announcement->port);

        // "relay=" and 250 more bytes: one over what a DNS-SD string holds; 255 fit.
        unusual.relay = u"wss://"_s + QString(244, u'r');
        advertiser->update(snapshot(unusual), before1970);
        QTRY_COMPARE_WITH_TIMEOUT(advertiser->discovery().state, State::Failed, 20000);
        QCOMPARE(advertiser->discovery().failure, Failure::Daemon);
        QCOMPARE(advertiser->discovery().reason, u"Invalid record"_s);
        unusual.relay.chop(1);
        advertiser->update(snapshot(unusual), before1970);
        QTRY_COMPARE_WITH_TIMEOUT(advertiser->discovery().state, State::Published, 20000);
        QVERIFY(browsed(name, [&](const Browsed &s) {
                    return s.txt[u"relay"_s] == unusual.relay;
                }).port);

        // The listener only lends its port: every caller is turned away, and none gets in after.
        const quint16 port = advertiser->discovery().announcement->port;
        for (const bool up : {true, true, false}) {
            if (!up)
                advertiser->stop();
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            QCOMPARE(socket.waitForConnected(2000), up);
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
        using Next = std::optional<BridgeSnapshot>;
        const BridgePairingPayload next = payload(u"session-next"_s);
        QTest::newRow("stop") << true << Next() << false;
        QTest::newRow("no snapshot") << false << Next() << false;
        QTest::newRow("connecting") << false << Next(snapshot(next, u"connecting"_s)) << false;
        QTest::newRow("expires now")
            << false << Next(snapshot(payload(next.sessionId, ruleTime))) << false;
        QTest::newRow("CONNECTED") << false << Next(snapshot(next, u"CONNECTED"_s)) << true;
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
        QTRY_COMPARE_WITH_TIMEOUT(advertiser->discovery().state, State::Published, 20000);
        if (viaStop)
            advertiser->stop();
        else
            advertiser->update(next, QDateTime::fromMSecsSinceEpoch(ruleTime, Qt::UTC));
        if (announced) {
            QCOMPARE(advertiser->publishedPayload(), *next->pairingPayload());
            QTRY_COMPARE_WITH_TIMEOUT(advertiser->discovery().state, State::Published, 20000);
        } else {
            QCOMPARE(advertiser->publishedPayload(), std::nullopt);
            QCOMPARE(advertiser->discovery(), LocalPairingDiscovery());
            QTRY_VERIFY_WITH_TIMEOUT(!browse().contains(u"Pivra "_s + name), 20000);
        }
    }

    // Catches a state that does not follow the daemon's absence, start, death and return.
    void followsDaemonComingAndGoing()
    {
        const auto restart = qScopeGuard([] { avahi("start"); });
        QVERIFY(avahi("stop"));
        const Advertiser advertiser = advertiserOn(u"Phoenix Mac"_s);
        const QDeadlineTimer limit(200);
        advertiser->update(snapshot(payload(u"session-phoenix"_s)));
        QCOMPARE_GT(limit.remainingTime(), 0); // the main thread never waits for the daemon
        QTRY_COMPARE_WITH_TIMEOUT(advertiser->discovery().state, State::Failed, 5000);
        QCOMPARE(advertiser->discovery().failure, Failure::NoDaemon);
        QVERIFY(avahi("start"));
        QTRY_COMPARE_WITH_TIMEOUT(advertiser->discovery().state, State::Published, 5000);
        const LocalPairingAnnouncement before = *advertiser->discovery().announcement;
        QVERIFY(avahi("kill"));
        QTRY_COMPARE_WITH_TIMEOUT(advertiser->discovery().state, State::Failed, 5000);
        QCOMPARE(advertiser->discovery().failure, Failure::NoDaemon);
        QCOMPARE(advertiser->publishedPayload(), payload(u"session-phoenix"_s));
        QVERIFY(avahi("start"));
        QTRY_COMPARE_WITH_TIMEOUT(advertiser->discovery().state, State::Published, 5000);
        QCOMPARE(*advertiser->discovery().announcement, before);
        QCOMPARE(browsed(before.name).port, before.port);
    }

    // Catches a missing system bus that is reported as a missing daemon, or never retried.
    void retriesWithoutSystemBus()
    {
        const QString link = qEnvironmentVariable("PIVRA_TEST_BUS_LINK");
        if (link.isEmpty()) {
            // The bus address is read once per process: a child runs this, its link not there yet.
            QTemporaryDir dir;
            qputenv("PIVRA_TEST_BUS_LINK", QFile::encodeName(dir.filePath(u"bus"_s)));
            qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + qgetenv("PIVRA_TEST_BUS_LINK"));
            const QStringList test{u"retriesWithoutSystemBus"_s};
            QCOMPARE(QProcess::execute(QCoreApplication::applicationFilePath(), test), 0);
            return;
        }
        const Advertiser advertiser = advertiserOn(u"Busless Mac"_s, u"session-busless"_s);
        QTRY_COMPARE_WITH_TIMEOUT(advertiser->discovery().state, State::Failed, 20000);
        QCOMPARE(advertiser->discovery().failure, Failure::NoSystemBus);
        // The link now leads to the bus, for the advertiser and for avahi-browse alike.
        QVERIFY(QFile::link(u"/run/dbus/system_bus_socket"_s, link));
        QTRY_COMPARE_WITH_TIMEOUT(advertiser->discovery().state, State::Published, 10000);
        QVERIFY(browsed(u"Pivra Busless Mac"_s).port);
    }
};

QTEST_GUILESS_MAIN(TestLocalPairingAdvertiser)
#include "tst_localpairingadvertiser.moc"
