// A run report as the tests read it: parsed by a strict XML parser, with the
// text of every element that has an id, the rows of every table and the
// problems the report lists; and libxml2's own verdict on the file.
#ifndef REPORTPAGE_H
#define REPORTPAGE_H

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

struct ReportPage
{
    explicit ReportPage(const QString &path);

    bool opened = false;
    QString parseError; // empty when the file is well-formed
    QHash<QString, QString> byId;
    QHash<QString, QList<QStringList>> tables; // by table id: each row's cell texts
    QStringList problems;
    QHash<QString, int> elements; // how many of each element name

    QString text(const QString &id) const { return byId.value(id); }
    // Whether some problem mentions every one of the words.
    bool says(const QStringList &words) const;

    // xmllint's complaints about the file as XML; empty when it has none.
    static QString xmllintComplaints(const QString &path);

    // Debian's chromium, empty where it is not installed.
    static QString browser();
    // Renders the file headless to a PNG of that size, with every address
    // but the file refused; empty when done, else what went wrong.
    static QString render(const QString &path, const QString &png, int width = 1200, int height = 2000);
};

#endif // REPORTPAGE_H
