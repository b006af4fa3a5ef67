// The failures list of the trends window: one row per failed cycle kept,
// in the order of the run.
#ifndef FAILURETABLEMODEL_H
#define FAILURETABLEMODEL_H

#include <QAbstractTableModel>

class FailureList;

class FailureTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { CycleColumn, TimeColumn, StepColumn, LineColumn, RasColumn, ColumnCount };

    explicit FailureTableModel(const FailureList *failures, QObject *parent = nullptr);

    // The list has changed: rows are read again.
    void refresh();
    // The cycle number of a row.
    qint64 cycleAt(int row) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    const FailureList *m_failures;
    qint64 m_shownTotal = -1;
};

#endif // FAILURETABLEMODEL_H
