#include "UartEngine.h"

#include "LineEnds.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

const int kWriteWaitMs = 1000;
const int kSettleMs = 500;

// The device number behind a port name, 0 when there is none.
quint64 deviceOf(const QString &portName)
{
#ifdef Q_OS_UNIX
    struct stat st;
    if (::stat(QFile::encodeName(UartEngine::systemLocation(portName)).constData(), &st) == 0 && S_ISCHR(st.st_mode))
        return quint64(st.st_rdev) + 1; // never 0, even for device 0:0
#else
    Q_UNUSED(portName);
#endif
    return 0;
}

} // namespace

UartEngine::UartEngine(QObject *parent)
    : QObject(parent)
    , m_serialPort(new QSerialPort(this))
{
    connect(m_serialPort, &QSerialPort::readyRead, this, &UartEngine::onReadyRead);
    // A port whose device vanished (unplugged adapter, hung-up terminal)
    // reports the same error on every poll and would keep this thread
    // busy: close it, with the usual line, so later writes fail cleanly.
    connect(m_serialPort, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        if ((error == QSerialPort::ResourceError || error == QSerialPort::ReadError) && m_serialPort->isOpen()) {
            emit sngLogtext(QStringLiteral("Close port %1").arg(m_portName), QColor(Qt::yellow));
            m_serialPort->close();
        }
    });
}

UartEngine::~UartEngine()
{
    close();
}

bool UartEngine::open(const QString &portName, int baudRate, int flowControl)
{
    close();

    m_serialPort->setPortName(portName);
    if (!m_serialPort->open(QIODevice::ReadWrite)) {
        emit sngLogtext(QStringLiteral("Failed to open %1").arg(portName), QColor(Qt::yellow));
        return false;
    }

    m_portName = portName;
    m_device = deviceOf(portName);
    m_baudRate = baudRate;
    m_flowControl = flowControl;
    m_serialPort->setBaudRate(m_baudRate, QSerialPort::AllDirections);
    m_serialPort->setDataBits(QSerialPort::Data8);
    m_serialPort->setParity(QSerialPort::NoParity);
    m_serialPort->setStopBits(QSerialPort::OneStop);
    m_serialPort->setFlowControl(static_cast<QSerialPort::FlowControl>(m_flowControl));

    emit sngLogtext(QStringLiteral("Open port %1 sucessfully!").arg(portName), QColor(Qt::yellow));
    QCoreApplication::processEvents();
    return true;
}

bool UartEngine::isGone() const
{
    if (m_portName.isEmpty())
        return false; // never opened: nothing can have gone
    if (!m_serialPort->isOpen())
        return true;
    return m_device != 0 && deviceOf(m_portName) != m_device;
}

QString UartEngine::systemLocation(const QString &portName)
{
#if defined(Q_OS_WIN)
    return portName.startsWith(QLatin1String("\\\\.\\")) ? portName : QStringLiteral("\\\\.\\") + portName;
#else
    // Paths stay as they are; anything else is a device name.
    if (portName.startsWith(QLatin1Char('/')) || portName.startsWith(QLatin1String("./"))
        || portName.startsWith(QLatin1String("../")))
        return portName;
    return QStringLiteral("/dev/") + portName;
#endif
}

bool UartEngine::isPresent(const QString &portName)
{
    if (portName.isEmpty())
        return false;
#if defined(Q_OS_WIN)
    // COM ports are no files: only the system's list knows them.
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        if (info.portName().compare(portName, Qt::CaseInsensitive) == 0
            || info.systemLocation().compare(portName, Qt::CaseInsensitive) == 0)
            return true;
    return false;
#else
    return QFileInfo::exists(systemLocation(portName));
#endif
}

void UartEngine::close()
{
    if (!m_serialPort->isOpen())
        return;

    emit sngLogtext(QStringLiteral("Close port %1").arg(m_portName), QColor(Qt::yellow));
    QCoreApplication::processEvents();
    m_serialPort->close();

    // Give the driver and the device time to settle before the port is
    // reopened. A local event loop keeps this thread's events flowing
    // without spinning; the timer runs on the monotonic clock, so midnight
    // cannot cut the wait short.
    QEventLoop settle;
    QTimer::singleShot(kSettleMs, Qt::PreciseTimer, &settle, &QEventLoop::quit);
    settle.exec();
}

bool UartEngine::write(const QByteArray &command)
{
    m_serialPort->write(command.constData(), command.size());
    if (m_serialPort->waitForBytesWritten(kWriteWaitMs))
        return true;

    emit sngLogtext(QStringLiteral("Write AT command failed!"), QColor(Qt::red));
    QCoreApplication::processEvents();
    return false;
}

bool UartEngine::waitReadyRead(int waitMs)
{
    return m_serialPort->waitForReadyRead(waitMs);
}

bool UartEngine::isOpen() const
{
    return m_serialPort->isOpen();
}

void UartEngine::onReadyRead()
{
    const qint64 n = m_serialPort->bytesAvailable();
    if (n <= 0)
        return;

    receive(m_serialPort->read(n));
}

void UartEngine::receive(const QByteArray &data)
{
    m_recvBuffer.append(withoutLineEnds(data));
    // The log shows the chunk up to a NUL byte; the buffer keeps all of it.
    emit sngLogtext(QString::fromLocal8Bit(data.constData()), QColor(Qt::yellow));
    QCoreApplication::processEvents();
}
