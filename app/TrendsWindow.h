// Dial-up and hang-up time of every cycle, the failed cycles and the running
// FPY of a run, drawn from its record file: the run in progress as it goes,
// or any earlier run opened from its file. The window keeps a bounded
// summary of the cycles, not the cycles: a long run is drawn from it reduced
// to the chart's width, and a stretch too short for the summary's buckets is
// read again from the file to be shown in full detail.
#ifndef TRENDSWINDOW_H
#define TRENDSWINDOW_H

#include <QWidget>

#include "RecordsFile.h"

class CycleLogDialog;
class FailureTableModel;
class QChart;
class QChartView;
class QModelIndex;
class QSplitter;
class QTableView;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineSeries;
class QScatterSeries;
class QTimer;
class QValueAxis;
class ReportSaver;
class testWorker;

class TrendsWindow : public QWidget
{
    Q_OBJECT

public:
    explicit TrendsWindow(QWidget *parent = nullptr);

    // Follows the runs of this worker through their record files.
    void follow(testWorker *worker);
    bool following() const;
    // Following, and what is loaded is the current run's record file.
    bool followingLive() const;

    // Shows an earlier run (and stops following the current one); false,
    // with the reason shown, when the file cannot be read.
    bool openRecords(const QString &path);
    bool savePng(const QString &path);
    bool exportCsv(const QString &path);
    // The run report of the records shown; false, with the reason shown, when it cannot be written.
    bool saveReport(const QString &path);

    const RecordsFile &records() const { return m_records; }
    QString infoText() const;
    QString warningText() const;

    // What is drawn now.
    QLineSeries *dialUpSeries() const { return m_dialUp; }
    QLineSeries *hangUpSeries() const { return m_hangUp; }
    QLineSeries *fpySeries() const { return m_fpy; }
    QScatterSeries *failedSeries() const { return m_failed; }
    // The failures list beside the chart and the counts next to it.
    QTableView *failureView() const { return m_failureView; }
    QString failureCountsText() const;
    // Opens the log lines of a failed cycle (a row of the list, a red dot);
    // false when none of its lines were found (the view says why).
    bool openCycleLog(qint64 cycle);
    CycleLogDialog *cycleLogDialog() const { return m_cycleLog; }
    // A custom test's captured value, chosen by name in the value box
    // (its first entry: none), on an axis of its own.
    QLineSeries *valueSeries() const { return m_value; }
    QComboBox *valueBox() const { return m_valueBox; }
    // Redraws at once instead of at the next quiet moment.
    void redrawNow();
    // The number of buckets the series are reduced to: the plot's width in pixels.
    int bucketCount() const;

protected:
    void showEvent(QShowEvent *event) override;

private slots:
    void onRecordFile(const QString &path);
    void onCycleCounted();
    void onRunEnded();
    void onFollowToggled(bool on);
    void onOpenClicked();
    void onSavePngClicked();
    void onExportCsvClicked();
    void onSaveReportClicked();
    void onWholeRun();
    void onRangeChanged(qreal min, qreal max);
    void onFailureActivated(const QModelIndex &index);
    void onFailedDotClicked(const QPointF &point);
    void onValueChosen(int index);

private:
    void load(const QString &path);
    void catchUp();
    void scheduleRedraw();
    void showInfo();
    void showFailures();
    // Offers the captured values met in the file so far.
    void updateValueChoices();
    const CycleSummary &detail(int begin, int end);
    void draw(const CycleSummary &summary, int begin, int end, int columns);

    RecordsFile m_records;
    QString m_livePath;
    bool m_zoomed = false;
    bool m_settingRange = false;
    double m_zoomFrom = 0; // cycle numbers drawn while zoomed
    double m_zoomTo = 0;
    // A zoomed stretch read again from the file: its lines from m_detailFrom
    // up to m_detailTo.
    CycleSummary m_detail;
    qint64 m_detailFrom = -1;
    qint64 m_detailTo = -1;

    QChart *m_chart;
    QChartView *m_view;
    QLineSeries *m_dialUp;
    QLineSeries *m_hangUp;
    QLineSeries *m_fpy;
    QScatterSeries *m_failed;
    QLineSeries *m_value;
    QValueAxis *m_axisValue;
    QComboBox *m_valueBox;
    QValueAxis *m_axisX;
    QValueAxis *m_axisTime;
    QValueAxis *m_axisFpy;
    QCheckBox *m_follow;
    QLabel *m_info;
    QLabel *m_warning;
    QTimer *m_redraw;
    QTimer *m_catchUp;
    ReportSaver *m_reportSaver = nullptr; // made with the first report saved
    FailureTableModel *m_failureModel;
    QTableView *m_failureView;
    QSplitter *m_split = nullptr;
    bool m_splitPlaced = false;
    QLabel *m_failureCounts;
    CycleLogDialog *m_cycleLog = nullptr; // made at the first look
};

#endif // TRENDSWINDOW_H
