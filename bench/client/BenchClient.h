// Client side of the virtual bench: finds a running bench through the
// TREVALO_BENCH environment variable and talks to its control socket.
//
// TREVALO_BENCH names the bench's runtime folder. The folder holds
// "bench.json" (what the bench offers) and "control.sock" (a local socket).
//
// bench.json:
//   { "pid": 1234, "name": "trevalo-bench", "version": 1,
//     "atPort": "/dev/pts/7", "atLink": "<folder>/ttyAT",      (chip 1's)
//     "chips": [ { "chip": 1, "atPort", "atLink", "board", "channel", "peer" }, ... ],
//     "echo": { "host": "127.0.0.1", "port": 6805 },
//     "control": "<folder>/control.sock",
//     "boards": [ { "serial": "BNCH1", "channels": 2 }, ... ] }
//
// Wire protocol on the control socket: one compact JSON object per line,
// both ways. Each request carries "op"; each reply carries "ok" (bool) and,
// when false, "error" (text, or a number where the op says so). Ops:
//   hello                                  -> name, version
//   relay.list                             -> boards: [{serial, channels}]  (present boards only)
//   relay.status  {serial}                 -> status: bitmask, bit n-1 = channel n
//   relay.set     {serial, channel, on}    -> status: bitmask after switching
//   dial          {number, peer}           -> conn: id, or ok false with error: RAS error code;
//                  (peer picks the chip's line: "provider" chip 1, "chipK" chip K)
//                  then, on the same connection, events
//                  {"event":"dial","conn":id,"state":RASCONNSTATE,"error":code}
//                  until state 8192 (connected), 8193 (disconnected) or error != 0
//   dial.status   {conn}                   -> state, error
//   hangup        {conn}                   -> (ok)
//   fault.set     {faults: {name: value}, chip} -> faults: all current values (chip: for it alone)
//   fault.get                              -> faults
//   fault.clear                            -> faults (all off)
//   state                                  -> chip power, boards, dials, echo counters
//   quit                                   -> (ok), then the bench exits
// A request's "id", if present, is copied into its reply. With the fault
// dial.dropAfterMs a connected dial later sends one more event: state 8193
// with error 628.
// The fault names and the state fields are listed in bench/README.md.
#ifndef BENCHCLIENT_H
#define BENCHCLIENT_H

#include <QJsonObject>
#include <QString>

#include <memory>

class QLocalSocket;

class BenchClient
{
public:
    // The folder named by TREVALO_BENCH; empty when the variable is unset.
    static QString runtimeDir();
    // bench.json of the named bench; an empty object when there is none.
    static QJsonObject info();
    // TREVALO_BENCH is set and names a folder with a readable bench.json.
    static bool isAvailable();
    // The bench's AT port device path; empty without a bench.
    static QString atPortPath();
    // The stable link to the AT port ("<folder>/ttyAT"), which follows the
    // port when it comes back as another device; empty without a bench.
    static QString atLinkPath();
    // The control socket's path; empty without a bench.
    static QString controlPath();

    // One request and its reply on a fresh connection, blocking up to
    // timeoutMs. Any failure gives {"ok": false, "error": "<text>"}.
    // Safe to call from any thread, with or without an event loop.
    static QJsonObject request(const QJsonObject &req, int timeoutMs = 3000);
    // The same on the control socket at socketPath, whatever TREVALO_BENCH says.
    static QJsonObject requestAt(const QString &socketPath, const QJsonObject &req,
                                 int timeoutMs = 3000);
};

// A lasting connection to the control socket, for streamed events. Use it
// from the thread that created it; it needs no event loop.
class BenchSession
{
public:
    BenchSession();
    ~BenchSession();
    BenchSession(const BenchSession &) = delete;
    BenchSession &operator=(const BenchSession &) = delete;

    bool open(int timeoutMs = 3000);
    bool isOpen() const;
    bool send(const QJsonObject &msg);
    // The next message, or an empty object when none came within timeoutMs
    // or the connection closed.
    QJsonObject next(int timeoutMs);
    void close();

    // Opens a session on the control socket at socketPath.
    bool openAt(const QString &socketPath, int timeoutMs = 3000);

    // Takes the next message off the front of what the bench sent, skipping
    // lines that are no JSON object; false when no whole line is left.
    static bool takeMessage(QByteArray &pending, QJsonObject *message);

private:
    std::unique_ptr<QLocalSocket> m_socket; // used on Windows only
    QByteArray m_pending;
    int m_fd = -1; // the connection on POSIX systems: plain blocking I/O, no event loop needed
};

#endif // BENCHCLIENT_H
