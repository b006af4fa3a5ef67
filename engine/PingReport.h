// How the ping probe reads the host it is given and the report ping prints.
#ifndef PINGREPORT_H
#define PINGREPORT_H

#include <QByteArray>
#include <QString>

class PingReport
{
public:
    // Whether ping would take the host for an option instead of a host:
    // "-..." everywhere, and on Windows also "/..." ("/t", "/?").
    static bool looksLikeOption(const QString &host, bool windowsPing);

    // The statistics line of a Linux ping, "N packets transmitted,
    // M received[, +K errors], ...".
    struct Summary
    {
        bool found = false;
        int transmitted = 0;
        int received = 0;
        int errors = 0;
    };
    static Summary summary(const QByteArray &output);

    // True only for a readable summary in which every request was answered
    // and no error was reported.
    static bool everyRequestAnswered(const QByteArray &output);

    // The replies received and the average round trip in ms, from a Linux
    // ("4 received", "rtt min/avg/max/mdev = a/b/c/d ms") or Windows
    // ("Received = 4", "Average = 12ms") report; each is left as it is
    // when the report does not show it.
    static void figures(const QByteArray &output, int *replies, double *averageRttMs);
};

#endif // PINGREPORT_H
