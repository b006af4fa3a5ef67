// Lets a channel (UartEngine, SocketMannger) read, from the test's thread,
// until its buffer holds size bytes or time runs out.
#ifndef CHANNELWAIT_H
#define CHANNELWAIT_H

#include <QElapsedTimer>

template <typename Channel>
bool receiveUntil(Channel &channel, int size, int timeoutMs = 3000)
{
    QElapsedTimer t;
    t.start();
    while (channel.m_recvBuffer.size() < size && t.elapsed() < timeoutMs)
        channel.waitReadyRead(100);
    return channel.m_recvBuffer.size() >= size;
}

#endif // CHANNELWAIT_H
