#include "FakePppd.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>

namespace {

const char kPppdScript[] = R"SH(#!/bin/sh
dir="$FAKE_PPPD_DIR"
mode="${FAKE_PPPD_MODE:-ok}"
step="${FAKE_PPPD_STEP:-0}"
: > "$dir/args"
prev=
script=
for a in "$@"; do
    printf '%s\n' "$a" >> "$dir/args"
    [ "$prev" = connect ] && script="$a"
    prev="$a"
done
echo started >> "$dir/events"
echo $$ > "$dir/pid"
child=
pause() { sleep "$1" & child=$!; wait $child; child=; }
say() { [ "$step" != 0 ] && pause "$step"; echo "$1"; }
finish() { echo "exit $1" >> "$dir/events"; exit "$1"; }
on_term() {
    echo term >> "$dir/events"
    [ -n "$child" ] && kill "$child" 2>/dev/null
    echo "Terminating on signal 15"
    echo "Connect time 0.1 minutes."
    echo "Sent 1200 bytes, received 900 bytes."
    echo "Connection terminated."
    finish 5
}
trap on_term TERM
link_up() {
    say "Serial connection established."
    say "using channel 7"
    say "Using interface ${FAKE_PPPD_IFNAME:-ppp0}"
    say "Connect: ${FAKE_PPPD_IFNAME:-ppp0} <--> /dev/ttyUSB2"
}
ip_up() {
    say "local  IP address 10.64.64.64"
    say "remote IP address 10.112.112.112"
    say "primary   DNS address 10.11.12.13"
}
hold() { echo held >> "$dir/events"; while :; do pause 30; done; }
case "$mode" in
ok|slow)
    link_up; say "PAP authentication succeeded"; ip_up; hold ;;
chap)
    link_up; say "CHAP authentication succeeded"; ip_up; hold ;;
connect-fail)
    say "Connect script failed"; finish 8 ;;
auth-fail)
    link_up; say "PAP authentication failed"; say "Connection terminated."; finish 19 ;;
hangup)
    link_up; say "Modem hangup"; say "Connection terminated."; finish 16 ;;
drop)
    link_up; say "PAP authentication succeeded"; ip_up; pause 0.3
    say "Modem hangup"; say "Connection terminated."; finish 16 ;;
exit:*)
    finish "${mode#exit:}" ;;
stubborn)
    trap 'echo term >> "$dir/events"' TERM; link_up; ip_up; hold ;;
linger)
    say "Connect script failed"; hold ;;
script)
    if sh -c "$script"; then link_up; ip_up; hold; fi
    say "Connect script failed"; finish 8 ;;
esac
)SH";

const char kChatScript[] = R"SH(#!/bin/sh
: > "$FAKE_PPPD_DIR/chat-args"
for a in "$@"; do printf '%s\n' "$a" >> "$FAKE_PPPD_DIR/chat-args"; done
exit 0
)SH";

bool writeExecutable(const QString &path, const char *text)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    f.write(text);
    f.close();
    return f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QStringList readLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromLocal8Bit(f.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace

FakePppd::FakePppd() : m_oldPath(qgetenv("PATH"))
{
    if (!m_dir.isValid())
        return;
    const QDir d(m_dir.path());
    d.mkpath(QStringLiteral("bin"));
    m_valid = writeExecutable(d.filePath(QStringLiteral("bin/pppd")), kPppdScript)
              && writeExecutable(d.filePath(QStringLiteral("bin/chat")), kChatScript);
    qputenv("PATH", QFile::encodeName(d.filePath(QStringLiteral("bin"))) + ":/usr/bin:/bin");
    qputenv("FAKE_PPPD_DIR", QFile::encodeName(m_dir.path()));
    qunsetenv("TREVALO_BENCH");
    setMode(QStringLiteral("ok"));
}

FakePppd::~FakePppd()
{
    qputenv("PATH", m_oldPath);
    qunsetenv("FAKE_PPPD_DIR");
    qunsetenv("FAKE_PPPD_MODE");
    qunsetenv("FAKE_PPPD_STEP");
    qunsetenv("FAKE_PPPD_IFNAME");
}

void FakePppd::setMode(const QString &mode, int stepMs)
{
    QFile::remove(QDir(m_dir.path()).filePath(QStringLiteral("events")));
    QFile::remove(QDir(m_dir.path()).filePath(QStringLiteral("args")));
    qputenv("FAKE_PPPD_MODE", mode.toLocal8Bit());
    qputenv("FAKE_PPPD_STEP", QByteArray::number(stepMs / 1000.0, 'f', 3));
    if (stepMs == 0)
        qputenv("FAKE_PPPD_STEP", "0");
}

void FakePppd::usePlainLoginPath()
{
    qputenv("PATH", "/usr/local/bin:/usr/bin:/bin");
}

bool FakePppd::makeUnrunnable()
{
    return QFile::setPermissions(QDir(m_dir.path()).filePath(QStringLiteral("bin/pppd")),
                                 QFile::ReadOwner | QFile::WriteOwner);
}

bool FakePppd::removeChat()
{
    return QFile::remove(QDir(m_dir.path()).filePath(QStringLiteral("bin/chat")));
}

qint64 FakePppd::leaveBehind(const QString &peer)
{
    QFile::remove(QDir(m_dir.path()).filePath(QStringLiteral("events")));
    QProcess dialler;
    dialler.start(QStringLiteral(TREVALO_DIAL_AND_HOLD), peer.isEmpty() ? QStringList() : QStringList{peer});
    if (!dialler.waitForStarted(5000))
        return 0;
    QByteArray said;
    const QDeadlineTimer deadline(10000);
    while (!said.contains('\n') && !deadline.hasExpired() && dialler.state() == QProcess::Running) {
        dialler.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        said += dialler.readAllStandardOutput();
    }
    // Killed once pppd has said all it says: a pppd writing to the dead
    // run's pipe would end by SIGPIPE.
    const qint64 left = said.startsWith("connected") && waitForEvent(QStringLiteral("held"), 5000) ? pid() : 0;
    dialler.kill();
    dialler.waitForFinished(5000);
    return left;
}

qint64 FakePppd::pid() const
{
    QFile f(QDir(m_dir.path()).filePath(QStringLiteral("pid")));
    return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toLongLong() : 0;
}

bool FakePppd::isRunning(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    // An ended process nobody has reaped yet is no longer running.
    return close > 0 && text.size() > close + 2 && text.at(close + 2) != 'Z';
}

bool FakePppd::useProgram(const QString &path)
{
    const QString link = QDir(m_dir.path()).filePath(QStringLiteral("bin/pppd"));
    QFile::remove(link);
    return QFile::link(path, link);
}

QStringList FakePppd::arguments() const
{
    return readLines(QDir(m_dir.path()).filePath(QStringLiteral("args")));
}

QStringList FakePppd::chatArguments() const
{
    return readLines(QDir(m_dir.path()).filePath(QStringLiteral("chat-args")));
}

QStringList FakePppd::events() const
{
    return readLines(QDir(m_dir.path()).filePath(QStringLiteral("events")));
}

bool FakePppd::waitForEvent(const QString &text, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (events().contains(text))
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(10);
    }
}
