// A test case of the lab's own: the steps of its run set-up and of its
// cycle, each one of the engine's steps with the few fields a file gives
// it. Built by StepsFileParser, run by the worker like a built-in case.
#ifndef STEPSFILE_H
#define STEPSFILE_H

#include <QByteArray>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <vector>

class StepsFile
{
public:
    enum class Kind { PowerOn, PowerOff, OpenPort, ClosePort, At, WaitFor, DialUp, HangUp, Connect, Echo, CloseSocket, Ping, Wait };

    // A named value taken from an AT reply: the first group of the
    // expression (the whole match without one); a number when it reads as one.
    struct Capture
    {
        QString name;
        QRegularExpression pattern;
    };

    struct Step
    {
        Kind kind = Kind::Wait;
        QString name;     // shown in the status bar and on record; empty: the engine's own
        int line = 0;     // from 1, for messages
        QByteArray command; // AT command without its line end; empty for wait_for
        QByteArray expect;  // plain text awaited in the reply
        QRegularExpression expectPattern; // instead of expect when valid
        int timeoutMs = 0;  // at, wait_for, power_on (the port's return), wait
        std::vector<Capture> captures;
        QString recordMs;   // a built-in figure of the cycle record this step's time fills
    };

    // The file's key of a step ("power_on", "at", ...).
    static QString keyOf(Kind kind);
    // The engine's name of a step, as a failed cycle's record names it.
    static QString engineName(Kind kind);
    // The steps file's name of the figures a step may fill (registerMs, ...).
    static const QStringList &recordFigures();

    bool needs(Kind kind) const;
    // What a failed cycle's record may name as its failed step, each once.
    QStringList failedStepNames() const;
    // The set-up opens the AT port before anything else.
    bool opensPortFirst() const { return !setup.empty() && setup.front().kind == Kind::OpenPort; }

    QString path;    // as given
    QString fileName;
    QString sha256;  // of the file's bytes, hex
    QString name;
    QString tag;
    std::vector<Step> setup;
    std::vector<Step> cycle;
    int failedDialsInARow = 0;    // give up after so many failed dial-ups in a row; 0: never
    int failedConnectsInARow = 0; // the same for TCP connections
};

#endif // STEPSFILE_H
