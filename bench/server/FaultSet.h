// The faults the bench can inject, by name, with their current values.
// Set at start-up with --fault name=value and changed live over the
// control socket; every part of the bench reads them when it acts, so a
// change takes effect at the next action. bench/README.md lists them.
//
// A chip's faults (and its dial line's) may also be set for one chip
// only; such a value wins over the value for all chips until that name is
// set again for all chips or every fault is cleared.
#ifndef FAULTSET_H
#define FAULTSET_H

#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QObject>
#include <QStringList>

class FaultSet : public QObject
{
    Q_OBJECT

public:
    enum class Kind {
        Flag,    // true / false
        Count,   // integer >= 0 (0 = off)
        State,   // integer >= -1 (-1 = off), a RASCONNSTATE value
        Boards,  // true = every board, false = none, or "SER1,SER2"
        Rssi,    // 0..31 or 99 (unknown); -1 = the chip's default
    };

    explicit FaultSet(int chips = 1, QObject *parent = nullptr);

    // Checks every entry first and applies nothing when one is bad. chip 0
    // sets the values for all chips; chip k (1..chips) for chip k only,
    // which only a chip's or a dial line's fault allows.
    bool set(const QJsonObject &faults, QString *error, int chip = 0);
    // "name=value" or "chipK:name=value" as given on the command line.
    bool setFromText(const QString &assignment, QString *error);
    // Every fault back to "off", for every chip.
    void clear();

    // The values for all chips.
    QJsonObject values() const;
    // The values set for single chips: {"2": {name: value}}; empty when none.
    QJsonObject chipValues() const;
    // chip 0 asks for the value for all chips, chip k for chip k's own.
    bool flag(const QString &name, int chip = 0) const;
    int number(const QString &name, int chip = 0) const;
    // Whether a Boards fault covers the board with this serial number.
    bool coversBoard(const QString &name, const QString &serial) const;

signals:
    // The names whose values changed.
    void changed(const QStringList &names);

private:
    struct Entry
    {
        Kind kind;
        QJsonValue off;
        QJsonValue value;
    };
    bool normalise(const QString &name, const QJsonValue &in, QJsonValue *out,
                   QString *error) const;
    QJsonValue value(const QString &name, int chip) const;
    static bool isChipFault(const QString &name);

    int m_chips;
    QMap<QString, Entry> m_entries;
    // chip -> name -> value, for values set for one chip only
    QMap<int, QMap<QString, QJsonValue>> m_chipValues;
};

#endif // FAULTSET_H
