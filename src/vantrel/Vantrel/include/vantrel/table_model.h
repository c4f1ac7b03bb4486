// The read-only model behind the tag table: one page of rows, bad-quality cells in red, and a
// value refresh that leaves the view's selection and scroll position alone.
#pragma once

#include <vector>

#include <QAbstractTableModel>
#include <QStringList>
#include <QVariant>

namespace vantrel::desktop {

// One row of the tag table: one cell per column, in header order (DBID, tag name, description,
// value, quality). A cell is a QVariant holding text, an integer or a double and is shown as it
// is; the DBID may be an integer or empty text, and a value that could not be read is a NaN
// double, which Qt writes as "nan" in every locale (the text operators know). A row may be
// shorter than the headers: the missing cells show empty.
// Plain std::vectors rather than Qt's implicitly shared lists, so that an edit of a row in place
// never copies behind the caller's back and a page slice costs exactly its own rows.
using TableRow = std::vector<QVariant>;
using TableRows = std::vector<TableRow>;

class TableModel : public QAbstractTableModel {
    Q_OBJECT

  public:
    TableModel(TableRows data, QStringList headers, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // Replaces every row with a model reset: selection and scroll position start afresh.
    void update_data(TableRows data);
    // Replaces every row; with the same row count it announces changed cells instead of a
    // reset, so the view keeps its selection, current cell and scroll position.
    void update_values_only(TableRows new_data);

  private:
    TableRows _data;
    QStringList _headers;
};

}  // namespace vantrel::desktop
