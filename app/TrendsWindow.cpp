#include "TrendsWindow.h"

#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QSignalBlocker>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QSplitter>
#include <QTableView>
#include <QLabel>
#include <QLineSeries>
#include <QPushButton>
#include <QScatterSeries>
#include <QTimer>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>

#include "CycleLogDialog.h"
#include "CycleLogLocator.h"
#include "FailureTableModel.h"
#include "RunFiles.h"
#include "RunReport.h"
#include "RunReportWriter.h"
#include "ReportSaver.h"
#include "SeriesDecimator.h"
#include "testWorker.h"

namespace {
constexpr double kNoPoint = std::numeric_limits<double>::quiet_NaN();
// A live run of fast cycles is redrawn a few times a second, not per cycle.
constexpr int kRedrawDelayMs = 250;
// Reading a long run's file goes in slices of this many bytes (about
// 100,000 cycles, a tenth of a second or two), the window answering in
// between: ten million cycles take seconds to read.
constexpr qint64 kCatchUpSliceBytes = 16 << 20;
} // namespace

TrendsWindow::TrendsWindow(QWidget *parent)
    : QWidget(parent, Qt::Window), m_chart(new QChart), m_view(new QChartView(m_chart, this)),
      m_dialUp(new QLineSeries(m_chart)), m_hangUp(new QLineSeries(m_chart)), m_fpy(new QLineSeries(m_chart)),
      m_failed(new QScatterSeries(m_chart)), m_value(new QLineSeries(m_chart)),
      m_axisValue(new QValueAxis(m_chart)), m_valueBox(new QComboBox(this)), m_axisX(new QValueAxis(m_chart)), m_axisTime(new QValueAxis(m_chart)),
      m_axisFpy(new QValueAxis(m_chart)), m_follow(new QCheckBox(tr("Follow the current run"), this)),
      m_info(new QLabel(this)), m_warning(new QLabel(this)), m_redraw(new QTimer(this)), m_catchUp(new QTimer(this)),
      m_failureModel(new FailureTableModel(&m_records.failures(), this)), m_failureView(new QTableView(this)),
      m_failureCounts(new QLabel(this))
{
    setObjectName(QStringLiteral("trendsWindow"));
    setWindowTitle(tr("Trevalo Trends"));
    resize(1300, 560);

    m_dialUp->setName(tr("dial-up (s)"));
    m_hangUp->setName(tr("hang-up (s)"));
    m_fpy->setName(tr("FPY (%)"));
    m_failed->setName(tr("failed cycle"));
    m_failed->setColor(Qt::red);
    m_failed->setBorderColor(Qt::red);
    m_failed->setMarkerSize(7);
    m_fpy->setColor(QColor(0, 0, 255));

    m_chart->addSeries(m_dialUp);
    m_chart->addSeries(m_hangUp);
    m_chart->addSeries(m_failed);
    m_chart->addSeries(m_fpy);
    m_chart->addSeries(m_value);
    m_axisX->setTitleText(tr("cycle"));
    m_axisX->setLabelFormat(QStringLiteral("%d"));
    m_axisTime->setTitleText(tr("seconds"));
    m_axisFpy->setTitleText(tr("FPY %"));
    m_axisFpy->setRange(0, 100);
    m_chart->addAxis(m_axisX, Qt::AlignBottom);
    m_chart->addAxis(m_axisTime, Qt::AlignLeft);
    m_chart->addAxis(m_axisFpy, Qt::AlignRight);
    for (QAbstractSeries *s : {static_cast<QAbstractSeries *>(m_dialUp), static_cast<QAbstractSeries *>(m_hangUp),
                               static_cast<QAbstractSeries *>(m_failed)}) {
        s->attachAxis(m_axisX);
        s->attachAxis(m_axisTime);
    }
    m_fpy->attachAxis(m_axisX);
    m_fpy->attachAxis(m_axisFpy);
    m_chart->addAxis(m_axisValue, Qt::AlignRight);
    m_value->attachAxis(m_axisX);
    m_value->attachAxis(m_axisValue);
    m_value->setColor(QColor(0, 160, 0));
    m_value->setVisible(false);
    m_axisValue->setVisible(false);
    m_valueBox->addItem(tr("no captured value"));
    m_valueBox->setToolTip(tr("A value the custom test's steps captured, drawn beside the times"));
    connect(m_valueBox, &QComboBox::currentIndexChanged, this, &TrendsWindow::onValueChosen);
    m_chart->legend()->setAlignment(Qt::AlignTop);
    m_chart->setMargins(QMargins(4, 4, 4, 4));

    // Drag to look closer at a stretch of cycles; right-click steps back out.
    m_view->setRubberBand(QChartView::HorizontalRubberBand);
    m_view->setRenderHint(QPainter::Antialiasing, false);
    connect(m_axisX, &QValueAxis::rangeChanged, this, &TrendsWindow::onRangeChanged);

    auto *open = new QPushButton(tr("Open records..."), this);
    auto *whole = new QPushButton(tr("Whole run"), this);
    auto *png = new QPushButton(tr("Save chart as PNG..."), this);
    auto *csv = new QPushButton(tr("Export CSV..."), this);
    auto *report = new QPushButton(tr("Save report..."), this);
    report->setObjectName(QStringLiteral("saveReportButton"));
    m_follow->setChecked(true);
    connect(open, &QPushButton::clicked, this, &TrendsWindow::onOpenClicked);
    connect(whole, &QPushButton::clicked, this, &TrendsWindow::onWholeRun);
    connect(png, &QPushButton::clicked, this, &TrendsWindow::onSavePngClicked);
    connect(csv, &QPushButton::clicked, this, &TrendsWindow::onExportCsvClicked);
    connect(report, &QPushButton::clicked, this, &TrendsWindow::onSaveReportClicked);
    connect(m_follow, &QCheckBox::toggled, this, &TrendsWindow::onFollowToggled);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_follow);
    buttons->addWidget(open);
    buttons->addWidget(whole);
    buttons->addWidget(m_valueBox);
    buttons->addStretch(1);
    buttons->addWidget(png);
    buttons->addWidget(csv);
    buttons->addWidget(report);

    m_warning->setStyleSheet(QStringLiteral("color: rgb(255, 0, 0);"));
    m_warning->hide();
    m_info->setText(tr("No run yet"));

    // The failures beside the chart: a click on a row (or on a red dot)
    // shows the cycle's log lines.
    m_failureView->setObjectName(QStringLiteral("failureView"));
    m_failureView->setModel(m_failureModel);
    m_failureView->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_failureView->setSelectionMode(QAbstractItemView::SingleSelection);
    m_failureView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_failureView->verticalHeader()->hide();
    m_failureView->horizontalHeader()->setStretchLastSection(true);
    // Widths for what the columns hold, without measuring ten thousand rows.
    const QFontMetrics metrics(m_failureView->font());
    const int pad = 16;
    m_failureView->verticalHeader()->setDefaultSectionSize(metrics.height() + 6);
    m_failureView->setColumnWidth(FailureTableModel::CycleColumn, metrics.horizontalAdvance(QStringLiteral("00000000")) + pad);
    m_failureView->setColumnWidth(FailureTableModel::TimeColumn,
                                  metrics.horizontalAdvance(QStringLiteral("0000-00-00 00:00:00")) + pad);
    m_failureView->setColumnWidth(FailureTableModel::StepColumn,
                                  metrics.horizontalAdvance(QStringLiteral("connectServer")) + pad);
    m_failureView->setColumnWidth(FailureTableModel::LineColumn,
                                  metrics.horizontalAdvance(QStringLiteral("Failed!!!PPP Dial up failed!")) + pad);
    m_failureView->setWordWrap(false);
    connect(m_failureView, &QTableView::clicked, this, &TrendsWindow::onFailureActivated);
    connect(m_failureView, &QTableView::activated, this, &TrendsWindow::onFailureActivated);
    connect(m_failed, &QScatterSeries::clicked, this, &TrendsWindow::onFailedDotClicked);
    m_failureCounts->setObjectName(QStringLiteral("failureCounts"));
    m_failureCounts->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_failureCounts->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    m_failureCounts->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *side = new QWidget(this);
    auto *sideLayout = new QHBoxLayout(side);
    sideLayout->setContentsMargins(0, 0, 0, 0);
    sideLayout->addWidget(m_failureView, 1);
    sideLayout->addWidget(m_failureCounts);
    m_split = new QSplitter(Qt::Horizontal, this);
    m_split->addWidget(m_view);
    m_split->addWidget(side);
    m_split->setStretchFactor(0, 1);
    m_split->setStretchFactor(1, 0);
    m_split->setChildrenCollapsible(false);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addWidget(m_split, 1);
    layout->addWidget(m_info);
    layout->addWidget(m_warning);

    m_redraw->setSingleShot(true);
    m_redraw->setInterval(kRedrawDelayMs);
    connect(m_redraw, &QTimer::timeout, this, &TrendsWindow::redrawNow);
    m_catchUp->setSingleShot(true);
    m_catchUp->setInterval(0);
    connect(m_catchUp, &QTimer::timeout, this, &TrendsWindow::catchUp);
    redrawNow();
}

void TrendsWindow::follow(testWorker *worker)
{
    connect(worker, &testWorker::sngRecordFile, this, &TrendsWindow::onRecordFile);
    connect(worker, &testWorker::sngUpdateRadio, this, &TrendsWindow::onCycleCounted);
    connect(worker, &testWorker::sngFinishAll, this, &TrendsWindow::onRunEnded);
}

bool TrendsWindow::following() const
{
    return m_follow->isChecked();
}

QString TrendsWindow::infoText() const
{
    return m_info->text();
}

QString TrendsWindow::warningText() const
{
    return m_warning->isHidden() ? QString() : m_warning->text();
}

void TrendsWindow::onRecordFile(const QString &path)
{
    m_livePath = path;
    if (following())
        load(path);
}

bool TrendsWindow::followingLive() const
{
    return following() && !m_livePath.isEmpty() && m_records.path() == m_livePath;
}

void TrendsWindow::onCycleCounted()
{
    // The cycle's line is on file before its verdict is signalled. A hidden
    // window reads nothing while nobody looks; it catches up when shown.
    if (!followingLive() || !isVisible() || m_catchUp->isActive())
        return;
    catchUp();
}

void TrendsWindow::onRunEnded()
{
    if (!followingLive() || !isVisible())
        return;
    catchUp();
}

void TrendsWindow::catchUp()
{
    // A hidden window goes on when it is shown.
    if (m_records.path().isEmpty() || !isVisible())
        return;
    m_records.readMore(kCatchUpSliceBytes);
    if (!m_records.caughtUp())
        m_catchUp->start();
    scheduleRedraw();
}

void TrendsWindow::onFollowToggled(bool on)
{
    if (on && !m_livePath.isEmpty())
        load(m_livePath);
}

bool TrendsWindow::openRecords(const QString &path)
{
    {
        const QSignalBlocker quiet(m_follow);
        m_follow->setChecked(false);
    }
    load(path);
    return !m_records.path().isEmpty();
}

void TrendsWindow::onValueChosen(int index)
{
    const QString name = index > 0 ? m_valueBox->itemText(index) : QString();
    if (name == m_records.valueName())
        return;
    m_records.setValueName(name);
    m_value->setName(name);
    m_value->setVisible(!name.isEmpty());
    m_axisValue->setVisible(!name.isEmpty());
    m_axisValue->setTitleText(name);
    // The summary holds the value it was read with: read the file again.
    if (!m_records.path().isEmpty())
        load(m_records.path());
}

void TrendsWindow::updateValueChoices()
{
    for (const QString &name : m_records.valueNames())
        if (m_valueBox->findText(name) < 0)
            m_valueBox->addItem(name);
}

void TrendsWindow::load(const QString &path)
{
    // Another run's file has values of its own.
    if (path != m_records.path()) {
        const QSignalBlocker quiet(m_valueBox);
        while (m_valueBox->count() > 1)
            m_valueBox->removeItem(1);
        m_valueBox->setCurrentIndex(0);
        m_records.setValueName(QString());
        m_value->setVisible(false);
        m_axisValue->setVisible(false);
    }
    m_zoomed = false;
    m_catchUp->stop();
    m_detail = CycleSummary();
    m_detailFrom = m_detailTo = -1;
    if (!m_records.open(path, kCatchUpSliceBytes)) {
        m_records.clear();
        redrawNow();
        m_warning->setText(tr("Cannot read %1").arg(QDir::toNativeSeparators(path)));
        m_warning->show();
        return;
    }
    if (!m_records.caughtUp())
        m_catchUp->start();
    redrawNow();
}

void TrendsWindow::scheduleRedraw()
{
    // A hidden window is drawn when it is shown.
    if (isVisible() && !m_redraw->isActive())
        m_redraw->start();
}

void TrendsWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // The chart keeps the larger share; the list gets two fifths at first.
    if (!m_splitPlaced) {
        m_splitPlaced = true;
        const int whole = std::max(m_split->width(), width());
        m_split->setSizes({whole - whole * 2 / 5, whole * 2 / 5});
    }
    // The cycles counted while the window was hidden: what a slice holds
    // at once, the rest while the window already answers.
    catchUp();
    // The plot's width is known from now on.
    scheduleRedraw();
}

int TrendsWindow::bucketCount() const
{
    const int plot = int(m_chart->plotArea().width());
    return std::max(100, plot > 0 ? plot : m_view->width());
}

void TrendsWindow::redrawNow()
{
    m_redraw->stop();
    updateValueChoices();
    const CycleSummary &whole = m_records.summary();
    const int columns = bucketCount();
    const CycleSummary *source = &whole;
    int begin = 0;
    int end = int(whole.buckets().size());
    if (m_zoomed) {
        std::tie(begin, end) = whole.bucketsBetween(m_zoomFrom, m_zoomTo);
        // Buckets wider than two pixels would hide the detail asked for:
        // the stretch is short enough to read again.
        if (whole.bucketSize() > 1 && end > begin && end - begin < columns / 2) {
            source = &detail(begin, end);
            std::tie(begin, end) = source->bucketsBetween(m_zoomFrom, m_zoomTo);
        }
    }
    draw(*source, begin, end, columns);

    m_settingRange = true;
    const std::vector<CycleSummary::Bucket> &buckets = whole.buckets();
    if (!m_zoomed) {
        const double first = buckets.empty() ? 0 : buckets.front().first;
        const double last = buckets.empty() ? 1 : buckets.back().last;
        m_axisX->setRange(first, last > first ? last : first + 1);
    }
    m_settingRange = false;
    showInfo();
}

const CycleSummary &TrendsWindow::detail(int begin, int end)
{
    const CycleSummary &whole = m_records.summary();
    const std::vector<CycleSummary::Bucket> &buckets = whole.buckets();
    const qint64 from = buckets[std::size_t(begin)].offset;
    const qint64 to = end < int(buckets.size()) ? buckets[std::size_t(end)].offset : m_records.offset();
    if (from != m_detailFrom || to < m_detailTo) {
        const auto before = whole.countsBefore(begin);
        m_detail = CycleSummary(CycleSummary::kDefaultCap, before.first, before.second);
        m_detailFrom = m_detailTo = from;
    }
    // A stretch reaching the end of a live run only reads what was added.
    if (to > m_detailTo && m_records.readStretch(m_detailTo, to, &m_detail))
        m_detailTo = to;
    return m_detail;
}

void TrendsWindow::draw(const CycleSummary &summary, int begin, int end, int columns)
{
    const std::vector<CycleSummary::Bucket> &b = summary.buckets();
    const int n = std::max(0, end - begin);
    using Extremes = CycleSummary::Extremes;

    // Each bucket gives two points, its lowest and its highest in the order
    // of their cycles (one when they are the same cycle); the decimator then
    // keeps per pixel column the lowest and highest of those.
    const auto extreme = [&b, begin](const Extremes CycleSummary::Bucket::*field, int j, bool wantX) {
        const Extremes &e = b[std::size_t(begin + j / 2)].*field;
        if (e.empty || (j % 2 == 1 && e.lowAt == e.highAt))
            return kNoPoint;
        const bool low = (j % 2 == 0) == (e.lowAt <= e.highAt);
        return wantX ? double(low ? e.lowAt : e.highAt) : double(low ? e.low : e.high);
    };
    const auto timeSeries = [&](const Extremes CycleSummary::Bucket::*field) {
        const auto x = [&](int j) { return extreme(field, j, true); };
        const auto y = [&](int j) {
            const double v = extreme(field, j, false);
            return std::isnan(v) ? v : v / 1000.0;
        };
        return SeriesDecimator::minMax(0, 2 * n, columns, x, y);
    };
    if (!m_records.valueName().isEmpty()) {
        const auto x = [&](int j) { return extreme(&CycleSummary::Bucket::value, j, true); };
        const auto y = [&](int j) { return extreme(&CycleSummary::Bucket::value, j, false); };
        const QList<QPointF> points = SeriesDecimator::minMax(0, 2 * n, columns, x, y);
        m_value->replace(points);
        double high = 0;
        for (const QPointF &p : points)
            high = std::max(high, p.y());
        m_axisValue->setRange(0, high > 0 ? high * 1.1 : 1);
        m_axisValue->applyNiceNumbers();
    } else {
        m_value->clear();
    }
    const QList<QPointF> dialPoints = timeSeries(&CycleSummary::Bucket::dialUpMs);
    const QList<QPointF> hangPoints = timeSeries(&CycleSummary::Bucket::hangUpMs);
    m_dialUp->replace(dialPoints);
    m_hangUp->replace(hangPoints);

    // The running FPY ends at the stretch's own figure.
    const int lastCycle = n > 0 ? b[std::size_t(end - 1)].last : 0;
    const auto fpyX = [&](int j) { return j == 2 * n ? double(lastCycle) : extreme(&CycleSummary::Bucket::fpy, j, true); };
    const auto fpyY = [&](int j) {
        if (j == 2 * n) {
            const CycleSummary::Bucket &lastBucket = b[std::size_t(end - 1)];
            return double(RunFiles::fpy(lastBucket.passesAtEnd, lastBucket.cyclesAtEnd - lastBucket.passesAtEnd));
        }
        if (j >= 2 * n - 2 && extreme(&CycleSummary::Bucket::fpy, j, true) == lastCycle)
            return kNoPoint;
        return extreme(&CycleSummary::Bucket::fpy, j, false);
    };
    m_fpy->replace(SeriesDecimator::minMax(0, n > 0 ? 2 * n + 1 : 0, columns, fpyX, fpyY));

    // A failed cycle is marked at its dial-up time, or on the axis when it has none.
    const auto failX = [&b, begin](int k) { return double(b[std::size_t(begin + k)].firstFailAt); };
    const auto failY = [&b, begin](int k) {
        const CycleSummary::Bucket &bucket = b[std::size_t(begin + k)];
        if (bucket.failed == 0)
            return kNoPoint;
        return bucket.firstFailDialUpMs >= 0 ? bucket.firstFailDialUpMs / 1000.0 : 0.0;
    };
    m_failed->replace(SeriesDecimator::firstPerBucket(0, n, columns, failX, failY));

    // The lowest and highest points of each column are drawn, so the drawn
    // maximum is the data's.
    double top = 0;
    for (const QList<QPointF> *points : {&dialPoints, &hangPoints})
        for (const QPointF &p : *points)
            top = std::max(top, p.y());
    m_settingRange = true;
    m_axisTime->setRange(0, top > 0 ? top * 1.1 : 1);
    m_axisTime->setTickCount(5);
    m_axisTime->applyNiceNumbers();
    m_settingRange = false;
}

void TrendsWindow::showInfo()
{
    if (m_records.path().isEmpty()) {
        m_info->setText(tr("No run yet"));
        m_warning->hide();
        showFailures();
        return;
    }
    const qint64 n = m_records.cycleCount();
    const qint64 pass = m_records.passCount();
    QString text = tr("%1 (%2): %3 cycles, %4 passed, %5 failed, FPY %6%")
                       .arg(QFileInfo(m_records.path()).fileName(),
                            m_records.run().value(QStringLiteral("case")).toString())
                       .arg(n)
                       .arg(pass)
                       .arg(n - pass)
                       .arg(RunFiles::fpy(pass, n - pass));
    if (!m_records.end().isEmpty())
        text += tr(", ended by %1").arg(m_records.end().value(QStringLiteral("reason")).toString());
    else if (following() && m_records.path() == m_livePath)
        text += tr(", running");
    if (!m_records.caughtUp())
        text += tr(", reading...");
    m_info->setText(text);
    showFailures();
    const QString warning = m_records.warning();
    m_warning->setText(warning);
    m_warning->setVisible(!warning.isEmpty());
}

void TrendsWindow::onRangeChanged(qreal min, qreal max)
{
    if (m_settingRange || m_records.cycleCount() == 0)
        return;
    // A zoom by the rubber band: draw the cycles in view at full detail.
    m_zoomFrom = std::floor(min);
    m_zoomTo = std::floor(max);
    m_zoomed = true;
    scheduleRedraw();
}

void TrendsWindow::onWholeRun()
{
    m_zoomed = false;
    redrawNow();
}

bool TrendsWindow::savePng(const QString &path)
{
    redrawNow();
    return m_view->grab().save(path, "PNG");
}

bool TrendsWindow::exportCsv(const QString &path)
{
    QString error;
    if (m_records.path().isEmpty())
        error = tr("no records to export");
    else if (RecordsFile::exportCsv(m_records.path(), path, &error))
        return true;
    m_warning->setText(tr("CSV export failed: %1").arg(error));
    m_warning->show();
    return false;
}

void TrendsWindow::onOpenClicked()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Open records"), QStringLiteral("records"),
                                                      tr("Records (*.jsonl)"));
    if (!path.isEmpty())
        openRecords(path);
}

void TrendsWindow::onSavePngClicked()
{
    const QString path = QFileDialog::getSaveFileName(this, tr("Save chart"), QStringLiteral("trends.png"),
                                                      tr("PNG image (*.png)"));
    if (!path.isEmpty() && !savePng(path)) {
        m_warning->setText(tr("Cannot write %1").arg(QDir::toNativeSeparators(path)));
        m_warning->show();
    }
}

void TrendsWindow::onExportCsvClicked()
{
    const QString suggested = QFileInfo(m_records.path()).completeBaseName() + QStringLiteral(".csv");
    const QString path = QFileDialog::getSaveFileName(this, tr("Export cycles"), suggested, tr("CSV (*.csv)"));
    if (!path.isEmpty())
        exportCsv(path);
}

bool TrendsWindow::saveReport(const QString &path)
{
    QString error;
    RunReport report;
    // The run being followed has no end line yet, and that is no fault.
    report.setRunInProgress(followingLive() && m_records.end().isEmpty());
    if (m_records.path().isEmpty())
        error = tr("no records to report on");
    else if (!report.read(m_records.path()))
        error = tr("cannot read %1").arg(QDir::toNativeSeparators(m_records.path()));
    else if (RunReportWriter::write(report, path, &error))
        return true;
    m_warning->setText(tr("Report not written: %1").arg(error));
    m_warning->show();
    return false;
}

void TrendsWindow::onSaveReportClicked()
{
    const QString suggested = QFileInfo(m_records.path()).completeBaseName() + QStringLiteral(".html");
    const QString path = QFileDialog::getSaveFileName(this, tr("Save report"), suggested, tr("HTML (*.html)"));
    // A long run takes a while to read: the window goes on meanwhile.
    if (path.isEmpty())
        return;
    if (!m_reportSaver) {
        m_reportSaver = new ReportSaver(this);
        connect(m_reportSaver, &ReportSaver::sngFinished, this, [this](const QString &, const QString &error) {
            if (error.isEmpty())
                return;
            m_warning->setText(tr("Report not written: %1").arg(error));
            m_warning->show();
        });
    }
    m_reportSaver->start(m_records.path(), path, followingLive() && m_records.end().isEmpty());
}

void TrendsWindow::showFailures()
{
    m_failureModel->refresh();
    const FailureList &list = m_records.failures();
    QStringList text;
    text << tr("Failed cycles: %1").arg(list.total());
    if (list.dropped() > 0)
        text << tr("(the oldest %1 not listed)").arg(list.dropped());
    if (m_records.earlierRuns() > 0)
        text << tr("(of the last run: %1 earlier run(s) in the file left out)").arg(m_records.earlierRuns());
    if (list.total() > 0) {
        text << QString() << tr("By failed step");
        for (const auto &step : list.byStep())
            text << QStringLiteral("%1 %2").arg(step.first.isEmpty() ? tr("(none)") : step.first, -14).arg(step.second, 6);
        text << QString() << tr("By hour of the day");
        const auto &hours = list.byHour();
        for (int h = 0; h < 12; ++h)
            text << QStringLiteral("%1h %2   %3h %4")
                        .arg(h, 2, 10, QLatin1Char('0'))
                        .arg(hours[std::size_t(h)], 5)
                        .arg(h + 12, 2, 10, QLatin1Char('0'))
                        .arg(hours[std::size_t(h + 12)], 5);
    }
    m_failureCounts->setText(text.join(QLatin1Char('\n')));
}

QString TrendsWindow::failureCountsText() const
{
    return m_failureCounts->text();
}

void TrendsWindow::onFailureActivated(const QModelIndex &index)
{
    if (index.isValid())
        openCycleLog(m_failureModel->cycleAt(index.row()));
}

void TrendsWindow::onFailedDotClicked(const QPointF &point)
{
    // A dot marks the first failed cycle of its column; with the chart
    // zoomed in far enough every failed cycle has its own.
    openCycleLog(qRound64(point.x()));
}

bool TrendsWindow::openCycleLog(qint64 cycle)
{
    if (m_records.path().isEmpty() || cycle <= 0)
        return false;
    CycleLogQuery query;
    QString problem;
    bool known = true;
    if (const FailureList::Failure *f = m_records.failures().find(cycle)) {
        query = f->query;
        if (!query.hasPosition() && f->anchorOffset >= 0)
            query.anchorOn(CycleLogLocator::queryFor(m_records.lineAt(f->anchorOffset)));
    } else {
        // Older than the failures kept: the record file is read for it.
        known = CycleLogLocator::queryFromRecords(m_records.path(), cycle, &query, &problem, m_records.earlierRuns());
    }
    CycleLog log;
    if (known)
        log = CycleLogLocator(CycleLogLocator::logDirFor(m_records.path())).find(query);
    else
        log.problems << problem;
    if (!m_cycleLog)
        m_cycleLog = new CycleLogDialog(this);
    m_cycleLog->showCycle(cycle, log);
    return log.found();
}
