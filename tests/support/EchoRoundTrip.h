// One echo round trip without anything around it, for the benchmarks that
// measure what the echo server allows: a payload of 1 to 2047 random capital
// letters, sent and awaited back whole.
#ifndef ECHOROUNDTRIP_H
#define ECHOROUNDTRIP_H

#include <QByteArray>
#include <QRandomGenerator>
#include <QTcpSocket>

// False when the reply differs or stops coming.
inline bool echoRoundTrip(QTcpSocket &socket, QRandomGenerator &rng)
{
    QByteArray payload(1 + int(rng.bounded(2047)), 'x');
    for (char &c : payload)
        c = char('A' + rng.bounded(26));
    socket.write(payload);
    QByteArray back;
    while (back.size() < payload.size() && socket.waitForReadyRead(5000))
        back += socket.readAll();
    return back == payload;
}

#endif // ECHOROUNDTRIP_H
