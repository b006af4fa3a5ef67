#include "testWorker.h"
// Placeholder until chip power control lands.
bool testWorker::powerOnChip() { return false; }
bool testWorker::powerOffChip() { return false; }
