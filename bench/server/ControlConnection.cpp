#include "ControlConnection.h"

#include <QJsonDocument>
#include <QLocalSocket>

namespace {
// No request comes near this; a client that sends more without a line end
// is broken, and holding its bytes would let it grow the bench.
constexpr int kMaxRequest = 1024 * 1024;
// A client that reads nothing while events pile up is cut off here.
constexpr qint64 kMaxUnsent = 4 * 1024 * 1024;
} // namespace

ControlConnection::ControlConnection(QLocalSocket *socket, QObject *parent)
    : QObject(parent), m_socket(socket)
{
    m_socket->setParent(this);
    connect(m_socket, &QLocalSocket::readyRead, this, &ControlConnection::onReadyRead);
    connect(m_socket, &QLocalSocket::disconnected, this, &ControlConnection::finish);
    connect(m_socket, &QLocalSocket::errorOccurred, this, [this](QLocalSocket::LocalSocketError) {
        if (m_socket->state() == QLocalSocket::UnconnectedState)
            finish();
    });
}

void ControlConnection::send(const QJsonObject &msg)
{
    if (m_finished)
        return;
    m_socket->write(QJsonDocument(msg).toJson(QJsonDocument::Compact) + '\n');
    if (m_socket->bytesToWrite() > kMaxUnsent) {
        m_socket->abort();
        finish();
    }
}

void ControlConnection::flush()
{
    if (!m_finished)
        m_socket->waitForBytesWritten(1000);
}

void ControlConnection::onReadyRead()
{
    m_buffer.append(m_socket->readAll());
    QJsonObject req;
    Line line;
    while (!m_finished && (line = takeRequest(m_buffer, &req)) != Line::None) {
        if (line == Line::Bad)
            send(QJsonObject{{QStringLiteral("ok"), false},
                             {QStringLiteral("error"), QStringLiteral("bad request: not a JSON object")}});
        else if (line == Line::Request)
            emit request(this, req);
    }
    if (m_buffer.size() > kMaxRequest) {
        send(QJsonObject{{QStringLiteral("ok"), false},
                         {QStringLiteral("error"), QStringLiteral("request too long")}});
        m_socket->disconnectFromServer();
        finish();
    }
}

ControlConnection::Line ControlConnection::takeRequest(QByteArray &buffer, QJsonObject *request)
{
    const int nl = buffer.indexOf('\n');
    if (nl < 0)
        return Line::None;
    const QByteArray line = buffer.left(nl).trimmed();
    buffer.remove(0, nl + 1);
    if (line.isEmpty())
        return Line::Empty;
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(line, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return Line::Bad;
    *request = doc.object();
    return Line::Request;
}

void ControlConnection::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_buffer.clear();
    emit closed(this);
    deleteLater();
}
