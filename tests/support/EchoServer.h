// A TCP echo server on 127.0.0.1 in a thread of its own, with the ways a
// real server or line can go wrong.
#ifndef ECHOSERVER_H
#define ECHOSERVER_H

#include <QHostAddress>
#include <QObject>
#include <QThread>

#include <atomic>

class QTcpServer;

class EchoServer : public QObject
{
    Q_OBJECT

public:
    enum Mode {
        Echo,      // every chunk straight back
        Pieces,    // every chunk back in three pieces, 60 ms apart
        WrongByte, // same length, first byte changed
        Extra,     // the chunk and two more bytes
        LineEnd,   // the chunk and a line end
        Silent,    // reads, never answers
        Hangup,    // closes the connection on the first data
        EchoHangup // echoes, then closes the connection
    };

    explicit EchoServer(Mode mode = Echo);
    // Listening on address instead, and where netnsFd (an open network
    // namespace, Linux) is given, inside that namespace.
    EchoServer(Mode mode, const QHostAddress &address, int netnsFd = -1);
    ~EchoServer() override;

    quint16 port() const { return m_port; }
    void setMode(Mode mode) { m_mode = mode; }
    // The nth chunk received (counting from 1) is answered with a wrong
    // byte, the others as the mode says; 0 for never.
    void setWrongOnChunk(int n) { m_wrongOnChunk = n; }
    int chunks() const { return m_chunks; }
    int connections() const { return m_connections; }

private:
    void onNewConnection();

    QThread m_thread;
    QTcpServer *m_server = nullptr;
    quint16 m_port = 0;
    std::atomic<int> m_mode{Echo};
    std::atomic<int> m_wrongOnChunk{0};
    std::atomic<int> m_chunks{0};
    std::atomic<int> m_connections{0};
};

#endif // ECHOSERVER_H
