// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal, so a process can end
// cleanly (files saved, folders withdrawn) when it is asked to. The handler
// only writes one byte to a pipe; the work happens in the event loop. A
// signal that was ignored when the process started (SIGHUP under nohup)
// is left ignored.
#ifndef SIGNALWATCHER_H
#define SIGNALWATCHER_H

#include <QList>
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
    QList<int> m_watched; // the signals whose handler is ours
};

#endif // SIGNALWATCHER_H
