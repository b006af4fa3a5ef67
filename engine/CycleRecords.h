// The record file of one run: one JSON object per line, the run first, then
// one line per counted cycle, then the totals. Every line is in the system's
// hands before append() returns, so a crash or a kill of the program loses
// nothing appended; a thread of its own pushes the lines on to the disk as
// they come, so a power cut loses at most the last few milliseconds while
// the run never waits for the disk.
#ifndef CYCLERECORDS_H
#define CYCLERECORDS_H

#include <QDateTime>
#include <QFile>
#include <QJsonObject>
#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

class CycleRecords
{
public:
    CycleRecords() = default;
    CycleRecords(const CycleRecords &) = delete;
    CycleRecords &operator=(const CycleRecords &) = delete;
    // Waits until everything appended is on the disk.
    ~CycleRecords();

    // Creates "<dir>/<tag>.<yyyy-MM-dd-hh-mm-ss>.jsonl" (a "-2", "-3", ...
    // sibling when a run of the same second has one); false when it cannot.
    bool open(const QString &dir, const QString &tag, const QDateTime &start);
    // False when the line did not reach the disk whole.
    bool append(const QJsonObject &line);
    QString path() const { return m_path; }

    // ISO 8601 with milliseconds and the UTC offset.
    static QString isoStamp(const QDateTime &when);

    // The file name of the latest run in dir that ended without its totals
    // (a crash, a kill, a power cut); empty when the latest run ended
    // properly or there is none. Files that a live run (of any process)
    // still writes are passed over: an open record file is locked while its
    // run lasts. Always empty where files cannot be locked so (Windows).
    static QString unfinishedRun(const QString &dir);

private:
    void syncLoop();
    void stopSyncing();

    QFile m_file;
    QString m_path;
    std::thread m_syncer;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_dirty = false;     // appended since the last sync
    bool m_stopping = false;
    bool m_syncFailed = false; // the disk refused a sync: the next append reports it
};

#endif // CYCLERECORDS_H
