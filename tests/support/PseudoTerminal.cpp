#include "PseudoTerminal.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

PseudoTerminal::PseudoTerminal()
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0)
        return;
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        ::close(m_master);
        m_master = -1;
        return;
    }
    m_slavePath = QString::fromLocal8Bit(ptsname(m_master));
    // Holding the slave open keeps the master readable between the worker's
    // open and close, and makes it raw so nothing is echoed back.
    m_keepSlave = ::open(ptsname(m_master), O_RDWR | O_NOCTTY);
    if (m_keepSlave >= 0) {
        termios tio{};
        tcgetattr(m_keepSlave, &tio);
        cfmakeraw(&tio);
        tcsetattr(m_keepSlave, TCSANOW, &tio);
    }
}

PseudoTerminal::~PseudoTerminal()
{
    if (m_keepSlave >= 0)
        ::close(m_keepSlave);
    closeMaster();
}

void PseudoTerminal::closeMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

bool PseudoTerminal::send(const QByteArray &bytes)
{
    return m_master >= 0 && ::write(m_master, bytes.constData(), size_t(bytes.size())) == bytes.size();
}

QByteArray PseudoTerminal::receive(int waitMs)
{
    QByteArray out;
    if (m_master < 0)
        return out;
    int timeout = waitMs;
    for (;;) {
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, timeout) <= 0 || !(p.revents & POLLIN))
            return out;
        char buf[512];
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0)
            return out;
        out.append(buf, int(n));
        timeout = 50;
    }
}
