#include "FailureTableModel.h"

#include "FailureList.h"

FailureTableModel::FailureTableModel(const FailureList *failures, QObject *parent)
    : QAbstractTableModel(parent), m_failures(failures)
{
}

void FailureTableModel::refresh()
{
    // A live run adds a failure now and then; the view keeps its place
    // only when nothing changed.
    if (m_failures->total() == m_shownTotal && rowCount() == int(m_failures->failures().size()))
        return;
    beginResetModel();
    m_shownTotal = m_failures->total();
    endResetModel();
}

qint64 FailureTableModel::cycleAt(int row) const
{
    if (row < 0 || row >= rowCount())
        return 0;
    return m_failures->failures().at(std::size_t(row)).query.cycle;
}

int FailureTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() || m_shownTotal < 0 ? 0 : int(m_failures->failures().size());
}

int FailureTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant FailureTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return QVariant();
    const FailureList::Failure &f = m_failures->failures().at(std::size_t(index.row()));
    switch (index.column()) {
    case CycleColumn:
        return f.query.cycle;
    case TimeColumn:
        return f.query.start.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    case StepColumn:
        return f.step;
    case LineColumn:
        return f.query.failedLine;
    case RasColumn:
        return f.rasError != 0 ? QVariant(f.rasError) : QVariant();
    default:
        return QVariant();
    }
}

QVariant FailureTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case CycleColumn:
        return tr("Cycle");
    case TimeColumn:
        return tr("Time");
    case StepColumn:
        return tr("Failed step");
    case LineColumn:
        return tr("Red line");
    case RasColumn:
        return tr("RAS code");
    default:
        return QVariant();
    }
}
