#include "ReportSaver.h"

#include <QDir>
#include <QThread>

#include "RunReport.h"
#include "RunReportWriter.h"

ReportSaver::ReportSaver(QObject *parent) : QObject(parent) {}

ReportSaver::~ReportSaver()
{
    if (m_thread) {
        m_cancel = true;
        m_thread->wait();
    }
}

bool ReportSaver::start(const QString &recordsPath, const QString &htmlPath, bool runInProgress)
{
    if (m_thread)
        return false;
    m_cancel = false;
    auto error = std::make_shared<QString>();
    m_thread = QThread::create([this, recordsPath, htmlPath, runInProgress, error] {
        RunReport report;
        report.setRunInProgress(runInProgress);
        report.setCancelFlag(&m_cancel);
        if (recordsPath.isEmpty())
            *error = tr("no run on record yet");
        else if (!report.read(recordsPath))
            *error = tr("cannot read %1").arg(QDir::toNativeSeparators(recordsPath));
        else if (m_cancel)
            *error = tr("cancelled");
        else
            RunReportWriter::write(report, htmlPath, error.get());
    });
    m_thread->setParent(this);
    connect(m_thread, &QThread::finished, this, [this, htmlPath, error] {
        m_thread->deleteLater();
        m_thread = nullptr;
        emit sngFinished(htmlPath, *error);
    });
    m_thread->start();
    return true;
}
