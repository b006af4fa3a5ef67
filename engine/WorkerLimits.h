// Every time limit of the test worker, in milliseconds. The program always
// runs with these defaults; tests shorten them to keep runs quick.
#ifndef WORKERLIMITS_H
#define WORKERLIMITS_H

struct WorkerLimits
{
    int connectMs = 120000;     // TCP connection established
    int writeMs = 10000;        // payload written out
    int echoWaitMs = 40000;     // echo complete
    int registerMs = 30000;     // "CREG: 1" after power-up
    int deregisterMs = 15000;   // "CREG: 0" after AT+CFUN=0
    int reregisterMs = 30000;   // "CREG: 1" after AT+CFUN=1
    int dialBoundMs = 120000;   // a dial that has not connected by then has failed
    int pingStartMs = 30000;    // ping process started
    int pingFinishMs = 30000;   // ping process finished
    int pingDeadlineS = 10;     // ping's own deadline (Linux), well under pingFinishMs
    int sleepWakeMs = 600000;   // powered wait of the sleep-wake case
    int cyclePauseMs = 1000;    // pause before each radio cycle
    int stopLatencyMs = 50;     // longest a wait sleeps before looking at a stop request
};

#endif // WORKERLIMITS_H
