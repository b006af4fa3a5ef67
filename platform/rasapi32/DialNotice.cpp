#include "DialNotice.h"

#include <mutex>

namespace {

// A notice is a few lines per dial; a sweep that finds more says the rest
// in the pppd log category only.
constexpr size_t kMaxChars = 2048;

struct Notice
{
    std::mutex mutex;
    std::string text;
};

// Never destroyed, like the error texts: a dial may still run at exit.
Notice &notice()
{
    static Notice *instance = new Notice;
    return *instance;
}

} // namespace

void DialNotice::forget()
{
    std::lock_guard<std::mutex> lock(notice().mutex);
    notice().text.clear();
}

void DialNotice::add(const std::string &line)
{
    std::lock_guard<std::mutex> lock(notice().mutex);
    std::string &text = notice().text;
    if (text.size() + line.size() + 1 > kMaxChars)
        return;
    if (!text.empty())
        text += '\n';
    text += line;
}

std::string DialNotice::text()
{
    std::lock_guard<std::mutex> lock(notice().mutex);
    return notice().text;
}
