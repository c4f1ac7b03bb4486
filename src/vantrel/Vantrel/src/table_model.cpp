// The tag table model: display values, quality colouring, and the two ways of replacing rows.
#include "vantrel/table_model.h"

#include <cstddef>
#include <utility>

#include <QColor>
#include <QMetaType>
#include <QString>

namespace vantrel::desktop {
namespace {

bool is_good_quality(const QVariant& cell) {
    return cell.typeId() == QMetaType::QString && cell.toString() == QLatin1String("Good");
}

}  // namespace

TableModel::TableModel(TableRows data, QStringList headers, QObject* parent)
    : QAbstractTableModel(parent), _data(std::move(data)), _headers(std::move(headers)) {}

// A cell has no children: counting rows under one would make every cell a parent of the table
// for any tree view or proxy that walks the model.
int TableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(_data.size());
}

int TableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(_headers.size());
}

QVariant TableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) {
        return {};
    }
    if (orientation == Qt::Horizontal) {
        if (section >= 0 && section < _headers.size()) {
            return _headers.at(section);
        }
        return QStringLiteral("Col %1").arg(section);
    }
    // Rows are numbered within the page, so every page starts again at 1.
    return QString::number(section + 1);
}

QVariant TableModel::data(const QModelIndex& index, int role) const {
    // Qt's contract: an index that is not from this model carries no data at all.
    if (!index.isValid()) {
        return {};
    }
    if (index.row() >= rowCount() || index.column() >= columnCount()) {
        return QString();
    }
    const TableRow& row = _data[static_cast<std::size_t>(index.row())];
    const auto column = static_cast<std::size_t>(index.column());
    const bool has_cell = column < row.size();
    switch (role) {
        case Qt::DisplayRole:
            return has_cell ? row[column] : QString();
        case Qt::ForegroundRole:
            // A missing cell shows nothing, so there is nothing to colour.
            if (_headers.at(index.column()) == QLatin1String("Quality") && has_cell &&
                !is_good_quality(row[column])) {
                return QColor(Qt::red);
            }
            return {};
        default:
            return {};
    }
}

void TableModel::update_data(TableRows data) {
    beginResetModel();
    _data = std::move(data);
    endResetModel();
}

void TableModel::update_values_only(TableRows new_data) {
    if (new_data.size() != _data.size()) {
        update_data(std::move(new_data));
        return;
    }
    _data = std::move(new_data);
    if (_data.empty() || _headers.isEmpty()) {
        return;  // no cell to announce; an empty range would be an invalid pair of indexes
    }
    // A changed quality text changes the colour as well, so both roles are announced.
    emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1),
                     {Qt::DisplayRole, Qt::ForegroundRole});
}

}  // namespace vantrel::desktop
