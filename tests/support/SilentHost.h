// A loopback address that takes no new connections and refuses none: a
// listener with a full accept queue, so a connection attempt to it hangs
// like one to a host that does not answer.
#ifndef SILENTHOST_H
#define SILENTHOST_H

#include <QtGlobal>
#include <QVector>

class SilentHost
{
public:
    SilentHost();
    ~SilentHost();
    SilentHost(const SilentHost &) = delete;
    SilentHost &operator=(const SilentHost &) = delete;

    quint16 port() const { return m_port; }

private:
    int m_listener = -1;
    QVector<int> m_fillers;
    quint16 m_port = 0;
};

#endif // SILENTHOST_H
