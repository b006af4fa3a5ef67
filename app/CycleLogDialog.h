// One cycle's log lines, read-only, its red line highlighted and in view,
// with what could not be found said above them in red.
#ifndef CYCLELOGDIALOG_H
#define CYCLELOGDIALOG_H

#include <QDialog>

struct CycleLog;
class QLabel;
class QPlainTextEdit;

class CycleLogDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CycleLogDialog(QWidget *parent = nullptr);

    void showCycle(qint64 cycle, const CycleLog &log);

    QString text() const;
    // The highlighted line's text, empty for none.
    QString redLineText() const;
    QString problemText() const;

private:
    QLabel *m_problems;
    QPlainTextEdit *m_text;
};

#endif // CYCLELOGDIALOG_H
