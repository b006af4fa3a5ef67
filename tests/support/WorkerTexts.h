// Log lines of the test worker that the tests look for, in its own words.
#ifndef WORKERTEXTS_H
#define WORKERTEXTS_H

#include <QString>

namespace WorkerText {

inline const QString Separator = QStringLiteral("=================================");
inline const QString Stop = QStringLiteral("Stop ...");
inline const QString Finished = QStringLiteral("Test is finished!");
inline const QString PowerOn = QStringLiteral("Power on chip...");
inline const QString PowerOff = QStringLiteral("Power off chip...");
inline const QString RelayCloseFailed = QStringLiteral("Failed!!!Fail to close relay!");
inline const QString AtTimeout = QStringLiteral("Failed!!!Wait AT response time out!");
inline const QString DialOk = QStringLiteral("PPP Dial up Success!");
inline const QString DialFailed = QStringLiteral("Failed!!!PPP Dial up failed!");
inline const QString ClosePpp = QStringLiteral("close PPP...");
inline const QString Closed = QStringLiteral("Closed");
inline const QString CloseSocket = QStringLiteral("Close socket...");
inline const QString NoData = QStringLiteral("Failed!!!Recieve no data from server!");
inline const QString WrongData = QStringLiteral("Failed!!!Recieve wrong data from server!");
inline const QString SendData = QStringLiteral("Send data to server...");
inline const QString ConnectServer = QStringLiteral("connect to server...");
inline const QString ConnectFailed = QStringLiteral("Failed!!!Fail to connect to host");
inline const QString WriteFailed = QStringLiteral("Failed!!!Fail to write data to server");
inline const QString DeviceOpenFailed = QStringLiteral("Failed!!!Fail to open device!");
inline const QString DeviceStatusFailed = QStringLiteral("Failed!!!Open device error!");
inline const QString RelayOpenFailed = QStringLiteral("Failed!!!Fail to open relay!");
inline const QString TryReopen = QStringLiteral("Try to open the port ...");
inline const QString PortFailed = QStringLiteral("Failed!!!Failed to open port!");
inline const QString PppOrTcpGaveUp =
    QStringLiteral("Failed!!!Fail to establish PPP or TCP connection for more than three times in a row");
inline const QString TcpGaveUp = QStringLiteral("Failed!!!Fail to establish TCP connection for more than three times in a row");

} // namespace WorkerText

#endif // WORKERTEXTS_H
