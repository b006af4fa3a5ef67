// What a dial asks for, taken from the caller's RASDIALPARAMSA record, and
// the pppd command line that carries it out.
#ifndef DIALREQUEST_H
#define DIALREQUEST_H

#include "ras.h"

#include <string>
#include <vector>

struct DialRequest
{
    std::string entryName;
    std::string number;
    std::string userName;
    std::string password;

    // Reads the record's text fields; a field without its terminating zero
    // is cut at the field's end rather than read past it.
    static DialRequest fromParams(const RASDIALPARAMSA &params);

    // 0 when the request can be dialled, otherwise the RAS error code.
    DWORD check() const;
    // The entry name is the pppd peer to call (/etc/ppp/peers/<name>), so
    // each modem of the PC dials through its own peer file; without one the
    // peer is "provider".
    std::string peer() const;
    // A name pppd reads as a file in /etc/ppp/peers and never as an option
    // or a path: letters, digits, '.', '_' and '-', starting with a letter,
    // a digit or '_', at most 64 characters.
    static bool isPeerName(const std::string &name);
    // Digits and the dial modifiers * # + , W P T; nothing else reaches the
    // modem or the connect script.
    static bool isDialString(const std::string &number);

    // The connect script pppd runs: chat, by its path, dialling the number.
    std::string chatScript() const;
    // argv for pppd (argv[0] is "pppd"), never passed through a shell.
    std::vector<std::string> pppdArguments() const;
};

#endif // DIALREQUEST_H
