#include "PseudoTerminal.h"

#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {
constexpr int kMaxPending = 64 * 1024;
}

PseudoTerminal::PseudoTerminal(QObject *parent) : QObject(parent) {}

PseudoTerminal::~PseudoTerminal()
{
    close();
}

void PseudoTerminal::close()
{
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    if (!m_linkPath.isEmpty())
        QFile::remove(m_linkPath);
    // With the master closed, a client's reads end in EIO / hang-up.
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
    m_master = m_slave = -1;
    m_slavePath.clear();
    m_pending.clear();
}

bool PseudoTerminal::updateLink(QString *error)
{
    if (m_linkPath.isEmpty())
        return true;
    // Made beside the link and renamed over it: a reader finds the old
    // target or the new one, never no link.
    const QString temporary = m_linkPath + QStringLiteral(".new");
    QFile::remove(temporary);
    if (::symlink(QFile::encodeName(m_slavePath).constData(),
                  QFile::encodeName(temporary).constData()) != 0
        || ::rename(QFile::encodeName(temporary).constData(),
                    QFile::encodeName(m_linkPath).constData()) != 0) {
        *error = QStringLiteral("link %1: %2").arg(m_linkPath,
                                                   QString::fromLocal8Bit(std::strerror(errno)));
        QFile::remove(temporary);
        return false;
    }
    return true;
}

bool PseudoTerminal::open(QString *error)
{
    close();
    const auto fail = [this, error](const char *what) {
        *error = QStringLiteral("%1: %2").arg(QLatin1String(what),
                                              QString::fromLocal8Bit(std::strerror(errno)));
        close();
        return false;
    };
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0)
        return fail("posix_openpt");
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    if (::grantpt(m_master) != 0)
        return fail("grantpt");
    if (::unlockpt(m_master) != 0)
        return fail("unlockpt");
    const char *name = ::ptsname(m_master);
    if (!name)
        return fail("ptsname");
    m_slavePath = QString::fromLocal8Bit(name);
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0)
        return fail("open slave");

    // Raw: bytes pass unchanged both ways, no echo, no line editing.
    termios tio{};
    if (::tcgetattr(m_slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, B115200);
        ::cfsetospeed(&tio, B115200);
        ::tcsetattr(m_slave, TCSANOW, &tio);
    }
    const int flags = ::fcntl(m_master, F_GETFL);
    ::fcntl(m_master, F_SETFL, flags | O_NONBLOCK);

    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &PseudoTerminal::onReadable);
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &PseudoTerminal::onWritable);
    if (!updateLink(error)) {
        close();
        return false;
    }
    return true;
}

void PseudoTerminal::onReadable()
{
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof(buf));
        if (n > 0) {
            emit received(QByteArray(buf, int(n)));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        // EIO cannot happen while our own slave descriptor is open; should
        // it anyway, stop watching rather than wake up forever.
        m_readNotifier->setEnabled(false);
        return;
    }
}

void PseudoTerminal::write(const QByteArray &data)
{
    if (m_master < 0 || data.isEmpty())
        return;
    m_pending.append(data);
    if (m_pending.size() > kMaxPending) {
        const int lost = m_pending.size() - kMaxPending;
        m_pending.remove(0, lost);
        m_overrun += lost;
    }
    flushPending();
}

void PseudoTerminal::flushPending()
{
    while (!m_pending.isEmpty()) {
        const ssize_t n = ::write(m_master, m_pending.constData(), size_t(m_pending.size()));
        if (n > 0) {
            m_pending.remove(0, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            m_writeNotifier->setEnabled(true);
            return;
        }
        m_overrun += m_pending.size();
        m_pending.clear();
        break;
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
}

void PseudoTerminal::onWritable()
{
    flushPending();
}

void PseudoTerminal::discardOutput()
{
    m_pending.clear();
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    if (m_slave >= 0)
        ::tcflush(m_slave, TCIFLUSH);
}
