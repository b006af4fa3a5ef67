#include "TestCases.h"

namespace TestCases {

namespace {
struct Row
{
    const char *selector;
    const char *tag;
};

// Row order is the case selector's order; the window stores the row index.
constexpr Row rows[Count] = {
    {"PPP dial-up test", "PPPCallTest"},
    {"External short-short connection test", "ExternalShortShortTest"},
    {"External long-short connection test", "ExternalLongShortTest"},
    {"External long-long connection test", "ExternalLongLongTest"},
    {"Register network test", "RegisterNetTest"},
    {"Sleep-wake PPP test", "SleepWakePPPTest"},
};
} // namespace

QString selectorText(int caseIndex)
{
    if (caseIndex == Custom)
        return QStringLiteral("Custom test");
    if (caseIndex < 0 || caseIndex >= Count)
        return QString();
    return QString::fromLatin1(rows[caseIndex].selector);
}

QString resultTag(int caseIndex)
{
    if (caseIndex < 0 || caseIndex >= Count)
        return QString();
    return QString::fromLatin1(rows[caseIndex].tag);
}

} // namespace TestCases
