// Find and the jump between red lines in the log view. Both work on demand
// over the lines the view holds, and mark with an extra selection rather
// than the view's cursor, whose format the log path carries from line to line.
#include "testMainWindow.h"
#include "ui_testMainWindow.h"

#include <QAbstractTextDocumentLayout>
#include <QAction>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QToolButton>

namespace {
bool isRedLine(const QTextBlock &block)
{
    const QTextBlock::iterator first = block.begin();
    const QTextCharFormat format = first.atEnd() ? block.charFormat() : first.fragment().charFormat();
    return format.foreground().color().rgb() == QColor(Qt::red).rgb();
}
} // namespace

void testMainWindow::buildFindBar()
{
    QTextEdit *const te = ui->teLog;
    auto *frame = new QFrame(te);
    frame->setFrameShape(QFrame::StyledPanel);
    m_findBar = frame;
    m_findBar->setObjectName(QStringLiteral("findBar"));
    m_findBar->setAutoFillBackground(true);
    auto *row = new QHBoxLayout(m_findBar);
    row->setContentsMargins(4, 2, 4, 2);
    row->setSpacing(3);
    m_findEdit = new QLineEdit(m_findBar);
    m_findEdit->setObjectName(QStringLiteral("findEdit"));
    m_findEdit->setPlaceholderText(tr("Find in the log"));
    m_findEdit->setMinimumWidth(140);
    m_findCount = new QLabel(m_findBar);
    m_findCount->setObjectName(QStringLiteral("findCount"));
    row->addWidget(m_findEdit);
    row->addWidget(m_findCount);

    // Shortcuts live on the window, so F3 and F8 work with the bar closed.
    auto button = [this, row](const QString &text, const QKeySequence &key, const QString &tip, auto slot) {
        auto *action = new QAction(text, this);
        action->setShortcut(key);
        action->setToolTip(QStringLiteral("%1 (%2)").arg(tip, key.toString(QKeySequence::NativeText)));
        addAction(action);
        connect(action, &QAction::triggered, this, slot);
        auto *b = new QToolButton(m_findBar);
        b->setDefaultAction(action);
        row->addWidget(b);
    };
    button(QStringLiteral("\u2191"), QKeySequence::FindPrevious, tr("Previous match"),
           [this] { showFindBar(); findInLog(m_findEdit->text(), true); });
    button(QStringLiteral("\u2193"), QKeySequence::FindNext, tr("Next match"),
           [this] { showFindBar(); findInLog(m_findEdit->text(), false); });
    button(tr("Previous failure"), QKeySequence(Qt::SHIFT | Qt::Key_F8), tr("Previous red line"),
           [this] { showFindBar(); gotoFailure(true); });
    button(tr("Next failure"), QKeySequence(Qt::Key_F8), tr("Next red line"),
           [this] { showFindBar(); gotoFailure(false); });
    button(QStringLiteral("\u00d7"), QKeySequence(Qt::Key_Escape), tr("Close and follow the newest line"),
           [this] {
               if (m_findBar->isVisible())
                   hideFindBar();
           });

    auto *find = new QAction(tr("Find"), this);
    find->setShortcut(QKeySequence::Find);
    addAction(find);
    connect(find, &QAction::triggered, this, &testMainWindow::showFindBar);
    connect(m_findEdit, &QLineEdit::returnPressed, this, [this] {
        findInLog(m_findEdit->text(), QGuiApplication::keyboardModifiers() & Qt::ShiftModifier);
    });
    connect(m_findEdit, &QLineEdit::textEdited, this, [this] {
        if (m_markIsMatch)
            clearLogMark();
        updateFindCount();
    });
    m_findBar->hide();
    te->installEventFilter(this); // to keep the bar in its corner
}

void testMainWindow::placeFindBar()
{
    if (!m_findBar || m_findBar->isHidden())
        return;
    QTextEdit *const te = ui->teLog;
    const int bar = te->verticalScrollBar()->isVisible() ? te->verticalScrollBar()->width() : 0;
    const QSize size = m_findBar->sizeHint().boundedTo(QSize(te->width() - bar - 4, te->height()));
    m_findBar->setGeometry(te->width() - bar - 2 - size.width(), 2, size.width(), size.height());
    m_findBar->raise();
}

void testMainWindow::showFindBar()
{
    m_findBar->show();
    placeFindBar();
    m_findEdit->setFocus();
    m_findEdit->selectAll();
}

void testMainWindow::hideFindBar()
{
    m_findBar->hide();
    clearLogMark();
    ui->teLog->verticalScrollBar()->setValue(ui->teLog->verticalScrollBar()->maximum());
}

void testMainWindow::clearLogMark()
{
    m_logMark = QTextCursor();
    m_markIsMatch = false;
    ui->teLog->setExtraSelections({});
}

void testMainWindow::markLog(const QTextCursor &mark, bool wholeLine)
{
    QTextEdit *const te = ui->teLog;
    m_logMark = mark;
    m_markIsMatch = !wholeLine;
    QTextEdit::ExtraSelection selection;
    selection.cursor = mark;
    if (wholeLine) {
        selection.format.setBackground(QColor(Qt::white));
        selection.format.setProperty(QTextFormat::FullWidthSelection, true);
    } else {
        selection.format.setBackground(QColor(Qt::yellow));
        selection.format.setForeground(QColor(Qt::black));
    }
    te->setExtraSelections({selection});
    // Shown in the middle of the view, clear of the bar at its top.
    const QRect at = te->cursorRect(mark);
    QScrollBar *const bar = te->verticalScrollBar();
    bar->setValue(bar->value() + at.top() - te->viewport()->height() / 2);
}

bool testMainWindow::findInLog(const QString &text, bool backward)
{
    const QTextDocument *doc = ui->teLog->document();
    if (text.isEmpty()) {
        clearLogMark();
        updateFindCount();
        return false;
    }
    const QTextDocument::FindFlags flags = backward ? QTextDocument::FindBackward : QTextDocument::FindFlags();
    QTextCursor from = m_logMark;
    if (from.isNull()) {
        // Nothing marked yet: from the newest line backwards, the oldest forwards.
        from = QTextCursor(ui->teLog->document());
        if (backward)
            from.movePosition(QTextCursor::End);
    }
    QTextCursor found = doc->find(text, from, flags);
    if (found.isNull()) {
        QTextCursor wrap(ui->teLog->document());
        if (backward)
            wrap.movePosition(QTextCursor::End);
        found = doc->find(text, wrap, flags);
    }
    if (found.isNull())
        clearLogMark();
    else
        markLog(found, false);
    updateFindCount();
    return !found.isNull();
}

int testMainWindow::countInLog(const QString &text) const
{
    if (text.isEmpty())
        return 0;
    const QTextDocument *doc = ui->teLog->document();
    int count = 0;
    for (QTextCursor c = doc->find(text, 0); !c.isNull(); c = doc->find(text, c))
        ++count;
    return count;
}

void testMainWindow::updateFindCount()
{
    const QString text = m_findEdit->text();
    if (text.isEmpty()) {
        m_findCount->clear();
    } else {
        const QTextDocument *doc = ui->teLog->document();
        int count = 0;
        int index = 0;
        for (QTextCursor c = doc->find(text, 0); !c.isNull(); c = doc->find(text, c)) {
            ++count;
            if (m_markIsMatch && c.selectionStart() == m_logMark.selectionStart())
                index = count;
        }
        if (count == 0)
            m_findCount->setText(tr("no match"));
        else if (index > 0)
            m_findCount->setText(tr("%1 of %2").arg(index).arg(count));
        else
            m_findCount->setText(tr("%1 matches").arg(count));
    }
    placeFindBar();
}

bool testMainWindow::gotoFailure(bool backward)
{
    const QTextDocument *doc = ui->teLog->document();
    const int blocks = doc->blockCount();
    QTextBlock block = m_logMark.isNull() ? (backward ? doc->lastBlock() : doc->firstBlock())
                                          : (backward ? m_logMark.block().previous() : m_logMark.block().next());
    // Once round the view, from the mark on and wrapping at either end.
    for (int seen = 0; seen < blocks; ++seen) {
        if (!block.isValid())
            block = backward ? doc->lastBlock() : doc->firstBlock();
        if (isRedLine(block)) {
            QTextCursor line(block);
            line.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
            markLog(line, true);
            updateFindCount();
            return true;
        }
        block = backward ? block.previous() : block.next();
    }
    return false;
}

QString testMainWindow::markedLogText() const
{
    return m_logMark.isNull() ? QString() : m_logMark.selectedText();
}
