#pragma once

#include <QByteArray>
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

// Larger than any file the connector reads (state files, property lists, settings) can be.
inline constexpr qint64 smallFileLimit = 4 * 1024 * 1024;

// The whole content of `path` when it is a regular file (symbolic links followed) of at most
// `limit` bytes. Never blocks: a FIFO, a device or a socket gives nothing at once, as do a
// missing, unreadable or larger file.
std::optional<QByteArray> readSmallFile(const QString &path, qint64 limit = smallFileLimit);

// Whether readSmallFile() could read `path`, or at least nothing is in the way of creating it:
// false for a FIFO, a device or an oversized file standing where a file is expected.
bool isAbsentOrSmallRegularFile(const QString &path, qint64 limit = smallFileLimit);

// The ordering people expect from a file browser in the user's locale: digit runs compare by
// value ("v9" before "v10"). Negative, zero or positive like strcmp.
int localizedStandardCompare(const QString &left, const QString &right);

} // namespace PlatformPaths
