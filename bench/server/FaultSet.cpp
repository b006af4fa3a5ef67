#include "FaultSet.h"

namespace {

bool isWhole(const QJsonValue &v)
{
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    // The range first: converting a double beyond qint64 is undefined.
    return d >= -1e9 && d <= 1e9 && d == double(qint64(d));
}

} // namespace

FaultSet::FaultSet(QObject *parent) : QObject(parent)
{
    const auto add = [this](const char *name, Kind kind) {
        QJsonValue off;
        switch (kind) {
        case Kind::Flag: off = false; break;
        case Kind::Count: off = 0; break;
        case Kind::State: off = -1; break;
        case Kind::Boards: off = false; break;
        }
        m_entries.insert(QString::fromLatin1(name), Entry{kind, off, off});
    };
    // The chip
    add("creg.never", Kind::Flag);
    add("creg.lateMs", Kind::Count);
    add("cfun.noReply", Kind::Flag);
    add("at.pieces", Kind::Count);
    add("at.pieceGapMs", Kind::Count);
    add("at.vanish", Kind::Flag);
    add("at.staysAway", Kind::Flag);
    // The relay boards
    add("relay.missing", Kind::Boards);
    add("relay.statusFails", Kind::Boards);
    add("relay.switchFails", Kind::Boards);
    add("relay.switchStuck", Kind::Boards);
    // The dial-up service
    add("dial.refuse", Kind::Count);
    add("dial.refuseHeld", Kind::Flag);
    add("dial.failAt", Kind::State);
    add("dial.failCode", Kind::Count);
    add("dial.disconnect", Kind::Flag);
    add("dial.hang", Kind::Flag);
    add("dial.slowMs", Kind::Count);
    add("dial.dropAfterMs", Kind::Count);
    // The echo server
    add("echo.corruptAt", Kind::Count);
    add("echo.drop", Kind::Flag);
    add("echo.extra", Kind::Count);
    add("echo.split", Kind::Count);
    add("echo.delayMs", Kind::Count);
    add("echo.close", Kind::Flag);
    add("echo.down", Kind::Flag);
}

bool FaultSet::normalise(const QString &name, const QJsonValue &in, QJsonValue *out,
                         QString *error) const
{
    const auto it = m_entries.constFind(name);
    if (it == m_entries.cend()) {
        *error = QStringLiteral("unknown fault: %1").arg(name);
        return false;
    }
    if (in.isNull()) { // null switches a fault off
        *out = it->off;
        return true;
    }
    switch (it->kind) {
    case Kind::Flag:
        if (in.isBool()) {
            *out = in;
            return true;
        }
        if (isWhole(in)) {
            *out = in.toInt() != 0;
            return true;
        }
        break;
    case Kind::Count:
        if (isWhole(in) && in.toInt() >= 0) {
            *out = in.toInt();
            return true;
        }
        if (in.isBool()) {
            *out = in.toBool() ? 1 : 0;
            return true;
        }
        break;
    case Kind::State:
        if (isWhole(in) && in.toInt() >= -1) {
            *out = in.toInt();
            return true;
        }
        break;
    case Kind::Boards:
        if (in.isBool()) {
            *out = in;
            return true;
        }
        if (in.isString()) {
            const QString s = in.toString().trimmed();
            if (s.isEmpty() || s == QLatin1String("false") || s == QLatin1String("none"))
                *out = false;
            else if (s == QLatin1String("true") || s == QLatin1String("all"))
                *out = true;
            else
                *out = s;
            return true;
        }
        break;
    }
    *error = QStringLiteral("bad value for fault %1").arg(name);
    return false;
}

bool FaultSet::set(const QJsonObject &faults, QString *error)
{
    QMap<QString, QJsonValue> accepted;
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        QJsonValue v;
        if (!normalise(it.key(), it.value(), &v, error))
            return false;
        accepted.insert(it.key(), v);
    }
    QStringList changedNames;
    for (auto it = accepted.cbegin(); it != accepted.cend(); ++it) {
        Entry &e = m_entries[it.key()];
        if (e.value != it.value()) {
            e.value = it.value();
            changedNames << it.key();
        } else if (it.key() == QLatin1String("echo.corruptAt") && it.value().toInt() > 0) {
            // Setting a countdown again restarts it.
            changedNames << it.key();
        }
    }
    if (!changedNames.isEmpty())
        emit changed(changedNames);
    return true;
}

bool FaultSet::setFromText(const QString &assignment, QString *error)
{
    const int eq = assignment.indexOf(QLatin1Char('='));
    const QString name = (eq < 0 ? assignment : assignment.left(eq)).trimmed();
    const QString text = eq < 0 ? QStringLiteral("true") : assignment.mid(eq + 1).trimmed();
    const auto it = m_entries.constFind(name);
    if (it == m_entries.cend()) {
        *error = QStringLiteral("unknown fault: %1").arg(name);
        return false;
    }
    QJsonValue v;
    if (text == QLatin1String("true") || text == QLatin1String("on"))
        v = true;
    else if (text == QLatin1String("false") || text == QLatin1String("off"))
        v = false;
    else {
        bool isNumber = false;
        const int n = text.toInt(&isNumber);
        v = isNumber ? QJsonValue(n) : QJsonValue(text);
    }
    return set(QJsonObject{{name, v}}, error);
}

void FaultSet::clear()
{
    QJsonObject off;
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it)
        off.insert(it.key(), it->off);
    QString ignored;
    set(off, &ignored);
}

QJsonObject FaultSet::values() const
{
    QJsonObject out;
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it)
        out.insert(it.key(), it->value);
    return out;
}

bool FaultSet::flag(const QString &name) const
{
    return m_entries.value(name).value.toBool();
}

int FaultSet::number(const QString &name) const
{
    const auto it = m_entries.constFind(name);
    return it == m_entries.cend() ? 0 : it->value.toInt();
}

bool FaultSet::coversBoard(const QString &name, const QString &serial) const
{
    const QJsonValue v = m_entries.value(name).value;
    if (v.isBool())
        return v.toBool();
    const QStringList serials = v.toString().split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &s : serials) {
        if (s.trimmed() == serial)
            return true;
    }
    return false;
}
