// Pass/fail counts, averages and the result file.
#include "testMainWindow.h"
#include "ui_testMainWindow.h"

#include <QDir>
#include <QFile>
#include <QStringConverter>
#include <QTextStream>

#include "TestCases.h"
#include "TestSetup.h"

void testMainWindow::resetStatistics()
{
    runResultPath.clear(); // a new run: no result file is its own yet
    passCount = 0;
    failCount = 0;
    ui->lbPass->setText(tr("PASS: 0"));
    ui->lbFail->setText(tr("FAIL: 0"));
    ui->lbTotal->setText(tr("Total: 0"));
    ui->lbFPY->setText(tr("FPY: 0%"));
    ui->DialupLb->setText(QStringLiteral("Avg Dial-up Time: "));
    ui->HanpupLb->setText(QStringLiteral("Avg Hanp-up Time: "));
    dialUpTotal = 0.0;
    hangUpTotal = 0.0;
    dialUpCount = 0;
    hangUpCount = 0;
}

void testMainWindow::onUpdateRadio(bool bPass)
{
    if (bPass)
        ++passCount;
    else
        ++failCount;
    const qint32 total = passCount + failCount;
    // Truncated toward zero: 2 of 3 is 66%. The product is taken in 64 bits
    // so a run of many million cycles cannot overflow it.
    const qint32 fpy = total == 0 ? 0 : qint32(qint64(passCount) * 100 / total);

    ui->lbPass->setText(tr("PASS: %1").arg(passCount));
    ui->lbFail->setText(tr("FAIL: %1").arg(failCount));
    ui->lbTotal->setText(tr("Total: %1").arg(total));
    ui->lbFPY->setText(tr("FPY: %1%").arg(fpy));
}

void testMainWindow::onUpdateAvgTime(bool startPPP, int time)
{
    const double seconds = time / 1000.0;
    if (startPPP) {
        dialUpTotal += seconds;
        ++dialUpCount;
        if (dialUpCount != 0 && dialUpTotal > 0)
            ui->DialupLb->setText(QStringLiteral("Avg Dial-up Time: ")
                                  + QString::number(dialUpTotal / dialUpCount, 'g', 6)
                                  + QLatin1Char('s'));
    } else {
        hangUpTotal += seconds;
        ++hangUpCount;
        if (hangUpCount != 0 && hangUpTotal > 0)
            ui->HanpupLb->setText(QStringLiteral("Avg Hanp-up Time: ")
                                  + QString::number(hangUpTotal / hangUpCount, 'g', 6)
                                  + QLatin1Char('s'));
    }
}

void testMainWindow::writeResultFile()
{
    writeResultFileAt(QDateTime::currentDateTime());
}

QString testMainWindow::writeResultFileAt(const QDateTime &when)
{
    const QString tag = TestCases::resultTag(setup->caseIndex);
    const QString stamp = fileStamp(when);
    QDir().mkdir(QStringLiteral("result"));

    // Runs that end within one second share a name. A Stop and the finish
    // that follows it write the same run twice: the later write replaces
    // the run's own file. Any other file of that name is a different run's
    // and is kept.
    constexpr int maxSiblings = 1000;
    QString name;
    for (int n = 1; n <= maxSiblings && name.isEmpty(); ++n) {
        const QString candidate = n == 1 ? QStringLiteral("result/%1.%2.txt").arg(tag, stamp)
                                         : QStringLiteral("result/%1.%2-%3.txt").arg(tag, stamp).arg(n);
        if (candidate == runResultPath || !QFile::exists(candidate))
            name = candidate;
    }
    if (name.isEmpty())
        return QString();

    QFile file(name);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    runResultPath = name;

    QTextStream out(&file);
    out.setEncoding(QStringConverter::System);
    const QLatin1String eol("\r\n");
    out << "#Test Case: " << tag << eol
        << '#' << ui->lbTotal->text() << eol
        << '#' << ui->lbPass->text() << eol
        << '#' << ui->lbFail->text() << eol
        << '#' << ui->lbFPY->text() << eol;
    out.flush();
    file.close();
    return name;
}
