// One client of the control socket: reads one JSON object per line and
// writes replies and events the same way.
#ifndef CONTROLCONNECTION_H
#define CONTROLCONNECTION_H

#include <QByteArray>
#include <QJsonObject>
#include <QObject>

class QLocalSocket;

class ControlConnection : public QObject
{
    Q_OBJECT

public:
    ControlConnection(QLocalSocket *socket, QObject *parent);

    // What the next line of a client's bytes holds.
    enum class Line { None, Empty, Bad, Request };
    // Takes the next whole line off the front of buffer and reads it as a
    // request; None while no line is complete.
    static Line takeRequest(QByteArray &buffer, QJsonObject *request);

    void send(const QJsonObject &msg);
    // Pushes queued replies out now, before the bench exits.
    void flush();

signals:
    void request(ControlConnection *from, const QJsonObject &req);
    // Emitted once, just before the connection deletes itself.
    void closed(ControlConnection *conn);

private:
    void onReadyRead();
    void finish();

    QLocalSocket *m_socket;
    QByteArray m_buffer;
    bool m_finished = false;
};

#endif // CONTROLCONNECTION_H
