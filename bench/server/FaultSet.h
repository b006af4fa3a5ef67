// The faults the bench can inject, by name, with their current values.
// Set at start-up with --fault name=value and changed live over the
// control socket; every part of the bench reads them when it acts, so a
// change takes effect at the next action. bench/README.md lists them.
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
    };

    explicit FaultSet(QObject *parent = nullptr);

    // Checks every entry first and applies nothing when one is bad.
    bool set(const QJsonObject &faults, QString *error);
    // "name=value" as given on the command line.
    bool setFromText(const QString &assignment, QString *error);
    // Every fault back to "off".
    void clear();

    QJsonObject values() const;
    bool flag(const QString &name) const;
    int number(const QString &name) const;
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

    QMap<QString, Entry> m_entries;
};

#endif // FAULTSET_H
