#include "EchoServer.h"

#include "EchoConnection.h"
#include "FaultSet.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {
constexpr int kSplitGapMs = 20;
constexpr char kExtraByte = 'Z';
} // namespace

EchoServer::EchoServer(FaultSet *faults, int gapMs, QObject *parent)
    : QObject(parent), m_faults(faults), m_gapMs(qMax(1, gapMs)), m_server(new QTcpServer(this)),
      m_relisten(new QTimer(this))
{
    m_relisten->setInterval(500);
    connect(m_relisten, &QTimer::timeout, this, &EchoServer::comeUp);
    connect(m_server, &QTcpServer::newConnection, this, &EchoServer::onNewConnection);
    connect(m_faults, &FaultSet::changed, this, &EchoServer::onFaultsChanged);
}

bool EchoServer::listen(quint16 port, QString *error)
{
    // Loopback only: the bench never offers anything to the network.
    if (!m_server->listen(QHostAddress::LocalHost, port)) {
        *error = QStringLiteral("echo server cannot listen on 127.0.0.1:%1: %2")
                     .arg(port)
                     .arg(m_server->errorString());
        return false;
    }
    m_port = m_server->serverPort();
    return true;
}

bool EchoServer::isListening() const
{
    return m_server->isListening();
}

void EchoServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        ++m_accepted;
        auto *conn = new EchoConnection(socket, this);
        m_connections.append(conn);
    }
    m_connections.removeAll(nullptr);
}

void EchoServer::onFaultsChanged(const QStringList &names)
{
    if (names.contains(QStringLiteral("echo.corruptAt")))
        m_corruptCountdown = m_faults->number(QStringLiteral("echo.corruptAt"));
    if (names.contains(QStringLiteral("echo.down"))) {
        if (m_faults->flag(QStringLiteral("echo.down")))
            goDown();
        else
            comeUp();
    }
}

void EchoServer::goDown()
{
    m_relisten->stop();
    m_server->close();
    const auto conns = m_connections;
    m_connections.clear();
    for (const QPointer<EchoConnection> &c : conns) {
        if (c)
            c->abort();
    }
}

void EchoServer::comeUp()
{
    if (m_server->isListening() || m_faults->flag(QStringLiteral("echo.down"))) {
        m_relisten->stop();
        return;
    }
    // Back on the published port; should another program have taken it in
    // the meantime, keep trying.
    if (m_server->listen(QHostAddress::LocalHost, m_port))
        m_relisten->stop();
    else if (!m_relisten->isActive())
        m_relisten->start();
}

EchoServer::Plan EchoServer::planExchange(const QByteArray &received)
{
    ++m_exchanges;
    m_bytesIn += received.size();
    Plan plan;
    plan.delayMs = m_faults->number(QStringLiteral("echo.delayMs"));

    bool corrupt = false;
    if (m_corruptCountdown > 0 && --m_corruptCountdown == 0) {
        corrupt = true;
        QString ignored;
        m_faults->set(QJsonObject{{QStringLiteral("echo.corruptAt"), 0}}, &ignored);
    }
    if (m_faults->flag(QStringLiteral("echo.close"))) {
        ++m_closed;
        plan.close = true;
        return plan;
    }
    if (m_faults->flag(QStringLiteral("echo.drop"))) {
        ++m_dropped;
        return plan;
    }
    QByteArray reply = received;
    if (corrupt && !reply.isEmpty()) {
        ++m_corrupted;
        // One byte in the middle, changed to another byte that is still not
        // a line end (clients may strip those and miss the damage).
        const int at = reply.size() / 2;
        char c = char(reply.at(at) ^ 0x01);
        if (c == '\r' || c == '\n')
            c = char(reply.at(at) ^ 0x02);
        reply[at] = c;
    }
    const int extra = m_faults->number(QStringLiteral("echo.extra"));
    if (extra > 0)
        reply.append(QByteArray(qMin(extra, 1 << 20), kExtraByte));
    const int pieces = qBound(1, m_faults->number(QStringLiteral("echo.split")),
                              qMax(1, int(reply.size())));
    const int size = (int(reply.size()) + pieces - 1) / pieces;
    for (int at = 0; at < reply.size(); at += size)
        plan.pieces << reply.mid(at, size);
    plan.gapMs = kSplitGapMs;
    m_bytesOut += reply.size();
    return plan;
}

QJsonObject EchoServer::counters() const
{
    int open = 0;
    for (const QPointer<EchoConnection> &c : m_connections)
        open += c ? 1 : 0;
    return QJsonObject{{QStringLiteral("port"), m_port},
                       {QStringLiteral("listening"), m_server->isListening()},
                       {QStringLiteral("connections"), double(m_accepted)},
                       {QStringLiteral("open"), open},
                       {QStringLiteral("exchanges"), double(m_exchanges)},
                       {QStringLiteral("bytesIn"), double(m_bytesIn)},
                       {QStringLiteral("bytesOut"), double(m_bytesOut)},
                       {QStringLiteral("corrupted"), double(m_corrupted)},
                       {QStringLiteral("dropped"), double(m_dropped)},
                       {QStringLiteral("closed"), double(m_closed)}};
}
