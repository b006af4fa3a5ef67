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

    // A channel already on (left so by a killed run or a failed switch-off)
    // would give no power-up: the chip would not boot, and the cycle would
    // fail waiting for a boot that never comes. It is switched off and left
    // off a moment first. Where even that fails, on as before.
    const unsigned int bit = setup->relayChannel >= 1 && setup->relayChannel <= 32 ? 1u << (setup->relayChannel - 1) : 0u;
    if ((status & bit) != 0 && usb_relay_device_close_one_relay_channel(relayHandle, setup->relayChannel) == 0) {
        log(QStringLiteral("Relay channel %1 was on: switched off first so that the chip boots").arg(setup->relayChannel),
            QColor(Qt::yellow));
        constexpr int supplyOffMs = 2000;
        // Stopped meanwhile: the chip stays off and the caller sees the stop.
        if (waitFor(supplyOffMs, [] { return false; }) == WaitResult::Stopped)
            return true;
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
