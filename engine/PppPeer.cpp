#include "PppPeer.h"

#include <QDir>
#include <QFileInfo>

bool PppPeer::isName(const QString &name)
{
    if (name.isEmpty() || name.size() > 64 || name.contains(QLatin1String("..")))
        return false;
    const auto alnum = [](QChar c) {
        return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
               || (c >= QLatin1Char('0') && c <= QLatin1Char('9'));
    };
    if (!alnum(name.at(0)) && name.at(0) != QLatin1Char('_'))
        return false;
    for (const QChar c : name) {
        if (!alnum(c) && c != QLatin1Char('.') && c != QLatin1Char('_') && c != QLatin1Char('-'))
            return false;
    }
    return true;
}

QString PppPeer::filePath(const QString &name, const QString &peersDir)
{
    return QDir(peersDir).filePath(name);
}

QString PppPeer::problem(const QString &name, bool fileMustExist, const QString &peersDir)
{
    if (!isName(name))
        return QStringLiteral("bad pppd peer name \"%1\": letters, digits, \".\", \"_\" and \"-\" only, starting "
                              "with a letter, a digit or \"_\"")
            .arg(name);
    const QString path = filePath(name, peersDir);
    if (fileMustExist && !QFileInfo(path).isFile())
        return QStringLiteral("no pppd peer file %1 (one per modem: copy the sample peer and set its port line)")
            .arg(path);
    return QString();
}
