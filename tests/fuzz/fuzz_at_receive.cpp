// The AT port's receive path: bytes from the chip, in pieces of any size,
// into the receive buffer and the log, and the reply search of the
// register network test on that buffer.
#include "FuzzSupport.h"
#include "UartEngine.h"

#include "LineEnds.h"

#include <QColor>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::start(argc, argv);
    return 0;
}

// The first byte picks how the rest is cut into pieces, as a serial port
// hands over whatever has arrived.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using FuzzSupport::check;
    if (size == 0)
        return 0;
    const unsigned cut = data[0];
    const QByteArray stream = FuzzSupport::bytes(data + 1, size - 1);

    UartEngine uart; // never opened: no device is touched
    qsizetype logged = 0;
    QObject::connect(&uart, &UartEngine::sngLogtext, [&logged](const QString &line, const QColor &) {
        logged += line.size();
    });
    int pieces = 0;
    for (qsizetype at = 0; at < stream.size(); ++pieces) {
        const qsizetype n = 1 + (cut + unsigned(pieces) * 7u) % 32u;
        uart.receive(stream.mid(at, n));
        at += n;
    }

    // However the bytes were cut, the buffer is the whole stream without
    // line ends, so a reply split over two reads is still found.
    const QByteArray whole = withoutLineEnds(stream);
    check(uart.m_recvBuffer == whole, "receive buffer holds every byte but CR and LF");
    check(!uart.m_recvBuffer.contains('\r') && !uart.m_recvBuffer.contains('\n'), "no line ends kept");
    for (const char *reply : {"CREG: 1", "CREG: 0"})
        check(uart.m_recvBuffer.contains(reply) == whole.contains(reply), "reply found whatever the pieces");
    check(logged <= stream.size() * 2, "log lines no longer than what came");
    return 0;
}
