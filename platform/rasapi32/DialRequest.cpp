#include "DialRequest.h"

#include "SystemProgram.h"

#include <cstring>

namespace {

template <size_t N>
std::string fieldText(const CHAR (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

} // namespace

DialRequest DialRequest::fromParams(const RASDIALPARAMSA &params)
{
    DialRequest request;
    request.entryName = fieldText(params.szEntryName);
    request.number = fieldText(params.szPhoneNumber);
    request.userName = fieldText(params.szUserName);
    request.password = fieldText(params.szPassword);
    return request;
}

bool DialRequest::isDialString(const std::string &number)
{
    if (number.empty())
        return false;
    for (const char c : number) {
        const bool digit = c >= '0' && c <= '9';
        if (!digit && std::strchr("*#+,WPT", c) == nullptr)
            return false;
    }
    return true;
}

bool DialRequest::isPeerName(const std::string &name)
{
    if (name.empty() || name.size() > 64 || name.find("..") != std::string::npos)
        return false;
    const auto alnum = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    };
    if (!alnum(name[0]) && name[0] != '_')
        return false;
    for (const char c : name) {
        if (!alnum(c) && c != '.' && c != '_' && c != '-')
            return false;
    }
    return true;
}

std::string DialRequest::peer() const
{
    return entryName.empty() ? std::string("provider") : entryName;
}

DWORD DialRequest::check() const
{
    // The phonebook here is pppd's folder of peer files.
    if (!entryName.empty() && !isPeerName(entryName))
        return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    if (!isDialString(number))
        return ERROR_INVALID_PARAMETER;
    return 0;
}

std::string DialRequest::chatScript() const
{
    // pppd hands this line to /bin/sh; the number is quoted and has been
    // checked to hold dial characters only, so '*' cannot glob and '#'
    // cannot start a comment. chat is named by its path: it lives in
    // /usr/sbin, which the shell's PATH may lack. A path with a character
    // the shell would read is left to the shell's search instead.
    std::string chat = SystemProgram::find("chat");
    if (chat.empty() || chat.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+")
                            != std::string::npos)
        chat = "chat";
    return chat + " -v ABORT BUSY ABORT 'NO CARRIER' ABORT 'NO DIALTONE' ABORT ERROR"
           " '' ATZ OK 'ATD" + number + "' CONNECT ''";
}

std::vector<std::string> DialRequest::pppdArguments() const
{
    // The peer file comes first so that the options after it win over
    // whatever it says: stay in the foreground with the log on stdout, dial
    // once and give up on the first failure instead of redialling.
    std::vector<std::string> args{"pppd",    "call", peer(),    "nodetach",  "nopersist",
                                  "maxfail", "1",    "connect", chatScript()};
    if (!userName.empty()) {
        args.push_back("user");
        args.push_back(userName);
    }
    if (!password.empty()) {
        args.push_back("password");
        args.push_back(password);
    }
    return args;
}
