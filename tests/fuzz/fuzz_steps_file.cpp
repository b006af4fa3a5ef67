// A steps file as the window and the runner read it: any text is either
// refused with one line that names the file and says where, or gives a case
// the worker can run (a cycle, bounded, with the names it promises).
#include "FuzzSupport.h"
#include "StepsFileParser.h"

#include <QSet>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::start(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using FuzzSupport::check;
    QString error;
    const auto file = StepsFileParser::parse(FuzzSupport::bytes(data, size), QStringLiteral("case.yml"), &error);
    if (!file) {
        check(error.startsWith(QLatin1String("case.yml")), "a refusal names the file");
        check(!error.contains(QLatin1Char('\n')), "a refusal is one line");
        return 0;
    }
    check(!file->cycle.empty(), "a cycle has steps");
    check(file->setup.size() + file->cycle.size() <= std::size_t(StepsFileParser::maxSteps), "steps bounded");
    check(!file->tag.isEmpty() && file->tag.size() <= 64, "a tag for the file names");
    for (const QChar c : file->tag)
        check(c.isDigit() || (c.toLatin1() >= 'A' && c.toLatin1() <= 'Z') || (c.toLatin1() >= 'a' && c.toLatin1() <= 'z'),
              "a tag of letters and digits only");
    QSet<QString> names;
    for (const auto &s : file->cycle) {
        check(s.timeoutMs >= 0 && s.timeoutMs <= StepsFileParser::maxTimeMs, "times within a day");
        for (const auto &c : s.captures) {
            check(c.pattern.isValid(), "captures compile");
            check(!names.contains(c.name), "capture names unique");
            names.insert(c.name);
        }
    }
    return 0;
}
