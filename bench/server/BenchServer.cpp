#include "BenchServer.h"

#include "ChipModel.h"
#include "ControlConnection.h"
#include "DialService.h"
#include "EchoServer.h"
#include "FaultSet.h"
#include "PseudoTerminal.h"
#include "RelayBank.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

const QString kInfoFile = QStringLiteral("bench.json");
const QString kSocketFile = QStringLiteral("control.sock");
// Always names chip 1's current AT port, as a udev name would; chip k's
// is kAtLink followed by k.
const QString kAtLink = QStringLiteral("ttyAT");
const QString kLockFile = QStringLiteral("bench.lock");
constexpr int kProtocolVersion = 1;
// Errors that the dial ops report as numbers, as Windows would.
constexpr int kErrorInvalidHandle = 6;
constexpr int kErrorCannotFindPhonebookEntry = 623;

QJsonObject fail(const QString &text)
{
    return QJsonObject{{QStringLiteral("ok"), false}, {QStringLiteral("error"), text}};
}

QJsonObject failCode(int code)
{
    return QJsonObject{{QStringLiteral("ok"), false}, {QStringLiteral("error"), code}};
}

QJsonObject okWith(std::initializer_list<QPair<QString, QJsonValue>> fields = {})
{
    QJsonObject out{{QStringLiteral("ok"), true}};
    for (const auto &f : fields)
        out.insert(f.first, f.second);
    return out;
}

} // namespace

BenchServer::BenchServer(QObject *parent) : QObject(parent) {}

BenchServer::~BenchServer()
{
    shutdown();
}

bool BenchServer::prepareFolder(const QString &wanted, QString *error)
{
    if (wanted.isEmpty()) {
        QString base = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR"));
        if (base.isEmpty() || !QFileInfo(base).isDir())
            base = QDir::tempPath();
        QTemporaryDir tmp(QDir(base).filePath(QStringLiteral("trevalo-bench-XXXXXX")));
        if (!tmp.isValid()) {
            *error = QStringLiteral("cannot create a runtime folder under %1").arg(base);
            return false;
        }
        tmp.setAutoRemove(false);
        m_dir = tmp.path();
        m_createdDir = true;
    } else {
        m_dir = QDir(wanted).absolutePath();
        if (!QFileInfo(m_dir).isDir()) {
            if (!QDir().mkpath(m_dir)) {
                *error = QStringLiteral("cannot create the runtime folder %1").arg(m_dir);
                return false;
            }
            m_createdDir = true;
        }
    }
    // One bench per folder. The lock also covers a bench that is still
    // starting; a lock left by a dead bench is taken over.
    m_lock = std::make_unique<QLockFile>(QDir(m_dir).filePath(kLockFile));
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        qint64 pid = 0;
        QString host, app;
        m_lock->getLockInfo(&pid, &host, &app);
        *error = QStringLiteral("a bench is already running in %1 (pid %2)").arg(m_dir).arg(pid);
        m_lock.reset();
        if (m_createdDir)
            QDir().rmdir(m_dir);
        m_createdDir = false;
        m_dir.clear();
        return false;
    }
    // Whatever a crashed bench left behind.
    QFile::remove(QDir(m_dir).filePath(kInfoFile));
    QLocalServer::removeServer(QDir(m_dir).filePath(kSocketFile));
    return true;
}

bool BenchServer::start(const BenchOptions &options, QString *error)
{
    m_uptime.start();
    if (!prepareFolder(options.dir, error))
        return false;

    m_faults = new FaultSet(options.chips, this);
    m_boards = options.boards;

    for (int k = 1; k <= options.chips; ++k) {
        auto *pty = new PseudoTerminal(this);
        pty->setLinkPath(QDir(m_dir).filePath(k == 1 ? kAtLink : kAtLink + QString::number(k)));
        if (!pty->open(error)) {
            *error = QStringLiteral("cannot create the AT port of chip %1: %2").arg(k).arg(*error);
            return false;
        }
        m_ptys << pty;
        m_chips << new ChipModel(k, pty, m_faults, options.chip, this);
    }
    m_relays = new RelayBank(options.boards, options.chips, m_faults, this);
    connect(m_relays, &RelayBank::chipSupplyChanged, this, [this](int chip, bool on) {
        m_chips.at(chip - 1)->setPowered(on);
    });

    m_dials = new DialService(m_faults, options.dialStepMs, m_chips, this);
    connect(m_dials, &DialService::progress, this, &BenchServer::onDialProgress);
    for (ChipModel *chip : qAsConst(m_chips)) {
        connect(chip, &ChipModel::wentDown, m_dials,
                [this, chip] { m_dials->chipWentDown(chip->index()); });
    }

    m_echo = new EchoServer(m_faults, options.echoGapMs, this);
    if (!m_echo->listen(quint16(options.echoPort), error))
        return false;

    // Start-up faults go in once every part is up and listening for
    // changes, through the same path as a live fault.set, so each acts
    // exactly as if it had been set live.
    for (const QString &f : options.faults) {
        if (!m_faults->setFromText(f, error))
            return false;
    }
    if (options.powerOn) {
        for (int k = 1; k <= options.chips; ++k) {
            QString serial;
            int channel = 0;
            quint32 status = 0;
            if (RelayBank::chipChannel(m_boards, k, &serial, &channel)
                && !m_relays->set(serial, channel, true, &status, error)) {
                *error = QStringLiteral("cannot power chip %1: %2").arg(k).arg(*error);
                return false;
            }
        }
    }

    m_control = new QLocalServer(this);
    m_control->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_control, &QLocalServer::newConnection, this, &BenchServer::onNewControlConnection);
    const QString socketPath = QDir(m_dir).filePath(kSocketFile);
    if (!m_control->listen(socketPath)) {
        *error = QStringLiteral("cannot listen on %1: %2").arg(socketPath, m_control->errorString());
        return false;
    }
    return publish(error);
}

bool BenchServer::publish(QString *error)
{
    QJsonArray boards = m_relays->publishedBoards();
    QJsonArray chips;
    for (int k = 1; k <= m_chips.size(); ++k) {
        QString serial;
        int channel = 0;
        RelayBank::chipChannel(m_boards, k, &serial, &channel);
        chips.append(QJsonObject{
            {QStringLiteral("chip"), k},
            {QStringLiteral("atPort"), m_ptys.at(k - 1)->slavePath()},
            {QStringLiteral("atLink"), m_ptys.at(k - 1)->linkPath()},
            {QStringLiteral("board"), serial},
            {QStringLiteral("channel"), channel},
            {QStringLiteral("peer"),
             k == 1 ? QStringLiteral("provider") : QStringLiteral("chip%1").arg(k)}});
    }
    // atPort and atLink stay chip 1's for readers that know one chip.
    const QJsonObject info{
        {QStringLiteral("pid"), double(QCoreApplication::applicationPid())},
        {QStringLiteral("name"), QStringLiteral("trevalo-bench")},
        {QStringLiteral("version"), kProtocolVersion},
        {QStringLiteral("atPort"), m_ptys.first()->slavePath()},
        {QStringLiteral("atLink"), m_ptys.first()->linkPath()},
        {QStringLiteral("chips"), chips},
        {QStringLiteral("echo"),
         QJsonObject{{QStringLiteral("host"), QStringLiteral("127.0.0.1")},
                     {QStringLiteral("port"), m_echo->port()}}},
        {QStringLiteral("control"), QDir(m_dir).filePath(kSocketFile)},
        {QStringLiteral("boards"), boards},
    };
    // Readers see the old file or the whole new one, never half of it.
    QSaveFile file(QDir(m_dir).filePath(kInfoFile));
    if (!file.open(QIODevice::WriteOnly)
        || file.write(QJsonDocument(info).toJson(QJsonDocument::Indented)) < 0 || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    m_published = true;
    return true;
}

void BenchServer::shutdown()
{
    if (m_control) {
        m_control->close();
        QLocalServer::removeServer(QDir(m_dir).filePath(kSocketFile));
    }
    if (m_published) {
        QFile::remove(QDir(m_dir).filePath(kInfoFile));
        m_published = false;
    }
    if (m_lock) {
        m_lock->unlock();
        m_lock.reset();
    }
    for (PseudoTerminal *pty : qAsConst(m_ptys))
        pty->close(); // takes its link along
    if (m_createdDir) {
        QDir().rmdir(m_dir); // only when empty: never remove what others put there
        m_createdDir = false;
    }
}

void BenchServer::onNewControlConnection()
{
    while (QLocalSocket *socket = m_control->nextPendingConnection()) {
        auto *conn = new ControlConnection(socket, this);
        m_connections.insert(conn);
        connect(conn, &ControlConnection::request, this, &BenchServer::onRequest);
        connect(conn, &ControlConnection::closed, this, &BenchServer::onConnectionClosed);
    }
}

void BenchServer::onRequest(ControlConnection *from, const QJsonObject &req)
{
    QJsonObject reply = handle(from, req);
    if (req.contains(QStringLiteral("id")))
        reply.insert(QStringLiteral("id"), req.value(QStringLiteral("id")));
    from->send(reply);
    if (req.value(QStringLiteral("op")).toString() == QLatin1String("quit")) {
        from->flush();
        emit quitRequested();
    }
}

void BenchServer::onConnectionClosed(ControlConnection *conn)
{
    m_connections.remove(conn);
    m_dials->dropOwner(conn);
}

void BenchServer::onDialProgress(QObject *owner, int id, int state, int error)
{
    auto *conn = static_cast<ControlConnection *>(owner);
    if (!m_connections.contains(conn))
        return;
    conn->send(QJsonObject{{QStringLiteral("event"), QStringLiteral("dial")},
                           {QStringLiteral("conn"), id},
                           {QStringLiteral("state"), state},
                           {QStringLiteral("error"), error}});
}

QJsonObject BenchServer::handle(ControlConnection *from, const QJsonObject &req)
{
    const QString op = req.value(QStringLiteral("op")).toString();
    if (op == QLatin1String("hello")) {
        return okWith({{QStringLiteral("name"), QStringLiteral("trevalo-bench")},
                       {QStringLiteral("version"), kProtocolVersion},
                       {QStringLiteral("pid"), double(QCoreApplication::applicationPid())}});
    }
    if (op == QLatin1String("relay.list"))
        return okWith({{QStringLiteral("boards"), m_relays->list()}});
    if (op == QLatin1String("relay.status") || op == QLatin1String("relay.set")) {
        const QString serial = req.value(QStringLiteral("serial")).toString();
        quint32 status = 0;
        QString error;
        bool done;
        if (op == QLatin1String("relay.status")) {
            done = m_relays->status(serial, &status, &error);
        } else {
            const QJsonValue on = req.value(QStringLiteral("on"));
            const QJsonValue channel = req.value(QStringLiteral("channel"));
            if (!on.isBool() || !channel.isDouble())
                return fail(QStringLiteral("relay.set needs serial, channel and on"));
            done = m_relays->set(serial, channel.toInt(), on.toBool(), &status, &error);
        }
        if (!done)
            return fail(error);
        return okWith({{QStringLiteral("status"), double(status)}});
    }
    if (op == QLatin1String("dial")) {
        int error = 0;
        const QJsonValue peer = req.value(QStringLiteral("peer"));
        if (!peer.isUndefined() && !peer.isNull() && !peer.isString())
            return failCode(kErrorCannotFindPhonebookEntry);
        const int id = m_dials->dial(from, req.value(QStringLiteral("number")).toString(),
                                     peer.toString(), &error);
        if (error != 0) {
            QJsonObject refusal = failCode(error);
            if (id > 0) // refused, yet the line is taken until hung up
                refusal.insert(QStringLiteral("conn"), id);
            return refusal;
        }
        return okWith({{QStringLiteral("conn"), id}});
    }
    if (op == QLatin1String("dial.status")) {
        int state = 0, error = 0;
        if (!m_dials->status(req.value(QStringLiteral("conn")).toInt(), &state, &error))
            return failCode(kErrorInvalidHandle);
        return okWith({{QStringLiteral("state"), state}, {QStringLiteral("error"), error}});
    }
    if (op == QLatin1String("hangup")) {
        if (!m_dials->hangUp(req.value(QStringLiteral("conn")).toInt()))
            return failCode(kErrorInvalidHandle);
        return okWith();
    }
    if (op == QLatin1String("fault.set")) {
        const QJsonValue faults = req.value(QStringLiteral("faults"));
        if (!faults.isObject())
            return fail(QStringLiteral("fault.set needs faults: {name: value}"));
        // No chip: the values for all chips (and the whole bench).
        const QJsonValue chip = req.value(QStringLiteral("chip"));
        if (!chip.isUndefined() && !chip.isNull()
            && (!chip.isDouble() || chip.toDouble() != double(chip.toInt()) || chip.toInt() < 1))
            return fail(QStringLiteral("fault.set: chip is a chip's number, 1 to %1")
                            .arg(m_chips.size()));
        QString error;
        if (!m_faults->set(faults.toObject(), &error, chip.toInt()))
            return fail(error);
        return faultReply();
    }
    if (op == QLatin1String("fault.clear")) {
        m_faults->clear();
        return faultReply();
    }
    if (op == QLatin1String("fault.get"))
        return faultReply();
    if (op == QLatin1String("state"))
        return state();
    if (op == QLatin1String("quit"))
        return okWith();
    if (op.isEmpty())
        return fail(QStringLiteral("bad request: no op"));
    return fail(QStringLiteral("unknown op: %1").arg(op));
}

QJsonObject BenchServer::faultReply() const
{
    QJsonObject reply = okWith({{QStringLiteral("faults"), m_faults->values()}});
    const QJsonObject own = m_faults->chipValues();
    if (!own.isEmpty())
        reply.insert(QStringLiteral("chipFaults"), own);
    return reply;
}

QJsonObject BenchServer::chipState(int chip) const
{
    QJsonObject out = m_chips.at(chip - 1)->state();
    out.insert(QStringLiteral("atPort"), m_ptys.at(chip - 1)->slavePath());
    return out;
}

QJsonObject BenchServer::state() const
{
    QJsonArray chips;
    for (int k = 1; k <= m_chips.size(); ++k)
        chips.append(chipState(k));
    QJsonObject reply = okWith({{QStringLiteral("chip"), chipState(1)},
                   {QStringLiteral("chips"), chips},
                   {QStringLiteral("boards"), m_relays->describe()},
                   {QStringLiteral("relaySwitches"), double(m_relays->switchCount())},
                   {QStringLiteral("dials"), m_dials->counters()},
                   {QStringLiteral("echo"), m_echo->counters()},
                   {QStringLiteral("faults"), m_faults->values()},
                   {QStringLiteral("controlClients"), m_connections.size()},
                   {QStringLiteral("uptimeMs"), double(m_uptime.elapsed())}});
    const QJsonObject own = m_faults->chipValues();
    if (!own.isEmpty())
        reply.insert(QStringLiteral("chipFaults"), own);
    return reply;
}
