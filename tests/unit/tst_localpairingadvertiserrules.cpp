#include "LocalPairingAdvertiser.h"

#include <QTest>

#include <limits>

using namespace Qt::StringLiterals;

class TestLocalPairingAdvertiserRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void serviceName_data()
    {
        QTest::addColumn<QString>("computerName"); // the device id is "mac-1"
        QTest::addColumn<QString>("expected");

        QTest::newRow("blanks around the name") << u" \t Studio Mac \n"_s << u"Pivra Studio Mac"_s;
        // The removal is literal, case-sensitive, anywhere in the name and one replace-all pass.
        QTest::newRow("suffix in capitals stays") << u"office.LOCAL"_s << u"Pivra office.LOCAL"_s;
        QTest::newRow("suffix inside the name") << u"my.localhost"_s << u"Pivra myhost"_s;
        QTest::newRow("suffix twice") << u"a.local.local"_s << u"Pivra a"_s;
        QTest::newRow("removal is not repeated") << u".lo.localcal"_s << u"Pivra .local"_s;
        QTest::newRow("blank left by the removal is trimmed")
            << u"Büro .local"_s << u"Pivra Büro"_s;
        QTest::newRow("blank computer name") << u"   "_s << u"Pivra mac-1"_s;
        // The fallback is chosen before the removal: a name that the removal empties stays.
        QTest::newRow("computer name only the suffix") << u".local"_s << u"Pivra Mac"_s;
        // The daemon refuses a name over 63 bytes: cut there, never inside a character.
        QTest::newRow("100-byte host name")
            << QString(100, u'h') << u"Pivra "_s + QString(57, u'h');
        QTest::newRow("cut falls inside a character")
            << QString(40, u'ü') << u"Pivra "_s + QString(28, u'ü');
    }

    // Catches a service name off its trimming, suffix removal, fallbacks or 63-byte cut.
    void serviceName()
    {
        QFETCH(QString, computerName);
        BridgePairingPayload payload;
        payload.macDeviceId = u"mac-1"_s;
        QTEST(LocalPairingAdvertiser::serviceName(payload, computerName), "expected");
    }

    // Catches TXT numbers written with separators, an exponent or a lost sign.
    void txtRecord()
    {
        BridgePairingPayload payload;
        payload.v = std::numeric_limits<qint64>::max();
        payload.expiresAt = std::numeric_limits<qint64>::min();
        const auto txt = LocalPairingAdvertiser::txtRecord(payload);
        QCOMPARE(txt.value(u"v"_s), u"9223372036854775807"_s);
        QCOMPARE(txt.value(u"expiresAt"_s), u"-9223372036854775808"_s);
    }

    void prettyHostName_data()
    {
        QTest::addColumn<QByteArray>("machineInfo");
        QTest::addColumn<std::optional<QString>>("expected");
        const std::optional<QString> none;

        QTest::newRow("among other keys") << QByteArray("# hostnamectl\nCHASSIS=laptop\n"
                                                        "PRETTY_HOSTNAME='Ana''s Mac'\nX=y\n")
                                          << std::optional(u"Anas Mac"_s);
        QTest::newRow("escaped quote and backslash")
            << QByteArray("PRETTY_HOSTNAME=\"Ana\\\"s \\\\ Mac\"")
            << std::optional(u"Ana\"s \\ Mac"_s);
        QTest::newRow("unquoted with an escaped blank")
            << QByteArray("PRETTY_HOSTNAME=Studio\\ Mac") << std::optional(u"Studio Mac"_s);
        QTest::newRow("UTF-8") << QByteArray("PRETTY_HOSTNAME=\"B\xc3\xbcro \xe2\x9c\x93\"")
                               << std::optional(u"Büro ✓"_s);
        QTest::newRow("missing") << QByteArray("CHASSIS=desktop\n") << none;
        QTest::newRow("blank") << QByteArray("PRETTY_HOSTNAME=\"  \"\n") << none;
        // A key that merely begins the same way is another key.
        QTest::newRow("other key") << QByteArray("PRETTY_HOSTNAME_OLD=x\n") << none;
    }

    // Catches the computer's name misread from machine-info's shell quoting.
    void prettyHostName()
    {
        QFETCH(QByteArray, machineInfo);
        QTEST(LocalPairingAdvertiser::prettyHostName(machineInfo), "expected");
    }

    // Catches an override that is not used, or no name found without one.
    void computerNameOverride()
    {
        qputenv("PIVRA_COMPUTER_NAME", "Build Box");
        QCOMPARE(LocalPairingAdvertiser::localizedComputerName(), std::optional(u"Build Box"_s));
        qunsetenv("PIVRA_COMPUTER_NAME");
        // Without the override some name is always found: the host name at least.
        QVERIFY(LocalPairingAdvertiser::localizedComputerName().has_value());
    }
};

QTEST_GUILESS_MAIN(TestLocalPairingAdvertiserRules)
#include "tst_localpairingadvertiserrules.moc"
