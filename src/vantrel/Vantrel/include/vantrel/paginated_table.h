// The tag table widget: holds every row, shows one page of them through a TableModel, and offers
// page navigation and a choice of rows per page.
#pragma once

#include <QStringList>
#include <QWidget>

#include "vantrel/table_model.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTableView;

namespace vantrel::desktop {

class PaginatedTableWidget : public QWidget {
    Q_OBJECT

  public:
    explicit PaginatedTableWidget(QStringList headers, QWidget* parent = nullptr);

    // The only way rows get in. Takes the complete row list by value: move it in. A caller that
    // edited all_data in place republishes it with set_data(std::move(all_data), ...), which
    // costs no copy. keep_page stays on the current page; soft_update refreshes only the values
    // of the page (the view keeps selection and scroll position) unless the page or the page
    // count changed, which needs the full refresh.
    void set_data(TableRows data, bool keep_page = false, bool soft_update = false);

    void update_ui();
    int compute_total_pages() const;
    TableRows get_current_page_data() const;
    void update_table();
    void update_button_states();

  public Q_SLOTS:
    void first_page();
    void prev_page();
    void next_page();
    void last_page();
    void change_rows_per_page();

  public:
    QStringList headers;
    // Every row across all pages. The main window replaces it under its data_lock, and the
    // collector thread reads the tag names from it under the same lock; the widget adds no
    // locking of its own.
    TableRows all_data;
    int current_page = 1;  // 1-based
    int rows_per_page = 10;
    int total_pages = 1;

    // Children of this widget; Qt owns them.
    TableModel* table_model = nullptr;
    QTableView* table = nullptr;
    QLabel* page_label = nullptr;
    QLabel* rows_per_page_label = nullptr;
    QComboBox* rows_per_page_combobox = nullptr;
    QPushButton* first_page_button = nullptr;
    QPushButton* prev_button = nullptr;
    QPushButton* next_button = nullptr;
    QPushButton* last_page_button = nullptr;
};

}  // namespace vantrel::desktop
