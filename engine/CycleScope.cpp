#include "CycleScope.h"

#include <utility>

CycleScope::Handle CycleScope::add(Undo undo)
{
    m_undo.push_back(std::move(undo));
    return m_undo.size() - 1;
}

void CycleScope::runNow(Handle handle)
{
    if (handle >= m_undo.size() || !m_undo[handle])
        return;
    Undo undo = std::move(m_undo[handle]);
    m_undo[handle] = nullptr;
    undo();
}

void CycleScope::dismiss(Handle handle)
{
    if (handle < m_undo.size())
        m_undo[handle] = nullptr;
}

void CycleScope::unwind()
{
    while (!m_undo.empty()) {
        Undo undo = std::move(m_undo.back());
        m_undo.pop_back();
        if (undo)
            undo();
    }
}
