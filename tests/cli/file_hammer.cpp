// Runs ending in the same second, squeezed together: saves log files, result
// files and streamed logs under one folder with one fixed time, as fast as it
// can. Started several times at once by the runner test, which then checks
// that every file named here holds what this process wrote into it.
//
// file-hammer OUT_DIR ISO_TIME COUNT; starts on a line on standard input.
// Prints one line per file: its path relative to OUT_DIR, "=" (the whole
// file) or "~" (a part of it), and the text in base64; "FAILED <text>" for a
// save that found no file.
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
    if (argc != 4)
        return 2;
    const QString out = QString::fromLocal8Bit(argv[1]);
    const QDateTime when = QDateTime::fromString(QString::fromLatin1(argv[2]), Qt::ISODate);
    const int count = QByteArray(argv[3]).toInt();
    char go[8];
    if (!when.isValid() || !std::fgets(go, sizeof go, stdin))
        return 2;

    const qint64 pid = QCoreApplication::applicationPid();
    for (int i = 0; i < count; ++i) {
        // Ends in "." so that no text is the start of another.
        const QByteArray id = QByteArray::number(pid) + '.' + QByteArray::number(i) + '.';

        const QByteArray logText = "window log " + id;
        report(RunFiles::saveLog(out, logText, when), '=', logText);

        const QByteArray counts = "#PASS: " + QByteArray::number(pid) + "\r\n#FAIL: " + QByteArray::number(i) + "\r\n";
        report(RunFiles::writeResult(out, QStringLiteral("Hammer"), RunFiles::countLines(pid, i), when), '~', counts);

        StreamedLog streamed(out);
        const QByteArray line = "runner log " + id;
        streamed.append(line);
        report(streamed.save(when), '=', line);
    }
    std::fflush(stdout);
    return 0;
}
