// The command line of trevalo-run: what it asks for and whether it can run.
#ifndef RUNOPTIONS_H
#define RUNOPTIONS_H

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <memory>

#include "StepsFile.h"

class RunOptions
{
public:
    // Done: --help or --version printed; Check: --check, the set-up check
    // instead of a run; Report: --from, a report of an earlier run's records.
    enum Outcome { Run, Check, Report, Done, Bad };

    // Parses and checks the arguments; on Bad, error() says why in one line.
    Outcome parse(const QStringList &arguments);
    QString error() const { return m_error; }
    // Removes the folders parse() created, where they are still empty: a
    // run that is refused leaves nothing behind.
    void withdrawFolders();

    // "90m", "36h", "45s", "2d", "500ms" or plain seconds; -1 when unparsable
    // or not above zero.
    static qint64 parseDuration(const QString &text);
    // A result tag (any letter case) or a number 0 to 5; -1 when unknown.
    static int parseCase(const QString &text);

    int caseIndex = -1;
    // --steps: the custom case's file, parsed (caseIndex is TestCases::Custom).
    QString stepsPath;
    std::shared_ptr<const StepsFile> steps;
    QString port;        // empty: the bench's AT port where one runs
    QString board;       // empty: the first board listed
    int channel = 0;     // 0: the settings' relay channel
    QString pppPeer;     // empty: the settings' PppPeer, else provider
    int cycles = 0;      // 0: no limit
    qint64 durationMs = 0;
    int maxFailures = 0;
    QString settingsFile;
    QString outDir;
    QString junitFile;
    QString reportFile;  // --report: the run report, HTML
    QString fromRecords; // --from: the record file of an earlier run to report on
    bool quiet = false;
    QString metricsDir;  // empty: no metrics file
    QString benchName;   // empty: the host name
    // For --check: other files than the usual ones; empty for those.
    QString peerFile;
    QString pppd;
    QString ping;

private:
    Outcome bad(const QString &why);
    // mkpath that remembers what it made.
    bool makeFolder(const QString &folder);
    // The outermost folder of the path that does not exist yet; empty when it does.
    static QString firstMissing(const QString &folder);

    QString m_error;
    QList<QPair<QString, QString>> m_created; // a folder made, and the outermost one made with it
};

#endif // RUNOPTIONS_H
