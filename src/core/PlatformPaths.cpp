#include "PlatformPaths.h"

#include "BridgeControlModels.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <unicode/coll.h>
#include <unicode/locid.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace PlatformPaths {

QString homeDirectory()
{
    return QDir::homePath();
}

std::optional<QString> resourcesDirectory()
{
    const QString applicationDirectory = QCoreApplication::applicationDirPath();
    if (applicationDirectory.isEmpty())
        return std::nullopt;
    const QString resources = QDir::cleanPath(applicationDirectory + u"/../share/pivra-menubar"_s);
    if (!QFileInfo(resources).isDir())
        return std::nullopt;
    return resources;
}

namespace {

// The XDG base-directory rules: an unset or empty variable takes its default, and relative
// entries are invalid and ignored.
QStringList dataSearchDirectories()
{
    QStringList directories;
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (dataHome.isEmpty())
        dataHome = homeDirectory() + u"/.local/share"_s;
    directories.append(dataHome);

    QString dataDirs = qEnvironmentVariable("XDG_DATA_DIRS");
    if (dataDirs.isEmpty())
        dataDirs = u"/usr/local/share:/usr/share"_s;
    directories.append(dataDirs.split(u':', Qt::SkipEmptyParts));

    QStringList absolute;
    for (const QString &directory : std::as_const(directories)) {
        if (QDir::isAbsolutePath(directory))
            absolute.append(directory);
    }
    return absolute;
}

} // namespace

std::optional<QString> desktopEntryPath(const QString &desktopId)
{
    for (const QString &directory : dataSearchDirectories()) {
        const QString candidate = directory + u"/applications/"_s + desktopId;
        if (QFileInfo::exists(candidate))
            return candidate;
    }
    return std::nullopt;
}

std::optional<QByteArray> readSmallFile(const QString &path, qint64 limit)
{
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd
        = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > limit)
        return std::nullopt;
    // The file may grow while it is read: one byte more than the limit tells.
    QByteArray content(qsizetype(std::min<qint64>(info.st_size, limit) + 1), Qt::Uninitialized);
    qsizetype filled = 0;
    for (;;) {
        if (filled == content.size()) {
            if (filled > limit)
                return std::nullopt;
            content.resize(std::min<qsizetype>(content.size() * 2, qsizetype(limit) + 1));
        }
        const ssize_t got = ::read(fd, content.data() + filled, size_t(content.size() - filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            break;
        filled += got;
    }
    content.truncate(filled);
    return content;
}

bool isAbsentOrSmallRegularFile(const QString &path, qint64 limit)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return errno == ENOENT;
    return S_ISREG(info.st_mode) && info.st_size <= limit;
}

int localizedStandardCompare(const QString &left, const QString &right)
{
    // Collators are costly to open and thread-safe to use; the user's locale is the one at
    // first use.
    static const std::unique_ptr<const icu::Collator> collator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::Collator> created(
            icu::Collator::createInstance(icu::Locale::getDefault(), status));
        if (U_SUCCESS(status))
            created->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
        if (U_FAILURE(status))
            created.reset();
        return std::unique_ptr<const icu::Collator>(std::move(created));
    }();
    UErrorCode status = U_ZERO_ERROR;
    const UCollationResult result = collator
        ? collator->compare(reinterpret_cast<const UChar *>(left.utf16()), int32_t(left.size()),
                            reinterpret_cast<const UChar *>(right.utf16()), int32_t(right.size()),
                            status)
        : UCOL_EQUAL;
    if (!collator || U_FAILURE(status)) {
        // Without locale data, digit runs still compare by value.
        return compareNumerically(left, right);
    }
    return result == UCOL_LESS ? -1 : (result == UCOL_GREATER ? 1 : 0);
}

} // namespace PlatformPaths
