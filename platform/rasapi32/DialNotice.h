// What the start of the last dial did besides dialling (a leftover pppd it
// ended, a process holding the modem's port), for RasGetDialNoticeA.
#ifndef DIALNOTICE_H
#define DIALNOTICE_H

#include <string>

class DialNotice
{
public:
    // A new dial: earlier notices no longer apply.
    static void forget();
    // Adds one line, from any thread.
    static void add(const std::string &line);
    // The lines of the last dial, one per line feed; empty when none.
    static std::string text();
};

#endif // DIALNOTICE_H
