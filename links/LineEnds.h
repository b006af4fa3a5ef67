// Both channels keep what they receive without line ends, so replies are
// compared and searched as one run of text however they were framed.
#ifndef LINEENDS_H
#define LINEENDS_H

#include <QByteArray>

inline QByteArray withoutLineEnds(const QByteArray &data)
{
    QByteArray out;
    out.reserve(data.size());
    for (const char c : data) {
        if (c != '\r' && c != '\n')
            out.append(c);
    }
    return out;
}

#endif // LINEENDS_H
