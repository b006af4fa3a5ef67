#include "PseudoTerminal.h"

#include <QString>

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

QString PseudoTerminal::lineSettings() const
{
    termios tio{};
    if (m_keepSlave < 0 || tcgetattr(m_keepSlave, &tio) != 0)
        return QString();
    const struct
    {
        speed_t code;
        int baud;
    } speeds[] = {{B9600, 9600}, {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
    int in = -1;
    int out = -1;
    for (const auto &s : speeds) {
        if (cfgetispeed(&tio) == s.code)
            in = s.baud;
        if (cfgetospeed(&tio) == s.code)
            out = s.baud;
    }
    const int bits[] = {5, 6, 7, 8};
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    int dataBits = 0;
    for (int i = 0; i < 4; ++i)
        if ((tio.c_cflag & CSIZE) == sizes[i])
            dataBits = bits[i];
    const char parity = !(tio.c_cflag & PARENB) ? 'N' : (tio.c_cflag & PARODD) ? 'O' : 'E';
    QString text = (in == out ? QString::number(in) : QStringLiteral("%1/%2").arg(in).arg(out))
                   + QStringLiteral(" %1%2%3").arg(dataBits).arg(QLatin1Char(parity)).arg(tio.c_cflag & CSTOPB ? 2 : 1);
    if (tio.c_cflag & CRTSCTS)
        text += QStringLiteral(" rtscts");
    if (tio.c_iflag & IXON)
        text += QStringLiteral(" ixon");
    if (tio.c_iflag & IXOFF)
        text += QStringLiteral(" ixoff");
    return text;
}

bool PseudoTerminal::setOtherLineSettings()
{
    termios tio{};
    if (m_keepSlave < 0 || tcgetattr(m_keepSlave, &tio) != 0)
        return false;
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag |= CSTOPB | CRTSCTS;
    tio.c_iflag |= IXON | IXOFF;
    return tcsetattr(m_keepSlave, TCSANOW, &tio) == 0;
}
