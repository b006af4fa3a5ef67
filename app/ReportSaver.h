// Writes a run report away from the window's thread: a run of millions of
// cycles takes seconds to read, and the window goes on answering meanwhile.
// One report at a time; destroying the saver cancels the one in progress
// and waits for its thread, which stops at the next line it reads.
#ifndef REPORTSAVER_H
#define REPORTSAVER_H

#include <QObject>
#include <QString>

#include <atomic>

class QThread;

class ReportSaver : public QObject
{
    Q_OBJECT

public:
    explicit ReportSaver(QObject *parent = nullptr);
    ~ReportSaver() override;

    bool busy() const { return m_thread != nullptr; }
    // False when a report is still being written.
    bool start(const QString &recordsPath, const QString &htmlPath, bool runInProgress);

signals:
    // error is empty when the report was written.
    void sngFinished(const QString &htmlPath, const QString &error);

private:
    QThread *m_thread = nullptr;
    std::atomic<bool> m_cancel{false};
};

#endif // REPORTSAVER_H
