// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal, so a process can end
// cleanly (files saved, folders withdrawn) when it is asked to. The handler
// only writes one byte to a pipe; the work happens in the event loop.
#ifndef SIGNALWATCHER_H
#define SIGNALWATCHER_H

#include <QObject>

class QSocketNotifier;

class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

    bool install();

signals:
    void terminationRequested(int signalNumber);

private:
    void onReadable();

    QSocketNotifier *m_notifier = nullptr;
};

#endif // SIGNALWATCHER_H
