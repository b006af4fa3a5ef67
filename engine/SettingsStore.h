// Thin wrapper around an INI QSettings that moves one key at a time either
// from the file into a variable (read mode) or the other way (write mode),
// so that one key list serves loading and saving alike.
#ifndef SETTINGSSTORE_H
#define SETTINGSSTORE_H

#include <QSettings>
#include <QString>

class SettingsStore
{
public:
    SettingsStore(const QString &fileName, bool readMode);
    ~SettingsStore();

    SettingsStore(const SettingsStore &) = delete;
    SettingsStore &operator=(const SettingsStore &) = delete;

    void beginGroup(const QString &name);
    void endGroup();

    void transferString(const QString &key, QString &value);
    // Integers live in the file as decimal text; text that is no number reads as 0.
    void transferInt(const QString &key, int &value);
    void transferUInt(const QString &key, unsigned int &value);

    bool contains(const QString &key) const { return settings.contains(key); }

    // Writes pending changes now; false when the file could not be written.
    bool flush();

    // Empty when the file is missing or reads as INI (even without a key of
    // ours); otherwise what is wrong with it, to follow its name: "is not an
    // INI file" (binary, or text with no INI line at all), "cannot be read".
    // QSettings reads such a file as empty without complaint.
    QString fileProblem() const;

    const bool readMode;

private:
    QSettings settings;
};

#endif // SETTINGSSTORE_H
