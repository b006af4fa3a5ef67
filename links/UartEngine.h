// Serial channel to the chip's AT command port. Gathers everything the chip
// sends into one receive buffer without CR and LF, and reports each event
// as one coloured log line.
#ifndef UARTENGINE_H
#define UARTENGINE_H

#include <QByteArray>
#include <QColor>
#include <QObject>
#include <QString>

class QSerialPort;

class UartEngine : public QObject
{
    Q_OBJECT

public:
    explicit UartEngine(QObject *parent = nullptr);
    ~UartEngine() override;

    // Closes the port if open, then opens portName at 115200-8-N-1 style
    // settings with the given baud rate and flow control.
    bool open(const QString &portName, int baudRate, int flowControl);
    // Closes an open port with a log line and a 500 ms settle wait.
    void close();
    // Writes the bytes as they are; true when they left within 1000 ms.
    bool write(const QByteArray &command);
    // Waits up to waitMs (2000 by default) for incoming data.
    bool waitReadyRead(int waitMs = 2000);
    bool isOpen() const;
    // Name of the port of the last successful open.
    QString portName() const { return m_portName; }
    // The port of the last open is no longer usable: closed after a hang-up,
    // or its name now leads elsewhere or nowhere (a USB device that went with
    // its supply and came back as a new one).
    bool isGone() const;
    // Where a port name leads, as the serial port resolves it: a bare name
    // such as "ttyUSB0" (what the port list shows) lies under /dev.
    static QString systemLocation(const QString &portName);
    // Whether the device behind a port name is there now.
    static bool isPresent(const QString &portName);

    // Takes bytes as they came from the port: into the receive buffer and
    // the log.
    void receive(const QByteArray &data);

    // Bytes received since the last clear, CR and LF left out. The link
    // steps clear and search it directly.
    QByteArray m_recvBuffer;

signals:
    void sngLogtext(QString log, QColor qcolor);

private slots:
    void onReadyRead();

private:
    QSerialPort *m_serialPort = nullptr;
    QString m_portName;
    int m_baudRate = 0;
    int m_flowControl = 0;
    quint64 m_device = 0; // the opened device's number, where the system has one
};

#endif // UARTENGINE_H
