// Reads a steps file (YAML) into a StepsFile, or says in one line what is
// wrong with it and where: "<file>:<line>:<column>: <what>". Everything is
// checked here, before a run switches or dials anything.
#ifndef STEPSFILEPARSER_H
#define STEPSFILEPARSER_H

#include <QByteArray>
#include <QString>

#include <memory>

#include "StepsFile.h"

class StepsFileParser
{
public:
    // A steps file is a page of text; these keep a wrong file (a log, a
    // disk image) from costing memory and time before it is refused.
    static constexpr qint64 maxBytes = 1024 * 1024;
    static constexpr int maxSteps = 1000;
    static constexpr int maxCaptures = 64;
    // The longest time a step may be given: 24 hours.
    static constexpr qint64 maxTimeMs = 24LL * 3600 * 1000;

    // Reads and parses the file at path; null with error set when it cannot be used.
    static std::shared_ptr<const StepsFile> read(const QString &path, QString *error);
    // Parses text as the file fileName holds it (the name is for messages).
    static std::shared_ptr<const StepsFile> parse(const QByteArray &text, const QString &fileName, QString *error);
    // "500ms", "2s", "1.5min", "1h": milliseconds; -1 when not a time.
    static qint64 parseTime(const QString &text);
};

#endif // STEPSFILEPARSER_H
