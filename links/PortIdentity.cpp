#include "PortIdentity.h"

#include "UartEngine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString firstLine(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(f.readLine(256)).trimmed();
}

// The USB interface a tty belongs to, from the device's folder in sysfs
// upwards: "usb <vendor>:<product> <serial or bus place> if<number>".
QString usbIdentity(const QString &deviceDir)
{
    QDir dir(deviceDir);
    for (int depth = 0; depth < 4 && !dir.isRoot(); ++depth) {
        if (QFileInfo::exists(dir.filePath(QStringLiteral("bInterfaceNumber")))) {
            const QString interface = firstLine(dir.filePath(QStringLiteral("bInterfaceNumber")));
            QDir device(dir);
            if (!device.cdUp() || !QFileInfo::exists(device.filePath(QStringLiteral("idVendor"))))
                return QString();
            QString serial = firstLine(device.filePath(QStringLiteral("serial")));
            if (serial.isEmpty())
                serial = QStringLiteral("at ") + QFileInfo(device.absolutePath()).fileName(); // e.g. 1-1.4
            return QStringLiteral("usb %1:%2 %3 if%4")
                .arg(firstLine(device.filePath(QStringLiteral("idVendor"))),
                     firstLine(device.filePath(QStringLiteral("idProduct"))), serial, interface);
        }
        if (!dir.cdUp())
            break;
    }
    return QString();
}

} // namespace

QString PortIdentity::byIdFolder()
{
    return QStringLiteral("/dev/serial/by-id");
}

bool PortIdentity::isStableName(const QString &portName)
{
#if defined(Q_OS_WIN)
    Q_UNUSED(portName);
    return false;
#else
    return !portName.isEmpty() && QFileInfo(UartEngine::systemLocation(portName)).isSymLink();
#endif
}

QStringList PortIdentity::stableNames(const QString &portName, const QStringList &extraLinks, const QString &folder)
{
    QStringList names;
#if !defined(Q_OS_WIN)
    const QString target = QFileInfo(UartEngine::systemLocation(portName)).canonicalFilePath();
    if (target.isEmpty())
        return names;
    QStringList links = extraLinks;
    const QDir byId(folder);
    for (const QString &entry : byId.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name))
        links << byId.filePath(entry);
    for (const QString &link : links) {
        const QFileInfo info(link);
        if (info.isSymLink() && info.canonicalFilePath() == target && !names.contains(link))
            names << link;
    }
#else
    Q_UNUSED(portName);
    Q_UNUSED(extraLinks);
    Q_UNUSED(folder);
#endif
    return names;
}

QString PortIdentity::of(const QString &portName, const QStringList &extraLinks, const QString &folder,
                         const QString &sysClassTty)
{
#if defined(Q_OS_WIN)
    Q_UNUSED(portName);
    Q_UNUSED(extraLinks);
    Q_UNUSED(folder);
    Q_UNUSED(sysClassTty);
    return QString();
#else
    const QString device = QFileInfo(UartEngine::systemLocation(portName)).canonicalFilePath();
    if (device.isEmpty())
        return QString();
    const QFileInfo sys(QDir(sysClassTty).filePath(QFileInfo(device).fileName() + QStringLiteral("/device")));
    if (sys.exists()) {
        const QString usb = usbIdentity(sys.canonicalFilePath());
        if (!usb.isEmpty())
            return usb;
    }
    const QStringList links = stableNames(portName, extraLinks, folder);
    return links.isEmpty() ? QString() : QStringLiteral("reached through ") + links.join(QStringLiteral(", "));
#endif
}
