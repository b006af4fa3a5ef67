// Tells a service manager (systemd, Type=notify) how the runner is doing:
// READY=1 once the run is under way, WATCHDOG=1 while the event loop turns,
// STOPPING=1 when the run winds up. Datagrams to the socket that
// $NOTIFY_SOCKET names; without one (a plain start, Windows) it is silent.
#ifndef SERVICENOTIFIER_H
#define SERVICENOTIFIER_H

#include <QByteArray>
#include <QObject>
#include <QTimer>

class ServiceNotifier : public QObject
{
    Q_OBJECT

public:
    // Takes $NOTIFY_SOCKET, $WATCHDOG_USEC and $WATCHDOG_PID out of the
    // environment, so pppd and ping do not inherit them, and starts the
    // watchdog pings when the manager asks for them.
    explicit ServiceNotifier(QObject *parent = nullptr);
    ~ServiceNotifier() override;

    // The period of the WATCHDOG=1 pings, half what the manager allows;
    // 0 when it wants none.
    int watchdogPeriodMs() const { return m_watchdog.isActive() ? m_watchdog.interval() : 0; }

    void ready(const QString &status = QString());
    void stopping();

private:
    void send(const QByteArray &message);

    QByteArray m_address; // the socket's path, or "@name" for the abstract namespace
    int m_socket = -1;
    QTimer m_watchdog;
    bool m_failed = false; // said once on standard error
    bool m_stopping = false;
};

#endif // SERVICENOTIFIER_H
