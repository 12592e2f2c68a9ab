#pragma once

#include <QString>

#include <memory>
#include <optional>

class QSettings;

// The connector's one saved value, in a settings file of the platform's native format. A file
// that is not a small regular file (a FIFO would hang the read, a device or a huge file would
// swamp it) is never opened: the value then lives in memory only, and saving says so. Nothing
// here ever empties a file it could not read.
class SavedSettings
{
public:
    // `path` empty: the user's own settings file for this application.
    explicit SavedSettings(const QString &path = {});
    ~SavedSettings();
    SavedSettings(const SavedSettings &) = delete;
    SavedSettings &operator=(const SavedSettings &) = delete;

    QString fileName() const { return m_path; }
    // Why the saved values could not be read, for the user; empty when they were.
    QString readProblem() const { return m_readProblem; }

    QString value(const QString &key) const;
    // Writes `value`, or removes the key when there is none. Succeeds only when reading the file
    // afterwards gives back what was written.
    bool write(const QString &key, const std::optional<QString> &value);

private:
    QString m_path;
    QString m_readProblem;
    std::unique_ptr<QSettings> m_settings;
};
