// trevalo-check: is this machine ready for a real bench? One line per item.
#include "SetupCheck.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("trevalo-check"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Checks the machine for a bench: the AT port, ModemManager, the relay board, pppd and "
        "its peer file, ping. Exit status 0 when everything is ready."));
    parser.addHelpOption();
    const SetupCheck::Options defaults;
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("The chip's AT port."),
                                  QStringLiteral("port"));
    const QCommandLineOption board(QStringLiteral("board"),
                                   QStringLiteral("Serial number of the relay board (default: any)."),
                                   QStringLiteral("serial"));
    const QCommandLineOption peer(QStringLiteral("peer"), QStringLiteral("pppd peer file."),
                                  QStringLiteral("file"), defaults.peerFile);
    const QCommandLineOption pppd(QStringLiteral("pppd"),
                                  QStringLiteral("pppd to check (default: the one on PATH)."),
                                  QStringLiteral("path"));
    const QCommandLineOption ping(QStringLiteral("ping"),
                                  QStringLiteral("ping to check (default: the one on PATH)."),
                                  QStringLiteral("path"));
    parser.addOptions({port, board, peer, pppd, ping});
    parser.process(app);

    SetupCheck::Options options;
    options.port = parser.value(port);
    options.board = parser.value(board);
    options.peerFile = parser.value(peer);
    options.pppd = parser.value(pppd);
    options.ping = parser.value(ping);

    const QList<SetupCheck::Item> items = SetupCheck::run(options);
    QTextStream out(stdout);
    for (const SetupCheck::Item &item : items)
        out << SetupCheck::format(item) << '\n';
    return SetupCheck::allOk(items) ? 0 : 1;
}
