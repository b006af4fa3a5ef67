#include "RunReportWriter.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QObject>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

#include "RunReport.h"
#include "TestCases.h"

namespace {

using Figure = RunReport::Figure;

const char *const kStyle = R"(
body { font: 14px/1.4 sans-serif; margin: 24px; color: #222; max-width: 1000px; }
h1 { font-size: 22px; margin: 0 0 4px; }
h2 { font-size: 17px; border-bottom: 1px solid #ccc; padding-bottom: 2px; margin-top: 28px; }
table { border-collapse: collapse; margin: 6px 0; }
td, th { border: 1px solid #ddd; padding: 3px 8px; text-align: left; vertical-align: top; }
th { background: #f3f3f3; }
td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; }
.problems { background: #fff1f0; border: 1px solid #e0a0a0; padding: 6px 12px 6px 28px; }
.problems li { color: #a00000; }
.counts span { display: inline-block; margin-right: 22px; font-weight: bold; font-size: 16px; }
.counts .fail { color: #c00000; }
.red { color: #c00000; }
.bar { background: #c00000; height: 10px; display: inline-block; }
pre.log { background: #111; color: #eee; padding: 6px; font-size: 12px; white-space: pre-wrap; word-break: break-all; margin: 4px 0 14px; }
pre.log .red { color: #ff5050; font-weight: bold; background: #401010; }
.note { color: #666; font-size: 12px; }
svg { display: block; margin: 6px 0; }
svg text { font: 11px sans-serif; fill: #333; }
)";

constexpr int kExcerptLineChars = 300;

const char *const kColours[RunReport::FigureCount] = {"#1f6fd1", "#2a9d3a", "#1f6fd1", "#e07b00", "#2a9d3a"};

QString esc(const QString &text)
{
    return RunReportWriter::escaped(text);
}

QString seconds(double ms)
{
    return ms < 0 ? QStringLiteral("-") : QString::number(ms / 1000.0, 'f', 3) + QStringLiteral(" s");
}

QString length(qint64 ms)
{
    const qint64 s = ms / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg((s / 60) % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString orUnknown(const QString &text, const QString &unknown = QObject::tr("not on record"))
{
    return text.isEmpty() ? QStringLiteral("<span class=\"note\">%1</span>").arg(esc(unknown)) : esc(text);
}

QString caseName(const QString &tag)
{
    for (int i = 0; i < TestCases::Count; ++i)
        if (TestCases::resultTag(i) == tag)
            return QStringLiteral("%1 (%2)").arg(TestCases::selectorText(i), tag);
    return tag;
}

// A number of the chart's axis: 1, 2 or 5 times a power of ten, at least v.
double niceCeil(double v)
{
    if (v <= 0)
        return 1;
    const double p = std::pow(10.0, std::floor(std::log10(v)));
    for (const double m : {1.0, 2.0, 5.0, 10.0})
        if (m * p >= v)
            return m * p;
    return 10 * p;
}

QString num(double v)
{
    return QString::number(v, 'f', 1);
}

// The lowest and highest time per column as a band, the failed cycles as
// red marks under the axis.
QString timeChart(const RunReport &report, const QList<Figure> &figures, const QString &id)
{
    const std::vector<RunReport::Column> &cols = report.columns();
    constexpr double W = 960, H = 240, left = 58, right = 12, top = 26, bottom = 40;
    const double pw = W - left - right;
    const double ph = H - top - bottom;
    double highest = 0;
    for (const RunReport::Column &c : cols)
        for (const Figure f : figures)
            highest = std::max(highest, double(c.high[std::size_t(f)]));
    const double yTop = niceCeil(highest / 1000.0 * 1.05);
    const auto x = [&](std::size_t i) { return left + (double(i) + 0.5) * pw / double(std::max<std::size_t>(1, cols.size())); };
    const auto y = [&](double ms) { return top + ph - std::min(1.0, ms / 1000.0 / yTop) * ph; };

    QString s = QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"%1\" width=\"%2\" height=\"%3\" "
                               "viewBox=\"0 0 %2 %3\" role=\"img\">\n")
                    .arg(id)
                    .arg(W)
                    .arg(H);
    s += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"#fafafa\" stroke=\"#bbb\"/>\n")
             .arg(left).arg(top).arg(pw).arg(ph);
    for (int t = 0; t <= 4; ++t) {
        const double v = yTop * t / 4;
        const double ty = top + ph - ph * t / 4;
        s += QStringLiteral("<line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%2\" stroke=\"#e4e4e4\"/>"
                            "<text x=\"%4\" y=\"%5\" text-anchor=\"end\">%6 s</text>\n")
                 .arg(left).arg(num(ty)).arg(left + pw).arg(left - 4).arg(num(ty + 4)).arg(v, 0, 'g', 4);
    }
    if (!cols.empty()) {
        const auto label = [&](std::size_t i, int number, const char *anchor) {
            s += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"%3\">%4</text>\n")
                     .arg(num(x(i))).arg(H - bottom + 22).arg(QLatin1String(anchor)).arg(number);
        };
        label(0, cols.front().first, "start");
        if (cols.size() > 2)
            label(cols.size() / 2, cols[cols.size() / 2].first, "middle");
        label(cols.size() - 1, cols.back().last, "end");
        s += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"middle\">%3</text>\n")
                 .arg(left + pw / 2).arg(H - 4).arg(esc(QObject::tr("cycle")));
    }
    const double colWidth = std::max(1.0, pw / double(std::max<std::size_t>(1, cols.size())));
    for (std::size_t i = 0; i < cols.size(); ++i)
        if (cols[i].failed > 0)
            s += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"6\" fill=\"#d00000\"/>\n")
                     .arg(num(x(i) - colWidth / 2)).arg(top + ph + 2).arg(num(colWidth));

    double legendX = left;
    for (const Figure f : figures) {
        QString upper;
        QStringList lower; // right to left, to close the band
        QString single;
        int points = 0;
        for (std::size_t i = 0; i < cols.size(); ++i) {
            const float hi = cols[i].high[std::size_t(f)];
            if (hi < 0)
                continue;
            upper += QStringLiteral("%1,%2 ").arg(num(x(i)), num(y(hi)));
            lower << QStringLiteral("%1,%2").arg(num(x(i)), num(y(cols[i].low[std::size_t(f)])));
            single = QStringLiteral("cx=\"%1\" cy=\"%2\"").arg(num(x(i)), num(y(hi)));
            ++points;
        }
        const QString colour = QLatin1String(kColours[f]);
        if (points == 1) {
            s += QStringLiteral("<circle %1 r=\"3\" fill=\"%2\"/>\n").arg(single, colour);
        } else if (points > 1) {
            s += QStringLiteral("<polygon points=\"%1%2\" fill=\"%3\" fill-opacity=\"0.25\" stroke=\"none\"/>\n")
                     .arg(upper, QStringList(lower.crbegin(), lower.crend()).join(QLatin1Char(' ')), colour);
            s += QStringLiteral("<polyline points=\"%1\" fill=\"none\" stroke=\"%2\" stroke-width=\"1\"/>\n")
                     .arg(upper.trimmed(), colour);
        }
        s += QStringLiteral("<rect x=\"%1\" y=\"8\" width=\"10\" height=\"10\" fill=\"%2\"/>"
                            "<text x=\"%3\" y=\"17\">%4</text>\n")
                 .arg(num(legendX)).arg(colour).arg(num(legendX + 14)).arg(esc(RunReport::figureName(f)));
        legendX += 40 + 7 * RunReport::figureName(f).size();
    }
    s += QStringLiteral("<rect x=\"%1\" y=\"8\" width=\"10\" height=\"10\" fill=\"#d00000\"/>"
                        "<text x=\"%2\" y=\"17\">%3</text>\n")
             .arg(num(legendX)).arg(num(legendX + 14)).arg(esc(QObject::tr("failed cycles")));
    s += QStringLiteral("</svg>\n");
    return s;
}

QString hourChart(const std::array<qint64, 24> &hours)
{
    constexpr double W = 960, H = 170, left = 40, top = 16, bottom = 24;
    const double ph = H - top - bottom;
    const double slot = (W - left) / 24;
    const qint64 most = std::max<qint64>(1, *std::max_element(hours.begin(), hours.end()));
    QString s = QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"chart-hours\" width=\"%1\" height=\"%2\" "
                               "viewBox=\"0 0 %1 %2\" role=\"img\">\n").arg(W).arg(H);
    s += QStringLiteral("<line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%2\" stroke=\"#999\"/>\n").arg(left).arg(top + ph).arg(W);
    for (int h = 0; h < 24; ++h) {
        const double bh = ph * double(hours[std::size_t(h)]) / double(most);
        const double bx = left + h * slot;
        s += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"#d00000\"/>")
                 .arg(num(bx + 3)).arg(num(top + ph - bh)).arg(num(slot - 6)).arg(num(bh));
        s += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"middle\">%3</text>")
                 .arg(num(bx + slot / 2)).arg(H - 8).arg(h, 2, 10, QLatin1Char('0'));
        if (hours[std::size_t(h)] > 0)
            s += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"middle\">%3</text>")
                     .arg(num(bx + slot / 2)).arg(num(top + ph - bh - 3)).arg(hours[std::size_t(h)]);
        s += QLatin1Char('\n');
    }
    s += QStringLiteral("</svg>\n");
    return s;
}

QString jsonText(const QJsonValue &v)
{
    switch (v.type()) {
    case QJsonValue::String:
        return v.toString();
    case QJsonValue::Bool:
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Double:
        return QString::number(v.toDouble(), 'g', 15);
    case QJsonValue::Array:
        return QString::fromUtf8(QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact));
    case QJsonValue::Object:
        return QString::fromUtf8(QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact));
    default:
        return QString();
    }
}

QString cut(const QString &text)
{
    return text.size() <= RunReport::kMaxTextChars ? text : text.left(RunReport::kMaxTextChars) + QStringLiteral("\u2026");
}

} // namespace

QString RunReportWriter::escaped(QStringView text)
{
    QString out;
    out.reserve(text.size() + 16);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const char16_t u = c.unicode();
        switch (u) {
        case '&':
            out += QLatin1String("&amp;");
            continue;
        case '<':
            out += QLatin1String("&lt;");
            continue;
        case '>':
            out += QLatin1String("&gt;");
            continue;
        case '"':
            out += QLatin1String("&quot;");
            continue;
        case '\'':
            out += QLatin1String("&#39;");
            continue;
        default:
            break;
        }
        if (u < 0x20 || u == 0x7f) {
            // U+2400.. shows a control character; XML may not carry it.
            out += QChar(char16_t(u == 0x7f ? 0x2421 : 0x2400 + u));
        } else if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            out += c;
            out += text[++i];
        } else if (c.isSurrogate() || u == 0xfffe || u == 0xffff) {
            out += QChar(QChar::ReplacementCharacter);
        } else {
            out += c;
        }
    }
    return out;
}

QByteArray RunReportWriter::html(const RunReport &report, const QDateTime &written)
{
    const QJsonObject &run = report.run();
    const QJsonObject &end = report.end();
    const QString tag = run.value(QStringLiteral("case")).toString();
    QString h;
    h.reserve(64 * 1024);
    h += QStringLiteral("<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\">\n<head>\n"
                        "<meta charset=\"utf-8\"/>\n"
                        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\"/>\n");
    h += QStringLiteral("<title>%1</title>\n<style>%2</style>\n</head>\n<body>\n")
             .arg(esc(QObject::tr("trevalo run report: %1 %2").arg(tag, run.value(QStringLiteral("start")).toString())),
                  QString::fromLatin1(kStyle));
    h += QStringLiteral("<h1>%1</h1>\n").arg(esc(QObject::tr("Run report: %1").arg(tag.isEmpty() ? QObject::tr("unknown case") : caseName(tag))));
    h += QStringLiteral("<p class=\"note\">%1</p>\n")
             .arg(esc(QObject::tr("From %1, written %2").arg(QFileInfo(report.path()).fileName(),
                                                             written.toString(Qt::ISODate))));

    const QStringList problems = report.problems();
    if (!problems.isEmpty()) {
        h += QStringLiteral("<ul class=\"problems\" id=\"problems\">\n");
        for (const QString &p : problems)
            h += QStringLiteral("<li>%1</li>\n").arg(esc(p));
        h += QStringLiteral("</ul>\n");
    }

    // The run's facts.
    bool atLeast = false;
    const qint64 lengthMs = report.lengthMs(&atLeast);
    QString endText = esc(end.value(QStringLiteral("end")).toString());
    if (endText.isEmpty())
        endText = report.lastCycleEnd().isEmpty()
                      ? orUnknown(QString())
                      : esc(QObject::tr("not on record; the last cycle on record ended %1").arg(report.lastCycleEnd()));
    const QString reason = end.value(QStringLiteral("reason")).toString();
    const QList<std::pair<QString, QString>> facts = {
        {QStringLiteral("case"), orUnknown(tag.isEmpty() ? QString() : caseName(tag))},
        {QStringLiteral("bench"), orUnknown(run.value(QStringLiteral("bench")).toString())},
        {QStringLiteral("port"), orUnknown(run.value(QStringLiteral("port")).toString(), QObject::tr("none"))},
        {QStringLiteral("board"), orUnknown(run.value(QStringLiteral("board")).toString(), QObject::tr("none"))},
        {QStringLiteral("version"), orUnknown(run.value(QStringLiteral("version")).toString())},
        {QStringLiteral("start"), orUnknown(run.value(QStringLiteral("start")).toString())},
        {QStringLiteral("end"), endText},
        {QStringLiteral("length"), lengthMs < 0 ? orUnknown(QString())
                                                : esc((atLeast ? QObject::tr("at least ") : QString()) + length(lengthMs))},
        {QStringLiteral("reason"), report.inProgress() && reason.isEmpty() ? esc(QObject::tr("still running"))
                                                                            : orUnknown(reason)},
    };
    const QStringList factNames = {QObject::tr("Case"),    QObject::tr("Bench"), QObject::tr("Port"),
                                   QObject::tr("Board"),   QObject::tr("Version"), QObject::tr("Start"),
                                   QObject::tr("End"),     QObject::tr("Length"), QObject::tr("End reason")};
    h += QStringLiteral("<h2>%1</h2>\n<table id=\"facts\">\n").arg(esc(QObject::tr("Run")));
    for (int i = 0; i < facts.size(); ++i)
        h += QStringLiteral("<tr><th>%1</th><td id=\"fact-%2\">%3</td></tr>\n")
                 .arg(esc(factNames.at(i)), facts.at(i).first, facts.at(i).second);
    h += QStringLiteral("</table>\n");

    // The counts as the window shows them.
    const QStringList counts = report.countTexts(); // Total, PASS, FAIL, FPY
    const QString avgDial = report.averageDialUp();
    const QString avgHang = report.averageHangUp();
    h += QStringLiteral("<h2>%1</h2>\n<p class=\"counts\">").arg(esc(QObject::tr("Counts")));
    const char *const countIds[] = {"count-total", "count-pass", "count-fail", "count-fpy"};
    for (int i = 0; i < counts.size() && i < 4; ++i)
        h += QStringLiteral("<span id=\"%1\"%2>%3</span>")
                 .arg(QLatin1String(countIds[i]), i == 2 && report.failures() > 0 ? QStringLiteral(" class=\"fail\"") : QString(),
                      esc(counts.at(i)));
    h += QStringLiteral("<br/><span id=\"avg-dial-up\">Avg Dial-up Time: %1</span><span id=\"avg-hang-up\">Avg Hanp-up Time: %2</span></p>\n")
             .arg(avgDial.isEmpty() ? QStringLiteral("-") : esc(avgDial), avgHang.isEmpty() ? QStringLiteral("-") : esc(avgHang));

    // Times: percentiles and charts.
    QList<Figure> present;
    for (int f = 0; f < RunReport::FigureCount; ++f)
        if (report.hasFigure(Figure(f)))
            present << Figure(f);
    h += QStringLiteral("<h2>%1</h2>\n").arg(esc(QObject::tr("Times")));
    if (present.isEmpty()) {
        h += QStringLiteral("<p class=\"note\">%1</p>\n").arg(esc(QObject::tr("No dial-up, hang-up or registration time on record.")));
    } else {
        h += QStringLiteral("<table id=\"percentiles\">\n<tr><th></th><th class=\"n\">%1</th><th class=\"n\">%2</th>"
                            "<th class=\"n\">%3</th><th class=\"n\">%4</th><th class=\"n\">%5</th></tr>\n")
                 .arg(esc(QObject::tr("cycles")), esc(QObject::tr("median")), esc(QObject::tr("95th percentile")),
                      esc(QObject::tr("99th percentile")), esc(QObject::tr("maximum")));
        for (const Figure f : present) {
            const RunReport::Histogram &hist = report.histogram(f);
            const QString key = RunReport::figureKey(f);
            h += QStringLiteral("<tr><th>%1</th><td class=\"n\" id=\"%2-count\">%3</td><td class=\"n\" id=\"%2-median\">%4</td>"
                                "<td class=\"n\" id=\"%2-p95\">%5</td><td class=\"n\" id=\"%2-p99\">%6</td>"
                                "<td class=\"n\" id=\"%2-max\">%7</td></tr>\n")
                     .arg(esc(RunReport::figureName(f)), key)
                     .arg(hist.count())
                     .arg(seconds(hist.percentile(50)), seconds(hist.percentile(95)), seconds(hist.percentile(99)),
                          seconds(hist.max()));
        }
        h += QStringLiteral("</table>\n");
        QList<Figure> ppp;
        QList<Figure> radio;
        for (const Figure f : present)
            (f == RunReport::DialUp || f == RunReport::HangUp ? ppp : radio) << f;
        if (!ppp.isEmpty())
            h += timeChart(report, ppp, QStringLiteral("chart-ppp"));
        if (!radio.isEmpty())
            h += timeChart(report, radio, QStringLiteral("chart-registration"));
        h += QStringLiteral("<p class=\"note\">%1</p>\n")
                 .arg(esc(QObject::tr("Each column shows the lowest and highest time of its cycles; red marks under the "
                                      "axis are columns with failed cycles.")));
    }

    // Failures by step and by hour.
    h += QStringLiteral("<h2>%1</h2>\n").arg(esc(QObject::tr("Failures by step")));
    const QMap<QString, qint64> &steps = report.failuresByStep();
    if (steps.isEmpty()) {
        h += QStringLiteral("<p>%1</p>\n").arg(esc(QObject::tr("No failed cycle.")));
    } else {
        qint64 most = 1;
        for (const qint64 n : steps)
            most = std::max(most, n);
        h += QStringLiteral("<table id=\"steps\">\n<tr><th>%1</th><th class=\"n\">%2</th><th></th></tr>\n")
                 .arg(esc(QObject::tr("failed step")), esc(QObject::tr("failed cycles")));
        for (auto it = steps.cbegin(); it != steps.cend(); ++it)
            h += QStringLiteral("<tr class=\"step\"><td>%1</td><td class=\"n\">%2</td>"
                                "<td><span class=\"bar\" style=\"width: %3px\"></span></td></tr>\n")
                     .arg(esc(it.key()))
                     .arg(it.value())
                     .arg(std::max<qint64>(1, 300 * it.value() / most));
        h += QStringLiteral("</table>\n");
        h += QStringLiteral("<h2>%1</h2>\n").arg(esc(QObject::tr("Failures by hour of the day")));
        h += hourChart(report.failuresByHour());
        h += QStringLiteral("<table id=\"hours\"><tr>");
        for (int hr = 0; hr < 24; ++hr)
            h += QStringLiteral("<th class=\"n\">%1</th>").arg(hr, 2, 10, QLatin1Char('0'));
        h += QStringLiteral("</tr><tr>");
        for (int hr = 0; hr < 24; ++hr)
            h += QStringLiteral("<td class=\"n\" id=\"hour-%1\">%2</td>").arg(hr, 2, 10, QLatin1Char('0')).arg(report.failuresByHour()[std::size_t(hr)]);
        h += QStringLiteral("</tr></table>\n");
    }

    // Every failed cycle, then the log excerpts.
    const std::vector<RunReport::Failure> &failed = report.failedCycles();
    if (!failed.empty()) {
        h += QStringLiteral("<h2>%1</h2>\n<table id=\"failed\">\n<tr><th class=\"n\">%2</th><th>%3</th><th>%4</th>"
                            "<th class=\"n\">%5</th><th>%6</th></tr>\n")
                 .arg(esc(QObject::tr("Failed cycles")), esc(QObject::tr("cycle")), esc(QObject::tr("start")),
                      esc(QObject::tr("failed step")), esc(QObject::tr("RAS")), esc(QObject::tr("red line")));
        for (const RunReport::Failure &f : failed) {
            const QString number = f.hasExcerpt && !f.excerpt.lines.isEmpty()
                                       ? QStringLiteral("<a href=\"#log-%1\">%1</a>").arg(f.cycle)
                                       : QString::number(f.cycle);
            h += QStringLiteral("<tr class=\"failed\" id=\"cycle-%1\"><td class=\"n\">%2</td><td>%3</td><td>%4</td>"
                                "<td class=\"n\">%5</td><td class=\"red\">%6</td></tr>\n")
                     .arg(f.cycle)
                     .arg(number, esc(f.start), esc(f.step), f.rasError != 0 ? QString::number(f.rasError) : QString(),
                          esc(f.line));
        }
        h += QStringLiteral("</table>\n");
        if (report.failuresNotListed() > 0)
            h += QStringLiteral("<p class=\"note\" id=\"not-listed\">%1</p>\n")
                     .arg(esc(QObject::tr("%1 more failed cycles are not listed.").arg(report.failuresNotListed())));

        h += QStringLiteral("<h2>%1</h2>\n").arg(esc(QObject::tr("Log excerpts of failed cycles")));
        for (const RunReport::Failure &f : failed) {
            if (!f.hasExcerpt)
                continue;
            h += QStringLiteral("<h3 id=\"log-%1\">%2</h3>\n")
                     .arg(f.cycle)
                     .arg(esc(QObject::tr("Cycle %1, %2: %3").arg(f.cycle).arg(f.start, f.step)));
            if (f.excerpt.lines.isEmpty()) {
                h += QStringLiteral("<p class=\"note\">%1</p>\n").arg(esc(QObject::tr("No log lines: %1").arg(f.excerpt.missing)));
                continue;
            }
            if (!f.excerpt.missing.isEmpty())
                h += QStringLiteral("<p class=\"note\">%1</p>\n").arg(esc(f.excerpt.missing));
            h += QStringLiteral("<pre class=\"log\" id=\"excerpt-%1\">").arg(f.cycle);
            for (int i = 0; i < f.excerpt.lines.size(); ++i) {
                // A payload dump of two thousand characters says little here; the file has it whole.
                const QString &whole = f.excerpt.lines.at(i);
                const QString line = esc(whole.size() > kExcerptLineChars ? whole.left(kExcerptLineChars) + QStringLiteral("\u2026") : whole);
                h += i == f.excerpt.redLine ? QStringLiteral("<span class=\"red\">%1</span>\n").arg(line) : line + QLatin1Char('\n');
            }
            h += QStringLiteral("</pre>\n");
            if (f.excerpt.linesCut > 0)
                h += QStringLiteral("<p class=\"note\">%1</p>\n")
                         .arg(esc(QObject::tr("%1 more line(s) of this cycle are in the log file.").arg(f.excerpt.linesCut)));
        }
        if (report.excerptsLeftOut() > 0)
            h += QStringLiteral("<p class=\"note\" id=\"excerpts-left-out\">%1</p>\n")
                     .arg(esc(QObject::tr("%1 failed cycle(s) after the first %2 have no excerpt here.")
                                  .arg(report.excerptsLeftOut())
                                  .arg(RunReport::kMaxExcerpts)));
    }

    // The run's settings: everything its run line holds beyond the facts.
    h += QStringLiteral("<h2>%1</h2>\n").arg(esc(QObject::tr("Settings")));
    QStringList rows;
    const QStringList facts2 = {QStringLiteral("record"), QStringLiteral("case"), QStringLiteral("bench"),
                                QStringLiteral("port"), QStringLiteral("board"), QStringLiteral("version"),
                                QStringLiteral("start")};
    constexpr int kMaxSettings = 200;
    for (auto it = run.begin(); it != run.end() && rows.size() < kMaxSettings; ++it) {
        if (facts2.contains(it.key()))
            continue;
        if (it.value().isObject()) {
            const QJsonObject inner = it.value().toObject();
            for (auto in = inner.begin(); in != inner.end() && rows.size() < kMaxSettings; ++in)
                rows << QStringLiteral("<tr><th>%1.%2</th><td>%3</td></tr>\n")
                            .arg(esc(cut(it.key())), esc(cut(in.key())), esc(cut(jsonText(in.value()))));
        } else {
            rows << QStringLiteral("<tr><th>%1</th><td>%2</td></tr>\n").arg(esc(cut(it.key())), esc(cut(jsonText(it.value()))));
        }
    }
    if (rows.isEmpty())
        h += QStringLiteral("<p class=\"note\">%1</p>\n").arg(esc(QObject::tr("No settings on record.")));
    else
        h += QStringLiteral("<table id=\"settings\">\n") + rows.join(QString()) + QStringLiteral("</table>\n");
    h += QStringLiteral("</body>\n</html>\n");
    return h.toUtf8();
}

bool RunReportWriter::write(const RunReport &report, const QString &path, QString *error)
{
    const QByteArray text = html(report);
    // Whole or not at all: half a report would pass for a short run.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}
