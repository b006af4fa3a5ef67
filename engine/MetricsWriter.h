// The bench's figures for Prometheus: "<dir>/trevalo_<bench>.prom" in the
// text format that node_exporter's textfile collector serves. Lives in the
// thread of the window or the runner and follows the worker through its
// queued signals, so writing never holds a cycle up. The file is replaced
// whole (a temporary file in the same folder, then a rename) within 200 ms
// of every counted cycle, at the end of a run and at every heartbeat, so its
// age shows whether the writer lives.
#ifndef METRICSWRITER_H
#define METRICSWRITER_H

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <vector>

class testWorker;

class MetricsWriter : public QObject
{
    Q_OBJECT

public:
    explicit MetricsWriter(QObject *parent = nullptr);

    // Only letters, digits, '_' and '-': the name goes into a file name and a
    // label. Inline, so option parsing needs nothing else of the writer.
    static bool isValidBenchName(const QString &name)
    {
        if (name.isEmpty())
            return false;
        for (const QChar c : name) {
            const char16_t u = c.unicode();
            if (!((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '_' || u == '-'))
                return false;
        }
        return true;
    }
    // The host name up to its first dot, other characters made '_'.
    static QString defaultBenchName();

    // Starts writing into dir (now, and then on every change and heartbeat);
    // an empty bench means the host name. False when the name is not accepted.
    bool start(const QString &dir, const QString &bench = QString());
    QString filePath() const;
    QString benchName() const { return m_bench; }
    // The case the file names before the first run.
    void setCase(const QString &tag) { m_idleCase = tag; }
    // A steps file's case counts failures by its own step names, from 0 on
    // (at most kMaxStepNames of them; others count as "unknown").
    void setStepNames(const QString &caseTag, const QStringList &names);
    static constexpr int kMaxStepNames = 64;
    // Longest time between two writes; tests shorten it.
    void setHeartbeatMs(int ms);
    int heartbeatMs() const { return m_heartbeat.interval(); }
    // The latest write failed.
    bool isFailing() const { return m_failing; }

    // Connects the worker's run, cycle and end signals.
    void follow(testWorker *worker);

    // The file's text as it stands.
    QByteArray render() const;
    // Writes the file now; false when it could not be written whole.
    bool writeNow();

    // Buckets (upper bounds, seconds) of the histograms.
    static const std::vector<double> &dialUpBuckets();
    static const std::vector<double> &registrationBuckets();

signals:
    // Once when writing starts to fail, and once when it works again.
    void sngWriteFailed(QString path);
    void sngWriteResumed(QString path);

public slots:
    void onRunStarted(const QJsonObject &head, const QString &recordFile);
    void onCycleCounted(const QJsonObject &line);
    void onRunEnded();

private:
    struct Histogram
    {
        explicit Histogram(const std::vector<double> *bounds = nullptr);
        void add(double seconds);
        const std::vector<double> *bounds;
        std::vector<quint64> counts; // per bucket, not cumulative
        quint64 count = 0;
        double sum = 0;
    };
    // Since the process started, per case.
    struct CaseFigures
    {
        CaseFigures();
        quint64 cycles = 0;
        QMap<QString, quint64> failures;    // by failed step
        QMap<int, quint64> dialFailures;    // by RAS error code
        Histogram dialUp, hangUp, pingRtt, cycle, registration, deregistration, reregistration;
    };
    void scheduleWrite();
    QString labels(const QString &caseTag, const QString &extra = QString()) const;
    void histogram(QByteArray &out, const char *name, Histogram CaseFigures::*which, const char *help) const;

    QString m_dir;
    QString m_bench;
    QString m_idleCase;
    QTimer m_heartbeat;
    QTimer m_soon; // gathers the cycles that arrive close together into one write
    QElapsedTimer m_lastWrite;
    bool m_failing = false;

    QMap<QString, CaseFigures> m_cases;
    // The current (or last) run.
    bool m_active = false;
    bool m_runSeen = false;
    QString m_runCase;
    QString m_version, m_port, m_board, m_stamp, m_recordName;
    double m_runStart = 0;    // Unix seconds
    double m_lastCycle = 0;   // Unix seconds, 0 before the run's first cycle
    quint64 m_runCycles = 0;
    quint64 m_runPasses = 0;
    // The numbers a steps file's cycle captured, as its last cycle gave them.
    QMap<QString, double> m_values;
};

#endif // METRICSWRITER_H
