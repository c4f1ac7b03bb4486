// The tag table widget: page arithmetic, navigation, and the bottom row of controls.
#include "vantrel/paginated_table.h"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <utility>

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSizePolicy>
#include <QSpacerItem>
#include <QTableView>
#include <QVBoxLayout>

namespace vantrel::desktop {
namespace {

QPushButton* make_button(const QString& text, const char* object_name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(object_name));
    button->setAccessibleName(text);
    return button;
}

}  // namespace

PaginatedTableWidget::PaginatedTableWidget(QStringList headers_, QWidget* parent)
    : QWidget(parent), headers(std::move(headers_)) {
    table_model = new TableModel({}, headers, this);
    table_model->setObjectName(QStringLiteral("table_model"));

    table = new QTableView(this);
    table->setObjectName(QStringLiteral("table"));
    table->setAccessibleName(QStringLiteral("Tag table"));
    table->setModel(table_model);
    table->verticalHeader()->setVisible(true);
    table->verticalHeader()->setDefaultAlignment(Qt::AlignVCenter);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(table);

    page_label = new QLabel(this);
    page_label->setObjectName(QStringLiteral("page_label"));

    rows_per_page_label = new QLabel(QStringLiteral("Rows per page:"), this);
    rows_per_page_label->setObjectName(QStringLiteral("rows_per_page_label"));

    rows_per_page_combobox = new QComboBox(this);
    rows_per_page_combobox->setObjectName(QStringLiteral("rows_per_page_combobox"));
    rows_per_page_combobox->setAccessibleName(rows_per_page_label->text());
    rows_per_page_combobox->addItems(
        {QStringLiteral("10"), QStringLiteral("20"), QStringLiteral("50"), QStringLiteral("100")});
    rows_per_page_combobox->setCurrentText(QString::number(rows_per_page));
    rows_per_page_label->setBuddy(rows_per_page_combobox);
    // Connected after the filling, so that setting the initial choice runs no slot.
    connect(rows_per_page_combobox, &QComboBox::currentIndexChanged, this,
            &PaginatedTableWidget::change_rows_per_page);

    first_page_button = make_button(QStringLiteral("First Page"), "first_page_button", this);
    prev_button = make_button(QStringLiteral("Previous Page"), "prev_button", this);
    next_button = make_button(QStringLiteral("Next Page"), "next_button", this);
    last_page_button = make_button(QStringLiteral("Last Page"), "last_page_button", this);
    connect(first_page_button, &QPushButton::clicked, this, &PaginatedTableWidget::first_page);
    connect(prev_button, &QPushButton::clicked, this, &PaginatedTableWidget::prev_page);
    connect(next_button, &QPushButton::clicked, this, &PaginatedTableWidget::next_page);
    connect(last_page_button, &QPushButton::clicked, this, &PaginatedTableWidget::last_page);

    auto* controls = new QHBoxLayout;
    controls->addWidget(rows_per_page_label);
    controls->addWidget(rows_per_page_combobox);
    controls->addItem(new QSpacerItem(20, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    controls->addWidget(first_page_button);
    controls->addWidget(prev_button);
    controls->addWidget(page_label);
    controls->addWidget(next_button);
    controls->addWidget(last_page_button);
    layout->addLayout(controls);

    // Keyboard users reach the grid first, then the page size, then the buttons left to right.
    setTabOrder(table, rows_per_page_combobox);
    setTabOrder(rows_per_page_combobox, first_page_button);
    setTabOrder(first_page_button, prev_button);
    setTabOrder(prev_button, next_button);
    setTabOrder(next_button, last_page_button);

    update_ui();
}

void PaginatedTableWidget::set_data(TableRows data, bool keep_page, bool soft_update) {
    all_data = std::move(data);
    const int shown_page = current_page;
    if (!keep_page) {
        current_page = 1;
    }
    // A values-only refresh would leave the page label and buttons stale if the page moved or
    // the page count changed; those cases take the full refresh.
    if (soft_update && current_page == shown_page && compute_total_pages() == total_pages) {
        table_model->update_values_only(get_current_page_data());
        return;
    }
    update_ui();
}

void PaginatedTableWidget::update_ui() {
    total_pages = compute_total_pages();
    // A shorter row list kept on a page that no longer exists shows its last page instead.
    current_page = std::clamp(current_page, 1, total_pages);
    page_label->setText(QStringLiteral("Page %1 / %2").arg(current_page).arg(total_pages));
    update_table();
    update_button_states();
}

int PaginatedTableWidget::compute_total_pages() const {
    const auto per_page = static_cast<std::size_t>(rows_per_page);
    const std::size_t pages = (all_data.size() + per_page - 1) / per_page;
    return pages > 1 ? static_cast<int>(pages) : 1;
}

TableRows PaginatedTableWidget::get_current_page_data() const {
    const auto per_page = static_cast<std::size_t>(rows_per_page);
    const std::size_t start = static_cast<std::size_t>(current_page - 1) * per_page;
    if (start >= all_data.size()) {
        return {};
    }
    const std::size_t end = std::min(start + per_page, all_data.size());
    using Offset = TableRows::difference_type;
    return TableRows(std::next(all_data.begin(), static_cast<Offset>(start)),
                     std::next(all_data.begin(), static_cast<Offset>(end)));
}

void PaginatedTableWidget::update_table() {
    table_model->update_data(get_current_page_data());
}

void PaginatedTableWidget::update_button_states() {
    first_page_button->setEnabled(current_page > 1);
    prev_button->setEnabled(current_page > 1);
    next_button->setEnabled(current_page < total_pages);
    last_page_button->setEnabled(current_page < total_pages);
}

void PaginatedTableWidget::first_page() {
    current_page = 1;
    update_ui();
}

void PaginatedTableWidget::prev_page() {
    if (current_page > 1) {
        --current_page;
        update_ui();
    }
}

void PaginatedTableWidget::next_page() {
    if (current_page < total_pages) {
        ++current_page;
        update_ui();
    }
}

void PaginatedTableWidget::last_page() {
    current_page = total_pages;
    update_ui();
}

void PaginatedTableWidget::change_rows_per_page() {
    bool ok = false;
    const int chosen = rows_per_page_combobox->currentText().toInt(&ok);
    if (!ok || chosen <= 0) {
        return;  // the choices are fixed numbers; a page size of zero would divide by zero
    }
    rows_per_page = chosen;
    current_page = 1;
    update_ui();
}

}  // namespace vantrel::desktop
