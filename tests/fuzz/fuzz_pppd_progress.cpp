// The dial's reading of pppd: every line pppd prints while it runs, then
// its exit, turned into the RAS progress the notifier sees.
#include "FuzzSupport.h"
#include "PppdProgress.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::start(argc, argv);
    return 0;
}

namespace {

// What the notifier may be told: progress only forwards, one failure at
// most, and nothing after it.
struct Watch
{
    long lastState = -1;
    bool failed = false;

    void see(const PppdProgress &p, const std::vector<PppdProgress::Report> &reports)
    {
        using FuzzSupport::check;
        for (const PppdProgress::Report &r : reports) {
            check(!failed, "no report after the failure");
            if (r.error != 0) {
                failed = true;
                continue;
            }
            check(long(r.state) > lastState, "progress never goes back");
            lastState = long(r.state);
        }
        check(failed == p.ended(), "a failure is reported exactly when the dial ends");
        check(!(p.connected() && p.ended()), "never connected and ended at once");
    }
};

} // namespace

// The first byte is pppd's end: bit 7 set for a signal, else the exit
// status; bit 6 of the second says whether we hung up. The rest is pppd's
// output, one line per LF.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int end = data[0];
    const int waitStatus = (end & 0x80) ? (end & 0x7f) : ((end & 0x7f) << 8);
    const bool hangUp = (data[1] & 0x40) != 0;
    const std::string output(reinterpret_cast<const char *>(data + 2), size - 2);

    PppdProgress p;
    Watch watch;
    watch.see(p, p.started());
    size_t from = 0;
    while (from <= output.size()) {
        size_t lf = output.find('\n', from);
        if (lf == std::string::npos)
            lf = output.size();
        watch.see(p, p.line(output.substr(from, lf - from)));
        PppdProgress::errorForLine(output.substr(from, lf - from));
        from = lf + 1;
    }
    const std::vector<PppdProgress::Report> last = p.exited(waitStatus, hangUp);
    FuzzSupport::check(!hangUp || last.empty(), "a hang-up we asked for is no failure");
    watch.see(p, last);
    PppdProgress::errorForExitStatus(end);
    return 0;
}
