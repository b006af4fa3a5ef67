// The coloured log view and the log files.
#include "testMainWindow.h"
#include "ui_testMainWindow.h"

#include "LogTrail.h"
#include "RunFiles.h"
#include "testWorker.h"

#include <QDir>
#include <QFont>
#include <QScrollBar>
#include <QStringList>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>

#ifdef __GLIBC__
#include <malloc.h>
#endif

QString testMainWindow::logStamp(const QDateTime &when)
{
    return RunFiles::logStamp(when);
}

QString testMainWindow::fileStamp(const QDateTime &when)
{
    return RunFiles::fileStamp(when);
}

namespace {
// Lines that arrive within this time of the first waiting one share one edit;
// a flood never holds the view back for longer than kLongestBatchMs.
constexpr int kBatchMs = 20;
constexpr int kLongestBatchMs = 50;
} // namespace

void testMainWindow::onLogText(QString text, QColor color)
{
    if (worker)
        worker->logFlow().taken();
    // Stamped on arrival, so batching does not move the time a line shows.
    if (m_pendingLog.isEmpty()) {
        m_pendingSince.start();
        m_logFlushTimer->start(kBatchMs);
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // A cycle's record says where its log starts.
    if (worker && color == QColor(Qt::white) && text == LogTrail::separator())
        worker->logTrail().separatorTaken(now, m_fileLines);
    m_fileLines += LogTrail::fileLines(text);
    m_pendingLog.append({m_stamper.stampLine(now, text), color});
    if (m_pendingSince.elapsed() >= kLongestBatchMs)
        flushLog();
}

void testMainWindow::appendLogLine(const QString &line, const QColor &color)
{
    writePendingLines();
    m_fileLines += LogTrail::fileLines(line);
    writeLogLines({{line, color}});
}

void testMainWindow::flushLog()
{
    writePendingLines();
    saveIfOverBound();
}

void testMainWindow::writePendingLines()
{
    m_logFlushTimer->stop();
    if (m_pendingLog.isEmpty())
        return;
    const QVector<LogLine> lines = std::move(m_pendingLog);
    m_pendingLog.clear();
    writeLogLines(lines);
}

void testMainWindow::writeLogLines(const QVector<LogLine> &lines)
{
    if (lines.isEmpty())
        return;
    QTextEdit *const te = ui->teLog;
    const QColor back(Qt::black);
    const QColor green(Qt::green);

    // The style sheet goes first: the view ends with the same sheet either
    // way, but a sheet that changes the view's font (the first one does)
    // relays out every line already in it, so the batch is laid out once,
    // in its final font, instead of twice.
    // One colour rule (the latest line's) and the black background first,
    // then whatever other rules the view carries.
    const QColor &color = lines.constLast().color;
    QStringList rules;
    rules << QStringLiteral("color: rgb(%1, %2, %3);").arg(color.red()).arg(color.green()).arg(color.blue())
          << QStringLiteral("background-color: rgb(%1, %2, %3);").arg(back.red()).arg(back.green()).arg(back.blue());
    const QString current = te->styleSheet();
    const QStringList parts = current.split(QLatin1Char('\n'), Qt::KeepEmptyParts, Qt::CaseSensitive);
    for (const QString &part : parts) {
        if (part.isEmpty() || part.startsWith(QLatin1String("color:"))
            || part.startsWith(QLatin1String("background-color:")))
            continue;
        rules << part;
    }
    const QString rebuilt = rules.join(QLatin1Char('\n'));
    // Re-polishing the view is costly; a run of lines in one colour leaves
    // the sheet unchanged.
    if (rebuilt != current)
        te->setStyleSheet(rebuilt);

    // Each line takes the view's current format with its own colour (and
    // bold for green), and the format then returns to black and normal
    // weight, exactly as a colour set on the view before each line and reset
    // after it would leave them. Inserted as plain text: a line whose start
    // looks like markup (received data, ping output) must not be rendered as
    // HTML, which would drop characters from both the view and the log file.
    const QTextBlockFormat blockFormat = te->textCursor().blockFormat();
    QTextCharFormat format = te->currentCharFormat();
    bool lastBold = false;
    const QScrollBar *const bar = te->verticalScrollBar();
    // While the view is not yet full, its scroll bar may still appear, and
    // the narrower view then relays out every line in it: lines go in by
    // growing groups until it is there, so that relayout stays small.
    int group = bar->maximum() > 0 ? int(lines.size()) : 16;
    for (int from = 0; from < lines.size();) {
        const int to = int(std::min<qsizetype>(lines.size(), qsizetype(from) + group));
        QTextCursor tail(te->document());
        tail.movePosition(QTextCursor::End);
        tail.beginEditBlock();
        for (int i = from; i < to; ++i) {
            const LogLine &l = lines.at(i);
            lastBold = l.color == green;
            if (lastBold)
                format.setFontWeight(QFont::Bold);
            format.setForeground(QBrush(l.color));
            if (!te->document()->isEmpty())
                tail.insertBlock(blockFormat, format);
            else
                tail.setCharFormat(format);
            tail.insertText(l.text, format);
            format.setForeground(QBrush(back));
            if (lastBold)
                format.setFontWeight(QFont::Normal);
        }
        tail.endEditBlock();
        from = to;
        group = bar->maximum() > 0 ? int(lines.size()) : std::min(int(lines.size()), group * 2);
    }
    m_linesShown += lines.size();

    // One scroll to the newest line for the whole batch, unless a found
    // line is being read.
    const int held = m_logMark.isNull() ? -1 : bar->value();
    te->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
    te->ensureCursorVisible();
    if (held >= 0)
        te->verticalScrollBar()->setValue(held);
    te->setTextColor(back);
    if (lastBold)
        te->setFontWeight(QFont::Normal);
}

void testMainWindow::setLogViewBound(int lines, qint64 characters)
{
    m_viewLineBound = lines;
    m_viewCharBound = characters;
    m_nextBoundTry = 0;
    m_nextBoundCharTry = 0;
}

void testMainWindow::saveIfOverBound()
{
    // A fast case fills the view within the auto-save period; saved and
    // cleared here instead, the window's memory stays flat. Only during a
    // run, like the auto-save: outside one nothing floods the view.
    if (runState != Running)
        return;
    const QTextDocument *doc = ui->teLog->document();
    if (doc->blockCount() <= std::max(m_viewLineBound, m_nextBoundTry)
        && doc->characterCount() <= std::max(m_viewCharBound, m_nextBoundCharTry))
        return;
    if (!saveLogAt(QDateTime::currentDateTime()).isEmpty()) {
        clearLogView();
    } else {
        // The disk refuses: keep the lines for a later save, and try again
        // only after a good share more of either bound instead of at every
        // repaint.
        m_nextBoundTry = doc->blockCount() + std::max(1, m_viewLineBound / 4);
        m_nextBoundCharTry = doc->characterCount() + std::max<qint64>(1, m_viewCharBound / 4);
    }
}

void testMainWindow::clearLogView()
{
    writePendingLines();
    ui->teLog->clear();
    m_fileLines = 0;
    clearLogMark(); // its line is gone with the view
    updateFindCount();
    m_logPath.clear(); // no file holds the next lines yet
    m_nextBoundTry = 0;
    m_nextBoundCharTry = 0;
#ifdef __GLIBC__
    // The view's tens of megabytes are freed between blocks that stay in
    // use (new lines, the worker's strings); glibc keeps such pages
    // resident until asked, and a run of days would creep upward by them.
    malloc_trim(0);
#endif
}

void testMainWindow::saveLog()
{
    saveLogAt(QDateTime::currentDateTime());
}

QString testMainWindow::saveLogAt(const QDateTime &when)
{
    // Every line that has arrived belongs in the file (and in this one: no
    // bound save may come between the stamp and the text).
    writePendingLines();
    const QString path =
        RunFiles::saveLog(QDir::currentPath(), ui->teLog->toPlainText().toLocal8Bit(), when, m_logPath);
    if (path.isEmpty())
        appendLogLine(QStringLiteral("Fail to open log file"), QColor(Qt::red));
    else
        m_logPath = path;
    return path;
}

void testMainWindow::onAutoSaveLog()
{
    if (runState != Running)
        return;
    // A failed save keeps the view, so its lines go into the next save
    // rather than being dropped with it.
    if (!saveLogAt(QDateTime::currentDateTime()).isEmpty())
        clearLogView();
}

void testMainWindow::onClearLog()
{
    clearLogView();
}
