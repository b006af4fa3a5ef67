#include "TestSetup.h"

#include "PppPeer.h"
#include "TestCases.h"

#include "SettingsStore.h"

#include <QDir>
#include <QFileInfo>
#include <QObject>
#include <QTime>
#include <QtGlobal>

#include <random>

namespace {

// 62 characters; "Z" twice and no "X" - kept as the payload alphabet the
// echo servers on the bench have always seen.
const char payloadAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWZYZabcdefghijklmnopqrstuvwxyz";
constexpr int payloadAlphabetLength = int(sizeof(payloadAlphabet)) - 1;

// Seeded from the time of day, so two calls within the same millisecond of
// the same minute produce the same values.
std::minstd_rand timeSeededGenerator()
{
    const QTime now = QTime::currentTime();
    return std::minstd_rand(static_cast<std::minstd_rand::result_type>(now.second() * 1000 + now.msec() + 1));
}

} // namespace

TestSetup::TestSetup()
    : pppPeer(PppPeer::defaultName()), hostName(QStringLiteral("127.0.0.1")), pingAddress(QStringLiteral("localhost"))
{
    pingFailureTexts << QString::fromLocal8Bit("Request timed out")
                     << QString::fromLocal8Bit("Destination host unreachable")
                     << QString::fromLocal8Bit("Bad IP address")
                     << QString::fromLocal8Bit("Source quench received")
                     << QString::fromLocal8Bit("Unknown host")
                     << QString::fromLocal8Bit("No answer")
                     << QString::fromLocal8Bit("no rout to host")
                     << QString::fromLocal8Bit("transmit failed,error code")
                     << QString::fromLocal8Bit("unknown host name")
                     << QString::fromLocal8Bit("could not find host")
                     << QObject::tr("找不到主")
                     << QObject::tr("请求超时")
                     << QObject::tr("无法访问目标主机");
}

void TestSetup::loadSettings()
{
    SettingsStore store(settingsFile, true);
    settingsStore = &store;
    transferSettings();
    settingsStore = nullptr;
    const QString problem = store.fileProblem();
    settingsFileProblem.clear();
    if (problem.isEmpty())
        return;
    settingsFileProblem = QStringLiteral("Settings file %1 %2: default settings used, the file is left as it is")
                              .arg(QDir::toNativeSeparators(QFileInfo(settingsFile).absoluteFilePath()), problem);
    // Whatever a binary file seemed to hold is no setting.
    const TestSetup defaults;
    hostName = defaults.hostName;
    hostPort = defaults.hostPort;
    autoSaveLogInterval = defaults.autoSaveLogInterval;
    pingAddress = defaults.pingAddress;
    relayChannel = defaults.relayChannel;
    pppPeer = defaults.pppPeer;
    rasEntry = defaults.rasEntry;
}

void TestSetup::saveSettings()
{
    if (!settingsFileProblem.isEmpty())
        return;
    // QSettings does not create missing folders; without "cfg" the values
    // would silently not be saved.
    const QFileInfo info(settingsFile);
    QDir().mkpath(info.absolutePath());

    SettingsStore store(settingsFile, false);
    settingsStore = &store;
    transferSettings();
    settingsStore = nullptr;
    if (!store.flush())
        qWarning("Could not write the settings file %s", qPrintable(info.absoluteFilePath()));
}

void TestSetup::transferSettings()
{
    if (!settingsStore)
        return;
    settingsStore->beginGroup(QStringLiteral("trevalo"));
    settingsStore->transferString(QStringLiteral("HostName"), hostName);
    settingsStore->transferInt(QStringLiteral("HostPort"), hostPort);
    settingsStore->transferUInt(QStringLiteral("AutoSaveLogInternal"), autoSaveLogInterval);
    settingsStore->transferString(QStringLiteral("PingAddress"), pingAddress);
    if (settingsStore->readMode) {
        settingsStore->transferString(QStringLiteral("MetricsFolder"), metricsFolder);
        settingsStore->transferString(QStringLiteral("BenchName"), benchName);
    }
    // Written only once a file was chosen, so other files stay as they were.
    if (settingsStore->readMode || !stepsFile.isEmpty() || settingsStore->contains(QStringLiteral("StepsFile")))
        settingsStore->transferString(QStringLiteral("StepsFile"), stepsFile);
    // Written only once it differs from channel 1, so a file from before
    // channels could be chosen stays as it was.
    if (settingsStore->readMode || relayChannel != 1 || settingsStore->contains(QStringLiteral("RelayChannel")))
        settingsStore->transferInt(QStringLiteral("RelayChannel"), relayChannel);
    // Likewise kept out of files while they dial as before.
#if defined(Q_OS_WIN)
    const QString dialKey = QStringLiteral("RasEntry");
    QString &dialEntry = rasEntry;
    const bool asBefore = rasEntry.isEmpty();
#else
    const QString dialKey = QStringLiteral("PppPeer");
    QString &dialEntry = pppPeer;
    const bool asBefore = pppPeer == PppPeer::defaultName();
#endif
    if (settingsStore->readMode || !asBefore || settingsStore->contains(dialKey))
        settingsStore->transferString(dialKey, dialEntry);
    settingsStore->endGroup();
}

int TestSetup::randomLength()
{
    std::minstd_rand gen = timeSeededGenerator();
    return int(gen() % 2047u) + 1;
}

void TestSetup::randomPayload(QByteArray &out, int length)
{
    std::minstd_rand gen = timeSeededGenerator();
    out.clear();
    if (length <= 0)
        return;
    out.resize(length);
    for (int i = 0; i < length; ++i)
        out[i] = payloadAlphabet[gen() % unsigned(payloadAlphabetLength)];
}

QString TestSetup::caseTag() const
{
    if (caseIndex == TestCases::Custom)
        return steps ? steps->tag : QString();
    return TestCases::resultTag(caseIndex);
}

bool TestSetup::needsRelay() const
{
    if (caseIndex == TestCases::Custom)
        return steps && (steps->needs(StepsFile::Kind::PowerOn) || steps->needs(StepsFile::Kind::PowerOff));
    return TestCases::needsRelay(caseIndex);
}

bool TestSetup::dials() const
{
    if (caseIndex == TestCases::Custom)
        return steps && steps->needs(StepsFile::Kind::DialUp);
    return TestCases::dials(caseIndex);
}

bool TestSetup::opensPortAtStart() const
{
    if (caseIndex == TestCases::Custom)
        return steps && steps->opensPortFirst();
    return caseIndex == TestCases::RegisterNet;
}
