#include "LocalPairingAdvertiser.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <mutex>

using namespace Qt::StringLiterals;

// Checks the announcement as a phone's resolver sees it: every test browses the real loopback
// avahi-daemon with avahi-browse, an Avahi client independent of the one under test.

using Txt = QMap<QString, QString>;

namespace {

constexpr auto logCategory = "com.pivra.menubar.LocalPairingAdvertiser";
constexpr int registrationTimeout = 20000;

struct LogLine
{
    QtMsgType type;
    QString text;
};

std::mutex logMutex;
QList<LogLine> logLines;
QtMessageHandler forwardHandler = nullptr;

// Reports arrive from the advertiser's Avahi thread as well, hence the lock.
void captureLog(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && qstrcmp(context.category, logCategory) == 0) {
        std::lock_guard lock(logMutex);
        logLines.append({type, message});
    }
    forwardHandler(type, context, message);
}

void clearLog()
{
    std::lock_guard lock(logMutex);
    logLines.clear();
}

int logged(QtMsgType type, const QString &fragment)
{
    std::lock_guard lock(logMutex);
    return int(std::count_if(logLines.cbegin(), logLines.cend(), [&](const LogLine &line) {
        return line.type == type && line.text.contains(fragment);
    }));
}

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

QList<QByteArray> decodeTxt(QByteArrayView text)
{
    QList<QByteArray> strings;
    for (qsizetype at = text.indexOf('"'); at >= 0; at = text.indexOf('"', at + 1)) {
        ++at;
        strings.append(unescape(text, at, '"'));
    }
    return strings;
}

struct Browsed
{
    QString name;
    QString type;
    QString domain;
    quint16 port = 0;
    QList<QByteArray> txtStrings;

    Txt txt() const
    {
        Txt map;
        for (const QByteArray &string : txtStrings) {
            const qsizetype equals = string.indexOf('=');
            map.insert(QString::fromUtf8(string.left(equals)),
                       QString::fromUtf8(string.mid(equals + 1)));
        }
        return map;
    }
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
int run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr,
        int timeout = 20000, QByteArray *errors = nullptr)
{
    QProcess process;
    process.setProcessEnvironment(servicesEnvironment());
    process.start(program, arguments);
    if (!process.waitForStarted())
        return -1;
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeout)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (output)
        *output = process.readAllStandardOutput();
    if (errors)
        *errors = process.readAllStandardError();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// What the last browse printed, for the failure message.
QByteArray lastBrowseOutput;

// Resolved services of type _pivra._tcp, one per name.
QList<Browsed> browse()
{
    QByteArray output, errors;
    const int exitCode
        = run(u"avahi-browse"_s, {u"-rpt"_s, u"_pivra._tcp"_s}, &output, 20000, &errors);
    lastBrowseOutput = "exit " + QByteArray::number(exitCode) + ":\n" + output + errors;
    if (exitCode != 0)
        return {};
    QList<Browsed> services;
    for (const QByteArray &line : output.split('\n')) {
        if (!line.startsWith("=;"))
            continue;
        // = ; interface ; protocol ; name ; type ; domain ; host ; address ; port ; txt
        QList<QByteArray> fields;
        qsizetype start = 0;
        for (int field = 0; field < 9; ++field) {
            const qsizetype end = line.indexOf(';', start);
            if (end < 0)
                break;
            fields.append(line.mid(start, end - start));
            start = end + 1;
        }
        if (fields.size() != 9)
            continue;
        qsizetype at = 0;
        Browsed service{.name = QString::fromUtf8(unescape(fields[3], at)),
                        .type = QString::fromUtf8(fields[4]),
                        .domain = QString::fromUtf8(fields[5]),
                        .port = quint16(fields[8].toUInt()),
                        .txtStrings = decodeTxt(QByteArrayView(line).sliced(start))};
        if (std::none_of(services.cbegin(), services.cend(),
                         [&](const Browsed &known) { return known.name == service.name; }))
            services.append(service);
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
                           int timeout = registrationTimeout)
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

bool testAvahi(const QString &command)
{
    return run(u"bash"_s, {QStringLiteral(PIVRA_SOURCE_DIR "/scripts/lib/test-avahi"), command})
        == 0;
}

bool ownsTestDaemon()
{
    return qEnvironmentVariableIsSet("PIVRA_SERVICES_DIR")
        && QFile::exists(qEnvironmentVariable("PIVRA_SERVICES_DIR") + u"/avahi.pid"_s);
}

// Starts the test daemon again however a fault test ends.
struct DaemonRestorer
{
    ~DaemonRestorer()
    {
        if (!QFile::exists(qEnvironmentVariable("PIVRA_SERVICES_DIR") + u"/avahi.pid"_s))
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
    snapshot.currentVersion = u"1.4.0"_s;
    snapshot.label = u"com.pivra.bridge"_s;
    snapshot.platform = u"darwin"_s;
    snapshot.installed = true;
    snapshot.launchdLoaded = true;
    snapshot.bridgeStatus.emplace().connectionStatus = connectionStatus;
    snapshot.pairingSession.emplace().pairingPayload = payload;
    snapshot.stdoutLogPath = u"/tmp/bridge.stdout.log"_s;
    snapshot.stderrLogPath = u"/tmp/bridge.stderr.log"_s;
    return snapshot;
}

void nameComputer(LocalPairingAdvertiser &advertiser, const QString &name)
{
    advertiser.setComputerNameSource([name] { return std::optional(name); });
}

bool waitForAnnouncement(
    const LocalPairingAdvertiser &advertiser,
    const std::function<bool(const LocalPairingAdvertiser::Announcement &)> &check = {},
    int timeout = registrationTimeout)
{
    return QTest::qWaitFor(
        [&] {
            const auto announcement = advertiser.announcement();
            return announcement && (!check || check(*announcement));
        },
        timeout);
}

} // namespace

class TestLocalPairingAdvertiser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        forwardHandler = qInstallMessageHandler(captureLog);
        if (qEnvironmentVariableIsSet("PIVRA_SKIP_DNSSD"))
            QSKIP("another avahi-daemon runs on this machine; announcing through it would reach "
                  "the real network");
        if (qEnvironmentVariableIsSet("PIVRA_TEST_BUS_LINK"))
            return; // the child of retriesWithoutSystemBus has no bus yet
        QVERIFY2(run(u"avahi-browse"_s, {u"-pt"_s, u"_pivra._tcp"_s}) == 0,
                 "no avahi-daemon answers: start the loopback test services (scripts/test does)");
    }

    void init() { clearLog(); }

    void announcesEveryField_data()
    {
        QTest::addColumn<QString>("computerName");
        QTest::addColumn<BridgePairingPayload>("payload");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<QString>("expectedName");
        QTest::addColumn<Txt>("expectedTxt");

        const BridgePairingPayload ordinary = payload(u"session-ordinary"_s, 1767225600000);
        QTest::newRow("ordinary") << u"Studio Mac"_s << ordinary
                                  << QDateTime::fromMSecsSinceEpoch(1767225000000, Qt::UTC)
                                  << u"Pivra Studio Mac"_s
                                  << Txt{{u"v"_s, u"1"_s},
                                         {u"relay"_s, u"wss://relay.example/pair"_s},
                                         {u"sessionId"_s, u"session-ordinary"_s},
                                         {u"macDeviceId"_s, u"mac-device-1"_s},
                                         {u"macIdentityPublicKey"_s,
                                          u"MCowBQYDK2VwAyEAq3v+/key="_s},
                                         {u"expiresAt"_s, u"1767225600000"_s}};

        // Still live before 1970: the minus sign must survive the TXT encoding.
        BridgePairingPayload negative = payload(u"session-negative"_s, -1000);
        negative.v = -2;
        QTest::newRow("negative") << u"office.local"_s << negative
                                  << QDateTime::fromMSecsSinceEpoch(-5000, Qt::UTC)
                                  << u"Pivra office"_s
                                  << Txt{{u"v"_s, u"-2"_s},
                                         {u"relay"_s, u"wss://relay.example/pair"_s},
                                         {u"sessionId"_s, u"session-negative"_s},
                                         {u"macDeviceId"_s, u"mac-device-1"_s},
                                         {u"macIdentityPublicKey"_s,
                                          u"MCowBQYDK2VwAyEAq3v+/key="_s},
                                         {u"expiresAt"_s, u"-1000"_s}};

        // UTF-8 and the characters a hand-made encoder might escape go through unchanged.
        const BridgePairingPayload text{.v = 7,
                                        .relay = u"wss://relé.example/ü?x=1;y=\"2\""_s,
                                        .sessionId = u"séance ✓"_s,
                                        .macDeviceId = u"mac-ü"_s,
                                        .macIdentityPublicKey = u"clé\\publique=;\""_s,
                                        .expiresAt = inOneHour};
        QTest::newRow("non-ASCII")
            << u"Büro ✓ «Ω»"_s << text << QDateTime::currentDateTimeUtc() << u"Pivra Büro ✓ «Ω»"_s
            << Txt{{u"v"_s, u"7"_s},
                   {u"relay"_s, u"wss://relé.example/ü?x=1;y=\"2\""_s},
                   {u"sessionId"_s, u"séance ✓"_s},
                   {u"macDeviceId"_s, u"mac-ü"_s},
                   {u"macIdentityPublicKey"_s, u"clé\\publique=;\""_s},
                   {u"expiresAt"_s, QString::number(inOneHour)}};
    }

    void announcesEveryField()
    {
        QFETCH(QString, computerName);
        QFETCH(BridgePairingPayload, payload);
        QFETCH(QDateTime, now);
        QFETCH(QString, expectedName);
        QFETCH(Txt, expectedTxt);

        LocalPairingAdvertiser advertiser;
        nameComputer(advertiser, computerName);
        QSignalSpy changed(&advertiser, &LocalPairingAdvertiser::announcementChanged);
        advertiser.update(snapshot(payload), now);
        QCOMPARE(advertiser.publishedPayload(), payload);
        QVERIFY(logged(QtInfoMsg, u"Publishing local pairing service "_s + expectedName));

        QVERIFY(waitForAnnouncement(advertiser));
        QCOMPARE(changed.count(), 1);
        const auto announcement = *advertiser.announcement();
        QCOMPARE(announcement.name, expectedName);
        QCOMPARE(announcement.type, u"_pivra._tcp"_s);
        QCOMPARE(announcement.domain, u"local"_s);
        QCOMPARE(announcement.txt, expectedTxt);
        QVERIFY(announcement.port != 0);

        const auto browsed = browseFor(expectedName, browseUntil([&](const auto &services) {
                                           return browseFor(expectedName, services).has_value();
                                       }));
        QVERIFY2(browsed, "the service never showed up in avahi-browse");
        QCOMPARE(browsed->type, u"_pivra._tcp"_s);
        QCOMPARE(browsed->domain, u"local"_s);
        QCOMPARE(browsed->port, announcement.port);
        // Exactly six strings: no extra entry, none doubled.
        QCOMPARE(browsed->txtStrings.size(), 6);
        QCOMPARE(browsed->txt(), expectedTxt);
        QVERIFY(logged(QtInfoMsg, u"Local pairing Bonjour listener is ready"_s));
        QVERIFY(logged(QtInfoMsg, u"Local pairing Bonjour registration changed: "_s));
    }

    void keepsSamePayloadAndReplacesChangedOne()
    {
        LocalPairingAdvertiser advertiser;
        nameComputer(advertiser, u"Keep Mac"_s);
        QSignalSpy changed(&advertiser, &LocalPairingAdvertiser::announcementChanged);
        const BridgePairingPayload first = payload(u"session-keep"_s);

        // The second hand-over comes before the first registration finished: restarting then
        // would cost a new port and a second probing round.
        advertiser.update(snapshot(first));
        advertiser.update(snapshot(first));
        QVERIFY(waitForAnnouncement(advertiser));
        const auto registered = *advertiser.announcement();
        advertiser.update(snapshot(first));
        QTest::qWait(1500);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(advertiser.announcement(), registered);
        QCOMPARE(logged(QtInfoMsg, u"Publishing local pairing service"_s), 1);
        const QList<Browsed> once = browse();
        QCOMPARE(
            std::count_if(once.cbegin(), once.cend(),
                          [](const Browsed &s) { return s.name.startsWith(u"Pivra Keep Mac"_s); }),
            1);

        // Only the expiry differs: that is a new payload and a new announcement.
        BridgePairingPayload renewed = first;
        renewed.expiresAt += 60000;
        advertiser.update(snapshot(renewed));
        QCOMPARE(advertiser.publishedPayload(), renewed);
        QVERIFY(waitForAnnouncement(advertiser, [&](const auto &a) {
            return a.txt.value(u"expiresAt"_s) == QString::number(renewed.expiresAt);
        }));
        QCOMPARE(advertiser.announcement()->name, u"Pivra Keep Mac"_s);
        const auto services = browseUntil([&](const auto &services) {
            const auto service = browseFor(u"Pivra Keep Mac"_s, services);
            return service
                && service->txt().value(u"expiresAt"_s) == QString::number(renewed.expiresAt);
        });
        const auto browsed = browseFor(u"Pivra Keep Mac"_s, services);
        QVERIFY(browsed);
        QCOMPARE(browsed->txt().value(u"expiresAt"_s), QString::number(renewed.expiresAt));
        QCOMPARE(browsed->port, advertiser.announcement()->port);
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

        QTest::newRow("stop") << true << Snapshot() << now << false;
        QTest::newRow("no snapshot") << false << Snapshot() << now << false;
        QTest::newRow("connecting")
            << false << Snapshot(snapshot(next, u"connecting"_s)) << now << false;
        QTest::newRow("no connection status")
            << false << Snapshot(snapshot(next, std::nullopt)) << now << false;
        // Compared after lower-casing only, never trimmed.
        QTest::newRow("leading blank")
            << false << Snapshot(snapshot(next, u" connected"_s)) << now << false;
        BridgeSnapshot noStatus = snapshot(next);
        noStatus.bridgeStatus.reset();
        QTest::newRow("no bridge status") << false << Snapshot(noStatus) << now << false;
        BridgeSnapshot noSession = snapshot(next);
        noSession.pairingSession.reset();
        QTest::newRow("no session") << false << Snapshot(noSession) << now << false;
        QTest::newRow("no payload") << false << Snapshot(snapshot(std::nullopt)) << now << false;
        QTest::newRow("expires now")
            << false << Snapshot(snapshot(payload(u"session-next"_s, t))) << now << false;
        QTest::newRow("expired") << false << Snapshot(snapshot(payload(u"session-next"_s, t - 1)))
                                 << now << false;
        QTest::newRow("live for one more millisecond")
            << false << Snapshot(snapshot(payload(u"session-next"_s, t + 1))) << now << true;
        QTest::newRow("Connected")
            << false << Snapshot(snapshot(next, u"Connected"_s)) << now << true;
        QTest::newRow("CONNECTED")
            << false << Snapshot(snapshot(next, u"CONNECTED"_s)) << now << true;
    }

    void followsSnapshot()
    {
        QFETCH(bool, viaStop);
        QFETCH(std::optional<BridgeSnapshot>, next);
        QFETCH(QDateTime, now);
        QFETCH(bool, announced);

        // Each row has its own name: the goodbye of the previous row may still be in the cache.
        const QString computerName = u"Rules "_s + QString::fromLatin1(QTest::currentDataTag());
        const QString name = u"Pivra "_s + computerName;
        LocalPairingAdvertiser advertiser;
        nameComputer(advertiser, computerName);
        advertiser.update(snapshot(payload(u"session-first"_s)), now);
        QVERIFY(waitForAnnouncement(advertiser));

        if (viaStop)
            advertiser.stop();
        else
            advertiser.update(next, now);

        if (announced) {
            QCOMPARE(advertiser.publishedPayload(), *next->pairingPayload());
            QVERIFY(waitForAnnouncement(advertiser, [&](const auto &a) {
                return a.txt.value(u"sessionId"_s) == u"session-next"_s;
            }));
            return;
        }
        QCOMPARE(advertiser.publishedPayload(), std::nullopt);
        QCOMPARE(advertiser.announcement(), std::nullopt);
        const auto services
            = browseUntil([&](const auto &services) { return !browseFor(name, services); });
        QVERIFY2(!browseFor(name, services), "still announced on the daemon");
        // Withdrawing twice is harmless.
        advertiser.stop();
    }

    void closesIncomingConnectionsAtOnce()
    {
        LocalPairingAdvertiser advertiser;
        nameComputer(advertiser, u"Door Mac"_s);
        advertiser.update(snapshot(payload(u"session-door"_s)));
        QVERIFY(waitForAnnouncement(advertiser));
        const quint16 port = advertiser.announcement()->port;

        for (int attempt = 0; attempt < 2; ++attempt) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(socket.waitForConnected(2000));
            socket.write("hello");
            QElapsedTimer elapsed;
            elapsed.start();
            QVERIFY(QTest::qWaitFor(
                [&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 2000));
            QCOMPARE_LT(elapsed.elapsed(), 1000);
            QCOMPARE(socket.readAll(), QByteArray());
        }

        // A withdrawn announcement leaves no port open behind it.
        advertiser.stop();
        QTcpSocket late;
        late.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(QTest::qWaitFor([&] { return late.state() == QAbstractSocket::UnconnectedState; },
                                2000));
        QCOMPARE(late.error(), QAbstractSocket::ConnectionRefusedError);
    }

    void takesAlternativeNameOnCollision()
    {
        // Another program holds the name already.
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

        LocalPairingAdvertiser advertiser;
        nameComputer(advertiser, u"Clash Mac"_s);
        QSignalSpy changed(&advertiser, &LocalPairingAdvertiser::announcementChanged);
        advertiser.update(snapshot(payload(u"session-clash"_s)));
        QVERIFY(waitForAnnouncement(advertiser));
        QCOMPARE(advertiser.announcement()->name, u"Pivra Clash Mac #2"_s);
        QVERIFY(changed.count() >= 1);
        QVERIFY(logged(QtInfoMsg, u"Local pairing Bonjour registration changed: "_s));
        QVERIFY(logged(QtInfoMsg, u"Pivra Clash Mac #2"_s));

        const auto services = browseUntil([](const auto &services) {
            return browseFor(u"Pivra Clash Mac #2"_s, services).has_value();
        });
        const auto ours = browseFor(u"Pivra Clash Mac #2"_s, services);
        QVERIFY(ours);
        QCOMPARE(ours->port, advertiser.announcement()->port);
        QCOMPARE(ours->txt().value(u"sessionId"_s), u"session-clash"_s);
        const auto theirs = browseFor(u"Pivra Clash Mac"_s, services);
        QVERIFY(theirs);
        QCOMPARE(theirs->port, 9);
    }

    void announcesOnceDaemonStarts()
    {
        if (!ownsTestDaemon())
            QSKIP("needs the avahi-daemon of scripts/lib/test-avahi");
        DaemonRestorer restorer;
        QVERIFY(testAvahi(u"stop"_s));

        LocalPairingAdvertiser advertiser;
        nameComputer(advertiser, u"Late Mac"_s);
        QElapsedTimer elapsed;
        elapsed.start();
        advertiser.update(snapshot(payload(u"session-late"_s)));
        QCOMPARE_LT(elapsed.elapsed(), 200);
        QVERIFY(advertiser.publishedPayload());
        QVERIFY(QTest::qWaitFor(
            [] { return logged(QtCriticalMsg, u"Local pairing Bonjour listener failed: "_s); },
            5000));
        // The main thread goes on meanwhile.
        bool fired = false;
        QTimer::singleShot(10, [&] { fired = true; });
        QVERIFY(QTest::qWaitFor([&] { return fired; }, 500));
        QCOMPARE(advertiser.announcement(), std::nullopt);

        QVERIFY(testAvahi(u"start"_s));
        QVERIFY(waitForAnnouncement(advertiser));
        QVERIFY(browseFor(u"Pivra Late Mac"_s, browseUntil([](const auto &services) {
                              return browseFor(u"Pivra Late Mac"_s, services).has_value();
                          })));
    }

    void announcesAgainAfterDaemonRestart()
    {
        if (!ownsTestDaemon())
            QSKIP("needs the avahi-daemon of scripts/lib/test-avahi");
        DaemonRestorer restorer;
        LocalPairingAdvertiser advertiser;
        nameComputer(advertiser, u"Phoenix Mac"_s);
        advertiser.update(snapshot(payload(u"session-phoenix"_s)));
        QVERIFY(waitForAnnouncement(advertiser));
        const auto before = *advertiser.announcement();

        QVERIFY(testAvahi(u"kill"_s));
        // Nothing is registered while no daemon runs.
        QVERIFY(QTest::qWaitFor([&] { return !advertiser.announcement(); }, 5000));
        QVERIFY(QTest::qWaitFor(
            [] { return logged(QtCriticalMsg, u"Local pairing Bonjour listener failed: "_s); },
            5000));
        QCOMPARE(advertiser.publishedPayload(), payload(u"session-phoenix"_s));

        QVERIFY(testAvahi(u"start"_s));
        QElapsedTimer elapsed;
        elapsed.start();
        const auto services = browseUntil(
            [&](const auto &services) { return browseFor(before.name, services).has_value(); },
            5000);
        const auto browsed = browseFor(before.name, services);
        QVERIFY2(browsed, "not announced again within 5 seconds of the daemon's return");
        qInfo("announced again %lld ms after the daemon answered", elapsed.elapsed());
        QCOMPARE(browsed->port, before.port);
        QCOMPARE(browsed->txt(), before.txt);
        QVERIFY(waitForAnnouncement(advertiser));
        QCOMPARE(*advertiser.announcement(), before);
    }

    void logsTxtStringTooLong()
    {
        LocalPairingAdvertiser advertiser;
        nameComputer(advertiser, u"Long Mac"_s);

        // "relay=" and 250 more bytes: one over what a DNS-SD string holds.
        BridgePairingPayload tooLong = payload(u"session-long"_s);
        tooLong.relay = u"wss://"_s + QString(244, u'r');
        advertiser.update(snapshot(tooLong));
        QVERIFY(QTest::qWaitFor(
            [] {
                return logged(QtCriticalMsg,
                              u"Local pairing Bonjour listener failed: Invalid record"_s);
            },
            5000));
        QCOMPARE(advertiser.announcement(), std::nullopt);
        QCOMPARE(advertiser.publishedPayload(), tooLong);

        // Exactly 255 bytes fit, and go out whole.
        BridgePairingPayload longest = tooLong;
        longest.relay.chop(1);
        advertiser.update(snapshot(longest));
        QVERIFY(waitForAnnouncement(advertiser));
        const auto browsed
            = browseFor(u"Pivra Long Mac"_s, browseUntil([](const auto &services) {
                            return browseFor(u"Pivra Long Mac"_s, services).has_value();
                        }));
        QVERIFY(browsed);
        QCOMPARE(browsed->txt().value(u"relay"_s), longest.relay);
    }

    void retriesListenerAfterFailedCreation()
    {
        LocalPairingAdvertiser advertiser;
        nameComputer(advertiser, u"Retry Mac"_s);
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
        advertiser.update(live);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &original), 0);

        QVERIFY(logged(QtCriticalMsg, u"Failed to create local pairing Bonjour listener: "_s));
        QCOMPARE(advertiser.publishedPayload(), std::nullopt);

        // Nothing was published, so the same payload is tried again.
        advertiser.update(live);
        QCOMPARE(advertiser.publishedPayload(), payload(u"session-retry"_s));
        QVERIFY(waitForAnnouncement(advertiser));
    }

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
            const QByteArray output = child.readAll();
            QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                     output.constData());
            return;
        }

        LocalPairingAdvertiser advertiser;
        nameComputer(advertiser, u"Busless Mac"_s);
        advertiser.update(snapshot(payload(u"session-busless"_s)));
        QVERIFY(QTest::qWaitFor(
            [] { return logged(QtCriticalMsg, u"Local pairing Bonjour listener failed: "_s); },
            5000));
        QTest::qWait(2500); // at least one retry without a bus
        QCOMPARE(advertiser.announcement(), std::nullopt);
        // One report, not one per retry.
        QCOMPARE(logged(QtCriticalMsg, u"Local pairing Bonjour listener failed: "_s), 1);

        QVERIFY(QFile::link(qEnvironmentVariable("PIVRA_TEST_BUS_TARGET"),
                            qEnvironmentVariable("PIVRA_TEST_BUS_LINK")));
        QVERIFY(waitForAnnouncement(advertiser, {}, 10000));
        QVERIFY(browseFor(u"Pivra Busless Mac"_s, browseUntil([](const auto &services) {
                              return browseFor(u"Pivra Busless Mac"_s, services).has_value();
                          })));
    }
};

QTEST_GUILESS_MAIN(TestLocalPairingAdvertiser)
#include "tst_localpairingadvertiser.moc"
