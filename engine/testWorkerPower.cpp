// Chip power control: one relay channel of the chosen board (channel 1
// unless set otherwise) carries the chip's supply. The library switches that
// channel alone, so other runs' chips on the same board keep their supply.
// The board stays open between power-on and power-off.
#include "testWorker.h"

#include <QCoreApplication>

#include "TestSetup.h"
#include "usb_relay_device.h"

bool testWorker::powerOnChip()
{
    log(QStringLiteral("Power on chip..."), QColor(Qt::white));
    reportStep(QStringLiteral("powering the chip on"));
    QCoreApplication::processEvents();

    // A board left open by a failed switch is closed first: a run of many
    // days would otherwise run out of handles one failed cycle at a time.
    if (relayHandle != 0) {
        usb_relay_device_close(relayHandle);
        relayHandle = 0;
    }

    relayHandle = setup ? usb_relay_device_open(&setup->relayDevice) : 0;
    if (relayHandle == 0) {
        log(QStringLiteral("Failed!!!Fail to open device!"), QColor(Qt::red));
        return false;
    }

    unsigned int status = 0;
    if (usb_relay_device_get_status(relayHandle, &status) != 0) {
        usb_relay_device_close(relayHandle);
        relayHandle = 0;
        log(QStringLiteral("Failed!!!Open device error!"), QColor(Qt::red));
        return false;
    }

    if (usb_relay_device_open_one_relay_channel(relayHandle, setup->relayChannel) == 0)
        return true;
    log(QStringLiteral("Failed!!!Fail to open relay!"), QColor(Qt::red));
    return false;
}

bool testWorker::powerOffChip()
{
    log(QStringLiteral("Power off chip..."), QColor(Qt::white));
    reportStep(QStringLiteral("powering the chip off"));
    QCoreApplication::processEvents();

    const int channel = setup ? setup->relayChannel : 1;
    if (usb_relay_device_close_one_relay_channel(relayHandle, channel) != 0) {
        log(QStringLiteral("Failed!!!Fail to close relay!"), QColor(Qt::red));
        QCoreApplication::processEvents();
        return false;
    }
    usb_relay_device_close(relayHandle);
    relayHandle = 0;
    return true;
}
