#include "RecordFile.h"

#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>

RecordFile::RecordFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    opened = true;
    int index = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        const QString kind = doc.object().value(QStringLiteral("record")).toString();
        const bool whole = error.error == QJsonParseError::NoError && doc.isObject() && line.endsWith('\n');
        if (!whole || !end.isEmpty() || (index == 0) != (kind == QLatin1String("run"))) {
            ++brokenLines;
        } else if (kind == QLatin1String("run")) {
            run = doc.object();
        } else if (kind == QLatin1String("cycle")) {
            cycles.append(doc.object());
        } else if (kind == QLatin1String("end")) {
            end = doc.object();
        } else {
            ++brokenLines;
        }
        ++index;
    }
}

bool RecordFile::write(const QString &path) const
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const auto line = [&file](const QJsonObject &o) {
        const QByteArray bytes = QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
        return file.write(bytes) == bytes.size();
    };
    bool ok = line(run);
    for (const QJsonObject &c : cycles)
        ok = ok && line(c);
    if (!end.isEmpty())
        ok = ok && line(end);
    return ok;
}

QString RecordFile::cycleFault() const
{
    static const QRegularExpression stamp(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$"));
    for (int i = 0; i < cycles.size(); ++i) {
        const QJsonObject &c = cycles[i];
        if (c.value(QStringLiteral("cycle")).toInt() != i + 1)
            return QStringLiteral("line %1 numbered %2").arg(i + 1).arg(c.value(QStringLiteral("cycle")).toInt());
        if (!stamp.match(c.value(QStringLiteral("start")).toString()).hasMatch())
            return QStringLiteral("cycle %1 stamp %2").arg(i + 1).arg(c.value(QStringLiteral("start")).toString());
        if (c.value(QStringLiteral("durationMs")).toDouble(-1) < 0 || !c.value(QStringLiteral("pass")).isBool())
            return QStringLiteral("cycle %1 without duration or verdict").arg(i + 1);
    }
    return QString();
}
