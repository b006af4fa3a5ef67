// The operator's selections and the persistent settings, owned by the window
// and read by the worker. The window writes it only while no run is active.
#ifndef TESTSETUP_H
#define TESTSETUP_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

#include "StepsFile.h"

#include "usb_relay_device.h"

class SettingsStore;

class TestSetup
{
public:
    TestSetup();

    void loadSettings();
    void saveSettings();
    void transferSettings();

    // A payload length from 1 to 2047.
    int randomLength();
    // Replaces out with length random characters of the payload alphabet.
    void randomPayload(QByteArray &out, int length);

    // The result tag of the selected case: a built-in's, or the steps file's.
    QString caseTag() const;
    // The run switches the chip's supply: a radio case, or a steps file with power steps.
    bool needsRelay() const;
    // The run dials PPP: every built-in case but the register network test,
    // or a steps file with a dial step.
    bool dials() const;
    // The run opens the AT port before its first cycle and keeps it open.
    bool opensPortAtStart() const;

    QString portName;
    int caseIndex = 0;
    // The steps of the custom case (TestCases::Custom); read-only once parsed.
    std::shared_ptr<const StepsFile> steps;
    usb_relay_device_info relayDevice{};
    // The board's channel that switches this chip's supply, from 1.
    int relayChannel = 1;
    // What the dial dials through: the pppd peer file's name (Linux), and
    // on Windows the RAS phonebook entry (empty: the plain modem dial).
    QString pppPeer;
    QString rasEntry;
    QString hostName;
    int hostPort = 6805;
    QString pingAddress;
    QStringList pingFailureTexts;
    unsigned int autoSaveLogInterval = 3600000;
    // The custom case's steps file, as last chosen in the window; empty: none.
    QString stepsFile;
    // The window's Prometheus metrics: the folder (empty: none) and the
    // bench's name in them (empty: the host name). Only read: a file
    // without them is written back as it was.
    QString metricsFolder;
    QString benchName;
    SettingsStore *settingsStore = nullptr;

    // Relative to the program's folder, which main makes current.
    QString settingsFile = QStringLiteral("cfg/trevalo.ini");
    // Set by loadSettings when the file is there but could not be used: one
    // line saying so (the defaults are used). saveSettings then leaves the
    // file alone, so the user's file is never written over with defaults.
    QString settingsFileProblem;
};

#endif // TESTSETUP_H
