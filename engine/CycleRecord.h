// What one test cycle leaves on record: when it ran, its verdict, where it
// failed and the figures its steps measured. -1 marks a figure not taken.
#ifndef CYCLERECORD_H
#define CYCLERECORD_H

#include <QDateTime>
#include <QString>

struct CycleRecord
{
    int number = 0;
    QDateTime start;
    qint64 startMs = 0; // monotonic
    qint64 separator = 0; // its separator's number in the run
    QString step;       // the step running now
    QString lastRed;    // the latest red line of the cycle
    QString failedStep;
    QString failedLine;
    int rasError = 0;
    int dialUpMs = -1;
    int hangUpMs = -1;
    int pingReplies = -1;
    double pingRttMs = -1;
    int bytesSent = -1;
    int bytesReceived = -1;
    int registerMs = -1;
    int deregisterMs = -1;
    int reregisterMs = -1;
    // Set by the cycle for the loop.
    bool endRunAfterResult = false; // a counted cycle that ends the run
    bool connectionLost = false;    // ... because its connection is gone, said in red
    bool stopCheckAfter = true;     // look at the stop request after the result
    int pauseAfterMs = 0;           // stop-aware pause before the next cycle
};

#endif // CYCLERECORD_H
