// The log view (stamps, colours, bold, style sheet) and the log files
// (content, same-second saves, unwritable folder, auto-save period).
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextBlock>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>

#include "AppTestSupport.h"
#include "LogStamper.h"
#include "TestSetup.h"
#include "testMainWindow.h"

namespace {
const QString kViewRule = QStringLiteral("QTextEdit {font: times bold 12pt; background: black }");

QTextCharFormat lastLineFormat(QTextEdit *log)
{
    QTextBlock block = log->document()->lastBlock();
    QTextBlock::iterator it = block.begin();
    return it.atEnd() ? QTextCharFormat() : it.fragment().charFormat();
}

// A view line as the document holds it: text, block formats and the format
// of every fragment.
struct ViewLine
{
    QString text;
    QTextBlockFormat blockFormat;
    QTextCharFormat blockCharFormat;
    QList<QTextCharFormat> fragments;
    bool operator==(const ViewLine &o) const
    {
        return text == o.text && blockFormat == o.blockFormat && blockCharFormat == o.blockCharFormat
            && fragments == o.fragments;
    }
};

QList<ViewLine> viewLines(QTextEdit *log)
{
    QList<ViewLine> lines;
    for (QTextBlock b = log->document()->begin(); b.isValid(); b = b.next()) {
        ViewLine l{b.text(), b.blockFormat(), b.charFormat(), {}};
        for (QTextBlock::iterator it = b.begin(); !it.atEnd(); ++it)
            l.fragments << it.fragment().charFormat();
        lines << l;
    }
    return lines;
}
} // namespace

class tst_AppLog : public QObject
{
    Q_OBJECT

private slots:
    void init() { qunsetenv("TREVALO_BENCH"); }

    void stampWritesMillisecondsTwice();
    void stamperFollowsTheClock();
    void lineCarriesStampAndText();
    void linesKeepTheirTextVerbatim();
    void greenLinesAreBoldOthersNot();
    void batchedLinesMatchLineAtATime();
    void styleSheetKeepsOneColourRule();
    void savedFileHoldsTheViewText();
    void sameSecondSaveNeverLosesLines();
    void unwritableLogFolderIsReported();
    void autoSaveOnlyWhileRunning();
    void autoSavePeriodIsSane();
    void settingsFileThatIsNotIniIsSaidAndKept();
    void findAndFailureJumpsOverTheView();
};

void tst_AppLog::stampWritesMillisecondsTwice()
{
    const QDate day(2026, 3, 3);
    QCOMPARE(testMainWindow::logStamp(QDateTime(day, QTime(12, 5, 9, 7))), QStringLiteral("03-03-12-05-09-77"));
    QCOMPARE(testMainWindow::logStamp(QDateTime(day, QTime(12, 5, 9, 123))), QStringLiteral("03-03-12-05-09-123123"));
    QCOMPARE(testMainWindow::logStamp(QDateTime(day, QTime(12, 5, 9, 40))), QStringLiteral("03-03-12-05-09-4040"));
    QCOMPARE(testMainWindow::logStamp(QDateTime(day, QTime(0, 0, 0, 0))), QStringLiteral("03-03-00-00-00-00"));
    QCOMPARE(testMainWindow::logStamp(QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59, 999))),
             QStringLiteral("12-31-23-59-59-999999"));
    QCOMPARE(testMainWindow::fileStamp(QDateTime(QDate(2026, 3, 1), QTime(8, 5, 9, 999))),
             QStringLiteral("2026-03-01-08-05-09"));
}

void tst_AppLog::stamperFollowsTheClock()
{
    // Lines are stamped with a local time worked out once a second; every
    // step of the clock, across seconds, days and backwards, must give the
    // stamp a fresh conversion gives.
    const qint64 base = QDateTime(QDate(2026, 12, 31), QTime(23, 59, 58, 998)).toMSecsSinceEpoch();
    const qint64 steps[] = {0, 1, 2, 1001, 1002, 1999, 2000, 2001, 3, -86400000, -86400000 + 5, 7, -base - 1500};
    LogStamper stamper;
    for (const qint64 step : steps) {
        const qint64 ms = base + step;
        QCOMPARE(stamper.stampLine(ms, QStringLiteral("AT+CREG?")),
                 testMainWindow::logStamp(QDateTime::fromMSecsSinceEpoch(ms)) + QStringLiteral(" AT+CREG?"));
    }
}

void tst_AppLog::lineCarriesStampAndText()
{
    AppFolder folder;
    testMainWindow w;
    auto *log = widget<QTextEdit>(w, "teLog");

    QVERIFY(QMetaObject::invokeMethod(&w, "onLogText", Q_ARG(QString, QStringLiteral("Running...")),
                                      Q_ARG(QColor, QColor(Qt::white))));
    QVERIFY(QMetaObject::invokeMethod(&w, "onLogText", Q_ARG(QString, QStringLiteral("second")),
                                      Q_ARG(QColor, QColor(Qt::yellow))));
    // Lines reach the view at the next repaint.
    QTRY_COMPARE(log->toPlainText().split(QLatin1Char('\n')).size(), 2);
    const QStringList lines = log->toPlainText().split(QLatin1Char('\n'));
    const QRegularExpression stamped(QStringLiteral("^\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d\\d-(\\d+) Running\\.\\.\\.$"));
    const QRegularExpressionMatch m = stamped.match(lines.at(0));
    QVERIFY2(m.hasMatch(), qPrintable(lines.at(0)));
    // The millisecond part is one number written twice.
    const QString ms = m.captured(1);
    QCOMPARE(ms.size() % 2, 0);
    QCOMPARE(ms.left(ms.size() / 2), ms.mid(ms.size() / 2));
    QVERIFY(lines.at(1).endsWith(QStringLiteral(" second")));
}

void tst_AppLog::linesKeepTheirTextVerbatim()
{
    AppFolder folder;
    testMainWindow w;
    auto *log = widget<QTextEdit>(w, "teLog");

    // Received data can look like markup; it must reach view and file as sent.
    const QStringList lines = {
        QStringLiteral("<b>bold</b> &amp; <i>x</i>"),
        QStringLiteral("&lt;tag&gt; then <p>"),
        QStringLiteral("  two  spaces  kept  "),
        QStringLiteral("<html><body>404</body></html>"),
    };
    for (const QString &l : lines)
        w.appendLogLine(l, QColor(Qt::yellow));
    QCOMPARE(log->toPlainText(), lines.join(QLatin1Char('\n')));

    const QString path = w.saveLogAt(QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5)));
    QCOMPARE(AppFolder::read(path), lines.join(QLatin1Char('\n')).toLocal8Bit());
}

void tst_AppLog::greenLinesAreBoldOthersNot()
{
    AppFolder folder;
    testMainWindow w;
    auto *log = widget<QTextEdit>(w, "teLog");

    w.appendLogLine(QStringLiteral("white before"), QColor(Qt::white));
    w.appendLogLine(QStringLiteral("Dial up successfully"), QColor(Qt::green));
    QTextCharFormat f = lastLineFormat(log);
    QCOMPARE(f.fontWeight(), int(QFont::Bold));
    QCOMPARE(f.foreground().color(), QColor(Qt::green));

    w.appendLogLine(QStringLiteral("white after"), QColor(Qt::white));
    f = lastLineFormat(log);
    QCOMPARE(f.fontWeight(), int(QFont::Normal));
    QCOMPARE(f.foreground().color(), QColor(Qt::white));

    w.appendLogLine(QStringLiteral("Failed!!!red"), QColor(Qt::red));
    f = lastLineFormat(log);
    QCOMPARE(f.fontWeight(), int(QFont::Normal));
    QCOMPARE(f.foreground().color(), QColor(Qt::red));

    // A green-ish colour that is not Qt's green stays normal weight.
    w.appendLogLine(QStringLiteral("dark green"), QColor(Qt::darkGreen));
    QCOMPARE(lastLineFormat(log).fontWeight(), int(QFont::Normal));
}

void tst_AppLog::batchedLinesMatchLineAtATime()
{
    AppFolder folder;
    testMainWindow batched;
    testMainWindow single;
    auto *viewB = widget<QTextEdit>(batched, "teLog");
    auto *viewS = widget<QTextEdit>(single, "teLog");
    // On screen, so that the views lay out, wrap and scroll as they do for
    // the operator (a scroll bar that appears narrows the view).
    batched.show();
    single.show();
    QVERIFY(QTest::qWaitForWindowExposed(&batched));
    QVERIFY(QTest::qWaitForWindowExposed(&single));

    const QStringList texts = {
        QStringLiteral("================================="),
        QStringLiteral("Dial up successfully"),
        QStringLiteral("<b>looks like markup</b> &amp;"),
        QString(),
        QStringLiteral("  padded  "),
        QString(1500, QLatin1Char('Q')),
        QStringLiteral("Failed!!!Receive data timeout"),
    };
    const QColor colours[] = {QColor(Qt::white), QColor(Qt::green), QColor(Qt::yellow), QColor(Qt::green),
                              QColor(Qt::red), QColor(Qt::darkGreen), QColor(Qt::white)};

    // What the batched view must end up holding, in order: worker lines
    // (stamped on arrival) and the window's own unstamped lines between them.
    struct Expected
    {
        QString text;
        QColor color;
        bool stamped;
    };
    QList<Expected> expected;
    int n = 0;
    // Bursts of one line, a few, and a flood; each ends with a repaint, or a
    // line of the window's own that must come after the burst, or nothing,
    // so that it joins the next burst.
    const int bursts[] = {1, 1, 5, 40, 1, 120, 3, 7, 2, 60, 1};
    for (int burst = 0; burst < int(std::size(bursts)); ++burst) {
        for (int k = 0; k < bursts[burst]; ++k, ++n) {
            const QString text = texts.at(n % texts.size()) + (n % 5 == 0 ? QString() : QString::number(n));
            const QColor colour = colours[(n / 2) % std::size(colours)];
            QVERIFY(QMetaObject::invokeMethod(&batched, "onLogText", Q_ARG(QString, text), Q_ARG(QColor, colour)));
            expected << Expected{text, colour, true};
        }
        if (burst % 3 == 0) {
            QTest::qWait(60);
        } else if (burst % 3 == 1) {
            batched.appendLogLine(QStringLiteral("Fail to open log file"), QColor(Qt::red));
            expected << Expected{QStringLiteral("Fail to open log file"), QColor(Qt::red), false};
        }
    }
    QTest::qWait(60);
    QCOMPARE(batched.pendingLogLines(), 0);

    // Every line arrived once, in order, with its stamp; the same stamped
    // lines then go into the other view one at a time.
    const QStringList shown = viewB->toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(shown.size(), expected.size());
    const QRegularExpression stamp(QStringLiteral("^\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d+ "));
    for (int i = 0; i < shown.size(); ++i) {
        const Expected &e = expected.at(i);
        if (e.stamped) {
            const QRegularExpressionMatch m = stamp.match(shown.at(i));
            QVERIFY2(m.hasMatch(), qPrintable(shown.at(i)));
            QCOMPARE(shown.at(i).mid(m.capturedLength()), e.text);
        } else {
            QCOMPARE(shown.at(i), e.text);
        }
        single.appendLogLine(shown.at(i), e.color);
    }

    QCOMPARE(viewLines(viewB), viewLines(viewS));
    QCOMPARE(viewB->currentCharFormat(), viewS->currentCharFormat());
    QCOMPARE(viewB->styleSheet(), viewS->styleSheet());
    // What the operator sees: the same font, every line wrapped the same,
    // and both views scrolled alike, down to their newest line.
    QCOMPARE(viewB->font(), viewS->font());
    QCOMPARE(viewB->document()->defaultFont(), viewS->document()->defaultFont());
    QCOMPARE(viewB->viewport()->width(), viewS->viewport()->width());
    QCOMPARE(viewB->document()->size(), viewS->document()->size());
    for (QTextBlock b = viewB->document()->begin(), c = viewS->document()->begin(); b.isValid(); b = b.next(), c = c.next())
        QCOMPARE(b.layout()->lineCount(), c.layout()->lineCount());
    QVERIFY(viewB->verticalScrollBar()->maximum() > 0);
    QCOMPARE(viewB->verticalScrollBar()->maximum(), viewS->verticalScrollBar()->maximum());
    QCOMPARE(viewB->verticalScrollBar()->value(), viewS->verticalScrollBar()->value());
    QVERIFY(viewB->cursorRect().bottom() <= viewB->viewport()->height());
    const QDateTime t(QDate(2026, 2, 3), QTime(4, 5, 6));
    const QString fileB = batched.saveLogAt(t);
    const QString fileS = single.saveLogAt(t.addSecs(1));
    QVERIFY(!fileB.isEmpty() && !fileS.isEmpty());
    QCOMPARE(AppFolder::read(fileB), AppFolder::read(fileS));

    // A later line in either view still starts from the same format.
    batched.appendLogLine(QStringLiteral("after"), QColor(Qt::white));
    single.appendLogLine(QStringLiteral("after"), QColor(Qt::white));
    QCOMPARE(viewLines(viewB).constLast(), viewLines(viewS).constLast());
}

void tst_AppLog::styleSheetKeepsOneColourRule()
{
    AppFolder folder;
    testMainWindow w;
    auto *log = widget<QTextEdit>(w, "teLog");

    w.appendLogLine(QStringLiteral("Failed!!!x"), QColor(Qt::red));
    QCOMPARE(log->styleSheet().split(QLatin1Char('\n')),
             QStringList({QStringLiteral("color: rgb(255, 0, 0);"),
                          QStringLiteral("background-color: rgb(0, 0, 0);"), kViewRule}));

    const QColor colours[] = {QColor(Qt::white), QColor(Qt::yellow), QColor(Qt::green), QColor(Qt::red)};
    for (int i = 0; i < 200; ++i)
        w.appendLogLine(QStringLiteral("line %1").arg(i), colours[i % 4]);
    w.appendLogLine(QStringLiteral("last"), QColor(Qt::yellow));
    QCOMPARE(log->styleSheet().split(QLatin1Char('\n')),
             QStringList({QStringLiteral("color: rgb(255, 255, 0);"),
                          QStringLiteral("background-color: rgb(0, 0, 0);"), kViewRule}));
    QCOMPARE(log->document()->blockCount(), 202);
}

void tst_AppLog::savedFileHoldsTheViewText()
{
    AppFolder folder;
    testMainWindow w;
    auto *log = widget<QTextEdit>(w, "teLog");

    // Empty view: empty file, folder created on the way.
    const QDateTime t0(QDate(2026, 3, 1), QTime(8, 5, 9));
    QString path = w.saveLogAt(t0);
    QCOMPARE(path, QStringLiteral("log/2026-03-01-08-05-09.log"));
    QVERIFY(QFileInfo::exists(path));
    QCOMPARE(QFileInfo(path).size(), 0);

    w.appendLogLine(QStringLiteral("one"), QColor(Qt::white));
    w.appendLogLine(QStringLiteral("two"), QColor(Qt::green));
    w.appendLogLine(QStringLiteral("three"), QColor(Qt::red));
    path = w.saveLogAt(t0.addSecs(1));
    // Single line feeds, no trailing one.
    QCOMPARE(AppFolder::read(path), QByteArray("one\ntwo\nthree"));
    QCOMPARE(log->toPlainText(), QStringLiteral("one\ntwo\nthree")); // saving keeps the view

    // A save through the public path uses the clock. Each later state of
    // the same view took the place of the save before it: one file.
    w.saveLog();
    QCOMPARE(folder.files(QStringLiteral("log")).size(), 1);
    QCOMPARE(AppFolder::read(QStringLiteral("log/") + folder.files(QStringLiteral("log")).first()),
             QByteArray("one\ntwo\nthree"));
}

void tst_AppLog::sameSecondSaveNeverLosesLines()
{
    AppFolder folder;
    testMainWindow w;
    auto *log = widget<QTextEdit>(w, "teLog");
    const QDateTime t(QDate(2026, 5, 6), QTime(7, 8, 9));

    // The double save at Stop: the same view, grown, replaces its own file.
    w.appendLogLine(QStringLiteral("a1"), QColor(Qt::white));
    QCOMPARE(w.saveLogAt(t), QStringLiteral("log/2026-05-06-07-08-09.log"));
    w.appendLogLine(QStringLiteral("a2"), QColor(Qt::white));
    QCOMPARE(w.saveLogAt(t), QStringLiteral("log/2026-05-06-07-08-09.log"));
    QCOMPARE(w.saveLogAt(t), QStringLiteral("log/2026-05-06-07-08-09.log"));
    QCOMPARE(AppFolder::read(QStringLiteral("log/2026-05-06-07-08-09.log")), QByteArray("a1\na2"));

    // Auto-save cleared the view, then Stop saves in the same second: the
    // earlier file keeps its lines and the new text goes beside it.
    log->clear();
    w.appendLogLine(QStringLiteral("b1"), QColor(Qt::white));
    QCOMPARE(w.saveLogAt(t), QStringLiteral("log/2026-05-06-07-08-09-2.log"));
    w.appendLogLine(QStringLiteral("b2"), QColor(Qt::white));
    QCOMPARE(w.saveLogAt(t), QStringLiteral("log/2026-05-06-07-08-09-2.log"));

    // A shorter text (cleared view) never replaces a longer file either.
    log->clear();
    QCOMPARE(w.saveLogAt(t), QStringLiteral("log/2026-05-06-07-08-09-3.log"));

    QCOMPARE(AppFolder::read(QStringLiteral("log/2026-05-06-07-08-09.log")), QByteArray("a1\na2"));
    QCOMPARE(AppFolder::read(QStringLiteral("log/2026-05-06-07-08-09-2.log")), QByteArray("b1\nb2"));
    QCOMPARE(AppFolder::read(QStringLiteral("log/2026-05-06-07-08-09-3.log")), QByteArray());
    QCOMPARE(folder.files(QStringLiteral("log")).size(), 3);

    // Another window's file (another run's) is never replaced, not even an
    // empty one that this text could have grown from.
    testMainWindow other;
    other.appendLogLine(QStringLiteral("c1"), QColor(Qt::white));
    QCOMPARE(other.saveLogAt(t), QStringLiteral("log/2026-05-06-07-08-09-4.log"));
    QCOMPARE(AppFolder::read(QStringLiteral("log/2026-05-06-07-08-09-3.log")), QByteArray());
    QCOMPARE(AppFolder::read(QStringLiteral("log/2026-05-06-07-08-09-4.log")), QByteArray("c1"));
    // Nothing is left beside the files (no hidden save in the folder).
    QCOMPARE(QDir(QStringLiteral("log")).entryList(QDir::Files | QDir::Hidden).size(), 4);
}

void tst_AppLog::unwritableLogFolderIsReported()
{
    AppFolder folder;
    testMainWindow w;
    auto *log = widget<QTextEdit>(w, "teLog");

    // A plain file named "log" stands where the folder should be.
    QFile blocker(QStringLiteral("log"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.write("not a folder");
    blocker.close();

    w.appendLogLine(QStringLiteral("kept line"), QColor(Qt::white));
    QVERIFY(w.saveLogAt(QDateTime(QDate(2026, 1, 1), QTime(1, 1, 1))).isEmpty());
    QCOMPARE(log->toPlainText(), QStringLiteral("kept line\nFail to open log file"));
    QCOMPARE(lastLineFormat(log).foreground().color(), QColor(Qt::red));
    QCOMPARE(AppFolder::read(QStringLiteral("log")), QByteArray("not a folder"));

    // Every further save reports again and nothing else changes.
    w.saveLog();
    QCOMPARE(log->toPlainText().count(QStringLiteral("Fail to open log file")), 2);
    QVERIFY(QFileInfo(QStringLiteral("log")).isFile());
}

void tst_AppLog::autoSaveOnlyWhileRunning()
{
    AppFolder folder;
    testMainWindow w;
    auto *log = widget<QTextEdit>(w, "teLog");
    w.appendLogLine(QStringLiteral("idle line"), QColor(Qt::white));

    // Outside a run the auto-save does nothing at all.
    QVERIFY(QMetaObject::invokeMethod(&w, "onAutoSaveLog"));
    QVERIFY(!QDir(QStringLiteral("log")).exists());
    QCOMPARE(log->toPlainText(), QStringLiteral("idle line"));

    QVERIFY(QMetaObject::invokeMethod(&w, "onClearLog"));
    QVERIFY(log->toPlainText().isEmpty());
}

void tst_AppLog::autoSavePeriodIsSane()
{
    QCOMPARE(testMainWindow::effectiveAutoSaveInterval(0), 3600000);
    QCOMPARE(testMainWindow::effectiveAutoSaveInterval(1), 60000);
    QCOMPARE(testMainWindow::effectiveAutoSaveInterval(59999), 60000);
    QCOMPARE(testMainWindow::effectiveAutoSaveInterval(60000), 60000);
    QCOMPARE(testMainWindow::effectiveAutoSaveInterval(600000), 600000);
    QCOMPARE(testMainWindow::effectiveAutoSaveInterval(3600000), 3600000);
    QCOMPARE(testMainWindow::effectiveAutoSaveInterval(0xffffffffu), 0x7fffffff);

    // Junk in the settings file reads as 0, which means the default hour.
    AppFolder folder("every hour");
    testMainWindow w;
    QCOMPARE(testMainWindow::effectiveAutoSaveInterval(w.testSetup()->autoSaveLogInterval), 3600000);
}

void tst_AppLog::settingsFileThatIsNotIniIsSaidAndKept()
{
    AppFolder folder;
    const QByteArray json = "{\"HostName\": \"10.0.0.1\", \"HostPort\": 7000}\n";
    QFile ini(QStringLiteral("cfg/trevalo.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ini.write(json);
    ini.close();
    {
        testMainWindow w;
        auto *log = widget<QTextEdit>(w, "teLog");
        // One red line at once, and the defaults in use.
        QCOMPARE(log->document()->blockCount(), 1);
        QVERIFY2(log->toPlainText().contains(QStringLiteral("trevalo.ini is not an INI file: default settings used")),
                 qPrintable(log->toPlainText()));
        QCOMPARE(lastLineFormat(log).foreground().color(), QColor(Qt::red));
        QCOMPARE(w.testSetup()->hostPort, 6805);

        // The first run's log file says it too (Start cleared the view); a
        // second run's does not repeat it.
        w.fillPortList({QStringLiteral("ttyNONE")});
        for (int run = 0; run < 2; ++run) {
            w.testSetup()->caseIndex = 7; // no such case: runs nothing and ends at once
            widget<QPushButton>(w, "startBtn")->click();
            QTRY_COMPARE(w.state(), testMainWindow::Ready);
            QCOMPARE(log->toPlainText().count(QStringLiteral("is not an INI file")), run == 0 ? 1 : 0);
        }
    }
    // Closing the window does not write the defaults over the user's file.
    QCOMPARE(AppFolder::read(QStringLiteral("cfg/trevalo.ini")), json);
    QByteArray saved;
    for (const QString &f : folder.files(QStringLiteral("log")))
        saved += AppFolder::read(QStringLiteral("log/") + f);
    QCOMPARE(saved.count("is not an INI file"), 1);
}


void tst_AppLog::findAndFailureJumpsOverTheView()
{
    AppFolder folder;
    testMainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto *log = widget<QTextEdit>(w, "teLog");
    const QColor red(Qt::red);
    for (int i = 0; i < 300; ++i) {
        const bool failed = i == 40 || i == 150 || i == 260;
        w.appendLogLine(failed ? QStringLiteral("Failed!!! cycle %1").arg(i) : QStringLiteral("ping cycle %1").arg(i),
                        failed ? red : QColor(i % 2 ? Qt::white : Qt::green));
    }
    const QString before = log->toPlainText();
    QScrollBar *bar = log->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    // The newest line in sight: the view scrolls to it within a line's height.
    const auto atNewest = [bar, log] { return bar->maximum() - bar->value() < log->fontMetrics().height(); };
    QVERIFY(atNewest());

    // Ctrl+F opens the bar; Return finds (case-insensitively) from the top,
    // the count says which match of how many.
    auto *findBar = widget<QWidget>(w, "findBar");
    auto *edit = widget<QLineEdit>(w, "findEdit");
    QVERIFY(findBar->isHidden());
    QTest::keyClick(&w, Qt::Key_F, Qt::ControlModifier);
    QVERIFY(findBar->isVisible());
    QVERIFY(findBar->geometry().right() <= log->width());
    QTest::keyClicks(edit, QStringLiteral("CYCLE 1"));
    QCOMPARE(w.countInLog(QStringLiteral("CYCLE 1")), 111); // 1, 10-19, 100-199
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(w.markedLogText(), QStringLiteral("cycle 1"));
    QCOMPARE(widget<QLabel>(w, "findCount")->text(), QStringLiteral("1 of 111"));
    QVERIFY(bar->value() < bar->maximum()); // the match is shown
    QTest::keyClick(edit, Qt::Key_Return, Qt::ShiftModifier); // wraps back to the last
    QCOMPARE(widget<QLabel>(w, "findCount")->text(), QStringLiteral("111 of 111"));
    QVERIFY(w.findInLog(QStringLiteral("cycle 1"))); // and forward again to the first
    QCOMPARE(widget<QLabel>(w, "findCount")->text(), QStringLiteral("1 of 111"));
    QVERIFY(!w.findInLog(QStringLiteral("no such text")));
    QCOMPARE(w.markedLogText(), QString());

    // Next and previous failure walk the red lines only, wrapping.
    QVERIFY(w.gotoFailure());
    QCOMPARE(w.markedLogText(), QStringLiteral("Failed!!! cycle 40"));
    QVERIFY(w.gotoFailure());
    QCOMPARE(w.markedLogText(), QStringLiteral("Failed!!! cycle 150"));
    QTest::keyClick(&w, Qt::Key_F8);
    QCOMPARE(w.markedLogText(), QStringLiteral("Failed!!! cycle 260"));
    QVERIFY(w.gotoFailure());
    QCOMPARE(w.markedLogText(), QStringLiteral("Failed!!! cycle 40"));
    QTest::keyClick(&w, Qt::Key_F8, Qt::ShiftModifier);
    QCOMPARE(w.markedLogText(), QStringLiteral("Failed!!! cycle 260"));

    // While a line is marked, new lines leave the view where it is.
    const int held = bar->value();
    QVERIFY(!atNewest());
    for (int i = 0; i < 50; ++i)
        w.appendLogLine(QStringLiteral("later %1").arg(i), QColor(Qt::white));
    QCOMPARE(bar->value(), held);
    QCOMPARE(w.markedLogText(), QStringLiteral("Failed!!! cycle 260"));

    // Neither the marks nor the searches change the text or its colours.
    QVERIFY(log->toPlainText().startsWith(before));
    QCOMPARE(lastLineFormat(log).foreground().color(), QColor(Qt::white));
    QCOMPARE(lastLineFormat(log).fontWeight(), int(QFont::Normal));

    // Escape closes the bar and the view follows the newest line again.
    QTest::keyClick(edit, Qt::Key_Escape);
    QVERIFY(findBar->isHidden());
    QCOMPARE(w.markedLogText(), QString());
    w.appendLogLine(QStringLiteral("newest"), QColor(Qt::white));
    QVERIFY(atNewest());

    // A view with no red line has no failure to go to; a cleared view drops the mark.
    QVERIFY(w.gotoFailure());
    QVERIFY(QMetaObject::invokeMethod(&w, "onClearLog"));
    QCOMPARE(w.markedLogText(), QString());
    w.appendLogLine(QStringLiteral("white only"), QColor(Qt::white));
    QVERIFY(!w.gotoFailure());
    QCOMPARE(w.countInLog(QStringLiteral("cycle")), 0);
}

QTEST_MAIN(tst_AppLog)
#include "tst_applog.moc"
