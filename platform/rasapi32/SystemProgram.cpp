#include "SystemProgram.h"

#include <cstdlib>
#include <sys/stat.h>

namespace {

bool isFile(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

const std::vector<std::string> &SystemProgram::systemFolders()
{
    static const std::vector<std::string> folders{"/usr/local/sbin", "/usr/local/bin", "/usr/sbin",
                                                  "/usr/bin", "/sbin", "/bin"};
    return folders;
}

std::string SystemProgram::find(const std::string &name, const char *path,
                                const std::vector<std::string> &folders)
{
    if (name.empty() || name.find('/') != std::string::npos)
        return name.empty() || !isFile(name) ? std::string() : name;
    std::vector<std::string> dirs;
    // Relative entries (and the empty one, the current folder) would make
    // the program depend on where it was started.
    for (const char *p = path ? path : ""; *p;) {
        const char *end = p;
        while (*end && *end != ':')
            ++end;
        if (*p == '/')
            dirs.emplace_back(p, end);
        p = *end ? end + 1 : end;
    }
    dirs.insert(dirs.end(), folders.begin(), folders.end());
    for (const std::string &dir : dirs) {
        const std::string candidate = dir + "/" + name;
        if (isFile(candidate))
            return candidate;
    }
    return std::string();
}

std::string SystemProgram::find(const std::string &name)
{
    return find(name, std::getenv("PATH"));
}
