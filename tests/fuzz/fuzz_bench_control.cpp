// The virtual bench's control protocol, both ends: the bench reading
// requests line by line and taking their values (faults, relay channels,
// dials), and the client reading replies and bench.json.
#include "FuzzSupport.h"

#include "BenchClient.h"
#include "ControlConnection.h"
#include "DialService.h"
#include "FaultSet.h"
#include "RelayBank.h"

#include <QFile>
#include <QJsonObject>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::start(argc, argv);
    // The client finds bench.json here; nothing listens on its socket.
    qputenv("TREVALO_BENCH", QFile::encodeName(FuzzSupport::scratch()));
    return 0;
}

namespace {

// The bench's request handling for the ops that take values from the
// request, on the same parts the bench uses (its other ops only report).
void handle(const QJsonObject &req, FaultSet &faults, RelayBank &relays, DialService &dials, QObject *owner)
{
    const QString op = req.value(QStringLiteral("op")).toString();
    const QString serial = req.value(QStringLiteral("serial")).toString();
    quint32 status = 0;
    QString error;
    int code = 0, state = 0;
    if (op == QLatin1String("relay.status")) {
        relays.status(serial, &status, &error);
    } else if (op == QLatin1String("relay.set")) {
        const QJsonValue on = req.value(QStringLiteral("on"));
        const QJsonValue channel = req.value(QStringLiteral("channel"));
        if (on.isBool() && channel.isDouble())
            relays.set(serial, channel.toInt(), on.toBool(), &status, &error);
    } else if (op == QLatin1String("dial")) {
        dials.dial(owner, req.value(QStringLiteral("number")).toString(),
                   req.value(QStringLiteral("peer")).toString(), &code);
    } else if (op == QLatin1String("dial.status")) {
        dials.status(req.value(QStringLiteral("conn")).toInt(), &state, &code);
    } else if (op == QLatin1String("hangup")) {
        dials.hangUp(req.value(QStringLiteral("conn")).toInt());
    } else if (op == QLatin1String("fault.set")) {
        const QJsonValue given = req.value(QStringLiteral("faults"));
        if (given.isObject()) {
            const QJsonObject before = faults.values();
            const QJsonObject beforeOwn = faults.chipValues();
            if (!faults.set(given.toObject(), &error, req.value(QStringLiteral("chip")).toInt()))
                FuzzSupport::check(faults.values() == before && faults.chipValues() == beforeOwn,
                                   "a refused fault.set changes nothing");
        }
    } else if (op == QLatin1String("fault.clear")) {
        faults.clear();
    }
    // The bench's command line takes the same texts: --boards, --fault.
    QList<BoardSetup> boards;
    if (req.value(QStringLiteral("boards")).isString())
        RelayBank::parseBoards(req.value(QStringLiteral("boards")).toString(), &boards, &error);
    if (req.value(QStringLiteral("fault")).isString())
        faults.setFromText(req.value(QStringLiteral("fault")).toString(), &error);
}

} // namespace

// The input is what a client sent the bench, handed over in pieces of up to
// 64 bytes; the same bytes are then read as the bench's replies and as
// bench.json.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using FuzzSupport::check;
    const QByteArray input = FuzzSupport::bytes(data, size);

    FaultSet faults(2);
    QList<BoardSetup> boards;
    QString error;
    check(RelayBank::parseBoards(QStringLiteral("BNCH1:2,BNCH2:8"), &boards, &error), "default boards");
    RelayBank relays(boards, 2, &faults);
    DialService dials(&faults, 40, {});
    QObject owner;

    QByteArray buffer;
    for (qsizetype at = 0; at < input.size(); at += 64) {
        buffer.append(input.mid(at, 64));
        QJsonObject req;
        ControlConnection::Line line;
        while ((line = ControlConnection::takeRequest(buffer, &req)) != ControlConnection::Line::None) {
            if (line == ControlConnection::Line::Request)
                handle(req, faults, relays, dials, &owner);
        }
        check(!buffer.contains('\n'), "every whole line taken");
    }
    dials.dropOwner(&owner);

    QByteArray pending = input;
    QJsonObject message;
    int messages = 0;
    while (BenchSession::takeMessage(pending, &message))
        ++messages;
    check(!pending.contains('\n'), "every whole reply line taken");
    check(messages <= input.count('\n'), "no more messages than lines");

    QFile info(FuzzSupport::scratch() + QStringLiteral("/bench.json"));
    check(info.open(QIODevice::WriteOnly | QIODevice::Truncate) && info.write(input) == input.size(), "bench.json written");
    info.close();
    BenchClient::isAvailable();
    BenchClient::atPortPath();
    BenchClient::controlPath();
    return 0;
}
