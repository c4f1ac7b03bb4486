// The window's "Browse Server…" dialog: the server's address space as a tree that fills a
// branch when it is opened, a filter, check boxes on variables, and the checked variables
// added to the tag table or saved as a tag list CSV.
#pragma once

#include <map>
#include <memory>

#include <QDialog>
#include <QPersistentModelIndex>
#include <QString>

#include "korrin/opc_library.h"
#include "korrin/tag_list.h"
#include "vantrel/dialogs.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeView;

namespace vantrel::desktop {

class BrowseFilterModel;
class BrowseSession;
class BrowseTreeModel;

struct BrowseDialogDeps {
    korrin::OpcLibraryFactory opc_library_factory;  // empty: the real library
    std::shared_ptr<Dialogs> dialogs;               // empty: the process-wide seam
};

class BrowseDialog : public QDialog {
    Q_OBJECT
  public:
    // Starts browsing the Objects folder of the server at `schema` (opc.tcp://…) at once.
    BrowseDialog(const QString& schema, BrowseDialogDeps deps, QWidget* parent = nullptr);
    ~BrowseDialog() override;

    BrowseTreeModel& tree_model() { return *model_; }

  signals:
    // The operator's choice, as tag list rows (name, description).
    void tags_chosen(const vantrel::korrin::TagList& tags);

  public slots:
    void add_selected();
    void save_as_csv();
    void cancel_browse();
    void done(int result) override;

  private:
    void request_branch(const QModelIndex& branch);
    void branch_finished(int id, const korrin::OpcBrowseResult& result);
    void branch_failed(int id, const QString& reason);
    void show_progress(int id, qulonglong nodes_found);
    void browsing_changed();
    void show_status(const QString& text);

    std::shared_ptr<Dialogs> dialogs_;
    BrowseTreeModel* model_ = nullptr;
    BrowseFilterModel* filter_model_ = nullptr;
    QLineEdit* filter_input_ = nullptr;
    QTreeView* tree_ = nullptr;
    QLabel* status_label_ = nullptr;
    QPushButton* cancel_button_ = nullptr;
    QPushButton* add_button_ = nullptr;
    QPushButton* save_button_ = nullptr;
    QPushButton* close_button_ = nullptr;
    std::unique_ptr<BrowseSession> session_;
    std::map<int, QPersistentModelIndex> pending_;  // browses under way, by request id
    int next_id_ = 1;
};

}  // namespace vantrel::desktop
