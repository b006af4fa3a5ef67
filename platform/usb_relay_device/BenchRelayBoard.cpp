#include "BenchRelayBoard.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include "BenchClient.h"
#include "RelayReports.h"

namespace {

// The bitmask of a bench reply, or false when the reply is a failure or
// carries no usable status.
bool replyStatus(const QJsonObject &reply, unsigned int *mask)
{
    if (!reply.value(QStringLiteral("ok")).toBool())
        return false;
    const QJsonValue status = reply.value(QStringLiteral("status"));
    if (!status.isDouble())
        return false;
    const double value = status.toDouble();
    if (value < 0 || value > 0xFFFFFFFFu)
        return false;
    *mask = static_cast<unsigned int>(value);
    return true;
}

} // namespace

BenchRelayBoard::BenchRelayBoard(const std::string &serial, int channels)
    : RelayBoard(serial, channels)
{
}

const char *BenchRelayBoard::pathPrefix()
{
    return "bench:";
}

std::vector<BenchRelayBoard::Listing> BenchRelayBoard::list()
{
    std::vector<Listing> result;
    if (!BenchClient::isAvailable())
        return result;
    const QJsonObject reply = BenchClient::request({{QStringLiteral("op"), QStringLiteral("relay.list")}});
    if (!reply.value(QStringLiteral("ok")).toBool())
        return result;
    const QJsonArray boards = reply.value(QStringLiteral("boards")).toArray();
    for (const QJsonValue &value : boards) {
        const QJsonObject board = value.toObject();
        const QByteArray serial = board.value(QStringLiteral("serial")).toString().toLocal8Bit();
        const int channels = board.value(QStringLiteral("channels")).toInt();
        if (serial.isEmpty() || channels < 1 || channels > RelayReports::MaxChannels)
            continue;
        result.push_back({serial.toStdString(), channels});
    }
    return result;
}

std::unique_ptr<BenchRelayBoard> BenchRelayBoard::open(const std::string &serial, int channels)
{
    // Opening finds the board plugged in; whether it answers is the status
    // query's business, as with a real board.
    for (const Listing &board : list()) {
        if (board.serial == serial)
            return std::unique_ptr<BenchRelayBoard>(new BenchRelayBoard(serial, channels));
    }
    return nullptr;
}

bool BenchRelayBoard::status(unsigned int *mask)
{
    const QJsonObject reply = BenchClient::request({
        {QStringLiteral("op"), QStringLiteral("relay.status")},
        {QStringLiteral("serial"), QString::fromLocal8Bit(serial().c_str())},
    });
    unsigned int value = 0;
    if (!replyStatus(reply, &value))
        return false;
    *mask = value & RelayReports::channelMask(channels());
    return true;
}

bool BenchRelayBoard::setChannel(int channel, bool on)
{
    const QJsonObject reply = BenchClient::request({
        {QStringLiteral("op"), QStringLiteral("relay.set")},
        {QStringLiteral("serial"), QString::fromLocal8Bit(serial().c_str())},
        {QStringLiteral("channel"), channel},
        {QStringLiteral("on"), on},
    });
    unsigned int mask = 0;
    if (!replyStatus(reply, &mask))
        return false;
    const bool isOn = (mask & (1u << (channel - 1))) != 0;
    return isOn == on;
}
