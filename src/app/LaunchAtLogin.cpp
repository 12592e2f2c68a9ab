#include "LaunchAtLogin.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

using namespace Qt::StringLiterals;

namespace LaunchAtLogin {

namespace {

// The Exec key's rules: an argument with a reserved character goes in double quotes, with ",
// `, $ and \ escaped inside them; a literal % is %%. The key's value is then a string, whose
// own escaping doubles every backslash and writes line breaks and tabs as \n, \t and \r.
QString execArgument(const QString &argument)
{
    static const QString reserved = u" \t\n\"'\\><~|&;$*?#()`"_s;
    QString quoted = argument;
    quoted.replace(u'%', u"%%"_s);
    const bool needsQuotes = std::any_of(argument.cbegin(), argument.cend(),
                                         [](QChar c) { return reserved.contains(c); });
    if (!needsQuotes)
        return quoted;
    QString inner;
    for (const QChar c : std::as_const(quoted)) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            inner += u'\\';
        inner += c;
    }
    inner.replace(u'\\', u"\\\\"_s);
    // A line break in the path would end the key's line and start a bogus one.
    inner.replace(u'\n', u"\\n"_s).replace(u'\t', u"\\t"_s).replace(u'\r', u"\\r"_s);
    return u'"' + inner + u'"';
}

} // namespace

QString entryPath()
{
    QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!QDir::isAbsolutePath(configHome))
        configHome = QDir::homePath() + u"/.config"_s;
    return configHome + u"/autostart/"_s + entryName.toString();
}

bool isEnabled()
{
    return QFileInfo::exists(entryPath());
}

QByteArray desktopEntry(const QString &executable)
{
    QString text = u"[Desktop Entry]\n"
                   "Type=Application\n"
                   "Name=Pivra\n"
                   "Comment=Connects the Pivra iPhone app to this computer\n"
                   "Icon=pivra-menubar\n"_s;
    text += u"Exec="_s + execArgument(executable) + u'\n';
    text += u"Terminal=false\n"
            "X-GNOME-Autostart-enabled=true\n"_s;
    return text.toUtf8();
}

QString setEnabled(bool enabled, const QString &executable)
{
    const QString path = entryPath();
    if (!enabled) {
        QFile entry(path);
        if (entry.exists() && !entry.remove())
            return u"Cannot remove %1: %2"_s.arg(path, entry.errorString());
        return {};
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return u"Cannot create the folder of %1"_s.arg(path);
    QSaveFile entry(path);
    if (!entry.open(QIODevice::WriteOnly) || entry.write(desktopEntry(executable)) < 0
        || !entry.commit())
        return u"Cannot write %1: %2"_s.arg(path, entry.errorString());
    return {};
}

} // namespace LaunchAtLogin
