// Shared by the window tests: a throw-away program folder and widget lookup.
#ifndef APPTESTSUPPORT_H
#define APPTESTSUPPORT_H

#include <QDir>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <QtTest>

// Makes a temporary folder the current directory, as main does with the
// program's folder, so cfg/, log/ and result/ land there. The settings file
// keeps every address on loopback.
class AppFolder
{
public:
    explicit AppFolder(const QByteArray &autoSave = QByteArray("3600000"), int hostPort = 6805)
        : m_previous(QDir::currentPath())
    {
        QDir::setCurrent(m_dir.path());
        QDir().mkdir(QStringLiteral("cfg"));
        QFile ini(QStringLiteral("cfg/trevalo.ini"));
        if (ini.open(QIODevice::WriteOnly)) {
            ini.write("[trevalo]\n"
                      "HostName=127.0.0.1\n"
                      "HostPort=" + QByteArray::number(hostPort) + "\n"
                      "PingAddress=127.0.0.1\n"
                      "AutoSaveLogInternal=" + autoSave + "\n");
        }
    }
    ~AppFolder() { QDir::setCurrent(m_previous); }
    AppFolder(const AppFolder &) = delete;
    AppFolder &operator=(const AppFolder &) = delete;

    QString path() const { return m_dir.path(); }
    QStringList files(const QString &sub) const
    {
        return QDir(m_dir.filePath(sub)).entryList(QDir::Files, QDir::Name);
    }
    static QByteArray read(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private:
    QString m_previous;
    QTemporaryDir m_dir;
};

template <class T>
T *widget(QObject &window, const char *name)
{
    T *w = window.findChild<T *>(QString::fromLatin1(name));
    if (!w)
        qWarning("no child %s", name);
    return w;
}

#endif // APPTESTSUPPORT_H
