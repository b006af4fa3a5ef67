// The RAS layer dialling through pppd, against a stand-in pppd script, and
// against the real pppd where this machine can show how it fails.
#include "FakePppd.h"
#include "NotifierLog.h"
#include "PseudoTerminal.h"
#include "SystemProgram.h"
#include "ras.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <sys/wait.h>

namespace {

RASDIALPARAMSA dialParams(const char *number)
{
    RASDIALPARAMSA p;
    std::memset(&p, 0, sizeof(p));
    p.dwSize = sizeof(p);
    std::strncpy(p.szPhoneNumber, number, sizeof(p.szPhoneNumber) - 1);
    return p;
}

RASCONNSTATUSA queryStatus(HRASCONN h, DWORD *rc = nullptr)
{
    RASCONNSTATUSA s;
    std::memset(&s, 0, sizeof(s));
    s.dwSize = sizeof(s);
    const DWORD r = RasGetConnectStatusA(h, &s);
    if (rc)
        *rc = r;
    return s;
}

const char kRealPppd[] = "/usr/sbin/pppd";
// PATH on a plain Debian login: no /usr/sbin, where pppd and chat live.
const char kLoginPath[] = "/usr/local/bin:/usr/bin:/bin";

// What the layer writes to the "trevalo.pppd" category; written from the
// dial thread.
struct PppdLog
{
    static PppdLog &instance()
    {
        static PppdLog log;
        return log;
    }
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (context.category && qstrcmp(context.category, "trevalo.pppd") == 0) {
            QMutexLocker lock(&instance().mutex);
            instance().lines.append(text);
            return;
        }
        instance().previous(type, context, text);
    }
    QStringList take()
    {
        QMutexLocker lock(&mutex);
        return std::exchange(lines, {});
    }

    QMutex mutex;
    QStringList lines;
    QtMessageHandler previous = qInstallMessageHandler(&PppdLog::handler);
};

// Tokens of a chat script file as chat reads them: comment lines skipped,
// words split at blanks, quotes removed.
QStringList chatFileTokens(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList tokens;
    static const QRegularExpression word(QStringLiteral("'([^']*)'|\"([^\"]*)\"|(\\S+)"));
    for (const QString &line : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'))) {
        if (line.trimmed().startsWith(QLatin1Char('#')))
            continue;
        auto it = word.globalMatch(line);
        while (it.hasNext()) {
            const QRegularExpressionMatch m = it.next();
            tokens << (m.capturedStart(1) >= 0 ? m.captured(1)
                       : m.capturedStart(2) >= 0 ? m.captured(2) : m.captured(3));
        }
    }
    return tokens;
}

// The option lines of a pppd options file, comments dropped.
QStringList optionLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList lines;
    for (QString line : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'))) {
        line = line.section(QLatin1Char('#'), 0, 0).trimmed();
        if (!line.isEmpty())
            lines << line;
    }
    return lines;
}

// Children of this process that are still there, running or unreaped.
bool hasChildren()
{
    return !(::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD);
}

// RasGetErrorStringA's text for code; empty when it gave none.
QString errorString(DWORD code)
{
    char text[512];
    return RasGetErrorStringA(UINT(code), text, sizeof(text)) == 0 ? QString::fromLocal8Bit(text) : QString();
}

QString realPppdSkipReason()
{
    if (!QFile::exists(QString::fromLatin1(kRealPppd)))
        return QStringLiteral("pppd is not installed (Debian package ppp)");
    if (QFile::exists(QStringLiteral("/dev/ppp")))
        return QStringLiteral("this machine has kernel PPP: a real dial would reach the port");
    return {};
}

const QList<int> kFullDial{RASCS_OpenPort,          RASCS_PortOpened,   RASCS_ConnectDevice,
                           RASCS_DeviceConnected,   RASCS_AllDevicesConnected,
                           RASCS_Authenticate,      RASCS_Authenticated, RASCS_Connected};

} // namespace

class TestRasDialPppd : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void connectsAndHangsUp();
    void passesNumberAndOptions();
    void connectScriptGetsNumberUnexpanded();
    void mapsFailures_data();
    void mapsFailures();
    void dropAfterConnectShowsInStatus();
    void refusesBadRequests();
    void refusesWithoutPppd();
    void leftoverPppdOfAKilledRunIsEnded();
    void leftoverOfAnotherPeerIsLeftToItsOwnDial();
    void interfaceNameComesFromPppd();
    void staleHandlesAreRefused();
    void noNotificationAfterHangUp();
    void hangUpFromInsideNotifier();
    void killsPppdThatIgnoresSigterm();
    void endsPppdThatLingersAfterFailure();
    void synchronousDial();
    void realPppdFailsCleanly();
    void samplePeerFileSuitsTheDial_data();
    void samplePeerFileSuitsTheDial();
    void sampleChatScriptDialsAsTheLayer();
    void realChatTalksToAModem_data();
    void realChatTalksToAModem();

private:
    HRASCONN dial(const char *number = "*99***1#", DWORD *rc = nullptr);

    FakePppd *m_pppd = nullptr;
};

void TestRasDialPppd::init()
{
    delete m_pppd;
    m_pppd = new FakePppd;
    QVERIFY(m_pppd->isValid());
    NotifierLog::instance().reset();
    PppdLog::instance().take();
}

HRASCONN TestRasDialPppd::dial(const char *number, DWORD *rc)
{
    RASDIALPARAMSA p = dialParams(number);
    HRASCONN h = nullptr;
    const DWORD r = RasDialA(nullptr, nullptr, &p, 0,
                             reinterpret_cast<LPVOID>(&NotifierLog::notifier), &h);
    if (rc)
        *rc = r;
    return h;
}

void TestRasDialPppd::connectsAndHangsUp()
{
    DWORD rc = 1;
    const HRASCONN h = dial("*99***1#", &rc);
    QCOMPARE(rc, DWORD(0));
    QVERIFY(h != nullptr);
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    QCOMPARE(NotifierLog::instance().states(), kFullDial);

    for (const NotifierCall &c : NotifierLog::instance().calls()) {
        QCOMPARE(c.error, DWORD(0));
        QCOMPARE(c.message, UINT(WM_RASDIALEVENT));
        QVERIFY(c.thread != std::this_thread::get_id());
    }

    const RASCONNSTATUSA s = queryStatus(h, &rc);
    QCOMPARE(rc, DWORD(0));
    QCOMPARE(s.rasconnstate, RASCS_Connected);
    QCOMPARE(s.dwError, DWORD(0));
    QCOMPARE(QByteArray(s.szDeviceType), QByteArray("modem"));
    QCOMPARE(QByteArray(s.szDeviceName), QByteArray("/dev/ttyUSB2"));
    char name[16];
    QCOMPARE(RasGetLinkInterfaceA(h, name, sizeof(name)), DWORD(0));
    QCOMPARE(QByteArray(name), QByteArray("ppp0"));

    QCOMPARE(RasHangUpA(h), DWORD(0));
    QCOMPARE(RasGetLinkInterfaceA(h, name, sizeof(name)), DWORD(ERROR_INVALID_HANDLE));
    NotifierLog::instance().markHungUp();
    // pppd was asked to end and had ended by the time RasHangUpA returned.
    const QStringList events = m_pppd->events();
    QVERIFY2(events.contains("term") && events.contains("exit 5"), qPrintable(events.join(',')));
    // The "Connection terminated." pppd prints while hanging up is no error.
    QCOMPARE(NotifierLog::instance().calls().size(), kFullDial.size());
}

void TestRasDialPppd::passesNumberAndOptions()
{
    RASDIALPARAMSA p = dialParams("*99***1#");
    std::strcpy(p.szUserName, "card");
    std::strcpy(p.szPassword, "se cret");
    HRASCONN h = nullptr;
    QCOMPARE(RasDialA(nullptr, nullptr, &p, 0, reinterpret_cast<LPVOID>(&NotifierLog::notifier), &h),
             DWORD(0));
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    const QStringList args = m_pppd->arguments();
    QCOMPARE(RasHangUpA(h), DWORD(0));

    QCOMPARE(args.mid(0, 2), QStringList({"call", "provider"}));
    QVERIFY(args.contains("nodetach"));
    const int connect = args.indexOf("connect");
    QVERIFY(connect >= 0 && connect + 1 < args.size());
    // chat by its path, found as pppd is: the connect script's shell may
    // have a PATH without chat's folder.
    QVERIFY2(args.at(connect + 1).startsWith(m_pppd->dir() + "/bin/chat -v "), qPrintable(args.at(connect + 1)));
    QVERIFY(args.at(connect + 1).contains("'ATD*99***1#'"));
    // User and password travel as single arguments, spaces and all.
    QCOMPARE(args.at(args.indexOf("user") + 1), QString("card"));
    QCOMPARE(args.at(args.indexOf("password") + 1), QString("se cret"));
}

void TestRasDialPppd::connectScriptGetsNumberUnexpanded()
{
    // A file the unquoted number would glob to, in the folder pppd runs in.
    m_pppd->setMode("script");
    const QByteArray oldCwd = QDir::currentPath().toLocal8Bit();
    QVERIFY(QDir::setCurrent(m_pppd->dir()));
    {
        QFile decoy("ATDx99abc1#");
        QVERIFY(decoy.open(QIODevice::WriteOnly));
    }
    const HRASCONN h = dial("*99***1#");
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    QDir::setCurrent(QString::fromLocal8Bit(oldCwd));
    QCOMPARE(NotifierLog::instance().states().last(), int(RASCS_Connected));
    QCOMPARE(RasHangUpA(h), DWORD(0));

    const QStringList chat = m_pppd->chatArguments();
    QVERIFY2(chat.contains("ATD*99***1#"), qPrintable(chat.join('|')));
    QVERIFY(chat.contains("NO CARRIER"));
    QVERIFY(!chat.contains("ATDx99abc1#"));
}

void TestRasDialPppd::mapsFailures_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("lastState");
    QTest::addColumn<QString>("reason"); // the last line logged for it

    QTest::newRow("connect script failed")
        << "connect-fail" << 678 << int(RASCS_ConnectDevice) << "pppd: Connect script failed";
    QTest::newRow("authentication failed")
        << "auth-fail" << 691 << int(RASCS_Authenticate) << "pppd: PAP authentication failed";
    QTest::newRow("modem hangup") << "hangup" << 628 << int(RASCS_Authenticate) << "pppd: Modem hangup";
    QTest::newRow("port cannot be opened")
        << "exit:7" << 633 << int(RASCS_ConnectDevice) << "pppd: exit status 7";
    QTest::newRow("no peer file") << "exit:2" << 623 << int(RASCS_ConnectDevice) << "pppd: exit status 2";
    QTest::newRow("negotiation failed")
        << "exit:10" << 721 << int(RASCS_ConnectDevice) << "pppd: exit status 10";
    QTest::newRow("not root") << "exit:3" << 5 << int(RASCS_ConnectDevice) << "pppd: exit status 3";
    QTest::newRow("silent clean exit")
        << "exit:0" << 628 << int(RASCS_ConnectDevice) << "pppd: exit status 0";
}

void TestRasDialPppd::mapsFailures()
{
    QFETCH(QString, mode);
    QFETCH(int, error);
    QFETCH(int, lastState);
    QFETCH(QString, reason);
    m_pppd->setMode(mode);

    DWORD rc = 1;
    const HRASCONN h = dial("*99***1#", &rc);
    // RasDialA took the dial; the failure comes through the notifier.
    QCOMPARE(rc, DWORD(0));
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    QTest::qWait(100); // nothing may follow the failure
    const QList<NotifierCall> calls = NotifierLog::instance().calls();
    QCOMPARE(int(calls.last().error), error);
    QCOMPARE(int(calls.last().state), lastState);
    for (int i = 0; i + 1 < calls.size(); ++i)
        QCOMPARE(calls.at(i).error, DWORD(0));

    const RASCONNSTATUSA s = queryStatus(h);
    QCOMPARE(int(s.dwError), error);
    QVERIFY(s.rasconnstate != RASCS_Connected);
    QCOMPARE(RasHangUpA(h), DWORD(0));

    // pppd's own words were logged by the time the failure was reported,
    // with the lines before them.
    const QStringList logged = PppdLog::instance().take();
    QVERIFY2(!logged.isEmpty() && logged.last() == reason, qPrintable(logged.join('|')));
    QVERIFY(logged.size() <= 7);
    if (mode == "hangup")
        QVERIFY(logged.contains("pppd: Connect: ppp0 <--> /dev/ttyUSB2"));

    // The error's text is pppd's last word, with its exit where that ended it.
    QString expected = reason;
    if (reason.startsWith("pppd: exit status "))
        expected = (logged.size() >= 2 ? logged.at(logged.size() - 2) : QStringLiteral("pppd")) + " ("
                   + reason.mid(6) + ")";
    QCOMPARE(errorString(DWORD(error)), expected);
    char small[8];
    QCOMPARE(RasGetErrorStringA(UINT(error), small, sizeof(small)), DWORD(ERROR_INSUFFICIENT_BUFFER));
    // A reason belongs to its dial: the next one starts without it.
    m_pppd->setMode(QStringLiteral("ok"));
    const HRASCONN next = dial("*99***1#", &rc);
    QCOMPARE(rc, DWORD(0));
    QVERIFY(errorString(DWORD(error)) != expected);
    QVERIFY(!errorString(DWORD(error)).isEmpty());
    QCOMPARE(RasHangUpA(next), DWORD(0));
}

void TestRasDialPppd::dropAfterConnectShowsInStatus()
{
    m_pppd->setMode("drop");
    const HRASCONN h = dial();
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    QCOMPARE(queryStatus(h).rasconnstate, RASCS_Connected);
    QVERIFY(m_pppd->waitForEvent("exit 16", 5000));
    QTRY_COMPARE_WITH_TIMEOUT(queryStatus(h).rasconnstate, RASCS_Disconnected, 3000);
    QCOMPARE(queryStatus(h).dwError, DWORD(ERROR_DISCONNECTION));
    // Like RAS, the notifier hears nothing after the dial completed.
    QCOMPARE(NotifierLog::instance().states(), kFullDial);
    QCOMPARE(RasHangUpA(h), DWORD(0));
}

void TestRasDialPppd::refusesBadRequests()
{
    const auto notifier = reinterpret_cast<LPVOID>(&NotifierLog::notifier);
    HRASCONN h = nullptr;

    for (const char *number : {"*99#; reboot", "*99***1# ", "`id`", "$(id)", "ATD'", "", "*99\n"}) {
        RASDIALPARAMSA p = dialParams(number);
        QCOMPARE(RasDialA(nullptr, nullptr, &p, 0, notifier, &h), DWORD(ERROR_INVALID_PARAMETER));
        QVERIFY(h == nullptr);
    }
    {
        // Every dial modifier is let through.
        RASDIALPARAMSA p = dialParams("+49,W12P34T#*0");
        QCOMPARE(RasDialA(nullptr, nullptr, &p, 0, notifier, &h), DWORD(0));
        QVERIFY(NotifierLog::instance().waitForEnd(10000));
        QCOMPARE(RasHangUpA(h), DWORD(0));
        NotifierLog::instance().reset();
        h = nullptr;
    }
    {
        RASDIALPARAMSA p = dialParams("*99***1#");
        p.dwSize = 1060; // a later record form; this layer has only the 1052-byte one
        QCOMPARE(RasDialA(nullptr, nullptr, &p, 0, notifier, &h), DWORD(ERROR_INVALID_SIZE));
        p.dwSize = sizeof(p);
        // The entry is a pppd peer: never a path or an option.
        for (const char *entry : {"../work", "-work", "work/x", ".work", "work peer"}) {
            std::strcpy(p.szEntryName, entry);
            QCOMPARE(RasDialA(nullptr, nullptr, &p, 0, notifier, &h), DWORD(ERROR_CANNOT_FIND_PHONEBOOK_ENTRY));
        }
        p.szEntryName[0] = 0;
        QCOMPARE(RasDialA(nullptr, nullptr, &p, 1, notifier, &h), DWORD(ERROR_INVALID_PARAMETER));
        QCOMPARE(RasDialA(nullptr, nullptr, &p, 0, notifier, nullptr),
                 DWORD(ERROR_INVALID_PARAMETER));
        QCOMPARE(RasDialA(nullptr, nullptr, nullptr, 0, notifier, &h),
                 DWORD(ERROR_INVALID_PARAMETER));
        HRASCONN stale = reinterpret_cast<HRASCONN>(0x1234);
        QCOMPARE(RasDialA(nullptr, nullptr, &p, 0, notifier, &stale), DWORD(ERROR_INVALID_HANDLE));
    }
    {
        // A number filling its field without a terminating zero is cut, not overrun.
        RASDIALPARAMSA p = dialParams("");
        std::memset(p.szPhoneNumber, '9', sizeof(p.szPhoneNumber));
        std::memset(p.szCallbackNumber, ';', sizeof(p.szCallbackNumber));
        QCOMPARE(RasDialA(nullptr, nullptr, &p, 0, notifier, &h), DWORD(0));
        QVERIFY(NotifierLog::instance().waitForEnd(10000));
        QCOMPARE(RasHangUpA(h), DWORD(0));
        const QStringList args = m_pppd->arguments();
        const QString script = args.value(args.indexOf("connect") + 1);
        QVERIFY2(script.contains("'ATD" + QString(int(sizeof(p.szPhoneNumber)), '9') + "'"),
                 qPrintable(script));
    }
    // Only the two accepted dials ran pppd.
    QCOMPARE(m_pppd->events().count("started"), 2);
}

void TestRasDialPppd::refusesWithoutPppd()
{
    // pppd and chat are found on PATH first, then in the system folders a
    // plain login's PATH leaves out; relative PATH entries count for nothing.
    const std::string fake = (m_pppd->dir() + "/bin/pppd").toStdString();
    QCOMPARE(SystemProgram::find("pppd", qgetenv("PATH").constData()), fake);
    QCOMPARE(SystemProgram::find("pppd", "bin:.:/nonexistent", {}), std::string());
    QCOMPARE(SystemProgram::find("pppd", "", {m_pppd->dir().toStdString() + "/bin"}), fake);
    if (QFile::exists(QString::fromLatin1(kRealPppd)))
        QCOMPARE(SystemProgram::find("pppd", kLoginPath), std::string(kRealPppd));

    // Found, but not to be run by this user: refused with the reason.
    QVERIFY(m_pppd->makeUnrunnable());
    DWORD rc = 0;
    const HRASCONN h = dial("*99***1#", &rc);
    QCOMPARE(rc, DWORD(ERROR_PORT_NOT_AVAILABLE));
    QVERIFY(h == nullptr);
    QVERIFY(NotifierLog::instance().calls().isEmpty());
    QVERIFY2(errorString(ERROR_PORT_NOT_AVAILABLE).startsWith("pppd cannot be started"),
             qPrintable(errorString(ERROR_PORT_NOT_AVAILABLE)));
    QVERIFY2(errorString(ERROR_PORT_NOT_AVAILABLE).contains(QString::fromStdString(fake) + ": Permission denied"),
             qPrintable(errorString(ERROR_PORT_NOT_AVAILABLE)));
    // A code this layer never gives has no text.
    char text[512];
    QCOMPARE(RasGetErrorStringA(12345, text, sizeof(text)), DWORD(ERROR_INVALID_PARAMETER));
}

void TestRasDialPppd::leftoverPppdOfAKilledRunIsEnded()
{
    // A pppd dialling the same peer that this layer did not start.
    QProcess foreign;
    foreign.start(m_pppd->dir() + "/bin/pppd", {"call", "provider", "nodetach"});
    QVERIFY(foreign.waitForStarted());
    QTRY_COMPARE(m_pppd->pid(), foreign.processId());
    // A run killed outright with its link up leaves its pppd on the port.
    const qint64 left = m_pppd->leaveBehind();
    QVERIFY(left > 0 && left != foreign.processId());
    QVERIFY(FakePppd::isRunning(left));

    DWORD rc = 1;
    const HRASCONN h = dial("*99***1#", &rc);
    QCOMPARE(rc, DWORD(0));
    // Ended before this dial's pppd started, and said so.
    QVERIFY(!FakePppd::isRunning(left));
    QVERIFY(m_pppd->events().contains("term"));
    char notice[2048];
    QCOMPARE(RasGetDialNoticeA(notice, sizeof(notice)), DWORD(0));
    // One line per pppd found (a crashed test may have left more).
    const QByteArray ended = QStringLiteral("Ended pppd (pid %1) left running by trevalo (pid ").arg(left).toLatin1();
    QVERIFY2(QByteArray(notice).startsWith(ended) || QByteArray(notice).contains("\n" + ended), notice);
    char small[8];
    QCOMPARE(RasGetDialNoticeA(small, sizeof(small)), DWORD(ERROR_INSUFFICIENT_BUFFER));
    QCOMPARE(RasGetDialNoticeA(nullptr, 0), DWORD(ERROR_INVALID_PARAMETER));
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    QCOMPARE(NotifierLog::instance().states().last(), int(RASCS_Connected));
    // The pppd of a run that still runs is no leftover, nor is a stranger's.
    const HRASCONN second = dial("*99***1#", &rc);
    QCOMPARE(rc, DWORD(0));
    QCOMPARE(RasGetDialNoticeA(notice, sizeof(notice)), DWORD(0));
    QCOMPARE(QByteArray(notice), QByteArray());
    QCOMPARE(RasHangUpA(second), DWORD(0));
    QCOMPARE(RasHangUpA(h), DWORD(0));
    QVERIFY(FakePppd::isRunning(foreign.processId()));
    foreign.kill();
    QVERIFY(foreign.waitForFinished(5000));
}

void TestRasDialPppd::leftoverOfAnotherPeerIsLeftToItsOwnDial()
{
    // A killed run of the second modem left its pppd; the first modem's
    // dial leaves it alone, the second modem's next dial ends it.
    const qint64 left = m_pppd->leaveBehind(QStringLiteral("modem2"));
    QVERIFY(left > 0);
    DWORD rc = 1;
    HRASCONN h = dial("*99***1#", &rc);
    QCOMPARE(rc, DWORD(0));
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    QCOMPARE(RasHangUpA(h), DWORD(0));
    QVERIFY(FakePppd::isRunning(left));

    NotifierLog::instance().reset();
    RASDIALPARAMSA p = dialParams("*99***1#");
    std::strcpy(p.szEntryName, "modem2");
    h = nullptr;
    QCOMPARE(RasDialA(nullptr, nullptr, &p, 0, reinterpret_cast<LPVOID>(&NotifierLog::notifier), &h), DWORD(0));
    QVERIFY(!FakePppd::isRunning(left));
    char notice[2048];
    QCOMPARE(RasGetDialNoticeA(notice, sizeof(notice)), DWORD(0));
    QVERIFY2(QByteArray(notice).contains(QStringLiteral("Ended pppd (pid %1)").arg(left).toLatin1()), notice);
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    QCOMPARE(m_pppd->arguments().mid(0, 2), QStringList({"call", "modem2"}));
    QCOMPARE(RasHangUpA(h), DWORD(0));
}

void TestRasDialPppd::interfaceNameComesFromPppd()
{
    // The name goes to ping's command line and to a socket option: what
    // the kernel could not call an interface is not taken.
    for (const QByteArray &bad : {QByteArray("-Ieth0"), QByteArray("../x"), QByteArray("ppp-chip2-link-zz"),
                                  QByteArray("a:b")}) {
        NotifierLog::instance().reset();
        m_pppd->setInterface(bad);
        const HRASCONN h = dial();
        QVERIFY(NotifierLog::instance().waitForEnd(10000));
        QCOMPARE(NotifierLog::instance().states().last(), int(RASCS_Connected));
        char name[64] = "x";
        QCOMPARE(RasGetLinkInterfaceA(h, name, sizeof(name)), DWORD(0));
        QVERIFY2(name[0] == '\0', bad.constData());
        QCOMPARE(RasHangUpA(h), DWORD(0));
    }
    NotifierLog::instance().reset();
    m_pppd->setInterface("ppp-chip2");
    const HRASCONN h = dial();
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    char small[4];
    QCOMPARE(RasGetLinkInterfaceA(h, small, sizeof(small)), DWORD(ERROR_INSUFFICIENT_BUFFER));
    QCOMPARE(RasGetLinkInterfaceA(h, nullptr, 0), DWORD(ERROR_INVALID_PARAMETER));
    QCOMPARE(RasHangUpA(h), DWORD(0));
}

void TestRasDialPppd::staleHandlesAreRefused()
{
    QCOMPARE(RasHangUpA(nullptr), DWORD(ERROR_INVALID_HANDLE));
    QCOMPARE(RasHangUpA(reinterpret_cast<HRASCONN>(0xdeadbeef)), DWORD(ERROR_INVALID_HANDLE));
    DWORD rc = 0;
    queryStatus(reinterpret_cast<HRASCONN>(0xdeadbeef), &rc);
    QCOMPARE(rc, DWORD(ERROR_INVALID_HANDLE));

    const HRASCONN h = dial();
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    RASCONNSTATUSA wrongSize;
    std::memset(&wrongSize, 0, sizeof(wrongSize));
    wrongSize.dwSize = 288; // the Windows 7 form, which this layer does not fill
    QCOMPARE(RasGetConnectStatusA(h, &wrongSize), DWORD(ERROR_INVALID_SIZE));
    QCOMPARE(RasGetConnectStatusA(h, nullptr), DWORD(ERROR_INVALID_PARAMETER));

    QCOMPARE(RasHangUpA(h), DWORD(0));
    QCOMPARE(RasHangUpA(h), DWORD(ERROR_INVALID_HANDLE));
    queryStatus(h, &rc);
    QCOMPARE(rc, DWORD(ERROR_INVALID_HANDLE));

    // Handles are not reused: the next dial's handle differs.
    const HRASCONN next = dial();
    QVERIFY(next != h);
    QCOMPARE(RasHangUpA(next), DWORD(0));
}

void TestRasDialPppd::noNotificationAfterHangUp()
{
    // Hang up at every point of a slow dial; no report may arrive after
    // RasHangUpA has returned.
    for (int cut = 1; cut <= 6; ++cut) {
        NotifierLog::instance().reset();
        m_pppd->setMode("slow", 40);
        const HRASCONN h = dial();
        QVERIFY(h != nullptr);
        QVERIFY(NotifierLog::instance().waitForCount(cut, 10000));
        QElapsedTimer t;
        t.start();
        QCOMPARE(RasHangUpA(h), DWORD(0));
        NotifierLog::instance().markHungUp();
        QVERIFY2(t.elapsed() < 3000, "hang-up waits for pppd's SIGTERM handling only");
        QTest::qWait(300);
        for (const NotifierCall &c : NotifierLog::instance().calls())
            QVERIFY2(!c.afterHangUp, qPrintable(QString("cut %1").arg(cut)));
        // The first reports come before the stand-in has set up its trap.
        if (cut > 3)
            QVERIFY(m_pppd->events().contains("term"));
    }
}

void TestRasDialPppd::hangUpFromInsideNotifier()
{
    m_pppd->setMode("slow", 50);
    const HRASCONN h = dial();
    NotifierLog::instance().hangUpFromNotifier(h, RASCS_DeviceConnected);
    QVERIFY(m_pppd->waitForEvent("term", 5000));
    QTest::qWait(300);
    QCOMPARE(NotifierLog::instance().states().last(), int(RASCS_DeviceConnected));
    for (const NotifierCall &c : NotifierLog::instance().calls())
        QVERIFY(!c.afterHangUp);
    QCOMPARE(RasHangUpA(h), DWORD(ERROR_INVALID_HANDLE));
}

void TestRasDialPppd::killsPppdThatIgnoresSigterm()
{
    m_pppd->setMode("stubborn");
    const HRASCONN h = dial();
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    QElapsedTimer t;
    t.start();
    QCOMPARE(RasHangUpA(h), DWORD(0));
    QVERIFY(t.elapsed() < 8000);
    QVERIFY(m_pppd->events().contains("term"));
    QVERIFY(!m_pppd->events().contains("exit 5"));
}

void TestRasDialPppd::endsPppdThatLingersAfterFailure()
{
    // A peer file with "persist" would keep pppd redialling; the layer
    // reports the failure at once and ends pppd if it stays.
    m_pppd->setMode("linger");
    const HRASCONN h = dial();
    QVERIFY(NotifierLog::instance().waitForEnd(3000));
    QCOMPARE(NotifierLog::instance().calls().last().error, DWORD(ERROR_NO_ANSWER));
    QVERIFY(m_pppd->waitForEvent("term", 10000));
    QCOMPARE(RasHangUpA(h), DWORD(0));
}

void TestRasDialPppd::synchronousDial()
{
    RASDIALPARAMSA p = dialParams("*99***1#");
    HRASCONN h = nullptr;
    QCOMPARE(RasDialA(nullptr, nullptr, &p, 0, nullptr, &h), DWORD(0));
    QCOMPARE(queryStatus(h).rasconnstate, RASCS_Connected);
    QCOMPARE(RasHangUpA(h), DWORD(0));

    m_pppd->setMode("connect-fail");
    h = nullptr;
    QCOMPARE(RasDialA(nullptr, nullptr, &p, 0, nullptr, &h), DWORD(ERROR_NO_ANSWER));
    // The handle is held after a failed synchronous dial, as with RAS.
    QVERIFY(h != nullptr);
    QCOMPARE(RasHangUpA(h), DWORD(0));
}

void TestRasDialPppd::realPppdFailsCleanly()
{
    const QString skip = realPppdSkipReason();
    if (!skip.isEmpty())
        QSKIP(qPrintable(skip));
    // Found where it lives although a plain login's PATH leaves /usr/sbin out.
    m_pppd->usePlainLoginPath();
    QVERIFY(!hasChildren());

    QElapsedTimer t;
    t.start();
    DWORD rc = 1;
    const HRASCONN h = dial("*99***1#", &rc);
    QCOMPARE(rc, DWORD(0));
    QVERIFY2(NotifierLog::instance().waitForEnd(20000), "the dial must end by itself");
    const NotifierCall last = NotifierLog::instance().calls().last();
    QCOMPARE(RasHangUpA(h), DWORD(0));
    // The error's text, which the worker logs, carries pppd's own reason.
    const QString reason = errorString(last.error);
    qInfo("real pppd failed after %lld ms with error %lu: %s", qint64(t.elapsed()),
          static_cast<unsigned long>(last.error), qPrintable(reason));

    // pppd stops at the first obstacle of this machine: the peer file as
    // installed, or the missing kernel PPP behind a usable one.
    const QStringList logged = PppdLog::instance().take();
    const QString text = logged.join('\n');
    QVERIFY2(last.state != RASCS_Connected, qPrintable(text));
    if (last.error == ERROR_CANNOT_FIND_PHONEBOOK_ENTRY)
        QVERIFY2(text.contains("/etc/ppp/peers/provider") && text.contains("exit status 2")
                     && reason.startsWith("pppd: ") && reason.endsWith("(exit status 2)"),
                 qPrintable(text + '\n' + reason));
    else if (last.error == ERROR_PORT_NOT_AVAILABLE)
        QVERIFY2(text.contains("/dev/ppp") && text.contains("exit status 4") && reason.contains("/dev/ppp")
                     && reason.endsWith("(exit status 4)"),
                 qPrintable(text + '\n' + reason));
    else
        QFAIL(qPrintable(QString("unexpected error %1:\n%2").arg(last.error).arg(text)));
    // Nothing of the dial is left running or unreaped.
    QVERIFY(!hasChildren());
}

void TestRasDialPppd::samplePeerFileSuitsTheDial_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("first modem") << QStringLiteral("provider");
    QTest::newRow("further modem") << QStringLiteral("chip2");
}

void TestRasDialPppd::samplePeerFileSuitsTheDial()
{
    QFETCH(QString, name);
    const QString peer = QStringLiteral(TREVALO_PACKAGING_DIR "/ppp/peers/") + name;
    const QStringList options = optionLines(peer);
    if (name != QLatin1String("provider")) {
        // A further modem's link has a name, unit and pid file of its own,
        // and never takes the default route from another chip's traffic.
        QStringList own;
        for (const QString &line : options)
            own << line.section(QLatin1Char(' '), 0, 0);
        for (const char *option : {"ifname", "unit", "linkname", "nodefaultroute"})
            QVERIFY2(own.contains(QLatin1String(option)), option);
    }
    QVERIFY2(!options.isEmpty(), qPrintable(peer));
    // A connect script there would lock out the layer's own for anyone but
    // root; persist would redial behind the layer's back; the machine's
    // routes and name servers stay untouched unless asked.
    for (const QString &line : options) {
        const QString option = line.section(QLatin1Char(' '), 0, 0);
        QVERIFY2(!QStringList({"connect", "persist", "defaultroute", "usepeerdns", "auth"})
                      .contains(option),
                 qPrintable(line));
    }
    QVERIFY(options.contains("noauth"));
    QVERIFY(options.contains("noipdefault"));
    QVERIFY(options.first().startsWith("/dev/"));

    const QString skip = realPppdSkipReason();
    if (!skip.isEmpty())
        QSKIP(qPrintable(skip));
    // The real pppd reads the file through to its end: with the port line
    // pointed at a device that exists, the only complaint left is the
    // missing kernel PPP.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile in(peer), out(dir.filePath("peer"));
    QVERIFY(in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly));
    const QString device = options.first();
    out.write(QString::fromUtf8(in.readAll()).replace("\n" + device + "\n", "\n/dev/null\n").toUtf8());
    out.close();
    QProcess pppd;
    pppd.setProcessChannelMode(QProcess::MergedChannels);
    pppd.start(QString::fromLatin1(kRealPppd),
               {"file", out.fileName(), "nodetach", "nopersist", "maxfail", "1", "connect", "true"});
    QVERIFY(pppd.waitForFinished(20000));
    const QByteArray said = pppd.readAll();
    QCOMPARE(pppd.exitStatus(), QProcess::NormalExit);
    QVERIFY2(pppd.exitCode() == 4 && said.contains("/dev/ppp"), said.constData());
}

void TestRasDialPppd::sampleChatScriptDialsAsTheLayer()
{
    m_pppd->setMode("script");
    const HRASCONN h = dial("*99***1#");
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    QCOMPARE(RasHangUpA(h), DWORD(0));
    QStringList dialled = m_pppd->chatArguments();
    QCOMPARE(dialled.value(0), QString("-v"));
    dialled.removeFirst();
    QCOMPARE(chatFileTokens(QStringLiteral(TREVALO_PACKAGING_DIR "/ppp/chatscripts/trevalo")),
             dialled);
}

void TestRasDialPppd::realChatTalksToAModem_data()
{
    QTest::addColumn<bool>("shipped"); // the shipped script, or the layer's own line
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("exitCode");
    for (const bool shipped : {true, false}) {
        const char *what = shipped ? "shipped script" : "layer's connect line";
        QTest::addRow("%s, connect", what) << shipped << QByteArray("CONNECT 150000000") << 0;
        // chat's status names the ABORT string that matched: the second.
        QTest::addRow("%s, no carrier", what) << shipped << QByteArray("NO CARRIER") << 5;
    }
}

void TestRasDialPppd::realChatTalksToAModem()
{
    QFETCH(bool, shipped);
    QFETCH(QByteArray, answer);
    QFETCH(int, exitCode);
    if (!QFile::exists("/usr/sbin/chat"))
        QSKIP("chat is not installed (Debian package ppp)");

    // As the peer file's comment shows it for dialling by hand.
    QString command = QStringLiteral("/usr/sbin/chat -f " TREVALO_PACKAGING_DIR "/ppp/chatscripts/trevalo");
    if (!shipped) {
        // The system's chat, found by the layer although the PATH lacks it.
        QVERIFY(m_pppd->removeChat());
        const HRASCONN h = dial("*99***1#");
        QVERIFY(NotifierLog::instance().waitForEnd(10000));
        QCOMPARE(RasHangUpA(h), DWORD(0));
        const QStringList args = m_pppd->arguments();
        command = args.value(args.indexOf("connect") + 1);
        QVERIFY2(command.startsWith("/usr/sbin/chat -v "), qPrintable(command));
    }

    // The modem on a pseudo-terminal, as pppd hands chat the port.
    PseudoTerminal modem;
    QProcess chat;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // The connect script's shell may have no more than a plain login's PATH.
    env.insert("PATH", QString::fromLatin1(kLoginPath));
    chat.setProcessEnvironment(env);
    chat.setStandardInputFile(modem.slavePath());
    chat.setStandardOutputFile(modem.slavePath());
    chat.start("/bin/sh", {"-c", command});
    QVERIFY(chat.waitForStarted());

    const auto expect = [&](const QByteArray &wanted) {
        QByteArray got;
        QElapsedTimer t;
        t.start();
        while (!got.contains(wanted) && t.elapsed() < 5000)
            got += modem.receive(200);
        return got;
    };
    QByteArray got = expect("ATZ\r");
    QVERIFY2(got.contains("ATZ\r"), got.constData());
    QVERIFY(modem.send("\r\nOK\r\n"));
    got = expect("ATD*99***1#\r");
    QVERIFY2(got.contains("ATD*99***1#\r"), got.constData());
    QVERIFY(modem.send("\r\n" + answer + "\r\n"));
    QVERIFY(chat.waitForFinished(10000));
    QCOMPARE(chat.exitStatus(), QProcess::NormalExit);
    QCOMPARE(chat.exitCode(), exitCode);
}

QTEST_GUILESS_MAIN(TestRasDialPppd)
#include "tst_rasdial_pppd.moc"
