#include "SavedSettings.h"

#include "Logging.h"
#include "PlatformPaths.h"

#include <QSettings>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace {

// Only a file that cannot block or swamp QSettings is handed to it.
std::unique_ptr<QSettings> openIfSafe(const QString &path)
{
    if (!PlatformPaths::isAbsentOrSmallRegularFile(path))
        return nullptr;
    return std::make_unique<QSettings>(path, QSettings::NativeFormat);
}

} // namespace

SavedSettings::SavedSettings(const QString &path)
    : m_path(path)
{
    // The per-user file QSettings("Pivra", "PivraMenuBar") would use, named outright so that no
    // system-wide fallback file is read before it can be checked.
    if (m_path.isEmpty())
        m_path = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
            + u"/Pivra/PivraMenuBar.conf"_s;
    m_settings = openIfSafe(m_path);
    // QSettings reads on first use and only then knows whether the file made sense.
    if (m_settings)
        (void)m_settings->allKeys();
    if (!m_settings || m_settings->status() != QSettings::NoError) {
        m_readProblem = u"Saved settings could not be read from %1."_s.arg(m_path);
        qCWarning(lcStore, "%s", qUtf8Printable(m_readProblem));
    }
}

SavedSettings::~SavedSettings() = default;

QString SavedSettings::value(const QString &key) const
{
    return m_settings ? m_settings->value(key).toString() : QString();
}

bool SavedSettings::write(const QString &key, const std::optional<QString> &value)
{
    if (!m_settings || !PlatformPaths::isAbsentOrSmallRegularFile(m_path))
        return false;
    if (value)
        m_settings->setValue(key, *value);
    else
        m_settings->remove(key);
    m_settings->sync();
    // QSettings keeps the first error it met, so a file that held some garbage when it was read
    // reports that error after every later write, good or not: read back instead.
    const std::unique_ptr<QSettings> written = openIfSafe(m_path);
    if (!written)
        return false;
    const QVariant stored = written->value(key);
    return value ? stored.isValid() && stored.toString() == *value : !stored.isValid();
}
