#include "RecordLineReader.h"

#include <QIODevice>

#include <algorithm>
#include <limits>

namespace {
constexpr qint64 kBlock = 256 * 1024;
} // namespace

RecordLineReader::RecordLineReader(QIODevice *device, qint64 maxLineBytes, qint64 limit, bool skipping)
    : m_device(device), m_maxLine(std::max<qint64>(1, maxLineBytes)),
      m_left(limit < 0 ? std::numeric_limits<qint64>::max() : limit), m_skipping(skipping)
{
}

bool RecordLineReader::fill()
{
    if (m_left <= 0 || !m_device)
        return false;
    // Only the start of an unfinished line is kept: the buffer stays within
    // one line's bound plus a block.
    m_buffer.remove(0, m_pos);
    m_pos = 0;
    const qsizetype had = m_buffer.size();
    const qint64 want = std::min(kBlock, m_left);
    m_buffer.resize(had + qsizetype(want));
    const qint64 got = m_device->read(m_buffer.data() + had, want);
    m_buffer.resize(had + qsizetype(std::max<qint64>(got, 0)));
    if (got <= 0)
        return false;
    m_left -= got;
    return true;
}

bool RecordLineReader::skipToLineEnd()
{
    for (;;) {
        const qsizetype lf = m_buffer.indexOf('\n', m_pos);
        if (lf >= 0) {
            m_consumed += lf + 1 - m_pos;
            m_pos = lf + 1;
            m_skipping = false;
            return true;
        }
        m_consumed += m_buffer.size() - m_pos;
        m_pos = m_buffer.size();
        if (!fill()) {
            m_skipping = true;
            return false;
        }
    }
}

RecordLineReader::Next RecordLineReader::next(QByteArrayView *line)
{
    if (m_skipping && !skipToLineEnd())
        return Next::End;
    qsizetype searched = m_pos;
    for (;;) {
        const qsizetype lf = m_buffer.indexOf('\n', searched);
        if (lf >= 0 && lf - m_pos <= m_maxLine) {
            m_lineStart = m_consumed;
            *line = QByteArrayView(m_buffer.constData() + m_pos, lf - m_pos);
            m_consumed += lf + 1 - m_pos;
            m_pos = lf + 1;
            return Next::Line;
        }
        if (lf >= 0 || m_buffer.size() - m_pos > m_maxLine) {
            m_lineStart = m_consumed;
            skipToLineEnd();
            return Next::Oversized;
        }
        searched = m_buffer.size() - m_pos; // relative: fill() moves the line to the front
        if (!fill()) {
            *line = QByteArrayView(m_buffer.constData() + m_pos, m_buffer.size() - m_pos);
            return line->isEmpty() ? Next::End : Next::Unfinished;
        }
    }
}
