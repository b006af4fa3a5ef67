#include "testWorker.h"
#include "TestSetup.h"
// Placeholder until the radio cases land: they return at once.
bool testWorker::registerNetTest() { return true; }
bool testWorker::sleepWakePppTest() { return true; }
