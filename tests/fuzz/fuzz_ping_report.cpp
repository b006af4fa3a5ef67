// The ping probe's reading of what ping printed: the Linux summary line, and
// the replies and average round trip of a Linux or Windows report.
#include "FuzzSupport.h"
#include "PingReport.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::start(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using FuzzSupport::check;
    const QByteArray output = FuzzSupport::bytes(data, size);

    const PingReport::Summary s = PingReport::summary(output);
    check(!s.found || (s.transmitted >= 0 && s.received >= 0 && s.errors >= 0), "summary counts are not negative");
    if (PingReport::everyRequestAnswered(output))
        check(s.found && s.transmitted > 0 && s.received == s.transmitted && s.errors == 0,
              "a pass needs every request answered");

    int replies = -1;
    double rtt = -1;
    PingReport::figures(output, &replies, &rtt);
    check(replies >= -1 && rtt >= -1, "figures are not negative");

    PingReport::looksLikeOption(QString::fromLocal8Bit(output), false);
    PingReport::looksLikeOption(QString::fromLocal8Bit(output), true);
    return 0;
}
