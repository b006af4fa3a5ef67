// The dial object of the zorvdial library over the RAS layer, dialling
// through the stand-in pppd.
#include "CZorvPppDialObj.h"
#include "FakePppd.h"
#include "NotifierLog.h"

#include <QTest>

#include <memory>

class TestZorvDial : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void noConnectionBeforeDialOrAfterHangUp();
    void dialsTheFixedRecord();
    void dialsTheChosenPeerAndKeepsItsInterface();
    void objectsShareOneConnection();
    void connectionOutlivesTheObject();
    void refusedDialKeepsNoConnection();
    void failedDialStillNeedsHangUp();

private:
    std::unique_ptr<FakePppd> m_pppd;
};

namespace {
void *notifier()
{
    return reinterpret_cast<void *>(&NotifierLog::notifier);
}
} // namespace

void TestZorvDial::init()
{
    m_pppd = std::make_unique<FakePppd>();
    QVERIFY(m_pppd->isValid());
    NotifierLog::instance().reset();
}

void TestZorvDial::cleanup()
{
    CZorvPppDialObj().hangUp();
    m_pppd.reset();
}

void TestZorvDial::noConnectionBeforeDialOrAfterHangUp()
{
    CZorvPppDialObj dial;
    QCOMPARE(dial.GetConnectStatus(), -1);
    QVERIFY(dial.hangUp());
    QVERIFY(m_pppd->events().isEmpty()); // nothing was dialled or ended

    QVERIFY(dial.dialUp(notifier()));
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    QCOMPARE(dial.GetConnectStatus(), 1);
    QVERIFY(dial.hangUp());
    QVERIFY(m_pppd->events().contains("term"));
    QCOMPARE(dial.GetConnectStatus(), -1);
    QVERIFY(dial.hangUp());
}

void TestZorvDial::dialsTheFixedRecord()
{
    CZorvPppDialObj dial;
    QVERIFY(dial.dialUp(notifier()));
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    const QStringList args = m_pppd->arguments();
    QVERIFY(dial.hangUp());

    // The number, and no user or password options for the empty fields.
    const QString script = args.value(args.indexOf("connect") + 1);
    QVERIFY2(script.contains("'ATD*99***1#'"), qPrintable(script));
    QVERIFY(!args.contains("user"));
    QVERIFY(!args.contains("password"));
    // The notifier went to RAS untouched and ran on RAS's thread.
    const QList<NotifierCall> calls = NotifierLog::instance().calls();
    QCOMPARE(calls.first().state, RASCS_OpenPort);
    QCOMPARE(calls.last().state, RASCS_Connected);
    QVERIFY(calls.last().thread != std::this_thread::get_id());
}

void TestZorvDial::dialsTheChosenPeerAndKeepsItsInterface()
{
    CZorvPppDialObj dial;
    char name[16] = "x";
    QVERIFY(!dial.linkInterface(name, sizeof(name)));
    QCOMPARE(name[0], '\0');

    m_pppd->setInterface("ppp-chip2");
    QVERIFY(dial.dialUp(notifier(), "modem2"));
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    QCOMPARE(m_pppd->arguments().mid(0, 2), QStringList({"call", "modem2"}));
    QVERIFY(dial.linkInterface(name, sizeof(name)));
    QCOMPARE(QByteArray(name), QByteArray("ppp-chip2"));
    // Half a name would pin traffic to another interface.
    char small[5];
    QVERIFY(!dial.linkInterface(small, sizeof(small)));
    QCOMPARE(small[0], '\0');
    QVERIFY(dial.hangUp());
    QVERIFY(!dial.linkInterface(name, sizeof(name)));

    // No entry dials the first modem's peer; a name pppd would read as an
    // option or a path is refused before anything runs.
    NotifierLog::instance().reset();
    QVERIFY(dial.dialUp(notifier(), ""));
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    QCOMPARE(m_pppd->arguments().mid(0, 2), QStringList({"call", "provider"}));
    QVERIFY(dial.hangUp());
    const int started = m_pppd->events().count("started");
    for (const char *bad : {"../provider", "-detach", "peers/modem2", ".hidden", "a b"}) {
        QVERIFY2(!dial.dialUp(notifier(), bad), bad);
        QCOMPARE(dial.lastRefusal(), 623u);
    }
    QCOMPARE(m_pppd->events().count("started"), started);
}

void TestZorvDial::objectsShareOneConnection()
{
    CZorvPppDialObj a;
    CZorvPppDialObj b;
    QVERIFY(a.dialUp(notifier()));
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    QCOMPARE(b.GetConnectStatus(), 1);
    b = a; // assignment copies nothing and changes nothing
    QCOMPARE(a.GetConnectStatus(), 1);
    QVERIFY(b.hangUp());
    QVERIFY(m_pppd->events().contains("term"));
    QCOMPARE(a.GetConnectStatus(), -1);
}

void TestZorvDial::connectionOutlivesTheObject()
{
    {
        CZorvPppDialObj dial;
        QVERIFY(dial.dialUp(notifier()));
        QVERIFY(NotifierLog::instance().waitForEnd(10000));
    }
    QVERIFY(!m_pppd->events().contains("term"));
    CZorvPppDialObj later;
    QCOMPARE(later.GetConnectStatus(), 1);
    QVERIFY(later.hangUp());
    QVERIFY(m_pppd->events().contains("term"));
}

void TestZorvDial::refusedDialKeepsNoConnection()
{
    QVERIFY(m_pppd->makeUnrunnable());
    CZorvPppDialObj dial;
    QVERIFY(!dial.dialUp(notifier()));
    QCOMPARE(dial.GetConnectStatus(), -1);
    QVERIFY(NotifierLog::instance().calls().isEmpty());
    // The refusal's code and RAS's words for it, into the caller's buffer.
    QCOMPARE(dial.lastRefusal(), 633u);
    char text[512];
    QVERIFY(dial.errorText(dial.lastRefusal(), text, sizeof(text)));
    QVERIFY2(QByteArray(text).startsWith("pppd cannot be started"), text);
    char small[5];
    QVERIFY(dial.errorText(dial.lastRefusal(), small, sizeof(small)));
    QCOMPARE(QByteArray(small), QByteArray("pppd"));
    QVERIFY(!dial.errorText(0, text, sizeof(text)));
    QCOMPARE(text[0], '\0');
    // No pppd was left to end: the dial has nothing else to tell.
    text[0] = 'x';
    QVERIFY(!dial.dialNotice(text, sizeof(text)));
    QCOMPARE(text[0], '\0');
}

void TestZorvDial::failedDialStillNeedsHangUp()
{
    m_pppd->setMode("auth-fail");
    CZorvPppDialObj dial;
    QVERIFY(dial.dialUp(notifier()));
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    QCOMPARE(NotifierLog::instance().calls().last().error, DWORD(ERROR_AUTHENTICATION_FAILURE));
    QCOMPARE(dial.lastRefusal(), 0u); // RAS took this one
    char text[512];
    QVERIFY(dial.errorText(ERROR_AUTHENTICATION_FAILURE, text, sizeof(text)));
    QCOMPARE(QByteArray(text), QByteArray("pppd: PAP authentication failed"));
    // Held but not connected until hung up.
    QCOMPARE(dial.GetConnectStatus(), 0);
    QVERIFY(dial.hangUp());
    QCOMPARE(dial.GetConnectStatus(), -1);
}

QTEST_GUILESS_MAIN(TestZorvDial)
#include "tst_zorvdial.moc"
