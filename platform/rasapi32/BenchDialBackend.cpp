#include "BenchDialBackend.h"

#include "BenchClient.h"
#include "RasConnection.h"

#include <QDeadlineTimer>
#include <QJsonObject>
#include <QString>

namespace {

const QString kOp = QStringLiteral("op");
const QString kOk = QStringLiteral("ok");
const QString kConn = QStringLiteral("conn");
const QString kError = QStringLiteral("error");
const QString kState = QStringLiteral("state");
const QString kEvent = QStringLiteral("event");

// The bench gives RAS codes as numbers; a text means it could not dial at all.
DWORD refusalCode(const QJsonObject &reply)
{
    const QJsonValue error = reply.value(kError);
    if (error.isDouble() && error.toInteger() > 0)
        return DWORD(error.toInteger());
    return ERROR_PORT_NOT_AVAILABLE;
}

} // namespace

BenchDialBackend::BenchDialBackend(DialRequest request) : m_request(std::move(request)) {}

QJsonValue BenchDialBackend::connId() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_conn;
}

void BenchDialBackend::run(RasConnection &connection)
{
    BenchSession session;
    // The peer tells a bench of several chips which chip's line to dial.
    if (!session.open(kReplyTimeoutMs)
        || !session.send(QJsonObject{{kOp, QStringLiteral("dial")},
                                     {QStringLiteral("number"), QString::fromStdString(m_request.number)},
                                     {QStringLiteral("peer"), QString::fromStdString(m_request.peer())}})) {
        connection.refused(ERROR_PORT_NOT_AVAILABLE);
        return;
    }
    connection.setDeviceName("trevalo-bench");

    // The reply comes first on a fresh connection; wait for it in slices so
    // that RasDialA giving up is noticed.
    QJsonObject reply;
    const QDeadlineTimer replyDeadline(kReplyTimeoutMs);
    while (reply.isEmpty() && !connection.cancelled() && session.isOpen()
           && !replyDeadline.hasExpired()) {
        reply = session.next(kEventSliceMs);
        if (reply.contains(kEvent))
            reply = QJsonObject();
    }
    if (reply.isEmpty()) {
        connection.refused(session.isOpen() ? ERROR_REQUEST_TIMEOUT : ERROR_PORT_NOT_AVAILABLE);
        return;
    }
    const QJsonValue conn = reply.value(kConn);
    const bool refused = !reply.value(kOk).toBool();
    if (refused && !conn.isDouble()) {
        connection.refused(refusalCode(reply));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_conn = conn;
    }
    if (refused)
        connection.refusedHoldingLine(refusalCode(reply)); // no events follow
    else
        connection.accepted();

    RASCONNSTATE state = RASCS_OpenPort;
    bool finished = refused;
    while (!finished && !connection.cancelled()) {
        const QJsonObject msg = session.next(kEventSliceMs);
        if (msg.isEmpty()) {
            if (!session.isOpen()) {
                // The bench went away in the middle of the dial.
                connection.report(state, ERROR_DISCONNECTION);
                finished = true;
            }
            continue;
        }
        if (msg.value(kEvent).toString() != QLatin1String("dial") || msg.value(kConn) != conn)
            continue;
        state = RASCONNSTATE(msg.value(kState).toInteger());
        const DWORD error = DWORD(msg.value(kError).toInteger());
        connection.report(state, error);
        finished = RasConnection::isTerminal(state, error);
    }

    // Connected, failed or refused: nothing more comes; hold the line until
    // hung up.
    connection.waitCancelled(-1);
    // Hang up before closing: the bench also drops a dial whose connection
    // closes, but would count it as abandoned rather than hung up.
    BenchClient::request(QJsonObject{{kOp, QStringLiteral("hangup")}, {kConn, conn}});
    session.close();
}

bool BenchDialBackend::queryStatus(RASCONNSTATE *state, DWORD *error)
{
    const QJsonValue conn = connId();
    if (conn.isNull() || conn.isUndefined())
        return false;
    const QJsonObject reply =
        BenchClient::request(QJsonObject{{kOp, QStringLiteral("dial.status")}, {kConn, conn}});
    if (!reply.value(kOk).toBool() || !reply.contains(kState))
        return false;
    *state = RASCONNSTATE(reply.value(kState).toInteger());
    *error = DWORD(reply.value(kError).toInteger());
    return true;
}
