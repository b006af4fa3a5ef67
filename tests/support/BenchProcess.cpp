#include "BenchProcess.h"

#include "BenchClient.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

namespace {
const char kEnv[] = "TREVALO_BENCH";
}

BenchProcess::BenchProcess() = default;

BenchProcess::~BenchProcess()
{
    stop();
}

bool BenchProcess::start(const QStringList &extraArgs, int timeoutMs)
{
    stop();
    m_error.clear();
    m_stderr.clear();
    m_info = {};

    QString program = QString::fromLocal8Bit(qgetenv("TREVALO_BENCH_PROGRAM"));
    if (program.isEmpty())
        program = TestSupport::siblingProgram(QStringLiteral("trevalo-bench"));
    if (!QFileInfo(program).isExecutable()) {
        m_error = QStringLiteral("no bench program at %1").arg(program);
        return false;
    }

    m_dir = std::make_unique<QTemporaryDir>(
        QDir(QDir::tempPath()).filePath(QStringLiteral("trevalo-bench-test-XXXXXX")));
    if (!m_dir->isValid()) {
        m_error = QStringLiteral("cannot create a runtime folder: %1").arg(m_dir->errorString());
        m_dir.reset();
        return false;
    }

    QStringList args{QStringLiteral("--dir"), m_dir->path()};
    bool portGiven = false;
    for (const QString &a : extraArgs)
        portGiven = portGiven || a.startsWith(QLatin1String("--echo-port"));
    if (!portGiven)
        args << QStringLiteral("--echo-port") << QStringLiteral("0");
    // A test killed before its destructors run takes its bench along.
    args << QStringLiteral("--parent-pid") << QString::number(QCoreApplication::applicationPid());
    args << extraArgs;

    m_process = std::make_unique<QProcess>();
    m_process->setProgram(program);
    m_process->setArguments(args);
    m_process->start();
    if (!m_process->waitForStarted(timeoutMs)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(program, m_process->errorString());
        m_process.reset();
        m_dir.reset();
        return false;
    }

    // The bench prints its folder once everything listens and bench.json is out.
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray out;
    while (!out.contains('\n')) {
        if (m_process->state() != QProcess::Running || deadline.hasExpired()) {
            m_process->waitForFinished(100);
            m_stderr += m_process->readAllStandardError();
            m_error = deadline.hasExpired()
                          ? QStringLiteral("the bench did not come up in time")
                          : QStringLiteral("the bench exited");
            if (!m_stderr.trimmed().isEmpty())
                m_error += QStringLiteral(": ") + QString::fromLocal8Bit(m_stderr.trimmed());
            stop();
            return false;
        }
        m_process->waitForReadyRead(int(qBound(qint64(1), deadline.remainingTime(), qint64(100))));
        out += m_process->readAllStandardOutput();
    }

    QFile file(QDir(m_dir->path()).filePath(QStringLiteral("bench.json")));
    if (file.open(QIODevice::ReadOnly))
        m_info = QJsonDocument::fromJson(file.readAll()).object();
    if (m_info.isEmpty()) {
        m_error = QStringLiteral("the bench published no bench.json");
        stop();
        return false;
    }
    const QJsonObject hello = request(QJsonObject{{QStringLiteral("op"), QStringLiteral("hello")}},
                                      int(qMax<qint64>(500, deadline.remainingTime())));
    if (!hello.value(QStringLiteral("ok")).toBool()) {
        m_error = QStringLiteral("the bench does not answer: %1")
                      .arg(hello.value(QStringLiteral("error")).toString());
        stop();
        return false;
    }

    m_hadEnv = qEnvironmentVariableIsSet(kEnv);
    m_savedEnv = qgetenv(kEnv);
    qputenv(kEnv, QFile::encodeName(m_dir->path()));
    m_envSet = true;
    return true;
}

bool BenchProcess::stop(int timeoutMs)
{
    restoreEnvironment();
    if (!m_process)
        return false;
    bool clean = false;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(timeoutMs)) {
            m_process->kill();
            m_process->waitForFinished(2000);
        } else {
            clean = m_process->exitStatus() == QProcess::NormalExit && m_process->exitCode() == 0;
        }
    }
    m_stderr += m_process->readAllStandardError();
    // A bench that did not end cleanly may have said why, e.g. in a
    // sanitizer report; the test's output is the only place left for it.
    if (!clean && !m_stderr.trimmed().isEmpty())
        qWarning("trevalo-bench wrote to stderr:\n%s", m_stderr.constData());
    m_process.reset();
    m_dir.reset();
    return clean;
}

void BenchProcess::restoreEnvironment()
{
    if (!m_envSet)
        return;
    if (m_hadEnv)
        qputenv(kEnv, m_savedEnv);
    else
        qunsetenv(kEnv);
    m_envSet = false;
}

bool BenchProcess::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

QString BenchProcess::runtimeDir() const
{
    return m_dir ? m_dir->path() : QString();
}

QString BenchProcess::controlPath() const
{
    return m_info.value(QStringLiteral("control")).toString();
}

QJsonObject BenchProcess::info() const
{
    return m_info;
}

QString BenchProcess::atPort() const
{
    return m_info.value(QStringLiteral("atPort")).toString();
}

QString BenchProcess::atLink() const
{
    return m_info.value(QStringLiteral("atLink")).toString();
}

quint16 BenchProcess::echoPort() const
{
    return quint16(m_info.value(QStringLiteral("echo")).toObject().value(QStringLiteral("port")).toInt());
}

qint64 BenchProcess::pid() const
{
    return qint64(m_info.value(QStringLiteral("pid")).toDouble());
}

QJsonObject BenchProcess::request(const QJsonObject &req, int timeoutMs) const
{
    if (controlPath().isEmpty())
        return QJsonObject{{QStringLiteral("ok"), false}, {QStringLiteral("error"), QStringLiteral("no bench")}};
    return BenchClient::requestAt(controlPath(), req, timeoutMs);
}

bool BenchProcess::setFaults(const QJsonObject &faults) const
{
    return request(QJsonObject{{QStringLiteral("op"), QStringLiteral("fault.set")},
                               {QStringLiteral("faults"), faults}})
        .value(QStringLiteral("ok"))
        .toBool();
}

bool BenchProcess::setFault(const QString &name, const QJsonValue &value) const
{
    return setFaults(QJsonObject{{name, value}});
}

bool BenchProcess::clearFaults() const
{
    return request(QJsonObject{{QStringLiteral("op"), QStringLiteral("fault.clear")}})
        .value(QStringLiteral("ok"))
        .toBool();
}

QJsonObject BenchProcess::faults() const
{
    return request(QJsonObject{{QStringLiteral("op"), QStringLiteral("fault.get")}})
        .value(QStringLiteral("faults"))
        .toObject();
}

QJsonObject BenchProcess::state() const
{
    return request(QJsonObject{{QStringLiteral("op"), QStringLiteral("state")}});
}

QJsonObject BenchProcess::chip() const
{
    return state().value(QStringLiteral("chip")).toObject();
}

QJsonObject BenchProcess::dials() const
{
    return state().value(QStringLiteral("dials")).toObject();
}

bool BenchProcess::chipPowered() const
{
    return chip().value(QStringLiteral("powered")).toBool();
}

bool BenchProcess::setRelay(const QString &serial, int channel, bool on) const
{
    return request(QJsonObject{{QStringLiteral("op"), QStringLiteral("relay.set")},
                               {QStringLiteral("serial"), serial},
                               {QStringLiteral("channel"), channel},
                               {QStringLiteral("on"), on}})
        .value(QStringLiteral("ok"))
        .toBool();
}

bool BenchProcess::setChipPower(bool on) const
{
    const QJsonArray boards = m_info.value(QStringLiteral("boards")).toArray();
    if (boards.isEmpty())
        return false;
    return setRelay(boards.first().toObject().value(QStringLiteral("serial")).toString(), 1, on);
}

QByteArray BenchProcess::errorOutput() const
{
    if (m_process)
        m_stderr += m_process->readAllStandardError();
    return m_stderr;
}

namespace TestSupport {

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

QString siblingProgram(const QString &name)
{
    QString path = QDir(QCoreApplication::applicationDirPath()).filePath(name);
#ifdef Q_OS_WIN
    path += QStringLiteral(".exe");
#endif
    return path;
}

} // namespace TestSupport
