#include "PingReport.h"

#include <QRegularExpression>

bool PingReport::looksLikeOption(const QString &host, bool windowsPing)
{
    return host.startsWith(QLatin1Char('-')) || (windowsPing && host.startsWith(QLatin1Char('/')));
}

PingReport::Summary PingReport::summary(const QByteArray &output)
{
    // iputils: "5 packets transmitted, 4 received, +1 errors, 20% packet loss";
    // busybox words the replies "4 packets received".
    static const QRegularExpression line(QStringLiteral(
        "(\\d+) packets transmitted, (\\d+) (?:packets )?received((?:, \\+\\d+ \\w+)*)"));
    static const QRegularExpression errors(QStringLiteral(", \\+(\\d+) errors?\\b"));

    Summary s;
    const QString text = QString::fromLatin1(output);
    QRegularExpressionMatch last;
    for (QRegularExpressionMatchIterator it = line.globalMatch(text); it.hasNext();)
        last = it.next();
    if (!last.hasMatch())
        return s;
    bool okSent = false;
    bool okReceived = false;
    s.transmitted = last.captured(1).toInt(&okSent);
    s.received = last.captured(2).toInt(&okReceived);
    if (!okSent || !okReceived)
        return s; // numbers beyond int: not a report to trust
    const QRegularExpressionMatch e = errors.match(last.captured(3));
    if (e.hasMatch())
        s.errors = qMax(1, e.captured(1).toInt());
    s.found = true;
    return s;
}

bool PingReport::everyRequestAnswered(const QByteArray &output)
{
    const Summary s = summary(output);
    return s.found && s.transmitted > 0 && s.received == s.transmitted && s.errors == 0;
}

void PingReport::figures(const QByteArray &output, int *replies, double *averageRttMs)
{
    static const QRegularExpression received(QStringLiteral("(\\d+) (?:packets )?received|Received = (\\d+)"));
    static const QRegularExpression rtt(QStringLiteral("= [\\d.]+/([\\d.]+)/|Average = (\\d+)ms"));
    const QString text = QString::fromLocal8Bit(output);
    const QRegularExpressionMatch r = received.match(text);
    if (r.hasMatch())
        *replies = (r.captured(1).isEmpty() ? r.captured(2) : r.captured(1)).toInt();
    const QRegularExpressionMatch t = rtt.match(text);
    if (t.hasMatch())
        *averageRttMs = (t.captured(1).isEmpty() ? t.captured(2) : t.captured(1)).toDouble();
}
