// What the server browse dialog shows and hands on, free of widgets: the address-space tree
// that fills one branch at a time, its filter, and the checked variables as tag list rows or
// as a tag list CSV file.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <QAbstractItemModel>
#include <QSortFilterProxyModel>

#include "korrin/opc_library.h"
#include "korrin/tag_list.h"

namespace vantrel::desktop {

// Where a browse of one branch starts: a node in tag form.
struct BrowseStart {
    int namespace_index = 0;
    std::string identifier;
};

class BrowseTreeModel : public QAbstractItemModel {
    Q_OBJECT
  public:
    enum Column { NameColumn, TagColumn, DataTypeColumn, ColumnCount };
    // The full browse path (from the Objects folder), for the filter.
    static constexpr int PathRole = Qt::UserRole + 1;

    explicit BrowseTreeModel(QObject* parent = nullptr);
    ~BrowseTreeModel() override;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    // A branch not yet browsed may hold nodes; opening it asks for them (branch_requested).
    bool hasChildren(const QModelIndex& parent = {}) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

    // The node a browse of the branch starts from; the invalid index is the Objects folder.
    BrowseStart start_of(const QModelIndex& branch) const;
    bool is_variable(const QModelIndex& index) const;
    // Whether the branch's nodes are known (false also while its browse runs).
    bool is_loaded(const QModelIndex& branch) const;
    // Puts the nodes one level below the branch under it. Variables that a tag list would not
    // hold by default (not numeric, not readable, no tag text) are left out. A browse that did
    // not end (cancelled, failed) counts as branch_failed.
    void set_children(const QModelIndex& branch, const korrin::OpcBrowseResult& result);
    // The branch's browse ended without nodes (failed or cancelled). The branch is not asked
    // for again by itself, which a view would do at once for the top level, until
    // browse_again.
    void branch_failed(const QModelIndex& branch);
    // Asks for a branch whose browse failed or was cancelled once more.
    void browse_again(const QModelIndex& branch);
    // The checked variables, in tree order.
    std::vector<korrin::OpcBrowsedNode> checked_variables() const;
    std::size_t variable_count() const { return variables_; }

  signals:
    // The view opened a branch that was never browsed.
    void branch_requested(const QModelIndex& branch);

  private:
    struct Node;
    Node* node_of(const QModelIndex& index) const;
    QModelIndex index_of(const Node* node) const;

    std::unique_ptr<Node> root_;
    std::size_t variables_ = 0;
};

// Shows the nodes whose name, tag or browse path holds the filter text (any letter case),
// with the branches that lead to them, and every branch not yet browsed (it may hold some).
class BrowseFilterModel : public QSortFilterProxyModel {
    Q_OBJECT
  public:
    explicit BrowseFilterModel(QObject* parent = nullptr);
    void set_filter_text(const QString& text);

  protected:
    bool filterAcceptsRow(int source_row, const QModelIndex& source_parent) const override;

  private:
    QString text_;
};

// The tag list rows (name, description) of browsed variables, as an import would read them.
korrin::TagList tag_rows(const std::vector<korrin::OpcBrowsedNode>& variables);

// Writes them as a tag list CSV. The file is replaced whole: a failed write leaves the old one.
// Throws std::runtime_error naming the file when it cannot be written.
void save_tag_list_csv(const std::filesystem::path& path,
                       const std::vector<korrin::OpcBrowsedNode>& variables);

}  // namespace vantrel::desktop
