// A stand-in "pppd" for tests: a shell script put first on PATH that prints
// what pppd prints during a dial and a hang-up, in the variant the test
// chooses, and records its arguments and what happened to it.
#ifndef FAKEPPPD_H
#define FAKEPPPD_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class FakePppd
{
public:
    // Variants (the script's "mode"):
    //   ok          dials, connects, then runs until SIGTERM
    //   chap        as ok, with CHAP authentication
    //   connect-fail, auth-fail, hangup   fail at that stage and exit like pppd
    //   drop        connects, then the modem hangs up after a moment
    //   exit:N      prints nothing and exits with status N
    //   stubborn    connects, then ignores SIGTERM
    //   linger      reports a failed connect script but does not exit
    //   slow        prints each stage after a pause (stepMs)
    //   script      runs its connect script through /bin/sh with a stand-in
    //               "chat" that records its arguments
    FakePppd();
    ~FakePppd();

    bool isValid() const { return m_valid; }
    void setMode(const QString &mode, int stepMs = 0);
    // PATH then is a plain login's, /usr/local/bin:/usr/bin:/bin, without
    // the stand-in and without /usr/sbin.
    void usePlainLoginPath();
    // The stand-in stays first on PATH but may not be run.
    bool makeUnrunnable();
    // The stand-in chat goes: the dial then finds the system's.
    bool removeChat();
    // A run that dialled and was killed outright with its link up: the
    // stand-in it started, in the current mode ("ok"), keeps running. Its
    // pid; 0 when the dial did not come up. peer: the dial's entry.
    qint64 leaveBehind(const QString &peer = QString());
    // The interface the stand-in says it uses ("Using interface ppp0").
    void setInterface(const QByteArray &name) { qputenv("FAKE_PPPD_IFNAME", name); }
    // Pid of the stand-in that started last.
    qint64 pid() const;
    // Whether process pid exists and has not ended.
    static bool isRunning(qint64 pid);
    // The given program (the real pppd) is run instead of the stand-in.
    bool useProgram(const QString &path);

    QStringList arguments() const;     // of the last run, one per element
    QStringList chatArguments() const; // of the stand-in chat, "script" mode
    QStringList events() const;        // "started", "term", "exit N"
    // Waits until the events contain text; false after timeoutMs.
    bool waitForEvent(const QString &text, int timeoutMs) const;
    QString dir() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QByteArray m_oldPath;
    bool m_valid = false;
};

#endif // FAKEPPPD_H
