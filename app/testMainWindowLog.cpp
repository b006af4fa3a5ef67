// The coloured log view and the log files.
#include "testMainWindow.h"
#include "ui_testMainWindow.h"

#include "RunFiles.h"

#include <QDir>
#include <QFont>
#include <QStringList>
#include <QTextCursor>
#include <QTextDocument>

QString testMainWindow::logStamp(const QDateTime &when)
{
    return RunFiles::logStamp(when);
}

QString testMainWindow::fileStamp(const QDateTime &when)
{
    return RunFiles::fileStamp(when);
}

void testMainWindow::onLogText(QString text, QColor color)
{
    appendLogLine(logStamp(QDateTime::currentDateTime()) + QLatin1Char(' ') + text, color);
}

void testMainWindow::appendLogLine(const QString &line, const QColor &color)
{
    QTextEdit *const te = ui->teLog;
    const QColor back(Qt::black);
    const bool bold = color == QColor(Qt::green);

    if (bold)
        te->setFontWeight(QFont::Bold);
    te->setTextColor(color);

    // A new paragraph in the current format, as QTextEdit::append makes it,
    // but always as plain text: append() would render a line whose start
    // looks like markup (received data, ping output) as HTML and drop
    // characters from both the view and the log file.
    {
        const QTextCursor current = te->textCursor();
        QTextCursor tail(te->document());
        tail.beginEditBlock();
        tail.movePosition(QTextCursor::End);
        if (!te->document()->isEmpty())
            tail.insertBlock(current.blockFormat(), current.charFormat());
        else
            tail.setCharFormat(current.charFormat());
        tail.insertText(line);
        tail.endEditBlock();
    }

    te->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
    te->ensureCursorVisible();

    te->setTextColor(back);
    if (bold)
        te->setFontWeight(QFont::Normal);

    // One colour rule (the latest line's) and the black background first,
    // then whatever other rules the view carries.
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
}

void testMainWindow::saveLog()
{
    saveLogAt(QDateTime::currentDateTime());
}

QString testMainWindow::saveLogAt(const QDateTime &when)
{
    const QString path = RunFiles::saveLog(QDir::currentPath(), ui->teLog->toPlainText().toLocal8Bit(), when);
    if (path.isEmpty())
        appendLogLine(QStringLiteral("Fail to open log file"), QColor(Qt::red));
    return path;
}

void testMainWindow::onAutoSaveLog()
{
    if (runState != Running)
        return;
    // A failed save keeps the view, so its lines go into the next save
    // rather than being dropped with it.
    if (!saveLogAt(QDateTime::currentDateTime()).isEmpty())
        ui->teLog->clear();
}

void testMainWindow::onClearLog()
{
    ui->teLog->clear();
}
