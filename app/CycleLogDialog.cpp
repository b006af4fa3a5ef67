#include "CycleLogDialog.h"

#include "CycleLogLocator.h"

#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QVBoxLayout>

CycleLogDialog::CycleLogDialog(QWidget *parent)
    : QDialog(parent), m_problems(new QLabel(this)), m_text(new QPlainTextEdit(this))
{
    setObjectName(QStringLiteral("cycleLogDialog"));
    resize(900, 500);
    m_problems->setStyleSheet(QStringLiteral("color: rgb(255, 0, 0);"));
    m_problems->setWordWrap(true);
    m_problems->hide();
    m_text->setReadOnly(true);
    m_text->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_problems);
    layout->addWidget(m_text, 1);
}

void CycleLogDialog::showCycle(qint64 cycle, const CycleLog &log)
{
    setWindowTitle(tr("Cycle %1").arg(cycle));
    QStringList lines = log.lines;
    int red = log.redLine;
    if (log.leftOutAt >= 0) {
        lines.insert(log.leftOutAt, tr("... %1 lines left out ...").arg(log.leftOut));
        if (red >= log.leftOutAt)
            ++red;
    }
    m_text->setPlainText(lines.join(QLatin1Char('\n')));
    QList<QTextEdit::ExtraSelection> marks;
    if (red >= 0) {
        QTextEdit::ExtraSelection mark;
        mark.cursor = QTextCursor(m_text->document()->findBlockByNumber(red));
        mark.format.setBackground(QColor(Qt::red));
        mark.format.setForeground(QColor(Qt::white));
        mark.format.setProperty(QTextFormat::FullWidthSelection, true);
        marks << mark;
        m_text->setTextCursor(mark.cursor);
        m_text->centerCursor();
    }
    m_text->setExtraSelections(marks);
    m_problems->setText(log.problems.join(QLatin1Char('\n')));
    m_problems->setVisible(!log.problems.isEmpty());
    QDialog::show();
    raise();
}

QString CycleLogDialog::text() const
{
    return m_text->toPlainText();
}

QString CycleLogDialog::redLineText() const
{
    const QList<QTextEdit::ExtraSelection> marks = m_text->extraSelections();
    return marks.isEmpty() ? QString() : marks.first().cursor.block().text();
}

QString CycleLogDialog::problemText() const
{
    return m_problems->isHidden() ? QString() : m_problems->text();
}
