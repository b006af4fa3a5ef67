// The whole bench: owns the chip, the relay boards, the dial service and
// the echo server, answers the control socket, and publishes itself in its
// runtime folder (bench.json, control.sock).
#ifndef BENCHSERVER_H
#define BENCHSERVER_H

#include "BenchOptions.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include <memory>

class ChipModel;
class ControlConnection;
class DialService;
class EchoServer;
class FaultSet;
class PseudoTerminal;
class QLocalServer;
class QLockFile;
class RelayBank;

class BenchServer : public QObject
{
    Q_OBJECT

public:
    explicit BenchServer(QObject *parent = nullptr);
    ~BenchServer() override;

    // Brings everything up and publishes bench.json; false with *error.
    bool start(const BenchOptions &options, QString *error);
    // Withdraws bench.json and the socket, and the folder if the bench made it.
    void shutdown();
    QString runtimeDir() const { return m_dir; }

    QJsonObject handle(ControlConnection *from, const QJsonObject &req);

signals:
    void quitRequested();

private:
    bool prepareFolder(const QString &wanted, QString *error);
    bool publish(QString *error);
    void onNewControlConnection();
    void onRequest(ControlConnection *from, const QJsonObject &req);
    void onConnectionClosed(ControlConnection *conn);
    void onDialProgress(QObject *owner, int id, int state, int error);
    QJsonObject state() const;

    QJsonObject chipState(int chip) const;
    QJsonObject faultReply() const;

    FaultSet *m_faults = nullptr;
    QList<PseudoTerminal *> m_ptys; // chip k at k-1, as m_chips
    QList<ChipModel *> m_chips;
    QList<BoardSetup> m_boards;
    RelayBank *m_relays = nullptr;
    DialService *m_dials = nullptr;
    EchoServer *m_echo = nullptr;
    QLocalServer *m_control = nullptr;
    std::unique_ptr<QLockFile> m_lock;
    QSet<ControlConnection *> m_connections;
    QString m_dir;
    bool m_createdDir = false;
    bool m_published = false;
    QElapsedTimer m_uptime;
};

#endif // BENCHSERVER_H
