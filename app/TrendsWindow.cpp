#include "TrendsWindow.h"

#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
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

#include "RunFiles.h"
#include "SeriesDecimator.h"
#include "testWorker.h"

namespace {
constexpr double kNoPoint = std::numeric_limits<double>::quiet_NaN();
// A live run of fast cycles is redrawn a few times a second, not per cycle.
constexpr int kRedrawDelayMs = 250;
} // namespace

TrendsWindow::TrendsWindow(QWidget *parent)
    : QWidget(parent, Qt::Window), m_chart(new QChart), m_view(new QChartView(m_chart, this)),
      m_dialUp(new QLineSeries(m_chart)), m_hangUp(new QLineSeries(m_chart)), m_fpy(new QLineSeries(m_chart)),
      m_failed(new QScatterSeries(m_chart)), m_axisX(new QValueAxis(m_chart)), m_axisTime(new QValueAxis(m_chart)),
      m_axisFpy(new QValueAxis(m_chart)), m_follow(new QCheckBox(tr("Follow the current run"), this)),
      m_info(new QLabel(this)), m_warning(new QLabel(this)), m_redraw(new QTimer(this))
{
    setObjectName(QStringLiteral("trendsWindow"));
    setWindowTitle(tr("Trevalo Trends"));
    resize(900, 560);

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
    m_follow->setChecked(true);
    connect(open, &QPushButton::clicked, this, &TrendsWindow::onOpenClicked);
    connect(whole, &QPushButton::clicked, this, &TrendsWindow::onWholeRun);
    connect(png, &QPushButton::clicked, this, &TrendsWindow::onSavePngClicked);
    connect(csv, &QPushButton::clicked, this, &TrendsWindow::onExportCsvClicked);
    connect(m_follow, &QCheckBox::toggled, this, &TrendsWindow::onFollowToggled);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_follow);
    buttons->addWidget(open);
    buttons->addWidget(whole);
    buttons->addStretch(1);
    buttons->addWidget(png);
    buttons->addWidget(csv);

    m_warning->setStyleSheet(QStringLiteral("color: rgb(255, 0, 0);"));
    m_warning->hide();
    m_info->setText(tr("No run yet"));

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addWidget(m_view, 1);
    layout->addWidget(m_info);
    layout->addWidget(m_warning);

    m_redraw->setSingleShot(true);
    m_redraw->setInterval(kRedrawDelayMs);
    connect(m_redraw, &QTimer::timeout, this, &TrendsWindow::redrawNow);
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
    // window reads nothing: over days of fast cycles its data would grow
    // with every cycle while nobody looks. It catches up when shown.
    if (!followingLive() || !isVisible())
        return;
    if (m_records.readMore() > 0)
        scheduleRedraw();
}

void TrendsWindow::onRunEnded()
{
    if (!followingLive() || !isVisible())
        return;
    m_records.readMore();
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

void TrendsWindow::load(const QString &path)
{
    m_zoomed = false;
    if (!m_records.open(path)) {
        m_records.clear();
        redrawNow();
        m_warning->setText(tr("Cannot read %1").arg(QDir::toNativeSeparators(path)));
        m_warning->show();
        return;
    }
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
    // The cycles counted while the window was hidden.
    if (followingLive())
        m_records.readMore();
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
    const std::vector<RecordsFile::Cycle> &cycles = m_records.cycles();
    const int n = int(cycles.size());
    if (!m_zoomed) {
        m_from = 0;
        m_to = n;
    }
    const int from = std::clamp(m_from, 0, n);
    const int to = std::clamp(m_to, from, n);
    const int buckets = bucketCount();

    const auto x = [&cycles](int i) { return double(cycles[i].number); };
    const auto dial = [&cycles](int i) { return cycles[i].dialUpMs >= 0 ? cycles[i].dialUpMs / 1000.0 : kNoPoint; };
    const auto hang = [&cycles](int i) { return cycles[i].hangUpMs >= 0 ? cycles[i].hangUpMs / 1000.0 : kNoPoint; };
    const auto fpy = [&cycles](int i) { return double(RunFiles::fpy(cycles[i].passesSoFar, i + 1 - cycles[i].passesSoFar)); };
    // A failed cycle is marked at its dial-up time, or on the axis when it has none.
    const auto failed = [&cycles](int i) {
        if (cycles[i].pass)
            return kNoPoint;
        return cycles[i].dialUpMs >= 0 ? cycles[i].dialUpMs / 1000.0 : 0.0;
    };

    const QList<QPointF> dialPoints = SeriesDecimator::minMax(from, to, buckets, x, dial);
    const QList<QPointF> hangPoints = SeriesDecimator::minMax(from, to, buckets, x, hang);
    m_dialUp->replace(dialPoints);
    m_hangUp->replace(hangPoints);
    m_fpy->replace(SeriesDecimator::minMax(from, to, buckets, x, fpy));
    m_failed->replace(SeriesDecimator::firstPerBucket(from, to, buckets, x, failed));

    // The lowest and highest points of each bucket are drawn, so the drawn
    // maximum is the data's.
    double top = 0;
    for (const QList<QPointF> *points : {&dialPoints, &hangPoints})
        for (const QPointF &p : *points)
            top = std::max(top, p.y());
    m_settingRange = true;
    if (!m_zoomed)
        m_axisX->setRange(n > 0 ? cycles.front().number : 0, n > 1 ? cycles.back().number : (n > 0 ? cycles.front().number + 1 : 1));
    m_axisTime->setRange(0, top > 0 ? top * 1.1 : 1);
    m_axisTime->setTickCount(5);
    m_axisTime->applyNiceNumbers();
    m_settingRange = false;
    showInfo();
}

void TrendsWindow::showInfo()
{
    if (m_records.path().isEmpty()) {
        m_info->setText(tr("No run yet"));
        m_warning->hide();
        return;
    }
    const int n = int(m_records.cycles().size());
    const int pass = m_records.passCount();
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
    m_info->setText(text);
    const QString warning = m_records.warning();
    m_warning->setText(warning);
    m_warning->setVisible(!warning.isEmpty());
}

void TrendsWindow::onRangeChanged(qreal min, qreal max)
{
    if (m_settingRange || m_records.cycles().empty())
        return;
    // A zoom by the rubber band: draw the cycles in view at full detail.
    const std::vector<RecordsFile::Cycle> &cycles = m_records.cycles();
    const auto byNumber = [](const RecordsFile::Cycle &c, double v) { return c.number < v; };
    m_from = int(std::lower_bound(cycles.begin(), cycles.end(), std::floor(min), byNumber) - cycles.begin());
    m_to = int(std::lower_bound(cycles.begin(), cycles.end(), std::floor(max) + 1, byNumber) - cycles.begin());
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
