// Dials the virtual bench's modem: op "dial" on a lasting control
// connection, then the bench's "dial" events until the dial connects or
// fails; "hangup" releases it, "dial.status" answers status queries.
#ifndef BENCHDIALBACKEND_H
#define BENCHDIALBACKEND_H

#include "DialBackend.h"
#include "DialRequest.h"

#include <QJsonValue>

#include <mutex>

class BenchDialBackend : public DialBackend
{
public:
    // How long RasDialA waits for the bench to take or refuse the dial.
    static constexpr int kReplyTimeoutMs = 5000;
    // How long a wait for events sleeps before it looks for a hang-up.
    static constexpr int kEventSliceMs = 50;

    explicit BenchDialBackend(DialRequest request);

    void run(RasConnection &connection) override;
    bool queryStatus(RASCONNSTATE *state, DWORD *error) override;

private:
    QJsonValue connId() const;

    const DialRequest m_request;
    mutable std::mutex m_mutex;
    QJsonValue m_conn; // the bench's id of this dial; null until it took it
};

#endif // BENCHDIALBACKEND_H
