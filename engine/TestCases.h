// The six test cases: selector text and result-file tag by case index.
#ifndef TESTCASES_H
#define TESTCASES_H

#include <QString>

namespace TestCases {

constexpr int Count = 6;

enum Index {
    PppCall = 0,
    ExternalShortShort = 1,
    ExternalLongShort = 2,
    ExternalLongLong = 3,
    RegisterNet = 4,
    SleepWakePpp = 5,
    // After the six: a case of the lab's own from a steps file.
    Custom = 6
};

// "PPP dial-up test", ..., "Custom test" for 6; empty for an index outside 0 to 6.
QString selectorText(int caseIndex);
// "PPPCallTest", ... ; empty for an index outside 0 to 5.
QString resultTag(int caseIndex);
// Cases 4 and 5 switch the chip's supply through a relay board.
inline bool needsRelay(int caseIndex) { return caseIndex == RegisterNet || caseIndex == SleepWakePpp; }
// Every case but the register network test dials PPP.
inline bool dials(int caseIndex) { return caseIndex >= 0 && caseIndex < Count && caseIndex != RegisterNet; }

} // namespace TestCases

#endif // TESTCASES_H
