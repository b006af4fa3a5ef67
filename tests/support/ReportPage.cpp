#include "ReportPage.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>

ReportPage::ReportPage(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    opened = true;
    QXmlStreamReader xml(&file);
    struct Open
    {
        QString name;
        QString id;
        QString text;
    };
    QList<Open> stack;
    QStringList tableIds;
    QStringList row;
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::StartElement: {
            const QString name = xml.name().toString();
            ++elements[name];
            stack.append({name, xml.attributes().value(QStringLiteral("id")).toString(), QString()});
            if (name == QLatin1String("table"))
                tableIds.append(stack.last().id);
            else if (name == QLatin1String("tr"))
                row.clear();
            break;
        }
        case QXmlStreamReader::Characters:
            for (Open &o : stack)
                o.text += xml.text();
            break;
        case QXmlStreamReader::EndElement: {
            if (stack.isEmpty())
                break;
            const Open o = stack.takeLast();
            if (!o.id.isEmpty())
                byId.insert(o.id, o.text);
            if (o.name == QLatin1String("td") || o.name == QLatin1String("th"))
                row.append(o.text);
            else if (o.name == QLatin1String("tr") && !tableIds.isEmpty())
                tables[tableIds.last()].append(row);
            else if (o.name == QLatin1String("table") && !tableIds.isEmpty())
                tableIds.removeLast();
            else if (o.name == QLatin1String("li") && !stack.isEmpty()
                     && stack.last().id == QLatin1String("problems"))
                problems.append(o.text);
            break;
        }
        default:
            break;
        }
    }
    if (xml.hasError())
        parseError = QStringLiteral("line %1: %2").arg(xml.lineNumber()).arg(xml.errorString());
}

bool ReportPage::says(const QStringList &words) const
{
    for (const QString &p : problems) {
        bool all = true;
        for (const QString &w : words)
            all = all && p.contains(w);
        if (all)
            return true;
    }
    return false;
}

QString ReportPage::xmllintComplaints(const QString &path)
{
    QProcess p;
    p.start(QStringLiteral("xmllint"), {QStringLiteral("--noout"), QStringLiteral("--nonet"), path});
    if (!p.waitForStarted(10000))
        return QStringLiteral("xmllint did not start");
    p.waitForFinished(60000);
    const QByteArray said = p.readAllStandardOutput() + p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0 && said.trimmed().isEmpty()
               ? QString()
               : QString::fromLocal8Bit(said);
}

QString ReportPage::browser()
{
    return QStandardPaths::findExecutable(QStringLiteral("chromium"));
}

QString ReportPage::render(const QString &path, const QString &png, int width, int height)
{
    QTemporaryDir profile;
    QProcess p;
    // A proxy nobody listens to on loopback and no name resolution: the
    // browser reaches nothing beyond this machine, whatever it tries.
    p.start(browser(), {QStringLiteral("--headless"), QStringLiteral("--disable-gpu"), QStringLiteral("--no-sandbox"),
                        QStringLiteral("--hide-scrollbars"), QStringLiteral("--no-first-run"),
                        QStringLiteral("--disable-background-networking"), QStringLiteral("--disable-component-update"),
                        QStringLiteral("--disable-sync"), QStringLiteral("--proxy-server=127.0.0.1:9"),
                        QStringLiteral("--host-resolver-rules=MAP * ~NOTFOUND"),
                        QStringLiteral("--user-data-dir=") + profile.path(),
                        QStringLiteral("--window-size=%1,%2").arg(width).arg(height),
                        QStringLiteral("--screenshot=") + QFileInfo(png).absoluteFilePath(),
                        QStringLiteral("file://") + QFileInfo(path).absoluteFilePath()});
    if (!p.waitForStarted(10000))
        return QStringLiteral("chromium did not start");
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        return QStringLiteral("chromium did not finish");
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0 || !QFileInfo::exists(png))
        return QString::fromLocal8Bit(p.readAllStandardError().right(2000));
    return QString();
}
