// What a cycle (or a run) has set up and must undo: a socket to close, a
// PPP link to hang up, a relay to switch off. Undo actions run in reverse
// order when the scope ends, unless a path ran or dropped them earlier.
#ifndef CYCLESCOPE_H
#define CYCLESCOPE_H

#include <functional>
#include <vector>

class CycleScope
{
public:
    using Undo = std::function<void()>;
    using Handle = std::size_t;

    CycleScope() = default;
    CycleScope(const CycleScope &) = delete;
    CycleScope &operator=(const CycleScope &) = delete;
    ~CycleScope() { unwind(); }

    Handle add(Undo undo);
    // Runs one undo action now (at most once).
    void runNow(Handle handle);
    // Drops one undo action without running it: the path does it itself.
    void dismiss(Handle handle);
    // Runs what is left, latest first.
    void unwind();

private:
    std::vector<Undo> m_undo;
};

#endif // CYCLESCOPE_H
