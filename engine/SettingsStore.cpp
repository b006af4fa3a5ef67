#include "SettingsStore.h"

#include <QFile>
#include <QVariant>

#include <limits>

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
        // Signed conversion like the port, so odd text reads the same way;
        // but a value above INT_MAX that this store wrote itself must come
        // back unchanged instead of as 0.
        if (settings.contains(key)) {
            bool ok = false;
            const qlonglong wide = settings.value(key).toString().toLongLong(&ok, 10);
            if (ok && wide > std::numeric_limits<int>::max() && wide <= std::numeric_limits<unsigned int>::max())
                value = static_cast<unsigned int>(wide);
            else
                value = static_cast<unsigned int>(settings.value(key).toString().toInt(nullptr, 10));
        }
    } else {
        settings.setValue(key, QString::number(value, 10));
    }
}

bool SettingsStore::flush()
{
    settings.sync();
    return settings.status() == QSettings::NoError;
}

QString SettingsStore::fileProblem() const
{
    QFile file(settings.fileName());
    if (!file.exists())
        return QString();
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot be read");
    // A settings file is a few lines; the start tells what it is.
    QByteArray head = file.read(64 * 1024);
    if (head.startsWith("\xEF\xBB\xBF"))
        head.remove(0, 3); // a byte order mark some editors write
    if (head.contains('\0'))
        return QStringLiteral("is not an INI file");
    if (!settings.allKeys().isEmpty())
        return QString();
    // No key at all: fine when it holds only comments, blank lines and
    // section lines, not when it holds anything else.
    for (const QByteArray &raw : head.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#')
            || (line.startsWith('[') && line.endsWith(']')))
            continue;
        return QStringLiteral("is not an INI file");
    }
    return QString();
}
