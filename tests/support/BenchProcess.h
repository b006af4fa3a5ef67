// Test fixture: a virtual bench (trevalo-bench) running as a separate
// process for the length of a test.
//
//   BenchProcess bench;                       // nothing runs yet
//   QVERIFY2(bench.start({"--boards", "BNCH1:2"}), qPrintable(bench.errorString()));
//   // TREVALO_BENCH now names the bench: the relay and dial layers and
//   // BenchClient find it by themselves.
//   serial.setPortName(bench.atPort());       // the chip's AT port, /dev/pts/N
//   socket.connectToHost("127.0.0.1", bench.echoPort());
//   bench.setFaults({{"echo.corruptAt", 1}}); // live; see bench/README.md
//   bench.setRelay("BNCH1", 1, true);         // power the chip
//   QTRY_COMPARE(bench.state()["chip"].toObject()["creg"].toInt(), 1);
//   bench.stop();                             // or let the destructor do it
//
// With --chips N, info()["chips"] lists each chip's AT port, link and
// channel, and state()["chips"] each chip's state; atPort(), atLink(),
// chip() and setChipPower() are chip 1's.
//
// The bench program is looked up beside the test executable
// (QCoreApplication::applicationDirPath(), all binaries share <build>/bin),
// or at TREVALO_BENCH_PROGRAM when that is set. It runs in a fresh
// temporary runtime folder. Unless the arguments name --echo-port, the
// echo server takes a free port (--echo-port 0), so benches of parallel
// tests never collide; read it with echoPort(). The bench follows this
// process (--parent-pid): should the test die without its destructors, the
// bench ends too. Call start() from the thread that stays for the bench's
// lifetime (the kernel ties the bench to the thread that started it).
//
// start() sets TREVALO_BENCH in this process; stop() and the destructor put
// back the value it had before. With two benches in one test, the later
// start wins; stop them in reverse order.
//
// All calls block with a deadline and need no event loop (they do not run
// one either); use them from the test's thread.
#ifndef BENCHPROCESS_H
#define BENCHPROCESS_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <memory>

class QProcess;
class QTemporaryDir;

class BenchProcess
{
public:
    BenchProcess();
    ~BenchProcess();
    BenchProcess(const BenchProcess &) = delete;
    BenchProcess &operator=(const BenchProcess &) = delete;

    // Starts the bench with these extra options (see bench/README.md), waits
    // until bench.json is published and the control socket answers "hello",
    // and sets TREVALO_BENCH. False with errorString() on failure.
    bool start(const QStringList &extraArgs = {}, int timeoutMs = 10000);
    // SIGTERM, then waits (kills after timeoutMs); restores TREVALO_BENCH.
    // True when the bench exited by itself with status 0.
    bool stop(int timeoutMs = 5000);
    bool isRunning() const;
    QString errorString() const { return m_error; }

    QString runtimeDir() const;   // the value TREVALO_BENCH got
    QString controlPath() const;
    QJsonObject info() const;     // bench.json as read at start
    QString atPort() const;       // /dev/pts/N at start
    QString atLink() const;       // link naming the chip's current AT port
    quint16 echoPort() const;
    qint64 pid() const;

    // One request on the control socket; {"ok": false, "error": ...} on failure.
    QJsonObject request(const QJsonObject &req, int timeoutMs = 3000) const;
    // fault.set; true when the bench accepted every value.
    bool setFaults(const QJsonObject &faults) const;
    bool setFault(const QString &name, const QJsonValue &value) const;
    bool clearFaults() const;
    QJsonObject faults() const;
    // The "state" reply (chip, boards, dials, echo, faults; see README).
    QJsonObject state() const;
    // Its "chip" and "dials" parts, and whether the chip has power.
    QJsonObject chip() const;
    QJsonObject dials() const;
    bool chipPowered() const;
    // relay.set; true on success.
    bool setRelay(const QString &serial, int channel, bool on) const;
    // Powers the chip (channel 1 of the first board) on or off.
    bool setChipPower(bool on) const;

    // Everything the bench wrote to stderr so far (its complaints).
    QByteArray errorOutput() const;

private:
    void restoreEnvironment();

    std::unique_ptr<QProcess> m_process;
    std::unique_ptr<QTemporaryDir> m_dir;
    QJsonObject m_info;
    QString m_error;
    mutable QByteArray m_stderr;
    QByteArray m_savedEnv;
    bool m_hadEnv = false;
    bool m_envSet = false;
};

namespace TestSupport {

// A TCP port on 127.0.0.1 that nobody listens on right now (it may be
// taken again before use, so prefer letting servers pick their own).
quint16 freeLoopbackPort();

// Path of a program built beside the test executable.
QString siblingProgram(const QString &name);

} // namespace TestSupport

#endif // BENCHPROCESS_H
