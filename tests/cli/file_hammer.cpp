// Runs ending in the same second, squeezed together: saves a log file, a
// result file and a streamed log under one folder, all with the same time,
// at once with the other processes of its kind. Started several times by the
// runner test, which then checks that every file named here holds what this
// process wrote into it.
//
// file-hammer OUT_DIR ISO_TIME: for every line on standard input one round
// of three saves, stamped one second later than the round before, so that
// the processes, released together, meet at the same names. Prints one line
// per save: the path relative to OUT_DIR, "=" (the whole file) or "~" (a
// part of it), and the text in base64; "FAILED <text>" when no file was made.
#include "RunFiles.h"
#include "StreamedLog.h"

#include <QCoreApplication>
#include <QDateTime>

#include <cstdio>

namespace {

void report(const QString &path, char how, const QByteArray &text)
{
    if (path.isEmpty())
        std::printf("FAILED %s\n", text.constData());
    else
        std::printf("%s\t%c\t%s\n", qPrintable(path), how, text.toBase64().constData());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    const QString out = QString::fromLocal8Bit(argv[1]);
    const QDateTime start = QDateTime::fromString(QString::fromLatin1(argv[2]), Qt::ISODate);
    if (!start.isValid())
        return 2;

    const qint64 pid = QCoreApplication::applicationPid();
    char go[8];
    for (int round = 0; std::fgets(go, sizeof go, stdin); ++round) {
        const QDateTime when = start.addSecs(round);
        // Ends in "." so that no text is the start of another.
        const QByteArray id = QByteArray::number(pid) + '.' + QByteArray::number(round) + '.';

        const QByteArray logText = "window log " + id;
        report(RunFiles::saveLog(out, logText, when), '=', logText);

        const QByteArray counts =
            "#PASS: " + QByteArray::number(pid) + "\r\n#FAIL: " + QByteArray::number(round) + "\r\n";
        report(RunFiles::writeResult(out, QStringLiteral("Hammer"), RunFiles::countLines(pid, round), when), '~',
               counts);

        StreamedLog streamed(out);
        const QByteArray line = "runner log " + id;
        streamed.append(line);
        report(streamed.save(when), '=', line);
        std::fflush(stdout);
    }
    return 0;
}
