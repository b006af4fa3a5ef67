#include "SilentHost.h"

#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

SilentHost::SilentHost()
{
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), length) != 0
        || ::listen(m_listener, 0) != 0
        || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return;
    // Connections nobody accepts fill the queue; later handshakes are dropped.
    for (int i = 0; i < 3; ++i) {
        const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (filler < 0)
            continue;
        ::connect(filler, reinterpret_cast<sockaddr *>(&address), sizeof address);
        m_fillers.append(filler);
    }
    QThread::msleep(50);
    m_port = ntohs(address.sin_port);
}

SilentHost::~SilentHost()
{
    for (const int fd : std::as_const(m_fillers))
        ::close(fd);
    if (m_listener >= 0)
        ::close(m_listener);
}
