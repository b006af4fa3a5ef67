#include "SettingsStore.h"

#include <QVariant>

SettingsStore::SettingsStore(const QString &fileName, bool readMode)
    : readMode(readMode), settings(fileName, QSettings::IniFormat)
{
}

SettingsStore::~SettingsStore() = default;

void SettingsStore::beginGroup(const QString &name)
{
    settings.beginGroup(name);
}

void SettingsStore::endGroup()
{
    settings.endGroup();
}

void SettingsStore::transferString(const QString &key, QString &value)
{
    if (readMode) {
        if (settings.contains(key))
            value = settings.value(key, QVariant()).toString();
    } else {
        settings.setValue(key, QVariant(value));
    }
}

void SettingsStore::transferInt(const QString &key, int &value)
{
    if (readMode) {
        if (settings.contains(key))
            value = settings.value(key).toString().toInt(nullptr, 10);
    } else {
        settings.setValue(key, QString::number(value, 10));
    }
}

void SettingsStore::transferUInt(const QString &key, unsigned int &value)
{
    if (readMode) {
        // Read through the signed conversion, like the port, so both kinds
        // treat odd text the same way.
        if (settings.contains(key))
            value = static_cast<unsigned int>(settings.value(key).toString().toInt(nullptr, 10));
    } else {
        settings.setValue(key, QString::number(value, 10));
    }
}

bool SettingsStore::flush()
{
    settings.sync();
    return settings.status() == QSettings::NoError;
}
