#pragma once

#include <QString>

// "Launch at Login" as an XDG autostart entry: the app starts at login while
// $XDG_CONFIG_HOME/autostart/com.pivra.menubar.desktop exists, and the file is the only state,
// so a user who deletes it by hand sees the menu item unchecked.
namespace LaunchAtLogin {

inline constexpr QStringView entryName = u"com.pivra.menubar.desktop";

// Where the entry lives: $XDG_CONFIG_HOME/autostart, or ~/.config/autostart when that variable
// is unset, empty or relative.
QString entryPath();
bool isEnabled();
// Writes or removes the entry; empty on success, else what went wrong. `executable` is the
// program the entry starts.
QString setEnabled(bool enabled, const QString &executable);
// The entry's text for `executable`, quoted as desktop entries require.
QByteArray desktopEntry(const QString &executable);

} // namespace LaunchAtLogin
