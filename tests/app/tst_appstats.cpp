// Pass/fail counts, FPY, average times and the result file.
#include <QComboBox>
#include <QPushButton>
#include <QLabel>
#include <QTextEdit>
#include <QtTest>

#include "AppTestSupport.h"
#include "TestSetup.h"
#include "testMainWindow.h"

namespace {
void radio(testMainWindow &w, bool pass)
{
    QVERIFY(QMetaObject::invokeMethod(&w, "onUpdateRadio", Q_ARG(bool, pass)));
}
void avg(testMainWindow &w, bool dial, int ms)
{
    QVERIFY(QMetaObject::invokeMethod(&w, "onUpdateAvgTime", Q_ARG(bool, dial), Q_ARG(int, ms)));
}
QString text(testMainWindow &w, const char *label)
{
    return widget<QLabel>(w, label)->text();
}
} // namespace

class tst_AppStats : public QObject
{
    Q_OBJECT

private slots:
    void init() { qunsetenv("TREVALO_BENCH"); }

    void countsAndTruncatedFpy();
    void averagesSkipNonPositiveSums();
    void averageFormatting_data();
    void averageFormatting();
    void resultFileBytes();
    void resultFileTagsAndOverwrite();
    void unwritableResultFolderIsSilent();
    void anotherRunsResultFileIsKept();
};

void tst_AppStats::countsAndTruncatedFpy()
{
    AppFolder folder;
    testMainWindow w;

    radio(w, false);
    QCOMPARE(text(w, "lbPass"), QStringLiteral("PASS: 0"));
    QCOMPARE(text(w, "lbFail"), QStringLiteral("FAIL: 1"));
    QCOMPARE(text(w, "lbTotal"), QStringLiteral("Total: 1"));
    QCOMPARE(text(w, "lbFPY"), QStringLiteral("FPY: 0%"));

    radio(w, true);
    radio(w, true);
    // 2 of 3 truncates to 66, not 67.
    QCOMPARE(text(w, "lbPass"), QStringLiteral("PASS: 2"));
    QCOMPARE(text(w, "lbTotal"), QStringLiteral("Total: 3"));
    QCOMPARE(text(w, "lbFPY"), QStringLiteral("FPY: 66%"));

    testMainWindow w2;
    radio(w2, true);
    radio(w2, false);
    radio(w2, false);
    QCOMPARE(text(w2, "lbFPY"), QStringLiteral("FPY: 33%"));

    testMainWindow w3;
    for (int i = 0; i < 3; ++i)
        radio(w3, true);
    QCOMPARE(text(w3, "lbFPY"), QStringLiteral("FPY: 100%"));
    QCOMPARE(text(w3, "lbFail"), QStringLiteral("FAIL: 0"));

    // Large counts: no overflow in the percentage.
    testMainWindow w4;
    for (int i = 0; i < 30000; ++i)
        radio(w4, i % 7 != 0);
    QCOMPARE(text(w4, "lbTotal"), QStringLiteral("Total: 30000"));
    QCOMPARE(text(w4, "lbFPY"), QStringLiteral("FPY: %1%").arg(25714 * 100 / 30000));
}

void tst_AppStats::averagesSkipNonPositiveSums()
{
    AppFolder folder;
    testMainWindow w;

    // A zero first sample counts but shows no figure yet.
    avg(w, true, 0);
    QCOMPARE(text(w, "DialupLb"), QStringLiteral("Avg Dial-up Time: "));
    avg(w, true, 3000);
    QCOMPARE(text(w, "DialupLb"), QStringLiteral("Avg Dial-up Time: 1.5s"));
    QCOMPARE(text(w, "HanpupLb"), QStringLiteral("Avg Hanp-up Time: "));

    // A negative time is summed like any other; a non-positive sum leaves
    // the label as it was.
    avg(w, false, -2000);
    QCOMPARE(text(w, "HanpupLb"), QStringLiteral("Avg Hanp-up Time: "));
    avg(w, false, 2000);
    QCOMPARE(text(w, "HanpupLb"), QStringLiteral("Avg Hanp-up Time: "));
    avg(w, false, 1500);
    QCOMPARE(text(w, "HanpupLb"), QStringLiteral("Avg Hanp-up Time: 0.5s"));
    avg(w, true, -10000);
    QCOMPARE(text(w, "DialupLb"), QStringLiteral("Avg Dial-up Time: 1.5s"));
}

void tst_AppStats::averageFormatting_data()
{
    QTest::addColumn<QList<int>>("times");
    QTest::addColumn<QString>("shown");
    QTest::newRow("3.25") << QList<int>{3250} << QStringLiteral("3.25s");
    QTest::newRow("six digits") << QList<int>{12345, 12346} << QStringLiteral("12.3455s");
    QTest::newRow("no trailing zeros") << QList<int>{2000, 4000} << QStringLiteral("3s");
    QTest::newRow("third") << QList<int>{1000, 0, 0} << QStringLiteral("0.333333s");
    QTest::newRow("one ms") << QList<int>{1} << QStringLiteral("0.001s");
    QTest::newRow("long") << QList<int>{1234567} << QStringLiteral("1234.57s");
    QTest::newRow("exponent") << QList<int>{2000000000, 2000000000} << QStringLiteral("2e+06s");
}

void tst_AppStats::averageFormatting()
{
    QFETCH(QList<int>, times);
    QFETCH(QString, shown);
    AppFolder folder;
    testMainWindow w;
    for (int t : times) {
        avg(w, true, t);
        avg(w, false, t);
    }
    QCOMPARE(text(w, "DialupLb"), QStringLiteral("Avg Dial-up Time: ") + shown);
    QCOMPARE(text(w, "HanpupLb"), QStringLiteral("Avg Hanp-up Time: ") + shown);
}

void tst_AppStats::resultFileBytes()
{
    AppFolder folder;
    testMainWindow w;
    for (int i = 0; i < 10; ++i)
        radio(w, i != 4);

    QVERIFY(!QDir(QStringLiteral("result")).exists());
    const QString path = w.writeResultFileAt(QDateTime(QDate(2026, 3, 1), QTime(8, 5, 9)));
    QCOMPARE(path, QStringLiteral("result/PPPCallTest.2026-03-01-08-05-09.txt"));
    QCOMPARE(AppFolder::read(path),
             QByteArray("#Test Case: PPPCallTest\r\n#Total: 10\r\n#PASS: 9\r\n#FAIL: 1\r\n#FPY: 90%\r\n"));

    // Before any cycle the file copies the labels as they stand.
    testMainWindow fresh;
    const QString p2 = fresh.writeResultFileAt(QDateTime(QDate(2026, 3, 1), QTime(8, 5, 10)));
    QCOMPARE(AppFolder::read(p2),
             QByteArray("#Test Case: PPPCallTest\r\n#Total: 0\r\n#Pass: 0\r\n#Fail: 0\r\n#FPY: 0%\r\n"));

    // The clock path writes a file too.
    w.writeResultFile();
    QVERIFY(folder.files(QStringLiteral("result")).size() >= 2);
}

void tst_AppStats::resultFileTagsAndOverwrite()
{
    AppFolder folder;
    testMainWindow w;
    const QStringList tags = {"PPPCallTest", "ExternalShortShortTest", "ExternalLongShortTest",
                              "ExternalLongLongTest", "RegisterNetTest", "SleepWakePPPTest"};
    auto *cases = widget<QComboBox>(w, "caseCBx");
    const QDateTime t(QDate(2026, 12, 24), QTime(23, 0, 1));
    for (int i = tags.size() - 1; i >= 0; --i) {
        cases->setCurrentIndex(i);
        const QString path = w.writeResultFileAt(t);
        QCOMPARE(path, QStringLiteral("result/%1.2026-12-24-23-00-01.txt").arg(tags.at(i)));
        QVERIFY(AppFolder::read(path).startsWith("#Test Case: " + tags.at(i).toLatin1() + "\r\n"));
    }

    // A second write in the same second replaces the first, not appends.
    radio(w, true);
    radio(w, true);
    const QString path = w.writeResultFileAt(t);
    QCOMPARE(AppFolder::read(path),
             QByteArray("#Test Case: PPPCallTest\r\n#Total: 2\r\n#PASS: 2\r\n#FAIL: 0\r\n#FPY: 100%\r\n"));
}

void tst_AppStats::unwritableResultFolderIsSilent()
{
    AppFolder folder;
    testMainWindow w;
    QFile blocker(QStringLiteral("result"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    radio(w, true);
    QVERIFY(w.writeResultFileAt(QDateTime(QDate(2026, 1, 1), QTime(0, 0, 0))).isEmpty());
    w.writeResultFile();
    QVERIFY(widget<QTextEdit>(w, "teLog")->toPlainText().isEmpty());
    QCOMPARE(text(w, "lbPass"), QStringLiteral("PASS: 1"));
    QCOMPARE(w.state(), testMainWindow::NotReady);
    QVERIFY(QFileInfo(QStringLiteral("result")).isFile());
}

void tst_AppStats::anotherRunsResultFileIsKept()
{
    AppFolder folder;
    const QDateTime t(QDate(2026, 5, 4), QTime(10, 20, 30));
    const QString first = QStringLiteral("result/PPPCallTest.2026-05-04-10-20-30.txt");
    const QString second = QStringLiteral("result/PPPCallTest.2026-05-04-10-20-30-2.txt");
    const QString third = QStringLiteral("result/PPPCallTest.2026-05-04-10-20-30-3.txt");

    testMainWindow w;
    radio(w, true);
    QCOMPARE(w.writeResultFileAt(t), first);
    // The same run's second write (Stop, then the finish) replaces its file.
    radio(w, true);
    QCOMPARE(w.writeResultFileAt(t), first);
    QVERIFY(AppFolder::read(first).contains("#Total: 2\r\n"));

    // A run in another window within the same second: a file of its own.
    testMainWindow other;
    radio(other, false);
    QCOMPARE(other.writeResultFileAt(t), second);
    QCOMPARE(other.writeResultFileAt(t), second);
    QVERIFY(AppFolder::read(first).contains("#Total: 2\r\n"));
    QVERIFY(AppFolder::read(second).contains("#FAIL: 1\r\n"));

    // A new run in the first window (Start) no longer owns its old file.
    w.fillPortList({QStringLiteral("ttyNONE")});
    w.testSetup()->caseIndex = 7; // no such case: runs nothing and ends at once
    widget<QPushButton>(w, "startBtn")->click();
    QTRY_COMPARE(w.state(), testMainWindow::Ready);
    w.testSetup()->caseIndex = 0;
    QCOMPARE(w.writeResultFileAt(t), third);
    QCOMPARE(w.writeResultFileAt(t), third);
    QVERIFY(AppFolder::read(first).contains("#Total: 2\r\n"));
    QVERIFY(AppFolder::read(third).contains("#Total: 0\r\n"));

    // The finish a second after Stop: the run's file is the later one only.
    radio(w, true);
    const QString later = QStringLiteral("result/PPPCallTest.2026-05-04-10-20-31.txt");
    QCOMPARE(w.writeResultFileAt(t.addSecs(1)), later);
    QVERIFY(!QFileInfo::exists(third));
    QVERIFY(AppFolder::read(later).contains("#Total: 1\r\n"));
    QCOMPARE(folder.files(QStringLiteral("result")).size(), 3);
}

QTEST_MAIN(tst_AppStats)
#include "tst_appstats.moc"
