// Settings file round trips, the folder the files go to, and the random
// payload.
#include "DataFolder.h"
#include "LockedFolder.h"
#include "SettingsStore.h"
#include "TestCases.h"
#include "TestSetup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void missingFileKeepsDefaultsAndSaveWritesAllKeysAsText();
    void roundTrip();
    void junkAndPartialValues();
    void fileThatIsNotIniIsSaidAndKept_data();
    void fileThatIsNotIniIsSaidAndKept();
    void unwritableConfigFolderDoesNotHang();
    void pingFailureTexts();
    void filesStayBesideAWritableProgram();
    void unwritableProgramFolderFallsBackToUserFolder();

    void randomLengthStaysInRange();
    void payloadUsesOnlyTheAlphabet();
    void caseTableOutOfRange();

private:
    QTemporaryDir *m_dir = nullptr;
    QString m_oldCwd;
};

void TestSettings::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    m_oldCwd = QDir::currentPath();
    QDir::setCurrent(m_dir->path());
}

void TestSettings::cleanup()
{
    QDir::setCurrent(m_oldCwd);
    delete m_dir;
    m_dir = nullptr;
}

void TestSettings::missingFileKeepsDefaultsAndSaveWritesAllKeysAsText()
{
    TestSetup setup;
    setup.loadSettings();
    QCOMPARE(setup.hostName, QStringLiteral("127.0.0.1"));
    QCOMPARE(setup.hostPort, 6805);
    QCOMPARE(setup.autoSaveLogInterval, 3600000u);
    QCOMPARE(setup.pingAddress, QStringLiteral("localhost"));
    QCOMPARE(setup.relayChannel, 1);
    QCOMPARE(setup.pppPeer, QStringLiteral("provider"));
    QVERIFY(setup.settingsStore == nullptr);

    // No "cfg" folder yet: saving has to make it.
    QVERIFY(!QDir(QStringLiteral("cfg")).exists());
    setup.saveSettings();
    QVERIFY(setup.settingsStore == nullptr);

    QFile file(QStringLiteral("cfg/trevalo.ini"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    QVERIFY2(text.contains(QStringLiteral("[trevalo]")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("HostName=127.0.0.1")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("HostPort=6805")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("AutoSaveLogInternal=3600000")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("PingAddress=localhost")), qPrintable(text));
    // Channel 1 is what files from before the key meant: they stay as they were.
    QVERIFY2(!text.contains(QStringLiteral("RelayChannel")), qPrintable(text));
    QVERIFY2(!text.contains(QStringLiteral("PppPeer")), qPrintable(text));

    // Stored as strings, not native numbers.
    QSettings raw(QStringLiteral("cfg/trevalo.ini"), QSettings::IniFormat);
    QCOMPARE(raw.value(QStringLiteral("trevalo/HostPort")).typeId(), QMetaType::QString);
}

void TestSettings::roundTrip()
{
    {
        TestSetup setup;
        setup.hostName = QStringLiteral("10.1.2.3");
        setup.hostPort = 7001;
        setup.autoSaveLogInterval = 4000000000u; // above INT_MAX
        setup.pingAddress = QStringLiteral("bench-host");
        setup.relayChannel = 3;
        setup.pppPeer = QStringLiteral("modem2");
        setup.saveSettings();
    }
    TestSetup loaded;
    loaded.loadSettings();
    QCOMPARE(loaded.hostName, QStringLiteral("10.1.2.3"));
    QCOMPARE(loaded.hostPort, 7001);
    QCOMPARE(loaded.pingAddress, QStringLiteral("bench-host"));
    QCOMPARE(loaded.relayChannel, 3);
    QCOMPARE(loaded.pppPeer, QStringLiteral("modem2"));
    QSettings raw(QStringLiteral("cfg/trevalo.ini"), QSettings::IniFormat);
    QCOMPARE(raw.value(QStringLiteral("trevalo/AutoSaveLogInternal")).toString(), QStringLiteral("4000000000"));
    QCOMPARE(loaded.autoSaveLogInterval, 4000000000u);
}

void TestSettings::junkAndPartialValues()
{
    QDir().mkpath(QStringLiteral("cfg"));
    QFile file(QStringLiteral("cfg/trevalo.ini"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[trevalo]\nHostPort=abc\nAutoSaveLogInternal=12x\n[other]\nHostName=9.9.9.9\n");
    file.close();

    TestSetup setup;
    setup.loadSettings();
    QCOMPARE(setup.hostPort, 0);
    QCOMPARE(setup.autoSaveLogInterval, 0u);
    // Keys outside the group and missing keys leave the defaults.
    QCOMPARE(setup.hostName, QStringLiteral("127.0.0.1"));
    QCOMPARE(setup.pingAddress, QStringLiteral("localhost"));
}

void TestSettings::fileThatIsNotIniIsSaidAndKept_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("isIni");
    QTest::newRow("JSON") << QByteArray("{\"HostName\": \"10.0.0.1\", \"HostPort\": 7000}\n") << false;
    QTest::newRow("words") << QByteArray("host 10.0.0.1\nport 7000\n") << false;
    QTest::newRow("binary with an equals sign") << QByteArray("\x7f" "ELF\0\0HostPort=7000\n", 20) << false;
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("comments and a section") << QByteArray("\xEF\xBB\xBF; none yet\r\n# none\n\n[trevalo]\n") << true;
    QTest::newRow("another program's INI") << QByteArray("[General]\nx=1\n") << true;
    QTest::newRow("ours with a stray line") << QByteArray("[trevalo]\nnote to self\nHostPort=7000\n") << true;
}

void TestSettings::fileThatIsNotIniIsSaidAndKept()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, isIni);
    QDir().mkpath(QStringLiteral("cfg"));
    QFile file(QStringLiteral("cfg/trevalo.ini"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();

    TestSetup setup;
    setup.loadSettings();
    if (isIni) {
        QVERIFY2(setup.settingsFileProblem.isEmpty(), qPrintable(setup.settingsFileProblem));
        setup.saveSettings();
        QSettings raw(QStringLiteral("cfg/trevalo.ini"), QSettings::IniFormat);
        QVERIFY(raw.contains(QStringLiteral("trevalo/HostPort")));
        return;
    }
    // One line naming the file; every value its default.
    QCOMPARE(setup.settingsFileProblem,
             QStringLiteral("Settings file %1 is not an INI file: default settings used, the file is left as it is")
                 .arg(QDir::toNativeSeparators(QFileInfo(file).absoluteFilePath())));
    QCOMPARE(setup.hostName, QStringLiteral("127.0.0.1"));
    QCOMPARE(setup.hostPort, 6805);
    QCOMPARE(setup.autoSaveLogInterval, 3600000u);
    QCOMPARE(setup.pingAddress, QStringLiteral("localhost"));
    // Saving at exit leaves the user's file as it was.
    setup.hostPort = 1234;
    setup.saveSettings();
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), content);
}

void TestSettings::unwritableConfigFolderDoesNotHang()
{
    // "cfg" is a plain file, so neither the folder nor the INI file can be made.
    QFile blocker(QStringLiteral("cfg"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    TestSetup setup;
    setup.hostPort = 1234;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Could not write the settings file")));
    setup.saveSettings();
    setup.loadSettings();
    QCOMPARE(setup.hostPort, 1234);
}

void TestSettings::filesStayBesideAWritableProgram()
{
    const QString program = m_dir->filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(program));
    const QString user = m_dir->filePath(QStringLiteral("user/trevalo"));
    QCOMPARE(DataFolder::choose(program, user), program);
    QVERIFY(!QFileInfo::exists(user));
    // The probe leaves nothing behind.
    QVERIFY(QDir(program).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());

    // The user's folder is the same whichever program asks.
    QVERIFY(DataFolder::userFolder().endsWith(QStringLiteral("/trevalo")));

    // An installed program keeps its folder clean even when it may write
    // there (run as root).
    QVERIFY(QDir().mkpath(m_dir->filePath(QStringLiteral("share/trevalo/setup"))));
    QVERIFY(DataFolder::isInstalled(program));
    QCOMPARE(DataFolder::choose(program, user), user);
    QVERIFY(QDir(program).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
}

void TestSettings::unwritableProgramFolderFallsBackToUserFolder()
{
    const QString program = m_dir->filePath(QStringLiteral("bin"));
    const QString home = m_dir->filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(program) && QDir().mkpath(home));
    const QString user = home + QStringLiteral("/share/trevalo");
    {
        LockedFolder locked(program);
        if (!locked.isLocked())
            QSKIP("no way to make a folder unwritable here");
        QVERIFY(!DataFolder::isWritable(program));
        // Created on first use, and usable for the settings file.
        QCOMPARE(DataFolder::choose(program, user), user);
        QVERIFY(DataFolder::isWritable(user));
        QDir::setCurrent(user);
        TestSetup setup;
        setup.hostPort = 4321;
        setup.saveSettings();
        QVERIFY(QFile::exists(user + QStringLiteral("/cfg/trevalo.ini")));

        // With no usable fallback either, the program's folder stays.
        LockedFolder lockedHome(home);
        QVERIFY(lockedHome.isLocked());
        QCOMPARE(DataFolder::choose(program, home + QStringLiteral("/other/trevalo")), program);
    }
    QDir::setCurrent(m_dir->path());
}

void TestSettings::pingFailureTexts()
{
    const TestSetup setup;
    QCOMPARE(setup.pingFailureTexts.size(), 13);
    QCOMPARE(setup.pingFailureTexts.first(), QStringLiteral("Request timed out"));
    QCOMPARE(setup.pingFailureTexts.at(6), QStringLiteral("no rout to host"));
    QCOMPARE(setup.pingFailureTexts.at(10), QString::fromUtf8("\xe6\x89\xbe\xe4\xb8\x8d\xe5\x88\xb0\xe4\xb8\xbb"));
    QCOMPARE(setup.pingFailureTexts.at(11), QString::fromUtf8("\xe8\xaf\xb7\xe6\xb1\x82\xe8\xb6\x85\xe6\x97\xb6"));
    QCOMPARE(setup.pingFailureTexts.at(12),
             QString::fromUtf8("\xe6\x97\xa0\xe6\xb3\x95\xe8\xae\xbf\xe9\x97\xae\xe7\x9b\xae\xe6\xa0\x87\xe4\xb8\xbb\xe6\x9c\xba"));
}

void TestSettings::randomLengthStaysInRange()
{
    TestSetup setup;
    QSet<int> seen;
    QElapsedTimer t;
    t.start();
    // The seed changes each millisecond; cover a good spread of seeds.
    while (t.elapsed() < 300) {
        const int n = setup.randomLength();
        QVERIFY2(n >= 1 && n <= 2047, qPrintable(QString::number(n)));
        seen.insert(n);
        QThread::usleep(200);
    }
    QVERIFY2(seen.size() > 50, "lengths hardly vary");
}

void TestSettings::payloadUsesOnlyTheAlphabet()
{
    TestSetup setup;
    QByteArray out("leftover");
    setup.randomPayload(out, 0);
    QVERIFY(out.isEmpty());
    out = "leftover";
    setup.randomPayload(out, -3);
    QVERIFY(out.isEmpty());

    setup.randomPayload(out, 5);
    QCOMPARE(out.size(), 5);

    const QByteArray alphabet("0123456789ABCDEFGHIJKLMNOPQRSTUVWZYZabcdefghijklmnopqrstuvwxyz");
    QHash<char, int> counts;
    for (int round = 0; round < 20; ++round) {
        setup.randomPayload(out, 2047);
        QCOMPARE(out.size(), 2047);
        for (char c : out) {
            QVERIFY2(alphabet.contains(c), &c);
            ++counts[c];
        }
        QThread::msleep(2);
    }
    QCOMPARE(counts.value('X'), 0);
    // "Z" sits twice in the alphabet.
    const double perChar = 20.0 * 2047 / 62;
    QVERIFY2(counts.value('Z') > 1.6 * perChar, qPrintable(QString::number(counts.value('Z'))));
    QVERIFY(counts.value('a') < 1.4 * perChar && counts.value('a') > 0.6 * perChar);
}

void TestSettings::caseTableOutOfRange()
{
    QCOMPARE(TestCases::resultTag(5), QStringLiteral("SleepWakePPPTest"));
    QVERIFY(TestCases::resultTag(6).isEmpty());
    QVERIFY(TestCases::selectorText(-1).isEmpty());
    QVERIFY(TestCases::needsRelay(4) && TestCases::needsRelay(5) && !TestCases::needsRelay(3));
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
