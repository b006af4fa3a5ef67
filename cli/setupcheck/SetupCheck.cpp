#include "SetupCheck.h"

#include "BenchClient.h"
#include "PppdLeftovers.h"
#include "SystemProgram.h"
#include "usb_relay_device.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Where the package puts the files the advice names.
const QString kSetupFiles = QStringLiteral("/usr/share/trevalo/setup");
// Pseudo-terminal slaves: ModemManager leaves them alone.
constexpr unsigned kPtsMajorFirst = 136;
constexpr unsigned kPtsMajorLast = 143;
constexpr int kPingTimeoutMs = 10000;

SetupCheck::Item item(const QString &name, bool ok, const QString &detail,
                      const QString &advice = QString())
{
    return SetupCheck::Item{name, ok, detail, ok ? QString() : advice};
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString groupName(gid_t gid)
{
    const group *g = ::getgrgid(gid);
    return g ? QString::fromLocal8Bit(g->gr_name) : QString::number(gid);
}

// The command name of process pid, as ps shows it.
QString processName(const QString &procDir, const QString &pid)
{
    QFile comm(procDir + QLatin1Char('/') + pid + QStringLiteral("/comm"));
    if (!comm.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

QStringList processIds(const QString &procDir)
{
    QStringList pids;
    const QStringList entries = QDir(procDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &e : entries) {
        bool number = false;
        e.toLongLong(&number);
        if (number)
            pids << e;
    }
    return pids;
}

// The program as the dial finds it (PATH, then the system folders),
// executable for this user or not (the check says which).
QString findProgram(const QString &given, const QString &name)
{
    if (!given.isEmpty())
        return given;
    return QFile::decodeName(SystemProgram::find(QFile::encodeName(name).toStdString()).c_str());
}

// Why the bench that TREVALO_BENCH names cannot be used by this user;
// empty when it can, or when no bench is named. Its folder and control
// socket are the starting user's only.
QString benchAccessProblem()
{
    const QString dir = BenchClient::runtimeDir();
    if (dir.isEmpty())
        return QString();
    const QString info = QDir(dir).filePath(QStringLiteral("bench.json"));
    if (!BenchClient::isAvailable()) {
        if (::access(QFile::encodeName(info).constData(), R_OK) != 0 && (errno == EACCES || errno == EPERM))
            return QStringLiteral("TREVALO_BENCH names %1, whose bench.json this user cannot read (%2)")
                .arg(dir, errnoText(errno));
        return QString();
    }
    const QString socket = BenchClient::controlPath();
    if (::access(QFile::encodeName(socket).constData(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM))
        return QStringLiteral("this user cannot reach the bench's control socket %1 (%2)").arg(socket, errnoText(errno));
    return QString();
}

// The option lines of a pppd options file, comments dropped.
QStringList optionLines(QFile &file)
{
    QStringList lines;
    while (!file.atEnd()) {
        const QString line = QString::fromLocal8Bit(file.readLine()).section(QLatin1Char('#'), 0, 0).trimmed();
        if (!line.isEmpty())
            lines << line;
    }
    return lines;
}

} // namespace

QList<SetupCheck::Item> SetupCheck::run(const Options &options)
{
    QList<Item> items;
    if (options.needsPort)
        items << checkPort(options) << checkModemManager(options);
    if (options.needsBoard)
        items << checkRelayBoard(options);
    if (options.needsPppd)
        items << checkPppd(options) << checkPeerFile(options) << checkLeftoverPppd(options);
    if (options.needsPing)
        items << checkPing(options);
    return items;
}

bool SetupCheck::allOk(const QList<Item> &items)
{
    for (const Item &i : items) {
        if (!i.ok)
            return false;
    }
    return true;
}

QString SetupCheck::format(const Item &item)
{
    QString line = (item.ok ? QStringLiteral("ok    ") : QStringLiteral("FAIL  ")) + item.name
                   + QStringLiteral(": ") + item.detail;
    if (!item.ok && !item.advice.isEmpty())
        line += QStringLiteral(" - ") + item.advice;
    return line;
}

QStringList SetupCheck::holders(const QString &path, const QString &procDir)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    QStringList found;
    if (target.isEmpty())
        return found;
    const QString self = QString::number(::getpid());
    for (const QString &pid : processIds(procDir)) {
        // The virtual bench keeps the chip's end of its port open.
        if (pid == self || processName(procDir, pid) == QLatin1String("trevalo-bench"))
            continue;
        const QDir fds(procDir + QLatin1Char('/') + pid + QStringLiteral("/fd"));
        const QStringList entries = fds.entryList(QDir::System | QDir::NoDotAndDotDot);
        for (const QString &fd : entries) {
            if (QFileInfo(fds.filePath(fd)).symLinkTarget() == target) {
                found << QStringLiteral("%1 (pid %2)").arg(processName(procDir, pid), pid);
                break;
            }
        }
    }
    return found;
}

SetupCheck::Item SetupCheck::checkPort(const Options &o)
{
    const QString name = QStringLiteral("port");
    if (o.port.isEmpty())
        return item(name, false, QStringLiteral("no port given"),
                    QStringLiteral("name the chip's AT port, e.g. /dev/ttyUSB2 (ls /dev/ttyUSB* /dev/ttyACM*)"));
    const QByteArray path = QFile::encodeName(o.port);
    struct stat st;
    if (::stat(path.constData(), &st) != 0)
        return item(name, false, QStringLiteral("%1 does not exist").arg(o.port),
                    QStringLiteral("plug the modem in and power the chip; its ports appear as "
                                   "/dev/ttyUSB* or /dev/ttyACM*"));
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM) {
            const QString detail =
                QStringLiteral("%1 cannot be opened read-write (%2)").arg(o.port, errnoText(error));
            if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP))
                return item(name, false, detail,
                            QStringLiteral("add the user to the group %1 (sudo adduser \"$USER\" %1), "
                                           "then log in again")
                                .arg(groupName(st.st_gid)));
            return item(name, false, detail,
                        QStringLiteral("only its owner may open it: give it the group dialout with a "
                                       "udev rule (MODE=\"0660\", GROUP=\"dialout\")"));
        }
        const QStringList held = holders(o.port, o.procDir);
        return item(name, false,
                    QStringLiteral("%1 cannot be opened read-write (%2)").arg(o.port, errnoText(error)),
                    held.isEmpty() ? QStringLiteral("check that the modem works (dmesg)")
                                   : QStringLiteral("it is held by %1: stop it").arg(held.join(QStringLiteral(", "))));
    }
    ::close(fd);
    const QStringList held = holders(o.port, o.procDir);
    if (!held.isEmpty())
        return item(name, false, QStringLiteral("%1 is in use by %2").arg(o.port, held.join(QStringLiteral(", "))),
                    QStringLiteral("stop it, or it answers and takes the chip's replies"));
    return item(name, true, QStringLiteral("%1 opens read-write").arg(o.port));
}

SetupCheck::Item SetupCheck::checkModemManager(const Options &o)
{
    const QString name = QStringLiteral("ModemManager");
    QString pid;
    for (const QString &p : processIds(o.procDir)) {
        if (processName(o.procDir, p) == QLatin1String("ModemManager")) {
            pid = p;
            break;
        }
    }
    if (pid.isEmpty())
        return item(name, true, QStringLiteral("not running"));

    struct stat st;
    if (o.port.isEmpty() || ::stat(QFile::encodeName(o.port).constData(), &st) != 0 || !S_ISCHR(st.st_mode))
        return item(name, false, QStringLiteral("running (pid %1); it probes modem ports").arg(pid),
                    QStringLiteral("keep it off the modem with %1/udev/70-trevalo-modem-no-mm.rules, "
                                   "or sudo systemctl stop ModemManager").arg(kSetupFiles));
    const unsigned major = ::major(st.st_rdev);
    if (major >= kPtsMajorFirst && major <= kPtsMajorLast)
        return item(name, true, QStringLiteral("running, but it does not probe pseudo-terminals"));
    // What udev recorded for the port, ModemManager's filter included.
    QFile data(QStringLiteral("%1/c%2:%3").arg(o.udevDataDir).arg(major).arg(::minor(st.st_rdev)));
    if (data.open(QIODevice::ReadOnly)) {
        while (!data.atEnd()) {
            if (data.readLine().trimmed() == "E:ID_MM_DEVICE_IGNORE=1")
                return item(name, true, QStringLiteral("running, told by udev to ignore %1").arg(o.port));
        }
    }
    return item(name, false,
                QStringLiteral("running (pid %1) and would probe %2 with its own AT commands").arg(pid, o.port),
                QStringLiteral("fill the modem's ids (lsusb) into %1/udev/70-trevalo-modem-no-mm.rules, "
                               "copy it to /etc/udev/rules.d and replug, or sudo systemctl stop ModemManager")
                    .arg(kSetupFiles));
}

SetupCheck::Item SetupCheck::checkRelayBoard(const Options &o)
{
    const QString name = QStringLiteral("relay board");
    QStringList serials;
    usb_relay_device_info *list = usb_relay_device_enumerate();
    for (usb_relay_device_info *d = list; d; d = d->next)
        serials << QString::fromLatin1(reinterpret_cast<const char *>(d->serial_number));
    usb_relay_device_free_enumerate(list);

    const QString where = BenchClient::isAvailable() ? QStringLiteral(" on the virtual bench") : QString();
    if (o.board.isEmpty() ? !serials.isEmpty() : serials.contains(o.board))
        return item(name, true, QStringLiteral("%1 listed%2").arg(o.board.isEmpty() ? serials.join(QStringLiteral(", ")) : o.board, where));
    // Nothing to plug in when the bench's boards are only out of reach.
    const QString benchDenied = benchAccessProblem();
    if (!benchDenied.isEmpty())
        return item(name, false, benchDenied,
                    QStringLiteral("run as the user who started trevalo-bench (its folder and control socket "
                                   "are for that user only), or unset TREVALO_BENCH to check real hardware"));

    const QString detail = serials.isEmpty()
                               ? QStringLiteral("no board listed%1").arg(where)
                               : QStringLiteral("%1 not listed (found %2)").arg(o.board, serials.join(QStringLiteral(", ")));
    // A board the system sees but this user may not open is missing from
    // the list too: look for its hidraw node.
    QStringList denied;
    const QDir hidraw(o.hidrawClassDir);
    for (const QString &node : hidraw.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)) {
        QFile uevent(hidraw.filePath(node) + QStringLiteral("/device/uevent"));
        if (!uevent.open(QIODevice::ReadOnly) || !uevent.readAll().toUpper().contains("HID_ID=0003:000016C0:000005DF"))
            continue;
        const QString dev = QStringLiteral("/dev/") + node;
        const int fd = ::open(QFile::encodeName(dev).constData(), O_RDWR | O_CLOEXEC);
        if (fd >= 0)
            ::close(fd);
        else
            denied << dev;
    }
    if (!denied.isEmpty())
        return item(name, false, detail + QStringLiteral("; no access to ") + denied.join(QStringLiteral(", ")),
                    QStringLiteral("install %1/udev/60-trevalo-relay.rules in /etc/udev/rules.d, replug the "
                                   "board and join the group plugdev").arg(kSetupFiles));
    return item(name, false, detail,
                QStringLiteral("plug the board in (lsusb shows 16c0:05df); with access to /dev/hidraw* "
                               "it is listed (%1/udev/60-trevalo-relay.rules)").arg(kSetupFiles));
}

SetupCheck::Item SetupCheck::checkPppd(const Options &o)
{
    const QString name = QStringLiteral("pppd");
    if (o.pppd.isEmpty() && BenchClient::isAvailable())
        return item(name, true, QStringLiteral("not used: the virtual bench dials"));
    const QString pppd = findProgram(o.pppd, QStringLiteral("pppd"));
    struct stat st;
    if (pppd.isEmpty() || ::stat(QFile::encodeName(pppd).constData(), &st) != 0)
        return item(name, false, QStringLiteral("not installed"), QStringLiteral("sudo apt install ppp"));
    const QByteArray path = QFile::encodeName(pppd);
    if (!S_ISREG(st.st_mode) || ::access(path.constData(), X_OK) != 0)
        return item(name, false, QStringLiteral("%1 cannot be run by this user").arg(pppd),
                    (st.st_mode & S_IXGRP) ? QStringLiteral("add the user to the group %1 (sudo adduser \"$USER\" %1), then log in again")
                                                 .arg(groupName(st.st_gid))
                                           : QStringLiteral("make it executable, or reinstall ppp"));
    if (::geteuid() != 0 && !((st.st_mode & S_ISUID) && st.st_uid == 0))
        return item(name, false, QStringLiteral("%1 is not set-user-id root, and this user is not root").arg(pppd),
                    QStringLiteral("run as root, or reinstall ppp (Debian installs pppd set-user-id root for the group dip)"));
    return item(name, true, QStringLiteral("%1 may be run").arg(pppd));
}

SetupCheck::Item SetupCheck::checkPeerFile(const Options &o)
{
    const QString name = QStringLiteral("peer file");
    if (BenchClient::isAvailable() && o.pppd.isEmpty())
        return item(name, true, QStringLiteral("not used: the virtual bench dials"));
    // A further modem's peer starts from the sample that names its link.
    const QString sample = o.peerName == QLatin1String("provider") ? QStringLiteral("provider") : QStringLiteral("chip2");
    const QString install = QStringLiteral("copy %1/ppp/peers/%2 to %3 and set its port line")
                                .arg(kSetupFiles, sample, o.peerFile);
    const QString folder = QFileInfo(o.peerFile).absolutePath();
    if (::access(QFile::encodeName(folder).constData(), X_OK) != 0 && errno == EACCES)
        return item(name, false, QStringLiteral("%1 cannot be looked into").arg(folder),
                    QStringLiteral("add the user to the group dip (sudo adduser \"$USER\" dip), then log in again"));
    QFile peer(o.peerFile);
    if (!QFileInfo::exists(o.peerFile))
        return item(name, false, QStringLiteral("%1 does not exist").arg(o.peerFile), install);
    if (!peer.open(QIODevice::ReadOnly))
        return item(name, true, QStringLiteral("%1 exists (not readable here; pppd reads it as root)").arg(o.peerFile));

    const QStringList options = optionLines(peer);
    for (const QString &line : options) {
        if (line.section(QLatin1Char(' '), 0, 0) == QLatin1String("connect") && ::geteuid() != 0)
            return item(name, false, QStringLiteral("%1 has a connect line").arg(o.peerFile),
                        QStringLiteral("remove it: trevalo gives pppd its own connect script, which pppd "
                                       "refuses to take over one from the peer file unless run as root"));
    }
    for (const QString &line : options) {
        if (line.startsWith(QLatin1String("/dev/")) && !QFileInfo::exists(line.section(QLatin1Char(' '), 0, 0)))
            return item(name, false, QStringLiteral("%1 names %2, which does not exist").arg(o.peerFile, line),
                        QStringLiteral("set its port line to the modem's data port"));
    }
    return item(name, true, QStringLiteral("%1 is there").arg(o.peerFile));
}

SetupCheck::Item SetupCheck::checkLeftoverPppd(const Options &o)
{
    const QString name = QStringLiteral("leftover pppd");
    if (BenchClient::isAvailable() && o.pppd.isEmpty())
        return item(name, true, QStringLiteral("not used: the virtual bench dials"));
    PppdLeftovers::Places places = PppdLeftovers::defaultPlaces(o.peerName.toStdString());
    if (!o.pppdPidDir.isEmpty())
        places.pidDir = QFile::encodeName(o.pppdPidDir).toStdString();
    if (!o.lockDir.isEmpty())
        places.lockDir = QFile::encodeName(o.lockDir).toStdString();
    places.peerFile = QFile::encodeName(o.peerFile).toStdString();
    places.procDir = QFile::encodeName(o.procDir).toStdString();
    // As a dial would: it gets no further while one of ours holds the port.
    constexpr int kGraceMs = 5000;
    QStringList ended, held;
    for (const PppdLeftovers::Finding &f : PppdLeftovers::sweep(places, kGraceMs))
        (f.ended ? ended : held) << QString::fromLocal8Bit(f.text.c_str());
    if (!held.isEmpty())
        return item(name, false, (ended + held).join(QStringLiteral("; ")),
                    QStringLiteral("end it, or wait until it has hung up: pppd cannot dial while the port is held"));
    if (!ended.isEmpty())
        return item(name, true, ended.join(QStringLiteral("; ")));
    return item(name, true, QStringLiteral("none holds the modem's port"));
}

SetupCheck::Item SetupCheck::checkPing(const Options &o)
{
    const QString name = QStringLiteral("ping");
    const QString ping = findProgram(o.ping, QStringLiteral("ping"));
    if (ping.isEmpty() || !QFileInfo(ping).isExecutable())
        return item(name, false, QStringLiteral("not installed"), QStringLiteral("sudo apt install iputils-ping"));
    // Only loopback: whether this user may send echo requests at all.
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(ping, {QStringLiteral("-c"), QStringLiteral("1"), QStringLiteral("-W"), QStringLiteral("2"),
                   QStringLiteral("127.0.0.1")});
    if (!p.waitForFinished(kPingTimeoutMs)) {
        p.kill();
        p.waitForFinished();
        return item(name, false, QStringLiteral("%1 does not finish").arg(ping), QStringLiteral("reinstall iputils-ping"));
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return item(name, false,
                    QStringLiteral("%1 cannot ping 127.0.0.1: %2").arg(ping, QString::fromLocal8Bit(p.readAll()).trimmed().section(QLatin1Char('\n'), 0, 0)),
                    QStringLiteral("reinstall iputils-ping, which may send echo requests as any user"));
    return item(name, true, QStringLiteral("%1 reaches 127.0.0.1").arg(ping));
}
