// The relay library against emulated HID boards: listing, report encoding
// and decoding, confirmation of switches, and handle and record validation.
#include <QtTest>

#include <atomic>
#include <thread>

#include "FakeHidBoards.h"
#include "usb_relay_device.h"

namespace {

std::vector<usb_relay_device_info *> records(usb_relay_device_info *head)
{
    std::vector<usb_relay_device_info *> result;
    for (usb_relay_device_info *it = head; it; it = it->next)
        result.push_back(it);
    return result;
}

QString serialOf(const usb_relay_device_info *record)
{
    return QString::fromLatin1(reinterpret_cast<const char *>(record->serial_number));
}

} // namespace

class tst_RelayHid : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void listsOnlyReadableRelayBoards();
    void switchesWithFeatureReportsAndConfirms();
    void failedReadsAndWritesAreFailures();
    void boardFollowsItsIdAcrossPaths();
    void handlesAreValidated();
    void recordsAreValidated();
    void twoThreadsShareTheLibrary();

private:
    FakeHidBoards m_hid;
};

void tst_RelayHid::initTestCase()
{
    // Only the emulated boards: no virtual bench behind the list.
    qunsetenv("TREVALO_BENCH");
}

void tst_RelayHid::init()
{
    m_hid.boards.clear();
    m_hid.sent.clear();
    usb_relay_device_set_hid_transport(&m_hid);
}

void tst_RelayHid::cleanup()
{
    QCOMPARE(usb_relay_device_open_handle_count(), 0);
    QCOMPARE(m_hid.openDevices, 0);
    usb_relay_device_set_hid_transport(nullptr);
}

void tst_RelayHid::listsOnlyReadableRelayBoards()
{
    m_hid.boards["/dev/hidraw0"] = {"USBRelay2", "QAAMZ", 0x02};
    m_hid.boards["/dev/hidraw1"] = {"USBRelay8", "HURTM", 0x81};
    m_hid.boards["/dev/hidraw2"] = {"Keyboard", "KEYBD", 0};
    m_hid.boards["/dev/hidraw3"] = {"USBRelay9", "NINE9", 0};
    m_hid.boards["/dev/hidraw4"] = {"USBRelay1", "DEAD1", 0};
    m_hid.boards["/dev/hidraw4"].failRead = true;
    m_hid.boards["/dev/hidraw5"] = {"USBRelay4", "SHRT4", 0};
    m_hid.boards["/dev/hidraw5"].shortRead = 8;

    usb_relay_device_info *head = usb_relay_device_enumerate();
    const auto list = records(head);
    QCOMPARE(list.size(), std::size_t(2));
    QCOMPARE(serialOf(list[0]), QStringLiteral("QAAMZ"));
    QCOMPARE(QString::fromLatin1(list[0]->device_path), QStringLiteral("/dev/hidraw0"));
    QCOMPARE(list[0]->type, USB_RELAY_DEVICE_TWO_CHANNEL);
    QCOMPARE(serialOf(list[1]), QStringLiteral("HURTM"));
    QCOMPARE(list[1]->type, USB_RELAY_DEVICE_EIGHT_CHANNEL);
    QCOMPARE(m_hid.openDevices, 0); // listing closes what it opened

    const intptr_t handle = usb_relay_device_open(list[1]);
    QVERIFY(handle != 0);
    unsigned int status = 0xDEAD;
    QCOMPARE(usb_relay_device_get_status(handle, &status), 0);
    QCOMPARE(status, 0x81u);
    usb_relay_device_close(handle);
    usb_relay_device_free_enumerate(head);

    m_hid.boards.clear();
    QVERIFY(usb_relay_device_enumerate() == nullptr);
}

void tst_RelayHid::switchesWithFeatureReportsAndConfirms()
{
    m_hid.boards["/dev/hidraw0"] = {"USBRelay2", "FIRST", 0};
    m_hid.boards["/dev/hidraw1"] = {"USBRelay4", "SECND", 0};
    usb_relay_device_info *head = usb_relay_device_enumerate();
    QVERIFY(head && head->next);
    usb_relay_device_info copy = *head->next; // what the window hands the worker

    const intptr_t handle = usb_relay_device_open(&copy);
    QVERIFY(handle != 0);
    QCOMPARE(usb_relay_device_open_one_relay_channel(handle, 3), 0);
    const std::vector<unsigned char> on{0x00, 0xFF, 0x03, 0, 0, 0, 0, 0, 0};
    QCOMPARE(m_hid.sent.back(), on);
    QCOMPARE(int(m_hid.boards["/dev/hidraw1"].state), 0x04);
    QCOMPARE(int(m_hid.boards["/dev/hidraw0"].state), 0x00);

    unsigned int status = 0;
    QCOMPARE(usb_relay_device_get_status(handle, &status), 0);
    QCOMPARE(status, 0x04u);

    QCOMPARE(usb_relay_device_close_one_relay_channel(handle, 3), 0);
    const std::vector<unsigned char> off{0x00, 0xFD, 0x03, 0, 0, 0, 0, 0, 0};
    QCOMPARE(m_hid.sent.back(), off);
    QCOMPARE(int(m_hid.boards["/dev/hidraw1"].state), 0x00);

    // Switching an already-off channel off is confirmed as well.
    QCOMPARE(usb_relay_device_close_one_relay_channel(handle, 3), 0);

    // Channels the board does not have are refused without touching it.
    const std::size_t sentBefore = m_hid.sent.size();
    QVERIFY(usb_relay_device_open_one_relay_channel(handle, 0) != 0);
    QVERIFY(usb_relay_device_open_one_relay_channel(handle, 5) != 0);
    QVERIFY(usb_relay_device_close_one_relay_channel(handle, -1) != 0);
    QCOMPARE(m_hid.sent.size(), sentBefore);

    // A relay that does not follow the command is a failed switch.
    m_hid.boards["/dev/hidraw1"].stuck = true;
    QVERIFY(usb_relay_device_open_one_relay_channel(handle, 1) != 0);
    m_hid.boards["/dev/hidraw1"].stuck = false;
    m_hid.boards["/dev/hidraw1"].state = 0x01;
    m_hid.boards["/dev/hidraw1"].stuck = true;
    QVERIFY(usb_relay_device_close_one_relay_channel(handle, 1) != 0);

    usb_relay_device_close(handle);
    usb_relay_device_free_enumerate(head);
}

void tst_RelayHid::failedReadsAndWritesAreFailures()
{
    m_hid.boards["/dev/hidraw0"] = {"USBRelay2", "FLAKY", 0};
    usb_relay_device_info *head = usb_relay_device_enumerate();
    QVERIFY(head);
    const intptr_t handle = usb_relay_device_open(head);
    QVERIFY(handle != 0);
    FakeHidBoards::Board &board = m_hid.boards["/dev/hidraw0"];

    unsigned int status = 0;
    board.failRead = true;
    QVERIFY(usb_relay_device_get_status(handle, &status) != 0);
    // The command went out, but without a read-back the switch is unconfirmed.
    QVERIFY(usb_relay_device_open_one_relay_channel(handle, 1) != 0);
    board.failRead = false;

    board.shortRead = 8; // the bitmask byte missing
    QVERIFY(usb_relay_device_get_status(handle, &status) != 0);
    board.shortRead = 0;

    board.state = 0;
    board.failWrite = true;
    QVERIFY(usb_relay_device_open_one_relay_channel(handle, 2) != 0);
    board.failWrite = false;

    QVERIFY(usb_relay_device_get_status(handle, nullptr) != 0);

    // Unplugged while open: everything on the handle fails, closing still works.
    board.present = false;
    QVERIFY(usb_relay_device_get_status(handle, &status) != 0);
    QVERIFY(usb_relay_device_close_one_relay_channel(handle, 1) != 0);
    QCOMPARE(usb_relay_device_open(head), intptr_t(0));
    usb_relay_device_close(handle);
    usb_relay_device_free_enumerate(head);
}

void tst_RelayHid::boardFollowsItsIdAcrossPaths()
{
    m_hid.boards["/dev/hidraw0"] = {"USBRelay2", "MINE1", 0};
    usb_relay_device_info *head = usb_relay_device_enumerate();
    QVERIFY(head);

    // Plugged in again: another board now has the old path, ours a new one.
    m_hid.boards["/dev/hidraw0"] = {"USBRelay2", "OTHER", 0};
    m_hid.boards["/dev/hidraw7"] = {"USBRelay2", "MINE1", 0};
    const intptr_t handle = usb_relay_device_open(head);
    QVERIFY(handle != 0);
    QCOMPARE(usb_relay_device_open_one_relay_channel(handle, 1), 0);
    QCOMPARE(int(m_hid.boards["/dev/hidraw7"].state), 1);
    QCOMPARE(int(m_hid.boards["/dev/hidraw0"].state), 0);
    usb_relay_device_close(handle);

    // Gone altogether: the other board must not be switched in its place.
    m_hid.boards.erase("/dev/hidraw7");
    QCOMPARE(usb_relay_device_open(head), intptr_t(0));
    usb_relay_device_free_enumerate(head);
}

void tst_RelayHid::handlesAreValidated()
{
    m_hid.boards["/dev/hidraw0"] = {"USBRelay2", "HNDL1", 0};
    usb_relay_device_info *head = usb_relay_device_enumerate();
    QVERIFY(head);
    unsigned int status = 0;

    for (const intptr_t bogus : {intptr_t(0), intptr_t(1), intptr_t(-1), reinterpret_cast<intptr_t>(head)}) {
        QVERIFY(usb_relay_device_get_status(bogus, &status) != 0);
        QVERIFY(usb_relay_device_open_one_relay_channel(bogus, 1) != 0);
        QVERIFY(usb_relay_device_close_one_relay_channel(bogus, 1) != 0);
        usb_relay_device_close(bogus);
    }

    // Each open is its own handle with its own device.
    const intptr_t first = usb_relay_device_open(head);
    const intptr_t second = usb_relay_device_open(head);
    QVERIFY(first != 0 && second != 0 && first != second);
    QCOMPARE(usb_relay_device_open_handle_count(), 2);
    QCOMPARE(m_hid.openDevices, 2);

    usb_relay_device_close(first);
    QCOMPARE(usb_relay_device_open_handle_count(), 1);
    QCOMPARE(m_hid.openDevices, 1);
    QVERIFY(usb_relay_device_get_status(first, &status) != 0);
    usb_relay_device_close(first); // twice: harmless
    QCOMPARE(usb_relay_device_get_status(second, &status), 0);

    // A closed handle is never handed out again.
    const intptr_t third = usb_relay_device_open(head);
    QVERIFY(third != first && third != second);
    usb_relay_device_close(second);
    usb_relay_device_close(third);
    usb_relay_device_free_enumerate(head);
}

void tst_RelayHid::recordsAreValidated()
{
    m_hid.boards["/dev/hidraw0"] = {"USBRelay2", "RECD1", 0};
    m_hid.boards["/dev/hidraw1"] = {"USBRelay2", "RECD2", 0};
    QCOMPARE(usb_relay_device_open(nullptr), intptr_t(0));

    // A record made up by the caller is not one of ours.
    unsigned char serial[] = "RECD1";
    char path[] = "/dev/hidraw0";
    usb_relay_device_info madeUp{serial, path, USB_RELAY_DEVICE_TWO_CHANNEL, nullptr};
    QCOMPARE(usb_relay_device_open(&madeUp), intptr_t(0));

    usb_relay_device_info *head = usb_relay_device_enumerate();
    QVERIFY(head && head->next);
    const usb_relay_device_info copy = *head->next;

    // A second listing does not invalidate the first.
    usb_relay_device_info *newer = usb_relay_device_enumerate();
    QVERIFY(newer && newer != head);
    usb_relay_device_info copyOfCopy = copy;
    intptr_t handle = usb_relay_device_open(&copyOfCopy);
    QVERIFY(handle != 0);
    QCOMPARE(usb_relay_device_open_one_relay_channel(handle, 2), 0);
    QCOMPARE(int(m_hid.boards["/dev/hidraw1"].state), 0x02);
    usb_relay_device_close(handle);

    // Freeing anything but a live head is ignored.
    usb_relay_device_free_enumerate(head->next);
    usb_relay_device_free_enumerate(&copyOfCopy);
    handle = usb_relay_device_open(&copyOfCopy);
    QVERIFY(handle != 0);
    usb_relay_device_close(handle);

    // Once its list is freed, a copy of a record fails to open instead of
    // reading freed memory; freeing twice is harmless.
    usb_relay_device_free_enumerate(head);
    usb_relay_device_free_enumerate(head);
    QCOMPARE(usb_relay_device_open(&copyOfCopy), intptr_t(0));
    handle = usb_relay_device_open(newer->next);
    QVERIFY(handle != 0);
    usb_relay_device_close(handle);
    usb_relay_device_free_enumerate(newer);
}

void tst_RelayHid::twoThreadsShareTheLibrary()
{
    m_hid.boards["/dev/hidraw0"] = {"USBRelay2", "THRD1", 0};
    usb_relay_device_info *head = usb_relay_device_enumerate();
    QVERIFY(head);
    const usb_relay_device_info copy = *head;

    // The window keeps listing while the worker switches its board.
    std::atomic<bool> done{false};
    std::thread lister([&] {
        while (!done) {
            usb_relay_device_info *list = usb_relay_device_enumerate();
            usb_relay_device_free_enumerate(list);
        }
    });
    int failures = 0;
    for (int i = 0; i < 300; ++i) {
        usb_relay_device_info record = copy;
        const intptr_t handle = usb_relay_device_open(&record);
        unsigned int status = 0;
        if (!handle || usb_relay_device_get_status(handle, &status) != 0
            || usb_relay_device_open_one_relay_channel(handle, 1) != 0
            || usb_relay_device_close_one_relay_channel(handle, 1) != 0)
            ++failures;
        usb_relay_device_close(handle);
    }
    done = true;
    lister.join();
    QCOMPARE(failures, 0);
    usb_relay_device_free_enumerate(head);
}

QTEST_GUILESS_MAIN(tst_RelayHid)
#include "tst_relayhid.moc"
