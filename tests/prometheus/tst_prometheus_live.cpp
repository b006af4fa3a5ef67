// A small farm on this machine, loopback only: two virtual benches, a
// trevalo-run on each (one bench refuses dials for a while), Debian's
// node_exporter serving the runners' metrics folder and Debian's Prometheus
// scraping it every second with the farm's alert rules. What Prometheus
// answers must equal what each run's record file holds, and the failure
// rate alert must take the failing bench and only that one.
#include "BenchProcess.h"
#include "RecordFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace {

// Ends a server this test started: SIGTERM, then SIGKILL if it lingers.
void stopProcess(QProcess &p)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished(5000);
    }
}

} // namespace

class tst_PrometheusLive : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void farmMetricsReachPrometheus();

private:
    // The runner on a bench, writing into the shared metrics folder.
    void startRunner(QProcess &p, const BenchProcess &bench, const QString &name, const QStringList &args);
    QString recordFile(const QString &name) const;
    // GET on Prometheus' API; an empty object when it does not answer.
    QJsonObject api(const QString &path, const QString &promql = QString());
    // The query's result as bench -> value.
    QHash<QString, double> byBench(const QString &promql);

    BenchProcess benchA;
    BenchProcess benchB;
    QTemporaryDir work;
    QProcess exporter;
    QProcess prometheus;
    quint16 prometheusPort = 0;
    QNetworkAccessManager net;
};

void tst_PrometheusLive::initTestCase()
{
    const QString exporterProgram = QStandardPaths::findExecutable(QStringLiteral("prometheus-node-exporter"));
    const QString prometheusProgram = QStandardPaths::findExecutable(QStringLiteral("prometheus"));
    if (exporterProgram.isEmpty() || prometheusProgram.isEmpty())
        QSKIP("prometheus or prometheus-node-exporter is missing: install Debian's packages (scripts/setup does)");
    QVERIFY(work.isValid());
    net.setProxy(QNetworkProxy::NoProxy); // loopback only, whatever the environment says

    QVERIFY2(benchA.start({QStringLiteral("--dial-step-ms"), QStringLiteral("5")}), qPrintable(benchA.errorString()));
    QVERIFY2(benchB.start({QStringLiteral("--dial-step-ms"), QStringLiteral("5")}), qPrintable(benchB.errorString()));

    const QString metrics = work.filePath(QStringLiteral("metrics"));
    QVERIFY(QDir().mkpath(metrics));
    const quint16 exporterPort = TestSupport::freeLoopbackPort();
    prometheusPort = TestSupport::freeLoopbackPort();
    QVERIFY(exporterPort != 0 && prometheusPort != 0 && exporterPort != prometheusPort);

    // Only the textfile collector: the figures under test, nothing of the machine.
    exporter.setStandardErrorFile(work.filePath(QStringLiteral("exporter.log")));
    exporter.start(exporterProgram, {QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(exporterPort),
                                     QStringLiteral("--collector.disable-defaults"),
                                     QStringLiteral("--collector.textfile"),
                                     QStringLiteral("--collector.textfile.directory=") + metrics});
    QVERIFY(exporter.waitForStarted());

    const QString config = work.filePath(QStringLiteral("prometheus.yml"));
    QFile file(config);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("global:\n"
                              "  scrape_interval: 1s\n"
                              "  evaluation_interval: 1s\n"
                              "rule_files:\n"
                              "  - %1\n"
                              "scrape_configs:\n"
                              "  - job_name: trevalo-benches\n"
                              "    static_configs:\n"
                              "      - targets: ['127.0.0.1:%2']\n")
                   .arg(QStringLiteral(TREVALO_RULES_FILE))
                   .arg(exporterPort)
                   .toUtf8());
    file.close();
    prometheus.setProcessChannelMode(QProcess::ForwardedOutputChannel); // its chatter stays out of the way
    prometheus.setStandardErrorFile(work.filePath(QStringLiteral("prometheus.log")));
    prometheus.start(prometheusProgram, {QStringLiteral("--config.file=") + config,
                                         QStringLiteral("--storage.tsdb.path=") + work.filePath(QStringLiteral("tsdb")),
                                         QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(prometheusPort)});
    QVERIFY(prometheus.waitForStarted());

    // Scraping the (still empty) folder before any run starts.
    QElapsedTimer t;
    t.start();
    while (byBench(QStringLiteral("up == 1")).isEmpty() && t.elapsed() < 20000)
        QTest::qWait(200);
    QVERIFY2(!api(QStringLiteral("/api/v1/query"), QStringLiteral("up == 1"))
                  .value(QStringLiteral("data")).toObject().value(QStringLiteral("result")).toArray().isEmpty(),
             "Prometheus does not scrape the exporter");
}

void tst_PrometheusLive::cleanupTestCase()
{
    // Every process this test started, by its own handle.
    stopProcess(prometheus);
    stopProcess(exporter);
    benchB.stop();
    benchA.stop();
}

void tst_PrometheusLive::startRunner(QProcess &p, const BenchProcess &bench, const QString &name,
                                     const QStringList &args)
{
    const QString ini = work.filePath(name + QStringLiteral(".ini"));
    QFile file(ini);
    if (file.open(QIODevice::WriteOnly))
        file.write(QStringLiteral("[trevalo]\nHostName=127.0.0.1\nHostPort=%1\nPingAddress=127.0.0.1\n")
                       .arg(bench.echoPort())
                       .toLatin1());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TREVALO_BENCH"), bench.runtimeDir());
    p.setProcessEnvironment(env);
    p.setProgram(TestSupport::siblingProgram(QStringLiteral("trevalo-run")));
    p.setArguments(QStringList{"--settings", ini, "--out", work.filePath(name), "--quiet", "--metrics",
                               work.filePath(QStringLiteral("metrics")), "--bench", name}
                   + args);
    p.start();
}

QString tst_PrometheusLive::recordFile(const QString &name) const
{
    const QDir dir(work.filePath(name + QStringLiteral("/records")));
    const QStringList files = dir.entryList({QStringLiteral("*.jsonl")}, QDir::Files);
    return files.size() == 1 ? dir.filePath(files.first()) : QString();
}

QJsonObject tst_PrometheusLive::api(const QString &path, const QString &promql)
{
    QUrl url(QStringLiteral("http://127.0.0.1:%1%2").arg(prometheusPort).arg(path));
    // Every reserved character encoded: a '+' left as it is reads as a space.
    if (!promql.isEmpty())
        url.setQuery(QStringLiteral("query=") + QString::fromLatin1(QUrl::toPercentEncoding(promql)));
    std::unique_ptr<QNetworkReply> reply(net.get(QNetworkRequest(url)));
    QEventLoop loop;
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    if (!reply->isFinished() || reply->error() != QNetworkReply::NoError)
        return {};
    return QJsonDocument::fromJson(reply->readAll()).object();
}

QHash<QString, double> tst_PrometheusLive::byBench(const QString &promql)
{
    QHash<QString, double> values;
    const QJsonArray result = api(QStringLiteral("/api/v1/query"), promql)
                                  .value(QStringLiteral("data"))
                                  .toObject()
                                  .value(QStringLiteral("result"))
                                  .toArray();
    for (const QJsonValue &r : result) {
        const QJsonObject o = r.toObject();
        const QString bench = o.value(QStringLiteral("metric")).toObject().value(QStringLiteral("bench")).toString();
        values.insert(bench.isEmpty() ? QStringLiteral("-") : bench,
                      o.value(QStringLiteral("value")).toArray().at(1).toString().toDouble());
    }
    return values;
}

void tst_PrometheusLive::farmMetricsReachPrometheus()
{
    // Bench A refuses every dial until it has failed twelve cycles, then
    // passes; bench B runs the short-short case clean.
    QVERIFY(benchA.setFault(QStringLiteral("dial.refuse"), 633));
    QProcess runA;
    QProcess runB;
    startRunner(runA, benchA, QStringLiteral("benchA"), {"--case", "PPPCallTest", "--cycles", "14"});
    startRunner(runB, benchB, QStringLiteral("benchB"), {"--case", "ExternalShortShortTest", "--cycles", "25"});
    QVERIFY(runA.waitForStarted() && runB.waitForStarted());
    QElapsedTimer t;
    t.start();
    while ((recordFile(QStringLiteral("benchA")).isEmpty()
            || RecordFile(recordFile(QStringLiteral("benchA"))).cycles.size() < 12)
           && t.elapsed() < 30000)
        QTest::qWait(50);
    QVERIFY(benchA.clearFaults());
    for (QProcess *run : {&runA, &runB})
        QVERIFY(run->state() == QProcess::NotRunning || run->waitForFinished(30000));
    QCOMPARE(runA.exitCode(), 1);
    QCOMPARE(runB.exitCode(), 0);

    // What each record file holds.
    QHash<QString, double> cycles, failures, fpy;
    for (const QString name : {QStringLiteral("benchA"), QStringLiteral("benchB")}) {
        const RecordFile rec(recordFile(name));
        QCOMPARE(rec.end.value("reason").toString(), QStringLiteral("cycle limit"));
        cycles.insert(name, rec.cycles.size());
        int failed = 0;
        for (const QJsonObject &c : rec.cycles)
            failed += c.value("pass").toBool() ? 0 : 1;
        failures.insert(name, failed);
        fpy.insert(name, double(rec.cycles.size() - failed) / rec.cycles.size());
    }
    QVERIFY(failures.value(QStringLiteral("benchA")) >= 12 && failures.value(QStringLiteral("benchA")) < 14);
    QCOMPARE(failures.value(QStringLiteral("benchB")), 0.0);

    // Once the last files are scraped, Prometheus holds the same figures.
    const QString cyclesQuery = QStringLiteral("sum by (bench) (trevalo_cycles_total)");
    const QString failuresQuery = QStringLiteral("sum by (bench) (trevalo_cycle_failures_total)");
    const QString fpyQuery = QStringLiteral("trevalo_run_fpy_ratio");
    t.restart();
    while ((byBench(cyclesQuery) != cycles || byBench(fpyQuery) != fpy) && t.elapsed() < 15000)
        QTest::qWait(250);
    QCOMPARE(byBench(cyclesQuery), cycles);
    QCOMPARE(byBench(failuresQuery), failures);
    QCOMPARE(byBench(fpyQuery), fpy);
    QCOMPARE(byBench(QStringLiteral("trevalo_run_active")),
             (QHash<QString, double>{{QStringLiteral("benchA"), 0}, {QStringLiteral("benchB"), 0}}));
    // Both files in one folder merge: same HELP and TYPE texts.
    QCOMPARE(byBench(QStringLiteral("node_textfile_scrape_error")), (QHash<QString, double>{{QStringLiteral("-"), 0}}));
    // The stale-file alert finds each bench's file by the collector's own file label.
    const QHash<QString, double> ages = byBench(QStringLiteral(
        "label_replace(time() - node_textfile_mtime_seconds{file=~\"(.*/)?trevalo_[A-Za-z0-9_-]+[.]prom\"}, "
        "\"bench\", \"$1\", \"file\", \"(?:.*/)?trevalo_([A-Za-z0-9_-]+)[.]prom\")"));
    QCOMPARE(QStringList(ages.keys()).size(), 2);
    QVERIFY(ages.contains(QStringLiteral("benchA")) && ages.contains(QStringLiteral("benchB")));
    QVERIFY(ages.value(QStringLiteral("benchA")) < 60);
    const QJsonObject shown = api(QStringLiteral("/api/v1/query"), failuresQuery);
    qInfo("%s = %s", qPrintable(failuresQuery),
          QJsonDocument(shown.value(QStringLiteral("data")).toObject().value(QStringLiteral("result")).toArray())
              .toJson(QJsonDocument::Compact)
              .constData());

    // The failure rate alert takes bench A (pending its five minutes), never bench B.
    QStringList alerting;
    t.restart();
    while (alerting.isEmpty() && t.elapsed() < 15000) {
        QTest::qWait(250);
        const QJsonArray alerts = api(QStringLiteral("/api/v1/alerts"))
                                      .value(QStringLiteral("data"))
                                      .toObject()
                                      .value(QStringLiteral("alerts"))
                                      .toArray();
        for (const QJsonValue &a : alerts) {
            const QJsonObject labels = a.toObject().value(QStringLiteral("labels")).toObject();
            if (labels.value(QStringLiteral("alertname")).toString() == QLatin1String("TrevaloFailureRateHigh"))
                alerting << labels.value(QStringLiteral("bench")).toString() + QLatin1Char(' ')
                                + a.toObject().value(QStringLiteral("state")).toString() + QLatin1Char(' ')
                                + a.toObject().value(QStringLiteral("annotations")).toObject().value(QStringLiteral("summary")).toString();
        }
    }
    QCOMPARE(alerting.size(), 1);
    QVERIFY2(alerting.first().startsWith(QStringLiteral("benchA pending Bench benchA: ")), qPrintable(alerting.first()));
    qInfo("alert: %s", qPrintable(alerting.first()));
}

QTEST_GUILESS_MAIN(tst_PrometheusLive)
#include "tst_prometheus_live.moc"
