#include "FaultSet.h"

#include <QRegularExpression>

namespace {

constexpr int kDefaultRssi = -1;

bool isWhole(const QJsonValue &v)
{
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    // The range first: converting a double beyond qint64 is undefined.
    return d >= -1e9 && d <= 1e9 && d == double(qint64(d));
}

} // namespace

FaultSet::FaultSet(int chips, QObject *parent) : QObject(parent), m_chips(qMax(1, chips))
{
    const auto add = [this](const char *name, Kind kind) {
        QJsonValue off;
        switch (kind) {
        case Kind::Flag: off = false; break;
        case Kind::Count: off = 0; break;
        case Kind::State: off = -1; break;
        case Kind::Boards: off = false; break;
        case Kind::Rssi: off = kDefaultRssi; break;
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
    add("sim.absent", Kind::Flag);
    add("csq.rssi", Kind::Rssi);
    add("csq.unknown", Kind::Flag);
    add("attach.off", Kind::Flag);
    add("reboot.hang", Kind::Flag);
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
    case Kind::Rssi:
        if (isWhole(in) && ((in.toInt() >= -1 && in.toInt() <= 31) || in.toInt() == 99)) {
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

bool FaultSet::isChipFault(const QString &name)
{
    static const char *const kPrefixes[] = {"creg.", "cfun.", "at.",     "sim.",
                                            "csq.",  "attach.", "reboot.", "dial."};
    for (const char *prefix : kPrefixes) {
        if (name.startsWith(QLatin1String(prefix)))
            return true;
    }
    return false;
}

bool FaultSet::set(const QJsonObject &faults, QString *error, int chip)
{
    if (chip < 0 || chip > m_chips) {
        *error = QStringLiteral("no chip %1 (the bench has %2)").arg(chip).arg(m_chips);
        return false;
    }
    QMap<QString, QJsonValue> accepted;
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        QJsonValue v;
        if (!normalise(it.key(), it.value(), &v, error))
            return false;
        if (chip > 0 && !isChipFault(it.key())) {
            *error = QStringLiteral("fault %1 concerns the whole bench, not one chip").arg(it.key());
            return false;
        }
        accepted.insert(it.key(), v);
    }
    QStringList changedNames;
    for (auto it = accepted.cbegin(); it != accepted.cend(); ++it) {
        bool changedHere = false;
        if (chip > 0) {
            QMap<QString, QJsonValue> &own = m_chipValues[chip];
            changedHere = own.value(it.key(), value(it.key(), 0)) != it.value();
            own.insert(it.key(), it.value());
        } else {
            Entry &e = m_entries[it.key()];
            changedHere = e.value != it.value();
            e.value = it.value();
            // A value for all chips is what every chip has from now on.
            for (auto own = m_chipValues.begin(); own != m_chipValues.end();) {
                changedHere = own->remove(it.key()) > 0 || changedHere;
                own = own->isEmpty() ? m_chipValues.erase(own) : std::next(own);
            }
        }
        // Setting a countdown again restarts it.
        if (changedHere
            || (it.key() == QLatin1String("echo.corruptAt") && it.value().toInt() > 0))
            changedNames << it.key();
    }
    if (!changedNames.isEmpty())
        emit changed(changedNames);
    return true;
}

bool FaultSet::setFromText(const QString &given, QString *error)
{
    // "chipK:" in front sets the fault for chip K only.
    static const QRegularExpression chipPrefix(QStringLiteral("^chip(\\d{1,3}):"));
    const QRegularExpressionMatch m = chipPrefix.match(given);
    const int chip = m.hasMatch() ? m.captured(1).toInt() : 0;
    if (m.hasMatch() && chip < 1) {
        *error = QStringLiteral("no chip %1 (the bench has %2)").arg(chip).arg(m_chips);
        return false;
    }
    const QString assignment = m.hasMatch() ? given.mid(m.capturedLength()) : given;
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
    return set(QJsonObject{{name, v}}, error, chip);
}

void FaultSet::clear()
{
    QJsonObject off;
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it)
        off.insert(it.key(), it->off);
    QString ignored;
    set(off, &ignored); // also drops every value set for one chip
}

QJsonObject FaultSet::values() const
{
    QJsonObject out;
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it)
        out.insert(it.key(), it->value);
    return out;
}

QJsonObject FaultSet::chipValues() const
{
    QJsonObject out;
    for (auto it = m_chipValues.cbegin(); it != m_chipValues.cend(); ++it) {
        QJsonObject own;
        for (auto v = it->cbegin(); v != it->cend(); ++v)
            own.insert(v.key(), v.value());
        out.insert(QString::number(it.key()), own);
    }
    return out;
}

QJsonValue FaultSet::value(const QString &name, int chip) const
{
    if (chip > 0) {
        const auto own = m_chipValues.constFind(chip);
        if (own != m_chipValues.cend()) {
            const auto v = own->constFind(name);
            if (v != own->cend())
                return *v;
        }
    }
    return m_entries.value(name).value;
}

bool FaultSet::flag(const QString &name, int chip) const
{
    return value(name, chip).toBool();
}

int FaultSet::number(const QString &name, int chip) const
{
    if (!m_entries.contains(name))
        return 0;
    return value(name, chip).toInt();
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
