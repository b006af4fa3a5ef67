// The settings file as the program reads it at start and writes it back at
// exit: whatever the file held, what is written back reads back the same.
#include "FuzzSupport.h"
#include "RunFiles.h"
#include "TestSetup.h"

#include <QFile>

#include <limits>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::start(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using FuzzSupport::check;
    // QSettings keeps files it has read by name: a fresh name per input, so
    // each is read from the disk.
    static quint64 serial = 0;
    const QString base = FuzzSupport::scratch() + QStringLiteral("/%1").arg(++serial);
    const QString given = base + QStringLiteral("-given.ini");
    const QString saved = base + QStringLiteral("-saved.ini");
    {
        QFile f(given);
        const QByteArray text = FuzzSupport::bytes(data, size);
        check(f.open(QIODevice::WriteOnly) && f.write(text) == text.size(), "scratch file written");
    }

    TestSetup read;
    read.settingsFile = given;
    read.loadSettings();
    const int autoSaveMs = RunFiles::autoSaveIntervalMs(read.autoSaveLogInterval);
    check(autoSaveMs >= 60000, "auto-save no more often than once a minute");

    read.settingsFile = saved;
    read.saveSettings();
    TestSetup again;
    again.settingsFile = saved;
    again.loadSettings();
    check(again.hostName == read.hostName, "HostName written back as read");
    check(again.hostPort == read.hostPort, "HostPort written back as read");
    check(again.autoSaveLogInterval == read.autoSaveLogInterval, "AutoSaveLogInternal written back as read");
    check(again.pingAddress == read.pingAddress, "PingAddress written back as read");

    QFile::remove(given);
    QFile::remove(saved);
    return 0;
}
