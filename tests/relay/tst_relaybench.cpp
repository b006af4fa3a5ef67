// The relay library against the virtual bench's boards, reached through
// TREVALO_BENCH like the program reaches them.
#include <QtTest>

#include "BenchProcess.h"
#include "usb_relay_device.h"

class tst_RelayBench : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void listsTheBenchBoards();
    void switchesTheSecondBoardThroughACopiedRecord();
    void benchFaultsAreFailures();
    void unpluggedBoardCannotBeOpened();
    void benchGoneMeansNoBoards();

private:
    unsigned int benchStatus(const QString &serial) const;

    BenchProcess m_bench;
};

void tst_RelayBench::initTestCase()
{
    QVERIFY2(m_bench.start({QStringLiteral("--boards"), QStringLiteral("BRD01:2,BRD02:8")}),
             qPrintable(m_bench.errorString()));
}

void tst_RelayBench::cleanup()
{
    if (m_bench.isRunning())
        QVERIFY(m_bench.clearFaults());
    QCOMPARE(usb_relay_device_open_handle_count(), 0);
}

unsigned int tst_RelayBench::benchStatus(const QString &serial) const
{
    const QJsonArray boards = m_bench.state().value(QStringLiteral("boards")).toArray();
    for (const QJsonValue &board : boards) {
        if (board.toObject().value(QStringLiteral("serial")).toString() == serial)
            return unsigned(board.toObject().value(QStringLiteral("status")).toInt());
    }
    return 0xFFFFFFFFu;
}

void tst_RelayBench::listsTheBenchBoards()
{
    usb_relay_device_info *head = usb_relay_device_enumerate();
    QVERIFY(head && head->next);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(head->serial_number)), QByteArray("BRD01"));
    QCOMPARE(QByteArray(head->device_path), QByteArray("bench:BRD01"));
    QCOMPARE(head->type, USB_RELAY_DEVICE_TWO_CHANNEL);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(head->next->serial_number)), QByteArray("BRD02"));
    QCOMPARE(head->next->type, USB_RELAY_DEVICE_EIGHT_CHANNEL);
    QVERIFY(head->next->next == nullptr);
    usb_relay_device_free_enumerate(head);
}

void tst_RelayBench::switchesTheSecondBoardThroughACopiedRecord()
{
    usb_relay_device_info *head = usb_relay_device_enumerate();
    QVERIFY(head && head->next);
    usb_relay_device_info copy = *head->next;

    const intptr_t handle = usb_relay_device_open(&copy);
    QVERIFY(handle != 0);
    unsigned int status = 0xFF;
    QCOMPARE(usb_relay_device_get_status(handle, &status), 0);
    QCOMPARE(status, 0u);

    QCOMPARE(usb_relay_device_open_one_relay_channel(handle, 1), 0);
    QCOMPARE(usb_relay_device_open_one_relay_channel(handle, 8), 0);
    QCOMPARE(benchStatus(QStringLiteral("BRD02")), 0x81u);
    QCOMPARE(benchStatus(QStringLiteral("BRD01")), 0u); // the chip's board untouched
    QCOMPARE(usb_relay_device_get_status(handle, &status), 0);
    QCOMPARE(status, 0x81u);
    QVERIFY(usb_relay_device_open_one_relay_channel(handle, 9) != 0);

    QCOMPARE(usb_relay_device_close_one_relay_channel(handle, 1), 0);
    QCOMPARE(usb_relay_device_close_one_relay_channel(handle, 8), 0);
    QCOMPARE(benchStatus(QStringLiteral("BRD02")), 0u);

    usb_relay_device_close(handle);
    QVERIFY(usb_relay_device_get_status(handle, &status) != 0);
    usb_relay_device_free_enumerate(head);
}

void tst_RelayBench::benchFaultsAreFailures()
{
    usb_relay_device_info *head = usb_relay_device_enumerate();
    QVERIFY(head);
    const intptr_t handle = usb_relay_device_open(head);
    QVERIFY(handle != 0);
    unsigned int status = 0;

    QVERIFY(m_bench.setFault(QStringLiteral("relay.statusFails"), true));
    QVERIFY(usb_relay_device_get_status(handle, &status) != 0);
    QVERIFY(m_bench.clearFaults());

    QVERIFY(m_bench.setFault(QStringLiteral("relay.switchFails"), true));
    QVERIFY(usb_relay_device_open_one_relay_channel(handle, 1) != 0);
    QVERIFY(m_bench.clearFaults());

    // Acknowledged, but the contact did not move: not confirmed, so failed.
    QVERIFY(m_bench.setFault(QStringLiteral("relay.switchStuck"), QStringLiteral("BRD01")));
    QVERIFY(usb_relay_device_open_one_relay_channel(handle, 2) != 0);
    QCOMPARE(benchStatus(QStringLiteral("BRD01")), 0u);
    QVERIFY(m_bench.clearFaults());

    QCOMPARE(usb_relay_device_open_one_relay_channel(handle, 2), 0);
    QCOMPARE(usb_relay_device_close_one_relay_channel(handle, 2), 0);
    usb_relay_device_close(handle);
    usb_relay_device_free_enumerate(head);
}

void tst_RelayBench::unpluggedBoardCannotBeOpened()
{
    usb_relay_device_info *head = usb_relay_device_enumerate();
    QVERIFY(head && head->next);
    const usb_relay_device_info first = *head;
    usb_relay_device_info second = *head->next;
    const intptr_t handle = usb_relay_device_open(&second);
    QVERIFY(handle != 0);
    QCOMPARE(usb_relay_device_open_one_relay_channel(handle, 3), 0);

    // Pulled mid-run: the open handle fails, a new open fails, the other
    // board carries on.
    QVERIFY(m_bench.setFault(QStringLiteral("relay.missing"), QStringLiteral("BRD02")));
    unsigned int status = 0;
    QVERIFY(usb_relay_device_get_status(handle, &status) != 0);
    QVERIFY(usb_relay_device_close_one_relay_channel(handle, 3) != 0);
    QCOMPARE(usb_relay_device_open(&second), intptr_t(0));
    usb_relay_device_info firstCopy = first;
    const intptr_t other = usb_relay_device_open(&firstCopy);
    QVERIFY(other != 0);
    usb_relay_device_close(other);

    usb_relay_device_info *later = usb_relay_device_enumerate();
    QVERIFY(later && later->next == nullptr);
    usb_relay_device_free_enumerate(later);

    // Plugged back in: it opens again from the same record.
    QVERIFY(m_bench.clearFaults());
    const intptr_t again = usb_relay_device_open(&second);
    QVERIFY(again != 0);
    usb_relay_device_close(again);
    usb_relay_device_close(handle);
    usb_relay_device_free_enumerate(head);
}

void tst_RelayBench::benchGoneMeansNoBoards()
{
    usb_relay_device_info *head = usb_relay_device_enumerate();
    QVERIFY(head);
    const intptr_t handle = usb_relay_device_open(head);
    QVERIFY(handle != 0);

    QVERIFY(m_bench.stop());
    unsigned int status = 0;
    QVERIFY(usb_relay_device_get_status(handle, &status) != 0);
    QVERIFY(usb_relay_device_open_one_relay_channel(handle, 1) != 0);
    QCOMPARE(usb_relay_device_open(head), intptr_t(0));
    QVERIFY(usb_relay_device_enumerate() == nullptr);
    usb_relay_device_close(handle);
    usb_relay_device_free_enumerate(head);
}

QTEST_GUILESS_MAIN(tst_RelayBench)
#include "tst_relaybench.moc"
