// The trends window's reading of a record file: read whole, followed while
// it grows, exported as CSV, and read for a run report.
#include "FuzzSupport.h"
#include "RecordsFile.h"
#include "RunReport.h"

#include <QFile>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::start(argc, argv);
    return 0;
}

namespace {

bool write(const QString &path, const QByteArray &bytes, QIODevice::OpenMode mode)
{
    QFile f(path);
    return f.open(mode) && f.write(bytes) == bytes.size() && f.flush();
}

} // namespace

// The first byte says where the file stood when the window first read it;
// the rest is the file's bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using FuzzSupport::check;
    if (size == 0)
        return 0;
    const QByteArray content = FuzzSupport::bytes(data + 1, size - 1);
    const qsizetype cut = qsizetype(data[0]) * content.size() / 256;
    const QString path = FuzzSupport::scratch() + QStringLiteral("/run.jsonl");
    const QString csv = FuzzSupport::scratch() + QStringLiteral("/run.csv");

    check(write(path, content.left(cut), QIODevice::WriteOnly | QIODevice::Truncate), "scratch file written");
    RecordsFile followed;
    check(followed.open(path), "record file opens");
    check(write(path, content.mid(cut), QIODevice::WriteOnly | QIODevice::Append), "scratch file appended");
    followed.readMore();

    // Following a file as it grows must end where reading it whole does.
    RecordsFile whole;
    check(whole.open(path), "record file opens");
    check(followed.cycleCount() == whole.cycleCount(), "same cycles followed as read whole");
    check(followed.passCount() == whole.passCount(), "same passes followed as read whole");
    check(followed.damagedLines() == whole.damagedLines(), "same damaged lines followed as read whole");
    check(followed.oversizedLines() == whole.oversizedLines(), "same oversized lines followed as read whole");
    check(followed.unfinishedLastLine() == whole.unfinishedLastLine(), "same unfinished line followed as read whole");
    check(followed.run() == whole.run() && followed.end() == whole.end(), "same run and end followed as read whole");
    check(followed.lastCycle().number == whole.lastCycle().number, "same last cycle followed as read whole");
    check(whole.passCount() >= 0 && whole.passCount() <= whole.cycleCount(), "passes within the cycles");
    // Reading the shown run again as a stretch, from its first cycle (the
    // file's last run: earlier runs are left out), gives the same summary.
    const std::vector<CycleSummary::Bucket> &buckets = whole.summary().buckets();
    CycleSummary again;
    if (!buckets.empty() && whole.readStretch(buckets.front().offset, whole.offset(), &again))
        check(again.cycles() == whole.cycleCount() && again.passes() == whole.passCount(), "stretch read as whole");
    whole.warning();

    // The report is of the run the window shows.
    RunReport report;
    check(report.read(path), "report reads the file");
    check(report.run() == whole.run(), "report and window show the same run");
    check(report.passes() >= 0 && report.passes() <= report.cycles(), "report's passes within its cycles");
    report.problems();

    QString error;
    RecordsFile::exportCsv(path, csv, &error);
    return 0;
}
