// The steps that drive the serial AT channel and the TCP echo channel.
#include "testWorker.h"

#include "BenchClient.h"
#include "PortIdentity.h"
#include "SocketMannger.h"
#include "TestSetup.h"
#include "UartEngine.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSerialPort>

namespace {
// How long the chip gets to start answering a command before the reply
// text is searched for.
constexpr int atFirstReplyMs = 2000;
// A port name that is back but refuses to open (still settling, or briefly
// held by udev) is tried again this often.
constexpr int reopenRetryMs = 1000;

// Links besides udev's by-id names that lead to a chip's port.
QStringList benchLinks()
{
    const QString link = BenchClient::atLinkPath();
    return link.isEmpty() ? QStringList() : QStringList{link};
}
} // namespace

bool testWorker::openPort()
{
    log(tr("Open port..."), QColor(Qt::white));
    m_portIdentity.clear();
    if (!uart || !setup)
        return false;
    if (!uart->open(setup->portName, 115200, int(QSerialPort::NoFlowControl)))
        return false;
    // A name that follows the device needs no check when it is opened
    // again; a number may be handed to another device meanwhile.
    if (!PortIdentity::isStableName(setup->portName)) {
        m_portIdentity = PortIdentity::of(setup->portName, benchLinks());
        const QStringList stable = PortIdentity::stableNames(setup->portName, benchLinks());
        if (!stable.isEmpty())
            log(QStringLiteral("%1 is also %2: that name follows the chip when its port comes back under "
                               "another number")
                    .arg(setup->portName, stable.first()),
                QColor(Qt::yellow));
    }
    return true;
}

bool testWorker::closePort()
{
    log(tr("Close port..."), QColor(Qt::white));
    if (uart)
        uart->close();
    return true;
}

bool testWorker::reopenPort(int timeoutMs)
{
    if (!uart || !setup)
        return false;
    // A hang-up not handled yet closes the channel now.
    QCoreApplication::processEvents();
    if (!uart->isGone())
        return true;

    log(QStringLiteral("Try to open the port ..."), QColor(Qt::white));
    // The stale handle goes first: a port's lock is named after it.
    uart->close();
    QElapsedTimer elapsed;
    elapsed.start();
    const auto left = [&] { return int(timeoutMs - elapsed.elapsed()); };
    QString foreign; // what the name led to instead of the chip's port
    for (;;) {
        // The device node comes back some time after power-on.
        const WaitResult back = waitFor(left(), [this] { return UartEngine::isPresent(setup->portName); });
        if (back == WaitResult::Stopped) {
            m_stepCutShort = true;
            return true;
        }
        if (back == WaitResult::TimedOut)
            break;
        // Another device may have taken the number while the chip was off.
        // It is not opened (it would get the chip's commands); the chip's
        // port may still take the name before the wait is over.
        const QString identity =
            m_portIdentity.isEmpty() ? QString() : PortIdentity::of(setup->portName, benchLinks());
        if (identity == m_portIdentity) {
            foreign.clear();
            if (uart->open(setup->portName, 115200, int(QSerialPort::NoFlowControl)))
                return true;
        } else {
            foreign = identity.isEmpty() ? QStringLiteral("a device not known to be the chip's") : identity;
        }
        if (left() <= 0)
            break;
        if (waitFor(qMin(reopenRetryMs, left()), [] { return false; }) == WaitResult::Stopped) {
            m_stepCutShort = true;
            return true;
        }
    }
    if (!foreign.isEmpty()) {
        log(QStringLiteral("Failed!!!%1 is another device now (%2; the chip's was %3): not opened")
                .arg(setup->portName, foreign, m_portIdentity),
            QColor(Qt::red));
        QCoreApplication::processEvents();
        return false;
    }
    log(tr("Failed!!!Failed to open port!"), QColor(Qt::red));
    QCoreApplication::processEvents();
    return false;
}

bool testWorker::connectServer()
{
    log(QStringLiteral("connect to server..."), QColor(Qt::white));
    // A port outside the 16-bit range would otherwise wrap onto some other
    // port and test the wrong server.
    const bool portValid = setup && setup->hostPort >= 1 && setup->hostPort <= 65535;
    if (socketMgr && portValid) {
        reportStep(QStringLiteral("connecting to %1:%2").arg(setup->hostName).arg(setup->hostPort), m_limits.connectMs);
        // Waited for here rather than inside the channel, so that a Stop
        // does not have to sit out a silent host's two minutes. The
        // connection goes through the chip's own link where one is known.
        socketMgr->setBindDevice(m_linkInterface);
        socketMgr->beginConnect(setup->hostName, quint16(setup->hostPort));
        const WaitResult wait = waitFor(m_limits.connectMs, [this] {
            const QAbstractSocket::SocketState state = socketMgr->state();
            return state == QAbstractSocket::ConnectedState || state == QAbstractSocket::UnconnectedState;
        });
        if (socketMgr->isConnected())
            return true;
        socketMgr->close(); // give up an attempt still under way
        if (wait == WaitResult::Stopped) {
            m_stepCutShort = true;
            return false; // a Stop is no failure of the server
        }
    }
    log(QStringLiteral("Failed!!!Fail to connect to host"), QColor(Qt::red));
    return false;
}

bool testWorker::sendData()
{
    log(QStringLiteral("Send data to server..."), QColor(Qt::white));
    if (!setup || !socketMgr) {
        log(QStringLiteral("Failed!!!Fail to write data to server"), QColor(Qt::red));
        return false;
    }
    const int length = setup->randomLength();
    sentData.clear();
    setup->randomPayload(sentData, length);
    // Only bytes that arrive from now on belong to this exchange's echo.
    socketMgr->m_recvBuffer.clear();
    reportStep(QStringLiteral("sending %1").arg(sizeText(sentData.size())), m_limits.writeMs);
    if (socketMgr->beginWrite(sentData)) {
        const WaitResult wait = waitFor(m_limits.writeMs, [this] {
            return socketMgr->unwrittenBytes() == 0 || socketMgr->state() != QAbstractSocket::ConnectedState;
        });
        if (socketMgr->unwrittenBytes() == 0) {
            log(QStringLiteral("[send] ") + QString::fromLatin1(sentData), QColor(Qt::yellow));
            return true;
        }
        if (wait == WaitResult::Stopped) {
            m_stepCutShort = true;
            return false; // a Stop is no failure of the server
        }
    }
    log(QStringLiteral("Failed!!!Fail to write data to server"), QColor(Qt::red));
    return false;
}

bool testWorker::checkReceive(const QByteArray &expected)
{
    if (!socketMgr) {
        log(QStringLiteral("Failed!!!Recieve no data from server!"), QColor(Qt::red));
        return false;
    }
    const QByteArray &received = socketMgr->m_recvBuffer;
    reportStep(QStringLiteral("echo %1 sent, waiting").arg(sizeText(expected.size())), m_limits.echoWaitMs);
    // Judged as soon as the echo has the payload's length, including when it
    // is complete already; a longer reply is judged when the wait is over.
    const WaitResult wait = waitFor(m_limits.echoWaitMs, [&] { return received.size() == expected.size(); });
    if (wait == WaitResult::Stopped) {
        m_stepCutShort = true; // no verdict on an echo that may still come
        return true;
    }
    if (received == expected)
        return true;
    if (received.isEmpty())
        log(QStringLiteral("Failed!!!Recieve no data from server!"), QColor(Qt::red));
    else
        log(QStringLiteral("Failed!!!Recieve wrong data from server!"), QColor(Qt::red));
    return false;
}

bool testWorker::closeSocket()
{
    log(QStringLiteral("Close socket..."), QColor(Qt::white));
    if (socketMgr)
        socketMgr->close();
    return true;
}

bool testWorker::waitAtResponse(QByteArray command, QByteArray expected, int timeoutMs)
{
    return waitAtReply(command, QString::fromLatin1(expected),
                       [&expected](const QByteArray &received) { return received.contains(expected); }, timeoutMs);
}

bool testWorker::waitAtReply(const QByteArray &command, const QString &awaited,
                             const std::function<bool(const QByteArray &)> &matched, int timeoutMs)
{
    m_lastAtReply.clear();
    if (!uart)
        return false;
    QByteArray &received = uart->m_recvBuffer;
    const QString waiting = QStringLiteral("waiting for +") + awaited;
    if (command.isEmpty())
        reportStep(waiting, timeoutMs);
    else
        reportStep(QString::fromLatin1(command.trimmed()) + QStringLiteral(" sent, ") + waiting, atFirstReplyMs + timeoutMs);
    if (!command.isEmpty()) {
        received.clear();
        if (!uart->write(command))
            return false; // the channel has logged the failed write
        if (waitFor(atFirstReplyMs, [&] { return !received.isEmpty(); }) == WaitResult::Stopped) {
            m_stepCutShort = true;
            return true;
        }
    }
    // Without a command, text that came in before the call counts as well.
    switch (waitFor(timeoutMs, [&] { return matched(received); })) {
    case WaitResult::Done:
        m_lastAtReply = received;
        received.clear();
        return true;
    case WaitResult::Stopped:
        m_stepCutShort = true;
        return true;
    case WaitResult::TimedOut:
        break;
    }
    // Old text must not satisfy the next wait.
    received.clear();
    log(QStringLiteral("Failed!!!Wait AT response time out!"), QColor(Qt::red));
    QCoreApplication::processEvents();
    return false;
}
