// The master side of a pseudo-terminal: the chip's end of its AT port. The
// slave device (/dev/pts/N) is what a serial-port client opens. The bench
// keeps a slave descriptor of its own open, so the master never reads EIO
// or hang-up while no client has the port open.
//
// Like a USB modem's port, it can vanish and come back as a new device:
// close() hangs up every client, open() makes a fresh one; a link path,
// when set, always names the current device and is absent in between.
#ifndef PSEUDOTERMINAL_H
#define PSEUDOTERMINAL_H

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

class PseudoTerminal : public QObject
{
    Q_OBJECT

public:
    explicit PseudoTerminal(QObject *parent = nullptr);
    ~PseudoTerminal() override;

    bool open(QString *error);
    // The device is gone: clients see a hang-up, the link disappears.
    void close();
    bool isOpen() const { return m_master >= 0; }
    // Empty while closed.
    QString slavePath() const { return m_slavePath; }
    // A symbolic link kept pointing at the current device; set before open().
    void setLinkPath(const QString &path) { m_linkPath = path; }
    QString linkPath() const { return m_linkPath; }

    // Queues bytes for the client; what the client does not read piles up
    // only to a bound, beyond which the oldest output is lost (an overrun).
    void write(const QByteArray &data);
    // Throws away output the client has not read yet, and bytes not yet sent.
    void discardOutput();
    qint64 overrunBytes() const { return m_overrun; }

signals:
    void received(const QByteArray &data);

private:
    void onReadable();
    void onWritable();
    void flushPending();
    bool updateLink(QString *error);

    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    QString m_linkPath;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QByteArray m_pending;
    qint64 m_overrun = 0;
};

#endif // PSEUDOTERMINAL_H
