// The browse dialog's widgets. What it shows and hands on is decided in browse_model.cpp; the
// server is asked by a BrowseSession on its own thread.
#include "vantrel/browse_dialog.h"

#include <exception>
#include <filesystem>
#include <utility>

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "vantrel/browse_model.h"
#include "vantrel/browse_session.h"

namespace vantrel::desktop {

BrowseDialog::BrowseDialog(const QString& schema, BrowseDialogDeps deps, QWidget* parent)
    : QDialog(parent), dialogs_(deps.dialogs ? deps.dialogs : app_dialogs_ptr()) {
    setObjectName("browse_dialog");
    setWindowTitle("Browse Server");
    setAccessibleName("Browse Server");
    resize(760, 560);

    model_ = new BrowseTreeModel(this);
    filter_model_ = new BrowseFilterModel(this);
    filter_model_->setSourceModel(model_);

    auto* layout = new QVBoxLayout(this);
    auto* server_label = new QLabel("Server: " + schema, this);
    server_label->setObjectName("browse_server_label");
    server_label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(server_label);

    auto* filter_row = new QHBoxLayout();
    filter_input_ = new QLineEdit(this);
    filter_input_->setObjectName("browse_filter_input");
    filter_input_->setClearButtonEnabled(true);
    auto* filter_label = new QLabel("Filter:", this);
    filter_label->setBuddy(filter_input_);
    filter_input_->setAccessibleName("Filter:");
    filter_row->addWidget(filter_label);
    filter_row->addWidget(filter_input_);
    layout->addLayout(filter_row);

    tree_ = new QTreeView(this);
    tree_->setObjectName("browse_tree");
    tree_->setAccessibleName("Address space");
    tree_->setModel(filter_model_);
    tree_->setUniformRowHeights(true);
    tree_->setSelectionMode(QAbstractItemView::SingleSelection);
    tree_->header()->setSectionResizeMode(BrowseTreeModel::NameColumn, QHeaderView::Interactive);
    tree_->setColumnWidth(BrowseTreeModel::NameColumn, 300);
    tree_->setColumnWidth(BrowseTreeModel::TagColumn, 280);
    layout->addWidget(tree_, 1);

    status_label_ = new QLabel(this);
    status_label_->setObjectName("browse_status_label");
    layout->addWidget(status_label_);

    auto* buttons = new QHBoxLayout();
    cancel_button_ = new QPushButton("Cancel", this);
    cancel_button_->setObjectName("browse_cancel_button");
    add_button_ = new QPushButton("Add Selected", this);
    add_button_->setObjectName("browse_add_button");
    save_button_ = new QPushButton("Save as CSV…", this);
    save_button_->setObjectName("browse_save_button");
    close_button_ = new QPushButton("Close", this);
    close_button_->setObjectName("browse_close_button");
    // Enter anywhere but in a tree that edits adds the checked variables.
    add_button_->setDefault(true);
    for (auto* b : {cancel_button_, add_button_, save_button_, close_button_}) {
        b->setAutoDefault(b == add_button_);
        buttons->addWidget(b);
    }
    buttons->insertStretch(1);
    layout->addLayout(buttons);

    QWidget::setTabOrder(filter_input_, tree_);
    QWidget::setTabOrder(tree_, cancel_button_);
    QWidget::setTabOrder(cancel_button_, add_button_);
    QWidget::setTabOrder(add_button_, save_button_);
    QWidget::setTabOrder(save_button_, close_button_);

    connect(filter_input_, &QLineEdit::textChanged, filter_model_,
            &BrowseFilterModel::set_filter_text);
    connect(cancel_button_, &QPushButton::clicked, this, &BrowseDialog::cancel_browse);
    connect(add_button_, &QPushButton::clicked, this, &BrowseDialog::add_selected);
    connect(save_button_, &QPushButton::clicked, this, &BrowseDialog::save_as_csv);
    connect(close_button_, &QPushButton::clicked, this, &QDialog::reject);
    connect(model_, &BrowseTreeModel::branch_requested, this, &BrowseDialog::request_branch);
    // A branch whose browse failed or was cancelled is tried again when it is opened again.
    connect(tree_, &QTreeView::expanded, this, [this](const QModelIndex& index) {
        model_->browse_again(filter_model_->mapToSource(index));
    });

    session_ = std::make_unique<BrowseSession>(deps.opc_library_factory, schema.toStdString());
    connect(session_.get(), &BrowseSession::progress, this, &BrowseDialog::show_progress);
    connect(session_.get(), &BrowseSession::finished, this, &BrowseDialog::branch_finished);
    connect(session_.get(), &BrowseSession::failed, this, &BrowseDialog::branch_failed);

    model_->fetchMore(QModelIndex());
    filter_input_->setFocus();
}

BrowseDialog::~BrowseDialog() = default;

void BrowseDialog::request_branch(const QModelIndex& branch) {
    if (!session_) {
        model_->branch_failed(branch);
        return;
    }
    const int id = next_id_++;
    pending_.emplace(id, QPersistentModelIndex(branch));
    const BrowseStart start = model_->start_of(branch);
    session_->request(id, start.namespace_index, start.identifier);
    show_status("Browsing…");
    browsing_changed();
}

void BrowseDialog::show_progress(int id, qulonglong nodes_found) {
    if (pending_.count(id) != 0) {
        show_status(QStringLiteral("Browsing… %1 nodes found").arg(nodes_found));
    }
}

void BrowseDialog::branch_finished(int id, const korrin::OpcBrowseResult& result) {
    const auto found = pending_.find(id);
    if (found == pending_.end()) {
        return;  // cancelled: its branch was put back already
    }
    const QModelIndex branch = found->second;
    pending_.erase(found);
    if (result.complete) {
        model_->set_children(branch, result);
        show_status(QStringLiteral("%1 variables listed").arg(model_->variable_count()));
    } else {
        model_->branch_failed(branch);
        tree_->collapse(filter_model_->mapFromSource(branch));
        show_status("Browse failed: " + QString::fromStdString(result.stopped_because));
    }
    browsing_changed();
}

void BrowseDialog::branch_failed(int id, const QString& reason) {
    const auto found = pending_.find(id);
    if (found == pending_.end()) {
        return;
    }
    const QModelIndex branch = found->second;
    pending_.erase(found);
    model_->branch_failed(branch);
    tree_->collapse(filter_model_->mapFromSource(branch));
    show_status("Browse failed: " + reason);
    browsing_changed();
}

void BrowseDialog::cancel_browse() {
    if (pending_.empty()) {
        return;
    }
    if (session_) {
        session_->cancel();
    }
    // Each branch can be opened again; answers that still come for them are ignored.
    for (const auto& [id, branch] : pending_) {
        model_->branch_failed(branch);
        tree_->collapse(filter_model_->mapFromSource(branch));
    }
    pending_.clear();
    show_status("Browsing cancelled");
    browsing_changed();
}

void BrowseDialog::browsing_changed() {
    cancel_button_->setEnabled(!pending_.empty());
}

void BrowseDialog::show_status(const QString& text) {
    status_label_->setText(text);
}

void BrowseDialog::add_selected() {
    const auto variables = model_->checked_variables();
    if (variables.empty()) {
        dialogs_->warning(this, "Error", "Check at least one variable first.");
        return;
    }
    emit tags_chosen(tag_rows(variables));
    accept();
}

void BrowseDialog::save_as_csv() {
    const auto variables = model_->checked_variables();
    if (variables.empty()) {
        dialogs_->warning(this, "Error", "Check at least one variable first.");
        return;
    }
    const QString path =
        dialogs_->get_save_file_name(this, "Save Tag List", QString(), "CSV Files (*.csv)");
    if (path.isEmpty()) {
        return;
    }
    try {
        save_tag_list_csv(std::filesystem::path(path.toStdString()), variables);
    } catch (const std::exception& e) {
        dialogs_->warning(this, "Error",
                          "Cannot save the tag list:\n" + QString::fromUtf8(e.what()));
        return;
    }
    show_status(QStringLiteral("Saved %1 tags to %2").arg(variables.size()).arg(path));
}

void BrowseDialog::done(int result) {
    // The browse under way ends and its thread is joined before the dialog goes.
    session_.reset();
    pending_.clear();
    QDialog::done(result);
}

}  // namespace vantrel::desktop
