// "Launch at Login" as an XDG autostart entry in a temporary configuration home.
#include "LaunchAtLogin.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestLaunchAtLogin : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;

private Q_SLOTS:
    // The process is ours alone: nothing needs the real home back.
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
    }

    // Unset, empty and relative values all mean ~/.config.
    void entryPath_data()
    {
        QTest::addColumn<QByteArray>("configHome");
        QTest::addColumn<QString>("expected");
        const QString config = m_home.path() + u"/config-elsewhere"_s;
        const QString fallback = m_home.path() + u"/.config"_s;
        QTest::newRow("set") << QFile::encodeName(config) << config;
        QTest::newRow("unset") << QByteArray() << fallback;
        QTest::newRow("empty") << QByteArray("") << fallback;
        QTest::newRow("relative") << QByteArray("config") << fallback;
    }

    void entryPath()
    {
        QFETCH(QByteArray, configHome);
        QFETCH(QString, expected);
        if (configHome.isNull())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", configHome);
        QCOMPARE(LaunchAtLogin::entryPath(), expected + u"/autostart/com.pivra.menubar.desktop"_s);
    }

    // On writes the entry (making the autostart folder) and a second on replaces it; off removes
    // it, and the state is the file: one deleted by hand reads as off, and turning off twice is
    // no error.
    void onAndOff()
    {
        const QString configHome = m_home.path() + u"/xdg-config"_s;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome));
        const QString path = configHome + u"/autostart/com.pivra.menubar.desktop"_s;
        QVERIFY(!LaunchAtLogin::isEnabled());

        QCOMPARE(LaunchAtLogin::setEnabled(true, u"/usr/bin/pivra-menubar"_s), QString());
        QCOMPARE(LaunchAtLogin::setEnabled(true, u"/opt/pivra/pivra-menubar"_s), QString());
        QFile entry(path);
        QVERIFY(entry.open(QIODevice::ReadOnly));
        QCOMPARE(entry.readAll(), LaunchAtLogin::desktopEntry(u"/opt/pivra/pivra-menubar"_s));
        QVERIFY(LaunchAtLogin::isEnabled());

        QCOMPARE(LaunchAtLogin::setEnabled(false, {}), QString());
        QVERIFY(!QFile::exists(path));
        QVERIFY(!LaunchAtLogin::isEnabled());
        QCOMPARE(LaunchAtLogin::setEnabled(false, {}), QString());

        QCOMPARE(LaunchAtLogin::setEnabled(true, u"/usr/bin/pivra-menubar"_s), QString());
        QVERIFY(QFile::remove(path));
        QVERIFY(!LaunchAtLogin::isEnabled());
    }

    // A folder that cannot be written is reported, not taken for success.
    void failureIsReported()
    {
        const QString configHome = m_home.path() + u"/blocked"_s;
        QVERIFY(QDir().mkpath(configHome));
        // A file where the autostart folder should be: no permissions trick that root ignores.
        QFile blocker(configHome + u"/autostart"_s);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome));
        QVERIFY(!LaunchAtLogin::setEnabled(true, u"/usr/bin/pivra-menubar"_s).isEmpty());
        QVERIFY(!LaunchAtLogin::isEnabled());
    }

    // The Exec value as a desktop session parses it: quoting rules for the program path, read
    // back by a shell-like split after the string unescaping. An unquoted path with a space
    // would start "/home/me/My" instead.
    void execQuoting_data()
    {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QByteArray>("execLine");
        QTest::newRow("plain") << u"/usr/bin/pivra-menubar"_s
                               << QByteArray("Exec=/usr/bin/pivra-menubar");
        QTest::newRow("space") << u"/home/me/My Apps/pivra-menubar"_s
                               << QByteArray("Exec=\"/home/me/My Apps/pivra-menubar\"");
        QTest::newRow("dollar and quote")
            << u"/home/me/$x\"y/pivra-menubar"_s
            << QByteArray("Exec=\"/home/me/\\\\$x\\\\\"y/pivra-menubar\"");
        QTest::newRow("percent") << u"/home/me/100%/pivra-menubar"_s
                                 << QByteArray("Exec=/home/me/100%%/pivra-menubar");
        // A raw line break would end the Exec line and start a bogus key.
        QTest::newRow("line break") << u"/home/me/odd\nname/pivra-menubar"_s
                                    << QByteArray("Exec=\"/home/me/odd\\nname/pivra-menubar\"");
    }

    void execQuoting()
    {
        QFETCH(QString, executable);
        QFETCH(QByteArray, execLine);
        const QByteArray entry = LaunchAtLogin::desktopEntry(executable);
        QVERIFY2(entry.startsWith("[Desktop Entry]\n") && entry.contains("\nType=Application\n")
                     && entry.contains('\n' + execLine + '\n'),
                 entry.constData());
    }
};

QTEST_GUILESS_MAIN(TestLaunchAtLogin)
#include "tst_launchatlogin.moc"
