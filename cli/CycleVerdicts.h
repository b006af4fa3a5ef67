// The verdicts of a run's counted cycles as the runner itself saw them, so
// its report does not depend on a record file that may have stopped short.
// Kept small for runs of days: a passed cycle costs nothing, failed cycles
// are kept as spans of consecutive cycles that failed with the same red
// line (12 bytes per span at most), and each different red line is kept
// once, up to maxLines of them, each cut at maxLineChars characters.
#ifndef CYCLEVERDICTS_H
#define CYCLEVERDICTS_H

#include <QString>
#include <QVector>

class CycleVerdicts
{
public:
    struct Failure
    {
        QString step;
        QString line;
    };

    static constexpr int maxLines = 256;
    static constexpr int maxLineChars = 1000;

    void addPass() { ++m_count; }
    // The step that failed and the red line it logged; either may be empty.
    void addFailure(const QString &step, const QString &line);

    int count() const { return m_count; }
    int failures() const { return m_failures; }
    // How cycle n (from 1) failed, or nullptr when it passed or was not counted.
    const Failure *failureOf(int cycle) const;
    // Spans and different red lines kept, for checking the bounds.
    int spans() const { return m_spans.size(); }
    int lines() const { return m_lines.size(); }

private:
    struct Span
    {
        int first;
        int last;
        int failure; // index into m_lines
    };
    int lineIndex(const QString &step, const QString &line);

    QVector<Span> m_spans; // in cycle order
    QVector<Failure> m_lines;
    int m_count = 0;
    int m_failures = 0;
};

#endif // CYCLEVERDICTS_H
