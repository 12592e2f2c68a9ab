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
    void initTestCase() { qputenv("HOME", QFile::encodeName(m_home.path())); }

    // Catches an entry written elsewhere than where the session looks (a relative
    // XDG_CONFIG_HOME means ~/.config), a state kept apart from the file, an old entry left
    // behind, and a failed write reported as success.
    void entryFollowsTheFile()
    {
        qputenv("XDG_CONFIG_HOME", "config");
        QCOMPARE(LaunchAtLogin::entryPath(),
                 m_home.path() + u"/.config/autostart/com.pivra.menubar.desktop"_s);
        const QString autostart = m_home.path() + u"/xdg/autostart"_s;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.path() + u"/xdg"_s));
        const QString path = LaunchAtLogin::entryPath();
        QCOMPARE(path, autostart + u"/com.pivra.menubar.desktop"_s);

        QVERIFY(!LaunchAtLogin::isEnabled());
        QCOMPARE(LaunchAtLogin::setEnabled(true, u"/usr/bin/pivra-menubar"_s), QString());
        QCOMPARE(LaunchAtLogin::setEnabled(true, u"/opt/pivra/pivra-menubar"_s), QString());
        QFile entry(path);
        QVERIFY(entry.open(QIODevice::ReadOnly));
        QCOMPARE(entry.readAll(), LaunchAtLogin::desktopEntry(u"/opt/pivra/pivra-menubar"_s));
        QVERIFY(LaunchAtLogin::isEnabled());
        QCOMPARE(LaunchAtLogin::setEnabled(false, {}), QString());
        QVERIFY(!LaunchAtLogin::isEnabled());
        QCOMPARE(LaunchAtLogin::setEnabled(false, {}), QString());

        // A file where the autostart folder goes: no permissions trick that root ignores.
        QVERIFY(QDir(autostart).removeRecursively());
        QVERIFY(QFile(autostart).open(QIODevice::WriteOnly));
        QVERIFY(!LaunchAtLogin::setEnabled(true, u"/usr/bin/pivra-menubar"_s).isEmpty());
        QVERIFY(!LaunchAtLogin::isEnabled());
    }

    void execQuoting_data()
    {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QByteArray>("execLine");
        QTest::newRow("space") << u"/home/me/My Apps/pivra-menubar"_s
                               << QByteArray("Exec=\"/home/me/My Apps/pivra-menubar\"");
        QTest::newRow("dollar and quote")
            << u"/home/me/$x\"y/pivra-menubar"_s
            << QByteArray("Exec=\"/home/me/\\\\$x\\\\\"y/pivra-menubar\"");
        QTest::newRow("percent alone, unquoted")
            << u"/home/me/100%/pivra-menubar"_s << QByteArray("Exec=/home/me/100%%/pivra-menubar");
        QTest::newRow("line break") << u"/home/me/odd\nname/pivra-menubar"_s
                                    << QByteArray("Exec=\"/home/me/odd\\nname/pivra-menubar\"");
    }

    // Catches an Exec value a session splits wrongly: an unquoted blank starts another word, an
    // unescaped $ or quote is read by the session, and a raw line break ends the key's line.
    void execQuoting()
    {
        QFETCH(QString, executable);
        QFETCH(QByteArray, execLine);
        const QByteArray entry = LaunchAtLogin::desktopEntry(executable);
        QVERIFY2(entry.contains('\n' + execLine + '\n'), entry.constData());
    }
};

QTEST_GUILESS_MAIN(TestLaunchAtLogin)
#include "tst_launchatlogin.moc"
