#pragma once

#include <QString>

#include <optional>

// The few places where the connector asks the desktop platform something: where the user's home
// is, where the application's own resources live, where an installed application is registered,
// and how the platform orders names for people.
namespace PlatformPaths {

// $HOME, read at every call so that a process (or a test) may change it at run time.
QString homeDirectory();

// `<executable dir>/../share/pivra-menubar`, absent when that folder does not exist.
std::optional<QString> resourcesDirectory();

// The freedesktop desktop entry `desktopId` (for example "com.openai.codex.desktop"): searched in
// $XDG_DATA_HOME/applications (default ~/.local/share), then in each $XDG_DATA_DIRS entry's
// applications folder (default /usr/local/share:/usr/share). Gives the entry's path.
std::optional<QString> desktopEntryPath(const QString &desktopId);

// The ordering people expect from a file browser in the user's locale: digit runs compare by
// value ("v9" before "v10"). Negative, zero or positive like strcmp.
int localizedStandardCompare(const QString &left, const QString &right);

} // namespace PlatformPaths
