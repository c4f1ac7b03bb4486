// The tag table: the model's cells, colours and refreshes, and the paginated widget's pages,
// soft updates and keyboard order. A model tester watches every model and aborts on a breach.
#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <limits>
#include <ostream>
#include <utility>
#include <vector>

#include <QAbstractItemModelTester>
#include <QColor>
#include <QComboBox>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyledItemDelegate>
#include <QTableView>

#include <gtest/gtest.h>

#include "vantrel/paginated_table.h"

// Readable failures: gtest would otherwise print a QString as its UTF-16 code units.
static void PrintTo(const QString& text, std::ostream* out) {
    *out << text.toStdString();
}

namespace vantrel::desktop {
namespace {

using Tester = QAbstractItemModelTester;
const QStringList kHeaders{"DBID", "Tag Name", "Description", "Value", "Quality"};
const double kNan = std::numeric_limits<double>::quiet_NaN();

// Rows 1..count; row n carries the tag "Tag.n", so any page shows where it starts.
TableRows make_rows(int count) {
    TableRows rows;
    for (int n = 1; n <= count; ++n) {
        rows.push_back({n, QStringLiteral("Tag.%1").arg(n), "", n * 1.5, "Good"});
    }
    return rows;
}

QVariant cell(const QAbstractItemModel& model, int row, int column, int role = Qt::DisplayRole) {
    return model.data(model.index(row, column), role);
}

TEST(TableModel, HeadersAndCellsAsGiven) {
    TableModel model({{7, "Plant.Temp", "boiler", 12.5, "Good"},
                      {QString(), "Plant.Flow", "", kNan, "uncertain"},
                      {9, "Plant.Short"}},
                     kHeaders);
    Tester tester(&model, Tester::FailureReportingMode::Fatal);
    EXPECT_EQ(model.headerData(4, Qt::Horizontal).toString(), "Quality");
    EXPECT_EQ(model.headerData(7, Qt::Horizontal).toString(), "Col 7");
    EXPECT_EQ(model.headerData(2, Qt::Vertical).toString(), "3");
    EXPECT_FALSE(model.headerData(0, Qt::Horizontal, Qt::ToolTipRole).isValid());

    EXPECT_EQ(cell(model, 0, 0).typeId(), QMetaType::Int) << "numbers stay numbers";
    EXPECT_EQ(cell(model, 1, 0), QVariant(QString()));
    EXPECT_EQ(cell(model, 2, 3), QVariant(QString())) << "a short row shows empty cells";
    // The grid and a copied cell both read "nan", whatever the operator's locale.
    EXPECT_EQ(cell(model, 1, 3).toString(), "nan");
    EXPECT_EQ(QStyledItemDelegate().displayText(cell(model, 1, 3), QLocale(QLocale::German)),
              "nan");
    EXPECT_FALSE(cell(model, 0, 0, Qt::EditRole).isValid());
}

TEST(TableModel, OnlyQualityCellsOtherThanExactlyGoodAreRed) {
    TableModel model({{1, "a", "", 1, "Good"},
                      {2, "Bad", "Bad", "Bad", "Bad"},
                      {3, "b", "", 1, "Uncertain"},
                      {4, "c", "", 1, "good"},
                      {5, "d", "", 1, ""}},
                     kHeaders);
    EXPECT_FALSE(cell(model, 0, 4, Qt::ForegroundRole).isValid());
    for (int row = 1; row < 5; ++row) {
        EXPECT_EQ(cell(model, row, 4, Qt::ForegroundRole), QVariant(QColor(Qt::red))) << row;
    }
    for (int column = 0; column < 4; ++column) {
        EXPECT_FALSE(cell(model, 1, column, Qt::ForegroundRole).isValid()) << column;
    }
}

TEST(TableModel, ValueRefreshIsOneChangeOverThePageOrAReset) {
    TableModel model(make_rows(4), kHeaders);
    Tester tester(&model, Tester::FailureReportingMode::Fatal);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);

    TableRows refreshed = make_rows(4);
    refreshed[2][4] = "Bad";
    model.update_values_only(std::move(refreshed));
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(reset.count(), 0);
    EXPECT_EQ(changed[0][0].toModelIndex(), model.index(0, 0));
    EXPECT_EQ(changed[0][1].toModelIndex(), model.index(3, 4));
    // The quality text changed and with it the colour.
    EXPECT_EQ(changed[0][2].value<QList<int>>(), (QList<int>{Qt::DisplayRole, Qt::ForegroundRole}));

    model.update_values_only(make_rows(3));
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(reset.count(), 1);
    model.update_data({});
    model.update_values_only({});  // nothing to announce: the tester rejects an empty range
    EXPECT_EQ(changed.count(), 1);
}

class PaginatedTable : public ::testing::Test {
  protected:
    PaginatedTableWidget widget{kHeaders};
    Tester tester{widget.table_model, Tester::FailureReportingMode::Fatal};

    QString page() const { return widget.page_label->text(); }
    // Enabled state of First, Previous, Next, Last.
    std::vector<bool> buttons() const {
        return {widget.first_page_button->isEnabled(), widget.prev_button->isEnabled(),
                widget.next_button->isEnabled(), widget.last_page_button->isEnabled()};
    }
    QString tag(int row) const { return cell(*widget.table_model, row, 1).toString(); }
};

TEST_F(PaginatedTable, PageCountRoundsUpWithAtLeastOne) {
    EXPECT_EQ(page(), "Page 1 / 1");
    EXPECT_EQ(buttons(), (std::vector<bool>{false, false, false, false}));
    EXPECT_EQ(widget.table_model->columnCount(), 5);
    for (auto [rows, pages] :
         std::initializer_list<std::pair<int, int>>{{0, 1}, {20, 2}, {21, 3}, {25, 3}}) {
        widget.set_data(make_rows(rows));
        EXPECT_EQ(page(), QStringLiteral("Page 1 / %1").arg(pages)) << rows;
    }
}

TEST_F(PaginatedTable, NavigatesPagesNumberingEachFromOne) {
    widget.set_data(make_rows(25));
    EXPECT_EQ(buttons(), (std::vector<bool>{false, false, true, true}));
    widget.prev_page();
    EXPECT_EQ(widget.current_page, 1);

    widget.last_page_button->click();
    EXPECT_EQ(page(), "Page 3 / 3");
    EXPECT_EQ(buttons(), (std::vector<bool>{true, true, false, false}));
    ASSERT_EQ(widget.table_model->rowCount(), 5);
    EXPECT_EQ(tag(0), "Tag.21");
    EXPECT_EQ(tag(4), "Tag.25");
    EXPECT_EQ(widget.table_model->headerData(4, Qt::Vertical).toString(), "5");
    widget.next_page();
    EXPECT_EQ(widget.current_page, 3);

    widget.prev_button->click();
    EXPECT_EQ(page(), "Page 2 / 3");
    EXPECT_EQ(buttons(), (std::vector<bool>{true, true, true, true}));
    EXPECT_EQ(tag(0), "Tag.11");
    widget.next_page();
    widget.rows_per_page_combobox->setCurrentText("50");
    EXPECT_EQ(widget.rows_per_page, 50);
    EXPECT_EQ(page(), "Page 1 / 1") << "a new page size starts on page 1";
    EXPECT_EQ(widget.table_model->rowCount(), 25);
    widget.rows_per_page_combobox->setCurrentText("10");
    widget.next_page();
    widget.first_page_button->click();
    EXPECT_EQ(tag(0), "Tag.1");
}

TEST_F(PaginatedTable, NewDataChoosesAPageThatExists) {
    widget.set_data(make_rows(25));
    widget.next_page();
    widget.set_data(make_rows(30), /*keep_page=*/true);
    EXPECT_EQ(page(), "Page 2 / 3");
    widget.set_data(make_rows(30));
    EXPECT_EQ(page(), "Page 1 / 3");

    widget.last_page();
    widget.set_data(make_rows(12), true);
    EXPECT_EQ(page(), "Page 2 / 2") << "a page that no longer exists gives the last one";
    EXPECT_EQ(tag(0), "Tag.11");
    // A soft update whose page count or page moved must refresh the labels as well.
    widget.set_data(make_rows(35), true, true);
    EXPECT_EQ(page(), "Page 2 / 4");
    widget.set_data(make_rows(35), false, true);
    EXPECT_EQ(page(), "Page 1 / 4");
    EXPECT_EQ(tag(0), "Tag.1");
}

TEST_F(PaginatedTable, SoftUpdateKeepsSelectionWhileThePageKeepsItsRowCount) {
    widget.set_data(make_rows(25));
    widget.last_page();
    const QModelIndex picked = widget.table_model->index(3, 3);
    widget.table->selectionModel()->setCurrentIndex(picked, QItemSelectionModel::ClearAndSelect);

    TableRows refreshed = make_rows(25);
    refreshed[23][3] = kNan;
    widget.set_data(std::move(refreshed), true, true);
    EXPECT_EQ(widget.table->currentIndex(), picked);
    EXPECT_TRUE(widget.table->selectionModel()->isSelected(picked));
    EXPECT_EQ(cell(*widget.table_model, 3, 3).toString(), "nan");

    widget.set_data(make_rows(24), true, true);
    EXPECT_EQ(page(), "Page 3 / 3");
    EXPECT_EQ(widget.table_model->rowCount(), 4);
    EXPECT_FALSE(widget.table->currentIndex().isValid());
    EXPECT_FALSE(widget.table->selectionModel()->hasSelection());
}

TEST_F(PaginatedTable, RepublishingTheRowsInPlaceCopiesNoList) {
    widget.rows_per_page_combobox->setCurrentText("100");
    TableRows rows = make_rows(10000);
    const TableRow* storage = rows.data();
    widget.set_data(std::move(rows));
    widget.next_page();
    widget.all_data[150][3] = 7.25;
    widget.set_data(std::move(widget.all_data), true, true);
    EXPECT_EQ(widget.all_data.data(), storage);
    EXPECT_EQ(widget.table_model->rowCount(), 100);
    EXPECT_EQ(cell(*widget.table_model, 50, 3).toDouble(), 7.25);
}

TEST_F(PaginatedTable, ControlsAreNamedAndOrderedForKeyboardAndReaders) {
    EXPECT_EQ(widget.table->accessibleName(), "Tag table");
    EXPECT_EQ(widget.rows_per_page_label->buddy(), widget.rows_per_page_combobox);
    EXPECT_EQ(widget.prev_button->accessibleName(), "Previous Page");

    const std::vector<QWidget*> tab_order{widget.table,
                                          widget.rows_per_page_combobox,
                                          widget.first_page_button,
                                          widget.prev_button,
                                          widget.next_button,
                                          widget.last_page_button};
    std::vector<QWidget*> chain;
    for (QWidget* w = widget.table->nextInFocusChain(); w != widget.table;
         w = w->nextInFocusChain()) {
        if (std::find(tab_order.begin(), tab_order.end(), w) != tab_order.end()) {
            chain.push_back(w);
        }
    }
    chain.insert(chain.begin(), widget.table);
    EXPECT_EQ(chain, tab_order);
}

}  // namespace
}  // namespace vantrel::desktop
