// The window's side of the browse dialog: it opens on the schema collection would use, and
// what the operator chooses joins the table the way an import fills it.
#include <mutex>

#include <QPushButton>

#include "vantrel/browse_dialog.h"
#include "vantrel/main_widget.h"

namespace vantrel::desktop {

void MainWidget::open_browse_dialog() {
    const auto schema = _get_selected_schema_or_warn();
    if (!schema) {
        return;
    }
    if (!schema->startsWith("opc.tcp://")) {
        dialogs_->warning(this, "Error",
                          "Browsing needs an OPC UA server schema (opc.tcp://host:port).");
        return;
    }
    auto* dialog = new BrowseDialog(
        *schema, {.opc_library_factory = deps_.opc_library_factory, .dialogs = dialogs_}, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &BrowseDialog::tags_chosen, this, &MainWidget::add_browsed_tags);
    dialog->open();
}

void MainWidget::add_browsed_tags(const korrin::TagList& tags) {
    korrin::TagList all;
    {
        std::lock_guard<std::recursive_mutex> guard(data_lock_);
        const auto& rows = paginated_table_->all_data;
        all.reserve(rows.size() + tags.size());
        for (const auto& row : rows) {
            all.emplace_back(row.size() > 1 ? row[1].toString().toStdString() : std::string(),
                             row.size() > 2 ? row[2].toString().toStdString() : std::string());
        }
    }
    all.insert(all.end(), tags.begin(), tags.end());
    fill_tag_table(all, {});
}

}  // namespace vantrel::desktop
