#include "BenchOptions.h"

#include <QCommandLineParser>

namespace {

bool toNumber(const QString &text, int min, int max, int *out)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < min || v > max)
        return false;
    *out = v;
    return true;
}

} // namespace

bool BenchOptions::parse(const QStringList &arguments, BenchOptions *out, QString *error,
                         bool *exitNow)
{
    *exitNow = false;
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Virtual test bench for trevalo: the chip's AT port, USB relay boards,\n"
        "the PPP dial-up service and a TCP echo server on 127.0.0.1."));
    const QCommandLineOption help = p.addHelpOption();
    const QCommandLineOption version = p.addVersionOption();
    const QCommandLineOption dir(QStringLiteral("dir"),
                                 QStringLiteral("Runtime folder (default: a fresh one)."),
                                 QStringLiteral("DIR"));
    const QCommandLineOption boards(QStringLiteral("boards"),
                                    QStringLiteral("Relay boards, e.g. BNCH1:2,BNCH2:8."),
                                    QStringLiteral("LIST"), QStringLiteral("BNCH1:2"));
    const QCommandLineOption echoPort(QStringLiteral("echo-port"),
                                      QStringLiteral("Echo server port; 0 picks a free one."),
                                      QStringLiteral("PORT"), QStringLiteral("6805"));
    const QCommandLineOption echoGap(QStringLiteral("echo-gap-ms"),
                                     QStringLiteral("Quiet gap that ends an echo exchange."),
                                     QStringLiteral("MS"), QStringLiteral("10"));
    const QCommandLineOption dialStep(QStringLiteral("dial-step-ms"),
                                      QStringLiteral("Delay between dial progress reports."),
                                      QStringLiteral("MS"), QStringLiteral("40"));
    const QCommandLineOption boot(QStringLiteral("boot-ms"),
                                  QStringLiteral("Power-on until the chip answers commands."),
                                  QStringLiteral("MS"), QStringLiteral("150"));
    const QCommandLineOption reg(QStringLiteral("register-ms"),
                                 QStringLiteral("Boot or radio on until \"+CREG: 1\"."),
                                 QStringLiteral("MS"), QStringLiteral("200"));
    const QCommandLineOption dereg(QStringLiteral("deregister-ms"),
                                   QStringLiteral("Radio off until \"+CREG: 0\"."),
                                   QStringLiteral("MS"), QStringLiteral("50"));
    const QCommandLineOption chips(
        QStringLiteral("chips"),
        QStringLiteral("Chips on the bench (1 to 8), chip k on the k-th channel across the boards."),
        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption powerOn(QStringLiteral("power-on"),
                                     QStringLiteral("Switch every chip's channel on at start."));
    const QCommandLineOption fault(QStringLiteral("fault"),
                                   QStringLiteral("Inject a fault from the start (repeatable)."),
                                   QStringLiteral("NAME=VALUE"));
    const QCommandLineOption parentPid(
        QStringLiteral("parent-pid"),
        QStringLiteral("End when process PID, which started the bench, is gone."),
        QStringLiteral("PID"));
    p.addOptions({dir, boards, echoPort, echoGap, dialStep, boot, reg, dereg, chips, powerOn,
                  fault, parentPid});

    if (!p.parse(arguments)) {
        *error = p.errorText();
        return false;
    }
    if (p.isSet(help) || p.isSet(version)) {
        *exitNow = true;
        if (p.isSet(help))
            p.showHelp(0); // exits
        p.showVersion();   // exits
        return false;
    }
    if (!p.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument: %1").arg(p.positionalArguments().first());
        return false;
    }
    BenchOptions o;
    o.dir = p.value(dir);
    if (!RelayBank::parseBoards(p.value(boards), &o.boards, error))
        return false;
    const struct
    {
        const QCommandLineOption &opt;
        int min, max;
        int *target;
    } numbers[] = {{echoPort, 0, 65535, &o.echoPort},
                   {echoGap, 1, 10000, &o.echoGapMs},
                   {dialStep, 0, 600000, &o.dialStepMs},
                   {boot, 0, 600000, &o.chip.bootMs},
                   {reg, 0, 600000, &o.chip.registerMs},
                   {dereg, 0, 600000, &o.chip.deregisterMs},
                   {chips, 1, 8, &o.chips}};
    for (const auto &n : numbers) {
        if (!toNumber(p.value(n.opt), n.min, n.max, n.target)) {
            *error = QStringLiteral("bad value for --%1: %2")
                         .arg(n.opt.names().first(), p.value(n.opt));
            return false;
        }
    }
    const int channels = RelayBank::channelCount(o.boards);
    if (channels < o.chips) {
        *error = QStringLiteral("%1 chips need %1 relay channels; the boards have %2")
                     .arg(o.chips)
                     .arg(channels);
        return false;
    }
    o.powerOn = p.isSet(powerOn);
    o.faults = p.values(fault);
    if (p.isSet(parentPid)) {
        bool ok = false;
        o.parentPid = p.value(parentPid).toLongLong(&ok);
        if (!ok || o.parentPid < 1 || o.parentPid > 0x7fffffff) {
            *error = QStringLiteral("bad value for --parent-pid: %1").arg(p.value(parentPid));
            return false;
        }
    }
    *out = o;
    return true;
}
