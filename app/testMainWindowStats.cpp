// Pass/fail counts, averages and the result file.
#include "testMainWindow.h"
#include "ui_testMainWindow.h"

#include <QDir>

#include "RunFiles.h"
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
    const qint32 fpy = RunFiles::fpy(passCount, failCount);

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
                                  + RunFiles::averageSeconds(dialUpTotal, dialUpCount));
    } else {
        hangUpTotal += seconds;
        ++hangUpCount;
        if (hangUpCount != 0 && hangUpTotal > 0)
            ui->HanpupLb->setText(QStringLiteral("Avg Hanp-up Time: ")
                                  + RunFiles::averageSeconds(hangUpTotal, hangUpCount));
    }
}

void testMainWindow::writeResultFile()
{
    writeResultFileAt(QDateTime::currentDateTime());
}

QString testMainWindow::writeResultFileAt(const QDateTime &when)
{
    const QString name = RunFiles::writeResult(
        QDir::currentPath(), setup->caseTag(),
        {ui->lbTotal->text(), ui->lbPass->text(), ui->lbFail->text(), ui->lbFPY->text()}, when, runResultPath);
    if (!name.isEmpty())
        runResultPath = name;
    return name;
}
