// A run report as one self-contained HTML file: inline styles and inline SVG
// charts, no script and nothing fetched (its own policy forbids both), so it
// opens anywhere and can be attached to a bug report. It is also well-formed
// XML, so any XML parser can check it. Every text that comes from the
// records or the logs (a chip's reply included) is escaped.
#ifndef RUNREPORTWRITER_H
#define RUNREPORTWRITER_H

#include <QDateTime>
#include <QString>
#include <QStringView>

class RunReport;

class RunReportWriter
{
public:
    // The whole document.
    static QByteArray html(const RunReport &report, const QDateTime &written = QDateTime::currentDateTime());
    // Writes it whole or not at all; false with a reason when it cannot.
    static bool write(const RunReport &report, const QString &path, QString *error = nullptr);

    // Text made safe for an element or an attribute: markup characters as
    // entities, control characters (which XML cannot carry) as their visible
    // symbols, broken UTF-16 as U+FFFD.
    static QString escaped(QStringView text);
};

#endif // RUNREPORTWRITER_H
