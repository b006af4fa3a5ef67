// Start-up options of the bench, from its command line.
#ifndef BENCHOPTIONS_H
#define BENCHOPTIONS_H

#include "ChipModel.h"
#include "RelayBank.h"

#include <QList>
#include <QString>
#include <QStringList>

struct BenchOptions
{
    QString dir;                 // runtime folder; empty = a fresh one
    QList<BoardSetup> boards;     // default: BNCH1 with 2 channels
    int echoPort = 6805;         // 0 = any free port
    int echoGapMs = 10;          // quiet gap that ends an echo exchange
    int dialStepMs = 40;         // delay between two dial progress reports
    int chips = 1;               // chip k on the k-th channel across the boards
    bool powerOn = false;        // every chip's channel on from the start
    ChipTimings chip;
    QStringList faults;          // "name=value"
    qint64 parentPid = 0;        // end when this process (our parent) is gone; 0 = never

    // Parses the program's arguments; false with *error (or *exitNow for
    // --help / --version, whose text is already printed).
    static bool parse(const QStringList &arguments, BenchOptions *out, QString *error,
                      bool *exitNow);
};

#endif // BENCHOPTIONS_H
