// Whole lines of a record file from where its device stands, in blocks and
// with a bound on a line's length: a longer line (or hundreds of megabytes
// with no line feed) is passed over in pieces, never held whole, so memory
// stays at the bound plus one block whatever the file holds.
#ifndef RECORDLINEREADER_H
#define RECORDLINEREADER_H

#include <QByteArray>
#include <QByteArrayView>

class QIODevice;

class RecordLineReader
{
public:
    enum class Next {
        Line,       // a whole line, without its line feed
        Oversized,  // a line over the bound was passed over, to its line feed or to the end of the data
        Unfinished, // what is left, in line, is the start of a line with no line feed yet; not consumed
        End,        // nothing left
    };

    // Reads at most limit bytes (all there is when negative). skipping: the
    // reading starts inside a line already found too long, passed over up to
    // its line feed without being reported again.
    RecordLineReader(QIODevice *device, qint64 maxLineBytes, qint64 limit = -1, bool skipping = false);

    // The line stays valid until the next call.
    Next next(QByteArrayView *line);
    // Bytes consumed: whole lines with their line feeds and bytes passed over.
    qint64 consumed() const { return m_consumed; }
    // Where the line last returned starts, counted like consumed().
    qint64 lineStart() const { return m_lineStart; }
    // The data ended inside a line that is too long.
    bool skipping() const { return m_skipping; }
    // The limit was reached: the data may go on.
    bool atLimit() const { return m_left <= 0; }

private:
    bool fill();
    bool skipToLineEnd();

    QIODevice *m_device;
    qint64 m_maxLine;
    qint64 m_left;
    bool m_skipping;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    qint64 m_consumed = 0;
    qint64 m_lineStart = 0;
};

#endif // RECORDLINEREADER_H
