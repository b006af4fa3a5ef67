// Finds the programs a dial runs (pppd, chat) the same way for the dial and
// for the set-up check. A plain login's PATH on Debian has no /usr/sbin,
// where both live, so the usual system folders are searched after PATH.
#ifndef SYSTEMPROGRAM_H
#define SYSTEMPROGRAM_H

#include <string>
#include <vector>

class SystemProgram
{
public:
    // Searched after PATH, in this order.
    static const std::vector<std::string> &systemFolders();

    // The first regular file called name in PATH's absolute folders, then
    // in folders; empty when there is none. It may not be executable for
    // this user: starting it then says why, and the check names the group.
    static std::string find(const std::string &name, const char *path,
                            const std::vector<std::string> &folders = systemFolders());
    // The same with this process's PATH.
    static std::string find(const std::string &name);
};

#endif // SYSTEMPROGRAM_H
