#include "BenchClient.h"
#include <QLocalSocket>
// Placeholder until the bench lands.
QString BenchClient::runtimeDir() { return QString::fromLocal8Bit(qgetenv("TREVALO_BENCH")); }
QJsonObject BenchClient::info() { return {}; }
bool BenchClient::isAvailable() { return false; }
QString BenchClient::atPortPath() { return {}; }
QString BenchClient::controlPath() { return {}; }
QJsonObject BenchClient::request(const QJsonObject &, int) { return {{"ok", false}, {"error", "no bench"}}; }
BenchSession::BenchSession() = default;
BenchSession::~BenchSession() = default;
bool BenchSession::open(int) { return false; }
bool BenchSession::isOpen() const { return false; }
bool BenchSession::send(const QJsonObject &) { return false; }
QJsonObject BenchSession::next(int) { return {}; }
void BenchSession::close() {}
