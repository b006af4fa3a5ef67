// The texts behind RAS error codes. A back-end that knows more about a
// failure than its code (pppd's own last words) leaves that here, and
// RasGetErrorStringA gives it for the code until the next dial starts.
#ifndef RASERRORTEXT_H
#define RASERRORTEXT_H

#include "ras.h"

#include <string>

class RasErrorText
{
public:
    // The failure's own reason for code, from any thread.
    static void note(DWORD code, const std::string &reason);
    // A new dial: reasons of earlier ones no longer apply.
    static void forget();
    // The noted reason when it is for code, else the code's usual text;
    // empty for a code this layer never reports.
    static std::string text(DWORD code);
};

#endif // RASERRORTEXT_H
