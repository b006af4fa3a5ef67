#include "MetricsWriter.h"

#include "RunFiles.h"
#include "testWorker.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QSysInfo>
#include <QTemporaryFile>

#include <cstdio>

namespace {

constexpr int defaultHeartbeatMs = 30000; // well inside a minute
constexpr qint64 minWriteGapMs = 200;     // between two writes for counted cycles

// Every step a cycle can fail at, so each failure counter exists from the
// start: a series born with its first failure would hide that failure from
// increase() and rate().
const char *const failedSteps[] = {"dialUpPpp", "connectServer", "sendData", "checkReceive", "pingHost",
                                   "powerOnChip", "powerOffChip", "register", "deregister", "reregister",
                                   "unknown"};

// A dial of 0.3 s up to its two-minute bound.
const std::vector<double> dialBuckets{0.25, 0.5, 0.75, 1, 1.5, 2, 3, 5, 10, 20, 30, 60, 90, 120};
const std::vector<double> hangUpBuckets{0.05, 0.1, 0.25, 0.5, 1, 2, 5, 10, 30};
const std::vector<double> pingBuckets{0.0001, 0.0005, 0.001, 0.005, 0.01, 0.05, 0.1, 0.25, 0.5, 1, 2, 5};
// A registration exchange waits up to 30 s.
const std::vector<double> registerBuckets{0.1, 0.25, 0.5, 1, 2, 3, 5, 10, 15, 20, 30};
// From a fast echo cycle to the sleep-wake case's ten-minute wait and more.
const std::vector<double> cycleBuckets{0.1, 0.25, 0.5, 1, 2, 5, 10, 30, 60, 120, 300, 600, 700, 900, 1200};

// The shortest text that reads back as the same double.
QByteArray number(double v)
{
    return QString::number(v, 'g', QLocale::FloatingPointShortest).toLatin1();
}

QString escaped(QString value)
{
    value.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    value.replace(QLatin1Char('"'), QLatin1String("\\\""));
    value.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return value;
}

void family(QByteArray &out, const char *name, const char *type, const char *help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(QByteArray &out, const QByteArray &name, const QString &labels, const QByteArray &value)
{
    out += name;
    out += '{';
    out += labels.toUtf8();
    out += "} ";
    out += value;
    out += '\n';
}

} // namespace

MetricsWriter::Histogram::Histogram(const std::vector<double> *bounds)
    : bounds(bounds), counts(bounds ? bounds->size() : 0, 0)
{
}

void MetricsWriter::Histogram::add(double seconds)
{
    for (size_t i = 0; i < bounds->size(); ++i) {
        if (seconds <= (*bounds)[i]) {
            ++counts[i];
            break;
        }
    }
    ++count;
    sum += seconds;
}

MetricsWriter::CaseFigures::CaseFigures()
    : dialUp(&dialBuckets), hangUp(&hangUpBuckets), pingRtt(&pingBuckets), cycle(&cycleBuckets),
      registration(&registerBuckets), deregistration(&registerBuckets), reregistration(&registerBuckets)
{
    for (const char *step : failedSteps)
        failures.insert(QString::fromLatin1(step), 0);
}

MetricsWriter::MetricsWriter(QObject *parent) : QObject(parent)
{
    m_heartbeat.setInterval(defaultHeartbeatMs);
    connect(&m_heartbeat, &QTimer::timeout, this, &MetricsWriter::writeNow);
    m_soon.setSingleShot(true);
    connect(&m_soon, &QTimer::timeout, this, &MetricsWriter::writeNow);
}

QString MetricsWriter::defaultBenchName()
{
    QString name = QSysInfo::machineHostName().section(QLatin1Char('.'), 0, 0);
    for (QChar &c : name)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('_') && c != QLatin1Char('-'))
            c = QLatin1Char('_');
    return name.isEmpty() ? QStringLiteral("bench") : name;
}

bool MetricsWriter::start(const QString &dir, const QString &bench)
{
    const QString name = bench.isEmpty() ? defaultBenchName() : bench;
    if (!isValidBenchName(name))
        return false;
    m_dir = dir;
    m_bench = name;
    m_heartbeat.start();
    writeNow();
    return true;
}

QString MetricsWriter::filePath() const
{
    return m_dir.isEmpty() ? QString() : QDir(m_dir).filePath(QStringLiteral("trevalo_%1.prom").arg(m_bench));
}

void MetricsWriter::setHeartbeatMs(int ms)
{
    m_heartbeat.setInterval(qMax(1, ms));
}

const std::vector<double> &MetricsWriter::dialUpBuckets()
{
    return dialBuckets;
}

const std::vector<double> &MetricsWriter::registrationBuckets()
{
    return registerBuckets;
}

void MetricsWriter::follow(testWorker *worker)
{
    connect(worker, &testWorker::sngRunStarted, this, &MetricsWriter::onRunStarted);
    connect(worker, &testWorker::sngCycleCounted, this, &MetricsWriter::onCycleCounted);
    connect(worker, &testWorker::sngFinishAll, this, &MetricsWriter::onRunEnded);
}

void MetricsWriter::onRunStarted(const QJsonObject &head, const QString &recordFile)
{
    m_active = true;
    m_runSeen = true;
    m_runCase = head.value(QStringLiteral("case")).toString();
    m_version = head.value(QStringLiteral("version")).toString();
    m_port = head.value(QStringLiteral("port")).toString();
    m_board = head.value(QStringLiteral("board")).toString();
    const QDateTime start = QDateTime::fromString(head.value(QStringLiteral("start")).toString(), Qt::ISODateWithMs);
    const QDateTime when = start.isValid() ? start : QDateTime::currentDateTime();
    m_stamp = RunFiles::fileStamp(when);
    m_runStart = when.toMSecsSinceEpoch() / 1000.0;
    m_recordName = recordFile.isEmpty() ? QString() : QFileInfo(recordFile).fileName();
    m_lastCycle = 0;
    m_runCycles = 0;
    m_runPasses = 0;
    m_values.clear(); // the names belong to this run's steps file
    m_cases[m_runCase]; // its counters exist from the run's start, at 0
    scheduleWrite();
}

void MetricsWriter::setStepNames(const QString &caseTag, const QStringList &names)
{
    CaseFigures &f = m_cases[caseTag];
    int added = 0;
    for (const QString &name : names)
        if (!f.failures.contains(name) && added++ < kMaxStepNames)
            f.failures.insert(name, 0);
    scheduleWrite();
}

void MetricsWriter::onCycleCounted(const QJsonObject &line)
{
    CaseFigures &f = m_cases[m_runCase];
    const bool pass = line.value(QStringLiteral("pass")).toBool();
    ++f.cycles;
    ++m_runCycles;
    if (pass) {
        ++m_runPasses;
    } else {
        QString step = line.value(QStringLiteral("failedStep")).toString();
        if (!f.failures.contains(step))
            step = QStringLiteral("unknown"); // no free text in a label
        ++f.failures[step];
        if (step == QLatin1String("dialUpPpp"))
            ++f.dialFailures[line.value(QStringLiteral("rasError")).toInt()];
    }
    const auto seconds = [&line](const char *key, Histogram &h) {
        const QJsonValue v = line.value(QLatin1String(key));
        if (v.isDouble() && v.toDouble() >= 0)
            h.add(v.toDouble() / 1000.0);
    };
    seconds("dialUpMs", f.dialUp);
    seconds("hangUpMs", f.hangUp);
    seconds("pingRttMs", f.pingRtt);
    seconds("durationMs", f.cycle);
    seconds("registerMs", f.registration);
    seconds("deregisterMs", f.deregistration);
    seconds("reregisterMs", f.reregistration);
    // A value the cycle did not capture (it failed before) keeps its last figure.
    const QJsonObject values = line.value(QStringLiteral("values")).toObject();
    for (auto it = values.begin(); it != values.end(); ++it)
        if (it.value().isDouble())
            m_values.insert(it.key(), it.value().toDouble());
    m_lastCycle = QDateTime::currentMSecsSinceEpoch() / 1000.0;
    scheduleWrite();
}

void MetricsWriter::onRunEnded()
{
    m_active = false;
    // At once: the run's last state must not wait for the next cycle that never comes.
    m_soon.stop();
    writeNow();
}

void MetricsWriter::scheduleWrite()
{
    if (m_dir.isEmpty() || m_soon.isActive())
        return;
    // A fast case counts a hundred cycles a second; the file follows within
    // a fifth of a second, which no scrape can tell apart, at a fraction of
    // the writes.
    const qint64 since = m_lastWrite.isValid() ? m_lastWrite.elapsed() : minWriteGapMs;
    m_soon.start(int(qMax<qint64>(0, minWriteGapMs - since)));
}

QString MetricsWriter::labels(const QString &caseTag, const QString &extra) const
{
    QString l = QStringLiteral("bench=\"%1\",case=\"%2\"").arg(m_bench, escaped(caseTag));
    if (!extra.isEmpty())
        l += QLatin1Char(',') + extra;
    return l;
}

void MetricsWriter::histogram(QByteArray &out, const char *name, Histogram CaseFigures::*which, const char *help) const
{
    family(out, name, "histogram", help);
    const QByteArray base(name);
    for (auto it = m_cases.cbegin(); it != m_cases.cend(); ++it) {
        const Histogram &h = it.value().*which;
        quint64 below = 0;
        for (size_t i = 0; i < h.bounds->size(); ++i) {
            below += h.counts[i];
            sample(out, base + "_bucket", labels(it.key(), QStringLiteral("le=\"%1\"").arg(QString::fromLatin1(number((*h.bounds)[i])))),
                   QByteArray::number(below));
        }
        sample(out, base + "_bucket", labels(it.key(), QStringLiteral("le=\"+Inf\"")), QByteArray::number(h.count));
        sample(out, base + "_sum", labels(it.key()), number(h.sum));
        sample(out, base + "_count", labels(it.key()), QByteArray::number(h.count));
    }
}

QByteArray MetricsWriter::render() const
{
    QByteArray out;
    out.reserve(16 * 1024);

    family(out, "trevalo_cycles_total", "counter", "Test cycles counted since the program started.");
    for (auto it = m_cases.cbegin(); it != m_cases.cend(); ++it)
        sample(out, "trevalo_cycles_total", labels(it.key()), QByteArray::number(it.value().cycles));

    family(out, "trevalo_cycle_failures_total", "counter",
           "Failed test cycles since the program started, by the step that failed.");
    for (auto it = m_cases.cbegin(); it != m_cases.cend(); ++it)
        for (auto s = it.value().failures.cbegin(); s != it.value().failures.cend(); ++s)
            sample(out, "trevalo_cycle_failures_total", labels(it.key(), QStringLiteral("step=\"%1\"").arg(escaped(s.key()))),
                   QByteArray::number(s.value()));

    family(out, "trevalo_dial_failures_total", "counter",
           "Failed PPP dial-ups since the program started, by RAS error code (0: none reported).");
    for (auto it = m_cases.cbegin(); it != m_cases.cend(); ++it)
        for (auto c = it.value().dialFailures.cbegin(); c != it.value().dialFailures.cend(); ++c)
            sample(out, "trevalo_dial_failures_total", labels(it.key(), QStringLiteral("code=\"%1\"").arg(c.key())),
                   QByteArray::number(c.value()));

    histogram(out, "trevalo_dial_up_seconds", &CaseFigures::dialUp, "Time a PPP dial-up took.");
    histogram(out, "trevalo_hang_up_seconds", &CaseFigures::hangUp, "Time a PPP hang-up took.");
    histogram(out, "trevalo_ping_rtt_seconds", &CaseFigures::pingRtt, "Average ping round trip of a cycle.");
    histogram(out, "trevalo_cycle_duration_seconds", &CaseFigures::cycle,
              "Duration of a counted cycle up to its verdict.");
    histogram(out, "trevalo_register_seconds", &CaseFigures::registration,
              "Power-on until +CREG: 1 in the register network test.");
    histogram(out, "trevalo_deregister_seconds", &CaseFigures::deregistration,
              "AT+CFUN=0 until +CREG: 0 in the register network test.");
    histogram(out, "trevalo_reregister_seconds", &CaseFigures::reregistration,
              "AT+CFUN=1 until +CREG: 1 in the register network test.");

    const QString current = m_runSeen ? m_runCase : m_idleCase;
    family(out, "trevalo_run_active", "gauge", "1 while a test run is in progress, else 0.");
    sample(out, "trevalo_run_active", labels(current), m_active ? "1" : "0");
    if (m_runSeen) {
        family(out, "trevalo_run_start_timestamp_seconds", "gauge", "Start of the current or last run, Unix time.");
        sample(out, "trevalo_run_start_timestamp_seconds", labels(current), number(m_runStart));
        family(out, "trevalo_run_last_cycle_timestamp_seconds", "gauge",
               "When the current or last run counted its latest cycle, Unix time; 0 before its first.");
        sample(out, "trevalo_run_last_cycle_timestamp_seconds", labels(current), number(m_lastCycle));
        family(out, "trevalo_run_cycles", "gauge", "Cycles counted in the current or last run.");
        sample(out, "trevalo_run_cycles", labels(current), QByteArray::number(m_runCycles));
        family(out, "trevalo_run_passes", "gauge", "Passed cycles in the current or last run.");
        sample(out, "trevalo_run_passes", labels(current), QByteArray::number(m_runPasses));
        family(out, "trevalo_run_fpy_ratio", "gauge",
               "First-pass yield of the current or last run: passed cycles over counted cycles.");
        if (m_runCycles > 0)
            sample(out, "trevalo_run_fpy_ratio", labels(current), number(double(m_runPasses) / double(m_runCycles)));
        family(out, "trevalo_run_info", "gauge", "The current or last run: program version, port, board, start stamp "
                                                 "and record file.");
        sample(out, "trevalo_run_info",
               labels(current, QStringLiteral("version=\"%1\",port=\"%2\",board=\"%3\",run=\"%4\",records=\"%5\"")
                                   .arg(escaped(m_version), escaped(m_port), escaped(m_board), escaped(m_stamp),
                                        escaped(m_recordName))),
               "1");
        // The steps file's names are letters, digits and '_' from a letter on.
        for (auto it = m_values.cbegin(); it != m_values.cend(); ++it) {
            const QByteArray name = "trevalo_captured_" + it.key().toLatin1();
            family(out, name.constData(), "gauge", "A value the steps file's cycle captured, from its last cycle.");
            sample(out, name, labels(current), number(it.value()));
        }
    }
    return out;
}

bool MetricsWriter::writeNow()
{
    if (m_dir.isEmpty())
        return true;
    m_lastWrite.start();
    const QByteArray text = render();
    const QString target = filePath();
    // Not named *.prom: the collector never reads the half-written file.
    QTemporaryFile temp(QDir(m_dir).filePath(QStringLiteral(".trevalo_%1.XXXXXX").arg(m_bench)));
    bool ok = temp.open() && temp.write(text) == text.size() && temp.flush()
              && temp.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                     | QFileDevice::ReadOther);
    if (ok) {
        temp.close();
        // rename(2) replaces the old file in one step, so a reader sees one or the other.
        ok = std::rename(QFile::encodeName(temp.fileName()).constData(), QFile::encodeName(target).constData()) == 0;
        if (ok)
            temp.setAutoRemove(false);
    }
    if (!ok && !m_failing) {
        m_failing = true;
        emit sngWriteFailed(target);
    } else if (ok && m_failing) {
        m_failing = false;
        emit sngWriteResumed(target);
    }
    return ok;
}
